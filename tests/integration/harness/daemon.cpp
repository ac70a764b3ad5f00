#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/integration/harness/harness.h"

extern char** environ;

namespace fpkit {

const char* daemonPath() {
    return programPath("FPKEYD_ITEST_FPKEYD", FPKEYD_BINARY);
}

namespace {
bool canConnect(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}
}  // namespace

Daemon::Daemon() : Daemon(Config()) {}

Daemon::Daemon(Config config) : config_(std::move(config)) {
    port_ = freePort();
    char pattern[] = "/tmp/fpkeyd-out-XXXXXX";
    int out = mkstemp(pattern);
    if (out < 0) throw std::runtime_error("mkstemp");
    outPath_ = pattern;

    std::vector<std::pair<std::string, std::string>> env = {
        {"FPKEYD_PORT", std::to_string(port_)},
        {"FPKEYD_LOG_CFG", "/nonexistent/fpkeyd-test/nuvolog.cfg"},
        // The developer's own origins file must not restrict test daemons.
        {"XDG_CONFIG_HOME", "/nonexistent/fpkeyd-test/config"},
    };
    for (auto& kv : config_.env) {
        bool replaced = false;
        for (auto& have : env)
            if (have.first == kv.first) {
                have.second = kv.second;
                replaced = true;
            }
        if (!replaced) env.push_back(kv);
        if (kv.first == "FPKEYD_PORT") port_ = static_cast<unsigned short>(std::stoi(kv.second));
    }
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (auto& kv : env)
            if (entry.compare(0, kv.first.size() + 1, kv.first + "=") == 0) replaced = true;
        if (!replaced) entries.push_back(entry);
    }
    for (auto& kv : env)
        entries.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& e : entries)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = {daemonPath()};
    for (auto& a : config_.args)
        args.push_back(a);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // A test that dies takes its daemon along.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(out, STDOUT_FILENO);
        ::close(out);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(out);
    auto deadline = std::chrono::steady_clock::now() + config_.startTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running()) throw std::runtime_error("fpkeyd ended at start: " + output());
        if (canConnect(port_)) return;
        std::this_thread::sleep_for(milliseconds(20));
    }
    stop();
    throw std::runtime_error("fpkeyd did not listen in time");
}

Daemon::~Daemon() {
    if (pid_ > 0 && status_ == -1) {
        stop();
        if (status_ == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
    }
    if (!outPath_.empty()) unlink(outPath_.c_str());
}

bool Daemon::running() {
    if (status_ != -1) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = st;
        return false;
    }
    return true;
}

int Daemon::stop(milliseconds timeout) {
    if (!running()) return status_;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running()) return status_;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
}

std::string Daemon::output() const {
    return support::readFile(outPath_);
}

}  // namespace fpkit
