#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>

#include "crypto/crypto.h"
#include "tests/unit/crypto/testutil.h"
#include "util/util.h"

namespace {

std::string hexOf(const cTlv& t) {
    return toHex(t.buf(), t.len());
}

// DER of SEQUENCE { INTEGER r, INTEGER s } by OpenSSL.
Bytes osslSignatureDer(const uint8_t* rs) {
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs, 32, nullptr), BN_bin2bn(rs + 32, 32, nullptr));
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(sig, &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

// INTEGER TLV of an unsigned value by OpenSSL.
Bytes osslInteger(const Bytes& v) {
    BIGNUM* bn = BN_bin2bn(v.data(), static_cast<int>(v.size()), nullptr);
    ASN1_INTEGER* ai = BN_to_ASN1_INTEGER(bn, nullptr);
    unsigned char* der = nullptr;
    int n = i2d_ASN1_INTEGER(ai, &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    ASN1_INTEGER_free(ai);
    BN_free(bn);
    return out;
}

}  // namespace

TEST(DerTlv, LengthHeaders) {
    cxBuf::init(0);
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "0400"},     {5, "0405"},     {127, "047f"},     {128, "048180"},
        {200, "0481c8"}, {255, "0481ff"}, {256, "04820100"}, {300, "0482012c"},
    };
    for (const auto& c : cases) {
        cTlv t(0x04, c.first);
        ASSERT_TRUE(t.ok()) << c.first;
        const size_t h = strlen(c.second) / 2;
        EXPECT_EQ(t.len(), h + c.first);
        EXPECT_EQ(toHex(t.buf(), h), c.second);
        EXPECT_EQ(t.complete(), c.first == 0);
    }
    // Beyond 65535 the element is refused rather than given a wrong header.
    cxBuf::init(0);
    cTlv big(0x04, 65536);
    EXPECT_FALSE(big.ok());
    EXPECT_EQ(big.len(), 0u);
    EXPECT_EQ(cxBuf::left(), cxBuf::kSize);
}

TEST(DerTlv, BuildsNestedElements) {
    cxBuf::init(0);
    cTlv oid(0x06, 3);
    oid.addv1(0x2A).addbuf(fromHex("8648").data(), 2);
    ASSERT_TRUE(oid.complete());
    cTlv seq(0x30, oid.len() + 2);
    seq.addtlv(oid).addv1(0x05).addv1(0x00);
    ASSERT_TRUE(seq.complete());
    EXPECT_EQ(hexOf(seq),
              "3007"
              "06032a8648"
              "0500");
    cTlv wrapped(0xA0, seq);
    EXPECT_TRUE(wrapped.complete());
    EXPECT_EQ(hexOf(wrapped),
              "a009"
              "300706032a86480500");
    cTlv empty;
    EXPECT_EQ(empty.len(), 0u);
    cTlv set(0x31, empty);
    EXPECT_EQ(hexOf(set), "3100");
}

TEST(DerTlv, AppendPastTheDeclaredLengthIsRefused) {
    uint8_t* arena = cxBuf::init(0);
    cTlv t(0x04, 2);
    t.addbuf(fromHex("0102").data(), 2);
    ASSERT_TRUE(t.complete());
    t.addv1(0x03);
    EXPECT_FALSE(t.ok());
    EXPECT_EQ(arena[4], 0x00);  // nothing written after the value
    cTlv u(0x04, 2);
    u.addbuf(fromHex("010203").data(), 3);
    EXPECT_FALSE(u.ok());
    // A parent built from a failed element fails too.
    cTlv parent(0x30, t);
    EXPECT_FALSE(parent.ok());
    cTlv other(0x30, 4);
    other.addtlv(u);
    EXPECT_FALSE(other.ok());
}

TEST(DerTlv, FullArenaRefusesWithoutRestarting) {
    cxBuf::init(cxBuf::kSize - 20);
    const unsigned wraps = cxBuf::wraps();
    cTlv t(0x04, 13);  // needs 13 + 8 bytes
    EXPECT_FALSE(t.ok());
    EXPECT_EQ(cxBuf::left(), 20u);
    EXPECT_EQ(cxBuf::wraps(), wraps);
    cTlv fits(0x04, 12);
    EXPECT_TRUE(fits.ok());
    EXPECT_EQ(cxBuf::left(), 0u);
}

TEST(DerTlv, AsnIntchk) {
    cxBuf::init(0);
    Bytes v(32, 0x11);
    v[0] = 0, v[1] = 0, v[2] = 0x7F;
    cTlv a;
    ASSERT_EQ(asnIntchk(v.data(), 32, a), 0);
    EXPECT_EQ(toHex(a.buf(), 3), "021e7f");
    EXPECT_EQ(a.len(), 32u);
    Bytes high(32, 0x22);
    high[0] = 0x80;
    cTlv b;
    ASSERT_EQ(asnIntchk(high.data(), 32, b), 0);
    EXPECT_EQ(toHex(b.buf(), 4), "02210080");
    cTlv zero;
    ASSERT_EQ(asnIntchk(Bytes(32, 0).data(), 32, zero), 0);
    EXPECT_EQ(hexOf(zero), "020100");

    std::mt19937 rng(50);
    for (int round = 0; round < 500; ++round) {
        cxBuf::init(0);
        Bytes value = randomBytes(rng, 1 + rng() % 40);
        const size_t zeros = rng() % 4;
        for (size_t i = 0; i < zeros && i < value.size(); ++i)
            value[i] = 0;
        cTlv t;
        ASSERT_EQ(asnIntchk(value.data(), static_cast<int>(value.size()), t), 0);
        ASSERT_EQ(hexOf(t), toHex(osslInteger(value))) << toHex(value);
    }
}

TEST(DerTlv, HeaderReaders) {
    EXPECT_EQ(_getTLlen(fromHex("3005").data()), 2);
    EXPECT_EQ(_getTLlen(fromHex("3081c8").data()), 3);
    EXPECT_EQ(_getTLlen(fromHex("3082012c").data()), 4);
    EXPECT_EQ(_getTLlen(fromHex("308301000000").data()), 5);
    EXPECT_EQ(_getTLVlen(fromHex("3005").data()), 7);
    EXPECT_EQ(_getTLVlen(fromHex("3081c8").data()), 203);
    EXPECT_EQ(_getTLVlen(fromHex("3082012c").data()), 304);
}

TEST(Pkcs10, SignatureSequenceMatchesOpenSsl) {
    Bytes rs(64, 0x31);
    uint8_t out[80];
    int n = 0;
    ASSERT_EQ(makepkcs10(rs.data(), out, &n), 0);
    EXPECT_EQ(n, 70);
    EXPECT_EQ(toHex(out, 2), "3044");
    rs[0] = rs[32] = 0x81;
    ASSERT_EQ(makepkcs10(rs.data(), out, &n), 0);
    EXPECT_EQ(n, 72);
    EXPECT_EQ(toHex(out, 2), "3046");
    EXPECT_EQ(makepkcs10(nullptr, out, &n), -1);

    std::mt19937 rng(51);
    for (int round = 0; round < 500; ++round) {
        Bytes sig = randomBytes(rng, 64);
        if (round % 3 == 0) sig[0] = 0;
        if (round % 5 == 0) sig[32] = sig[33] = 0;
        Guarded g(72);
        ASSERT_EQ(makepkcs10(sig.data(), g.data(), &n), 0);
        ASSERT_EQ(toHex(g.data(), static_cast<size_t>(n)), toHex(osslSignatureDer(sig.data())));
        ASSERT_TRUE(g.intact());
    }
}
