// Fingerprint operations. No worker can run yet, so the state is idle and
// the cancels have nothing to stop.
#include "app/app.h"
#include "log/log.h"
#include "util/util.h"

unsigned char CNvId::m_bChkUsr = 1;
int CNvId::m_bFpState = -63;

int CNvId::getFpState() {
    return 0;
}

int CNvId::cancelVerify(bool) {
    _nvlog(">>-%s", "cancelVerify");
    return 5;
}

int CNvId::cancelEnroll() {
    _nvlog(">>-%s", "cancelEnroll");
    return 5;
}

int CNvId::LoopVerify() {
    for (int i = 0; i < 5; ++i) {
        nvSleep(200);
        if (m_bFpState != -63) break;
    }
    return m_bFpState;
}

int CNvId::waitEnroll() {
    return 1;
}

int CNvId::ackEnroll(int, int, bool) {
    return 0;
}
int CNvId::ackVerify(int, bool) {
    return 0;
}
