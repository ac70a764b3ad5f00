// Device-level functions: listing, connecting, identity fields, device
// information, device authentication, random numbers, the link hand-over.
#include "skf/common.h"

namespace {
constexpr unsigned kDevNameMax = 255;
constexpr unsigned kDevInfoReply = 368;

enum : unsigned { SEL_W_LABEL = 0, SEL_W_SN = 1, SEL_W_RSV = 3, SEL_W_TYPE = 4 };
enum : unsigned {
    SEL_R_ALL = 0,
    SEL_R_SN = 1,
    SEL_R_VER = 4,
    SEL_R_LABEL = 3,
    SEL_R_RSV = 5,
    SEL_R_TYPE = 6
};
constexpr unsigned kMaxOffset = 118;

unsigned idFieldLimit(unsigned selector) {
    if (selector == SEL_W_TYPE) return 2;
    if (selector == 2 || selector == SEL_W_RSV) return 64;
    return 32;
}
}  // namespace

uint32_t SKF_EnumDev(BOOL bPresent, char* szNameList, unsigned int* pulSize) {
    _nvlogstr("1.0.0");
    SKF_ENTER();
    cosInitGlobalConfig();
    if (!pulSize) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    const unsigned int cap = *pulSize;
    if (szNameList) {
        if (cap < 2) {
            _nvlogstr("Data buffer length not enough");
            return SAR_INDATAERR;
        }
        memset(szNameList, 0, cap);
    }
    memset(m_DevList, 0, sizeof m_DevList);
    const int count = PORT_GetusbPortDevNameEx(0, m_DevList, PORT_MAX_DEVICES, bPresent);
    m_devNum = count > 0 ? count : 0;
    if (m_devNum == 0) {
        _nvlogstr("no device");
        return SAR_DEVICE_REMOVED;
    }
    unsigned int pos = 0;
    for (int i = 0; i < m_devNum; ++i) {
        const unsigned int n = textLen(m_DevList[i].name, kDevNameMax);
        if (szNameList) {
            if (pos + n + 1 >= cap) {
                _nvlogstr("Data buffer length not enough");
                return SAR_BUFFER_TOO_SMALL;
            }
            memcpy(szNameList + pos, m_DevList[i].name, n);
            szNameList[pos + n] = '\0';
        }
        pos += n + 1;
    }
    if (szNameList && pos > 0) szNameList[pos] = '\0';
    pos += 1;
    *pulSize = pos;
    _nvlog("*pulSize = %d", pos);
    return SAR_OK;
}

uint32_t SKF_ConnectDev(const char* szName, DEVHANDLE* phDev) {
    SKF_ENTER();
    _nvlog("szName=%s, ", szName ? szName : "");
    if (!szName || !phDev || szName[0] == '\0') {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    if (!cosLock(szName)) {
        _nvlogstr("get lock evet fail ");
        return SAR_FAIL;
    }
    cosInitGlobalConfig();
    void* hDev = cosInitUsbDev(szName);
    _nvlog("hDev = 0x%lx", reinterpret_cast<unsigned long>(hDev));
    if (!hDev) {
        cosUnlockByDevName(szName);
        return SAR_INVALIDHANDLEERR;
    }
    *phDev = hDev;
    _nvlog("hDev = 0x%08lX", reinterpret_cast<unsigned long>(hDev));
    return SAR_OK;
}

uint32_t SKF_DisConnectDev(DEVHANDLE hDev) {
    SKF_ENTER();
    _nvlog("hDev = 0x%lx", reinterpret_cast<unsigned long>(hDev));
    if (!hDev) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    cosFreeUsbDev(hDev);
    cosUnlockByDevHdl(hDev);
    return SAR_OK;
}

uint32_t SKF_GetDevState(const char* szDevName, unsigned int* pulDevState) {
    SKF_ENTER();
    if (!szDevName || !pulDevState) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    if (szDevName[0] == '\0') {
        _nvlogstr("name is empty\n");
        return SAR_DEVICE_REMOVED;
    }
    _nvlog("szDevName = %s, ", szDevName);
    PORT_DEVNAME list[PORT_MAX_DEVICES];
    memset(list, 0, sizeof list);
    const int count = PORT_GetusbPortDevNameEx(0, list, PORT_MAX_DEVICES, 1);
    *pulDevState = 0;
    for (int i = 0; i < count && i < PORT_MAX_DEVICES; ++i) {
        list[i].name[PORT_NAME_MAX - 1] = '\0';
        if (strstr(list[i].name, szDevName)) {
            *pulDevState = 1;
            return SAR_OK;
        }
    }
    _nvlogstr("dev removed");
    return SAR_OK;
}

uint32_t SKFX_SetLabelEx(DEVHANDLE hDev, unsigned int selector, const void* data, unsigned int len,
                         unsigned int offset) {
    SKF_ENTER();
    if (selector > SEL_W_TYPE || offset > kMaxOffset) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(0x02, selector, offset, 0x80);
    if (!hDev || !data) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    _nvlog("hDev = 0x%lx, len = %u", reinterpret_cast<unsigned long>(hDev), len);
    if (len > idFieldLimit(selector)) {
        _nvlogstr("len");
        return SAR_INVALIDPARAMERR;
    }
    cmd.addBuf(data, len);
    return cosExchange(cmd, hDev);
}

uint32_t SKF_SetLabel(DEVHANDLE hDev, const char* szLabel) {
    SKF_ENTER();
    if (!szLabel) return SAR_INVALIDHANDLEERR;
    return SKFX_SetLabelEx(hDev, SEL_W_LABEL, szLabel, textLen(szLabel, 0xFFFF), 0);
}

uint32_t SKFX_SetSN(DEVHANDLE hDev, const char* szSN) {
    SKF_ENTER();
    if (!szSN) return SAR_INVALIDHANDLEERR;
    return SKFX_SetLabelEx(hDev, SEL_W_SN, szSN, textLen(szSN, 0xFFFF), 0);
}

uint32_t SKFX_SetDevType(DEVHANDLE hDev, unsigned short type) {
    SKF_ENTER();
    uint8_t le[2];
    putLe16(type, le);
    return SKFX_SetLabelEx(hDev, SEL_W_TYPE, le, sizeof le, 0);
}

uint32_t SKFX_SetRsv(DEVHANDLE hDev, const unsigned char* data, unsigned int len,
                     unsigned int offset) {
    SKF_ENTER();
    return SKFX_SetLabelEx(hDev, SEL_W_RSV, data, len, offset);
}

uint32_t _setPinDefState(DEVHANDLE hDev) {
    SKF_ENTER();
    const unsigned char mark[3] = {0xA5, 0x5A, 0x00};
    return SKFX_SetRsv(hDev, mark, sizeof mark, 0);
}

uint32_t SKFX_GetDevInfoEx(DEVHANDLE hDev, unsigned int selector, void* buf, unsigned int* pulLen,
                           unsigned int offset) {
    SKF_ENTER();
    if (selector > SEL_R_TYPE || offset > kMaxOffset) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(0x04, selector, offset, 0x80);
    if (!buf || !pulLen || !hDev) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.setWithLe(0);
    r = cmd.SndRcv(0, -1);
    uint8_t work[kDevInfoReply];
    unsigned int n = sizeof work;
    if (r == SAR_OK) r = rcvReply(cmd, work, n, false);
    if (r != SAR_OK) return logRet(r);
    if (*pulLen < n) return SAR_INVALIDPARAMERR;
    *pulLen = n;
    memcpy(buf, work, n);
    return SAR_OK;
}

namespace {
uint32_t getIdField(DEVHANDLE hDev, unsigned selector, void* buf, unsigned cap, unsigned offset) {
    unsigned int len = cap;
    return SKFX_GetDevInfoEx(hDev, selector, buf, &len, offset);
}
}  // namespace

uint32_t SKFX_GetSN(DEVHANDLE hDev, void* buf) {
    SKF_ENTER();
    return getIdField(hDev, SEL_R_SN, buf, 32, 0);
}

uint32_t SKFX_GetLabel(DEVHANDLE hDev, void* buf) {
    SKF_ENTER();
    return getIdField(hDev, SEL_R_LABEL, buf, 32, 0);
}

uint32_t SKFX_GetVer(DEVHANDLE hDev, void* buf) {
    SKF_ENTER();
    return getIdField(hDev, SEL_R_VER, buf, 3, 0);
}

uint32_t SKFX_GetDevType(DEVHANDLE hDev, void* buf) {
    SKF_ENTER();
    return getIdField(hDev, SEL_R_TYPE, buf, 2, 0);
}

uint32_t SKFX_GetRsv(DEVHANDLE hDev, void* buf, unsigned int offset) {
    SKF_ENTER();
    return getIdField(hDev, SEL_R_RSV, buf, 64, offset);
}

uint32_t SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
    SKF_ENTER();
    CCOS17 cmd(0x04, SEL_R_ALL, 0, 0x80);
    if (!hDev || !pDevInfo) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.setWithLe(0);
    r = cmd.SndRcv(0, -1);
    // Cleared first: a short reply leaves the fields it does not reach zero.
    uint8_t rep[kDevInfoReply] = {};
    unsigned int n = sizeof rep;
    if (r == SAR_OK) r = rcvReply(cmd, rep, n, false);
    if (r != SAR_OK) return logRet(r);

    memset(pDevInfo, 0, sizeof *pDevInfo);
    pDevInfo->Version.major = rep[0];
    pDevInfo->Version.minor = rep[1];
    const uint8_t* p = rep + 4;
    memcpy(pDevInfo->Manufacturer, p, 64);
    memcpy(pDevInfo->Issuer, p + 64, 64);
    memcpy(pDevInfo->Label, p + 128, 32);
    memcpy(pDevInfo->SerialNumber, p + 160, 32);
    pDevInfo->HWVersion.major = p[192];
    pDevInfo->HWVersion.minor = p[193];
    pDevInfo->FirmwareVersion.major = p[194];
    pDevInfo->FirmwareVersion.minor = p[195];
    pDevInfo->AlgSymCap = getLe32(p + 196);
    pDevInfo->AlgAsymCap = getLe32(p + 200);
    pDevInfo->AlgHashCap = getLe32(p + 204);
    pDevInfo->DevAuthAlgId = getLe32(p + 208);
    pDevInfo->TotalSpace = getLe32(p + 212);
    pDevInfo->FreeSpace = getLe32(p + 216);
    pDevInfo->MaxECCBufferSize = 256;
    pDevInfo->MaxBufferSize = 10240;
    memcpy(pDevInfo->Reserved, rep + 224, 64);
    return SAR_OK;
}

uint32_t SKF_GenRandom(DEVHANDLE hDev, unsigned char* pbRandom, unsigned int ulRandomLen) {
    SKF_ENTER();
    if (!hDev || !pbRandom) return SAR_INVALIDHANDLEERR;
    // A zero capacity would mean "no limit" to the reply copy.
    if (ulRandomLen == 0) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(0x50, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.setWithLe(static_cast<int>(ulRandomLen));
    r = cmd.SndRcv(0, -1);
    unsigned int n = ulRandomLen;
    if (r == SAR_OK) r = rcvReply(cmd, pbRandom, n, false);
    if (r != SAR_OK) return logRet(r);
    return SAR_OK;
}

uint32_t SKF_DevAuth(DEVHANDLE hDev, const unsigned char* pbAuthData, unsigned int ulLen) {
    SKF_ENTER();
    if (!hDev || !pbAuthData || ulLen == 0) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    CCOS17 cmd(0x10, 0, 0, 0x80);
    const uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addBuf(pbAuthData, ulLen);
    return cosExchange(cmd, hDev);
}

uint32_t SKF_LockDev(DEVHANDLE hDev, unsigned int ulTimeOut) {
    SKF_ENTER();
    return skfLockDev(hDev, ulTimeOut);
}

uint32_t SKF_UnlockDev(DEVHANDLE hDev) {
    SKF_ENTER();
    return skfUnlockDev(hDev);
}

uint32_t SKFK_GetLink(DEVHANDLE hDev, CLink** link) {
    SKF_ENTER();
    CLink* l = nullptr;
    const uint32_t r = cosGetDevLink(hDev, l);
    if (r != SAR_OK) {
        _nvlogstr("get link");
        return r;
    }
    if (link) *link = l;
    return SAR_OK;
}
