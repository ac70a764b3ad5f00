// The real fpkey-vkey process for tests: start and stop it, hello and
// transfer units over its socket, its control command line.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/support.h"
#include "tests/unit/vkey/vk_helpers.h"

namespace vkt {

inline int connectTo(const std::string& path) {
    sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

inline bool sendUnit(int fd, const Bytes& unit) {
    Bytes u = unit;
    u.resize(64, 0);
    return send(fd, u.data(), u.size(), MSG_NOSIGNAL) == 64;
}

// Sends a hello; returns the answer text ("" when none). The fd stays open.
inline std::string hello(int fd, const std::string& text) {
    if (!sendUnit(fd, Bytes(text.begin(), text.end()))) return "";
    char buf[65] = {};
    ssize_t n = recv(fd, buf, 64, 0);
    if (n != 64) return "";
    return std::string(buf);
}

inline std::string helloOnce(const std::string& path, const std::string& text) {
    int fd = connectTo(path);
    if (fd < 0) return "";
    std::string r = hello(fd, text);
    close(fd);
    return r;
}

inline bool peerClosed(int fd) {
    char b[64];
    return recv(fd, b, sizeof b, 0) == 0;
}

// Frames over the socket, in 64-byte units, completed from the length field.
class SocketPort : public Port {
  public:
    explicit SocketPort(int fd) : m_fd(fd) {}
    bool exchange(const Bytes& request, Bytes& reply) override {
        for (size_t at = 0; at < request.size(); at += 64)
            if (!sendUnit(m_fd, Bytes(request.data() + at,
                                      request.data() + std::min(at + 64, request.size()))))
                return false;
        reply.clear();
        size_t need = 64;
        while (reply.size() < need) {
            uint8_t unit[64];
            if (recv(m_fd, unit, 64, 0) != 64) return false;
            reply.insert(reply.end(), unit, unit + 64);
            if (reply.size() == 64) need = (static_cast<size_t>(reply[1]) << 8 | reply[2]) + 10;
        }
        return true;
    }

  private:
    int m_fd;
};

class VkeyProcess : public ::testing::Test {
  protected:
    TempDir dir;
    support::VKey key{dir.path};
    const std::string state = key.stateDir(), sock = key.socket(), ctl = key.control(),
                      log = key.logPath();

    void TearDown() override { stop(SIGTERM); }

    bool start(const std::vector<std::string>& extra = {}) { return key.start(extra); }

    // Signals the key and waits for it at most 10 s: a key that does not
    // end fails the test instead of hanging it.
    void stop(int sig) {
        if (!key.stop(sig)) ADD_FAILURE() << "the key did not end on signal " << sig;
    }

    int ctlRun(const std::string& cmd, std::string& out) { return key.ctlRun(cmd, &out); }

    int openData() {
        int fd = connectTo(sock);
        EXPECT_EQ(hello(fd, "FPKV OPEN"), "FPKV OK 0x2549 01.03");
        return fd;
    }
};

}  // namespace vkt
