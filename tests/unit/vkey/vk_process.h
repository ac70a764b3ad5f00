// The real fpkey-vkey process for tests: start and stop it, hello and
// transfer units over its socket, its control command line.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
    std::string state = dir.path + "/state", sock = dir.path + "/key.sock",
                ctl = dir.path + "/ctl.sock", log = dir.path + "/key.log";
    pid_t pid = -1;

    void TearDown() override { stop(SIGTERM); }

    bool start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {VKEY_BIN, "--state",   state, "--socket",
                                         sock,     "--control", ctl};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = fork();
        if (pid == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 2);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500; ++i) {
            if (helloOnce(sock, "FPKV INFO").rfind("FPKV", 0) == 0) return true;
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Signals the key and waits for it at most 10 s: a key that does not
    // end fails the test instead of hanging it.
    void stop(int sig) {
        if (pid <= 0) return;
        kill(pid, sig);
        int status;
        for (int i = 0; i < 1000; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the key did not end on signal " << sig;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        pid = -1;
    }

    int exitStatus() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int ctlRun(const std::string& cmd, std::string& out) {
        std::string line = std::string(VKEY_BIN) + " ctl " + ctl + " " + cmd + " 2>&1";
        FILE* p = popen(line.c_str(), "r");
        char buf[512];
        out.clear();
        while (fgets(buf, sizeof buf, p))
            out += buf;
        int status = pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int openData() {
        int fd = connectTo(sock);
        EXPECT_EQ(hello(fd, "FPKV OPEN"), "FPKV OK 0x2549 01.03");
        return fd;
    }
};

}  // namespace vkt
