// The MAC-protected commands (class 0x84): PIN change, PIN unblock and the
// device-key change. The new secret travels encrypted and the command is
// authenticated under a key the card already knows.
#include "skf/common.h"

namespace {
constexpr unsigned kMacLen = 4;

// Writes the header, MACs header and data (without the placeholder) under
// `key` with a fresh challenge, puts the MAC in place and exchanges.
uint32_t sendProtected(CCOS17& cmd, void* hDev, const uint8_t* key) {
    cmd.fillbuf(0);
    uint8_t iv[16] = {};
    uint32_t r = SKF_GenRandom(hDev, iv, 8);
    if (r != SAR_OK) return logRet(r);
    uint8_t mac[kMacLen] = {};
    const unsigned int macOffset = cmd.dataLen() - kMacLen;
    cos17B_MAC_SM4(cmd.area(), static_cast<int>(CCOS17::kHeader + macOffset), iv, key, mac);
    cmd.setData(mac, kMacLen, macOffset);
    return cmd.SndRcv(0, -1);
}

// K = the first 16 bytes of the PIN's digest.
void pinKey(const char* pin, unsigned int len, uint8_t key[16]) {
    uint8_t digest[20];
    cos17B_SHA1(reinterpret_cast<const unsigned char*>(pin), static_cast<int>(len), digest);
    memcpy(key, digest, 16);
    secureWipe(digest, sizeof digest);
}

uint32_t pinCommand(unsigned ins, unsigned p2, HAPPLICATION hApp, const char* keyPin,
                    unsigned keyLen, const char* newPin, unsigned newLen,
                    unsigned int* pulRetryCount) {
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApp, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(ins, 0, p2, 0x84);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    uint8_t key[16];
    uint8_t secret[32];
    pinKey(keyPin, keyLen, key);
    const int slen = cos17B_Encrypt_SM4(newPin, static_cast<int>(newLen), key, secret);
    const uint8_t zero[kMacLen] = {};
    cmd.addW(appId).addBuf(secret, static_cast<unsigned>(slen)).addBuf(zero, kMacLen);
    r = sendProtected(cmd, hDev, key);
    const unsigned int sw = r == SAR_OK ? cmd.getRetCode() : 0;
    cmd.wipe();
    secureWipe(key, sizeof key);
    secureWipe(secret, sizeof secret);
    if (r != SAR_OK) return r;
    return cvtCosErr17Code(sw, pulRetryCount);
}
}  // namespace

uint32_t SKF_ChangePIN(HAPPLICATION hApplication, unsigned int ulPINType, const char* szOldPin,
                       const char* szNewPin, unsigned int* pulRetryCount) {
    SKF_ENTER();
    if (!hApplication || !szOldPin || !szNewPin || !pulRetryCount) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE) return SAR_USER_TYPE_INVALID;
    const unsigned int oldLen = pinLen(szOldPin);
    const unsigned int newLen = pinLen(szNewPin);
    if (oldLen == 0 || newLen == 0) return SAR_PIN_LEN_RANGE;
    return pinCommand(0x16, ulPINType, hApplication, szOldPin, oldLen, szNewPin, newLen,
                      pulRetryCount);
}

uint32_t SKF_UnblockPIN(HAPPLICATION hApplication, const char* szAdminPIN, const char* szNewUserPIN,
                        unsigned int* pulRetryCount) {
    SKF_ENTER();
    if (!hApplication || !szAdminPIN || !szNewUserPIN || !pulRetryCount) {
        return SAR_INVALIDHANDLEERR;
    }
    const unsigned int adminLen = pinLen(szAdminPIN);
    const unsigned int newLen = pinLen(szNewUserPIN);
    if (adminLen == 0 || newLen == 0) return SAR_PIN_LEN_RANGE;
    return pinCommand(0x1A, 0, hApplication, szAdminPIN, adminLen, szNewUserPIN, newLen,
                      pulRetryCount);
}

uint32_t SKF_ChangeDevAuthKeyExt(DEVHANDLE hDev, const unsigned char* newKey,
                                 const unsigned char* oldKey) {
    SKF_ENTER();
    if (!hDev || !newKey || !oldKey) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    CCOS17 cmd(0x12, 0, 0, 0x84);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    uint8_t secret[16];
    const int slen = cos17B_Encrypt_SM4Ex(newKey, 16, oldKey, secret);
    const uint8_t zero[kMacLen] = {};
    cmd.addBuf(secret, static_cast<unsigned>(slen)).addBuf(zero, kMacLen);
    secureWipe(secret, sizeof secret);
    r = sendProtected(cmd, hDev, oldKey);
    if (r == SAR_OK) r = statusTest(cmd);
    cmd.wipe();
    return r;
}
