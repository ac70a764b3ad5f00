// Signature text, finger-number lists and the small text helpers of the
// session, checked against an independent reading (OpenSSL's DER parser)
// or the documented examples.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "util/util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& h) {
    Bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

// r || s with the given first bytes and a recognisable body.
Bytes rawSig(uint8_t r0, uint8_t s0) {
    Bytes rs(64);
    for (int i = 0; i < 64; ++i)
        rs[i] = static_cast<uint8_t>(i * 7 + 1);
    rs[0] = r0;
    rs[32] = s0;
    return rs;
}

struct Parsed {
    bool ok = false;
    Bytes r, s;
};

// OpenSSL reads the text as a DER ECDSA-Sig-Value; r and s come back as
// 32-byte values.
Parsed parse(const std::string& text) {
    Parsed p;
    Bytes der = fromHex(text);
    const uint8_t* q = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &q, static_cast<long>(der.size()));
    if (!sig || q != der.data() + der.size()) {
        ECDSA_SIG_free(sig);
        return p;
    }
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    p.r.resize(32);
    p.s.resize(32);
    p.ok = BN_bn2binpad(r, p.r.data(), 32) == 32 && BN_bn2binpad(s, p.s.data(), 32) == 32;
    ECDSA_SIG_free(sig);
    return p;
}

class SessionText : public ::testing::Test {
  protected:
    void SetUp() override { CBytesEx::s_SetSpace(false, true); }
};

}  // namespace

TEST_F(SessionText, PackSignAllHighBitCombinations) {
    struct Case {
        uint8_t r0, s0;
        int length;
        const char* head;
    } cases[] = {{0x12, 0x34, 140, "30440220"},
                 {0x92, 0xB4, 144, "3046022100"},
                 {0x92, 0x34, 142, "3045022100"},
                 {0x12, 0xB4, 142, "30450220"},
                 {0x7F, 0x80, 142, "30450220"}};
    for (const Case& c : cases) {
        const Bytes rs = rawSig(c.r0, c.s0);
        uint8_t buf[kSignTextMax + 8];
        memset(buf, 0xEE, sizeof buf);
        memcpy(buf, rs.data(), rs.size());
        int n = CNvId::packSign(buf);
        ASSERT_EQ(n, c.length);
        const std::string text(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        EXPECT_EQ(buf[n], 0);
        EXPECT_EQ(buf[n + 1], 0xEE) << "wrote past the text and its terminator";
        EXPECT_EQ(text.rfind(c.head, 0), 0u) << text;
        EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
        const Parsed p = parse(text);
        ASSERT_TRUE(p.ok) << text;
        EXPECT_EQ(p.r, Bytes(rs.begin(), rs.begin() + 32));
        EXPECT_EQ(p.s, Bytes(rs.begin() + 32, rs.end()));
    }
}

TEST_F(SessionText, PackSignWritesMinimalIntegersForLeadingZeroBytes) {
    struct Case {
        uint8_t r0, r1, s0, s1;
        int length;
        const char* head;
    } cases[] = {
        {0x00, 0x12, 0x34, 0x56, 138, "304302"},      // r shrinks to 31 bytes
        {0x00, 0x92, 0x34, 0x56, 140, "3044022000"},  // 31 bytes with a high bit: 00 again
        {0x00, 0x00, 0x00, 0x05, 134, "3041021E0F"},  // 30 and 31 bytes, ASN.1 length changes
        {0x00, 0x00, 0x80, 0x00, 138, "3043021E"},
    };
    for (const Case& c : cases) {
        Bytes rs = rawSig(c.r0, c.s0);
        rs[1] = c.r1;
        rs[33] = c.s1;
        uint8_t buf[kSignTextMax + 4];
        memset(buf, 0xEE, sizeof buf);
        memcpy(buf, rs.data(), rs.size());
        const int n = CNvId::packSign(buf);
        ASSERT_EQ(n, c.length);
        EXPECT_EQ(buf[n], 0);
        const std::string text(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        EXPECT_EQ(text.rfind(c.head, 0), 0u) << text;
        // OpenSSL's strict DER reader takes it and gives back the same r and s.
        const Parsed p = parse(text);
        ASSERT_TRUE(p.ok) << text;
        EXPECT_EQ(p.r, Bytes(rs.begin(), rs.begin() + 32)) << text;
        EXPECT_EQ(p.s, Bytes(rs.begin() + 32, rs.end())) << text;
    }
}

TEST_F(SessionText, FingerNumberLists) {
    uint8_t a[33] = {7, 2, 5};
    CNvId::sort(a, 3);
    EXPECT_EQ(Bytes(a, a + 3), (Bytes{2, 5, 7}));
    uint8_t u[33] = {7, 2, 5};
    int n = 3;
    CNvId::_getFpLstUnused(u, &n);
    ASSERT_EQ(n, 7);
    EXPECT_EQ(Bytes(u, u + 7), (Bytes{1, 3, 4, 6, 8, 9, 10}));

    uint8_t none[33] = {};
    n = 0;
    CNvId::_getFpLstUnused(none, &n);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(Bytes(none, none + 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

    uint8_t all[33] = {10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    n = 10;
    CNvId::_getFpLstUnused(all, &n);
    EXPECT_EQ(n, 0);
    // A count above ten is taken as none used.
    uint8_t many[33] = {1, 2};
    n = 11;
    CNvId::_getFpLstUnused(many, &n);
    EXPECT_EQ(n, 10);

    uint8_t one[2] = {9, 3};
    CNvId::sort(one, 1);  // fewer than two: unchanged
    EXPECT_EQ(one[0], 9);
    EXPECT_EQ(one[1], 3);
}

TEST_F(SessionText, NamesAndTexts) {
    EXPECT_FALSE(CNvId::_isBaseApp(nullptr));
    for (const char* base : {"meboBaseApp", "baseApp", "UPanApp", "axUpBaseApp"})
        EXPECT_TRUE(CNvId::_isBaseApp(base)) << base;
    EXPECT_FALSE(CNvId::_isBaseApp("alice"));
    EXPECT_FALSE(CNvId::_isBaseApp("meboBaseApp2"));

    char name[32];
    CNvId::getFingerName(1, name);
    EXPECT_STREQ(name, "L_thumb");
    CNvId::getFingerName(10, name);
    EXPECT_STREQ(name, "R_littleFinger");
    CNvId::getFingerName(11, name);
    EXPECT_STREQ(name, "otherFinger");
    CNvId::getFingerName(-3, name);
    EXPECT_STREQ(name, "otherFinger");

    char out[8];
    memset(out, 'x', sizeof out);
    CNvId::cvtStr("abcdefghij", out, 5);
    EXPECT_STREQ(out, "abcde");
    EXPECT_EQ(out[6], 'x');
}

TEST_F(SessionText, PublicKeyFromBlob) {
    uint8_t blob[132];
    for (int i = 0; i < 132; ++i)
        blob[i] = static_cast<uint8_t>(i);
    uint8_t out[kPubKeyLen + 1];
    out[kPubKeyLen] = 0xEE;
    int n = 0;
    CNvId::blob2pubKey(blob, out, &n);
    EXPECT_EQ(n, 65);
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(out[1], 4 + 32);        // last 32 bytes of the X field
    EXPECT_EQ(out[33], 4 + 64 + 32);  // last 32 bytes of the Y field
    EXPECT_EQ(out[64], 131);
    EXPECT_EQ(out[kPubKeyLen], 0xEE);
}
