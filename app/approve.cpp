// Site approval by a touch on the key's sensor. A worker waits for a finger
// and tells the service whether the touch counts: on a key with enrolled
// fingers it must match one of them (a verification); on a key without any,
// any finger does (an enrolment capture, cancelled after its first capture,
// so the module stores nothing). It shares nothing with a page's login: a
// touch it takes never logs anybody in.
#include <atomic>
#include <chrono>
#include <cstring>

#include "app/internal.h"
#include "app/worker.h"
#include "transport/transport.h"
#include "util/util.h"

using namespace nvapp;

namespace {

// The module's own wait for one command; a longer approval asks again.
constexpr int kModuleWaitMs = 20000;
// A match sooner than this after the question was shown is no answer to it
// (a person needs longer to read and reach the key): the finger was already
// there for something else, so the module is asked again.
constexpr auto kTooSoon = std::chrono::milliseconds(500);
// A cancel that reaches the module before the command it is meant to end is
// lost, and the module would then wait for a finger for its whole time: the
// stopper repeats it at this pace, a bounded number of times.
constexpr unsigned kStopStepMs = 40;
constexpr int kStopSteps = 25;

FpWorker s_worker;
std::atomic<bool> s_exit{false};
std::atomic<bool> s_inCommand{false};
std::atomic<bool> s_captured{false};
bool s_anyFinger = false;                          // set before the worker starts
std::chrono::steady_clock::time_point s_deadline;  // likewise
std::chrono::steady_clock::time_point s_shownAt;   // likewise
unsigned s_generation = 0;                         // likewise
void (*s_done)(unsigned, int, int) = nullptr;      // likewise
std::atomic<int> s_matched{0};                     // the template the touch matched

// The first capture is all an approval needs: the enrolment is cancelled at
// once, before the module could store a template.
int onCapture(int* status, void*, int*) {
    if ((status == nullptr || *status == 0) && !s_captured.exchange(true))
        NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL);
    return 0;
}

int onVerify(int*, void*, int*) {
    return 0;
}

int remainingMs() {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          s_deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return 0;
    return left < kModuleWaitMs ? static_cast<int>(left) : kModuleWaitMs;
}

// One wait for a finger: 0 once the touch counts, 1 to wait again, or the
// failure to report.
int waitOnce() {
    const int wait = remainingMs();
    if (wait == 0) return CNvId::kApproveTimedOut;
    NUV_SetTimeOut(wait);
    uint8_t id = 0;
    // The stopper sets s_exit, then looks at s_inCommand: either it sees
    // this command coming (and cancels it, and cuts the wait set above) or
    // this sees the stop and sends nothing.
    s_inCommand.store(true);
    if (s_exit.load()) {
        s_inCommand.store(false);
        return CNvId::kApproveStopped;
    }
    const uint32_t r = s_anyFinger ? NUV_FpcEnroll(nullptr, &id, onCapture)
                                   : NUV_FpcVerify(nullptr, &id, onVerify);
    s_inCommand.store(false);
    if (s_exit.load()) return CNvId::kApproveStopped;
    const bool tooSoon = std::chrono::steady_clock::now() - s_shownAt < kTooSoon;
    if (s_anyFinger) {
        if (r == 0 && id != 0) NUV_FpcDelete(nullptr, id);  // never keep what a touch enrolled
        if (s_captured.exchange(false) || r == 0) return tooSoon ? 1 : 0;
    } else if (r == 0) {
        // The module expects the acknowledgement after every match.
        uint8_t echo[16];
        NUV_FpcChip592CmdEx(nullptr, echo, NUV_FPC_SUB_ACK, &kAckData, 1, sizeof echo);
        if (tooSoon) return 1;
        s_matched.store(id);
        return 0;
    }
    const uint32_t c = r & 0xFFFF;
    if (c == kFpCanceled) return CNvId::kApproveStopped;
    if (c == kFpNoTemplate) return CNvId::kApproveFailed;  // the fingers went meanwhile
    if (c == kFpWaitTimeOut || r == NUV_ERR_SEQ || (r & 0xFF00) == 0xE100) return 1;
    return CNvId::kApproveFailed;
}

void* ExecThreadApprove(void*) {
    int outcome = 1;
    while (outcome == 1)
        outcome = waitOnce();
    if (outcome != CNvId::kApproveStopped) _nvlog("approval touch: %d", outcome);
    // Reported before the worker counts as ended, so that whoever sees it
    // ended also sees its outcome on the way.
    if (s_done && outcome != CNvId::kApproveStopped)
        s_done(s_generation, outcome, s_matched.load());
    s_worker.ended();
    return nullptr;
}

}  // namespace

int CNvId::startApproval(int waitMs, unsigned generation, void (*done)(unsigned, int, int),
                         bool enrolledOnly) {
    if (s_worker.busy() || getFpState() != 0) return kFailed;
    if (!connected()) return kNoDev;
    if (useModuleLink() != kOk) return kFailed;
    int used = 0;
    if (_getFp(nullptr, &used, nullptr) != kOk) return kFailed;
    if (enrolledOnly && used == 0) return kNoFinger;
    s_anyFinger = used == 0;
    s_matched.store(0);
    s_shownAt = std::chrono::steady_clock::now();
    s_deadline = s_shownAt + std::chrono::milliseconds(waitMs);
    s_generation = generation;
    s_done = done;
    s_exit.store(false);
    s_captured.store(false);
    if (s_worker.start(ExecThreadApprove) != 0) return kFailed;
    _nvlog("approval touch awaited (%s)", s_anyFinger ? "any finger" : "an enrolled finger");
    return kOk;
}

bool CNvId::approvalBusy() {
    return s_worker.busy();
}

void CNvId::stopApproval() {
    nvapp::stopApprovalQuietly();
}

void nvapp::stopApprovalQuietly() {
    if (s_worker.busy()) {
        s_exit.store(true);
        for (int step = 0; step < kStopSteps && s_worker.busy(); ++step) {
            if (s_inCommand.load()) NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL);
            for (unsigned ms = 0; ms < kStopStepMs && s_worker.busy(); ms += 2)
                nvSleep(2);
        }
        // Should the module's answer to the abort be lost, the default
        // transfer wait ends the worker's wait, not its long one.
        PORT_SETWAITTIME(0);
    }
    s_worker.join();
}
