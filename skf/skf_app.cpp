// Applications: create, list, open, close, delete; PIN verification.
#include "skf/common.h"

namespace {
constexpr unsigned kAppRecord = 80;
constexpr unsigned kAppNameOnCard = 32;
constexpr unsigned kAppListClearMax = 640;

bool validRights(unsigned int r) {
    return r == SECURE_NEVER_ACCOUNT || r == SECURE_ADM_ACCOUNT || r == SECURE_USER_ACCOUNT ||
           r == SECURE_EVERYONE_ACCOUNT;
}

// One pass of the application listing.
uint32_t enumAppPass(void* hDev, char* buf, unsigned int* pulLen) {
    SKF_ENTER();
    if (!hDev || !pulLen) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    CCOS17 cmd(0x22, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.setWithLe(0);
    r = cmd.SndRcv(0, -1);
    if (r != SAR_OK) return r;
    if (buf && *pulLen <= kAppListClearMax) memset(buf, 0, *pulLen);
    unsigned int n = *pulLen;
    r = rcvToCaller(cmd, buf, &n);
    if (r != SAR_OK && r != 0x6A9E) return logRet(r);
    if (n < 3 && allZero(cmd.replyData(), n)) n = 0;
    *pulLen = n;
    return r;
}
}  // namespace

uint32_t SKF_VerifyPIN(HAPPLICATION hApplication, unsigned int ulPINType, const char* szPIN,
                       unsigned int* pulRetryCount) {
    SKF_ENTER();
    if (!hApplication || !szPIN || !pulRetryCount) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE) return SAR_USER_TYPE_INVALID;
    const unsigned int plen = pinLen(szPIN);
    if (plen == 0) return SAR_PIN_LEN_RANGE;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;

    uint8_t challenge[8];
    uint32_t r = SKF_GenRandom(hDev, challenge, sizeof challenge);
    if (r != SAR_OK) return logRet(r);

    uint8_t digest[20];
    uint8_t crypt[16];
    cos17B_SHA1(reinterpret_cast<const unsigned char*>(szPIN), static_cast<int>(plen), digest);
    const int clen = cos17B_Encrypt_SM4(challenge, sizeof challenge, digest, crypt);
    secureWipe(digest, sizeof digest);

    CCOS17 cmd(0x18, 0, ulPINType, 0x80);
    r = cosBind(cmd, hDev);
    if (r == SAR_OK) {
        cmd.addW(appId).addBuf(crypt, static_cast<unsigned>(clen));
        cmd.setWithLe(0);
        r = cmd.SndRcv(0, -1);
    }
    secureWipe(crypt, sizeof crypt);
    if (r != SAR_OK) return r;
    return cvtCosErr17Code(cmd.getRetCode(), pulRetryCount);
}

uint32_t SKF_CreateApplication(DEVHANDLE hDev, const char* szAppName, const char* szAdminPin,
                               unsigned int dwAdminPinRetryCount, const char* szUserPin,
                               unsigned int dwUserPinRetryCount, unsigned int dwCreateFileRights,
                               HAPPLICATION* phApplication) {
    SKF_ENTER();
    if (!hDev || !szAppName || !szAdminPin || !szUserPin || !phApplication) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    const unsigned int alen = pinLen(szAdminPin);
    const unsigned int ulen = pinLen(szUserPin);
    if (alen == 0 || ulen == 0) return SAR_PIN_LEN_RANGE;
    if (!validRights(dwCreateFileRights)) {
        _nvlogstr("ptr");
        return SAR_INVALIDPARAMERR;
    }
    _nvlog("APPP*=%08lX, APPP**=%08lX\n", reinterpret_cast<unsigned long>(phApplication),
           reinterpret_cast<unsigned long>(*phApplication));

    uint8_t rec[kAppRecord] = {};
    memcpy(rec, szAppName, textLen(szAppName, kAppNameOnCard));
    memcpy(rec + 32, szAdminPin, alen);
    putLe32(dwAdminPinRetryCount, rec + 48);
    memcpy(rec + 52, szUserPin, ulen);
    putLe32(dwUserPinRetryCount, rec + 68);
    putLe32(dwCreateFileRights, rec + 72);

    CCOS17 cmd(0x20, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r == SAR_OK) {
        cmd.addBuf(rec, sizeof rec);
        r = cmd.SndRcv(0, -1);
    }
    secureWipe(rec, sizeof rec);
    uint8_t id[2] = {};
    unsigned int n = sizeof id;
    if (r == SAR_OK) r = rcvReply(cmd, id, n, false);
    cmd.wipe();  // the record carried both PINs
    if (r != SAR_OK) return logRet(r);

    *phApplication = setHdlName(HDL_APP, szAppName, hDev, getLe16(id), kHdlNameMax);
    _nvlog("APP RETURN HDL0=%08lX\n", reinterpret_cast<unsigned long>(hDev));
    _nvlog("APP CREATE HDL1=%08lX\n", reinterpret_cast<unsigned long>(*phApplication));
    _nvlog("APP CREATE HDL2=%08lX\n", reinterpret_cast<unsigned long>(phApplication));
    return SAR_OK;
}

uint32_t SKF_EnumApplication(DEVHANDLE hDev, char* szAppName, unsigned int* pulSize) {
    SKF_ENTER();
    if (!pulSize) return SAR_INVALIDHANDLEERR;
    return listAllPasses(
        [](void* owner, char* buf, unsigned int* len) { return enumAppPass(owner, buf, len); },
        hDev, szAppName, pulSize);
}

uint32_t SKF_DeleteApplication(DEVHANDLE hDev, const char* szAppName) {
    SKF_ENTER();
    if (!hDev || !szAppName) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    CCOS17 cmd(0x24, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addBuf(szAppName, textLen(szAppName, kCosMaxData + 1));
    r = cosExchange(cmd, hDev);
    if (r != SAR_OK) return r;
    delHdlName(HDL_APP, szAppName, hDev, kHdlNameMax);
    return SAR_OK;
}

uint32_t SKFX_OpenApplication(DEVHANDLE hDev, const char* szAppName, HAPPLICATION* phApplication,
                              unsigned int* pulAppId) {
    SKF_ENTER();
    if (!hDev || !szAppName || !phApplication) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    *phApplication = nullptr;
    CCOS17 cmd(0x26, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addBuf(szAppName, textLen(szAppName, kCosMaxData + 1));
    cmd.setWithLe(10);
    r = cmd.SndRcv(0, -1);
    if (r != SAR_OK) return r;
    uint8_t rep[10] = {};
    unsigned int n = sizeof rep;
    r = rcvReply(cmd, rep, n, true);
    const unsigned short id = getLe16(rep + 8);
    if (id != 0) {
        *phApplication = setHdlName(HDL_APP, szAppName, hDev, id, kHdlNameMax);
        _nvlog("APP OPEN HDL=%08lX\n", reinterpret_cast<unsigned long>(*phApplication));
    }
    if (r != SAR_OK) return logRet(r);
    if (pulAppId) *pulAppId = id;
    return SAR_OK;
}

uint32_t SKF_OpenApplication(DEVHANDLE hDev, const char* szAppName, HAPPLICATION* phApplication) {
    SKF_ENTER();
    return SKFX_OpenApplication(hDev, szAppName, phApplication, nullptr);
}

uint32_t SKF_CloseApplication(HAPPLICATION hApplication) {
    SKF_ENTER();
    if (!hApplication) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x28, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addW(appId);
    r = cosExchange(cmd, hDev);
    if (r != SAR_OK) return r;
    delbyHdl(hApplication);
    return SAR_OK;
}
