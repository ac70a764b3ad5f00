// RSA functions. Key material travels as BitLen (4) then the values, each
// big-endian and exactly as long as its field on the card (modulus BitLen/8
// bytes, primes and CRT values half of that, exponent 4 bytes).
#include "skf/common.h"

namespace {
constexpr unsigned kRsaWork = 2048;

bool rsaBits(unsigned int bits) {
    return bits == 1024 || bits == 2048;
}

void putRight(uint8_t* field, unsigned fieldLen, const uint8_t* v, unsigned len) {
    memset(field, 0, fieldLen);
    memcpy(field + fieldLen - len, v, len);
}

void addRsaPub(CCOS17& cmd, const Struct_RSAPUBLICKEYBLOB& pub) {
    const unsigned m = pub.BitLen / 8;
    cmd.addDw(pub.BitLen).addBuf(pub.Modulus + sizeof pub.Modulus - m, m);
    cmd.addBuf(pub.PublicExponent, 4);
}

// Reply: modulus (bits/8) then exponent (4).
uint32_t fillRsaPub(const uint8_t* rep, unsigned n, unsigned bits, Struct_RSAPUBLICKEYBLOB* out) {
    const unsigned m = bits / 8;
    if (!fitsIn(0, m + 4, n)) return logRet(SAR_FAIL);
    memset(out, 0, sizeof *out);
    out->AlgID = 0x00010000;
    out->BitLen = bits;
    putRight(out->Modulus, sizeof out->Modulus, rep, m);
    memcpy(out->PublicExponent, rep + m, 4);
    return SAR_OK;
}
}  // namespace

uint32_t SKF_GenExtRSAKey(DEVHANDLE hDev, unsigned int ulBitsLen, Struct_RSAPRIVATEKEYBLOB* pBlob) {
    SKF_ENTER();
    if (!hDev || !pBlob) return SAR_INVALIDHANDLEERR;
    if (!rsaBits(ulBitsLen)) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(0x52, 0, 0, 0x80);
    cmd.addDw(ulBitsLen);
    uint8_t rep[kRsaWork];
    unsigned int n = 0;
    const uint32_t r = cosExchangeFixed(cmd, hDev, rep, sizeof rep, &n);
    if (r != SAR_OK) return r;
    const unsigned m = ulBitsLen / 8, h = m / 2;
    if (!fitsIn(0, m + 4 + m + 5 * h, n)) {
        secureWipe(rep, sizeof rep);
        return logRet(SAR_FAIL);
    }
    memset(pBlob, 0, sizeof *pBlob);
    pBlob->AlgID = 0x00010000;
    pBlob->BitLen = ulBitsLen;
    const uint8_t* p = rep;
    putRight(pBlob->Modulus, sizeof pBlob->Modulus, p, m);
    p += m;
    memcpy(pBlob->PublicExponent, p, 4);
    p += 4;
    putRight(pBlob->PrivateExponent, sizeof pBlob->PrivateExponent, p, m);
    p += m;
    putRight(pBlob->Prime1, sizeof pBlob->Prime1, p, h);
    putRight(pBlob->Prime2, sizeof pBlob->Prime2, p + h, h);
    putRight(pBlob->Prime1Exponent, sizeof pBlob->Prime1Exponent, p + size_t{2} * h, h);
    putRight(pBlob->Prime2Exponent, sizeof pBlob->Prime2Exponent, p + size_t{3} * h, h);
    putRight(pBlob->Coefficient, sizeof pBlob->Coefficient, p + size_t{4} * h, h);
    secureWipe(rep, sizeof rep);
    return SAR_OK;
}

uint32_t SKF_GenRSAKeyPairEx(HCONTAINER hContainer, unsigned int ulBitsLen, BOOL bSignFlag,
                             Struct_RSAPUBLICKEYBLOB* pBlob) {
    SKF_ENTER();
    if (!hContainer || !pBlob) return SAR_INVALIDHANDLEERR;
    if (!rsaBits(ulBitsLen)) return SAR_INVALIDPARAMERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    const unsigned p1 = bSignFlag ? 0 : 1;
    CCOS17 cmd(0x54, p1, 0, 0x80);
    uint32_t r = cosBind(cmd, c.hDev);
    if (r != SAR_OK) return r;
    cmd.addW(c.appId).addW(c.conId).addDw(ulBitsLen);
    r = cmd.SndRcv(0, -1);
    if (r != SAR_OK) return r;
    CCOS17 retry(0x54, p1, 0, 0x80);
    CCOS17* active = &cmd;
    const unsigned int sw = cmd.getRetCode();
    if (sw == 0x6A94 || sw == 0x6A91) {
        // Reopen the container and send the command once more, as the ECC
        // key generation does.
        r = reopenContainer(hContainer, c);
        if (r != SAR_OK) return r;
        retry.m_link = cmd.m_link;
        retry.addW(c.appId).addW(c.conId).addDw(ulBitsLen);
        r = retry.SndRcv(0, -1);
        if (r != SAR_OK) return r;
        active = &retry;
    }
    uint8_t rep[kRsaWork] = {};
    unsigned int n = sizeof rep;
    r = rcvReply(*active, rep, n, false);
    if (r != SAR_OK) return logRet(r);
    return fillRsaPub(rep, n, ulBitsLen, pBlob);
}

uint32_t SKF_GenRSAKeyPair(HCONTAINER hContainer, unsigned int ulBitsLen,
                           Struct_RSAPUBLICKEYBLOB* pBlob) {
    SKF_ENTER();
    return SKF_GenRSAKeyPairEx(hContainer, ulBitsLen, 1, pBlob);
}

uint32_t SKF_ImportRSAKeyPair(HCONTAINER hContainer, unsigned int ulSymAlgId,
                              const unsigned char* pbWrappedKey, unsigned int ulWrappedKeyLen,
                              const unsigned char* pbEncryptedData,
                              unsigned int ulEncryptedDataLen) {
    SKF_ENTER();
    if (!hContainer || !pbWrappedKey || !pbEncryptedData) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x56, 0, 0, 0x80);
    cmd.addW(c.appId).addW(c.conId).addDw(ulSymAlgId);
    cmd.addLV4(pbWrappedKey, ulWrappedKeyLen).addLV4(pbEncryptedData, ulEncryptedDataLen);
    return cosExchange(cmd, c.hDev);
}

uint32_t SKF_RSASignData(HCONTAINER hContainer, const unsigned char* pbData, unsigned int ulDataLen,
                         unsigned char* pbSignature, unsigned int* pulSignLen) {
    SKF_ENTER();
    if (!hContainer || !pbData || !pulSignLen) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x58, 2, 2, 0x80);
    cmd.addW(c.appId).addW(c.conId).addBuf(pbData, ulDataLen);
    return cosExchangeTo(cmd, c.hDev, pbSignature, pulSignLen);
}

// Reply: key ID (2) then the wrapped key.
uint32_t SKF_RSAExportSessionKey(HCONTAINER hContainer, unsigned int ulAlgId,
                                 const Struct_RSAPUBLICKEYBLOB* pPubKey, unsigned char* pbData,
                                 unsigned int* pulDataLen, HANDLE* phSessionKey) {
    SKF_ENTER();
    if (!hContainer || !pPubKey || !pulDataLen || !phSessionKey) return SAR_INVALIDHANDLEERR;
    if (!rsaBits(pPubKey->BitLen)) return SAR_INVALIDPARAMERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0x5A, 0, 0, 0x80);
    cmd.addW(c.appId).addW(c.conId).addDw(ulAlgId);
    addRsaPub(cmd, *pPubKey);
    uint8_t rep[kRsaWork];
    unsigned int n = 0;
    const uint32_t r = cosExchangeFixed(cmd, c.hDev, rep, sizeof rep, &n);
    if (r != SAR_OK) return r;
    if (n < 2) return logRet(SAR_FAIL);
    if (pbData && *pulDataLen < n - 2) return logRet(SAR_BUFFER_TOO_SMALL);
    void* h = setHdlID(HDL_SESSIONKEY, getLe16(rep), c.hDev, ulAlgId);
    if (!h) return SAR_NO_ROOM;
    if (pbData) memcpy(pbData, rep + 2, n - 2);
    *pulDataLen = n - 2;
    *phSessionKey = h;
    return SAR_OK;
}

uint32_t SKF_RSAVerify(DEVHANDLE hDev, const Struct_RSAPUBLICKEYBLOB* pRSAPubKeyBlob,
                       const unsigned char* pbData, unsigned int ulDataLen,
                       const unsigned char* pbSignature, unsigned int ulSignLen) {
    SKF_ENTER();
    if (!hDev || !pRSAPubKeyBlob || !pbData || !pbSignature) return SAR_INVALIDHANDLEERR;
    if (!rsaBits(pRSAPubKeyBlob->BitLen)) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(0x5E, 2, 2, 0x80);
    addRsaPub(cmd, *pRSAPubKeyBlob);
    cmd.addLV4(pbData, ulDataLen).addLV4(pbSignature, ulSignLen);
    return cosExchange(cmd, hDev);
}
