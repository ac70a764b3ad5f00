// Application files (list, delete) and the elementary files outside
// applications.
#include "skf/common.h"

namespace {
constexpr unsigned kFileNameMax = 32;
constexpr unsigned kFileListWork = 512;
constexpr unsigned short kEfReadChunk = 1024;
constexpr unsigned kEfReadLead = 2;  // the card puts 2 bytes before the content

bool efReadable(unsigned short id) {
    return id == 0x5088 || id == 0x5108 || id == 0x5109 || id == 0xEF00 || id == 0xEF01 ||
           id == 0xEF02;
}

uint32_t enumFilesPass(void* hApp, char* buf, unsigned int* pulLen) {
    SKF_ENTER();
    if (!hApp || !pulLen) return SAR_INVALIDHANDLEERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApp, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x34, appId & 0xFF, appId >> 8, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.setWithLe(0);
    r = cmd.SndRcv(0, -1);
    uint8_t work[kFileListWork];
    unsigned int n = sizeof work;
    if (r == SAR_OK) r = cmd.getRcv(work, n, false);
    if (r == SAR_APPLICATION_NOT_EXISTS) {
        *pulLen = 0;
        return SAR_OK;
    }
    if (r != SAR_OK && r != 0x6A9E) return logRet(r);
    if (n < 3 && (n == 0 || work[0] == 0)) n = 0;
    if (!buf) {
        *pulLen = n;
        return SAR_OK;
    }
    memset(buf, 0, *pulLen);
    if (*pulLen < n) {
        *pulLen = 0;
        return SAR_BUFFER_TOO_SMALL;
    }
    memcpy(buf, work, n);
    *pulLen = n;
    return r;
}
}  // namespace

uint32_t SKF_EnumFiles(HAPPLICATION hApplication, char* szFileList, unsigned int* pulSize) {
    SKF_ENTER();
    if (!pulSize) return SAR_INVALIDHANDLEERR;
    return listAllPasses(
        [](void* owner, char* buf, unsigned int* len) { return enumFilesPass(owner, buf, len); },
        hApplication, szFileList, pulSize);
}

uint32_t SKF_DeleteFile(HAPPLICATION hApplication, const char* szFileName) {
    SKF_ENTER();
    if (!hApplication || !szFileName) {
        _nvlogstr("ptr");
        return SAR_INVALIDHANDLEERR;
    }
    _nvlog("szFileName=%s", szFileName);
    const unsigned int n = textLen(szFileName, kFileNameMax + 1);
    if (n > kFileNameMax) return SAR_INVALIDPARAMERR;
    unsigned short appId = 0;
    void* hDev = nullptr;
    if (!resolveApp(hApplication, appId, hDev)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x32, appId & 0xFF, appId >> 8, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addBuf(szFileName, n);
    r = cosExchange(cmd, hDev);
    if (r != SAR_OK) return r;
    delHdlName(HDL_FILE, szFileName, hApplication, kHdlNameMax);
    return SAR_OK;
}

namespace {
// The file identifier travels high byte first, unlike every other value.
void addFileId(CCOS17& cmd, unsigned short fileId) {
    cmd.addC(static_cast<unsigned char>(fileId >> 8)).addC(static_cast<unsigned char>(fileId));
}
}  // namespace

uint32_t SKS_InitReadFile(DEVHANDLE hDev, unsigned short fileId, unsigned char* buf,
                          unsigned short& len, unsigned short offset) {
    SKF_ENTER();
    if (!buf) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    CCOS17 cmd(0xD4, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    addFileId(cmd, fileId);
    cmd.addW(offset).addW(len);
    cmd.setWithLe(len);
    r = cmd.SndRcv(0, -1);
    unsigned int n = len ? len : CCOS17::kArea;
    if (r == SAR_OK) r = rcvReply(cmd, buf, n, false);
    if (r != SAR_OK) return logRet(r);
    len = static_cast<unsigned short>(n);
    return SAR_OK;
}

uint32_t DoReadEF(DEVHANDLE hDev, unsigned short, unsigned short fileId, unsigned char,
                  unsigned int, unsigned int, unsigned char* buf, unsigned int* pulLen) {
    SKF_ENTER();
    if (!efReadable(fileId)) return SAR_OBJERR;
    if (!pulLen) return SAR_INVALIDHANDLEERR;
    unsigned short n = kEfReadChunk;
    const uint32_t r = SKS_InitReadFile(hDev, fileId, buf, n, 0);
    if (r != SAR_OK) return logRet(r);
    if (n < kEfReadLead) {
        _nvlogstr("dss ret length error");
        return SAR_FAIL;
    }
    memmove(buf, buf + kEfReadLead, n - kEfReadLead);
    *pulLen = n - kEfReadLead;
    return SAR_OK;
}

uint32_t SKS_InitWriteFile(DEVHANDLE hDev, unsigned short fileId, const unsigned char* data,
                           unsigned short len, unsigned short offset) {
    SKF_ENTER();
    if (!data) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    CCOS17 cmd(0xD6, 0, 0, 0x80);
    const uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    addFileId(cmd, fileId);
    cmd.addW(offset).addLV2(data, len);
    return cosExchange(cmd, hDev);
}

uint32_t DoWriteEF(DEVHANDLE hDev, unsigned short, unsigned short fileId, unsigned char,
                   unsigned int offset, unsigned int size, const unsigned char* data,
                   unsigned int* pulLen) {
    SKF_ENTER();
    if (pulLen) *pulLen = size;
    if (!data) return SAR_INVALIDHANDLEERR;
    uint8_t content[64];
    const unsigned char* src = data;
    unsigned short len = 0;
    if (fileId == 0x5108 || fileId == 0x5109) {
        // Always 64 bytes on the card; an 81-byte record carries them at
        // 13..44 and 49..80.
        if (size == 64) {
            len = 64;
        } else if (size == 81) {
            memcpy(content, data + 13, 32);
            memcpy(content + 32, data + 49, 32);
            src = content;
            len = 64;
        } else {
            return SAR_INVALIDPARAMERR;
        }
    } else if (fileId == 0x5088 || fileId == 0xEF00) {
        len = static_cast<unsigned short>(size);
    } else {
        return SAR_OBJERR;
    }
    return SKS_InitWriteFile(hDev, fileId, src, len, static_cast<unsigned short>(offset));
}
