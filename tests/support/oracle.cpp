// The OpenSSL oracle: SM2 over SM3(Z || M), SM2 encryption in the key's
// raw layout, SM4, certificates and PKCS#7.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <algorithm>

#include <cstring>

#include "tests/support/support.h"

namespace support {

namespace {

const char kId[] = "1234567812345678";
const uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                               0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x81, 0x1c,
                               0xcf, 0x55, 0x01, 0x82, 0x2d, 0x03, 0x42, 0x00};

EVP_PKEY* sm2Public(const Bytes& pub65) {
    if (pub65.size() != 65) return nullptr;
    Bytes spki(kSpkiPrefix, kSpkiPrefix + sizeof kSpkiPrefix);
    spki.insert(spki.end(), pub65.begin(), pub65.end());
    const uint8_t* p = spki.data();
    return d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
}

std::string oidText(const ASN1_OBJECT* o) {
    char buf[128] = {0};
    if (o) OBJ_obj2txt(buf, sizeof buf, o, 1);
    return buf;
}

// A DER reader for the SM2 ciphertext SEQUENCE.
bool readTlv(const uint8_t*& p, const uint8_t* end, uint8_t tag, Bytes& value) {
    if (end - p < 2 || p[0] != tag) return false;
    size_t len = p[1];
    size_t head = 2;
    if (len & 0x80) {
        size_t n = len & 0x7F;
        if (n == 0 || n > 2 || static_cast<size_t>(end - p) < 2 + n) return false;
        len = 0;
        for (size_t i = 0; i < n; ++i)
            len = len << 8 | p[2 + i];
        head = 2 + n;
    }
    if (static_cast<size_t>(end - p) < head + len) return false;
    value.assign(p + head, p + head + len);
    p += head + len;
    return true;
}

Bytes pad32(const Bytes& integer) {
    BIGNUM* bn = BN_bin2bn(integer.data(), static_cast<int>(integer.size()), nullptr);
    Bytes out(32);
    BN_bn2binpad(bn, out.data(), 32);
    BN_free(bn);
    return out;
}

// DER writers for the SM2 ciphertext SEQUENCE.
void derTlv(Bytes& out, uint8_t tag, const Bytes& v) {
    out.push_back(tag);
    if (v.size() >= 0x100)
        out.insert(out.end(), {0x82, static_cast<uint8_t>(v.size() >> 8)});
    else if (v.size() >= 0x80)
        out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(v.size()));
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

}  // namespace

Bytes fromHex(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}

std::string toHex(const Bytes& b) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

Bytes fromBase64(const std::string& text) {
    if (text.empty()) return {};
    Bytes out(text.size() / 4 * 3 + 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const uint8_t*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) return {};
    size_t pad = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::string toBase64(const Bytes& b) {
    std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
    int n =
        EVP_EncodeBlock(reinterpret_cast<uint8_t*>(&out[0]), b.data(), static_cast<int>(b.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes sm2Point(const Bytes& x, const Bytes& y) {
    // Sized first: GCC's bounds warning misreads inserts into a one-byte vector.
    Bytes pub(1 + x.size() + y.size());
    pub[0] = 0x04;
    std::copy(x.begin(), x.end(), pub.begin() + 1);
    std::copy(y.begin(), y.end(), pub.begin() + 1 + static_cast<std::ptrdiff_t>(x.size()));
    return pub;
}

bool sm2Verify(const Bytes& pub65, const Bytes& msg, const Bytes& r, const Bytes& s) {
    // OpenSSL accepts only the minimal encoding of r and s, so they are
    // encoded anew whatever zero bytes lead them.
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(r.data(), static_cast<int>(r.size()), nullptr),
                   BN_bin2bn(s.data(), static_cast<int>(s.size()), nullptr));
    uint8_t* canon = nullptr;
    int n = i2d_ECDSA_SIG(sig, &canon);
    ECDSA_SIG_free(sig);
    if (n <= 0) return false;
    const Bytes der(canon, canon + n);
    OPENSSL_free(canon);

    EVP_PKEY* key = sm2Public(pub65);
    if (!key) return false;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = md && pctx && EVP_PKEY_CTX_set1_id(pctx, kId, 16) > 0;
    if (ok) {
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        ok = EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
             EVP_DigestVerify(md, der.data(), der.size(), msg.data(), msg.size()) == 1;
    }
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    EVP_PKEY_free(key);
    return ok;
}

bool sm2VerifyDer(const Bytes& pub65, const Bytes& msg, const Bytes& text) {
    // The signature text keeps 32-byte integers, leading zero bytes and all
    // (about one signature in 256 starts that way), so r and s are read here.
    Bytes seq, r, s;
    const uint8_t* p = text.data();
    if (!readTlv(p, text.data() + text.size(), 0x30, seq) || p != text.data() + text.size())
        return false;
    p = seq.data();
    const uint8_t* end = seq.data() + seq.size();
    if (!readTlv(p, end, 0x02, r) || !readTlv(p, end, 0x02, s) || p != end) return false;
    return sm2Verify(pub65, msg, r, s);
}

Bytes sm2EncryptRaw(const Bytes& pub65, const Bytes& plain) {
    EVP_PKEY* key = sm2Public(pub65);
    if (!key) return {};
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes der;
    size_t n = 0;
    if (ctx && EVP_PKEY_encrypt_init(ctx) == 1 &&
        EVP_PKEY_encrypt(ctx, nullptr, &n, plain.data(), plain.size()) == 1) {
        der.resize(n);
        if (EVP_PKEY_encrypt(ctx, der.data(), &n, plain.data(), plain.size()) == 1)
            der.resize(n);
        else
            der.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    Bytes seq, x, y, c3, c2;
    const uint8_t* p = der.data();
    const uint8_t* end = p + der.size();
    if (!readTlv(p, end, 0x30, seq)) return {};
    p = seq.data();
    end = p + seq.size();
    if (!readTlv(p, end, 0x02, x) || !readTlv(p, end, 0x02, y) || !readTlv(p, end, 0x04, c3) ||
        !readTlv(p, end, 0x04, c2))
        return {};
    Bytes raw = pad32(x);
    Bytes yy = pad32(y);
    raw.insert(raw.end(), yy.begin(), yy.end());
    raw.insert(raw.end(), c3.begin(), c3.end());
    raw.insert(raw.end(), c2.begin(), c2.end());
    return raw;
}

Bytes sm3WithZ(const Bytes& pub65, const Bytes& msg) {
    Bytes z = fromHex("0080");
    z.insert(z.end(), kId, kId + 16);
    const Bytes curve = fromHex(
        "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
        "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
        "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
        "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0");
    z.insert(z.end(), curve.begin(), curve.end());
    z.insert(z.end(), pub65.begin() + 1, pub65.end());
    Bytes zh(32), e(32);
    unsigned int n = 0;
    EVP_Digest(z.data(), z.size(), zh.data(), &n, EVP_sm3(), nullptr);
    zh.insert(zh.end(), msg.begin(), msg.end());
    EVP_Digest(zh.data(), zh.size(), e.data(), &n, EVP_sm3(), nullptr);
    return e;
}

Sm2KeyPair::Sm2KeyPair() {
    EVP_PKEY* pk = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    pkey_ = pk;
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

Sm2KeyPair::~Sm2KeyPair() {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(pkey_));
}

Bytes Sm2KeyPair::decryptRaw(const Bytes& raw) const {
    if (raw.size() < 96) return {};
    const Bytes der = rawToDer(raw);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(static_cast<EVP_PKEY*>(pkey_), nullptr);
    size_t n = 0;
    Bytes out;
    if (EVP_PKEY_decrypt_init(ctx) == 1 &&
        EVP_PKEY_decrypt(ctx, nullptr, &n, der.data(), der.size()) == 1) {
        out.resize(n);
        if (EVP_PKEY_decrypt(ctx, out.data(), &n, der.data(), der.size()) == 1)
            out.resize(n);
        else
            out.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

bool Sm2KeyPair::sign(const Bytes& msg, Bytes& r, Bytes& s, const std::string& id) const {
    auto* key = static_cast<EVP_PKEY*>(pkey_);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes der(80);
    size_t n = der.size();
    bool ok = md && pctx && EVP_PKEY_CTX_set1_id(pctx, id.data(), static_cast<int>(id.size())) > 0;
    if (ok) {
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        ok = EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
             EVP_DigestSign(md, der.data(), &n, msg.data(), msg.size()) == 1;
    }
    const uint8_t* p = der.data();
    ECDSA_SIG* sig = ok ? d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(n)) : nullptr;
    ok = sig != nullptr;
    if (ok) {
        r.assign(32, 0);
        s.assign(32, 0);
        BN_bn2binpad(ECDSA_SIG_get0_r(sig), r.data(), 32);
        BN_bn2binpad(ECDSA_SIG_get0_s(sig), s.data(), 32);
    }
    ECDSA_SIG_free(sig);
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

Bytes sm2SignatureDer(const Bytes& r, const Bytes& s, bool keyForm) {
    Bytes body;
    for (const Bytes* v : {&r, &s}) {
        size_t i = 0;
        while (!keyForm && i + 1 < v->size() && (*v)[i] == 0)
            ++i;
        Bytes value(v->begin() + static_cast<long>(i), v->end());
        if (value[0] & 0x80) value.insert(value.begin(), 0);
        body.insert(body.end(), {0x02, static_cast<uint8_t>(value.size())});
        body.insert(body.end(), value.begin(), value.end());
    }
    body.insert(body.begin(), {0x30, static_cast<uint8_t>(body.size())});
    return body;
}

Bytes sm4EcbEncrypt(const Bytes& key, const Bytes& plain) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(plain.size() + 16);
    int n = 0, m = 0;
    EVP_EncryptInit_ex(ctx, EVP_sm4_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n) + static_cast<size_t>(m));
    return out;
}

Bytes certPublicKey(const Bytes& der) {
    const uint8_t* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!cert) return {};
    Bytes out(65);
    size_t n = 0;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (!key || EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.data(),
                                                out.size(), &n) != 1)
        n = 0;
    out.resize(n);
    X509_free(cert);
    return out;
}

SignedData parseSignedData(const Bytes& der) {
    SignedData sd;
    const uint8_t* p = der.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
    if (!p7) return sd;
    sd.contentType = oidText(p7->type);
    if (PKCS7_type_is_signed(p7)) {
        PKCS7_SIGNED* s = p7->d.sign;
        if (s->contents) {
            sd.innerType = oidText(s->contents->type);
            if (PKCS7_type_is_data(s->contents) && s->contents->d.data)
                sd.content.assign(s->contents->d.data->data,
                                  s->contents->d.data->data + s->contents->d.data->length);
        }
        X509* cert = nullptr;
        if (s->cert && sk_X509_num(s->cert) > 0) {
            cert = sk_X509_value(s->cert, 0);
            uint8_t* out = nullptr;
            int n = i2d_X509(cert, &out);
            if (n > 0) sd.certificate.assign(out, out + n);
            OPENSSL_free(out);
        }
        STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
        if (infos && sk_PKCS7_SIGNER_INFO_num(infos) > 0) {
            PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
            sd.digestAlg = oidText(si->digest_alg->algorithm);
            sd.signatureAlg = oidText(si->digest_enc_alg->algorithm);
            sd.signature.assign(si->enc_digest->data,
                                si->enc_digest->data + si->enc_digest->length);
            char name[256] = {0};
            X509_NAME_oneline(si->issuer_and_serial->issuer, name, sizeof name);
            sd.issuerOfSigner = name;
            if (cert) {
                X509_NAME_oneline(X509_get_issuer_name(cert), name, sizeof name);
                sd.issuerOfCert = name;
                sd.serialMatches = ASN1_INTEGER_cmp(si->issuer_and_serial->serial,
                                                    X509_get0_serialNumber(cert)) == 0;
            }
        }
        sd.parsed = true;
    }
    PKCS7_free(p7);
    return sd;
}

}  // namespace support
