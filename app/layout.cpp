// The key layout: fixed names, application lookup and opening, device
// authentication, user applications, module templates, logon records and
// the two factory-initialisation routines.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/internal.h"
#include "crypto/crypto.h"
#include "transport/transport.h"
#include "util/util.h"

using namespace nvapp;

const char CNvId::m_axAppName[16] = "meboBaseApp";
const char CNvId::m_axCotName[16] = "axBaseCot";
const char CNvId::m_devCotName[16] = "axDevCot";
const char CNvId::m_pwdAppName[16] = "axUpBaseApp";
const char CNvId::m_UpanAppName[16] = "UPanApp";
const char CNvId::m_nvAppName[16] = "baseApp";
const char CNvId::m_nvCotName[16] = "baseCot";
const char CNvId::m_userPin[16] = "314159";

namespace nvapp {

// The factory key pair the base container receives at initialisation.
const uint8_t kFactoryKeyPair[96] = {
    // X
    0xF9, 0x99, 0x8A, 0x16, 0x71, 0xCF, 0x5C, 0x88, 0x85, 0x68, 0x86, 0x70, 0xD6, 0xE1, 0x5F, 0xE8,
    0x4F, 0x9B, 0x73, 0xA8, 0xA8, 0xCF, 0x2A, 0x1A, 0x7F, 0x37, 0x73, 0xDA, 0x4F, 0x2A, 0xC0, 0xAE,
    // Y
    0x66, 0x80, 0xD6, 0x33, 0x3F, 0xA6, 0x33, 0x92, 0xED, 0xEF, 0xD3, 0xDE, 0xAD, 0x50, 0x78, 0x44,
    0xA0, 0xAE, 0x1F, 0x4A, 0x14, 0x56, 0xAA, 0x22, 0x06, 0x40, 0x90, 0xEB, 0x96, 0xDA, 0x31, 0xB4,
    // d
    0x0B, 0xC7, 0x4F, 0x37, 0x59, 0xE0, 0x37, 0xB2, 0x3E, 0xE1, 0xB8, 0x5E, 0x85, 0x52, 0xAE, 0xB2,
    0x24, 0xBB, 0x3A, 0x38, 0xDE, 0xCB, 0x99, 0x0F, 0x74, 0xA9, 0xE6, 0x62, 0x31, 0x0D, 0xE0, 0x1E};

// The same digits are a blank virtual key's device key; an integration test
// holds the two together.
const char kDefaultDevKey[17] = "3141592653589793";

const uint8_t kPwdUserPin[7] = {0x4E, 0x2F, 0x61, 0x38, 0x0B, 0x5D, 0x00};

size_t nameLen(const char* p, size_t left) {
    size_t n = strnlen(p, left);
    return n == left ? 0 : n;  // unterminated within the list: unusable
}

void copyText(char* dst, size_t cap, const char* src) {
    if (!dst || cap == 0) return;
    size_t n = src ? strnlen(src, cap - 1) : 0;
    // A name cut to fit is cut before a whole character, never inside one:
    // the first byte left out must not continue a character that was kept.
    if (n > 0 && src[n] != 0)
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
            --n;
    if (n) memcpy(dst, src, n);
    dst[n] = 0;
}

void makeAdminPin(char pin[9]) {
    srand(static_cast<unsigned>(time(nullptr)) + static_cast<unsigned>(rand()));
    for (int i = 0; i < 8; ++i)
        pin[i] = static_cast<char>(rand() % 127 + 1);
    pin[8] = 0;
}

}  // namespace nvapp

Struct_ECCPUBLICKEYBLOB nvapp::factoryBlob() {
    Struct_ECCPUBLICKEYBLOB b;
    memset(&b, 0, sizeof b);
    b.BitLen = 256;
    memcpy(b.XCoordinate + m_ECCxyStart, kFactoryKeyPair, 32);
    memcpy(b.YCoordinate + m_ECCxyStart, kFactoryKeyPair + 32, 32);
    return b;
}

bool CNvId::_isBaseApp(const char* name) {
    if (!name) return false;
    return strcmp(name, m_axAppName) == 0 || strcmp(name, m_nvAppName) == 0 ||
           strcmp(name, m_UpanAppName) == 0 || strcmp(name, m_pwdAppName) == 0;
}

void CNvId::blob2pubKey(const void* blob, uint8_t* out, int* length) {
    const uint8_t* b = static_cast<const uint8_t*>(blob);
    out[0] = 0x04;
    memcpy(out + 1, b + 4 + m_ECCxyStart, 32);        // X field
    memcpy(out + 33, b + 4 + 64 + m_ECCxyStart, 32);  // Y field
    if (length) *length = kPubKeyLen;
}

int CNvId::_findApp(char* name, int* found, bool anyUser) {
    *found = 0;
    char list[1024];
    unsigned int size = 0;
    if (enumApps(list, sizeof list, &size, false) != kOk) return kFailed;
    int rc = walkNames(list, size, kUserNameMax, [&](const char* app) {
        if (anyUser ? !_isBaseApp(app) : strcmp(app, name) == 0) {
            if (anyUser) copyText(name, kUserNameMax + 1, app);
            *found = 1;
            return 1;
        }
        return 0;
    });
    return rc == 1 ? kOk : rc;
}

uint32_t CNvId::openApp(void* hDev, const char* name, void** handle, bool reconnect) {
    _nvlog(">>-%s", "openApp");
    HAPPLICATION h = nullptr;
    uint32_t r = SKF_OpenApplication(hDev, name, &h);
    if (reconnect && r == SAR_LINK_SEND) {
        CExit::uninit();
        openDev();
        // Reconnecting the same key yields the same device handle; a key
        // that came back under another slot is the one now connected.
        if (m_hDev) hDev = m_hDev;
        h = nullptr;
        r = SKF_OpenApplication(hDev, name, &h);
    }
    if (r != SAR_OK && h) {
        SKF_CloseApplication(h);
        h = nullptr;
        r = SKF_OpenApplication(hDev, name, &h);
    }
    *handle = h;
    return r;
}

int CNvId::AuthDev(const uint8_t* key) {
    _nvlog(">>-%s", "AuthDev");
    uint8_t k[16];
    memcpy(k, key ? key : reinterpret_cast<const uint8_t*>(kDefaultDevKey), 16);
    uint8_t block[16];
    memset(block, 0, sizeof block);
    uint32_t r = SKF_GenRandom(m_hDev, block, 8);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        memset(k, 0, sizeof k);
        return kFailed;
    }
    sm4_context ctx;
    sm4_setkey_enc(&ctx, k);
    memset(k, 0, sizeof k);
    uint8_t crypt[16];
    int c = sm4_crypt_ecb(&ctx, 16, block, crypt);
    sm4_clear(&ctx);
    if (c != 0) return kFailed;
    r = SKF_DevAuth(m_hDev, crypt, 16);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    return kOk;
}

int CNvId::creatApp(const char* name) {
    _nvlog(">>-%s", "creatApp");
    char admin[9];
    makeAdminPin(admin);
    int rc = AuthDev(nullptr);
    if (rc != kOk) {
        logLine(__LINE__, static_cast<uint32_t>(rc));
        memset(admin, 0, sizeof admin);
        return kFailed;
    }
    HAPPLICATION h = nullptr;
    uint32_t r =
        SKF_CreateApplication(m_hDev, name, admin, 8, m_userPin, 8, SECURE_ADM_ACCOUNT, &h);
    memset(admin, 0, sizeof admin);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    m_hApp = h;
    return kOk;
}

int CNvId::clrAllApp(char* names, int* count) {
    _nvlog(">>-%s", "clrAllApp");
    char list[1024];
    unsigned int size = 0;
    if (enumApps(list, sizeof list, &size, false) != kOk || size == 0) return 1;
    int n = 0;
    size_t pos = 0;
    bool failed = false;
    int rc = walkNames(list, size, kUserNameMax, [&](const char* app) {
        if (_isBaseApp(app)) return 0;
        if (names) {
            size_t len = strlen(app);
            memcpy(names + pos, app, len + 1);  // at most the list's own size
            pos += len + 1;
        }
        ++n;
        uint32_t d = SKF_DeleteApplication(m_hDev, app);
        if (d != SAR_OK) {
            logLine(__LINE__, d);
            failed = true;
            return 1;
        }
        return 0;
    });
    if (failed) return 0;
    if (rc == kBadLength) return kBadLength;
    if (count) *count = n;
    return 1;
}

int CNvId::_getFp(int* capacity, int* used, uint8_t* ids) {
    uint8_t rsp[512];
    memset(rsp, 0, sizeof rsp);
    uint32_t r = NUV_FpcGetNum(nullptr, rsp);
    if (r == SAR_LINK_SEND) {
        openDev();
        CLink* link = nullptr;
        if (m_hDev && SKFK_GetLink(m_hDev, &link) == SAR_OK) NUV_SetLink(link);
        r = NUV_FpcGetNum(nullptr, rsp);
    }
    if (r != 0) {
        logLine(__LINE__, r);
        return kFailed;
    }
    int cap = rsp[0];
    int use = rsp[1];
    if (cap > static_cast<int>(NUV_FPC_NUM_MAX) - 2) cap = NUV_FPC_NUM_MAX - 2;
    if (capacity) *capacity = rsp[0];
    if (used) *used = use;
    if (ids) {
        int got = 0;
        for (int i = 0; i < cap && got < use; ++i)
            if (rsp[2 + i]) ids[got++] = rsp[2 + i];
    }
    return kOk;
}

int CNvId::_isFullFp(int* full, uint8_t* ids) {
    int cap = 0, used = 0;
    if (_getFp(&cap, &used, ids) != kOk) {
        logLine(__LINE__, 0);
        return kFailed;
    }
    *full = cap > used ? 0 : 1;
    return kOk;
}

int CNvId::clearFp(const uint8_t* ids, int count) {
    _nvlog(">>-%s", "clearFp");
    if (useModuleLink() != kOk) return kFailed;
    uint8_t all[256];
    memset(all, 0, sizeof all);
    if (!ids) {
        int cap = 0;
        int rc = _getFp(&cap, &count, all);
        if (rc != kOk) return rc;
        // Only the template numbers the module actually listed: a used count
        // larger than its occupied slots names nothing more.
        int listed = 0;
        while (listed < count && listed < static_cast<int>(sizeof all) && all[listed])
            ++listed;
        count = listed;
        ids = all;
    }
    for (int i = 0; i < count; ++i) {
        uint32_t r = NUV_FpcDelete(nullptr, ids[i]);
        if (r != 0) _nvlog("clearFp %d %x", ids[i], r);
    }
    return kOk;
}

int CNvId::_unbindLogon(int count, const uint8_t* ids) {
    CExit::uninit();
    HAPPLICATION h = nullptr;
    uint32_t r = SKF_OpenApplication(m_hDev, m_pwdAppName, &h);
    m_hApp = h;
    if (r != SAR_OK && r != SAR_APPLICATION_EXISTS) return kFailed;
    unsigned int tries = 0;
    r = SKF_VerifyPIN(m_hApp, USER_TYPE, reinterpret_cast<const char*>(kPwdUserPin), &tries);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    char list[128];
    memset(list, 0, sizeof list);
    unsigned int size = sizeof list;
    r = SKF_EnumFiles(m_hApp, list, &size);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    if (size > sizeof list) size = sizeof list;
    size_t pos = 0;
    while (size - pos >= 2) {
        size_t n = nameLen(list + pos, size - pos);
        if (n == 0) break;
        int id = atoi(list + pos);
        bool hit = count == 255;
        for (int i = 0; !hit && ids && i < count; ++i)
            hit = ids[i] == id;
        if (hit) SKF_DeleteFile(m_hApp, list + pos);
        pos += n + 1;
    }
    return kOk;
}

int CNvId::InitAppAx() {
    _nvlog(">>-%s", "InitAppAx");
    char admin[9];
    makeAdminPin(admin);
    int rc = kFailed;
    HAPPLICATION app = nullptr;
    HCONTAINER cot = nullptr;
    unsigned int tries = 0;
    uint32_t r = SKF_CreateApplication(m_hDev, m_axAppName, admin, 8, m_userPin, 8,
                                       SECURE_ADM_ACCOUNT, &app);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        goto done;
    }
    if (app) SKF_CloseApplication(app);
    SKF_OpenApplication(m_hDev, m_axAppName, &app);
    m_hApp = app;
    r = SKF_VerifyPIN(m_hApp, ADMIN_TYPE, admin, &tries);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        goto done;
    }
    r = SKF_CreateContainer(m_hApp, m_axCotName, &cot);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        goto done;
    }
    if (cot) SKF_CloseContainer(cot);
    SKF_OpenContainer(m_hApp, m_axCotName, &cot);
    m_hCot = cot;
    r = SKFX_ImportECCKeyPairEx(m_hCot, kFactoryKeyPair, 1);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        goto done;
    }
    rc = kOk;
done:
    memset(admin, 0, sizeof admin);
    CExit::uninit();
    return rc;
}

int CNvId::AxInitFs(uint8_t* pubKey, int* length) {
    _nvlog(">>-%s", "AxInitFs");
    CExit guard;
    int rc = AuthDev(nullptr);
    if (rc != kOk) {
        logLine(__LINE__, static_cast<uint32_t>(rc));
        return kFailed;
    }
    clrAllApp(nullptr, nullptr);
    _unbindLogon(255, nullptr);
    CExit::uninit();
    uint32_t r = openApp(m_hDev, m_axAppName, &m_hApp, true);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    r = SKFX_SetDevType(m_hDev, 1);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    unsigned int tries = 0;
    r = SKF_VerifyPIN(m_hApp, USER_TYPE, m_userPin, &tries);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    clearFp(nullptr, 0);
    SKF_DeleteContainer(m_hApp, m_devCotName);
    HCONTAINER cot = nullptr;
    r = SKF_CreateContainer(m_hApp, m_devCotName, &cot);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    if (cot) SKF_CloseContainer(cot);
    cot = nullptr;
    SKF_OpenContainer(m_hApp, m_devCotName, &cot);
    m_hCot = cot;
    Struct_ECCPUBLICKEYBLOB blob;
    memset(&blob, 0, sizeof blob);
    r = SKF_GenECCKeyPair(m_hCot, SGD_SM2_1, &blob);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    if (pubKey) blob2pubKey(&blob, pubKey, length);
    return kOk;
}
