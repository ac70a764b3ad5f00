// Command line of fpkeyd, and which pages may open its WebSocket.
#pragma once

#include <string>
#include <vector>

struct Options {
    unsigned short port;
    // Sockets of virtual keys to use instead of USB keys.
    std::vector<std::string> virtualKeys;
    // Origins of `--allow-origin`, normalised (see normaliseOrigin).
    std::vector<std::string> allowOrigins;
};

// Reads `--virtual-key PATH` and `--allow-origin ORIGIN` (both repeatable)
// and the port override (the text of FPKEYD_PORT, or null). Returns false
// with `error` set for anything else, a malformed origin included.
bool parseOptions(int argc, const char* const* argv, const char* portText, Options& out,
                  std::string& error);

// Which pages may open the WebSocket. Unrestricted (every origin, as pages
// in the field expect) unless an allow-list was given; then only the
// listed origins, and never a missing or "null" one.
struct OriginPolicy {
    bool restricted = false;
    // Normalised origins; empty with `restricted` set refuses every page.
    std::vector<std::string> origins;
};

// Normalises one origin "scheme://host[:port]" for exact comparison: scheme
// and host in lower case, a decimal port without leading zeros, the default
// port of http/ws (80) and https/wss (443) left out, and one trailing "/"
// dropped. No user, path, query or fragment; a host is ASCII (a name in
// punycode, an IPv4 address, or an IPv6 address in brackets). Returns false
// for anything else, "null" included.
bool normaliseOrigin(const std::string& text, std::string& out);

// Where the origins file lives: $XDG_CONFIG_HOME/fpkeyd/origins when that is
// an absolute path, else $HOME/.config/fpkeyd/origins; "" when neither is set.
std::string originFilePath(const char* xdgConfigHome, const char* home);

// Adds the origins of the file at `path` (one a line; blank lines and text
// from '#' on ignored) to `policy` and makes it restricted. A missing file
// adds nothing and leaves `policy` as it was. Returns false with `error`
// naming the file (and line) when the file cannot be read or a line is not
// an origin.
bool readOriginFile(const std::string& path, OriginPolicy& policy, std::string& error);

// Hands the policy to the WebSocket endpoint; call before work_run. The
// Host check (127.0.0.1 or localhost, on the listening port) applies under
// every policy.
void setOriginPolicy(const OriginPolicy& policy);
