// Round trips of the smart-key layer against the virtual key over the virtual
// port. Each function is measured beside a baseline in the same run: the same
// request frame, prebuilt, sent straight over the link. Printed at the end:
// - daemon-side share: CPU time of this thread / wall time of the round trip
//   (the rest is the key process and the socket hand-over);
// - layer cost: round trip through the SKF function / raw-link round trip.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "skf/hdlmap.h"
#include "skf/skf.h"
#include "tests/support/support.h"
#include "transport/transport.h"

namespace {

DEVHANDLE g_dev = nullptr;
HCONTAINER g_con = nullptr;
std::vector<uint8_t> g_verFrame, g_signFrame;
const uint8_t kDigest[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

bool check(uint32_t r, const char* what) {
    if (r != SAR_OK) fprintf(stderr, "bench_skf: %s failed: 0x%08X\n", what, r);
    return r == SAR_OK;
}

// A request frame for the card OS with the given command area.
std::vector<uint8_t> frameFor(const std::vector<uint8_t>& apdu) {
    std::vector<uint8_t> f(apdu.size() + FRAME_ENVELOPE);
    memcpy(f.data() + FRAME_OFS_PAYLOAD, apdu.data(), apdu.size());
    f.resize(frameBuild(f.data(), f.size(), apdu.size(), FRAME_CH_APDU, FRAME_PLAIN, 0x5A, 0));
    return f;
}

bool setUpKey() {
    char names[512];
    unsigned int size = sizeof names;
    if (!check(SKF_EnumDev(1, names, &size), "SKF_EnumDev")) return false;
    if (!check(SKF_ConnectDev(names, &g_dev), "SKF_ConnectDev")) return false;
    const uint8_t devKey[16] = {'3', '1', '4', '1', '5', '9', '2', '6',
                                '5', '3', '5', '8', '9', '7', '9', '3'};
    uint8_t ch[8], crypt[16];
    if (!check(SKF_GenRandom(g_dev, ch, 8), "SKF_GenRandom")) return false;
    cos17B_Encrypt_SM4Ex(ch, 8, devKey, crypt);
    if (!check(SKF_DevAuth(g_dev, crypt, 16), "SKF_DevAuth")) return false;
    HAPPLICATION app = nullptr;
    if (!check(SKF_CreateApplication(g_dev, "BENCH", "admin123", 6, "user1234", 6, 0xFF, &app),
               "SKF_CreateApplication")) {
        return false;
    }
    unsigned int retry = 0;
    if (!check(SKF_VerifyPIN(app, USER_TYPE, "user1234", &retry), "SKF_VerifyPIN")) return false;
    if (!check(SKF_CreateContainer(app, "bench", &g_con), "SKF_CreateContainer")) return false;
    Struct_ECCPUBLICKEYBLOB pub;
    if (!check(SKF_GenECCKeyPair(g_con, SGD_SM2_1, &pub), "SKF_GenECCKeyPair")) return false;
    g_verFrame = frameFor({0x80, 0x04, 0x04, 0x00, 0, 0, 0, 0});
    return true;
}

void rawRoundTrip(benchmark::State& state, const std::vector<uint8_t>& frame) {
    CLink* link = nullptr;
    if (SKFK_GetLink(g_dev, &link) != SAR_OK || frame.empty()) {
        state.SkipWithError("no link");
        return;
    }
    uint8_t rx[FRAME_BUF_SIZE];
    for (auto _ : state) {
        (void)_;  // the loop variable only counts the runs
        if (link->linkf_txd_buff(PROTOCOL_FRAME, frame.data(), static_cast<int>(frame.size())) !=
            0) {
            state.SkipWithError("send");
            break;
        }
        int n = 0;
        if (link->linkf_rxd_buff(PROTOCOL_FRAME, rx, &n, sizeof rx) != 0) {
            state.SkipWithError("receive");
            break;
        }
        benchmark::DoNotOptimize(rx);
    }
}

void BM_SKFX_GetVer(benchmark::State& state) {
    uint8_t ver[3];
    for (auto _ : state) {
        (void)_;  // the loop variable only counts the runs
        if (SKFX_GetVer(g_dev, ver) != SAR_OK) {
            state.SkipWithError("SKFX_GetVer");
            break;
        }
        benchmark::DoNotOptimize(ver);
    }
}

void BM_Link_GetVer(benchmark::State& state) {
    rawRoundTrip(state, g_verFrame);
}

void BM_SKF_ECCSignData(benchmark::State& state) {
    ECCSIGNATUREBLOB sig;
    for (auto _ : state) {
        (void)_;  // the loop variable only counts the runs
        if (SKF_ECCSignData(g_con, kDigest, 32, &sig) != SAR_OK) {
            state.SkipWithError("SKF_ECCSignData");
            break;
        }
        benchmark::DoNotOptimize(sig);
    }
}

void BM_Link_ECCSignData(benchmark::State& state) {
    rawRoundTrip(state, g_signFrame);
}

class ShareReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred || r.iterations == 0) continue;
            const double n = static_cast<double>(r.iterations);
            std::string name = r.benchmark_name();
            name = name.substr(0, name.find('/'));  // drop "/real_time"
            m_wall[name] = r.real_accumulated_time / n;
            m_cpu[name] = r.cpu_accumulated_time / n;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void summary() const {
        printf("\n%-20s %12s %14s %14s\n", "function", "round trip", "daemon share", "vs raw link");
        const char* pairs[][2] = {{"BM_SKFX_GetVer", "BM_Link_GetVer"},
                                  {"BM_SKF_ECCSignData", "BM_Link_ECCSignData"}};
        for (const auto& p : pairs) {
            auto w = m_wall.find(p[0]);
            auto c = m_cpu.find(p[0]);
            auto base = m_wall.find(p[1]);
            if (w == m_wall.end() || c == m_cpu.end() || base == m_wall.end()) continue;
            printf("%-20s %9.1f us %13.1f%% %13.2fx\n", p[0] + 3, w->second * 1e6,
                   100.0 * c->second / w->second, w->second / base->second);
        }
    }

  private:
    std::map<std::string, double> m_wall, m_cpu;
};

// The baseline signing frame carries the same bytes SKF_ECCSignData sends:
// application and container IDs from the handle map, the LV4 signer ID and
// the digest.
bool buildSignFrame() {
    CLink* link = nullptr;
    if (SKFK_GetLink(g_dev, &link) != SAR_OK) return false;
    unsigned short conId = 0, appId = 0;
    void* app = nullptr;
    void* dev = nullptr;
    if (!getHdlInfo(HDL_CONTAINER, g_con, conId, app, nullptr) ||
        !getHdlInfo(HDL_APP, app, appId, dev, nullptr)) {
        return false;
    }
    std::vector<uint8_t> apdu = {0x80, 0x74, 0x02, 0x00, 56, 0, 0, 0};
    apdu.push_back(static_cast<uint8_t>(appId));
    apdu.push_back(static_cast<uint8_t>(appId >> 8));
    apdu.push_back(static_cast<uint8_t>(conId));
    apdu.push_back(static_cast<uint8_t>(conId >> 8));
    apdu.insert(apdu.end(), {16, 0, 0, 0});
    const char* id = "1234567812345678";
    apdu.insert(apdu.end(), id, id + 16);
    apdu.insert(apdu.end(), kDigest, kDigest + 32);
    g_signFrame = frameFor(apdu);
    // The baseline must be answered with a signature, as the real call is.
    uint8_t rx[FRAME_BUF_SIZE];
    int n = 0;
    if (link->linkf_txd_buff(PROTOCOL_FRAME, g_signFrame.data(),
                             static_cast<int>(g_signFrame.size())) != 0 ||
        link->linkf_rxd_buff(PROTOCOL_FRAME, rx, &n, sizeof rx) != 0 || n < 11 || rx[7] != 0x00 ||
        rx[8] != 0x90) {
        fprintf(stderr, "bench_skf: the raw signing frame is not accepted by the key\n");
        return false;
    }
    return true;
}

}  // namespace

BENCHMARK(BM_Link_GetVer)->UseRealTime();
BENCHMARK(BM_SKFX_GetVer)->UseRealTime();
BENCHMARK(BM_Link_ECCSignData)->UseRealTime();
BENCHMARK(BM_SKF_ECCSignData)->UseRealTime();

int main(int argc, char** argv) {
    const support::TempDir dir;
    support::VKey key(dir.path);
    key.start();
    const char* paths[] = {key.socket().c_str()};
    int rc = 1;
    if (PORT_UseVirtualKeys(paths, 1) == 0 && setUpKey() && buildSignFrame()) {
        benchmark::Initialize(&argc, argv);
        ShareReporter reporter;  // plain text: the summary follows the table
        benchmark::RunSpecifiedBenchmarks(&reporter);
        reporter.summary();
        rc = 0;
    }
    SKF_DisConnectDev(g_dev);
    return rc;
}
