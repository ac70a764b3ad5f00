// Device session: which key is connected, connecting and disconnecting,
// the handles that signing leaves open, and the device-information cache.
#include <cstring>

#include "app/internal.h"
#include "app/worker.h"
#include "util/util.h"

using namespace nvapp;

namespace {
CAppHooks s_hooks;

// Device-information cache: trusted for 2 seconds of uptime, then
// revalidated by the serial number.
struct DevInfoCache {
    int count;
    char serial[32];
    int type;
    char label[64];
    char pubKey[256];
    char app[64];
};
DevInfoCache m_dev_info;
long m_getDevTime = 0;

void setGetDevtimer() {
    long now = 0;
    if (getCurTm(&now)) m_getDevTime = now;
}

bool isGetDevExpired() {
    if (m_dev_info.count == 0) return true;
    long now = 0;
    if (!getCurTm(&now)) return true;
    return now - m_getDevTime > 2;
}

bool IsGetOk(int level, const char* serial) {
    return level <= m_dev_info.count &&
           strnlen(serial, 32) == strnlen(m_dev_info.serial, sizeof m_dev_info.serial) &&
           memcmp(serial, m_dev_info.serial, strnlen(serial, 32)) == 0;
}

void fillFromCache(char* serial, int* type, char* label, char* pubKey, char* app) {
    memcpy(serial, m_dev_info.serial, sizeof m_dev_info.serial);
    serial[31] = 0;
    if (type) *type = m_dev_info.type;
    if (label) copyText(label, 64, m_dev_info.label);
    if (pubKey) copyText(pubKey, 2 * kPubKeyLen + 1, m_dev_info.pubKey);
    if (app) copyText(app, 32, m_dev_info.app);
}

// Reads a 32-byte text field (label or serial number) with the retry rule.
int readText(uint32_t (*get)(DEVHANDLE, void*), char* buffer, int* length, int where) {
    if (!connected()) return kNoDev;
    char text[128];
    memset(text, 0, sizeof text);
    uint32_t r = withRetry([&] { return get(CNvId::m_hDev, text); });
    if (r != SAR_OK) {
        logLine(where, r);
        return kFailed;
    }
    int n = static_cast<int>(strnlen(text, 32));
    *length = n;
    if (n < 1 || n > 31) return kBadLength;
    memcpy(buffer, text, 32);
    return kOk;
}

int writeText(uint32_t (*set)(DEVHANDLE, const char*), const char* text, int length, int where) {
    if (!connected()) return kNoDev;
    if (!text || length < 0 || length > 31) return kBadLength;
    char field[32];
    memset(field, 0, sizeof field);
    memcpy(field, text, static_cast<size_t>(length));
    uint32_t r = withRetry([&] { return set(CNvId::m_hDev, field); });
    if (r != SAR_OK) {
        logLine(where, r);
        return kFailed;
    }
    return kOk;
}

uint32_t getLabelFn(DEVHANDLE h, void* buf) {
    return SKFX_GetLabel(h, buf);
}
uint32_t getSnFn(DEVHANDLE h, void* buf) {
    return SKFX_GetSN(h, buf);
}
uint32_t setLabelFn(DEVHANDLE h, const char* t) {
    return SKF_SetLabel(h, t);
}
uint32_t setSnFn(DEVHANDLE h, const char* t) {
    return SKFX_SetSN(h, t);
}
}  // namespace

void* CNvId::m_hDev = nullptr;
void* CNvId::m_hApp = nullptr;
void* CNvId::m_hCot = nullptr;
int CNvId::m_bFacSign = 0;
int CNvId::m_bDevSign = 0;

std::mutex& CNvId::sessionLock() {
    static std::mutex lock;
    return lock;
}

void CNvId::setHooks(const CAppHooks& hooks) {
    s_hooks = hooks;
}
const CAppHooks& CNvId::hooks() {
    return s_hooks;
}

void CNvId::init() {}

int CNvId::openDev() {
    _nvlog(">>-%s", "openDev");
    // Connecting reopens the key's link, losing any module command pending
    // on it: a fingerprint worker waiting in one is ended first.
    stopFpWorkers();
    // The old handle is dropped without a disconnect: the key it named may
    // be gone, and connecting the same key again reuses its slot.
    m_hDev = nullptr;
    char* list = reinterpret_cast<char*>(cxBuf::mal(256));
    unsigned int size = 256;
    uint32_t r = SKF_EnumDev(1, list, &size);
    if (r != SAR_OK) {
        _nvlog("err SKF_EnumDev(x%x)", r);
        return kNoDev;
    }
    list[255] = 0;
    DEVHANDLE h = nullptr;
    r = SKF_ConnectDev(list, &h);
    if (r != SAR_OK) {
        _nvlog("err SKF_ConnectDev(x%x)", r);
        return kNoDev;
    }
    m_hDev = h;
    noteConnected(list);
    init();
    // A failed enrolment that could not be taken back while its key was
    // away is taken back when that key is here again.
    takeBackEnrolment();
    return kOk;
}

int CNvId::closeDev() {
    cancelVerify(false);
    _nvlog(">>-%s", "closeDev");
    CExit::uninit();
    if (m_hDev) {
        _nvlogstr("closeDev");
        SKF_DisConnectDev(m_hDev);
        m_hDev = nullptr;
    }
    noteConnected("");
    return kOk;
}

int CNvId::chkOpted() {
    if (m_bDevSign) CExit::uninit();
    return kOk;
}

void CNvId::chkopendev() {
    if (!m_hDev) openDev();
}

int CNvId::openDevice(const char* name) {
    m_bLoopVerify = 0;
    _nvlog(">>-%s", "openDevice");
    closeDev();
    DEVHANDLE h = nullptr;
    uint32_t r = SKF_ConnectDev(name ? name : "", &h);
    if (r != SAR_OK) {
        _nvlog("err SKF_ConnectDev(x%x)", r);
        return kNoDev;
    }
    m_hDev = h;
    noteConnected(name ? name : "");
    return kOk;
}

int CNvId::getDevLst(char* buffer, int* length) {
    closeDev();
    _nvlog(">>-%s", "getDevLst");
    unsigned int size = kDevListMax;
    uint32_t r = SKF_EnumDev(0, buffer, &size);
    if (r != SAR_OK) {
        _nvlog("err SKF_EnumDev(x%x)", r);
        return kFailed;
    }
    *length = static_cast<int>(size);
    return kOk;
}

int CNvId::getLbl(char* buffer, int* length) {
    if (!buffer || !length || *length < 32) return kBadParam;
    return readText(getLabelFn, buffer, length, __LINE__);
}

int CNvId::getSN(char* buffer, int* length) {
    _nvlog(">>-%s", "getSN");
    if (!buffer || !length || *length < 32) return kBadParam;
    return readText(getSnFn, buffer, length, __LINE__);
}

int CNvId::setLbl(const char* text, int length) {
    _nvlog(">>-%s", "setLbl");
    return writeText(setLabelFn, text, length, __LINE__);
}

int CNvId::setSN(const char* text, int length) {
    _nvlog(">>-%s", "setSN");
    return writeText(setSnFn, text, length, __LINE__);
}

int CNvId::getVer(uint32_t* value, int* length) {
    _nvlog(">>-%s", "getVer");
    if (!connected()) return kNoDev;
    uint8_t ver[4] = {0, 0, 0, 0};
    uint32_t r = withRetry([&] { return SKFX_GetVer(m_hDev, ver); });
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    if (value) *value = ver[0] | (ver[1] << 8) | (ver[2] << 16) | (uint32_t(ver[3]) << 24);
    if (length) *length = 3;
    return kOk;
}

int CNvId::getDevInfo(int level, char* serial, int* type, char* label, char* pubKey, char* app) {
    _nvlog(">>-%s", "getDevInfo");
    int found = 2;
    if (!connected()) return kNoDev;
    if (!serial) return kBadParam;
    if (!isGetDevExpired()) {
        fillFromCache(serial, type, label, pubKey, app);
        return kOk;
    }
    setGetDevtimer();
    _nvlogstr("SKFX_GetSN");
    char sn[32];
    memset(sn, 0, sizeof sn);
    uint32_t r = withRetry([&] { return SKFX_GetSN(m_hDev, sn); });
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    sn[31] = 0;
    memcpy(serial, sn, sizeof sn);
    if (IsGetOk(level, sn)) {
        fillFromCache(serial, type, label, pubKey, app);
        return kOk;
    }
    memcpy(m_dev_info.serial, sn, sizeof sn);
    _nvlogstr("SKFX_GetDevType");
    uint8_t t[2] = {0, 0};
    r = withRetry([&] { return SKFX_GetDevType(m_hDev, t); });
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    m_dev_info.type = t[0] | (t[1] << 8);
    if (type) *type = m_dev_info.type;
    memset(m_dev_info.label, 0, sizeof m_dev_info.label);
    memset(m_dev_info.pubKey, 0, sizeof m_dev_info.pubKey);
    memset(m_dev_info.app, 0, sizeof m_dev_info.app);
    if (level > 2) {
        char lbl[64];
        memset(lbl, 0, sizeof lbl);
        int n = sizeof lbl;
        if (getLbl(lbl, &n) != kOk) {
            m_dev_info.count = found;
            return kOk;
        }
        ++found;
        if (label) copyText(label, 64, lbl);
        copyText(m_dev_info.label, sizeof m_dev_info.label, lbl);
    }
    if (level > 3) {
        uint8_t key[128];
        memset(key, 0, sizeof key);
        int n = 0;
        if (getDevPubKey(key, &n) != kOk) {
            m_dev_info.count = found;
            return kOk;
        }
        ++found;
        char hex[2 * kPubKeyLen + 1];
        asc2hex(key, kPubKeyLen, hex, 0);
        hex[sizeof hex - 1] = 0;
        if (pubKey) copyText(pubKey, sizeof hex, hex);
        copyText(m_dev_info.pubKey, sizeof m_dev_info.pubKey, hex);
    }
    if (level > 4) {
        char name[kUserNameMax + 1];
        memset(name, 0, sizeof name);
        int hit = 0;
        if (_findApp(name, &hit, true) == kOk && hit) {
            ++found;
            if (app) copyText(app, 32, name);
            copyText(m_dev_info.app, sizeof m_dev_info.app, name);
        }
    }
    m_dev_info.count = found;
    return kOk;
}

int CNvId::initAxSys(const char*, int, uint8_t*, int) {
    _nvlog(">>-%s", "initAxSys");
    return kNotForYou;
}

void CExit::uninit() {
    CNvId::m_bFacSign = 0;
    CNvId::m_bDevSign = 0;
    if (CNvId::m_hCot) {
        SKF_CloseContainer(CNvId::m_hCot);
        CNvId::m_hCot = nullptr;
    }
    if (CNvId::m_hApp) {
        SKF_CloseApplication(CNvId::m_hApp);
        CNvId::m_hApp = nullptr;
    }
}

void CExit::clrHdl() {
    CNvId::m_hCot = nullptr;
    CNvId::m_hApp = nullptr;
}
