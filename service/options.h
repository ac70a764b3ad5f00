// Command line of fpkeyd.
#pragma once

#include <string>
#include <vector>

struct Options {
    unsigned short port;
    // Sockets of virtual keys to use instead of USB keys.
    std::vector<std::string> virtualKeys;
};

// Reads `--virtual-key PATH` (repeatable) and the port override (the text of
// FPKEYD_PORT, or null). Returns false with `error` set for anything else.
bool parseOptions(int argc, const char* const* argv, const char* portText, Options& out,
                  std::string& error);
