// Smart-key API (GM/T 0016 SKF functions) implemented over the key's card-OS
// commands. This is everything the application layer may call: result codes,
// handle and blob types, and the SKF_/SKFX_/SKS_/SKFK_ functions.
#pragma once

#include <cstdint>

class CLink;

// ---------------------------------------------------------------------------
// Result codes (GM/T 0016 SAR codes and this system's own).
constexpr uint32_t SAR_OK = 0x00000000;
constexpr uint32_t SAR_FAIL = 0x0A000001;
constexpr uint32_t SAR_NOTSUPPORTYETERR = 0x0A000003;
constexpr uint32_t SAR_INVALIDHANDLEERR = 0x0A000005;
constexpr uint32_t SAR_INVALIDPARAMERR = 0x0A000006;
constexpr uint32_t SAR_WRITEFILEERR = 0x0A000008;
constexpr uint32_t SAR_OBJERR = 0x0A00000D;
constexpr uint32_t SAR_INDATALENERR = 0x0A000010;
constexpr uint32_t SAR_INDATAERR = 0x0A000011;
constexpr uint32_t SAR_HASHOBJERR = 0x0A000013;
constexpr uint32_t SAR_RSAENCERR = 0x0A000018;
constexpr uint32_t SAR_RSADECERR = 0x0A000019;
constexpr uint32_t SAR_KEYNOTFOUNTERR = 0x0A00001B;
constexpr uint32_t SAR_CERTNOTFOUNTERR = 0x0A00001C;
constexpr uint32_t SAR_BUFFER_TOO_SMALL = 0x0A000020;
constexpr uint32_t SAR_KEYINFOTYPEERR = 0x0A000021;
constexpr uint32_t SAR_DEVICE_REMOVED = 0x0A000023;
constexpr uint32_t SAR_PIN_INCORRECT = 0x0A000024;
constexpr uint32_t SAR_PIN_LOCKED = 0x0A000025;
constexpr uint32_t SAR_PIN_LEN_RANGE = 0x0A000027;
constexpr uint32_t SAR_USER_TYPE_INVALID = 0x0A00002A;
constexpr uint32_t SAR_APPLICATION_EXISTS = 0x0A00002C;
constexpr uint32_t SAR_USER_NOT_LOGGED_IN = 0x0A00002D;
constexpr uint32_t SAR_APPLICATION_NOT_EXISTS = 0x0A00002E;
constexpr uint32_t SAR_FILE_ALREADY_EXIST = 0x0A00002F;
constexpr uint32_t SAR_NO_ROOM = 0x0A000030;
constexpr uint32_t SAR_FILE_NOT_EXIST = 0x0A000031;
// This system's own codes.
constexpr uint32_t SAR_DEVHANDLE_UNKNOWN = 0x0A000040;  // not the address of a device slot
constexpr uint32_t SAR_DEVSLOT_FREE = 0x0A000041;       // slot exists but nothing is connected
constexpr uint32_t SAR_LINK_SEND = 0x0A000100;          // the link refused to send: key lost
constexpr uint32_t SAR_COS_UNKNOWN_BASE = 0x0C000000;   // + status word the table does not know

// ---------------------------------------------------------------------------
// Handles. A device handle is the address of a device-table slot; application,
// container and session handles are handle-map numbers 1..16.
typedef int BOOL;
typedef void* HANDLE;
typedef HANDLE DEVHANDLE;
typedef HANDLE HAPPLICATION;
typedef HANDLE HCONTAINER;

// PIN types and create-file rights.
enum : unsigned int { ADMIN_TYPE = 0, USER_TYPE = 1 };
enum : unsigned int {
    SECURE_NEVER_ACCOUNT = 0x00,
    SECURE_ADM_ACCOUNT = 0x01,
    SECURE_USER_ACCOUNT = 0x10,
    SECURE_EVERYONE_ACCOUNT = 0xFF,
};

// Algorithm identifiers.
enum : unsigned int {
    SGD_SM2_1 = 0x00020100,
    SGD_SM3 = 0x00000001,
    SGD_SHA1 = 0x00000002,
    SGD_SHA256 = 0x00000004,
    SGD_SM4_ECB = 0x00000401,
    SGD_SM4_CBC = 0x00000402,
};

// ---------------------------------------------------------------------------
// GM/T 0016 structures (byte-packed; 32-bit fields little-endian).
#pragma pack(push, 1)
struct VERSION {
    uint8_t major;
    uint8_t minor;
};

struct DEVINFO {
    VERSION Version;
    char Manufacturer[64];
    char Issuer[64];
    char Label[32];
    char SerialNumber[32];
    VERSION HWVersion;
    VERSION FirmwareVersion;
    uint32_t AlgSymCap;
    uint32_t AlgAsymCap;
    uint32_t AlgHashCap;
    uint32_t DevAuthAlgId;
    uint32_t TotalSpace;
    uint32_t FreeSpace;
    uint32_t MaxECCBufferSize;
    uint32_t MaxBufferSize;
    uint8_t Reserved[64];
};

// 32-byte values are right-aligned in 64-byte fields (bytes 32..63).
constexpr unsigned m_ECCxyStart = 32;

struct Struct_ECCPUBLICKEYBLOB {
    uint32_t BitLen;
    uint8_t XCoordinate[64];
    uint8_t YCoordinate[64];
};

struct ECCSIGNATUREBLOB {
    uint8_t r[64];
    uint8_t s[64];
};

// Followed in memory by CipherLen cipher bytes (starting at offset 164); the
// caller allocates kEccCipherBlobFixed + ciphertext length.
struct Struct_ECCCIPHERBLOB {
    uint8_t XCoordinate[64];
    uint8_t YCoordinate[64];
    uint8_t HASH[32];
    uint32_t CipherLen;
    uint8_t Cipher[1];
};
constexpr unsigned kEccCipherBlobFixed = 164;

struct Struct_ECCPRIVATEKEYBLOB {
    uint32_t BitLen;
    uint8_t PrivateKey[64];
};

struct Struct_RSAPUBLICKEYBLOB {
    uint32_t AlgID;
    uint32_t BitLen;
    uint8_t Modulus[256];
    uint8_t PublicExponent[4];
};

struct Struct_RSAPRIVATEKEYBLOB {
    uint32_t AlgID;
    uint32_t BitLen;
    uint8_t Modulus[256];
    uint8_t PublicExponent[4];
    uint8_t PrivateExponent[256];
    uint8_t Prime1[128];
    uint8_t Prime2[128];
    uint8_t Prime1Exponent[128];
    uint8_t Prime2Exponent[128];
    uint8_t Coefficient[128];
};

// Enveloped SM2 key pair: the private key encrypted under a session key that
// is itself SM2-encrypted to the container's encryption key.
struct ENVELOPEDKEYBLOB {
    uint32_t Version;
    uint32_t ulSymmAlgID;
    uint32_t ulBits;
    uint8_t cbEncryptedPriKey[64];
    Struct_ECCPUBLICKEYBLOB PubKey;
    Struct_ECCCIPHERBLOB ECCCipherBlob;  // with 16 cipher bytes (the session key)
};

struct BLOCKCIPHERPARAM {
    uint8_t IV[32];
    uint32_t IVLen;
    uint32_t PaddingType;
    uint32_t FeedBitLen;
};

struct FILEATTRIBUTE {
    char FileName[32];
    uint32_t FileSize;
    uint32_t ReadRights;
    uint32_t WriteRights;
};
#pragma pack(pop)

static_assert(sizeof(DEVINFO) == 294, "DEVINFO is byte-packed");
static_assert(sizeof(Struct_ECCPUBLICKEYBLOB) == 132, "ECC public key blob");
static_assert(sizeof(ECCSIGNATUREBLOB) == 128, "signature blob");
static_assert(sizeof(Struct_RSAPUBLICKEYBLOB) == 268, "RSA public key blob");

// Longest data field a single card command can carry here: the 2,040-byte
// command data area, further bounded by the link frame (2,046 payload bytes
// minus the 8-byte command header). Longer data is refused with
// SAR_INDATALENERR before anything is sent.
constexpr unsigned kCosMaxData = 2038;

// ---------------------------------------------------------------------------
// Device functions.
uint32_t SKF_EnumDev(BOOL bPresent, char* szNameList, unsigned int* pulSize);
uint32_t SKF_ConnectDev(const char* szName, DEVHANDLE* phDev);
uint32_t SKF_DisConnectDev(DEVHANDLE hDev);
uint32_t SKF_GetDevState(const char* szDevName, unsigned int* pulDevState);
uint32_t SKF_SetLabel(DEVHANDLE hDev, const char* szLabel);
uint32_t SKFX_SetSN(DEVHANDLE hDev, const char* szSN);
uint32_t SKFX_SetDevType(DEVHANDLE hDev, unsigned short type);
uint32_t SKFX_SetRsv(DEVHANDLE hDev, const unsigned char* data, unsigned int len,
                     unsigned int offset);
uint32_t SKFX_SetLabelEx(DEVHANDLE hDev, unsigned int selector, const void* data, unsigned int len,
                         unsigned int offset);
uint32_t SKFX_GetSN(DEVHANDLE hDev, void* buf);                        // 32 bytes
uint32_t SKFX_GetLabel(DEVHANDLE hDev, void* buf);                     // 32 bytes
uint32_t SKFX_GetVer(DEVHANDLE hDev, void* buf);                       // 3 bytes
uint32_t SKFX_GetDevType(DEVHANDLE hDev, void* buf);                   // 2 bytes
uint32_t SKFX_GetRsv(DEVHANDLE hDev, void* buf, unsigned int offset);  // 64 bytes
uint32_t SKFX_GetDevInfoEx(DEVHANDLE hDev, unsigned int selector, void* buf, unsigned int* pulLen,
                           unsigned int offset);
uint32_t SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo);
uint32_t SKF_DevAuth(DEVHANDLE hDev, const unsigned char* pbAuthData, unsigned int ulLen);
uint32_t SKF_GenRandom(DEVHANDLE hDev, unsigned char* pbRandom, unsigned int ulRandomLen);
uint32_t SKF_LockDev(DEVHANDLE hDev, unsigned int ulTimeOut);
uint32_t SKF_UnlockDev(DEVHANDLE hDev);
uint32_t SKFK_GetLink(DEVHANDLE hDev, CLink** link);
// The link of a connected device: 0, SAR_INVALIDHANDLEERR (null handle),
// SAR_DEVHANDLE_UNKNOWN or SAR_DEVSLOT_FREE.
uint32_t cosGetDevLink(void* hDev, CLink*& link);
uint32_t SKF_ChangeDevAuthKey(DEVHANDLE hDev, const unsigned char* pbKeyValue,
                              unsigned int ulKeyLen);
uint32_t SKF_ChangeDevAuthKeyExt(DEVHANDLE hDev, const unsigned char* newKey,
                                 const unsigned char* oldKey);
uint32_t SKFE_gotoBoot(DEVHANDLE hDev, unsigned int bootMode);
// Sends caller-built command bytes (header included) unchanged on frame
// channel `type` (-1 = card OS) and returns the reply body (SW, length, data).
uint32_t SKX_Transmit(DEVHANDLE hDev, const unsigned char* pbCommand, unsigned int ulCommandLen,
                      int type, unsigned char* pbReply, unsigned int* pulReplyLen);
uint32_t SKF_Transmit(DEVHANDLE hDev, const unsigned char* pbCommand, unsigned int ulCommandLen,
                      unsigned char* pbData, unsigned int* pulDataLen);

// ---------------------------------------------------------------------------
// PIN and application functions.
uint32_t SKF_CreateApplication(DEVHANDLE hDev, const char* szAppName, const char* szAdminPin,
                               unsigned int dwAdminPinRetryCount, const char* szUserPin,
                               unsigned int dwUserPinRetryCount, unsigned int dwCreateFileRights,
                               HAPPLICATION* phApplication);
uint32_t SKF_EnumApplication(DEVHANDLE hDev, char* szAppName, unsigned int* pulSize);
uint32_t SKF_DeleteApplication(DEVHANDLE hDev, const char* szAppName);
uint32_t SKF_OpenApplication(DEVHANDLE hDev, const char* szAppName, HAPPLICATION* phApplication);
uint32_t SKFX_OpenApplication(DEVHANDLE hDev, const char* szAppName, HAPPLICATION* phApplication,
                              unsigned int* pulAppId);
uint32_t SKF_CloseApplication(HAPPLICATION hApplication);
uint32_t SKF_VerifyPIN(HAPPLICATION hApplication, unsigned int ulPINType, const char* szPIN,
                       unsigned int* pulRetryCount);
uint32_t SKF_ChangePIN(HAPPLICATION hApplication, unsigned int ulPINType, const char* szOldPin,
                       const char* szNewPin, unsigned int* pulRetryCount);
uint32_t SKF_UnblockPIN(HAPPLICATION hApplication, const char* szAdminPIN, const char* szNewUserPIN,
                        unsigned int* pulRetryCount);
uint32_t SKF_GetPINInfo(HAPPLICATION hApplication, unsigned int ulPINType,
                        unsigned int* pulMaxRetryCount, unsigned int* pulRemainRetryCount,
                        BOOL* pbDefaultPin);
uint32_t SKF_ClearSecureState(HAPPLICATION hApplication);
uint32_t _setPinDefState(DEVHANDLE hDev);

// ---------------------------------------------------------------------------
// File functions.
uint32_t SKF_EnumFiles(HAPPLICATION hApplication, char* szFileList, unsigned int* pulSize);
uint32_t SKF_DeleteFile(HAPPLICATION hApplication, const char* szFileName);
uint32_t SKF_CreateFile(HAPPLICATION hApplication, const char* szFileName, unsigned int ulFileSize,
                        unsigned int ulReadRights, unsigned int ulWriteRights);
uint32_t SKF_GetFileInfo(HAPPLICATION hApplication, const char* szFileName,
                         FILEATTRIBUTE* pFileInfo);
uint32_t SKF_ReadFile(HAPPLICATION hApplication, const char* szFileName, unsigned int ulOffset,
                      unsigned int ulSize, unsigned char* pbOutData, unsigned int* pulOutLen);
uint32_t SKF_WriteFile(HAPPLICATION hApplication, const char* szFileName, unsigned int ulOffset,
                       const unsigned char* pbData, unsigned int ulSize);
uint32_t SKF_createBaseFile(DEVHANDLE hDev);
// Elementary files outside applications (0x5088, 0x5108, 0x5109, 0xEF00-0xEF02).
uint32_t SKS_InitReadFile(DEVHANDLE hDev, unsigned short fileId, unsigned char* buf,
                          unsigned short& len, unsigned short offset);
uint32_t SKS_InitWriteFile(DEVHANDLE hDev, unsigned short fileId, const unsigned char* data,
                           unsigned short len, unsigned short offset);
// Reads the whole file from offset 0; buf must hold 1,024 bytes.
uint32_t DoReadEF(DEVHANDLE hDev, unsigned short, unsigned short fileId, unsigned char,
                  unsigned int offset, unsigned int size, unsigned char* buf, unsigned int* pulLen);
uint32_t DoWriteEF(DEVHANDLE hDev, unsigned short, unsigned short fileId, unsigned char,
                   unsigned int offset, unsigned int size, const unsigned char* data,
                   unsigned int* pulLen);

// ---------------------------------------------------------------------------
// Container functions.
uint32_t SKF_CreateContainer(HAPPLICATION hApplication, const char* szContainerName,
                             HCONTAINER* phContainer);
uint32_t SKF_OpenContainer(HAPPLICATION hApplication, const char* szContainerName,
                           HCONTAINER* phContainer);
uint32_t SKF_CloseContainer(HCONTAINER hContainer);
uint32_t SKF_DeleteContainer(HAPPLICATION hApplication, const char* szContainerName);
uint32_t SKF_EnumContainer(HAPPLICATION hApplication, char* szContainerName, unsigned int* pulSize);
uint32_t SKF_GetContainerType(HCONTAINER hContainer, unsigned int* pulContainerType);
uint32_t SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, const unsigned char* pbCert,
                               unsigned int ulCertLen);
uint32_t SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, unsigned char* pbCert,
                               unsigned int* pulCertLen);
uint32_t SKFX_GetContainerInfo(HCONTAINER hContainer, unsigned char* pbInfo,
                               unsigned int* pulInfoLen);

// ---------------------------------------------------------------------------
// ECC key, signature and cipher functions.
uint32_t SKF_GenECCKeyPair(HCONTAINER hContainer, unsigned int ulAlgId,
                           Struct_ECCPUBLICKEYBLOB* pBlob);
uint32_t SKF_GenECCKeyPairEx(HCONTAINER hContainer, unsigned int ulAlgId, BOOL bSignFlag,
                             Struct_ECCPUBLICKEYBLOB* pBlob);
uint32_t SKFX_ImportECCKeyPairEx(HCONTAINER hContainer, const unsigned char* pbKeyPair,
                                 BOOL bSignFlag);
uint32_t SKF_ImportECCKeyPair(HCONTAINER hContainer, const ENVELOPEDKEYBLOB* pEnvelopedKeyBlob);
uint32_t SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, unsigned char* pbBlob,
                             unsigned int* pulBlobLen);
uint32_t SKF_ECCSignData(HCONTAINER hContainer, const unsigned char* pbData, unsigned int ulDataLen,
                         ECCSIGNATUREBLOB* pSignature);
uint32_t SKF_ECCVerify(DEVHANDLE hDev, const Struct_ECCPUBLICKEYBLOB* pECCPubKeyBlob,
                       const unsigned char* pbData, unsigned int ulDataLen,
                       const ECCSIGNATUREBLOB* pSignature);
uint32_t SKF_ECCDecrypt(HCONTAINER hContainer, const Struct_ECCCIPHERBLOB* pCipherText,
                        unsigned char* pbPlainText, unsigned int* pulPlainTextLen);
uint32_t SKF_ExtECCEncrypt(DEVHANDLE hDev, const Struct_ECCPUBLICKEYBLOB* pECCPubKeyBlob,
                           const unsigned char* pbPlainText, unsigned int ulPlainTextLen,
                           Struct_ECCCIPHERBLOB* pCipherText);
uint32_t SKFX_ExportEncryptKey(HCONTAINER hContainer, unsigned char* pbOut,
                               unsigned int* pulOutLen);
uint32_t SKF_ECCExportSessionKey(HCONTAINER hContainer, unsigned int ulAlgId,
                                 const Struct_ECCPUBLICKEYBLOB* pPubKey,
                                 Struct_ECCCIPHERBLOB* pData, HANDLE* phSessionKey);
uint32_t SKF_ECCExportSessionKeyExt(HCONTAINER hContainer, unsigned int ulAlgId,
                                    const Struct_ECCPUBLICKEYBLOB* pPubKey,
                                    Struct_ECCCIPHERBLOB* pData, HANDLE* phSessionKey);
// Not provided by this key: they answer SAR_NOTSUPPORTYETERR (SKFX_PriKeyDecrypt: 0).
uint32_t SKFX_ECCEncrypt(HCONTAINER hContainer, const unsigned char* pbPlainText,
                         unsigned int ulPlainTextLen, Struct_ECCCIPHERBLOB* pCipherText);
uint32_t SKF_ExtECCDecrypt(DEVHANDLE hDev, const Struct_ECCPRIVATEKEYBLOB* pECCPriKeyBlob,
                           const Struct_ECCCIPHERBLOB* pCipherText, unsigned char* pbPlainText,
                           unsigned int* pulPlainTextLen);
uint32_t SKFX_ECCDecrypt(HCONTAINER hContainer, const Struct_ECCCIPHERBLOB* pCipherText,
                         unsigned char* pbPlainText, unsigned int* pulPlainTextLen);
uint32_t SKF_GenerateAgreementDataWithECC(HCONTAINER hContainer, unsigned int ulAlgId,
                                          Struct_ECCPUBLICKEYBLOB* pTempECCPubKeyBlob,
                                          const unsigned char* pbID, unsigned int ulIDLen,
                                          HANDLE* phAgreementHandle);
uint32_t SKF_GenerateAgreementDataAndKeyWithECC(
    HANDLE hContainer, unsigned int ulAlgId, const Struct_ECCPUBLICKEYBLOB* pSponsorECCPubKeyBlob,
    const Struct_ECCPUBLICKEYBLOB* pSponsorTempECCPubKeyBlob,
    Struct_ECCPUBLICKEYBLOB* pTempECCPubKeyBlob, const unsigned char* pbID, unsigned int ulIDLen,
    const unsigned char* pbSponsorID, unsigned int ulSponsorIDLen, HANDLE* phKeyHandle);
uint32_t SKF_GenerateKeyWithECC(HANDLE hAgreementHandle,
                                const Struct_ECCPUBLICKEYBLOB* pECCPubKeyBlob,
                                const Struct_ECCPUBLICKEYBLOB* pTempECCPubKeyBlob,
                                const unsigned char* pbID, unsigned int ulIDLen,
                                HANDLE* phKeyHandle);
uint32_t SKFX_PriKeyDecrypt(HCONTAINER hContainer, const unsigned char* pbIn, unsigned int ulInLen,
                            unsigned char* pbOut, unsigned int* pulOutLen);
uint32_t DoGetVer(DEVHANDLE hDev, unsigned char* pbVer, unsigned int* pulLen);
uint32_t DoWithRSAPubliceKey(DEVHANDLE hDev, const unsigned char* pbIn, unsigned int ulInLen,
                             unsigned char* pbOut, unsigned int* pulOutLen);
uint32_t DoWithRSAPrivateKey(DEVHANDLE hDev, const unsigned char* pbIn, unsigned int ulInLen,
                             unsigned char* pbOut, unsigned int* pulOutLen);

// ---------------------------------------------------------------------------
// RSA functions.
uint32_t SKF_GenExtRSAKey(DEVHANDLE hDev, unsigned int ulBitsLen, Struct_RSAPRIVATEKEYBLOB* pBlob);
uint32_t SKF_GenRSAKeyPair(HCONTAINER hContainer, unsigned int ulBitsLen,
                           Struct_RSAPUBLICKEYBLOB* pBlob);
uint32_t SKF_GenRSAKeyPairEx(HCONTAINER hContainer, unsigned int ulBitsLen, BOOL bSignFlag,
                             Struct_RSAPUBLICKEYBLOB* pBlob);
uint32_t SKF_ImportRSAKeyPair(HCONTAINER hContainer, unsigned int ulSymAlgId,
                              const unsigned char* pbWrappedKey, unsigned int ulWrappedKeyLen,
                              const unsigned char* pbEncryptedData,
                              unsigned int ulEncryptedDataLen);
uint32_t SKF_RSASignData(HCONTAINER hContainer, const unsigned char* pbData, unsigned int ulDataLen,
                         unsigned char* pbSignature, unsigned int* pulSignLen);
uint32_t SKF_RSAExportSessionKey(HCONTAINER hContainer, unsigned int ulAlgId,
                                 const Struct_RSAPUBLICKEYBLOB* pPubKey, unsigned char* pbData,
                                 unsigned int* pulDataLen, HANDLE* phSessionKey);
uint32_t SKF_RSAVerify(DEVHANDLE hDev, const Struct_RSAPUBLICKEYBLOB* pRSAPubKeyBlob,
                       const unsigned char* pbData, unsigned int ulDataLen,
                       const unsigned char* pbSignature, unsigned int ulSignLen);

// ---------------------------------------------------------------------------
// Session keys, ciphers, digests and MACs (handles from the handle map).
uint32_t SKF_ImportSessionKey(HCONTAINER hContainer, unsigned int ulAlgId,
                              const unsigned char* pbWrapedData, unsigned int ulWrapedLen,
                              HANDLE* phKey);
uint32_t SKF_SetSymmKey(DEVHANDLE hDev, const unsigned char* pbKey, unsigned int ulAlgID,
                        HANDLE* phKey);
uint32_t SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam);
uint32_t SKF_Encrypt(HANDLE hKey, const unsigned char* pbData, unsigned int ulDataLen,
                     unsigned char* pbEncryptedData, unsigned int* pulEncryptedLen);
uint32_t SKF_EncryptUpdate(HANDLE hKey, const unsigned char* pbData, unsigned int ulDataLen,
                           unsigned char* pbEncryptedData, unsigned int* pulEncryptedLen);
uint32_t SKF_EncryptFinal(HANDLE hKey, unsigned char* pbEncryptedData,
                          unsigned int* pulEncryptedDataLen);
uint32_t SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam);
uint32_t SKF_Decrypt(HANDLE hKey, const unsigned char* pbEncryptedData, unsigned int ulEncryptedLen,
                     unsigned char* pbData, unsigned int* pulDataLen);
uint32_t SKF_DecryptUpdate(HANDLE hKey, const unsigned char* pbEncryptedData,
                           unsigned int ulEncryptedLen, unsigned char* pbData,
                           unsigned int* pulDataLen);
uint32_t SKF_DecryptFinal(HANDLE hKey, unsigned char* pbDecryptedData,
                          unsigned int* pulDecryptedDataLen);
uint32_t SKF_DigestInit(DEVHANDLE hDev, unsigned int ulAlgID,
                        const Struct_ECCPUBLICKEYBLOB* pPubKey, const unsigned char* pucID,
                        unsigned int ulIDLen, HANDLE* phHash);
uint32_t SKF_Digest(HANDLE hHash, const unsigned char* pbData, unsigned int ulDataLen,
                    unsigned char* pbHashData, unsigned int* pulHashLen);
uint32_t SKF_DigestUpdate(HANDLE hHash, const unsigned char* pbData, unsigned int ulDataLen);
uint32_t SKF_DigestFinal(HANDLE hHash, unsigned char* pHashData, unsigned int* pulHashLen);
uint32_t SKF_MacInit(HANDLE hKey, const BLOCKCIPHERPARAM* pMacParam, HANDLE* phMac);
uint32_t SKF_Mac(HANDLE hMac, const unsigned char* pbData, unsigned int ulDataLen,
                 unsigned char* pbMacData, unsigned int* pulMacLen);
uint32_t SKF_MacUpdate(HANDLE hMac, const unsigned char* pbData, unsigned int ulDataLen);
uint32_t SKF_MacFinal(HANDLE hMac, unsigned char* pbMacData, unsigned int* pulMacDataLen);
uint32_t SKF_CloseHandle(HANDLE hHandle);

// ---------------------------------------------------------------------------
// Secure-messaging helpers (PIN key derivation, SM4 framings, SM4 MAC).
void cos17B_SHA1(const unsigned char* data, int len, unsigned char* digest);
int cos17B_Encrypt_SM4(const void* data, int len, const unsigned char* key, unsigned char* out);
int cos17B_Encrypt_SM4Ex(const void* data, int len, const unsigned char* key, unsigned char* out);
int cos17B_MAC_SM4(const void* data, int len, const unsigned char* iv, const unsigned char* key,
                   unsigned char* mac);
uint32_t SKX_sm4Enc(const unsigned char* key, const unsigned char* in, unsigned int len,
                    unsigned char* out);

// Status word of the card to result code; for 0x63Cx stores the tries left.
uint32_t cvtCosErr17Code(unsigned int sw, unsigned int* retryCount);
