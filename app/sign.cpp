// Key export, SM2 signatures with the factory, device and finger keys, the
// signature text, the signed enrolment record, ciphers and the server key.
#include <cstring>

#include "app/internal.h"
#include "crypto/crypto.h"
#include "util/util.h"

using namespace nvapp;

namespace {

// Elementary file that keeps the server public key (X || Y).
constexpr unsigned short kSvrPubFile = 0x5108;

// The 64-byte raw signature (last 32 bytes of the r and s fields).
void rawSig(const ECCSIGNATUREBLOB& sig, uint8_t* out) {
    memcpy(out, sig.r + m_ECCxyStart, 32);
    memcpy(out + 32, sig.s + m_ECCxyStart, 32);
}

// Opens a container of the base application and exports its signing key.
int exportBaseKey(const char* container, uint8_t* out, int* length) {
    if (!out) return kBadParam;
    CExit guard;
    if (!connected()) return kNoDev;
    uint32_t r = CNvId::openApp(CNvId::m_hDev, CNvId::m_axAppName, &CNvId::m_hApp, true);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    r = SKF_OpenContainer(CNvId::m_hApp, container, &CNvId::m_hCot);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    uint8_t blob[256];
    memset(blob, 0, sizeof blob);
    unsigned int n = sizeof blob;
    r = SKF_ExportPublicKey(CNvId::m_hCot, 1, blob, &n);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    CNvId::blob2pubKey(blob, out, length);
    return kOk;
}

// One signature in the base application. `reuse`: the other kind of
// signature left the application open and verified; when that session
// turns out to be gone (the key was replugged), it is opened afresh once.
int baseSign(const char* container, bool reuse, bool factory, const uint8_t* message, int length,
             uint8_t* out) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!reuse || attempt > 0) {
            if (attempt > 0) CExit::uninit();
            int rc = openAppWithPin(CNvId::m_axAppName);
            if (rc != kOk) return rc;
        }
        HCONTAINER cot = nullptr;
        uint32_t r = SKF_OpenContainer(CNvId::m_hApp, container, &cot);
        CNvId::m_hCot = cot;
        if (r != SAR_OK) {
            logLine(__LINE__, r);
            if (reuse && attempt == 0) continue;
            return kFailed;
        }
        Struct_ECCPUBLICKEYBLOB blob;
        if (factory) {
            blob = factoryBlob();
        } else {
            memset(&blob, 0, sizeof blob);
            unsigned int n = sizeof blob;
            r = SKF_ExportPublicKey(CNvId::m_hCot, 1, reinterpret_cast<uint8_t*>(&blob), &n);
            if (r != SAR_OK) {
                logLine(__LINE__, r);
                return kFailed;
            }
        }
        uint8_t e[32];
        CNvId::hashSm3(&blob, message, length, e);
        ECCSIGNATUREBLOB sig;
        memset(&sig, 0, sizeof sig);
        r = SKF_ECCSignData(CNvId::m_hCot, e, 32, &sig);
        if (r != SAR_OK) {
            logLine(__LINE__, r);
            return kFailed;
        }
        rawSig(sig, out);
        SKF_CloseContainer(CNvId::m_hCot);
        CNvId::m_hCot = nullptr;
        return kOk;
    }
    return kFailed;
}

void appendHex(char*& p, const uint8_t* bytes, int n) {
    p += asc2hex(bytes, n, p, 0);
}

}  // namespace

int CNvId::getFacPubKey(uint8_t* out, int* length) {
    _nvlog(">>-%s", "getFacPubKey");
    return exportBaseKey(m_axCotName, out, length);
}

int CNvId::getDevPubKey(uint8_t* out, int* length) {
    _nvlog(">>-%s", "getDevPubKey");
    return exportBaseKey(m_devCotName, out, length);
}

void CNvId::hashSm3(const void* blob, const uint8_t* message, int length, uint8_t* out) {
    const uint8_t* b = static_cast<const uint8_t*>(blob);
    sm2HashZValue(b + 4 + m_ECCxyStart, b + 4 + 64 + m_ECCxyStart,
                  reinterpret_cast<const uint8_t*>(kSm2DefaultId), kSm2DefaultIdLen, message,
                  static_cast<uint32_t>(length < 0 ? 0 : length), out);
}

int CNvId::FacSign(const uint8_t* message, int length, uint8_t* out) {
    _nvlog(">>-%s", "FacSign");
    if (!message || !out || length < 0) return kBadParam;
    if (!connected()) return kNoDev;
    bool reuse = m_bDevSign && m_hApp;
    if (reuse) _nvlogstr("dev - FacSign");
    int rc = baseSign(m_axCotName, reuse, true, message, length, out);
    if (rc == kOk) m_bFacSign = 1;
    return rc;
}

int CNvId::DevSign(const uint8_t* message, int length, uint8_t* out) {
    _nvlog(">>-%s", "DevSign");
    if (!message || !out || length < 0) return kBadParam;
    if (!connected()) return kNoDev;
    bool reuse = m_bFacSign && m_hApp;
    if (reuse) _nvlogstr("fac - DevSign");
    int rc = baseSign(m_devCotName, reuse, false, message, length, out);
    if (rc == kOk) m_bDevSign = 1;
    return rc;
}

int CNvId::FpSign(const uint8_t* message, int length, uint8_t* out) {
    _nvlog(">>-%s", "FpSign");
    if (!message || !out || length < 0) return kBadParam;
    if (!m_curApp[0] || !m_curCot[0]) return kNoUser;
    return fingerKeySign(m_curApp, m_curCot, message, length, out);
}

int CNvId::fingerKeySign(const char* app, const char* container, const uint8_t* message, int length,
                         uint8_t* out) {
    CExit guard;
    if (!connected()) return kNoDev;
    int rc = openPinContainer(app, container);
    if (rc != kOk) return rc;
    Struct_ECCPUBLICKEYBLOB blob;
    memset(&blob, 0, sizeof blob);
    unsigned int n = sizeof blob;
    uint32_t r = SKF_ExportPublicKey(m_hCot, 1, reinterpret_cast<uint8_t*>(&blob), &n);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    uint8_t e[32];
    hashSm3(&blob, message, length, e);
    ECCSIGNATUREBLOB sig;
    memset(&sig, 0, sizeof sig);
    r = SKF_ECCSignData(m_hCot, e, 32, &sig);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    rawSig(sig, out);
    return kOk;
}

namespace {
// One INTEGER of a signature in minimal DER: leading zero bytes dropped (one
// kept for zero), 00 prepended when the first byte left has its high bit set.
// Fixed 32-byte integers would be refused by strict DER parsers whenever r or
// s happens to start with a zero byte.
}  // namespace

int CNvId::packSign(uint8_t* buffer) {
    // SEQUENCE { INTEGER r, INTEGER s }, minimal, as hex text.
    uint8_t der[72];
    int derLength = 0;
    if (makepkcs10(buffer, der, &derLength) != 0) return 0;
    char text[kSignTextMax];
    char* p = text;
    appendHex(p, der, derLength);
    *p = 0;
    int n = static_cast<int>(p - text);
    memcpy(buffer, text, static_cast<size_t>(n) + 1);
    return n;
}

int CNvId::__signinfo(const char* pubKeyText, const char* userText, uint8_t* out) {
    _nvlog(">>-%s", "__signinfo");
    if (!pubKeyText || !userText || !out) return kBadParam;
    uint8_t* msg = cxBuf::mal(1024);
    char* sn = reinterpret_cast<char*>(cxBuf::mal(128));
    memset(sn, 0, 128);
    int snLen = 128;
    int rc = getSN(sn, &snLen);
    if (rc == kBadLength) return kBadLength;
    if (rc != kOk) {
        logLine(__LINE__, static_cast<uint32_t>(rc));
        return kFailed;
    }
    // A text longer than the message buffer is refused below unread.
    size_t a = strnlen(pubKeyText, 1025);
    size_t b = strnlen(userText, 1025);
    size_t c = static_cast<size_t>(snLen);
    if (!fitsIn(0, a + b + c, 1024)) return kBadLength;
    memcpy(msg, pubKeyText, a);
    memcpy(msg + a, userText, b);
    memcpy(msg + a + b, sn, c);
    rc = DevSign(msg, static_cast<int>(a + b + c), out);
    if (rc != kOk) {
        logLine(__LINE__, static_cast<uint32_t>(rc));
        return kFailed;
    }
    packSign(out);
    return kOk;
}

int CNvId::sm2Decrypt(const uint8_t* in, int length, uint8_t* out, int* outLength) {
    if (!in || !out || !outLength || length <= 96) return kBadParam;
    // A leading 0x04 may be the point's prefix, or the first byte of X (one
    // cipher text in 256 of such a length): the card's hash check tells
    // which, so the text as it stands is tried when the prefix reading fails.
    if (length % 4 == 1 && in[0] == 0x04) {
        int n = *outLength;
        const int rc = decryptC1C3C2(in + 1, length - 1, out, &n);
        if (rc != kFailed && rc != kBadParam) {
            if (rc == kOk) *outLength = n;
            return rc;
        }
    }
    return decryptC1C3C2(in, length, out, outLength);
}

int CNvId::decryptC1C3C2(const uint8_t* in, int length, uint8_t* out, int* outLength) {
    // The plaintext is as long as C2 and must fit the caller's buffer.
    const int c2 = length - 96;
    if (c2 <= 0 || c2 > kSm2PlainMax || c2 > *outLength) return kBadParam;
    uint8_t area[kEccCipherBlobFixed + kSm2PlainMax];
    memset(area, 0, sizeof area);
    Struct_ECCCIPHERBLOB* blob = reinterpret_cast<Struct_ECCCIPHERBLOB*>(area);
    memcpy(blob->XCoordinate + m_ECCxyStart, in, 32);
    memcpy(blob->YCoordinate + m_ECCxyStart, in + 32, 32);
    memcpy(blob->HASH, in + 64, 32);
    uint32_t cipherLen = static_cast<uint32_t>(c2);
    memcpy(area + kEccCipherBlobFixed - 4, &cipherLen, 4);
    memcpy(area + kEccCipherBlobFixed, in + 96, static_cast<size_t>(c2));

    CExit guard;
    if (!connected()) return kNoDev;
    int rc = openAppWithPin(CNvId::m_axAppName);
    if (rc != kOk) return rc;
    uint32_t r = SKF_OpenContainer(m_hApp, m_devCotName, &m_hCot);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    unsigned int n =
        static_cast<unsigned int>(*outLength < kSm2PlainMax ? *outLength : kSm2PlainMax);
    r = SKF_ECCDecrypt(m_hCot, blob, out, &n);
    memset(area, 0, sizeof area);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    *outLength = static_cast<int>(n);
    return kOk;
}

int CNvId::sm2Encrypt(const uint8_t* in, int length, uint8_t* out, int* outLength) {
    _nvlog(">>-%s", "sm2Encrypt");
    if (!in || !out || !outLength || length <= 0) return kBadParam;
    if (length > kSm2PlainMax || 96 + length > *outLength) return kBadParam;
    CExit guard;
    if (!connected()) return kNoDev;
    uint32_t r = openApp(m_hDev, m_axAppName, &m_hApp, true);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    r = SKF_OpenContainer(m_hApp, m_devCotName, &m_hCot);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    Struct_ECCPUBLICKEYBLOB pub;
    memset(&pub, 0, sizeof pub);
    unsigned int n = sizeof pub;
    r = SKF_ExportPublicKey(m_hCot, 1, reinterpret_cast<uint8_t*>(&pub), &n);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    uint8_t area[kEccCipherBlobFixed + kSm2PlainMax];
    memset(area, 0, sizeof area);
    Struct_ECCCIPHERBLOB* blob = reinterpret_cast<Struct_ECCCIPHERBLOB*>(area);
    r = SKF_ExtECCEncrypt(m_hDev, &pub, in, static_cast<unsigned int>(length), blob);
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    uint32_t cipherLen = 0;
    memcpy(&cipherLen, area + kEccCipherBlobFixed - 4, 4);
    if (cipherLen > kSm2PlainMax || 96 + static_cast<int>(cipherLen) > *outLength) return kFailed;
    memcpy(out, blob->XCoordinate + m_ECCxyStart, 32);
    memcpy(out + 32, blob->YCoordinate + m_ECCxyStart, 32);
    memcpy(out + 64, blob->HASH, 32);
    memcpy(out + 96, area + kEccCipherBlobFixed, cipherLen);
    *outLength = static_cast<int>(cipherLen) + 96;
    return kOk;
}

int CNvId::sm4Decrypt(const uint8_t* in, int length, const uint8_t* key, int keyLength,
                      uint8_t* out, int* outLength) {
    _nvlog(">>-%s", "sm4Decrypt");
    // The key is always 16 bytes; a shorter one would be read past its end.
    if (!in || !key || !out || !outLength || length < 0 || keyLength < 16) return kBadParam;
    if (length % 4 == 1 && in[0] == 0x04) {
        ++in;
        --length;
    }
    const int rounded = (length + 15) / 16 * 16;
    // The rounded text and the terminator must fit the output.
    if (rounded + 1 > *outLength || rounded > kSm4OutMax) return kBadParam;
    // The input is zero-padded to the rounded length in a buffer of ours,
    // never read past its end.
    uint8_t work[kSm4OutMax];
    memset(work, 0, sizeof work);
    memcpy(work, in, static_cast<size_t>(length));
    sm4_context ctx;
    sm4_setkey_dec(&ctx, key);
    int c = sm4_crypt_ecb(&ctx, rounded, work, out);
    sm4_clear(&ctx);
    memset(work, 0, sizeof work);
    if (c != 0) return kSm4Error;
    int n = rounded;
    if (n > 0) {
        const uint8_t p = out[n - 1];
        if (p < 17 && p < n) {
            int same = 0;
            while (same < p && out[n - 1 - same] == p)
                ++same;
            if (same == p) n -= p;
        }
    }
    out[n] = 0;
    *outLength = n;
    return kOk;
}

int CNvId::setSvrPub(const uint8_t* key, int length) {
    _nvlog(">>-%s", "setSvrPub");
    if (!connected()) return kNoDev;
    if (!key) return kBadParam;
    if (length == 65 && key[0] == 0x04) {
        ++key;
        --length;
    }
    if (length != 64) return kBadParam;
    unsigned int written = 0;
    uint32_t r =
        withRetry([&] { return DoWriteEF(m_hDev, 0, kSvrPubFile, 0, 0, 64, key, &written); });
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    return kOk;
}

int CNvId::getSvrPub(uint8_t* out, int* length) {
    _nvlog(">>-%s", "getSvrPub");
    if (!out || !length) return kBadParam;
    if (!connected()) return kNoDev;
    uint8_t buf[1024];
    memset(buf, 0, sizeof buf);
    unsigned int n = 0;
    uint32_t r = withRetry([&] { return DoReadEF(m_hDev, 0, kSvrPubFile, 0, 0, 64, buf, &n); });
    if (r != SAR_OK) {
        logLine(__LINE__, r);
        return kFailed;
    }
    out[0] = 0x04;
    memcpy(out + 1, buf, 64);
    *length = kPubKeyLen;
    return kOk;
}
