#include "tests/unit/vkey/vk_helpers.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vkt {

void le16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void le32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void append(Bytes& b, const Bytes& more) {
    // Grown, then copied into: GCC 12 at -O3 reports a range insert into a
    // small vector as out of bounds (a false -Warray-bounds).
    const size_t at = b.size();
    const size_t n = more.size();
    b.resize(at + n);
    std::copy_n(more.begin(), n, b.begin() + static_cast<std::ptrdiff_t>(at));
}
void append(Bytes& b, const std::string& text) {
    b.insert(b.end(), text.begin(), text.end());
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

uint16_t fletcher(const uint8_t* p, size_t n) {
    unsigned a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) & 0xFFFF;
        b = (b + a) & 0xFFFF;
    }
    return static_cast<uint16_t>(b);
}

Bytes makeFrame(uint8_t channel, uint8_t seq, const Bytes& payload) {
    Bytes f = {0xAA,
               static_cast<uint8_t>(payload.size() >> 8),
               static_cast<uint8_t>(payload.size()),
               channel,
               0,
               seq,
               0};
    append(f, payload);
    uint16_t sum = fletcher(f.data() + 1, f.size() - 1);
    f.push_back(static_cast<uint8_t>(sum >> 8));
    f.push_back(static_cast<uint8_t>(sum));
    f.push_back(0x55);
    return f;
}

Bytes makeApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, uint16_t le) {
    Bytes a = {cla, ins, p1, p2};
    le16(a, static_cast<uint16_t>(data.size()));
    le16(a, le);
    append(a, data);
    return a;
}

bool parseReply(const Bytes& f, uint8_t& channel, uint8_t& seq, Bytes& payload) {
    if (f.size() < 10 || f[0] != 0xAA) return false;
    size_t len = static_cast<size_t>(f[1]) << 8 | f[2];
    if (f.size() < len + 10) return false;
    uint16_t sum = static_cast<uint16_t>(f[7 + len] << 8 | f[8 + len]);
    if (sum != fletcher(f.data() + 1, 6 + len) || f[9 + len] != 0x55 || f[6] != 0) return false;
    channel = f[3];
    seq = f[5];
    payload.assign(f.begin() + 7, f.begin() + 7 + static_cast<long>(len));
    return true;
}

Bytes modulePayload(uint16_t cmd, const Bytes& data) {
    Bytes p;
    le16(p, cmd);
    le16(p, static_cast<uint16_t>(data.size()));
    append(p, data);
    return p;
}

ModuleReply parseModuleReply(const Bytes& f) {
    ModuleReply r;
    if (f.size() < 14 || f[0] != 0xAA) return r;
    size_t len = static_cast<size_t>(f[1]) << 8 | f[2];
    if (f.size() < len + 10 || len < 4) return r;
    uint16_t sum = static_cast<uint16_t>(f[7 + len] << 8 | f[8 + len]);
    if (sum != fletcher(f.data() + 1, 6 + len) || f[9 + len] != 0x55 || f[4] != 0) return r;
    size_t n = f[9] | f[10] << 8;
    if (n + 4 != len) return r;
    r.channel = f[3];
    r.seq = f[5];
    r.cont = f[6];
    r.status = static_cast<uint16_t>(f[7] | f[8] << 8);
    r.data.assign(f.begin() + 11, f.begin() + 11 + static_cast<long>(n));
    r.ok = true;
    return r;
}

bool EnginePort::exchange(const Bytes& request, Bytes& reply) {
    reply.assign(vkey::kMaxFrame + 64, 0);
    size_t n = m_key.handleFrame(request.data(), request.size(), reply.data(), reply.size());
    reply.resize(n);
    return n > 0;
}

// ---------------------------------------------------------------------------

Resp Client::raw(const Bytes& apdu) {
    Resp r;
    lastSeq = m_seq++;
    Bytes reply, payload;
    if (!m_port.exchange(makeFrame(8, lastSeq, apdu), reply)) return r;
    if (!parseReply(reply, lastReplyChannel, lastReplySeq, payload) || payload.size() < 4) return r;
    r.sw = static_cast<uint16_t>(payload[0] | payload[1] << 8);
    size_t n = payload[2] | payload[3] << 8;
    if (payload.size() != 4 + n) return Resp();
    r.data.assign(payload.begin() + 4, payload.end());
    return r;
}

Resp Client::cmd(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, uint16_t le, uint8_t cla) {
    return raw(makeApdu(cla, ins, p1, p2, data, le));
}

Bytes Client::challenge() {
    Resp r = cmd(0x50, 0, 0, {}, 8);
    if (r.sw != 0x9000 || r.data.size() != 8) throw std::runtime_error("no challenge");
    return r.data;
}

Resp Client::devAuth(const std::string& key16) {
    Bytes block = challenge();
    block.resize(16, 0);
    return cmd(0x10, 0, 0, sm4Ecb(Bytes(key16.begin(), key16.end()), block, true));
}

Resp Client::createApp(const std::string& name, const std::string& adminPin,
                       const std::string& userPin, uint32_t tries, uint32_t rights) {
    Bytes rec(80, 0);
    memcpy(rec.data(), name.data(), name.size() < 32 ? name.size() : 32);
    memcpy(rec.data() + 32, adminPin.data(), adminPin.size());
    rec[48] = static_cast<uint8_t>(tries);
    memcpy(rec.data() + 52, userPin.data(), userPin.size());
    rec[68] = static_cast<uint8_t>(tries);
    for (int i = 0; i < 4; ++i)
        rec[72 + i] = static_cast<uint8_t>(rights >> (8 * i));
    return cmd(0x20, 0, 0, rec);
}

Resp Client::openApp(const std::string& name) {
    return cmd(0x26, 0, 0, Bytes(name.begin(), name.end()), 10);
}

uint16_t Client::appId(const std::string& name) {
    Resp r = openApp(name);
    if (r.sw != 0x9000 || r.data.size() != 10) return 0;
    return static_cast<uint16_t>(r.data[8] | r.data[9] << 8);
}

Resp Client::verifyPin(uint16_t app, uint8_t type, const std::string& pin) {
    Bytes chal = challenge();
    Bytes d;
    le16(d, app);
    append(d, pinCryptogram(pin, chal));
    return cmd(0x18, 0, type, d);
}

Resp Client::createContainer(uint16_t app, const std::string& name) {
    Bytes d;
    le16(d, app);
    append(d, name);
    return cmd(0x40, 0, 0, d, 2);
}

Resp Client::openContainer(uint16_t app, const std::string& name) {
    Bytes d;
    le16(d, app);
    append(d, name);
    return cmd(0x42, 0, 0, d, 2);
}

Resp Client::closeContainer(uint16_t app, uint16_t con) {
    Bytes d;
    le16(d, app);
    le16(d, con);
    return cmd(0x44, 0, 0, d);
}

Resp Client::listAll(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, int& replies) {
    Resp all;
    replies = 0;
    for (;;) {
        Resp r = cmd(ins, p1, p2, data);
        ++replies;
        if (r.sw != 0x9000 && r.sw != 0x6A9E) return r;
        append(all.data, r.data);
        if (r.sw == 0x9000 || replies > 100) {
            all.sw = r.sw;
            return all;
        }
        if (!all.data.empty()) all.data.pop_back();
    }
}

Resp Client::protectedPin(uint8_t ins, uint8_t p2, uint16_t app, const std::string& macPin,
                          const std::string& newPin) {
    Bytes key = pinKey(macPin);
    Bytes d;
    le16(d, app);
    append(d, wrapPin(key, newPin));
    d.insert(d.end(), 4, 0);  // MAC placeholder, counted in Lc
    Bytes apdu = makeApdu(0x84, ins, 0, p2, d);
    Bytes iv = challenge();
    iv.resize(16, 0);
    Bytes mac = sm4Mac(key, iv, Bytes(apdu.begin(), apdu.end() - 4));
    memcpy(apdu.data() + apdu.size() - 4, mac.data(), 4);
    return raw(apdu);
}

// ---------------------------------------------------------------------------

static Bytes sm4Run(const EVP_CIPHER* c, const Bytes& key, const Bytes* iv, const Bytes& in,
                    bool enc) {
    Bytes out(in.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, f = 0;
    EVP_CipherInit_ex(ctx, c, nullptr, key.data(), iv ? iv->data() : nullptr, enc);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &f);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n) + static_cast<size_t>(f));
    return out;
}

Bytes sm4Ecb(const Bytes& key, const Bytes& in, bool encrypt) {
    return sm4Run(EVP_sm4_ecb(), key, nullptr, in, encrypt);
}

Bytes pinKey(const std::string& pin) {
    Bytes p(16, 0);
    memcpy(p.data(), pin.data(), pin.size());
    Bytes md(20);
    unsigned int n = 0;
    EVP_Digest(p.data(), p.size(), md.data(), &n, EVP_sha1(), nullptr);
    md.resize(16);
    return md;
}

Bytes pinCryptogram(const std::string& pin, const Bytes& challenge) {
    Bytes m = {0x08, 0x00};
    append(m, challenge);
    m.push_back(0x80);
    m.resize(16, 0);
    return sm4Ecb(pinKey(pin), m, true);
}

Bytes sm4Mac(const Bytes& key, const Bytes& iv, const Bytes& data) {
    Bytes buf = data;
    buf.push_back(0x80);
    while (buf.size() % 16)
        buf.push_back(0);
    Bytes enc = sm4Run(EVP_sm4_cbc(), key, &iv, buf, true);
    return Bytes(enc.end() - 16, enc.end() - 12);
}

Bytes wrapPin(const Bytes& key, const std::string& pin) {
    Bytes b;
    le16(b, static_cast<uint16_t>(pin.size()));
    append(b, pin);
    b.push_back(0x80);
    while (b.size() % 16)
        b.push_back(0);
    return sm4Ecb(key, b, true);
}

Bytes randomBytes(size_t n) {
    Bytes b(n);
    RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

static Bytes bnParam(EVP_PKEY* pk, const char* name) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(pk, name, &bn);
    Bytes out(32);
    BN_bn2binpad(bn, out.data(), 32);
    BN_clear_free(bn);
    return out;
}

Sm2Key sm2NewKey() {
    EVP_PKEY* pk = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    Sm2Key k{bnParam(pk, OSSL_PKEY_PARAM_EC_PUB_X), bnParam(pk, OSSL_PKEY_PARAM_EC_PUB_Y),
             bnParam(pk, OSSL_PKEY_PARAM_PRIV_KEY)};
    EVP_PKEY_free(pk);
    return k;
}

// A public key through the SubjectPublicKeyInfo form, a different road from
// the key's own import.
static EVP_PKEY* publicKey(const Bytes& x, const Bytes& y) {
    Bytes der = fromHex("3059301306072a8648ce3d020106082a811ccf5501822d034200");
    der.push_back(0x04);
    append(der, x);
    append(der, y);
    const unsigned char* p = der.data();
    return d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
}

static EVP_PKEY* privateKey(const Sm2Key& k) {
    // PKCS#8-free route: the key pair from its scalar through EC_KEY-less
    // fromdata with the public point.
    OSSL_PARAM params[4];
    Bytes pub = {0x04};
    append(pub, k.x);
    append(pub, k.y);
    BIGNUM* d = BN_bin2bn(k.d.data(), 32, nullptr);
    Bytes dle(32);
    BN_bn2nativepad(d, dle.data(), 32);
    BN_free(d);
    char group[] = "SM2";
    params[0] = OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0);
    params[1] = OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
    params[2] = OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, dle.data(), dle.size());
    params[3] = OSSL_PARAM_construct_end();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* pk = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &pk, EVP_PKEY_KEYPAIR, params);
    EVP_PKEY_CTX_free(ctx);
    return pk;
}

bool sm2Verify(const Bytes& x, const Bytes& y, const Bytes& e, const Bytes& r, const Bytes& s) {
    EVP_PKEY* pk = publicKey(x, y);
    if (pk == nullptr) return false;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(r.data(), static_cast<int>(r.size()), nullptr),
                   BN_bin2bn(s.data(), static_cast<int>(s.size()), nullptr));
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(sig, &der);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pk, nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_verify(ctx, der, static_cast<size_t>(n), e.data(), e.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    EVP_PKEY_free(pk);
    return ok;
}

Bytes sm2EncryptRaw(const Bytes& x, const Bytes& y, const Bytes& plain) {
    return support::sm2EncryptRaw(support::sm2Point(x, y), plain);
}

bool sm2DecryptRaw(const Sm2Key& k, const Bytes& raw, Bytes& plain) {
    if (raw.size() < 97) return false;
    ASN1_SEQUENCE_ANY* seq = sk_ASN1_TYPE_new_null();
    for (size_t i = 0; i < 2; ++i) {
        BIGNUM* bn = BN_bin2bn(raw.data() + 32 * i, 32, nullptr);
        ASN1_TYPE* t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_INTEGER, BN_to_ASN1_INTEGER(bn, nullptr));
        BN_free(bn);
        sk_ASN1_TYPE_push(seq, t);
    }
    const size_t parts[2][2] = {{64, 32}, {96, raw.size() - 96}};
    for (const auto& part : parts) {
        ASN1_OCTET_STRING* o = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(o, raw.data() + part[0], static_cast<int>(part[1]));
        ASN1_TYPE* t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, o);
        sk_ASN1_TYPE_push(seq, t);
    }
    unsigned char* der = nullptr;
    int n = i2d_ASN1_SEQUENCE_ANY(seq, &der);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    EVP_PKEY* pk = privateKey(k);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pk, nullptr);
    size_t len = 0;
    bool ok = EVP_PKEY_decrypt_init(ctx) == 1 &&
              EVP_PKEY_decrypt(ctx, nullptr, &len, der, static_cast<size_t>(n)) == 1;
    if (ok) {
        plain.resize(len);
        ok = EVP_PKEY_decrypt(ctx, plain.data(), &len, der, static_cast<size_t>(n)) == 1;
        plain.resize(len);
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pk);
    OPENSSL_free(der);
    return ok;
}

// ---------------------------------------------------------------------------

std::unique_ptr<vkey::Key> openKey(const std::string& dir, vkey::OpenResult* rc) {
    std::unique_ptr<vkey::Key> key;
    std::string err;
    vkey::OpenResult r = vkey::Key::open(dir, nullptr, key, err);
    if (rc) *rc = r;
    return key;
}

}  // namespace vkt
