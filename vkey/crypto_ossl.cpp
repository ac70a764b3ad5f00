#include "vkey/crypto_ossl.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <cstring>

#include "util/util.h"
#include "vkey/card.h"

namespace vkey {

namespace {

// Scope owners for the OpenSSL objects of one operation.
struct Bn {
    BIGNUM* p = nullptr;
    ~Bn() { BN_clear_free(p); }
};
struct PKey {
    EVP_PKEY* p = nullptr;
    ~PKey() { EVP_PKEY_free(p); }
};
struct PCtx {
    EVP_PKEY_CTX* p = nullptr;
    ~PCtx() { EVP_PKEY_CTX_free(p); }
};

// The SM2 group, its order and the one BN_CTX, made once.
struct Curve {
    EC_GROUP* group = nullptr;
    BN_CTX* ctx = nullptr;
    Curve() {
        group = EC_GROUP_new_by_curve_name(NID_sm2);
        ctx = BN_CTX_new();
    }
    ~Curve() {
        EC_GROUP_free(group);
        BN_CTX_free(ctx);
    }
};
Curve& curve() {
    static Curve c;
    return c;
}

// Builds an SM2 EVP_PKEY from the public point and, when given, the scalar.
bool makeKey(const uint8_t* x, const uint8_t* y, const uint8_t* d, PKey& out) {
    uint8_t pub[65];
    pub[0] = 0x04;
    memcpy(pub + 1, x, 32);
    memcpy(pub + 33, y, 32);
    Bn priv;
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    PCtx ctx;
    bool ok = bld != nullptr &&
              OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) &&
              OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub);
    if (ok && d != nullptr) {
        priv.p = BN_bin2bn(d, 32, nullptr);
        ok = priv.p != nullptr && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, priv.p);
    }
    if (ok) ok = (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr;
    if (ok) ok = (ctx.p = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr)) != nullptr;
    if (ok) ok = EVP_PKEY_fromdata_init(ctx.p) == 1;
    if (ok) {
        int sel = d != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
        ok = EVP_PKEY_fromdata(ctx.p, &out.p, sel, params) == 1;
    }
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return ok && EVP_PKEY_is_a(out.p, "SM2");
}

// Minimal DER for the SM2 ciphertext SEQUENCE { INTEGER x, INTEGER y,
// OCTET STRING C3, OCTET STRING C2 }, which is all OpenSSL's SM2 cipher
// speaks.
void derLen(std::vector<uint8_t>& o, size_t n) {
    if (n < 0x80) {
        o.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        o.push_back(0x81);
        o.push_back(static_cast<uint8_t>(n));
    } else {
        o.push_back(0x82);
        o.push_back(static_cast<uint8_t>(n >> 8));
        o.push_back(static_cast<uint8_t>(n));
    }
}
void derUInt(std::vector<uint8_t>& o, const uint8_t* v, size_t n) {
    size_t i = 0;
    while (i + 1 < n && v[i] == 0)
        ++i;
    bool pad = (v[i] & 0x80) != 0;
    o.push_back(0x02);
    derLen(o, n - i + (pad ? 1 : 0));
    if (pad) o.push_back(0);
    o.insert(o.end(), v + i, v + n);
}
void derOctets(std::vector<uint8_t>& o, const uint8_t* v, size_t n) {
    o.push_back(0x04);
    derLen(o, n);
    o.insert(o.end(), v, v + n);
}

// Reads one TLV of the expected tag; advances `pos`.
bool derTake(const std::vector<uint8_t>& in, size_t& pos, uint8_t tag, const uint8_t*& v,
             size_t& n) {
    if (!fitsIn(pos, 2, in.size()) || in[pos] != tag) return false;
    size_t len = in[pos + 1];
    pos += 2;
    if (len & 0x80) {
        size_t k = len & 0x7F;
        if (k == 0 || k > 2 || !fitsIn(pos, k, in.size())) return false;
        len = 0;
        for (size_t i = 0; i < k; ++i)
            len = (len << 8) | in[pos + i];
        pos += k;
    }
    if (!fitsIn(pos, len, in.size())) return false;
    v = in.data() + pos;
    n = len;
    pos += len;
    return true;
}

// An unsigned INTEGER's value into 32 bytes, right-aligned.
bool intTo32(const uint8_t* v, size_t n, uint8_t out[32]) {
    while (n > 0 && *v == 0) {
        ++v;
        --n;
    }
    if (n > 32) return false;
    memset(out, 0, 32);
    memcpy(out + 32 - n, v, n);
    return true;
}

bool getBn32(EVP_PKEY* pk, const char* name, uint8_t out[32]) {
    Bn bn;
    return EVP_PKEY_get_bn_param(pk, name, &bn.p) == 1 && BN_bn2binpad(bn.p, out, 32) == 32;
}

}  // namespace

void wipe(void* p, size_t n) {
    OPENSSL_cleanse(p, n);
}

bool sameBytes(const void* a, const void* b, size_t n) {
    return CRYPTO_memcmp(a, b, n) == 0;
}

bool randomBytes(uint8_t* out, size_t n) {
    return n == 0 || RAND_bytes(out, static_cast<int>(n)) == 1;
}

bool sha1(const uint8_t* in, size_t n, uint8_t out[20]) {
    unsigned int len = 0;
    return EVP_Digest(in, n, out, &len, EVP_sha1(), nullptr) == 1 && len == 20;
}

bool pinKey(const uint8_t* pin, size_t n, uint8_t k[16]) {
    uint8_t block[16] = {};
    uint8_t digest[20];
    if (n > 16) return false;
    memcpy(block, pin, n);
    bool ok = sha1(block, 16, digest);
    memcpy(k, digest, 16);
    wipe(block, sizeof block);
    wipe(digest, sizeof digest);
    return ok;
}

static bool sm4Run(const EVP_CIPHER* cipher, const uint8_t key[16], const uint8_t* iv,
                   const uint8_t* in, size_t n, uint8_t* out, bool encrypt) {
    if (n % 16 != 0) return false;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0, fin = 0;
    bool ok = ctx != nullptr && EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out, &len, in, static_cast<int>(n)) == 1 &&
              EVP_CipherFinal_ex(ctx, out + len, &fin) == 1 &&
              static_cast<size_t>(len) + static_cast<size_t>(fin) == n;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

bool sm4Ecb(const uint8_t key[16], const uint8_t* in, size_t n, uint8_t* out, bool encrypt) {
    return sm4Run(EVP_sm4_ecb(), key, nullptr, in, n, out, encrypt);
}

bool sm4Mac(const uint8_t key[16], const uint8_t iv[16], const uint8_t* data, size_t n,
            uint8_t mac[4]) {
    std::vector<uint8_t> buf(data, data + n);
    buf.push_back(0x80);
    while (buf.size() % 16 != 0)
        buf.push_back(0);
    std::vector<uint8_t> enc(buf.size());
    if (!sm4Run(EVP_sm4_cbc(), key, iv, buf.data(), buf.size(), enc.data(), true)) return false;
    memcpy(mac, enc.data() + enc.size() - 16, 4);
    return true;
}

bool sm2Generate(KeyPair& kp) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        PKey pk;
        pk.p = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
        if (pk.p == nullptr) return false;
        if (!getBn32(pk.p, OSSL_PKEY_PARAM_PRIV_KEY, kp.d) ||
            !getBn32(pk.p, OSSL_PKEY_PARAM_EC_PUB_X, kp.x) ||
            !getBn32(pk.p, OSSL_PKEY_PARAM_EC_PUB_Y, kp.y)) {
            kp.wipe();
            return false;
        }
        if (sm2CheckPair(kp.x, kp.y, kp.d)) {
            kp.present = true;
            return true;
        }
    }
    kp.wipe();
    return false;
}

bool sm2PointValid(const uint8_t x[32], const uint8_t y[32]) {
    Curve& c = curve();
    if (c.group == nullptr) return false;
    Bn bx, by;
    bx.p = BN_bin2bn(x, 32, nullptr);
    by.p = BN_bin2bn(y, 32, nullptr);
    EC_POINT* p = EC_POINT_new(c.group);
    bool ok = p != nullptr && bx.p != nullptr && by.p != nullptr &&
              EC_POINT_set_affine_coordinates(c.group, p, bx.p, by.p, c.ctx) == 1 &&
              EC_POINT_is_on_curve(c.group, p, c.ctx) == 1 && !EC_POINT_is_at_infinity(c.group, p);
    EC_POINT_free(p);
    return ok;
}

bool sm2CheckPair(const uint8_t x[32], const uint8_t y[32], const uint8_t d[32]) {
    Curve& c = curve();
    if (c.group == nullptr || !sm2PointValid(x, y)) return false;
    Bn bd, limit, bx, by;
    bd.p = BN_bin2bn(d, 32, nullptr);
    limit.p = BN_dup(EC_GROUP_get0_order(c.group));
    bx.p = BN_bin2bn(x, 32, nullptr);
    by.p = BN_bin2bn(y, 32, nullptr);
    if (bd.p == nullptr || limit.p == nullptr || bx.p == nullptr || by.p == nullptr) return false;
    // 1 <= d <= n-2 (d = n-1 has no inverse of 1+d and makes signing spin).
    if (!BN_sub_word(limit.p, 2) || BN_is_zero(bd.p) || BN_cmp(bd.p, limit.p) > 0) return false;
    EC_POINT* p = EC_POINT_new(c.group);
    EC_POINT* q = EC_POINT_new(c.group);
    bool ok = p != nullptr && q != nullptr &&
              EC_POINT_set_affine_coordinates(c.group, p, bx.p, by.p, c.ctx) == 1 &&
              EC_POINT_mul(c.group, q, bd.p, nullptr, nullptr, c.ctx) == 1 &&
              EC_POINT_cmp(c.group, p, q, c.ctx) == 0;
    EC_POINT_free(p);
    EC_POINT_free(q);
    return ok;
}

bool sm2SignDigest(const KeyPair& kp, const uint8_t e[32], uint8_t r[32], uint8_t s[32]) {
    PKey pk;
    if (!kp.present || !makeKey(kp.x, kp.y, kp.d, pk)) return false;
    PCtx ctx;
    ctx.p = EVP_PKEY_CTX_new(pk.p, nullptr);
    uint8_t der[80];
    size_t len = sizeof der;
    if (ctx.p == nullptr || EVP_PKEY_sign_init(ctx.p) != 1 ||
        EVP_PKEY_sign(ctx.p, der, &len, e, 32) != 1)
        return false;
    std::vector<uint8_t> in(der, der + len);
    size_t pos = 0, n = 0;
    const uint8_t* v = nullptr;
    if (!derTake(in, pos, 0x30, v, n) || pos != in.size()) return false;
    pos = static_cast<size_t>(v - in.data());
    if (!derTake(in, pos, 0x02, v, n) || !intTo32(v, n, r)) return false;
    if (!derTake(in, pos, 0x02, v, n) || !intTo32(v, n, s)) return false;
    return true;
}

bool sm2Decrypt(const KeyPair& kp, const uint8_t x1[32], const uint8_t y1[32], const uint8_t c3[32],
                const uint8_t* c2, size_t n, uint8_t* plain) {
    if (!kp.present || n == 0) return false;
    std::vector<uint8_t> body;
    derUInt(body, x1, 32);
    derUInt(body, y1, 32);
    derOctets(body, c3, 32);
    derOctets(body, c2, n);
    std::vector<uint8_t> der;
    der.push_back(0x30);
    derLen(der, body.size());
    der.insert(der.end(), body.begin(), body.end());

    PKey pk;
    if (!makeKey(kp.x, kp.y, kp.d, pk)) return false;
    PCtx ctx;
    ctx.p = EVP_PKEY_CTX_new(pk.p, nullptr);
    size_t outLen = 0;
    if (ctx.p == nullptr || EVP_PKEY_decrypt_init(ctx.p) != 1 ||
        EVP_PKEY_decrypt(ctx.p, nullptr, &outLen, der.data(), der.size()) != 1)
        return false;
    std::vector<uint8_t> out(outLen);
    bool ok =
        EVP_PKEY_decrypt(ctx.p, out.data(), &outLen, der.data(), der.size()) == 1 && outLen == n;
    if (ok) memcpy(plain, out.data(), n);
    wipe(out.data(), out.size());
    return ok;
}

bool sm2Encrypt(const uint8_t x[32], const uint8_t y[32], const uint8_t* plain, size_t n,
                uint8_t x1[32], uint8_t y1[32], uint8_t c3[32], uint8_t* c2) {
    if (n == 0) return false;
    PKey pk;
    if (!makeKey(x, y, nullptr, pk)) return false;
    PCtx ctx;
    ctx.p = EVP_PKEY_CTX_new(pk.p, nullptr);
    size_t outLen = 0;
    if (ctx.p == nullptr || EVP_PKEY_encrypt_init(ctx.p) != 1 ||
        EVP_PKEY_encrypt(ctx.p, nullptr, &outLen, plain, n) != 1)
        return false;
    std::vector<uint8_t> der(outLen);
    if (EVP_PKEY_encrypt(ctx.p, der.data(), &outLen, plain, n) != 1) return false;
    der.resize(outLen);
    size_t pos = 0, len = 0;
    const uint8_t* v = nullptr;
    if (!derTake(der, pos, 0x30, v, len) || pos != der.size()) return false;
    pos = static_cast<size_t>(v - der.data());
    if (!derTake(der, pos, 0x02, v, len) || !intTo32(v, len, x1)) return false;
    if (!derTake(der, pos, 0x02, v, len) || !intTo32(v, len, y1)) return false;
    if (!derTake(der, pos, 0x04, v, len) || len != 32) return false;
    memcpy(c3, v, 32);
    if (!derTake(der, pos, 0x04, v, len) || len != n) return false;
    memcpy(c2, v, n);
    return true;
}

}  // namespace vkey
