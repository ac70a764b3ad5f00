// Fingerprint module commands against a scripted module: what each command
// sends, how multi-frame enrolment and verification answers reach the
// callbacks, cancels sent from a second thread while a worker waits, the
// module time-out and the wait times in force.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "tests/unit/transport/module_peer.h"
#include "transport/nuv_cmd.h"
#include "transport/usb.h"

namespace {

// What the callbacks saw, shared with the test thread.
struct Progress {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> results;
    std::vector<int> steps;  // -1 when no step pointer was passed
    std::vector<int> lengths;

    bool waitCalls(size_t n) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, std::chrono::seconds(10), [&] { return results.size() >= n; });
    }
};
Progress* g_progress = nullptr;

int progressCb(int* result, void* data, int* length) {
    {
        std::lock_guard<std::mutex> g(g_progress->mu);
        g_progress->results.push_back(*result);
        g_progress->steps.push_back(data != nullptr ? *static_cast<uint8_t*>(data) : -1);
        g_progress->lengths.push_back(length != nullptr ? *length : -1);
    }
    g_progress->cv.notify_all();
    return 0;
}

class NuvFpc : public ::testing::Test {
  protected:
    void SetUp() override {
        g_progress = &progress;
        NUV_SetLink(&peer.link());
        NUV_SetRegistry(nullptr, nullptr);
        NUV_SetTimeOut(NUV_DEFAULT_TIMEOUT_MS);
        PORT_SETWAITTIME(2000);
    }
    void TearDown() override {
        NUV_SetLink(nullptr);
        g_progress = nullptr;
    }
    Progress progress;
    ModulePeer peer;
};

TEST_F(NuvFpc, CountTakesTheSlotTable) {
    const Bytes table = {4, 2, 1, 0, 3, 0};
    peer.setScript([&](ModulePeer& p, const ModuleRequest& r) { p.answer(r.seq(), 0, table); });
    uint8_t out[NUV_FPC_NUM_MAX];
    memset(out, 0xEE, sizeof out);
    ASSERT_EQ(NUV_FpcGetNum(nullptr, out), 0u);
    EXPECT_EQ(Bytes(out, out + table.size()), table);
    EXPECT_EQ(out[table.size()], 0xEE);
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].payload(), (Bytes{0x0A, 0, 0, 0}));

    // With no buffer only the answer counts; a module status then is not an error.
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) { p.answer(r.seq(), 0xE10B, {}); });
    EXPECT_EQ(NUV_FpcGetNum(nullptr, nullptr), 0u);
    EXPECT_EQ(NUV_FpcGetNum(nullptr, out), 0x1E10Bu);
}

// Five capture frames (one with a module status), then the template number.
TEST_F(NuvFpc, EnrolmentReportsEachCaptureAndStoresTheTemplate) {
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) {
        for (uint8_t step = 1; step <= 5; ++step)
            p.answer(r.seq(), step == 3 ? 0xE104 : 0, {step}, 1);
        p.answer(r.seq(), 0, {7}, 0);
    });
    NUV_SetTimeOut(2000);
    uint8_t id = 0;
    ASSERT_EQ(NUV_FpcEnroll(nullptr, &id, progressCb), 0u);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(progress.results, (std::vector<int>{0, 0, 0x1E104, 0, 0}));
    EXPECT_EQ(progress.steps, (std::vector<int>{1, 2, 0, 4, 5}));
    EXPECT_EQ(progress.lengths, (std::vector<int>(5, 1)));
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].payload(), (Bytes{0x00, 0, 0, 0}));

    // m_timeout at 2000: every frame waited 35000 ms; afterwards 2000.
    EXPECT_EQ(peer.receiveWaits(), std::vector<uint32_t>(6, 35000));
    EXPECT_EQ(NUV_GetTimeOut(), 2000);
    EXPECT_EQ(ssUsbGetTimeout(), 2000u);

    // The extension flag selects command 0x000F; a longer m_timeout is kept.
    NUV_SetTimeOut(40000);
    ASSERT_EQ(NUV_FpcEnrollEx(nullptr, &id, progressCb, 1), 0u);
    EXPECT_EQ(peer.requests()[1].command(), 0x000F);
    EXPECT_EQ(peer.receiveWaits().back(), 40000u);
}

TEST_F(NuvFpc, EnrolmentFailures) {
    uint8_t id = 0x55;
    // No callback: refused before anything is sent.
    EXPECT_EQ(NUV_FpcEnroll(nullptr, &id, nullptr), NUV_ERR_NULL);
    EXPECT_EQ(NUV_FpcVerify(nullptr, &id, nullptr), NUV_ERR_NULL);
    EXPECT_TRUE(peer.requests().empty());

    // The last frame decides: cancelled on the device.
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) {
        p.answer(r.seq(), 0, {6}, 1);
        p.answer(r.seq(), 0xE117, {}, 0);
    });
    EXPECT_EQ(NUV_FpcEnroll(nullptr, &id, progressCb), 0x1E117u);
    EXPECT_EQ(id, 0x55);
    EXPECT_EQ(progress.results.size(), 1u);

    // A stale first answer fails the enrolment at once.
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) {
        p.answer(static_cast<uint8_t>(r.seq() + 1), 0, {1}, 1);
    });
    EXPECT_EQ(NUV_FpcEnroll(nullptr, &id, progressCb), NUV_ERR_SEQ);
    EXPECT_EQ(NUV_GetTimeOut(), 2000);
}

TEST_F(NuvFpc, VerificationMatchAndMismatch) {
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) {
        p.answer(r.seq(), 0, Bytes(16, 0xAB), 1);
        p.answer(r.seq(), 0xE103, {}, 1);
        p.answer(r.seq(), 0, {9, 1, 2}, 0);
    });
    NUV_SetTimeOut(20000);
    uint8_t id = 0;
    ASSERT_EQ(NUV_FpcVerify(nullptr, &id, progressCb), 0u);
    EXPECT_EQ(id, 9);
    EXPECT_EQ(progress.results, (std::vector<int>{0, 0x1E103}));
    EXPECT_EQ(progress.steps, (std::vector<int>{-1, -1}));
    EXPECT_EQ(progress.lengths, (std::vector<int>{-1, -1}));
    EXPECT_EQ(peer.requests()[0].payload(), (Bytes{0x01, 0, 0, 0}));
    EXPECT_EQ(peer.receiveWaits(), std::vector<uint32_t>(3, 20000));
    EXPECT_EQ(NUV_GetTimeOut(), 2000);

    peer.setScript([](ModulePeer& p, const ModuleRequest& r) { p.answer(r.seq(), 0xE102, {}); });
    id = 0x77;
    EXPECT_EQ(NUV_FpcVerify(nullptr, &id, progressCb), 0x1E102u);
    EXPECT_EQ(id, 0x77);
    EXPECT_EQ(NUV_FpcVerify(nullptr, nullptr, progressCb) & 0xFFFF, 0xE102u);
}

// A worker waits in the module command; the test thread sends the cancel on
// the same link. The cancel only sends, so the module's closing frame goes to
// the worker.
void cancelWhileWaiting(ModulePeer& peer, Progress& progress, bool enrol) {
    std::atomic<uint8_t> pendingSeq{0};
    peer.setScript([&](ModulePeer& p, const ModuleRequest& r) {
        if (r.command() == 0x0020) {
            // The cancel: end the pending command.
            p.answer(pendingSeq, 0xE117, {}, 0);
            return;
        }
        pendingSeq = r.seq();
        p.answer(r.seq(), 0, {1}, 1);
        p.answer(r.seq(), 0, {2}, 1);
    });
    std::atomic<uint32_t> result{0};
    uint8_t id = 0x66;
    std::thread worker([&] {
        result = enrol ? NUV_FpcEnroll(nullptr, &id, progressCb)
                       : NUV_FpcVerify(nullptr, &id, progressCb);
    });
    ASSERT_TRUE(progress.waitCalls(2));
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL), 0u);
    worker.join();
    EXPECT_EQ(result.load(), 0x1E117u);
    EXPECT_EQ(id, 0x66);
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[1].payload(), (Bytes{0x20, 0x00, 0x01, 0x00, 0x3F}));
    EXPECT_NE(req[1].seq(), req[0].seq());
    peer.setScript(nullptr);
}

TEST_F(NuvFpc, CancelFromAnotherThreadDuringEnrolment) {
    NUV_SetTimeOut(2000);
    cancelWhileWaiting(peer, progress, true);
}

TEST_F(NuvFpc, CancelFromAnotherThreadDuringVerification) {
    NUV_SetTimeOut(20000);
    cancelWhileWaiting(peer, progress, false);
}

// Cancels sent from two threads at once (as when a cancel meets the
// worker's own request) reach the key as whole frames.
TEST_F(NuvFpc, ConcurrentSendsArriveWhole) {
    constexpr int kEach = 500;
    const uint8_t data[100] = {};
    auto sender = [&] {
        for (int i = 0; i < kEach; ++i)
            NUV_FpcChip592CmdEx(nullptr, nullptr, NUV_FPC_SUB_CANCEL, data, sizeof data);
    };
    const uint8_t first = nuvPeekSequence();
    std::thread a(sender);
    std::thread b(sender);
    a.join();
    b.join();
    ASSERT_TRUE(peer.waitRequests(size_t{2} * kEach));
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 2u * kEach);
    std::vector<int> seen(256), expected(256);
    for (const ModuleRequest& r : req) {
        ASSERT_EQ(frameCheckEx(r.frame.data(), r.frame.size(), FRAME_MAX_PAYLOAD), 1);
        ASSERT_EQ(r.payload().size(), 4u + 1 + sizeof data);
        seen[r.seq()]++;
    }
    // Each request took the next sequence byte: no two shared one.
    for (int k = 0; k < 2 * kEach; ++k)
        expected[static_cast<uint8_t>(first + k)]++;
    EXPECT_EQ(seen, expected);
}

TEST_F(NuvFpc, ModuleTimeOut) {
    // One capture report, then silence until the wait runs out.
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) { p.answer(r.seq(), 0, {}, 1); });
    NUV_SetTimeOut(50);
    uint8_t id = 0;
    EXPECT_EQ(NUV_FpcVerify(nullptr, &id, progressCb), static_cast<uint32_t>(SS_ERR_TIMEOUT));
    EXPECT_EQ(progress.results.size(), 1u);
    EXPECT_EQ(NUV_GetTimeOut(), 2000);
    EXPECT_EQ(ssUsbGetTimeout(), 2000u);

    // No answer at all.
    peer.setScript(nullptr);
    NUV_SetTimeOut(50);
    EXPECT_EQ(NUV_FpcGetNum(nullptr, nullptr), static_cast<uint32_t>(SS_ERR_TIMEOUT));
    EXPECT_EQ(NUV_GetTimeOut(), 2000);
}

TEST_F(NuvFpc, DeleteLogoutAndFlashRequests) {
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) {
        if (r.command() == 0x0010)
            p.answer(r.seq(), 0, {0xF0, 0xF1, 0xF2});
        else
            p.answer(r.seq(), r.data()[0] == 2 ? 0xE10C : 0, {});
    });
    EXPECT_EQ(NUV_FpcDelete(nullptr, 0x103), 0u);
    EXPECT_EQ(NUV_FpcDelete(nullptr, 2), 0x1E10Cu);
    EXPECT_EQ(NUV_FpcLogout(nullptr, 5), 0u);
    EXPECT_EQ(NUV_FpcLogout(nullptr, 0), 0u);
    uint8_t out[3];
    uint32_t len = sizeof out;
    EXPECT_EQ(NUV_FpcReadFlash(nullptr, 0x11223344, 0x80, out, &len), 0u);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(out[2], 0xF2);
    len = 2;
    EXPECT_EQ(NUV_FpcReadFlash(nullptr, 0, 3, out, &len), NUV_ERR_BUF_SMALL);
    len = 0;  // no room is no room
    EXPECT_EQ(NUV_FpcReadFlash(nullptr, 0, 3, out, &len), NUV_ERR_BUF_SMALL);
    EXPECT_EQ(NUV_FpcReadFlash(nullptr, 0, 3, nullptr, &len), NUV_ERR_NULL);
    EXPECT_EQ(NUV_FpcReadFlash(nullptr, 0, 3, out, nullptr), NUV_ERR_NULL);

    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 7u);
    EXPECT_EQ(req[0].payload(), (Bytes{0x04, 0, 1, 0, 0x03}));
    EXPECT_EQ(req[2].payload(), (Bytes{0x0B, 0, 1, 0, 0x01}));
    EXPECT_EQ(req[3].data(), (Bytes{0x00}));
    EXPECT_EQ(req[4].payload(),
              (Bytes{0x10, 0, 8, 0, 0x44, 0x33, 0x22, 0x11, 0x80, 0x00, 0x00, 0x00}));
}

TEST_F(NuvFpc, SubCommandsAndTheAcknowledgement) {
    Bytes reply;
    uint16_t status = 0;
    peer.setScript(
        [&](ModulePeer& p, const ModuleRequest& r) { p.answer(r.seq(), status, reply); });
    const uint8_t seven = 7;
    uint8_t out[8] = {};

    reply = {0x38, 0xAA, 0xBB};
    EXPECT_EQ(NUV_FpcChip592CmdEx(nullptr, out, NUV_FPC_SUB_ACK, &seven, 1), 0u);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(out[1], 0xBB);
    EXPECT_EQ(peer.requests()[0].payload(), (Bytes{0x20, 0, 2, 0, 0x38, 0x07}));
    // Answer room smaller than the answer.
    EXPECT_EQ(NUV_FpcChip592CmdEx(nullptr, out, NUV_FPC_SUB_ACK, &seven, 1, 1), NUV_ERR_BUF_SMALL);
    // No echo of the sub-command.
    reply = {0x39};
    EXPECT_EQ(NUV_FpcChip592CmdEx(nullptr, nullptr, NUV_FPC_SUB_ACK, &seven, 1), 1u);
    reply = {};
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, out, 3), 1u);
    EXPECT_EQ(peer.requests()[3].payload(), (Bytes{0x20, 0, 1, 0, 0x23}));
    status = 0xE1DD;
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, out, 3), 0x1E1DDu);

    // The cancel goes out alone and takes no answer: the next command gets
    // its own.
    status = 0;
    reply = {0x23};
    peer.setScript([&](ModulePeer& p, const ModuleRequest& r) {
        if (r.command() != 0x0020 || r.data()[0] != 0x3F) p.answer(r.seq(), status, reply);
    });
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL), 0u);
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, nullptr, 3), 0u);
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 7u);
    EXPECT_EQ(req[5].payload(), (Bytes{0x20, 0, 1, 0, 0x3F}));
    // The cancel changes no wait time.
    EXPECT_EQ(peer.receiveWaits().back(), 2000u);
}

}  // namespace
