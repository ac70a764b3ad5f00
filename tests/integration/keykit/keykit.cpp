// Processes and key setup of the integration kit.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "app/app.h"
#include "skf/skf.h"
#include "tests/integration/harness/harness.h"
#include "tests/integration/keykit/keykit.h"
#include "transport/transport.h"
#include "util/util.h"

namespace keykit {

namespace {

int spawn(const std::vector<std::string>& args, const std::string& outPath, bool append = false) {
    pid_t pid = fork();
    if (pid == 0) {
        if (!outPath.empty()) {
            int fd =
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

// The key and the provisioning tool under test (see fpkit::programPath).
const char* vkeyPath() {
    return fpkit::programPath("FPKEYD_ITEST_VKEY", FPKEY_VKEY_PATH);
}
const char* provisionPath() {
    return fpkit::programPath("FPKEYD_ITEST_PROVISION", FPKEY_PROVISION_PATH);
}

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/fpkey-itest-XXXXXX";
    if (mkdtemp(tmpl)) path = tmpl;
}

TempDir::~TempDir() {
    if (path.empty()) return;
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

VKey::VKey(const std::string& dir, const std::string& portPath,
           const std::vector<std::string>& extraArgs)
    : dir_(dir), portPath_(portPath), extraArgs_(extraArgs) {
    mkdir(dir.c_str(), 0700);
    sock_ = dir + "/sock";
    ctl_ = dir + "/ctl";
    errPath_ = dir + "/vkey.log";
    stateFile_ = dir + "/state/key.state";
    start();
}

void VKey::start() {
    ready_ = false;
    // Each run appends to the log, so that a restarted key's log keeps what
    // the first run said; "key ready on" is counted, not just found.
    const std::string before = log();
    size_t readyLines = 0;
    for (size_t p = before.find("key ready on"); p != std::string::npos;
         p = before.find("key ready on", p + 1))
        ++readyLines;
    std::vector<std::string> args = {
        vkeyPath(),  "--state", dir_ + "/state", "--socket", sock_,
        "--control", ctl_,      "--port-path",   portPath_,  "--verbose"};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    pid_ = spawn(args, errPath_, true);
    for (int i = 0; i < 500 && !ready_; ++i) {
        const std::string now = log();
        size_t n = 0;
        for (size_t p = now.find("key ready on"); p != std::string::npos;
             p = now.find("key ready on", p + 1))
            ++n;
        if (n > readyLines)
            ready_ = true;
        else
            usleep(10000);
    }
}

VKey::~VKey() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

void VKey::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    ready_ = false;
}

bool VKey::restart() {
    kill();
    start();
    return ready_;
}

bool VKey::ctl(const std::string& command) const {
    std::string cmd =
        std::string("'") + vkeyPath() + "' ctl '" + ctl_ + "' " + command + " >/dev/null";
    return system(cmd.c_str()) == 0;
}

std::string VKey::ctlReply(const std::string& command) const {
    std::string cmd = std::string("'") + vkeyPath() + "' ctl '" + ctl_ + "' " + command;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "";
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

std::string VKey::log() const {
    return readAll(errPath_);
}

int provision(const VKey& key, const std::string& caDir, std::string* output, bool force) {
    const std::string out = (caDir.empty() ? key.socket() : caDir) + ".provision.log";
    std::vector<std::string> args = {provisionPath(), "--virtual-key", key.socket()};
    if (!caDir.empty()) args.insert(args.end(), {"--ca-dir", caDir});
    if (force) args.push_back("--force");
    int pid = spawn(args, out);
    int status = 0;
    waitpid(pid, &status, 0);
    if (output) *output = readAll(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int countCommands(const std::string& log, uint8_t cla, uint8_t ins) {
    char pattern[16];
    snprintf(pattern, sizeof pattern, ": %02X %02X ", cla, ins);
    int n = 0;
    for (size_t p = log.find(pattern); p != std::string::npos; p = log.find(pattern, p + 1))
        ++n;
    return n;
}

int userPinTriesLeft(const std::string& stateFile, unsigned appId) {
    std::istringstream in(readAll(stateFile));
    std::string line;
    bool inApp = false;
    while (std::getline(in, line)) {
        std::istringstream w(line);
        std::string tag;
        w >> tag;
        if (tag == "app") {
            unsigned id = 0;
            w >> id;
            inApp = id == appId;
        } else if (inApp && tag == "pin") {
            std::string kind, hash;
            int max = 0, left = -1;
            w >> kind >> hash >> max >> left;
            if (kind == "u") return left;
        }
    }
    return -1;
}

std::string makeRecords(const std::string& socket, const std::vector<User>& users,
                        bool extraBaseCot) {
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    const char* paths[] = {socket.c_str()};
    if (PORT_UseVirtualKeys(paths, 1) != 0) return "PORT_UseVirtualKeys";
    cxBuf::init(0);
    if (CNvId::openDev() != 0) return "openDev";
    std::string error;
    auto check = [&](uint32_t r, const std::string& what) {
        if (r != 0 && error.empty()) error = what + " failed: " + std::to_string(r);
        return r == 0;
    };
    unsigned int tries = 0;
    for (const User& u : users) {
        if (!check(CNvId::creatApp(u.name.c_str()), "creatApp " + u.name)) break;
        if (!check(SKF_VerifyPIN(CNvId::m_hApp, USER_TYPE, "314159", &tries), "VerifyPIN")) break;
        for (const Finger& f : u.fingers) {
            std::string cot = std::to_string(f.number) + "_" + std::to_string(f.templateId);
            HCONTAINER h = nullptr;
            if (!check(SKF_CreateContainer(CNvId::m_hApp, cot.c_str(), &h), "container " + cot))
                break;
            Struct_ECCPUBLICKEYBLOB blob;
            check(SKF_GenECCKeyPair(h, SGD_SM2_1, &blob), "key " + cot);
            check(
                SKF_ImportCertificate(h, 1, reinterpret_cast<const uint8_t*>(f.displayName.data()),
                                      static_cast<unsigned>(f.displayName.size())),
                "name " + cot);
            SKF_CloseContainer(h);
        }
        CExit::uninit();
        if (!error.empty()) break;
    }
    if (error.empty() && extraBaseCot) {
        HAPPLICATION app = nullptr;
        if (check(SKF_OpenApplication(CNvId::m_hDev, "meboBaseApp", &app), "open base") &&
            check(SKF_VerifyPIN(app, USER_TYPE, "314159", &tries), "base PIN")) {
            HCONTAINER h = nullptr;
            check(SKF_CreateContainer(app, "baseCot", &h), "baseCot");
            if (h) SKF_CloseContainer(h);
        }
        if (app) SKF_CloseApplication(app);
    }
    CNvId::closeDev();
    return error;
}

}  // namespace keykit
