// Fingerprint verification and login: the module matches a finger on a
// worker thread, retrying mismatches for a short window; the outcome goes
// to the event thread ("ackVerify") or, in looping mode, to the state the
// page polls.
#include <json/value.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/internal.h"
#include "app/worker.h"
#include "transport/transport.h"
#include "util/util.h"

using namespace nvapp;

std::atomic<unsigned char> CNvId::m_bChkUsr{1};
std::atomic<unsigned char> CNvId::m_bLoopVerify{0};
std::atomic<int> CNvId::m_bFpState{-63};
char CNvId::m_curApp[40] = {0};
char CNvId::m_curCot[32] = {0};

namespace {

constexpr int kPending = kVerifyPending;
constexpr int kVerifyWaitMs = 20000;

constexpr uint32_t kLinkRsp = 0x00020003;

FpWorker m_thrdHdlVerify;
std::atomic<bool> m_bevt_verify{false};
std::atomic<bool> m_verifyExit{false};
std::atomic<unsigned char> m_bExtra{1};
std::atomic<uint8_t> m_fgId{0};
long m_startLogintm = 0;  // worker thread only

void post(int event, int a, int b) {
    if (CNvId::hooks().postMsgAck) CNvId::hooks().postMsgAck(0, event, a, b);
}

void pushReply(bool error, int code, const Json::Value& value) {
    const CAppHooks& h = CNvId::hooks();
    std::string reply;
    if (error) {
        if (!h.makeJsonErr) return;
        h.makeJsonErr(reply, code, "ackVerify", "");
    } else {
        if (!h.makeJsonJV) return;
        h.makeJsonJV(reply, value, "ackVerify", "");
    }
    if (h.sendMessage) h.sendMessage(reply);
}

int nuvFpcVerifyCallback(int*, void*, int*) {
    return 0;
}

void setLoginStart() {
    long now = 0;
    if (getCurTm(&now)) m_startLogintm = now;
}

bool isLoginExpired() {
    long now = 0;
    if (!getCurTm(&now)) return true;
    if (now - m_startLogintm <= 1) return false;
    _nvlog("end time=%d", static_cast<int>(now));
    return true;
}

uint32_t verifyOnce() {
    uint8_t id = 0;
    // The wait applies to one command only; every retry sets it again.
    NUV_SetTimeOut(kVerifyWaitMs);
    m_bevt_verify.store(true);
    uint32_t r = NUV_FpcVerify(nullptr, &id, nuvFpcVerifyCallback);
    m_bevt_verify.store(false);
    m_fgId.store(id);
    return r;
}

void endWorker() {
    CNvId::m_bLoopVerify = 0;
    m_thrdHdlVerify.ended();
}

void report(int outcome) {
    if (CNvId::m_bLoopVerify.load())
        CNvId::m_bFpState = outcome;
    else if (outcome == 0)
        post(6, 0, 1);
    else
        post(6, outcome, 0);
    endWorker();
}

void* ExecThreadVerify(void*) {
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    bool mismatched = false;
    for (;;) {
        uint32_t r = verifyOnce();
        if (m_verifyExit.load()) {
            _nvlogstr("verify thread canceled");
            endWorker();
            return nullptr;
        }
        if (r == NUV_ERR_LINK) {
            // Reconnecting belongs to the session; the link the worker uses
            // is the slot's own, which a reconnect of the same key reopens.
            r = verifyOnce();
        }
        if (r == 0) {
            report(0);
            return nullptr;
        }
        _nvlog("login err=%x", r);
        const uint32_t c = r & 0xFFFF;
        if (c == kFpCanceled) {
            if (!CNvId::m_bChkUsr.load() && !m_bExtra.load()) {
                endWorker();
                return nullptr;
            }
            report(kCanceled);
            return nullptr;
        }
        if (c == kFpNoTemplate) {
            report(kNoFingerOnSensor);
            return nullptr;
        }
        if (c == kFpWaitTimeOut || r == kLinkRsp || r == NUV_ERR_SEQ) {
            report(kTimeOut);
            return nullptr;
        }
        if ((r & 0xFF00) != 0xE100) {
            _nvlog("NUV_FpcVerify err=x%x", r);
            report(kFailed);
            return nullptr;
        }
        if (!mismatched) {
            setLoginStart();
            mismatched = true;
            continue;
        }
        if (isLoginExpired()) {
            report(static_cast<int>(c));
            return nullptr;
        }
    }
}

// The template number back to its user and finger.
int ackVerify_cb(char* user, char* record, size_t recordCap, char* fingerName, int* finger) {
    char cot[33];
    memset(cot, 0, sizeof cot);
    int number = 0;
    int rc = CNvId::_findFgIdApp(m_fgId.load(), user, cot, fingerName, &number);
    if (rc != kOk) return rc;
    *finger = number;
    copyText(CNvId::m_curCot, sizeof CNvId::m_curCot, cot);
    copyText(CNvId::m_curApp, sizeof CNvId::m_curApp, user);
    snprintf(record, recordCap, "%s_%s", user, cot);
    return kOk;
}

}  // namespace

int CNvId::getFpState() {
    if (m_thrdHdlVerify.busy()) return 2;
    if (enrollBusy()) return 1;
    return 0;
}

void CNvId::endFpWorkers() {
    stopFpWorkers();
}

int CNvId::createVerifyFinger() {
    _nvlog(">>-%s", "createVerifyFinger");
    if (!m_hDev) openDev();
    if (!m_hDev) return kNoDev;
    if (useModuleLink() != kOk) return kFailed;
    nvSleep(50);
    if (m_thrdHdlVerify.busy()) return kOk;
    m_verifyExit.store(false);
    if (m_thrdHdlVerify.start(ExecThreadVerify) < 0) {
        _nvlogstr("CreateThread err");
        return kFailed;
    }
    return kOk;
}

int CNvId::loginFinger(int checkUser) {
    _nvlog(">>-%s", "loginFinger");
    m_bLoopVerify = 0;
    m_bChkUsr = static_cast<unsigned char>(checkUser ? 1 : 0);
    return createVerifyFinger();
}

int CNvId::ackVerify(int code, bool finished) {
    Json::Value value(Json::arrayValue);
    if (!finished) {
        if (code <= 999) {
            pushReply(true, code, value);
        } else {
            value.append(code);
            pushReply(false, 0, value);
        }
        return 0;
    }
    char user[kUserNameMax + 1] = {0};
    char record[64] = {0};
    char fingerName[kFingerNameMax + 1] = {0};
    int finger = 0;
    if (m_bChkUsr.load()) {
        int rc = ackVerify_cb(user, record, sizeof record, fingerName, &finger);
        if (rc != kOk) {
            _nvlog("verify ok but cb fail %d", rc);
            pushReply(true, rc, value);
            return 0;
        }
        CLink* link = nullptr;
        if (m_hDev && SKFK_GetLink(m_hDev, &link) == SAR_OK) NUV_SetLink(link);
        uint8_t echo[16];
        NUV_FpcChip592CmdEx(nullptr, echo, NUV_FPC_SUB_ACK, &kAckData, 1, sizeof echo);
    }
    value.append(0);
    value.append(user);
    value.append(finger);
    value.append(record);
    value.append(fingerName);
    pushReply(false, 0, value);
    return 0;
}

int CNvId::cancelVerify(bool extra) {
    m_bLoopVerify = 0;
    _nvlog(">>-%s", "cancelVerify");
    m_bExtra = static_cast<unsigned char>(extra ? 1 : 0);
    if (!m_thrdHdlVerify.busy()) return kCanceled;
    m_verifyExit.store(true);
    if (m_bevt_verify.load()) NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL);
    nvSleep(300);
    PORT_SETWAITTIME(0);
    m_thrdHdlVerify.join();
    // As for an enrolment: the push precedes the reply of the cancelling
    // command, and the application is closed, not forgotten.
    CExit::uninit();
    ackVerify(kCanceled, false);
    openDev();
    return kCanceled;
}

void nvapp::stopVerifyQuietly() {
    // A worker that already ended is joined too, so that no thread is left
    // behind at the end of the process.
    if (m_thrdHdlVerify.busy()) {
        _nvlogstr("stop verify before reconnect");
        m_verifyExit.store(true);
        if (m_bevt_verify.load()) NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL);
        // The module's answer to the abort ends the worker's wait; should it
        // be lost, the default transfer wait does, not the worker's long one.
        PORT_SETWAITTIME(0);
    }
    m_thrdHdlVerify.join();
}

int CNvId::startVerify(const char* devName) {
    _nvlog(">>-%s", "startVerify");
    int rc = connectNamed(devName);
    if (rc != kOk) return rc;
    CExit::uninit();
    char list[512];
    unsigned int size = 0;
    if (enumApps(list, sizeof list, &size, true) != kOk) return kFailed;
    rc = openBaseApp(list, size, nullptr, 0);
    if (rc != kOk) return rc;
    m_bLoopVerify = 1;
    m_bFpState = kPending;
    m_bChkUsr = 0;
    if (useModuleLink() != kOk) return kFailed;
    return createVerifyFinger();
}

int CNvId::LoopVerify() {
    for (int i = 0; i < 5; ++i) {
        nvSleep(200);
        if (m_bFpState.load() != kPending) break;
    }
    return m_bFpState.load();
}
