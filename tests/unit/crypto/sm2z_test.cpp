// The Z value is checked the only way that matters: OpenSSL, computing Z
// itself from the signer ID, must accept signatures over our SM3(Z || M),
// and signatures it makes must verify against our digest.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include "crypto/crypto.h"
#include "tests/unit/crypto/testutil.h"

namespace {

const char kDefaultId[] = "1234567812345678";

// A fixed SM2 key pair (private scalar from the GM/T 0003 example).
struct Sm2Key {
    EVP_PKEY* pkey = nullptr;
    uint8_t x[32], y[32];

    Sm2Key() {
        BIGNUM* d = nullptr;
        BN_hex2bn(&d, "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8");
        EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
        EC_POINT* pub = EC_POINT_new(group);
        EC_POINT_mul(group, pub, d, nullptr, nullptr, nullptr);
        uint8_t pt[65];
        EC_POINT_point2oct(group, pub, POINT_CONVERSION_UNCOMPRESSED, pt, sizeof pt, nullptr);
        memcpy(x, pt + 1, 32);
        memcpy(y, pt + 33, 32);

        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, d);
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pt, sizeof pt);
        OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
        EVP_PKEY_fromdata_init(ctx);
        EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        EC_POINT_free(pub);
        EC_GROUP_free(group);
        BN_free(d);
    }
    ~Sm2Key() { EVP_PKEY_free(pkey); }

    // Signs the 32-byte e as it is (no hashing by OpenSSL).
    Bytes signDigest(const uint8_t* e) const {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
        Bytes sig(80);
        size_t len = sig.size();
        bool ok =
            EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, sig.data(), &len, e, kSm3Len) == 1;
        EVP_PKEY_CTX_free(ctx);
        sig.resize(ok ? len : 0);
        return sig;
    }
    bool verifyDigest(const uint8_t* e, const Bytes& sig) const {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
        bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_verify(ctx, sig.data(), sig.size(), e, kSm3Len) == 1;
        EVP_PKEY_CTX_free(ctx);
        return ok;
    }
    // OpenSSL computes Z from id (nullptr: its default, the empty ID).
    Bytes signMessage(const Bytes& m, const char* id) const {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(pkey, nullptr);
        if (id) EVP_PKEY_CTX_set1_id(pctx, id, static_cast<int>(strlen(id)));
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        Bytes sig(80);
        size_t len = sig.size();
        bool ok = EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, pkey) == 1 &&
                  EVP_DigestSign(md, sig.data(), &len, m.data(), m.size()) == 1;
        EVP_MD_CTX_free(md);
        EVP_PKEY_CTX_free(pctx);
        sig.resize(ok ? len : 0);
        return sig;
    }
    bool verifyMessage(const Bytes& m, const Bytes& sig, const char* id) const {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(pkey, nullptr);
        if (id) EVP_PKEY_CTX_set1_id(pctx, id, static_cast<int>(strlen(id)));
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, pkey) == 1 &&
                  EVP_DigestVerify(md, sig.data(), sig.size(), m.data(), m.size()) == 1;
        EVP_MD_CTX_free(md);
        EVP_PKEY_CTX_free(pctx);
        return ok;
    }
};

const uint8_t* idBytes(const char* s) {
    return reinterpret_cast<const uint8_t*>(s);
}

}  // namespace

TEST(Sm2Z, OpenSslVerifiesSignaturesOverOurDigest) {
    Sm2Key key;
    ASSERT_NE(key.pkey, nullptr);
    ASSERT_TRUE(EVP_PKEY_is_a(key.pkey, "SM2"));
    std::mt19937 rng(10);
    for (size_t n : {0, 1, 55, 56, 64, 100, 1000, 3886}) {
        Bytes m = randomBytes(rng, n);
        uint8_t e[kSm3Len];
        ASSERT_EQ(sm3WithZ(e, m.data(), static_cast<uint32_t>(n), key.x, key.y), kSm3Len);
        Bytes sig = key.signDigest(e);
        ASSERT_FALSE(sig.empty());
        EXPECT_TRUE(key.verifyMessage(m, sig, kDefaultId)) << "length " << n;
        // OpenSSL's own signature verifies against our digest too.
        EXPECT_TRUE(key.verifyDigest(e, key.signMessage(m, kDefaultId))) << "length " << n;
    }
}

TEST(Sm2Z, TheIdentityTakesPartInTheDigest) {
    Sm2Key key;
    Bytes m = {'h', 'e', 'l', 'l', 'o'};
    uint8_t e[kSm3Len];
    const char other[] = "1234567812345679";
    ASSERT_EQ(sm2HashZValue(key.x, key.y, idBytes(other), 16, m.data(), 5, e), 0);
    Bytes sig = key.signDigest(e);
    EXPECT_FALSE(key.verifyMessage(m, sig, kDefaultId));
    EXPECT_TRUE(key.verifyMessage(m, sig, other));
    // A non-null ID of length 0 is the empty identity, OpenSSL's default.
    ASSERT_EQ(sm2HashZValue(key.x, key.y, idBytes(""), 0, m.data(), 5, e), 0);
    EXPECT_TRUE(key.verifyMessage(m, key.signDigest(e), nullptr));
}

TEST(Sm2Z, ZInputLayoutAndTheTwoEntryPointsAgree) {
    Sm2Key key;
    Guarded z(210);
    ASSERT_EQ(sm3_ZVal(z.data(), key.x, key.y), 210);
    EXPECT_TRUE(z.intact());
    Bytes zin = z.bytes();
    EXPECT_EQ(zin[0], 0x00);
    EXPECT_EQ(zin[1], 0x80);
    EXPECT_EQ(std::string(zin.begin() + 2, zin.begin() + 18), kDefaultId);
    EXPECT_EQ(Bytes(zin.begin() + 146, zin.begin() + 178), Bytes(key.x, key.x + 32));
    EXPECT_EQ(Bytes(zin.begin() + 178, zin.end()), Bytes(key.y, key.y + 32));

    uint8_t exported[300];
    uint32_t n = sizeof exported;
    ASSERT_EQ(sm2ExportZValue(key.x, key.y, idBytes(kDefaultId), 16, exported, &n), 0);
    EXPECT_EQ(Bytes(exported, exported + n), zin);

    // SM3(SM3(Z input) || M) by hand equals both digest functions.
    Bytes m = {1, 2, 3, 4, 5, 6, 7};
    Bytes chained = osslDigest(EVP_sm3(), zin.data(), zin.size());
    chained.insert(chained.end(), m.begin(), m.end());
    std::string expected = toHex(osslDigest(EVP_sm3(), chained.data(), chained.size()));
    uint8_t a[kSm3Len], b[kSm3Len];
    ASSERT_EQ(sm3WithZ(a, m.data(), 7, key.x, key.y), kSm3Len);
    ASSERT_EQ(sm2HashZValue(key.x, key.y, idBytes(kDefaultId), 16, m.data(), 7, b), 0);
    EXPECT_EQ(toHex(a, 32), expected);
    EXPECT_EQ(toHex(b, 32), expected);
}

TEST(Sm2Z, LimitsAndFallbackIdentity) {
    Sm2Key key;
    Bytes m(3887, 0x61);
    Guarded out(kSm3Len);
    EXPECT_EQ(sm3WithZ(out.data(), m.data(), 3886, key.x, key.y), kSm3Len);
    Bytes before = out.bytes();
    EXPECT_EQ(sm3WithZ(out.data(), m.data(), 3887, key.x, key.y), 0);
    EXPECT_EQ(out.bytes(), before);  // refused without writing
    EXPECT_TRUE(out.intact());

    // Capacity of the Z input buffer is checked; IDs of 8192 bytes are refused.
    uint8_t buf[400];
    uint32_t n = 209;
    EXPECT_EQ(sm2ExportZValue(key.x, key.y, idBytes(kDefaultId), 16, buf, &n), -1);
    Bytes longId(8192, 'i');
    n = sizeof buf;
    EXPECT_EQ(sm2ExportZValue(key.x, key.y, longId.data(), 8192, buf, &n), -1);
    uint8_t e[kSm3Len];
    EXPECT_EQ(sm2HashZValue(key.x, key.y, longId.data(), 8192, m.data(), 1, e), -1);
    EXPECT_EQ(sm2HashZValue(key.x, key.y, nullptr, 5, m.data(), 1, e), -1);

    // No identity and length 0: the built-in 18-byte identity.
    n = sizeof buf;
    ASSERT_EQ(sm2ExportZValue(key.x, key.y, nullptr, 0, buf, &n), 0);
    EXPECT_EQ(n, 194u + 18u);
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(buf[1], 18 * 8);
    EXPECT_EQ(Bytes(buf + 2, buf + 20), Bytes(ENTLA_ID, ENTLA_ID + 18));
    ASSERT_EQ(sm2HashZValue(key.x, key.y, nullptr, 0, m.data(), 10, e), 0);
    std::string fallbackId(reinterpret_cast<const char*>(ENTLA_ID), 18);
    EXPECT_TRUE(
        key.verifyMessage(Bytes(m.begin(), m.begin() + 10), key.signDigest(e), fallbackId.c_str()));
}
