// One WebSocket message through the envelope check, the dispatch and every
// command handler (Ckjson::excute), against a virtual key running in this
// process: the key's socket front end runs on a thread of its own, the
// daemon reaches it through the virtual port exactly as over a socket to
// fpkey-vkey, and the key is provisioned at start (base application,
// device key, logon record, certificate) so signing and login paths are
// reachable. The key fingers itself ("auto-touch") whenever the module waits.
//
// The key's state and the daemon's session carry over from one input to the
// next, as they would over a real connection; a finding is replayed from a
// fresh start by the corpus replay, which runs its inputs in name order.
//
// Input: the message text. Every reply sent now must be a JSON object with
// "function" and a numeric "reterr"; delayed replies are not delivered here
// (no connection).
#include <sys/stat.h>
#include <unistd.h>

#include <json/reader.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "app/app.h"
#include "service/service.h"
#include "site/site.h"
#include "tools/tools.h"
#include "transport/transport.h"
#include "util/util.h"
#include "vkey/vkey.h"

namespace {

std::string g_dir;

void fastSleep(unsigned ms) {
    // The dispatcher waits 300 ms after cancelling a running fingerprint
    // operation; a tenth keeps the order of events at a useful speed.
    nvSleep(ms / 10);
}

const FpOps kFuzzOps = {CNvId::getFpState, CNvId::cancelVerify, CNvId::cancelEnroll, fastSleep};

bool startKey() {
    char tmpl[] = "/tmp/fpkeyd-fuzz-svc-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    g_dir = tmpl;
    // The key's thread is still running at exit; its files go all the same.
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    const std::string state = g_dir + "/state";
    mkdir(state.c_str(), 0700);
    std::unique_ptr<vkey::Key> key;
    std::string err;
    const vkey::OpenResult r = vkey::Key::open(state, nullptr, key, err);
    if (r != vkey::OpenResult::created && r != vkey::OpenResult::ok) {
        fprintf(stderr, "virtual key: %s\n", err.c_str());
        return false;
    }
    vkey::ServerOptions opt;
    opt.stateDir = state;
    opt.socketPath = g_dir + "/key.sock";
    opt.fingerWaitMs = 400;
    opt.autoTouch = "alice-thumb";
    opt.autoTouchDelayMs = 20;
    // The key lives as long as the process; its thread is never joined.
    vkey::Key* k = key.release();
    std::thread([k, opt] { vkey::runServer(*k, opt); }).detach();
    struct stat st;
    for (int i = 0; i < 500 && stat(opt.socketPath.c_str(), &st) != 0; ++i)
        usleep(10000);
    const char* paths[1] = {opt.socketPath.c_str()};
    if (PORT_UseVirtualKeys(paths, 1) != 0) return false;

    fptools::ProvisionOptions po;
    po.caDir = g_dir + "/ca";
    FILE* quiet = fopen("/dev/null", "w");
    const int pr = fptools::provisionKey(po, quiet ? quiet : stderr);
    if (quiet) fclose(quiet);
    if (pr != fptools::kProvisionOk) {
        fprintf(stderr, "provisioning the virtual key failed (%d)\n", pr);
        return false;
    }
    return true;
}

void checkReply(const std::string& reply) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(reply.data(), reply.data() + reply.size(), &v, &errs)) abort();
    if (!v.isObject() || !v.isMember("function") || !v["function"].isString() ||
        !v.isMember("reterr") || !v["reterr"].isIntegral())
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CBytesEx::s_SetSpace(false, true);
    if (!startKey()) abort();
    setFpOps(&kFuzzOps);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const std::string message(reinterpret_cast<const char*>(data), size);
    std::string reply;
    const int later = Ckjson::excute(message, reply);
    static const bool show = getenv("FPKEYD_FUZZ_SHOW") != nullptr;
    if (show)
        fprintf(stderr, "%.200s\n  -> %s\n", message.c_str(),
                later == 1 ? "(later)" : reply.c_str());
    if (later == 0 || later == kPollAgain) {
        checkReply(reply);
    } else if (later != 1) {
        abort();
    }
    // Whatever the message did, the daemon keeps serving: now and then a
    // plain command must still be answered in full.
    static unsigned count = 0;
    if (++count % 16 == 0) {
        std::string version;
        if (Ckjson::excute("{\"function\":\"GetVersion\",\"params\":[]}", version) != 0 ||
            version.find(kServiceVersion) == std::string::npos)
            abort();
    }
    return 0;
}
