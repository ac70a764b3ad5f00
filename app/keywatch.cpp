// Keys that arrive and leave while the daemon runs: the port's watch thread
// notes them here; the event thread brings the session up to date.
#include <mutex>

#include "app/internal.h"
#include "app/worker.h"

using namespace nvapp;

namespace {

constexpr size_t kNameMax = 256;
// News not yet applied. More than this many before the event thread comes
// round means keys flapping; the oldest are dropped, the latest kept.
constexpr int kNewsMax = 16;

struct KeyNews {
    char name[kNameMax];
    bool present;
};

std::mutex s_newsLock;  // never held with the session lock
KeyNews s_news[kNewsMax];
int s_newsFirst = 0;
int s_newsCount = 0;

// Name of the connected key; session lock.
char s_keyName[kNameMax] = {0};

}  // namespace

void nvapp::noteConnected(const char* name) {
    copyText(s_keyName, sizeof s_keyName, name ? name : "");
}

void CNvId::noteKey(const char* name, bool present) {
    if (!name) return;
    {
        std::lock_guard<std::mutex> g(s_newsLock);
        if (s_newsCount == kNewsMax) {
            s_newsFirst = (s_newsFirst + 1) % kNewsMax;
            --s_newsCount;
        }
        KeyNews& n = s_news[(s_newsFirst + s_newsCount) % kNewsMax];
        copyText(n.name, sizeof n.name, name);
        n.present = present;
        ++s_newsCount;
    }
    if (hooks().postMsgAck) hooks().postMsgAck(0, kKeysChangedEvent, 0, 0);
}

void CNvId::keysChanged() {
    KeyNews news[kNewsMax];
    int count = 0;
    {
        std::lock_guard<std::mutex> g(s_newsLock);
        for (; count < s_newsCount; ++count)
            news[count] = s_news[(s_newsFirst + count) % kNewsMax];
        s_newsFirst = s_newsCount = 0;
    }
    bool arrived = false;
    for (int i = 0; i < count; ++i) {
        const bool ours = strcmp(news[i].name, s_keyName) == 0;
        if (!news[i].present) {
            if (!ours) continue;
            // Nobody stays logged in on a key that went away, whether it was
            // connected right now or a worker's end had just let it go.
            forgetFingerLogin();
            if (!m_hDev) continue;
            _nvlog("connected key left: %s", news[i].name);
            // A worker's wait on the key's link fails now; it reports its
            // own error to its page and its end repairs the session.
            if (getFpState() != 0) continue;
            // The handles name a key that is gone: nothing is sent to it.
            CExit::clrHdl();
            m_hDev = nullptr;
            noteConnected("");
        } else {
            arrived = true;
        }
    }
    // The workers only run on a connected key; their end reconnects.
    if (arrived && !m_hDev && getFpState() == 0) {
        _nvlogstr("a key arrived: connecting it");
        openDev();
    }
}
