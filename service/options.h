// Command line of fpkeyd, and which pages may open its WebSocket.
#pragma once

#include <string>
#include <vector>

#include "site/site.h"

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

// The policy of a run: the administrator's file, the command line and the
// user's file (whose path it records). False with `error` when a file
// cannot be read.
bool sitePolicyFor(const Options& options, OriginPolicy& policy, std::string& error);
