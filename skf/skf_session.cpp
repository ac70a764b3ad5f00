// Session keys, block ciphers, digests and MACs computed by the key. Handles
// come from the handle map (setHdlID) with the device as parent and the
// algorithm as auxiliary value; every command carries the card's 2-byte
// object ID first.
#include <initializer_list>

#include "skf/common.h"

namespace {
constexpr unsigned kCoord = 32;

uint32_t newObject(int type, CCOS17& cmd, void* hDev, unsigned int alg, HANDLE* out) {
    uint8_t rep[2];
    const uint32_t r = cosExchangeFixed(cmd, hDev, rep, sizeof rep, nullptr);
    if (r != SAR_OK) return r;
    void* h = setHdlID(type, getLe16(rep), hDev, alg);
    if (!h) return SAR_NO_ROOM;
    *out = h;
    return SAR_OK;
}

uint32_t cipherInit(unsigned ins, HANDLE hKey, const BLOCKCIPHERPARAM& p) {
    ObjRef k;
    if (!resolveObj(HDL_SESSIONKEY, hKey, k)) return SAR_INVALIDHANDLEERR;
    if (p.IVLen > sizeof p.IV) return SAR_INVALIDPARAMERR;
    CCOS17 cmd(ins, 0, 0, 0x80);
    cmd.addW(k.id).addDw(p.PaddingType).addDw(p.FeedBitLen).addLV4(p.IV, p.IVLen);
    return cosExchange(cmd, k.hDev);
}

// Object ID, the data, reply into the caller's buffer.
uint32_t objData(int type, unsigned ins, HANDLE h, const unsigned char* in, unsigned int inLen,
                 unsigned char* out, unsigned int* pulOutLen) {
    if (!h || (!in && inLen) || !pulOutLen) return SAR_INVALIDHANDLEERR;
    ObjRef o;
    if (!resolveObj(type, h, o)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(ins, 0, 0, 0x80);
    cmd.addW(o.id).addBuf(in, inLen);
    return cosExchangeTo(cmd, o.hDev, out, pulOutLen);
}

// Object ID and the data; status only.
uint32_t objUpdate(int type, unsigned ins, HANDLE h, const unsigned char* in, unsigned int inLen) {
    if (!h || (!in && inLen)) return SAR_INVALIDHANDLEERR;
    ObjRef o;
    if (!resolveObj(type, h, o)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(ins, 0, 0, 0x80);
    cmd.addW(o.id).addBuf(in, inLen);
    return cosExchange(cmd, o.hDev);
}
}  // namespace

uint32_t SKF_ImportSessionKey(HCONTAINER hContainer, unsigned int ulAlgId,
                              const unsigned char* pbWrapedData, unsigned int ulWrapedLen,
                              HANDLE* phKey) {
    SKF_ENTER();
    if (!hContainer || !pbWrapedData || !phKey) return SAR_INVALIDHANDLEERR;
    ContainerRef c;
    if (!resolveContainer(hContainer, c)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0xA0, 0, 0, 0x80);
    cmd.addW(c.appId).addW(c.conId).addDw(ulAlgId).addLV4(pbWrapedData, ulWrapedLen);
    return newObject(HDL_SESSIONKEY, cmd, c.hDev, ulAlgId, phKey);
}

uint32_t SKF_SetSymmKey(DEVHANDLE hDev, const unsigned char* pbKey, unsigned int ulAlgID,
                        HANDLE* phKey) {
    SKF_ENTER();
    if (!hDev || !pbKey || !phKey) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0xA2, 0, 0, 0x80);
    cmd.addDw(ulAlgID).addBuf(pbKey, 16);
    const uint32_t res = newObject(HDL_SESSIONKEY, cmd, hDev, ulAlgID, phKey);
    cmd.wipe();
    return res;
}

uint32_t SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam) {
    SKF_ENTER();
    if (!hKey) return SAR_INVALIDHANDLEERR;
    return cipherInit(0xA4, hKey, EncryptParam);
}

uint32_t SKF_Encrypt(HANDLE hKey, const unsigned char* pbData, unsigned int ulDataLen,
                     unsigned char* pbEncryptedData, unsigned int* pulEncryptedLen) {
    SKF_ENTER();
    return objData(HDL_SESSIONKEY, 0xA6, hKey, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
}

uint32_t SKF_EncryptUpdate(HANDLE hKey, const unsigned char* pbData, unsigned int ulDataLen,
                           unsigned char* pbEncryptedData, unsigned int* pulEncryptedLen) {
    SKF_ENTER();
    return objData(HDL_SESSIONKEY, 0xA8, hKey, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
}

uint32_t SKF_EncryptFinal(HANDLE hKey, unsigned char* pbEncryptedData,
                          unsigned int* pulEncryptedDataLen) {
    SKF_ENTER();
    return objData(HDL_SESSIONKEY, 0xAA, hKey, nullptr, 0, pbEncryptedData, pulEncryptedDataLen);
}

uint32_t SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam) {
    SKF_ENTER();
    if (!hKey) return SAR_INVALIDHANDLEERR;
    return cipherInit(0xAC, hKey, DecryptParam);
}

uint32_t SKF_Decrypt(HANDLE hKey, const unsigned char* pbEncryptedData, unsigned int ulEncryptedLen,
                     unsigned char* pbData, unsigned int* pulDataLen) {
    SKF_ENTER();
    return objData(HDL_SESSIONKEY, 0xAE, hKey, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
}

uint32_t SKF_DecryptUpdate(HANDLE hKey, const unsigned char* pbEncryptedData,
                           unsigned int ulEncryptedLen, unsigned char* pbData,
                           unsigned int* pulDataLen) {
    SKF_ENTER();
    return objData(HDL_SESSIONKEY, 0xB0, hKey, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
}

uint32_t SKF_DecryptFinal(HANDLE hKey, unsigned char* pbDecryptedData,
                          unsigned int* pulDecryptedDataLen) {
    SKF_ENTER();
    return objData(HDL_SESSIONKEY, 0xB2, hKey, nullptr, 0, pbDecryptedData, pulDecryptedDataLen);
}

uint32_t SKF_DigestInit(DEVHANDLE hDev, unsigned int ulAlgID,
                        const Struct_ECCPUBLICKEYBLOB* pPubKey, const unsigned char* pucID,
                        unsigned int ulIDLen, HANDLE* phHash) {
    SKF_ENTER();
    if (!hDev || !phHash) return SAR_INVALIDHANDLEERR;
    unsigned p2;
    switch (ulAlgID) {
        case SGD_SM3:
            p2 = 1;
            break;
        case SGD_SHA1:
            p2 = 2;
            break;
        case SGD_SHA256:
            p2 = 3;
            break;
        default:
            return SAR_INVALIDPARAMERR;
    }
    CCOS17 cmd(0xB4, 0, p2, 0x80);
    // SM3 with a signer: the key hashes Z first.
    if (ulAlgID == SGD_SM3 && pPubKey && pucID && ulIDLen) {
        cmd.addBuf(pPubKey->XCoordinate + m_ECCxyStart, kCoord);
        cmd.addBuf(pPubKey->YCoordinate + m_ECCxyStart, kCoord);
        cmd.addLV4(pucID, ulIDLen);
    }
    return newObject(HDL_HASH, cmd, hDev, ulAlgID, phHash);
}

uint32_t SKF_Digest(HANDLE hHash, const unsigned char* pbData, unsigned int ulDataLen,
                    unsigned char* pbHashData, unsigned int* pulHashLen) {
    SKF_ENTER();
    return objData(HDL_HASH, 0xB6, hHash, pbData, ulDataLen, pbHashData, pulHashLen);
}

uint32_t SKF_DigestUpdate(HANDLE hHash, const unsigned char* pbData, unsigned int ulDataLen) {
    SKF_ENTER();
    return objUpdate(HDL_HASH, 0xB8, hHash, pbData, ulDataLen);
}

uint32_t SKF_DigestFinal(HANDLE hHash, unsigned char* pHashData, unsigned int* pulHashLen) {
    SKF_ENTER();
    return objData(HDL_HASH, 0xBA, hHash, nullptr, 0, pHashData, pulHashLen);
}

uint32_t SKF_MacInit(HANDLE hKey, const BLOCKCIPHERPARAM* pMacParam, HANDLE* phMac) {
    SKF_ENTER();
    if (!hKey || !pMacParam || !phMac) return SAR_INVALIDHANDLEERR;
    if (pMacParam->IVLen > sizeof pMacParam->IV) return SAR_INVALIDPARAMERR;
    ObjRef k;
    if (!resolveObj(HDL_SESSIONKEY, hKey, k)) return SAR_INVALIDHANDLEERR;
    CCOS17 cmd(0xBC, 0, 0, 0x80);
    cmd.addW(k.id).addDw(pMacParam->PaddingType).addLV4(pMacParam->IV, pMacParam->IVLen);
    return newObject(HDL_MAC, cmd, k.hDev, k.alg, phMac);
}

uint32_t SKF_Mac(HANDLE hMac, const unsigned char* pbData, unsigned int ulDataLen,
                 unsigned char* pbMacData, unsigned int* pulMacLen) {
    SKF_ENTER();
    return objData(HDL_MAC, 0xBE, hMac, pbData, ulDataLen, pbMacData, pulMacLen);
}

uint32_t SKF_MacUpdate(HANDLE hMac, const unsigned char* pbData, unsigned int ulDataLen) {
    SKF_ENTER();
    return objUpdate(HDL_MAC, 0xC0, hMac, pbData, ulDataLen);
}

uint32_t SKF_MacFinal(HANDLE hMac, unsigned char* pbMacData, unsigned int* pulMacDataLen) {
    SKF_ENTER();
    return objData(HDL_MAC, 0xC2, hMac, nullptr, 0, pbMacData, pulMacDataLen);
}

// Data: the object's type (1 byte) and ID; the handle is freed on success.
uint32_t SKF_CloseHandle(HANDLE hHandle) {
    SKF_ENTER();
    if (!hHandle) return SAR_INVALIDHANDLEERR;
    for (int type : {HDL_SESSIONKEY, HDL_HASH, HDL_MAC}) {
        ObjRef o;
        if (!getHdlInfo(type, hHandle, o.id, o.hDev, &o.alg)) continue;
        CCOS17 cmd(0xC4, 0, 0, 0x80);
        cmd.addC(static_cast<unsigned char>(type)).addW(o.id);
        const uint32_t r = cosExchange(cmd, o.hDev);
        if (r == SAR_OK) delbyHdl(hHandle);
        return r;
    }
    _nvlogstr("HDL  ");
    return SAR_INVALIDHANDLEERR;
}
