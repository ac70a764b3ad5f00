// The remaining device and PIN functions: plain device-key change, PIN
// information, clearing the login state, raw command pass-through, boot mode.
#include "skf/common.h"

uint32_t SKF_ChangeDevAuthKey(DEVHANDLE hDev, const unsigned char* pbKeyValue,
                              unsigned int ulKeyLen) {
    SKF_ENTER();
    if (!hDev || !pbKeyValue) return SAR_INVALIDHANDLEERR;
    if (ulKeyLen == 0 || ulKeyLen > 32) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(0x12, 0, 0, 0x80);
    const uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addBuf(pbKeyValue, ulKeyLen);
    const uint32_t res = cosExchange(cmd, hDev);
    cmd.wipe();
    return res;
}

uint32_t SKF_GetPINInfo(HAPPLICATION hApplication, unsigned int ulPINType,
                        unsigned int* pulMaxRetryCount, unsigned int* pulRemainRetryCount,
                        BOOL* pbDefaultPin) {
    SKF_ENTER();
    if (!hApplication || !pulMaxRetryCount || !pulRemainRetryCount || !pbDefaultPin) {
        return SAR_INVALIDHANDLEERR;
    }
    if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE) return SAR_USER_TYPE_INVALID;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x14, 0, ulPINType, 0x80);
    cmd.addW(appId);
    cmd.setWithLe(3);
    uint8_t rep[3];
    const uint32_t r = cosExchangeFixed(cmd, hDev, rep, sizeof rep, nullptr);
    if (r != SAR_OK) return r;
    *pulMaxRetryCount = rep[0];
    *pulRemainRetryCount = rep[1];
    *pbDefaultPin = rep[2] ? 1 : 0;
    return SAR_OK;
}

uint32_t SKF_ClearSecureState(HAPPLICATION hApplication) {
    SKF_ENTER();
    if (!hApplication) return SAR_INVALIDHANDLEERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x1C, 0, 0, 0x80);
    cmd.addW(appId);
    return cosExchange(cmd, hDev);
}

uint32_t SKX_Transmit(DEVHANDLE hDev, const unsigned char* pbCommand, unsigned int ulCommandLen,
                      int type, unsigned char* pbReply, unsigned int* pulReplyLen) {
    SKF_ENTER();
    if (!hDev || !pbCommand || !pbReply || !pulReplyLen) return SAR_FAIL;
    CCOS17 cmd(0, 0, 0, 0x80);
    if (cosBind(cmd, hDev) != SAR_OK) return SAR_FAIL;
    if (ulCommandLen > CCOS17::kHeader + kCosMaxData ||
        !cmd.fillbuf(pbCommand, static_cast<int>(ulCommandLen))) {
        return SAR_INDATALENERR;
    }
    if (cmd.SndRcv(1, type) != SAR_OK) return SAR_FAIL;
    const unsigned int n = CCOS17::kReplyHead + cmd.replyLen();
    if (*pulReplyLen < n) {
        _nvlog("rcv buf is not enough %d", static_cast<int>(*pulReplyLen));
        return SAR_BUFFER_TOO_SMALL;
    }
    memcpy(pbReply, cmd.area(), n);
    *pulReplyLen = n;
    return SAR_OK;
}

uint32_t SKF_Transmit(DEVHANDLE hDev, const unsigned char* pbCommand, unsigned int ulCommandLen,
                      unsigned char* pbData, unsigned int* pulDataLen) {
    SKF_ENTER();
    if (!pbData || !pulDataLen) return SAR_FAIL;
    uint8_t reply[CCOS17::kArea];
    unsigned int n = sizeof reply;
    const uint32_t r = SKX_Transmit(hDev, pbCommand, ulCommandLen, FRAME_CH_APDU, reply, &n);
    if (r != SAR_OK) return r;
    // The first reply byte is dropped.
    if (*pulDataLen < n - 1) return SAR_BUFFER_TOO_SMALL;
    memcpy(pbData, reply + 1, n - 1);
    *pulDataLen = n - 1;
    return SAR_OK;
}

uint32_t SKFE_gotoBoot(DEVHANDLE hDev, unsigned int bootMode) {
    SKF_ENTER();
    _nvlog("hDev = 0x%lx, bootMode = %d", reinterpret_cast<unsigned long>(hDev), bootMode);
    if (!hDev) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x95, 0, bootMode, 0x80);
    return cosExchange(cmd, hDev);
}
