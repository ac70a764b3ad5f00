// SM2 verification of the key's signature texts with OpenSSL 3, and the
// enrolment record and assertion built on it.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "tools/verify/client_data.h"
#include "tools/verify/verify.h"

namespace fpkverify {

namespace {

constexpr size_t kPointLen = 65;
constexpr size_t kIntLen = 32;
// SEQUENCE of two INTEGERs of 33 bytes at most: 2 + 2 * (2 + 33).
constexpr size_t kSignatureMax = 72;
// ENTL, the ID's length in bits, is two bytes.
constexpr size_t kSignerIdMax = 8191;

// DER SubjectPublicKeyInfo header of an SM2 point: id-ecPublicKey with the
// curve OID 1.2.156.10197.1.301, then the BIT STRING of 65 bytes.
const uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                               0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x81, 0x1c,
                               0xcf, 0x55, 0x01, 0x82, 0x2d, 0x03, 0x42, 0x00};

// The order n of the SM2 base point; r and s lie in [1, n - 1].
const uint8_t kOrder[kIntLen] = {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x72, 0x03, 0xDF, 0x6B, 0x21, 0xC6,
                                 0x05, 0x2B, 0x53, 0xBB, 0xF4, 0x09, 0x39, 0xD5, 0x41, 0x23};

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Check fail(Failed failed, const char* reason) {
    return Check{failed, reason};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly 2 * size hex digits of either case into `out`.
bool fromHex(const std::string& hex, uint8_t* out, size_t size) {
    if (hex.size() != 2 * size) return false;
    for (size_t i = 0; i < size; ++i) {
        const int hi = hexDigit(hex[2 * i]);
        const int lo = hexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::string spkiOf(const uint8_t point[kPointLen]) {
    std::string der(reinterpret_cast<const char*>(kSpkiPrefix), sizeof kSpkiPrefix);
    der.append(reinterpret_cast<const char*>(point), kPointLen);
    return der;
}

// The key of 04 || X || Y in hex (`device`: the enrolment's device key).
// OpenSSL refuses coordinates outside the field and points off the curve
// when it decodes the point.
Check readPublicKey(const std::string& hex, bool device, Pkey& key) {
    uint8_t point[kPointLen];
    if (!fromHex(hex, point, kPointLen))
        return fail(Failed::PublicKey, device ? "the device key is not 130 hex digits"
                                              : "the public key is not 130 hex digits");
    if (point[0] != 0x04)
        return fail(Failed::PublicKey, device ? "the device key is not an uncompressed point"
                                              : "the public key is not an uncompressed point");
    const std::string der = spkiOf(point);
    const auto* p = reinterpret_cast<const uint8_t*>(der.data());
    key.reset(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    if (!key)
        return fail(Failed::PublicKey, device ? "the device key is not a point of the SM2 curve"
                                              : "the public key is not a point of the SM2 curve");
    return {};
}

// One INTEGER of the signature at p into a 32-byte big-endian value. The
// key writes 32 bytes whatever the value (00 before a high bit), OpenSSL
// the minimal form; either is taken, nothing else.
bool readInteger(const uint8_t*& p, const uint8_t* end, uint8_t out[kIntLen], bool& inRange) {
    if (end - p < 2 || p[0] != 0x02) return false;
    const size_t len = p[1];
    if (len < 1 || len > kIntLen + 1 || static_cast<size_t>(end - p - 2) < len) return false;
    const uint8_t* v = p + 2;
    if (v[0] & 0x80) return false;  // negative
    const bool keyForm = len == kIntLen || (len == kIntLen + 1 && v[0] == 0 && (v[1] & 0x80));
    const bool minimal = v[0] != 0 || (len > 1 && (v[1] & 0x80));
    if (!keyForm && !minimal) return false;
    p = v + len;
    // A 33-byte value not led by 00 is 2^256 or more.
    if (len == kIntLen + 1 && v[0] != 0) {
        inRange = false;
        return true;
    }
    const size_t n = len == kIntLen + 1 ? kIntLen : len;
    v += len - n;
    std::memset(out, 0, kIntLen);
    std::memcpy(out + kIntLen - n, v, n);
    bool zero = true;
    for (size_t i = 0; i < kIntLen; ++i)
        zero = zero && out[i] == 0;
    inRange = !zero && std::memcmp(out, kOrder, kIntLen) < 0;
    return true;
}

// r and s of a signature text.
Check readSignature(const std::string& hex, uint8_t r[kIntLen], uint8_t s[kIntLen]) {
    uint8_t der[kSignatureMax];
    const size_t n = hex.size() / 2;
    if (hex.size() % 2 != 0 || n < 8 || n > kSignatureMax || !fromHex(hex, der, n))
        return fail(Failed::SignatureForm, "not the hex of a DER signature of SM2");
    // SEQUENCE in the short length form, covering every byte that follows.
    if (der[0] != 0x30 || der[1] != n - 2)
        return fail(Failed::SignatureForm, "not one DER SEQUENCE without trailing bytes");
    const uint8_t* p = der + 2;
    const uint8_t* end = der + n;
    bool rOk = false;
    bool sOk = false;
    if (!readInteger(p, end, r, rOk) || !readInteger(p, end, s, sOk) || p != end)
        return fail(Failed::SignatureForm, "not two positive DER INTEGERs of at most 32 bytes");
    if (!rOk || !sOk) return fail(Failed::SignatureForm, "r or s is not in [1, n-1]");
    return {};
}

// The SM2 check proper: e = SM3(Z || msg), Z from the signer ID and key.
Check sm2Verify(EVP_PKEY* key, const uint8_t r[kIntLen], const uint8_t s[kIntLen],
                const uint8_t* msg, size_t n, const std::string& signerId) {
    if (signerId.size() > kSignerIdMax)
        return fail(Failed::Signature, "the signer ID is longer than 8191 bytes");
    // OpenSSL decodes only the minimal DER form, so r and s are encoded anew.
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* br = BN_bin2bn(r, kIntLen, nullptr);
    BIGNUM* bs = BN_bin2bn(s, kIntLen, nullptr);
    if (!sig || !br || !bs || ECDSA_SIG_set0(sig, br, bs) != 1) {
        ECDSA_SIG_free(sig);
        BN_free(br);
        BN_free(bs);
        return fail(Failed::Signature, "out of memory");
    }
    uint8_t* canon = nullptr;
    const int canonLen = i2d_ECDSA_SIG(sig, &canon);
    ECDSA_SIG_free(sig);
    if (canonLen <= 0) return fail(Failed::Signature, "out of memory");

    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = md && pctx &&
              EVP_PKEY_CTX_set1_id(pctx, signerId.data(), static_cast<int>(signerId.size())) > 0;
    if (ok) {
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        static const uint8_t kNothing = 0;
        ok =
            EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
            EVP_DigestVerify(md, canon, static_cast<size_t>(canonLen), n ? msg : &kNothing, n) == 1;
    }
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    OPENSSL_free(canon);
    if (!ok) return fail(Failed::Signature, "the SM2 signature does not hold");
    return {};
}

Check verifyWithKey(EVP_PKEY* key, const uint8_t* msg, size_t n, const std::string& signatureHex,
                    const std::string& signerId) {
    uint8_t r[kIntLen];
    uint8_t s[kIntLen];
    Check c = readSignature(signatureHex, r, s);
    if (!c.ok()) return c;
    return sm2Verify(key, r, s, msg, n, signerId);
}

}  // namespace

const char* checkName(Failed failed) {
    switch (failed) {
        case Failed::None:
            return "";
        case Failed::PublicKey:
            return "public key";
        case Failed::SignatureForm:
            return "signature form";
        case Failed::ClientData:
            return "client data";
        case Failed::Origin:
            return "origin";
        case Failed::Challenge:
            return "challenge";
        case Failed::Text:
            return "text";
        case Failed::Signature:
            return "signature";
    }
    return "";
}

Check verifySignature(const std::string& publicKeyHex, const uint8_t* msg, size_t n,
                      const std::string& signatureHex, const std::string& signerId) {
    if (!msg && n) return fail(Failed::Signature, "no message");
    Pkey key;
    Check c = readPublicKey(publicKeyHex, false, key);
    if (!c.ok()) return c;
    return verifyWithKey(key.get(), msg, n, signatureHex, signerId);
}

Check verifyEnrolment(const std::string& deviceKeyHex, const std::string& publicKeyHex,
                      const std::string& record, const std::string& serial,
                      const std::string& signinfoHex) {
    Pkey device;
    Pkey finger;
    Check c = readPublicKey(deviceKeyHex, true, device);
    if (c.ok()) c = readPublicKey(publicKeyHex, false, finger);
    if (!c.ok()) return c;
    // The key signs the public key's text as it reports it: upper case.
    std::string msg = publicKeyHex;
    for (char& ch : msg)
        if (ch >= 'a' && ch <= 'f') ch = static_cast<char>(ch - 'a' + 'A');
    msg += record;
    msg += serial;
    return verifyWithKey(device.get(), reinterpret_cast<const uint8_t*>(msg.data()), msg.size(),
                         signinfoHex, kDefaultSignerId);
}

Check verifyAssertion(const std::string& publicKeyHex, const std::string& clientData,
                      const std::string& signatureHex, const std::string& origin,
                      const std::string& challenge, const std::string& text, Assertion* out) {
    Pkey key;
    Check c = readPublicKey(publicKeyHex, false, key);
    if (!c.ok()) return c;
    uint8_t r[kIntLen];
    uint8_t s[kIntLen];
    c = readSignature(signatureHex, r, s);
    if (!c.ok()) return c;
    ClientData data;
    c = readClientData(clientData, data);
    if (!c.ok()) return c;
    if (data.origin != origin) return fail(Failed::Origin, "the client data names another origin");
    if (data.challenge != challenge)
        return fail(Failed::Challenge, "the client data names another challenge");
    if (data.text != text) return fail(Failed::Text, "the client data names another text");
    c = sm2Verify(key.get(), r, s, reinterpret_cast<const uint8_t*>(clientData.data()),
                  clientData.size(), kDefaultSignerId);
    if (c.ok() && out) *out = data.assertion;
    return c;
}

bool publicKeyPem(const std::string& publicKeyHex, std::string& pem) {
    Pkey key;
    if (!readPublicKey(publicKeyHex, false, key).ok()) return false;
    uint8_t point[kPointLen];
    fromHex(publicKeyHex, point, kPointLen);
    const std::string der = spkiOf(point);
    // 91 bytes: 124 Base64 characters, in lines of 64.
    char b64[4 * ((sizeof kSpkiPrefix + kPointLen + 2) / 3) + 1];
    const int len =
        EVP_EncodeBlock(reinterpret_cast<uint8_t*>(b64),
                        reinterpret_cast<const uint8_t*>(der.data()), static_cast<int>(der.size()));
    if (len <= 0) return false;
    pem = "-----BEGIN PUBLIC KEY-----\n";
    for (int i = 0; i < len; i += 64) {
        pem.append(b64 + i, static_cast<size_t>(len - i < 64 ? len - i : 64));
        pem += '\n';
    }
    pem += "-----END PUBLIC KEY-----\n";
    return true;
}

}  // namespace fpkverify
