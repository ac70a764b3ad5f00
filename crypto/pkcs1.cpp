// PKCS#1 v1.5 helpers (RFC 8017): DigestInfo encoding and the type 1 / type
// 2 block paddings. Part of the toolkit for signing services.
#include <sys/random.h>

#include <cerrno>

#include "crypto/bytes.h"
#include "crypto/crypto.h"

namespace {

constexpr uint8_t kPrefixSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                   0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr uint8_t kPrefixSha256[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr uint8_t kPrefixSha512[] = {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
constexpr uint8_t kPrefixMd5[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                  0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr uint8_t kPrefixSm3[] = {0x30, 0x30, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C,
                                  0xCF, 0x55, 0x01, 0x83, 0x11, 0x05, 0x00, 0x04, 0x20};

// Fills n bytes with non-zero random bytes from the system source. Type 2
// padding must not be predictable, so no seeded process generator here.
bool randomNonZero(uint8_t* p, int n) {
    while (n > 0) {
        uint8_t pool[64];
        ssize_t got = getrandom(pool, sizeof pool, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t i = 0; i < got && n > 0; ++i)
            if (pool[i]) {
                *p++ = pool[i];
                --n;
            }
        cryptobytes::wipe(pool, sizeof pool);
    }
    return true;
}

int padBlock(uint8_t type, uint8_t* to, int toLength, const uint8_t* from, int fromLength) {
    if (!to || !from || fromLength < 0 || toLength <= fromLength) return 0;
    const int padLen = toLength - fromLength - 3;
    if (padLen < 0) return 0;
    uint8_t filler[512];  // random filler drawn before anything is written
    if (type == 2 && padLen > static_cast<int>(sizeof filler)) return 0;
    if (type == 2 && !randomNonZero(filler, padLen)) return 0;
    // Data first: it may sit inside the block being built.
    memmove(to + 3 + padLen, from, static_cast<size_t>(fromLength));
    to[0] = 0x00;
    to[1] = type;
    if (type == 2) {
        memcpy(to + 2, filler, static_cast<size_t>(padLen));
        cryptobytes::wipe(filler, static_cast<size_t>(padLen));
    } else {
        memset(to + 2, 0xFF, static_cast<size_t>(padLen));
    }
    to[2 + padLen] = 0x00;
    return 1;
}

int stripBlock(uint8_t type, const uint8_t* from, int fromLength, uint8_t* to, int* toLength) {
    if (!from || !to || !toLength || fromLength <= 0) return 0;
    int i = 0;
    while (i < fromLength && from[i] != type)
        ++i;
    // The separating 00 may not be the block's last byte.
    for (++i; i < fromLength - 1 && from[i] != 0x00; ++i) {
    }
    if (i >= fromLength - 1) return 0;
    const int n = fromLength - i - 1;
    if (n > *toLength) return 0;
    memmove(to, from + i + 1, static_cast<size_t>(n));
    *toLength = n;
    return 1;
}

}  // namespace

int pkcs1DigestPrefix(int type, const uint8_t** prefix, int* digestLength) {
    const uint8_t* p;
    int n;
    switch (type) {
        case kPkcs1Sha256:
            p = kPrefixSha256, n = sizeof kPrefixSha256;
            break;
        case kPkcs1Sha512:
            p = kPrefixSha512, n = sizeof kPrefixSha512;
            break;
        case kPkcs1Md5:
            p = kPrefixMd5, n = sizeof kPrefixMd5;
            break;
        case kPkcs1Sm3:
            p = kPrefixSm3, n = sizeof kPrefixSm3;
            break;
        default:
            p = kPrefixSha1, n = sizeof kPrefixSha1;
            break;
    }
    if (prefix) *prefix = p;
    if (digestLength) *digestLength = p[n - 1];
    return n;
}

int createPkcs1HashEx(const uint8_t* digest, uint8_t* out, int* outLength, int type) {
    if (!digest || !out || !outLength) return -1;
    const uint8_t* prefix;
    int digestLen;
    const int prefixLen = pkcs1DigestPrefix(type, &prefix, &digestLen);
    // Digest first, so that digest and out may overlap.
    memmove(out + prefixLen, digest, static_cast<size_t>(digestLen));
    memcpy(out, prefix, static_cast<size_t>(prefixLen));
    *outLength = prefixLen + digestLen;
    return 0;
}

int createPkcs1Hash(const uint8_t* digest, uint8_t* out, int* outLength) {
    return createPkcs1HashEx(digest, out, outLength, kPkcs1Sha1);
}

int pkcs1HashPackEx(const uint8_t* data, uint32_t count, uint8_t* out, int* outLength, int type) {
    if (!out || !outLength || (!data && count)) return -1;
    *outLength = 0;
    uint8_t digest[kSm3Len];
    if (type == kPkcs1Sm3) {
        sm3(data, count, digest);
    } else if (type == kPkcs1Sha256 || type == kPkcs1Sha512 || type == kPkcs1Md5) {
        return -1;  // no such digest function in this toolkit
    } else {
        Sha1(data, count, digest);
    }
    return createPkcs1HashEx(digest, out, outLength, type);
}

int pkcs1HashPack(const uint8_t* data, uint32_t count, uint8_t* out, int* outLength) {
    return pkcs1HashPackEx(data, count, out, outLength, kPkcs1Sha1);
}

int padRSATypeSign(uint8_t* to, int toLength, const uint8_t* from, int fromLength) {
    return padBlock(1, to, toLength, from, fromLength);
}

int padRSATypeEncypt(uint8_t* to, int toLength, const uint8_t* from, int fromLength) {
    return padBlock(2, to, toLength, from, fromLength);
}

int stripPKCS1Verify(const uint8_t* from, int fromLength, uint8_t* to, int* toLength) {
    return stripBlock(1, from, fromLength, to, toLength);
}

int stripPKCS1Decrypt(const uint8_t* from, int fromLength, uint8_t* to, int* toLength) {
    return stripBlock(2, from, fromLength, to, toLength);
}
