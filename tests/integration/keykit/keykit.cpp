// Processes and key setup of the integration kit.
#include <sys/wait.h>

#include <cstdio>
#include <mutex>
#include <sstream>

#include "app/app.h"
#include "skf/skf.h"
#include "tests/integration/keykit/keykit.h"
#include "transport/transport.h"
#include "util/util.h"

namespace keykit {

namespace {

const char* provisionPath() {
    return support::programPath("FPKEYD_ITEST_PROVISION", FPKEY_PROVISION_PATH);
}

}  // namespace

int provision(const VKey& key, const std::string& caDir, std::string* output, bool force) {
    const std::string out = (caDir.empty() ? key.socket() : caDir) + ".provision.log";
    std::vector<std::string> args = {provisionPath(), "--virtual-key", key.socket()};
    if (!caDir.empty()) args.insert(args.end(), {"--ca-dir", caDir});
    if (force) args.push_back("--force");
    const pid_t pid = support::spawn(args, out);
    int status = 0;
    waitpid(pid, &status, 0);
    if (output) *output = support::readFile(out);
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
    std::istringstream in(support::readFile(stateFile));
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
