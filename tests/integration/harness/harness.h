// Integration-test harness: a running fpkeyd child on a free loopback port,
// a small WebSocket client, and raw HTTP / raw frame helpers. Kept free of
// Beast so that test files compile quickly.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fpkit {

using std::chrono::milliseconds;

// A program under test: the one named by the environment variable `env`
// when set (scripts/cross-arm64 runs the packaged arm64 programs through
// qemu-aarch64 this way), else the one the build made.
const char* programPath(const char* env, const char* built);
// The daemon under test (FPKEYD_ITEST_FPKEYD, else the one built).
const char* daemonPath();
// A loopback TCP port nobody listens on right now.
unsigned short freePort();

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

// Sends `request` as is on a new TCP connection and returns what comes back
// until the peer closes or `timeout` passes.
std::string rawHttp(unsigned short port, const std::string& request,
                    milliseconds timeout = milliseconds(3000));

// A WebSocket client. Every call blocks at most the timeout given; after a
// time-out or an error the client is closed.
class WsClient {
  public:
    WsClient();
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    bool connect(unsigned short port, const std::string& path = "/websocket",
                 milliseconds timeout = milliseconds(5000));
    // The same as a page of `origin` (sent as the Origin header).
    bool connectAs(unsigned short port, const std::string& origin,
                   const std::string& path = "/websocket",
                   milliseconds timeout = milliseconds(5000));
    bool sendText(const std::string& text, milliseconds timeout = milliseconds(5000));
    bool sendBinary(const std::string& bytes, milliseconds timeout = milliseconds(5000));
    // The next message, or nothing on time-out, close or error.
    std::optional<std::string> recv(milliseconds timeout = milliseconds(5000));
    // Whether the last message received was a text frame.
    bool lastWasText() const;
    bool isOpen() const;
    // Text of the last failure ("" when none).
    std::string lastError() const;
    // Sends one command and returns its reply ("<no reply: why>" when none).
    std::string call(const std::string& command, milliseconds timeout = milliseconds(5000));

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A TCP connection that performs the WebSocket handshake by hand and then
// writes frames byte for byte, for framing edge cases.
class RawWs {
  public:
    RawWs();
    ~RawWs();
    RawWs(const RawWs&) = delete;
    RawWs& operator=(const RawWs&) = delete;

    bool connect(unsigned short port, const std::string& path = "/websocket",
                 milliseconds timeout = milliseconds(5000));
    // A masked client frame (FIN set) holding `payload`.
    static std::string frame(const std::string& payload, int opcode = 1);
    bool write(const std::string& bytes);
    // Reads one unmasked server frame; returns its payload.
    std::optional<std::string> readFrame(milliseconds timeout = milliseconds(5000),
                                         int* opcode = nullptr);
    void close();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace fpkit
