// The remaining container and ECC key functions: container information,
// encryption-key export, enveloped key import, verification with an outside
// key, session-key export under an outside key.
#include "skf/common.h"

namespace {
constexpr unsigned kCoord = 32;
constexpr unsigned kEccBits = 256;
constexpr unsigned kSessionWork = 512;

void addPoint(CCOS17& cmd, const uint8_t* x64, const uint8_t* y64) {
    cmd.addBuf(x64 + m_ECCxyStart, kCoord).addBuf(y64 + m_ECCxyStart, kCoord);
}

void putCoord(uint8_t* field64, const uint8_t* value32) {
    memset(field64, 0, 64);
    memcpy(field64 + m_ECCxyStart, value32, kCoord);
}

// Reply: key ID (2) then X, Y, HASH, CipherLen (4), cipher. The caller's
// blob must hold 16 cipher bytes (a session key).
uint32_t exportSessionKey(unsigned p2, HCONTAINER hContainer, unsigned int ulAlgId,
                          const Struct_ECCPUBLICKEYBLOB* pPubKey, Struct_ECCCIPHERBLOB* pData,
                          HANDLE* phSessionKey) {
    if (!hContainer || !pPubKey || !pData || !phSessionKey) return SAR_INVALIDHANDLEERR;
    if (pPubKey->BitLen != kEccBits) return SAR_INVALIDPARAMERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x78, 0, p2, 0x80);
    cmd.addW(c.appId).addW(c.conId).addDw(ulAlgId).addDw(kEccBits);
    addPoint(cmd, pPubKey->XCoordinate, pPubKey->YCoordinate);
    uint8_t rep[kSessionWork];
    unsigned int n = 0;
    const uint32_t r = cosExchangeFixed(cmd, c.hDev, rep, sizeof rep, &n);
    if (r != SAR_OK) return r;
    if (n < 102) return logRet(SAR_FAIL);
    const uint32_t clen = getLe32(rep + 98);
    if (!fitsIn(102, clen, n)) return logRet(SAR_FAIL);
    if (clen > 16) return logRet(SAR_BUFFER_TOO_SMALL);
    putCoord(pData->XCoordinate, rep + 2);
    putCoord(pData->YCoordinate, rep + 2 + kCoord);
    memcpy(pData->HASH, rep + 66, 32);
    pData->CipherLen = clen;
    memcpy(reinterpret_cast<uint8_t*>(pData) + kEccCipherBlobFixed, rep + 102, clen);
    void* h = setHdlID(HDL_SESSIONKEY, getLe16(rep), c.hDev, ulAlgId);
    if (!h) return SAR_NO_ROOM;
    *phSessionKey = h;
    return SAR_OK;
}
}  // namespace

uint32_t SKFX_GetContainerInfo(HCONTAINER hContainer, unsigned char* pbInfo,
                               unsigned int* pulInfoLen) {
    SKF_ENTER();
    if (!hContainer || !pulInfoLen) return SAR_INVALIDHANDLEERR;
    char name[kHdlNameMax + 1] = {};
    unsigned short appId = 0;
    void* hDev = nullptr;
    uint32_t r = containerByHandleName(hContainer, name, appId, hDev);
    if (r != SAR_OK) return r;
    CCOS17 cmd(0x4A, 0, 0, 0x80);
    cmd.addW(appId).addBuf(name, textLen(name, kHdlNameMax));
    cmd.setWithLe(11);
    return cosExchangeTo(cmd, hDev, pbInfo, pulInfoLen);
}

uint32_t SKFX_ExportEncryptKey(HCONTAINER hContainer, unsigned char* pbOut,
                               unsigned int* pulOutLen) {
    SKF_ENTER();
    if (!hContainer || !pulOutLen) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x8A, 0, 0, 0x80);
    cmd.addW(c.appId).addW(c.conId);
    return cosExchangeTo(cmd, c.hDev, pbOut, pulOutLen);
}

// Data: 0x00020000, 0x00000401 (SM4-ECB), the key bits, then the application
// and container IDs, the encrypted private key (64), the public key X and Y
// (32 each) and the session-key ciphertext X, Y, HASH, LV4 cipher.
uint32_t SKF_ImportECCKeyPair(HCONTAINER hContainer, const ENVELOPEDKEYBLOB* pEnvelopedKeyBlob) {
    SKF_ENTER();
    if (!hContainer || !pEnvelopedKeyBlob) return SAR_INVALIDHANDLEERR;
    const ENVELOPEDKEYBLOB& b = *pEnvelopedKeyBlob;
    if (b.ECCCipherBlob.CipherLen > 16) return SAR_INVALIDPARAMERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x72, 0, 0, 0x80);
    cmd.addDw(0x00020000).addDw(SGD_SM4_ECB).addDw(b.ulBits);
    cmd.addW(c.appId).addW(c.conId).addBuf(b.cbEncryptedPriKey, 64);
    addPoint(cmd, b.PubKey.XCoordinate, b.PubKey.YCoordinate);
    addPoint(cmd, b.ECCCipherBlob.XCoordinate, b.ECCCipherBlob.YCoordinate);
    cmd.addBuf(b.ECCCipherBlob.HASH, 32);
    cmd.addLV4(reinterpret_cast<const uint8_t*>(&b.ECCCipherBlob) + kEccCipherBlobFixed,
               b.ECCCipherBlob.CipherLen);
    return cosExchange(cmd, c.hDev);
}

uint32_t SKF_ECCVerify(DEVHANDLE hDev, const Struct_ECCPUBLICKEYBLOB* pECCPubKeyBlob,
                       const unsigned char* pbData, unsigned int ulDataLen,
                       const ECCSIGNATUREBLOB* pSignature) {
    SKF_ENTER();
    if (!hDev || !pECCPubKeyBlob || !pbData || !pSignature) return SAR_INVALIDHANDLEERR;
    if (pECCPubKeyBlob->BitLen != kEccBits) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(0x76, 0, 0, 0x80);
    cmd.addDw(kEccBits);
    addPoint(cmd, pECCPubKeyBlob->XCoordinate, pECCPubKeyBlob->YCoordinate);
    cmd.addLV4(pbData, ulDataLen);
    cmd.addBuf(pSignature->r + m_ECCxyStart, kCoord).addBuf(pSignature->s + m_ECCxyStart, kCoord);
    return cosExchange(cmd, hDev);
}

uint32_t SKF_ECCExportSessionKey(HCONTAINER hContainer, unsigned int ulAlgId,
                                 const Struct_ECCPUBLICKEYBLOB* pPubKey,
                                 Struct_ECCCIPHERBLOB* pData, HANDLE* phSessionKey) {
    SKF_ENTER();
    return exportSessionKey(0, hContainer, ulAlgId, pPubKey, pData, phSessionKey);
}

uint32_t SKF_ECCExportSessionKeyExt(HCONTAINER hContainer, unsigned int ulAlgId,
                                    const Struct_ECCPUBLICKEYBLOB* pPubKey,
                                    Struct_ECCCIPHERBLOB* pData, HANDLE* phSessionKey) {
    SKF_ENTER();
    return exportSessionKey(1, hContainer, ulAlgId, pPubKey, pData, phSessionKey);
}
