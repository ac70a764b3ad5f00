// One fingerprint worker thread (enrolment or verification). Started,
// cancelled and joined only by the thread that holds the session lock; the
// worker itself clears `running` when it ends, so others can read the busy
// state without the lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace nvapp {

// Fingerprint module statuses the workers map (low 16 bits of a result),
// and the data byte of the acknowledgement after a match.
constexpr uint32_t kFpNoTemplate = 0xE103;
constexpr uint32_t kFpCanceled = 0xE117;
constexpr uint32_t kFpWaitTimeOut = 0xE118;
constexpr uint8_t kAckData = 7;

class FpWorker {
  public:
    // True while a worker body runs (set before it starts, cleared by the
    // body's last step).
    bool busy() const { return m_running.load(); }
    // Starts `body` unless one runs; a worker that already ended is joined
    // first. 0, 1 when one runs, -1 when the thread could not be created.
    int start(void* (*body)(void*));
    // Waits for the worker to end (nothing when none was started).
    void join();
    // Last step of the body.
    void ended() { m_running.store(false); }

  private:
    std::atomic<bool> m_running{false};
    bool m_started = false;  // a thread exists that nobody joined yet
    pthread_t m_tid{};
};

// Whether the enrolment worker runs (read by the busy state of both kinds).
bool enrollBusy();

// Takes back what an enrolment whose key work failed left behind (its
// template, the new user's application or the finger's container). Runs
// right after the failure and again after every connect until done, on
// the key the enrolment wrote to only; true when nothing is left to take
// back on the connected key. Called with the session lock held.
bool takeBackEnrolment();

// Ends a running worker without reporting anything: the module's wait is
// aborted and the worker joined. Used before the key's link is reopened,
// which would lose the module command the worker waits in. Called with the
// session lock held.
void stopEnrollQuietly();
void stopVerifyQuietly();
void stopApprovalQuietly();
inline void stopFpWorkers() {
    stopApprovalQuietly();
    stopVerifyQuietly();
    stopEnrollQuietly();
}

}  // namespace nvapp
