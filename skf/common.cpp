#include "skf/common.h"

uint32_t cosBind(CCOS17& cmd, void* hDev) {
    const uint32_t r = cosGetDevLink(hDev, cmd.m_link);
    if (r != SAR_OK) _nvlogstr("get link");
    return r;
}

bool resolveApp(HAPPLICATION hApp, unsigned short& appId, void*& hDev) {
    if (!getHdlInfo(HDL_APP, hApp, appId, hDev, nullptr)) {
        _nvlogstr("APP  ");
        return false;
    }
    return true;
}

bool resolveContainer(HCONTAINER hCon, ContainerRef& ref) {
    void* app = nullptr;
    if (!getHdlInfo(HDL_CONTAINER, hCon, ref.conId, app, nullptr)) {
        _nvlogstr("COT  ");
        return false;
    }
    ref.hApp = app;
    return resolveApp(app, ref.appId, ref.hDev);
}

uint32_t statusTest(const CCOS17& cmd) {
    const unsigned int sw = cmd.getRetCode();
    if (sw == 0x9000 || isMoreData(sw)) return SAR_OK;
    return cvtCosErr17Code(sw, nullptr);
}

uint32_t cosExchange(CCOS17& cmd, void* hDev) {
    if (!cmd.m_link) {
        const uint32_t r = cosBind(cmd, hDev);
        if (r != SAR_OK) return r;
    }
    const uint32_t r = cmd.SndRcv(0, -1);
    if (r != SAR_OK) return r;
    return statusTest(cmd);
}

uint32_t listAllPasses(ListPassFn pass, void* owner, char* buf, unsigned int* pulSize) {
    if (!pulSize) return SAR_INVALIDHANDLEERR;
    // A card that keeps saying "more" without sending anything would loop
    // forever; a list of 16 objects never needs this many passes.
    constexpr int kMaxPasses = 64;
    const unsigned int cap = *pulSize;
    *pulSize = 0;
    for (int i = 0; i < kMaxPasses; ++i) {
        unsigned int len = buf ? cap - *pulSize : cap;
        if (buf && len == 0) return SAR_BUFFER_TOO_SMALL;
        const uint32_t r = pass(owner, buf ? buf + *pulSize : nullptr, &len);
        if (r != SAR_OK && r != 0x6A9E) return r;
        *pulSize += len;
        if (r == SAR_OK) return SAR_OK;
        if (len == 0) break;
        *pulSize -= 1;
    }
    _nvlogstr("list passes");
    return SAR_FAIL;
}

uint32_t rcvToCaller(CCOS17& cmd, void* out, unsigned int* pulLen) {
    if (out && *pulLen == 0) {
        const unsigned int sw = cmd.getRetCode();
        if (sw != 0x9000 && !isMoreData(sw)) return cvtCosErr17Code(sw, nullptr);
        if (cmd.replyLen() > 0) {
            _nvlog("rcv buf is not enough %d", 0);
            return SAR_BUFFER_TOO_SMALL;
        }
        return isMoreData(sw) ? 0x6A9E : SAR_OK;
    }
    unsigned int n = *pulLen;
    const uint32_t r = cmd.getRcv(out, n, false);
    if (r == SAR_OK || r == 0x6A9E) *pulLen = n;
    return r;
}

uint32_t cosExchangeTo(CCOS17& cmd, void* hDev, void* out, unsigned int* pulLen) {
    if (!pulLen) return SAR_INVALIDHANDLEERR;
    uint32_t r = cmd.m_link ? SAR_OK : cosBind(cmd, hDev);
    if (r == SAR_OK) r = cmd.SndRcv(0, -1);
    if (r == SAR_OK) r = rcvToCaller(cmd, out, pulLen);
    if (r == 0x6A9E) r = SAR_OK;
    if (r != SAR_OK) return logRet(r);
    return SAR_OK;
}

uint32_t cosExchangeFixed(CCOS17& cmd, void* hDev, uint8_t* rep, unsigned int cap,
                          unsigned int* got) {
    memset(rep, 0, cap);
    unsigned int n = cap;
    uint32_t r = cmd.m_link ? SAR_OK : cosBind(cmd, hDev);
    if (r == SAR_OK) r = cmd.SndRcv(0, -1);
    if (r == SAR_OK) r = rcvReply(cmd, rep, n, false);
    if (r != SAR_OK) return logRet(r);
    if (got) *got = n;
    return SAR_OK;
}

bool resolveObj(int type, HANDLE h, ObjRef& ref) {
    if (!getHdlInfo(type, h, ref.id, ref.hDev, &ref.alg)) {
        _nvlogstr("HDL  ");
        return false;
    }
    return true;
}

uint32_t rcvReply(CCOS17& cmd, void* out, unsigned int& len, bool copyFirst) {
    const uint32_t r = cmd.getRcv(out, len, copyFirst);
    return r == 0x6A9E ? SAR_OK : r;
}
