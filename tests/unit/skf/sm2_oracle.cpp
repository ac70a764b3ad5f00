#include "tests/unit/skf/sm2_oracle.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace {

EVP_PKEY* pubKey(const Bytes& x, const Bytes& y) {
    Bytes pt = {0x04};
    pt.insert(pt.end(), x.begin(), x.end());
    pt.insert(pt.end(), y.begin(), y.end());
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pt.data(), pt.size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* pk = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) != 1 ||
        EVP_PKEY_fromdata(ctx, &pk, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        pk = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return pk;
}

// DER length helpers for the SM2 ciphertext SEQUENCE.
void derLen(Bytes& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
}

void derTlv(Bytes& out, uint8_t tag, const Bytes& v) {
    out.push_back(tag);
    derLen(out, v.size());
    out.insert(out.end(), v.begin(), v.end());
}

Bytes derInt(const Bytes& be32) {
    size_t i = 0;
    while (i + 1 < be32.size() && be32[i] == 0)
        ++i;
    Bytes v(be32.begin() + static_cast<long>(i), be32.end());
    if (v[0] & 0x80) v.insert(v.begin(), 0);
    return v;
}

Bytes rawToDer(const Bytes& raw) {
    Bytes body;
    derTlv(body, 0x02, derInt(Bytes(raw.begin(), raw.begin() + 32)));
    derTlv(body, 0x02, derInt(Bytes(raw.begin() + 32, raw.begin() + 64)));
    derTlv(body, 0x04, Bytes(raw.begin() + 64, raw.begin() + 96));
    derTlv(body, 0x04, Bytes(raw.begin() + 96, raw.end()));
    Bytes out;
    derTlv(out, 0x30, body);
    return out;
}

bool readTlv(const Bytes& in, size_t& pos, uint8_t tag, Bytes& v) {
    if (pos + 2 > in.size() || in[pos] != tag) return false;
    size_t n = in[pos + 1];
    pos += 2;
    if (n & 0x80) {
        const size_t k = n & 0x7F;
        n = 0;
        for (size_t i = 0; i < k; ++i)
            n = (n << 8) | in[pos++];
    }
    if (pos + n > in.size()) return false;
    v.assign(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(pos + n));
    pos += n;
    return true;
}

Bytes pad32(const Bytes& v) {
    Bytes s = v;
    while (s.size() > 32 && s[0] == 0)
        s.erase(s.begin());
    Bytes out(32 - s.size(), 0);
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

Bytes derToRaw(const Bytes& der) {
    size_t pos = 0;
    Bytes seq, x, y, h, c;
    if (!readTlv(der, pos, 0x30, seq)) return {};
    pos = 0;
    if (!readTlv(seq, pos, 0x02, x) || !readTlv(seq, pos, 0x02, y) || !readTlv(seq, pos, 0x04, h) ||
        !readTlv(seq, pos, 0x04, c)) {
        return {};
    }
    Bytes out = pad32(x);
    Bytes py = pad32(y);
    out.insert(out.end(), py.begin(), py.end());
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), c.begin(), c.end());
    return out;
}

}  // namespace

Bytes osslSm3WithZ(const Bytes& x, const Bytes& y, const Bytes& msg) {
    Bytes z = hexBytes("0080");
    const std::string id = "1234567812345678";
    z.insert(z.end(), id.begin(), id.end());
    const Bytes curve = hexBytes(
        "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
        "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
        "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
        "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0");
    z.insert(z.end(), curve.begin(), curve.end());
    z.insert(z.end(), x.begin(), x.end());
    z.insert(z.end(), y.begin(), y.end());
    Bytes zh(32), e(32);
    unsigned int n = 0;
    EVP_Digest(z.data(), z.size(), zh.data(), &n, EVP_sm3(), nullptr);
    zh.insert(zh.end(), msg.begin(), msg.end());
    EVP_Digest(zh.data(), zh.size(), e.data(), &n, EVP_sm3(), nullptr);
    return e;
}

bool osslSm2Verify(const Bytes& x, const Bytes& y, const Bytes& msg, const Bytes& r,
                   const Bytes& s) {
    EVP_PKEY* pk = pubKey(x, y);
    if (!pk) return false;
    Bytes sigDer;
    {
        Bytes body;
        derTlv(body, 0x02, derInt(r));
        derTlv(body, 0x02, derInt(s));
        derTlv(sigDer, 0x30, body);
    }
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(pk, nullptr);
    EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
    EVP_MD_CTX_set_pkey_ctx(md, pctx);
    bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, pk) == 1 &&
              EVP_DigestVerifyUpdate(md, msg.data(), msg.size()) == 1 &&
              EVP_DigestVerifyFinal(md, sigDer.data(), sigDer.size()) == 1;
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    EVP_PKEY_free(pk);
    return ok;
}

Bytes osslSm2EncryptRaw(const Bytes& x, const Bytes& y, const Bytes& plain) {
    EVP_PKEY* pk = pubKey(x, y);
    if (!pk) return {};
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pk, nullptr);
    size_t n = 0;
    Bytes der;
    if (EVP_PKEY_encrypt_init(ctx) == 1 &&
        EVP_PKEY_encrypt(ctx, nullptr, &n, plain.data(), plain.size()) == 1) {
        der.resize(n);
        if (EVP_PKEY_encrypt(ctx, der.data(), &n, plain.data(), plain.size()) == 1) {
            der.resize(n);
        } else {
            der.clear();
        }
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pk);
    return der.empty() ? Bytes{} : derToRaw(der);
}

OsslSm2Key::OsslSm2Key() {
    EVP_PKEY* pk = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    pkey = pk;
    BIGNUM* bx = nullptr;
    BIGNUM* by = nullptr;
    EVP_PKEY_get_bn_param(pk, OSSL_PKEY_PARAM_EC_PUB_X, &bx);
    EVP_PKEY_get_bn_param(pk, OSSL_PKEY_PARAM_EC_PUB_Y, &by);
    x.resize(32);
    y.resize(32);
    BN_bn2binpad(bx, x.data(), 32);
    BN_bn2binpad(by, y.data(), 32);
    BN_free(bx);
    BN_free(by);
}

OsslSm2Key::~OsslSm2Key() {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(pkey));
}

Bytes OsslSm2Key::decryptRaw(const Bytes& raw) const {
    const Bytes der = rawToDer(raw);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(static_cast<EVP_PKEY*>(pkey), nullptr);
    size_t n = 0;
    Bytes out;
    if (EVP_PKEY_decrypt_init(ctx) == 1 &&
        EVP_PKEY_decrypt(ctx, nullptr, &n, der.data(), der.size()) == 1) {
        out.resize(n);
        if (EVP_PKEY_decrypt(ctx, out.data(), &n, der.data(), der.size()) == 1) {
            out.resize(n);
        } else {
            out.clear();
        }
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}
