// Fingerprint operations. No worker can run yet, so the state is idle, the
// cancels have nothing to stop and nothing can be started.
#include "app/app.h"
#include "log/log.h"
#include "util/util.h"

unsigned char CNvId::m_bChkUsr = 1;
unsigned char CNvId::m_bLoopVerify = 0;
int CNvId::m_bFpState = -63;
char CNvId::m_curApp[40] = {0};
char CNvId::m_curCot[32] = {0};

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

// Starting a fingerprint operation needs the module's workers, which this
// build does not have yet: every start reports a failed operation.
int CNvId::createVerifyFinger() {
    _nvlog(">>-%s", "createVerifyFinger");
    return 103;
}

int CNvId::loginFinger(int checkUser) {
    _nvlog(">>-%s", "loginFinger");
    m_bLoopVerify = 0;
    m_bChkUsr = static_cast<unsigned char>(checkUser ? 1 : 0);
    return createVerifyFinger();
}

int CNvId::startVerify(const char*) {
    _nvlog(">>-%s", "startVerify");
    return 103;
}

int CNvId::regFinger(const char*, int, int*, const char*) {
    _nvlog(">>-%s", "regFinger");
    return 103;
}

int CNvId::addFinger(const char*, int, int*, const char*) {
    _nvlog(">>-%s", "addFinger");
    return 103;
}
