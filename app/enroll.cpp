// Fingerprint enrolment: the module captures a finger on a worker thread;
// the event thread then writes the finger container (new SM2 key pair and
// display name) into the user's application and pushes "ackEnroll".
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

namespace {

constexpr int kCaptures = 6;

// Module statuses the worker maps.
constexpr uint32_t kLinkTimeOut = static_cast<uint32_t>(-107);
constexpr uint32_t kLinkRsp = 0x00020003;

FpWorker m_thrdHdlEnroll;
std::atomic<bool> m_bevt_enroll{false};
std::atomic<bool> m_enrollExit{false};
std::atomic<int> m_step_cur{10};
std::atomic<uint8_t> m_fgId{0};

// Written by the network thread before the worker starts and read by the
// event thread; both hold the session lock.
char m_enrollApp[40] = {0};
int m_curFpIdx = 0;
char m_fingerName[kFingerNameMax + 1] = {0};
int m_bReg = 1;

// What a finished capture whose key work failed left behind: the module's
// template, and on the key the new user's application (RegisterUser) or the
// finger's container. A record the page was told failed must not stay half
// written (a container without its key pair or name, a user without its
// finger, a template no record names), so it is taken back: at once, or -
// when the key cannot be reached - after the next connect and before the
// next enrolment starts. Event and network threads, under the session lock.
struct EnrolUndo {
    bool app;        // delete the user's application (and all in it)
    bool container;  // delete the finger's container from the user's application
    bool templ;      // delete the module's template
    int triesLeft;   // a key that keeps refusing is given up on
    // The key written to, by its device public key: after a reconnect only
    // that key is touched. Another key plugged in meanwhile may hold a user,
    // a finger container or a template of the very same names and numbers.
    bool keyKnown;
    uint8_t keyId[kPubKeyLen];
    char user[kUserNameMax + 1];
    char container_name[32];
    uint8_t templateId;
};
EnrolUndo s_undo = {};
bool s_undoing = false;  // the take-back reconnects nothing, but guards anyway
bool s_writing = false;  // the finger is being written: nothing to take back yet
constexpr int kUndoTries = 3;

bool undoPending() {
    return s_undo.app || s_undo.container || s_undo.templ;
}

// The identity of the enrolment's key, read when it starts.
bool s_enrolKeyKnown = false;
uint8_t s_enrolKeyId[kPubKeyLen];

// The connected key's device public key, through handles of its own: the
// session's open application and container are left as they are.
bool readKeyId(uint8_t out[kPubKeyLen]) {
    HAPPLICATION h = nullptr;
    uint32_t r = SKF_OpenApplication(CNvId::m_hDev, CNvId::m_axAppName, &h);
    bool ok = r == SAR_OK;
    HCONTAINER c = nullptr;
    if (ok) ok = SKF_OpenContainer(h, CNvId::m_devCotName, &c) == SAR_OK;
    if (ok) {
        uint8_t blob[256];
        memset(blob, 0, sizeof blob);
        unsigned int n = sizeof blob;
        ok = SKF_ExportPublicKey(c, 1, blob, &n) == SAR_OK;
        if (ok) CNvId::blob2pubKey(blob, out, nullptr);
    }
    if (c) SKF_CloseContainer(c);
    if (h) SKF_CloseApplication(h);
    return ok;
}

// Whether `cot` is among the containers of the open application `h`; false
// with *ok false when the list could not be read.
bool hasContainer(HAPPLICATION h, const char* cot, bool* ok) {
    char list[256];
    memset(list, 0, sizeof list);
    unsigned int size = sizeof list;
    uint32_t r = SKF_EnumContainer(h, list, &size);
    *ok = r == SAR_OK;
    if (!*ok) {
        logLine(__LINE__, r);
        return false;
    }
    if (size > sizeof list) size = sizeof list;
    int rc = walkNames(list, size, sizeof list,
                       [&](const char* name) { return strcmp(name, cot) == 0 ? 1 : 0; });
    return rc == 1;
}

// The user's application goes, with everything in it.
bool takeBackApp() {
    int found = 0;
    if (CNvId::_findApp(s_undo.user, &found, false) != kOk) return false;
    if (!found) return true;
    if (CNvId::AuthDev(nullptr) != kOk) return false;
    uint32_t r = SKF_DeleteApplication(CNvId::m_hDev, s_undo.user);
    if (r != SAR_OK) logLine(__LINE__, r);
    return r == SAR_OK;
}

// The finger's container goes from the user's application, which stays.
bool takeBackContainer() {
    int found = 0;
    if (CNvId::_findApp(s_undo.user, &found, false) != kOk) return false;
    if (!found) return true;  // the user went, and the container with it
    HAPPLICATION h = nullptr;
    uint32_t r = SKF_OpenApplication(CNvId::m_hDev, s_undo.user, &h);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        if (h) SKF_CloseApplication(h);
        return false;
    }
    bool ok = false;
    bool done = false;
    if (!hasContainer(h, s_undo.container_name, &ok)) {
        done = ok;
    } else {
        unsigned int tries = 0;
        r = SKF_VerifyPIN(h, USER_TYPE, CNvId::m_userPin, &tries);
        if (r == SAR_OK) r = SKF_DeleteContainer(h, s_undo.container_name);
        if (r != SAR_OK) logLine(__LINE__, r);
        done = r == SAR_OK;
    }
    SKF_CloseApplication(h);
    return done;
}

// The module answers a deletion of a template it holds or not; only no
// answer leaves it to do.
bool takeBackTemplate() {
    CLink* link = nullptr;
    if (SKFK_GetLink(CNvId::m_hDev, &link) != SAR_OK) return false;
    NUV_SetLink(link);
    uint32_t r = NUV_FpcDelete(nullptr, s_undo.templateId);
    if (r != 0) _nvlog("undo template %u: %x", s_undo.templateId, r);
    return r == 0 || (r & 0xFFFF0000u) == NUV_MODULE_BASE;
}

// Starts a take-back of what the enrolment of `user` wrote so far.
void undoBegin(const char* user, uint8_t templateId) {
    s_undo = EnrolUndo{};
    copyText(s_undo.user, sizeof s_undo.user, user);
    s_undo.templateId = templateId;
    s_undo.templ = true;
    s_undo.triesLeft = kUndoTries;
    s_undo.keyKnown = s_enrolKeyKnown;
    memcpy(s_undo.keyId, s_enrolKeyId, sizeof s_undo.keyId);
}

void undoForget() {
    s_undo = EnrolUndo{};
}

void push(const std::string& reply) {
    if (CNvId::hooks().sendMessage) CNvId::hooks().sendMessage(reply);
}

void pushErr(int code) {
    if (!CNvId::hooks().makeJsonErr) return;
    std::string reply;
    CNvId::hooks().makeJsonErr(reply, code, "ackEnroll", "");
    push(reply);
}

void pushValue(const Json::Value& value) {
    if (!CNvId::hooks().makeJsonJV) return;
    std::string reply;
    CNvId::hooks().makeJsonJV(reply, value, "ackEnroll", "");
    push(reply);
}

void post(int event, int a, int b) {
    if (CNvId::hooks().postMsgAck) CNvId::hooks().postMsgAck(0, event, a, b);
}

int nuvFpcEnrollCallback(int* status, void* data, int*) {
    const int s = status ? *status : 0;
    if (s != 0) {
        _nvlog("nuvFpcEnrollCallback err=%x", s & 0xFFFF);
        post(4, m_step_cur.load(), s & 0xFFFF);
    } else {
        const int step = data ? *static_cast<const uint8_t*>(data) : 0;
        m_step_cur.store(step);
        _nvlog("nuvFpcEnrollCallback step=%x", step);
        post(4, step, 0);
    }
    return 0;
}

int enrollCode(uint32_t r) {
    const uint32_t c = r & 0xFFFF;
    if (c == kFpCanceled) return kCanceled;
    if (r == kLinkTimeOut || c == kFpWaitTimeOut || r == kLinkRsp || r == NUV_ERR_SEQ)
        return kTimeOut;
    if ((r & 0xFF00) == 0xE100) return static_cast<int>(c);
    return kFailed;
}

void* ExecThreadEnroll(void*) {
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    m_bevt_enroll.store(true);
    uint8_t id = 0;
    uint32_t r = NUV_FpcEnroll(nullptr, &id, nuvFpcEnrollCallback);
    m_fgId.store(id);
    m_bevt_enroll.store(false);
    _nvlog("NUV_FpcEnroll=%x", r);
    if (m_enrollExit.load()) {
        _nvlogstr("enroll thread canceled");
    } else if (r == 0) {
        post(5, 0, 1);
    } else {
        post(5, enrollCode(r), 0);
        _nvlog("NUV_FpcEnroll err=x%x", r);
    }
    _nvlog("enroll thread exit %x", r);
    m_thrdHdlEnroll.ended();
    return nullptr;
}

int _regFp() {
    m_step_cur.store(6);
    m_enrollExit.store(false);
    if (m_thrdHdlEnroll.start(ExecThreadEnroll) != 0) {
        _nvlogstr("CreateThread err");
        return kFailed;
    }
    return kOk;
}

// Writes the finger container of a finished capture.
int ackEnroll_cb(int* finger, char* recordName, size_t recordCap, const char* fingerName,
                 uint8_t* pubKey) {
    CExit guard;
    *finger = m_curFpIdx;
    undoBegin(m_enrollApp, m_fgId.load());
    if (m_bReg) {
        s_undo.app = true;
        int rc = CNvId::creatApp(m_enrollApp);
        if (rc != kOk) return rc;
        // The creation's handle is closed: the login below opens it again.
        CExit::uninit();
        if (openAppWithPin(m_enrollApp, false) != kOk) return kFailed;
    }
    if (!CNvId::m_hApp && openAppWithPin(m_enrollApp, false) != kOk) return kFailed;
    char name[32];
    snprintf(name, sizeof name, "%d_%d", m_curFpIdx, m_fgId.load());
    // A new user's application takes its container with it.
    if (!s_undo.app) {
        s_undo.container = true;
        copyText(s_undo.container_name, sizeof s_undo.container_name, name);
    }
    uint32_t r = SKF_CreateContainer(CNvId::m_hApp, name, &CNvId::m_hCot);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    Struct_ECCPUBLICKEYBLOB blob;
    memset(&blob, 0, sizeof blob);
    r = SKF_GenECCKeyPair(CNvId::m_hCot, SGD_SM2_1, &blob);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    // An empty display name has nothing to store; the slot stays empty and
    // reads back as the empty name.
    const size_t n = strlen(fingerName);
    if (n > 0) {
        r = SKF_ImportCertificate(CNvId::m_hCot, 1, reinterpret_cast<const uint8_t*>(fingerName),
                                  static_cast<unsigned int>(n));
        if (r != SAR_OK) {
            logLine(__LINE__, r);
            return kFailed;
        }
    }
    CNvId::blob2pubKey(&blob, pubKey, nullptr);
    // Names are checked at the start, so a cut record name means a fault here.
    const int w = snprintf(recordName, recordCap, "%s_%s", m_enrollApp, name);
    if (w < 0 || static_cast<size_t>(w) >= recordCap) {
        logLine(__LINE__, static_cast<uint32_t>(w));
        return kFailed;
    }
    undoForget();
    return kOk;
}

// The checks and the start common to both enrolment commands.
int startEnroll(const char* user, int finger, int* step, const char* fingerName, bool reg) {
    if (m_thrdHdlEnroll.busy()) return kFailed;
    if (!CNvId::m_hDev) CNvId::openDev();
    if (!CNvId::m_hDev) return kNoDev;
    // The module must not hand out a template again that a take-back is
    // still to delete.
    if (!takeBackEnrolment()) return kFailed;
    if (useModuleLink() != kOk) return kFailed;
    CExit::uninit();
    int full = 0;
    if (CNvId::_isFullFp(&full, nullptr) != kOk) {
        logLine(__LINE__, 0);
        return kFailed;
    }
    if (full) {
        if (reg) _nvlogstr("_isFullFp");
        return kModuleFull;
    }
    if (!user || !*user || finger < 1 || finger > 10 || !step) return kBadParam;
    char name[kUserNameMax + 1];
    memset(name, 0, sizeof name);
    CNvId::cvtStr(user, name, kUserNameMax);
    memset(m_fingerName, 0, sizeof m_fingerName);
    if (fingerName) copyText(m_fingerName, sizeof m_fingerName, fingerName);
    int found = 0;
    if (CNvId::_findApp(name, &found, false) != kOk) {
        logLine(__LINE__, 0);
        return kFailed;
    }
    if (reg && found) {
        _nvlogstr("_findApp exist");
        return kUserExists;
    }
    if (!reg && !found) return kNoUser;
    s_enrolKeyKnown = readKeyId(s_enrolKeyId);
    if (reg) {
        CNvId::openApp(CNvId::m_hDev, CNvId::m_axAppName, &CNvId::m_hApp, false);
    } else {
        CNvId::openApp(CNvId::m_hDev, name, &CNvId::m_hApp, false);
        if (CNvId::_findFgIdCot(finger, nullptr, true, nullptr) == kOk) return kFingerExists;
    }
    unsigned int tries = 0;
    uint32_t r = SKF_VerifyPIN(CNvId::m_hApp, USER_TYPE, CNvId::m_userPin, &tries);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    copyText(m_enrollApp, sizeof m_enrollApp, name);
    m_curFpIdx = finger;
    m_bReg = reg ? 1 : 0;
    _regFp();
    *step = kCaptures;
    return kOk;
}

}  // namespace

int CNvId::regFinger(const char* user, int finger, int* step, const char* fingerName) {
    _nvlog(">>-%s", "regFinger");
    return startEnroll(user, finger, step, fingerName, true);
}

int CNvId::addFinger(const char* user, int finger, int* step, const char* fingerName) {
    _nvlog(">>-%s", "addFinger");
    return startEnroll(user, finger, step, fingerName, false);
}

int CNvId::waitEnroll() {
    return 1;
}

bool nvapp::takeBackEnrolment() {
    if (!undoPending()) return true;
    if (s_undoing || s_writing || !CNvId::m_hDev) return false;
    // Without the key's identity nothing is taken back: the records stay.
    if (!s_undo.keyKnown) {
        undoForget();
        return true;
    }
    uint8_t id[kPubKeyLen];
    if (!readKeyId(id)) return false;
    // Another key: nothing of this enrolment is on it; the take-back waits
    // for its own key.
    if (memcmp(id, s_undo.keyId, sizeof id) != 0) return true;
    s_undoing = true;
    _nvlog(">>-%s", "takeBackEnrolment");
    if (s_undo.app && takeBackApp()) s_undo.app = s_undo.container = false;
    if (s_undo.container && takeBackContainer()) s_undo.container = false;
    if (s_undo.templ && takeBackTemplate()) s_undo.templ = false;
    if (undoPending() && --s_undo.triesLeft <= 0) {
        _nvlog("undo given up: %s %s %u", s_undo.user, s_undo.container_name, s_undo.templateId);
        undoForget();
    }
    s_undoing = false;
    return !undoPending();
}

bool nvapp::enrollBusy() {
    return m_thrdHdlEnroll.busy();
}

int CNvId::ackEnroll(int step, int code, bool finished) {
    _nvlog(">>-%s", "ackEnroll");
    if (finished) {
        int finger = 0;
        char record[64] = {0};
        uint8_t pub[kPubKeyLen] = {0};
        s_writing = true;
        int rc = ackEnroll_cb(&finger, record, sizeof record, m_fingerName, pub);
        s_writing = false;
        if (rc != kOk) {
            _nvlog("finish but cb err= x%x", rc);
            takeBackEnrolment();
            pushErr(rc);
            return 0;
        }
        char pubText[2 * kPubKeyLen + 1];
        asc2hex(pub, kPubKeyLen, pubText, 0);
        pubText[sizeof pubText - 1] = 0;
        uint8_t sign[256];
        memset(sign, 0, sizeof sign);
        // A failed signature leaves the element empty; the finger is enrolled.
        if (__signinfo(pubText, record, sign) != kOk) sign[0] = 0;
        sign[sizeof sign - 1] = 0;
        Json::Value value(Json::arrayValue);
        value.append(0);
        value.append(0);
        value.append(finger);
        value.append(record);
        value.append(m_fingerName);
        value.append(pubText);
        value.append(reinterpret_cast<const char*>(sign));
        // The name as the key keeps it (cut to fit), as later commands return it.
        value.append(m_enrollApp);
        pushValue(value);
        return 0;
    }
    _nvlog("ackEnroll step=%d, err= x%x", step, code);
    if (step == 0) {
        pushErr(code);
    } else {
        Json::Value value(Json::arrayValue);
        value.append(code);
        value.append(step);
        pushValue(value);
    }
    return 0;
}

void nvapp::stopEnrollQuietly() {
    // A worker that already ended is joined too, so that no thread is left
    // behind at the end of the process.
    if (m_thrdHdlEnroll.busy()) {
        _nvlogstr("stop enroll before reconnect");
        m_enrollExit.store(true);
        if (m_bevt_enroll.load()) NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL);
        // The module's answer to the abort ends the worker's wait; should it
        // be lost, the default transfer wait does, not the worker's long one.
        PORT_SETWAITTIME(0);
    }
    m_thrdHdlEnroll.join();
}

int CNvId::cancelEnroll() {
    _nvlog(">>-%s", "cancelEnroll");
    if (!m_thrdHdlEnroll.busy()) return kCanceled;
    m_enrollExit.store(true);
    if (m_bevt_enroll.load()) NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL);
    nvSleep(300);
    PORT_SETWAITTIME(0);
    m_thrdHdlEnroll.join();
    // The waiting page hears of the cancel here, on the cancelling thread,
    // so that it comes before the reply of the command that cancelled. The
    // application is closed, not forgotten: a login left open on the key
    // would pass to whoever opens it next.
    CExit::uninit();
    ackEnroll(0, kCanceled, false);
    openDev();
    return kCanceled;
}
