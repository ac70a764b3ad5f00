// Integration-test harness: a running fpkeyd child on a free loopback port,
// and the WebSocket client and raw HTTP / raw frame helpers of
// tests/support.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/support.h"

namespace fpkit {

using std::chrono::milliseconds;

using support::freePort;
using support::programPath;
using support::rawHttp;
using support::RawWs;
using support::WsClient;

// The daemon under test (FPKEYD_ITEST_FPKEYD, else the one built).
const char* daemonPath();

// One fpkeyd process. Logging is off unless the environment given turns it on.
class Daemon {
  public:
    struct Config {
        std::vector<std::string> args;
        // Extra or replaced environment variables.
        std::vector<std::pair<std::string, std::string>> env;
        // Waits this long for the listener.
        milliseconds startTimeout{20000};
    };
    Daemon();
    explicit Daemon(Config config);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    unsigned short port() const { return port_; }
    pid_t pid() const { return pid_; }
    // True while the process has not ended.
    bool running();
    // Sends SIGTERM and waits; returns the wait status (-1 if it would not end).
    int stop(milliseconds timeout = milliseconds(15000));
    // Everything the process wrote to standard output so far.
    std::string output() const;

  private:
    Config config_;
    unsigned short port_ = 0;
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_;
};

}  // namespace fpkit
