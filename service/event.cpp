// The event queue: fingerprint workers and cancels post small records; one
// thread takes them in order, repairs the key session and sends the delayed
// results.
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "log/log.h"
#include "service/event.h"
#include "service/service.h"

namespace {
constexpr long kAckType = 3;

struct AckRecord {
    long type;
    int32_t event;
    int32_t arg1;
    int32_t arg2;
};
constexpr size_t kAckPayload = 3 * sizeof(int32_t);
static_assert(offsetof(AckRecord, arg2) + sizeof(int32_t) - offsetof(AckRecord, event) ==
                  kAckPayload,
              "three integers right after the type");

// Read by every thread that posts; cleared once at process end.
std::atomic<int> m_tidAck{-1};
std::atomic<EventSink> s_sink{nullptr};

void handleEvent(const AckRecord& rec) {
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    switch (rec.event) {
        case 4:  // enrolment progress
            CNvId::chkopendev();
            CNvId::ackEnroll(rec.arg1, rec.arg2, false);
            break;
        case 5:  // enrolment worker ended
            CNvId::openDev();
            CExit::uninit();
            CNvId::ackEnroll(0, rec.arg1, rec.arg2 != 0);
            break;
        case 6:  // verification ended
            if (CNvId::m_bChkUsr) {
                CNvId::openDev();
                CExit::uninit();
            }
            CNvId::ackVerify(rec.arg1, rec.arg2 != 0);
            break;
        case CNvId::kKeysChangedEvent:
            CNvId::keysChanged();
            break;
        default:
            break;
    }
}

void* ExecThreadAck(void*) {
    const int queue = m_tidAck.load();
    AckRecord rec;
    for (;;) {
        memset(&rec, 0, sizeof rec);
        if (msgrcv(queue, &rec, kAckPayload, kAckType, 0) < 0) {
            if (errno == EIDRM || errno == EINVAL) break;  // removed at process end
            if (errno != EINTR) perror("msgrcv");
            continue;
        }
        if (EventSink sink = s_sink.load())
            sink(rec.event, rec.arg1, rec.arg2);
        else
            handleEvent(rec);
    }
    return nullptr;
}
}  // namespace

void nvackExec() {
    // Owner read/write, so that a desktop user without IPC privileges can run it.
    m_tidAck = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    if (m_tidAck.load() < 0) {
        printf("m_tidAck failed\n");
        fflush(stdout);
        exit(1);
    }
    printf("m_tidAck ok ,msgid = %d\n", m_tidAck.load());
    fflush(stdout);
    pthread_t tid;
    if (pthread_create(&tid, nullptr, ExecThreadAck, nullptr) != 0) {
        perror("pthread_create ExecThreadAck error\n");
        exit(1);
    }
    pthread_detach(tid);
}

int postMsgAck(int, int event, int arg1, int arg2) {
    AckRecord rec;
    memset(&rec, 0, sizeof rec);
    rec.type = kAckType;
    rec.event = event;
    rec.arg1 = arg1;
    rec.arg2 = arg2;
    int rc;
    do {
        rc = msgsnd(m_tidAck.load(), &rec, kAckPayload, 0);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? -1 : 0;
}

void nvackClose() {
    // A worker still waiting for a finger would outlive the session it uses.
    {
        std::lock_guard<std::mutex> session(CNvId::sessionLock());
        CNvId::endFpWorkers();
    }
    int queue = m_tidAck.exchange(-1);
    if (queue >= 0) msgctl(queue, IPC_RMID, nullptr);
}

void setEventSink(EventSink sink) {
    s_sink = sink;
}
int nvackQueueId() {
    return m_tidAck.load();
}
