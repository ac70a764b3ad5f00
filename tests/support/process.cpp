// Temporary directories, child processes and the virtual key process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/support.h"

namespace support {

namespace {

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// Runs a shell command line; its exit status (-1 when it did not exit) and
// its standard output in `out`.
int runText(const std::string& line, std::string& out) {
    out.clear();
    FILE* p = popen(line.c_str(), "r");
    if (!p) return -1;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

const char* programPath(const char* env, const char* built) {
    const char* given = getenv(env);
    return given && *given ? given : built;
}

const char* vkeyPath() {
    return programPath("FPKEYD_ITEST_VKEY", FPKEY_VKEY_PATH);
}

TempDir::TempDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fpkey-test-XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp " + pattern);
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

pid_t spawn(const std::vector<std::string>& args, const std::string& outPath, bool append) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!outPath.empty()) {
            const int fd =
                open(outPath.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0600);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
        }
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

unsigned short freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

VKey::VKey(const std::string& dir)
    : dir_(dir),
      sock_(dir + "/sock"),
      ctl_(dir + "/ctl"),
      stateDir_(dir + "/state"),
      stateFile_(dir + "/state/key.state"),
      logPath_(dir + "/vkey.log") {
    mkdir(dir.c_str(), 0700);
}

VKey::~VKey() {
    stop();
}

bool VKey::start(const std::vector<std::string>& args) {
    stop();
    args_ = args;
    // "key ready on" comes once both sockets listen; the log is appended to,
    // so the lines are counted, not just found.
    const std::string kReady = "key ready on";
    const size_t before = countOf(log(), kReady);
    std::vector<std::string> argv = {vkeyPath(), "--state",   stateDir_, "--socket",
                                     sock_,      "--control", ctl_};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, logPath_, true);
    for (int i = 0; i < 1000 && !ready_; ++i) {
        if (countOf(log(), kReady) > before) {
            ready_ = true;
        } else if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        } else {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    return ready_;
}

bool VKey::stop(int sig, milliseconds timeout) {
    ready_ = false;
    if (pid_ <= 0) return true;
    ::kill(pid_, sig);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return false;
}

bool VKey::restart() {
    kill();
    return start(args_);
}

int VKey::wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    ready_ = false;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string VKey::log() const {
    return readFile(logPath_);
}

int VKey::ctlRun(const std::string& command, std::string* out) const {
    std::string text;
    const int status = runText(ctlLine(command) + " 2>&1", text);
    if (out) *out = text;
    return status;
}

bool VKey::ctl(const std::string& command) const {
    return ctlRun(command) == 0;
}

std::string VKey::ctlReply(const std::string& command) const {
    std::string out;
    runText(ctlLine(command), out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string VKey::ctlLine(const std::string& command) const {
    return std::string("'") + vkeyPath() + "' ctl '" + ctl_ + "' " + command;
}

}  // namespace support
