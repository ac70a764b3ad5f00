// The daemon's fingerprint and vault commands (transport/) against the real
// key process over the virtual port: both sides were written from the frame
// formats alone, and here they must agree.
#include <atomic>

#include "tests/unit/vkey/vk_process.h"
#include "transport/transport.h"
#include "transport/units.h"

using namespace vkt;

namespace {

std::string g_ctl;
std::atomic<int> g_steps{0};
uint8_t g_lastStep = 0;
int g_failedFrames = 0;

void ctlLine(const std::string& line) {
    std::string reply;
    vkey::runControlClient(g_ctl, line, reply);
}

// Every progress report of an enrolment is answered with the next touch.
int touchAgain(int* result, void* data, int* length) {
    if (*result != 0) ++g_failedFrames;
    if (data != nullptr && length != nullptr && *length == 1)
        g_lastStep = *static_cast<uint8_t*>(data);
    ++g_steps;
    ctlLine("touch alice");
    return 0;
}

int ignore(int*, void*, int*) {
    return 0;
}

class VkeyAgreement : public VkeyProcess {
  protected:
    CLink link;

    void SetUp() override {
        g_ctl = ctl;
        g_steps = 0;
        g_failedFrames = 0;
    }
    void TearDown() override {
        NUV_SetLink(nullptr);
        link.releaseDev();
        PORT_UseVirtualKeys(nullptr, 0);
        VkeyProcess::TearDown();
    }
    bool connect() {
        const char* paths[] = {sock.c_str()};
        if (PORT_UseVirtualKeys(paths, 1) != 0) return false;
        PORT_DEVNAME slots[PORT_MAX_DEVICES];
        if (PORT_GetusbPortDevNameEx(0, slots, PORT_MAX_DEVICES, 0) != 1) return false;
        _ST_PORT_PARAM rec;
        PORT_FillParam(&rec, 0, slots[0].name);
        _ST_DEV_OPT opt;
        if (initPortParam(&opt, &rec) != 0) return false;
        link.SetDev(&opt);
        if (link.linkf_openDev() != 0) return false;
        NUV_SetLink(&link);
        return true;
    }
};

TEST_F(VkeyAgreement, FingerprintCommandsOfTheDaemonAgainstTheKey) {
    ASSERT_TRUE(start({"--finger-wait", "1500"}));
    ASSERT_TRUE(connect());
    uint8_t num[NUV_FPC_NUM_MAX] = {};
    ASSERT_EQ(NUV_FpcGetNum(nullptr, num), 0u);
    EXPECT_EQ(num[0], 64);
    EXPECT_EQ(num[1], 0);

    // Enrolment: the first capture is the finger already on the sensor.
    ctlLine("touch alice");
    uint8_t id = 0;
    ASSERT_EQ(NUV_FpcEnroll(nullptr, &id, touchAgain), 0u);
    EXPECT_EQ(g_steps, 5);
    EXPECT_EQ(g_lastStep, 1);
    EXPECT_EQ(g_failedFrames, 0);
    EXPECT_GE(id, 1);
    ASSERT_EQ(NUV_FpcGetNum(nullptr, num), 0u);
    EXPECT_EQ(num[1], 1);
    EXPECT_EQ(num[2], id);

    // The same finger again is refused by the module.
    ctlLine("touch alice");
    uint8_t again = 0;
    EXPECT_EQ(NUV_FpcEnroll(nullptr, &again, ignore), NUV_MODULE_BASE + 0xE107);

    // Verification: match, mismatch, and the module's own time-out.
    uint8_t matched = 0;
    ctlLine("touch alice");
    NUV_SetTimeOut(20000);
    EXPECT_EQ(NUV_FpcVerify(nullptr, &matched, ignore), 0u);
    EXPECT_EQ(matched, id);
    const uint8_t seven = 7;
    EXPECT_EQ(NUV_FpcChip592CmdEx(nullptr, nullptr, NUV_FPC_SUB_ACK, &seven, 1), 0u);
    ctlLine("touch mallory");
    NUV_SetTimeOut(20000);
    EXPECT_EQ(NUV_FpcVerify(nullptr, &matched, ignore), NUV_MODULE_BASE + 0xE102);
    NUV_SetTimeOut(20000);
    EXPECT_EQ(NUV_FpcVerify(nullptr, &matched, ignore), NUV_MODULE_BASE + 0xE118);

    // A cancel from the network thread while a worker waits.
    std::atomic<uint32_t> workerResult{0};
    NUV_SetTimeOut(20000);
    std::thread worker([&] { workerResult = NUV_FpcVerify(nullptr, nullptr, ignore); });
    bool waiting = false;
    for (int i = 0; i < 250 && !waiting; ++i) {
        std::string reply;
        vkey::runControlClient(ctl, "status", reply);
        waiting = reply.find("module=verifying") != std::string::npos;
        if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(waiting);
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL), 0u);
    worker.join();
    EXPECT_EQ(workerResult, NUV_MODULE_BASE + 0xE117);

    // Delete, logout, flash.
    uint8_t flash[64];
    uint32_t flashLen = sizeof flash;
    ASSERT_EQ(NUV_FpcReadFlash(nullptr, 0, 64, flash, &flashLen), 0u);
    EXPECT_EQ(flashLen, 64u);
    EXPECT_EQ(flash[0], id);
    EXPECT_EQ(NUV_FpcLogout(nullptr, 1), 0u);
    EXPECT_EQ(NUV_FpcDelete(nullptr, id), 0u);
    EXPECT_EQ(NUV_FpcDelete(nullptr, id), NUV_MODULE_BASE + 0xE110);
    NUV_SetTimeOut(20000);
    EXPECT_EQ(NUV_FpcVerify(nullptr, &matched, ignore), NUV_MODULE_BASE + 0xE103);
}

TEST_F(VkeyAgreement, VaultCommandsAndFaultsOfTheKeyAsTheDaemonSeesThem) {
    ASSERT_TRUE(start());
    ctlLine("item 9 6869");
    ASSERT_TRUE(connect());
    uint8_t auth = 9;
    EXPECT_EQ(NUV_PwdGetIsAuth(nullptr, &auth), 0u);
    EXPECT_EQ(auth, 0);
    EXPECT_EQ(NUV_PwdCreateShareKey(nullptr, 1, 2), 0u);
    EXPECT_EQ(NUV_PwdGetIsAuth(nullptr, &auth), 0u);
    EXPECT_EQ(auth, 1);
    uint32_t cap = 0, used = 0;
    EXPECT_EQ(NUV_PwdGetCap(nullptr, &cap, &used), 0u);
    EXPECT_EQ(cap, 32u);
    EXPECT_EQ(used, 1u);
    uint8_t list[16];
    uint32_t count = 4;
    EXPECT_EQ(NUV_PwdGetListS(nullptr, 0, &count, list), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(list[0], 9);
    uint8_t pub[NUV_PWD_PUB_ITEM_MAX];
    uint32_t len = sizeof pub;
    EXPECT_EQ(NUV_PwdGetPubItem(nullptr, 9, pub, &len), 0u);
    EXPECT_EQ(Bytes(pub, pub + len), (Bytes{0x68, 0x69}));
    len = sizeof pub;
    EXPECT_EQ(NUV_PwdGetItem(nullptr, 9, pub, &len), NUV_MODULE_BASE + 0xE1CC);
    EXPECT_EQ(NUV_PwdDelete(nullptr, 9), 0u);

    // Faults on the wire, one reply each, and the command after is whole.
    uint8_t num[NUV_FPC_NUM_MAX];
    ctlLine("fault bad-checksum");
    EXPECT_EQ(NUV_FpcGetNum(nullptr, num), NUV_ERR_FRAME);
    // The host cannot tell how much of an oversize frame will come: it
    // refuses it at once or when the rest does not arrive.
    ctlLine("fault oversize");
    const uint32_t r = NUV_FpcGetNum(nullptr, num);
    EXPECT_TRUE(r == static_cast<uint32_t>(SS_ERR_TOO_LONG) ||
                r == static_cast<uint32_t>(SS_ERR_TIMEOUT))
        << std::hex << r;
    EXPECT_EQ(NUV_FpcGetNum(nullptr, num), 0u);
    ctlLine("fault drop");
    NUV_SetTimeOut(500);
    EXPECT_EQ(NUV_FpcGetNum(nullptr, num), static_cast<uint32_t>(SS_ERR_TIMEOUT));
    EXPECT_EQ(NUV_FpcGetNum(nullptr, num), 0u);
}

}  // namespace
