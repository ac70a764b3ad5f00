// Named files inside an application: create, information, read, write.
// Command data: application ID, the file name as LV2, then the values.
#include "skf/common.h"

namespace {
constexpr unsigned kFileNameMax = 32;

bool fileName(const char* name, unsigned int& n) {
    n = textLen(name, kFileNameMax + 1);
    return n >= 1 && n <= kFileNameMax;
}
}  // namespace

uint32_t SKF_CreateFile(HAPPLICATION hApplication, const char* szFileName, unsigned int ulFileSize,
                        unsigned int ulReadRights, unsigned int ulWriteRights) {
    SKF_ENTER();
    if (!hApplication || !szFileName) return SAR_INVALIDHANDLEERR;
    unsigned int n = 0;
    if (!fileName(szFileName, n)) return SAR_INVALIDPARAMERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x30, appId & 0xFF, appId >> 8, 0x80);
    cmd.addLV2(szFileName, n).addDw(ulFileSize).addDw(ulReadRights).addDw(ulWriteRights);
    const uint32_t r = cosExchange(cmd, hDev);
    if (r != SAR_OK) return r;
    setHdlName(HDL_FILE, szFileName, hApplication, 0, kHdlNameMax);
    return SAR_OK;
}

uint32_t SKF_GetFileInfo(HAPPLICATION hApplication, const char* szFileName,
                         FILEATTRIBUTE* pFileInfo) {
    SKF_ENTER();
    if (!hApplication || !szFileName || !pFileInfo) return SAR_INVALIDHANDLEERR;
    unsigned int n = 0;
    if (!fileName(szFileName, n)) return SAR_INVALIDPARAMERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x36, appId & 0xFF, appId >> 8, 0x80);
    cmd.addLV2(szFileName, n);
    cmd.setWithLe(12);
    uint8_t rep[12];
    const uint32_t r = cosExchangeFixed(cmd, hDev, rep, sizeof rep, nullptr);
    if (r != SAR_OK) return r;
    memset(pFileInfo, 0, sizeof *pFileInfo);
    memcpy(pFileInfo->FileName, szFileName, n);
    pFileInfo->FileSize = getLe32(rep);
    pFileInfo->ReadRights = getLe32(rep + 4);
    pFileInfo->WriteRights = getLe32(rep + 8);
    return SAR_OK;
}

uint32_t SKF_ReadFile(HAPPLICATION hApplication, const char* szFileName, unsigned int ulOffset,
                      unsigned int ulSize, unsigned char* pbOutData, unsigned int* pulOutLen) {
    SKF_ENTER();
    if (!hApplication || !szFileName || !pbOutData || !pulOutLen) return SAR_INVALIDHANDLEERR;
    _nvlog("szFileName=%s, ulOffset=%d, ulSize=%d", szFileName, ulOffset, ulSize);
    unsigned int n = 0;
    if (!fileName(szFileName, n)) return SAR_INVALIDPARAMERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x38, 0, 0, 0x80);
    cmd.addW(appId).addLV2(szFileName, n).addDw(ulOffset).addDw(ulSize);
    cmd.setWithLe(static_cast<int>(ulSize & 0xFFFF));
    return cosExchangeTo(cmd, hDev, pbOutData, pulOutLen);
}

uint32_t SKF_WriteFile(HAPPLICATION hApplication, const char* szFileName, unsigned int ulOffset,
                       const unsigned char* pbData, unsigned int ulSize) {
    SKF_ENTER();
    if (!hApplication || !szFileName || !pbData) return SAR_INVALIDHANDLEERR;
    unsigned int n = 0;
    if (!fileName(szFileName, n)) return SAR_INVALIDPARAMERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x3A, 0, 0, 0x80);
    cmd.addW(appId).addLV2(szFileName, n).addDw(ulOffset).addLV4(pbData, ulSize);
    return cosExchange(cmd, hDev);
}

uint32_t SKF_createBaseFile(DEVHANDLE) {
    SKF_ENTER();
    return SAR_OK;
}
