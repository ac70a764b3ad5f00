// Command line of fpkeyd, and which pages may open its WebSocket.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct Options {
    unsigned short port;
    // Sockets of virtual keys to use instead of USB keys.
    std::vector<std::string> virtualKeys;
    // Origins of `--allow-origin`, normalised (see normaliseOrigin).
    std::vector<std::string> allowOrigins;
    // `--allow-any-origin`: every site may use the key for this run.
    bool allowAnyOrigin = false;
    // `--list-sites` and `--revoke-site ORIGIN`: manage the user's allowed
    // sites and exit.
    bool listSites = false;
    std::vector<std::string> revokeSites;
};

// Reads `--virtual-key PATH` and `--allow-origin ORIGIN` (both repeatable)
// and the port override (the text of FPKEYD_PORT, or null). Returns false
// with `error` set for anything else, a malformed origin included.
bool parseOptions(int argc, const char* const* argv, const char* portText, Options& out,
                  std::string& error);

// How sites that nobody listed are treated: asked (the user allows them by
// a touch on the key), refused, or let in as they are.
enum class SiteMode { ask, listOnly, any };
// The mode as the administrator's file spells it: "ask", "list-only", "any".
const char* siteModeName(SiteMode mode);

// Which pages may use the key. A listed site may at once; under `ask` any
// other waits for the user's touch, under `listOnly` it is refused at the
// handshake, under `any` it is let in. The origin "null" is never listed.
struct OriginPolicy {
    SiteMode mode = SiteMode::ask;
    // Normalised origins allowed for this run: the administrator's file and
    // the command line.
    std::vector<std::string> origins;
    // The user's remembered sites (read again when it changes, written when
    // the user allows a site); "" when there is no home to keep it in.
    std::string userFile;
};

// The administrator's file: sites allowed for every user and the mode.
constexpr const char* kAdminOriginFile = "/etc/fpkeyd/origins";

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

// An origins file as it stands: one origin a line; blank lines and text
// from '#' on are comments.
struct OriginFile {
    bool found = false;  // false: nothing at the path (an empty list)
    // Each line as read, its '\n' included (the last may have none): the
    // whole file, so that rewriting it keeps what the user wrote.
    std::vector<std::string> lines;
    // The normalised origin of each line; "" for a comment, a blank line, a
    // mode line or a line that is none of these.
    std::vector<std::string> origins;
    // "PATH:N: why" for each line that is none of these, its text escaped.
    std::vector<std::string> problems;
    bool modeSet = false;
    SiteMode mode = SiteMode::ask;
};

// Reads the file at `path` (a regular file of at most 256 KiB). With
// `withMode` a line "mode ask|list-only|any" sets the mode (the
// administrator's file). False with `error` naming the file when it cannot
// be read; a line that is not understood is only listed in `problems`.
bool readOriginLines(const std::string& path, OriginFile& file, std::string& error, bool withMode);

// Adds the origins of the file at `path` to `policy`; a missing file adds
// nothing. With `withMode` (the administrator's file) a mode line sets the
// mode, and a line that is neither an origin nor that makes it return false
// with `error` naming the file and line: the run would otherwise go on with
// a policy nobody wrote. The user's file (without `withMode`), which the
// daemon writes itself, is read leniently: such a line is skipped and named
// in `error` (one line per problem) while the function returns true, so an
// odd line never costs the user the sites on the other lines. False with
// `error` for either file when it cannot be read.
bool readOriginFile(const std::string& path, OriginPolicy& policy, std::string& error,
                    bool withMode = false);

// The policy of a run: the administrator's file, the command line and the
// user's file (whose path it records). False with `error` when a file
// cannot be read.
struct Options;
bool sitePolicyFor(const Options& options, OriginPolicy& policy, std::string& error);

// The user's allowed sites: `--list-sites` prints them (and the sites the
// administrator allows for everybody) to `out`; `--revoke-site` removes one.
// 0, or 1 with a message on standard error.
int listSites(const OriginPolicy& policy, FILE* out);
int revokeSite(const OriginPolicy& policy, const std::string& origin);

// Hands the policy to the WebSocket endpoint; call before work_run. The
// Host check (127.0.0.1 or localhost, on the listening port) applies under
// every policy.
void setOriginPolicy(const OriginPolicy& policy);
