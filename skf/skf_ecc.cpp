// SM2 key pairs in containers: generate, import, export the public key,
// sign, decrypt; encryption for an outside public key.
#include "skf/common.h"

namespace {
constexpr unsigned kCoord = 32;
constexpr unsigned kEccBits = 256;
constexpr unsigned kSigWork = 128;
constexpr unsigned kCipherWork = 1024;
constexpr unsigned kPubWork = 1024;
const char kSignerId[] = "1234567812345678";

void putCoord(uint8_t* field64, const uint8_t* value32) {
    memset(field64, 0, 64);
    memcpy(field64 + m_ECCxyStart, value32, kCoord);
}

uint8_t* cipherBytes(Struct_ECCCIPHERBLOB* blob) {
    return reinterpret_cast<uint8_t*>(blob) + kEccCipherBlobFixed;
}
const uint8_t* cipherBytes(const Struct_ECCCIPHERBLOB* blob) {
    return reinterpret_cast<const uint8_t*>(blob) + kEccCipherBlobFixed;
}

void addKeyGenData(CCOS17& cmd, const ContainerRef& c) {
    cmd.addW(c.appId).addW(c.conId).addDw(kEccBits);
}
}  // namespace

uint32_t SKF_GenECCKeyPairEx(HCONTAINER hContainer, unsigned int ulAlgId, BOOL bSignFlag,
                             Struct_ECCPUBLICKEYBLOB* pBlob) {
    SKF_ENTER();
    if (!hContainer || !pBlob || ulAlgId != SGD_SM2_1) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(bSignFlag ? 0x70 : 0x71, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    addKeyGenData(cmd, c);
    cmd.setWithLe(64);
    r = cmd.SndRcv(0, -1);
    if (r != SAR_OK) return r;
    CCOS17 retry(bSignFlag ? 0x70 : 0x71, 0, 0, 0x80);
    CCOS17* active = &cmd;
    const unsigned int sw = cmd.getRetCode();
    if (sw == 0x6A94 || sw == 0x6A91) {
        // The card lost the container's selection: reopen it and send the
        // command once more.
        // The data field is rebuilt (with the identifier the reopen
        // refreshed) rather than trusted to have survived the reply.
        r = reopenContainer(hContainer, c);
        if (r != SAR_OK) return r;
        retry.m_link = cmd.m_link;
        addKeyGenData(retry, c);
        retry.setWithLe(64);
        r = retry.SndRcv(0, -1);
        if (r != SAR_OK) return r;
        active = &retry;
    }
    uint8_t rep[64] = {};
    unsigned int n = sizeof rep;
    r = rcvReply(*active, rep, n, false);
    if (r != SAR_OK) return logRet(r);
    memset(pBlob, 0, sizeof *pBlob);
    pBlob->BitLen = kEccBits;
    putCoord(pBlob->XCoordinate, rep);
    putCoord(pBlob->YCoordinate, rep + kCoord);
    return SAR_OK;
}

uint32_t SKF_GenECCKeyPair(HCONTAINER hContainer, unsigned int ulAlgId,
                           Struct_ECCPUBLICKEYBLOB* pBlob) {
    SKF_ENTER();
    return SKF_GenECCKeyPairEx(hContainer, ulAlgId, 1, pBlob);
}

uint32_t SKFX_ImportECCKeyPairEx(HCONTAINER hContainer, const unsigned char* pbKeyPair,
                                 BOOL bSignFlag) {
    SKF_ENTER();
    if (!hContainer || !pbKeyPair) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x73, bSignFlag ? 0 : 1, 0, 0x80);
    const uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    cmd.addW(c.appId).addW(c.conId).addBuf(pbKeyPair, 96);
    const uint32_t res = cosExchange(cmd, c.hDev);
    cmd.wipe();  // private key material
    return res;
}

uint32_t SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, unsigned char* pbBlob,
                             unsigned int* pulBlobLen) {
    SKF_ENTER();
    if (!hContainer || !pulBlobLen) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x88, bSignFlag ? 0 : 1, 0, 0x80);
    uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    cmd.addW(c.appId).addW(c.conId);
    cmd.setWithLe(0);
    r = cmd.SndRcv(0, -1);
    uint8_t rep[kPubWork] = {};
    unsigned int n = sizeof rep;
    if (r == SAR_OK) r = rcvReply(cmd, rep, n, false);
    if (r != SAR_OK) return logRet(r);
    if (n < 4) return logRet(SAR_FAIL);
    const uint32_t bits = getLe32(rep);
    if (bits == kEccBits) {
        if (!fitsIn(4, size_t{2} * kCoord, n)) return logRet(SAR_FAIL);
        *pulBlobLen = sizeof(Struct_ECCPUBLICKEYBLOB);
        if (pbBlob) {
            Struct_ECCPUBLICKEYBLOB blob;
            blob.BitLen = bits;
            putCoord(blob.XCoordinate, rep + 4);
            putCoord(blob.YCoordinate, rep + 4 + kCoord);
            memcpy(pbBlob, &blob, sizeof blob);
        }
        return SAR_OK;
    }
    // RSA: BitLen, modulus (BitLen/8 bytes), exponent (4).
    const unsigned int modLen = bits / 8;
    if (modLen > sizeof(Struct_RSAPUBLICKEYBLOB::Modulus) || !fitsIn(4, modLen + 4, n)) {
        return logRet(SAR_FAIL);
    }
    *pulBlobLen = sizeof(Struct_RSAPUBLICKEYBLOB);
    if (pbBlob) {
        Struct_RSAPUBLICKEYBLOB blob;
        memset(&blob, 0, sizeof blob);
        blob.AlgID = 0x00010000;
        blob.BitLen = bits;
        memcpy(blob.Modulus + sizeof blob.Modulus - modLen, rep + 4, modLen);
        memcpy(blob.PublicExponent, rep + 4 + modLen, 4);
        memcpy(pbBlob, &blob, sizeof blob);
    }
    return SAR_OK;
}

uint32_t SKF_ECCSignData(HCONTAINER hContainer, const unsigned char* pbData, unsigned int ulDataLen,
                         ECCSIGNATUREBLOB* pSignature) {
    SKF_ENTER();
    if (!hContainer || !pbData || !pSignature) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x74, 2, 0, 0x80);
    uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    cmd.addW(c.appId).addW(c.conId).addLV4(kSignerId, sizeof kSignerId - 1);
    cmd.addBuf(pbData, ulDataLen);
    cmd.setWithLe(0);
    r = cmd.SndRcv(0, -1);
    uint8_t rep[kSigWork] = {};
    unsigned int n = sizeof rep;
    if (r == SAR_OK) r = rcvReply(cmd, rep, n, false);
    if (r != SAR_OK) return logRet(r);
    if (n < 4 + 2 * kCoord) return logRet(SAR_FAIL);
    putCoord(pSignature->r, rep + 4);
    putCoord(pSignature->s, rep + 4 + kCoord);
    return SAR_OK;
}

uint32_t SKF_ECCDecrypt(HCONTAINER hContainer, const Struct_ECCCIPHERBLOB* pCipherText,
                        unsigned char* pbPlainText, unsigned int* pulPlainTextLen) {
    SKF_ENTER();
    if (!hContainer) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    if (!pCipherText || !pbPlainText || !pulPlainTextLen) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x7B, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    cmd.addW(c.appId).addW(c.conId);
    cmd.addBuf(pCipherText->XCoordinate + m_ECCxyStart, kCoord);
    cmd.addBuf(pCipherText->YCoordinate + m_ECCxyStart, kCoord);
    cmd.addBuf(pCipherText->HASH, 32);
    // CipherLen is checked against the data field before the cipher bytes
    // are read, so a forged length never reads past the caller's blob.
    if (pCipherText->CipherLen > kCosMaxData) return SAR_INDATALENERR;
    cmd.addLV4(cipherBytes(pCipherText), pCipherText->CipherLen);
    r = cmd.SndRcv(0, -1);
    if (r == SAR_OK) r = statusTest(cmd);
    uint8_t rep[kCipherWork];
    unsigned int n = sizeof rep;
    if (r == SAR_OK) r = rcvReply(cmd, rep, n, false);
    if (r != SAR_OK) return logRet(r);
    if (n < 4 || n - 4 > *pulPlainTextLen) {
        secureWipe(rep, sizeof rep);
        return SAR_NO_ROOM;
    }
    memcpy(pbPlainText, rep + 4, n - 4);
    *pulPlainTextLen = n - 4;
    secureWipe(rep, sizeof rep);
    cmd.wipe();  // the reply held the plaintext
    return SAR_OK;
}

uint32_t SKF_ExtECCEncrypt(DEVHANDLE hDev, const Struct_ECCPUBLICKEYBLOB* pECCPubKeyBlob,
                           const unsigned char* pbPlainText, unsigned int ulPlainTextLen,
                           Struct_ECCCIPHERBLOB* pCipherText) {
    SKF_ENTER();
    if (!hDev) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    if (!pECCPubKeyBlob || !pbPlainText || ulPlainTextLen == 0 || !pCipherText) {
        return SAR_INVALIDHANDLEERR;
    }
    if (pECCPubKeyBlob->BitLen != kEccBits) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(0x7A, 0, 0, 0x80);
    uint32_t r = cosBind(cmd, hDev);
    if (r != SAR_OK) return r;
    cmd.addDw(kEccBits);
    cmd.addBuf(pECCPubKeyBlob->XCoordinate + m_ECCxyStart, kCoord);
    cmd.addBuf(pECCPubKeyBlob->YCoordinate + m_ECCxyStart, kCoord);
    cmd.addLV4(pbPlainText, ulPlainTextLen);
    r = cmd.SndRcv(0, -1);
    if (r == SAR_OK) r = statusTest(cmd);
    uint8_t rep[kCipherWork];
    unsigned int n = sizeof rep;
    if (r == SAR_OK) r = rcvReply(cmd, rep, n, false);
    if (r != SAR_OK) return logRet(r);
    if (n < 100) return logRet(SAR_FAIL);
    const uint32_t clen = getLe32(rep + 96);
    // The caller's blob holds a ciphertext as long as the plaintext.
    if (!fitsIn(100, clen, n)) return logRet(SAR_FAIL);
    if (clen > ulPlainTextLen) return logRet(SAR_BUFFER_TOO_SMALL);
    putCoord(pCipherText->XCoordinate, rep);
    putCoord(pCipherText->YCoordinate, rep + kCoord);
    memcpy(pCipherText->HASH, rep + 64, 32);
    pCipherText->CipherLen = clen;
    memcpy(cipherBytes(pCipherText), rep + 100, clen);
    return SAR_OK;
}
