// Start and join of the fingerprint workers.
#include "app/worker.h"

namespace nvapp {

int FpWorker::start(void* (*body)(void*)) {
    if (m_running.load()) return 1;
    join();
    m_running.store(true);
    if (pthread_create(&m_tid, nullptr, body, nullptr) != 0) {
        m_running.store(false);
        return -1;
    }
    m_started = true;
    return 0;
}

void FpWorker::join() {
    if (!m_started) return;
    pthread_join(m_tid, nullptr);
    m_started = false;
}

}  // namespace nvapp
