// Containers: create, open, close, delete, list, type; certificates.
#include "skf/common.h"

namespace {
constexpr unsigned kConNameMax = 64;
constexpr unsigned kConListClearMax = 32;
constexpr unsigned kCertMax = 2048;

// Receives the 2-byte container ID of a create or open.
uint32_t rcvConId(CCOS17& cmd, unsigned short& id) {
    uint8_t rep[2] = {};
    unsigned int n = sizeof rep;
    const uint32_t r = rcvReply(cmd, rep, n, false);
    id = getLe16(rep);
    return r;
}

uint32_t enumContainerPass(void* hApp, char* buf, unsigned int* pulLen) {
    SKF_ENTER();
    if (!hApp || !pulLen) return SAR_INVALIDHANDLEERR;
    if (buf && *pulLen <= kConListClearMax) memset(buf, 0, *pulLen);
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApp, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x46, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addW(appId);
    cmd.setWithLe(0);
    r = cmd.SndRcv(0, -1);
    if (r != SAR_OK) return r;
    unsigned int n = *pulLen;
    r = rcvToCaller(cmd, buf, &n);
    if (r != SAR_OK && r != 0x6A9E) return logRet(r);
    if (n < 3 && allZero(cmd.replyData(), n)) n = 0;
    *pulLen = n;
    return r;
}

// Create (0x40) and open (0x42) a container by name: the same command shape
// and the same reply (the container ID), which becomes a named handle.
uint32_t containerByName(uint8_t ins, HAPPLICATION hApplication, const char* name,
                         HCONTAINER* phContainer) {
    const unsigned int n = textLen(name, kConNameMax + 1);
    if (n > kConNameMax) return SAR_INVALIDPARAMERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(ins, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addW(appId).addBuf(name, n);
    cmd.setWithLe(2);
    r = cmd.SndRcv(0, -1);
    unsigned short id = 0;
    if (r == SAR_OK) r = rcvConId(cmd, id);
    if (r != SAR_OK) return logRet(r);
    *phContainer = setHdlName(HDL_CONTAINER, name, hApplication, id, kHdlNameMax);
    return SAR_OK;
}
}  // namespace

uint32_t reopenContainer(HCONTAINER hCon, ContainerRef& ref) {
    char name[kHdlNameMax + 1] = {};
    void* parent = nullptr;
    if (!getHdlName(hCon, name, parent)) {
        _nvlogstr("NAME ");
        return SAR_INVALIDHANDLEERR;
    }
    HCONTAINER again = nullptr;
    uint32_t r = SKF_OpenContainer(ref.hApp, name, &again);
    if (r != SAR_OK) return logRet(r);
    return resolveContainer(hCon, ref) ? SAR_OK : SAR_INVALIDHANDLEERR;
}

uint32_t containerByHandleName(HCONTAINER hCon, char (&name)[kHdlNameMax + 1],
                               unsigned short& appId, void*& hDev) {
    void* hApp = nullptr;
    if (!getHdlName(hCon, name, hApp)) {
        _nvlogstr("NAME ");
        return SAR_INVALIDHANDLEERR;
    }
    return resolveApp(hApp, appId, hDev) ? SAR_OK : SAR_INVALIDHANDLEERR;
}

uint32_t SKF_CreateContainer(HAPPLICATION hApplication, const char* szContainerName,
                             HCONTAINER* phContainer) {
    SKF_ENTER();
    if (!hApplication || !szContainerName) {
        _nvlogstr("null port\n");
        return SAR_INVALIDHANDLEERR;
    }
    if (!phContainer) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    _nvlog("CON NAME=%s\n", szContainerName);
    const unsigned long prev = reinterpret_cast<unsigned long>(*phContainer);
    _nvlog("CONP*=%08lX, CONP**=%08lX\n", reinterpret_cast<unsigned long>(phContainer), prev);
    if ((prev & 0xFFFFFFFFul) == 0xCCCCCCCCul) {
        _nvlog("CON NAME VAL=%8lX\n", prev);
        _nvlog("CON NAME DHL=%8lX\n", reinterpret_cast<unsigned long>(hApplication));
    }
    *phContainer = nullptr;
    uint32_t r = containerByName(0x40, hApplication, szContainerName, phContainer);
    if (r != SAR_OK) return r;
    _nvlog("CON CREATE HDL ADR=%08lX\n", reinterpret_cast<unsigned long>(phContainer));
    _nvlog("CON CREATE HDL VAL=%08lX\n", reinterpret_cast<unsigned long>(*phContainer));
    return SAR_OK;
}

uint32_t SKF_OpenContainer(HAPPLICATION hApplication, const char* szContainerName,
                           HCONTAINER* phContainer) {
    SKF_ENTER();
    if (!hApplication || !szContainerName || !phContainer) return SAR_INVALIDHANDLEERR;
    _nvlog("szContainerName = %s", szContainerName);
    uint32_t r = containerByName(0x42, hApplication, szContainerName, phContainer);
    if (r != SAR_OK) return r;
    _nvlog("CON OPEN HDL=%08lX\n", reinterpret_cast<unsigned long>(*phContainer));
    return SAR_OK;
}

uint32_t SKF_CloseContainer(HCONTAINER hContainer) {
    SKF_ENTER();
    if (!hContainer) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x44, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    cmd.addW(c.appId).addW(c.conId);
    r = cosExchange(cmd, c.hDev);
    if (r == SAR_OK) delbyHdl(hContainer);
    return r;
}

uint32_t SKF_DeleteContainer(HAPPLICATION hApplication, const char* szContainerName) {
    SKF_ENTER();
    if (!hApplication || !szContainerName) {
        _nvlogstr("null port\n");
        return SAR_INVALIDHANDLEERR;
    }
    const unsigned int n = textLen(szContainerName, kConNameMax + 1);
    if (n > kConNameMax) return SAR_INVALIDPARAMERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x48, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addW(appId).addBuf(szContainerName, n);
    r = cosExchange(cmd, hDev);
    if (r != SAR_OK) return r;
    delHdlName(HDL_CONTAINER, szContainerName, hApplication, kHdlNameMax);
    return SAR_OK;
}

uint32_t SKF_EnumContainer(HAPPLICATION hApplication, char* szContainerName,
                           unsigned int* pulSize) {
    SKF_ENTER();
    if (!hApplication || !pulSize) return SAR_INVALIDHANDLEERR;
    return listAllPasses([](void* owner, char* buf,
                            unsigned int* len) { return enumContainerPass(owner, buf, len); },
                         hApplication, szContainerName, pulSize);
}

uint32_t SKF_GetContainerType(HCONTAINER hContainer, unsigned int* pulContainerType) {
    SKF_ENTER();
    if (!hContainer || !pulContainerType) return SAR_INVALIDHANDLEERR;
    char name[kHdlNameMax + 1] = {};
    unsigned short appId = 0;
    void* hDev = nullptr;
    uint32_t r = containerByHandleName(hContainer, name, appId, hDev);
    if (r != SAR_OK) return r;
    CCOS17 cmd(0x4A, 0, 0, 0x80);
    r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addW(appId).addBuf(name, textLen(name, kHdlNameMax));
    cmd.setWithLe(11);
    r = cmd.SndRcv(0, -1);
    uint8_t rep[32] = {};
    unsigned int n = sizeof rep;
    if (r == SAR_OK) r = rcvReply(cmd, rep, n, false);
    if (r != SAR_OK) return logRet(r);
    *pulContainerType = rep[0];
    return SAR_OK;
}

uint32_t SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, const unsigned char* pbCert,
                               unsigned int ulCertLen) {
    SKF_ENTER();
    if (!hContainer || !pbCert) return SAR_INVALIDHANDLEERR;
    if (ulCertLen > kCertMax) return SAR_INVALIDPARAMERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x4C, 0, 0, 0x80);
    const uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    // A certificate of more than 2,029 bytes does not fit beside its 9-byte
    // prefix; the exchange refuses it with SAR_INDATALENERR.
    cmd.addW(c.appId).addW(c.conId).addC(static_cast<unsigned char>(bSignFlag));
    cmd.addLV4(pbCert, ulCertLen);
    return cosExchange(cmd, c.hDev);
}

uint32_t SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, unsigned char* pbCert,
                               unsigned int* pulCertLen) {
    SKF_ENTER();
    if (!hContainer || !pulCertLen) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x4E, static_cast<unsigned>(bSignFlag), 0, 0x80);
    uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    cmd.addW(c.appId).addW(c.conId);
    cmd.setWithLe(0);
    r = cmd.SndRcv(0, -1);
    if (r == SAR_OK) r = rcvToCaller(cmd, pbCert, pulCertLen);
    if (r == 0x6A9E) r = SAR_OK;
    if (r != SAR_OK) return logRet(r);
    return SAR_OK;
}
