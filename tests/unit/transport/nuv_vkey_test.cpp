// The fingerprint commands end to end against a real fpkey-vkey process over
// the virtual port: the count, an enrolment driven by touches on the key's
// control socket, verification that matches and that does not, a cancel
// from a second thread while the first waits, the module's own time-out,
// and card-OS commands on the same link while a verification waits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/support.h"
#include "transport/transport.h"

namespace {

constexpr uint16_t kCancelled = 0xE117, kMismatch = 0xE102, kNoFinger = 0xE118;

// What the progress callbacks saw, shared with the test thread.
struct Progress {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> results;
    std::vector<int> steps;  // -1 when no step pointer was passed
    std::vector<int> lengths;

    size_t calls() {
        std::lock_guard<std::mutex> g(mu);
        return results.size();
    }
    bool waitCalls(size_t n) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, std::chrono::seconds(20), [&] { return results.size() >= n; });
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

// A fingerprint command running on a worker thread, as the daemon runs one.
class Worker {
  public:
    template <typename F>
    explicit Worker(F f)
        : m_thread([this, f] {
              m_result = f();
              m_done = true;
          }) {}
    ~Worker() {
        if (m_thread.joinable()) m_thread.join();
    }
    uint32_t join() {
        m_thread.join();
        return m_result;
    }
    bool done() const { return m_done; }

  private:
    std::atomic<uint32_t> m_result{0xFFFFFFFF};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

class NuvVkey : public ::testing::Test {
  protected:
    void TearDown() override {
        NUV_SetLink(nullptr);
        link.releaseDev();
        m_key.reset();
        m_dir.reset();
        g_progress = nullptr;
    }

    // Starts a blank key with these extra options (the same key again, its
    // templates kept, when one ran before) and opens the link to it.
    void startKey(std::vector<std::string> extra = {}) {
        if (m_key) {
            NUV_SetLink(nullptr);
            link.releaseDev();
            m_key->stop();
        } else {
            m_dir = std::make_unique<support::TempDir>();
            m_key = std::make_unique<support::VKey>(m_dir->path);
        }
        ASSERT_TRUE(m_key->start(extra)) << "virtual key did not start";
        ASSERT_TRUE(statusShows("module=idle"));
        const char* paths[] = {m_key->socket().c_str()};
        ASSERT_EQ(PORT_UseVirtualKeys(paths, 1), 0);
        PORT_DEVNAME slots[PORT_MAX_DEVICES];
        ASSERT_EQ(PORT_GetusbPortDevName(0, slots, PORT_MAX_DEVICES), 1);
        _ST_PORT_PARAM rec;
        PORT_FillParam(&rec, 0, slots[0].name);
        _ST_DEV_OPT opt;
        ASSERT_EQ(initPortParam(&opt, &rec), 0);
        link.SetDev(&opt);
        ASSERT_EQ(link.linkf_openDev(), 0);
        NUV_SetLink(&link);
        NUV_SetRegistry(nullptr, nullptr);
        g_progress = &progress;
    }

    // `fpkey-vkey ctl PATH WORDS...`: its answer line.
    std::string ctl(const std::string& words) { return m_key->ctlReply(words); }
    bool statusShows(const std::string& what) {
        for (int i = 0; i < 500; ++i) {
            if (ctl("status").find(what) != std::string::npos) return true;
            usleep(20000);
        }
        ADD_FAILURE() << "status never showed " << what << ": " << ctl("status");
        return false;
    }

    // Long enough for the touches of a test; the module's own wait ends
    // the commands that must end without one.
    static void longWait() { NUV_SetTimeOut(20000); }

    // Enrols `finger` with six touches; the template number, or -1.
    int enrol(const std::string& finger) {
        longWait();
        const size_t before = progress.calls();
        uint8_t number = 0;
        Worker w([&number] { return NUV_FpcEnroll(nullptr, &number, progressCb); });
        for (size_t i = 0; i < 6; ++i) {
            if (!statusShows("module=enrolling(" + std::to_string(i) + "/6)")) break;
            EXPECT_EQ(ctl("touch " + finger), "OK touched " + finger);
            if (i < 5) {
                EXPECT_TRUE(progress.waitCalls(before + i + 1));
            }
        }
        const uint32_t r = w.join();
        EXPECT_EQ(r, 0u);
        return r == 0 ? number : -1;
    }

    uint32_t verifyWith(const std::string& finger, uint8_t* number) {
        longWait();
        Worker w([number] { return NUV_FpcVerify(nullptr, number, progressCb); });
        if (statusShows("module=verifying")) {
            EXPECT_EQ(ctl("touch " + finger), "OK touched " + finger);
        }
        return w.join();
    }

    CLink link;
    Progress progress;

  private:
    std::unique_ptr<support::TempDir> m_dir;
    std::unique_ptr<support::VKey> m_key;
};

TEST_F(NuvVkey, CountEnrolAndVerify) {
    ASSERT_NO_FATAL_FAILURE(startKey());
    uint8_t table[NUV_FPC_NUM_MAX];
    memset(table, 0xEE, sizeof table);
    longWait();
    ASSERT_EQ(NUV_FpcGetNum(nullptr, table), 0u);
    EXPECT_EQ(table[0], 64);                         // capacity
    EXPECT_EQ(table[1], 0);                          // none enrolled
    EXPECT_EQ(NUV_FpcGetNum(nullptr, nullptr), 0u);  // the module answers

    // Six touches of one finger: five progress calls counting down the
    // captures still needed, then the template number.
    const int number = enrol("alice");
    ASSERT_GT(number, 0);
    ASSERT_EQ(progress.results.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(progress.results[i], 0);
        EXPECT_EQ(progress.steps[i], static_cast<int>(5 - i));
        EXPECT_EQ(progress.lengths[i], 1);
    }
    longWait();
    ASSERT_EQ(NUV_FpcGetNum(nullptr, table), 0u);
    EXPECT_EQ(table[1], 1);
    EXPECT_EQ(table[2], number);

    // A second finger gets its own template.
    const int second = enrol("bob");
    ASSERT_GT(second, 0);
    EXPECT_NE(second, number);

    // Verification: one final answer, no progress calls.
    const size_t calls = progress.calls();
    uint8_t matched = 0;
    EXPECT_EQ(verifyWith("alice", &matched), 0u);
    EXPECT_EQ(matched, number);
    EXPECT_EQ(verifyWith("bob", &matched), 0u);
    EXPECT_EQ(matched, second);
    EXPECT_EQ(verifyWith("carol", &matched), NUV_MODULE_BASE + kMismatch);
    EXPECT_EQ(progress.calls(), calls);
}

// The network thread cancels while a worker waits in a verification and in
// an enrolment between captures; the worker ends with the module's
// "cancelled" and the module is idle again.
TEST_F(NuvVkey, CancelFromASecondThreadEndsTheWait) {
    ASSERT_NO_FATAL_FAILURE(startKey());
    const int number = enrol("alice");
    ASSERT_GT(number, 0);

    longWait();
    uint8_t matched = 0;
    Worker verify([&matched] { return NUV_FpcVerify(nullptr, &matched, progressCb); });
    ASSERT_TRUE(statusShows("module=verifying"));
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL), 0u);
    EXPECT_EQ(verify.join(), NUV_MODULE_BASE + kCancelled);
    EXPECT_TRUE(statusShows("module=idle"));

    longWait();
    const size_t calls = progress.calls();
    uint8_t made = 0;
    Worker enroll([&made] { return NUV_FpcEnroll(nullptr, &made, progressCb); });
    ASSERT_TRUE(statusShows("module=enrolling(0/6)"));
    EXPECT_EQ(ctl("touch bob"), "OK touched bob");
    ASSERT_TRUE(progress.waitCalls(calls + 1));
    ASSERT_TRUE(statusShows("module=enrolling(1/6)"));
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL), 0u);
    EXPECT_EQ(enroll.join(), NUV_MODULE_BASE + kCancelled);
    EXPECT_EQ(progress.calls(), calls + 1);
    EXPECT_TRUE(statusShows("templates=1/64 module=idle"));

    // The link goes on: the next verification matches.
    EXPECT_EQ(verifyWith("alice", &matched), 0u);
    EXPECT_EQ(matched, number);
}

// With nobody touching, the module gives up after its own finger wait and
// says so; the daemon's receive did not time out first.
TEST_F(NuvVkey, ModuleTimeOutWhenNoFingerComes) {
    ASSERT_NO_FATAL_FAILURE(startKey());
    ASSERT_GT(enrol("alice"), 0);
    const size_t calls = progress.calls();
    ASSERT_NO_FATAL_FAILURE(startKey({"--finger-wait", "300"}));
    longWait();
    uint8_t matched = 0;
    EXPECT_EQ(NUV_FpcVerify(nullptr, &matched, progressCb), NUV_MODULE_BASE + kNoFinger);
    // An enrolment waits anew for each capture: the finger already on the
    // sensor gives the first, none comes for the second.
    EXPECT_EQ(ctl("touch bob"), "OK touched bob");
    longWait();
    EXPECT_EQ(NUV_FpcEnroll(nullptr, &matched, progressCb), NUV_MODULE_BASE + kNoFinger);
    ASSERT_EQ(progress.calls(), calls + 1);
    EXPECT_EQ(progress.steps[calls], 5);
    EXPECT_TRUE(statusShows("templates=1/64 module=idle"));
}

// Card-OS commands (channel 8) on the same link while a worker waits for
// the module's verification answer (channel 6): every random-number command
// gets its own answer, and the verification its match afterwards.
TEST_F(NuvVkey, CardOsCommandsWhileAVerificationWaits) {
    ASSERT_NO_FATAL_FAILURE(startKey());
    const int number = enrol("alice");
    ASSERT_GT(number, 0);
    longWait();
    uint8_t matched = 0;
    Worker verify([&matched] { return NUV_FpcVerify(nullptr, &matched, progressCb); });
    ASSERT_TRUE(statusShows("module=verifying"));
    std::vector<uint8_t> last;
    for (int i = 0; i < 20; ++i) {
        tdLINK_PACK pack{};
        pack.sequence = static_cast<uint32_t>(0x60 + i);
        const uint8_t apdu[] = {0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00};  // 16 random bytes
        memcpy(pack.frame + FRAME_OFS_PAYLOAD, apdu, sizeof apdu);
        pack.length = sizeof apdu;
        const uint32_t n = framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN);
        ASSERT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n)), 0);
        int len = 0;
        ASSERT_EQ(link.rxdChannel(FRAME_CH_APDU, pack.frame, &len, sizeof pack.frame, 5000), 0)
            << i;
        EXPECT_EQ(len, 10 + 4 + 16);
        EXPECT_EQ(pack.frame[FRAME_OFS_SEQ], 0x60 + i);
        EXPECT_EQ(getLe16(pack.frame + FRAME_OFS_PAYLOAD), 0x9000);
        EXPECT_EQ(getLe16(pack.frame + FRAME_OFS_PAYLOAD + 2), 16);
        std::vector<uint8_t> rnd(pack.frame + FRAME_OFS_PAYLOAD + 4,
                                 pack.frame + FRAME_OFS_PAYLOAD + 20);
        EXPECT_NE(rnd, last);
        last = rnd;
        EXPECT_FALSE(verify.done());  // still waiting for a finger
    }
    EXPECT_EQ(ctl("touch alice"), "OK touched alice");
    EXPECT_EQ(verify.join(), 0u);
    EXPECT_EQ(matched, number);
}

}  // namespace
