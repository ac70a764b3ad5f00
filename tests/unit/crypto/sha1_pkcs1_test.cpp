#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "crypto/crypto.h"
#include "tests/unit/crypto/testutil.h"

namespace {

std::string ourSha1(const Bytes& m, uint32_t piece = 32768) {
    uint8_t out[kSha1Len];
    Sha1Ex(m.data(), static_cast<uint32_t>(m.size()), out, piece);
    return toHex(out, sizeof out);
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

TEST(Sha1, FipsExamples) {
    EXPECT_EQ(ourSha1({}), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(ourSha1(text("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(ourSha1(text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    Bytes million(1000000, 'a');
    uint8_t out[kSha1Len];
    Sha1(million.data(), static_cast<uint32_t>(million.size()), out);
    EXPECT_EQ(toHex(out, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, EveryLengthUpTo4096MatchesOpenSsl) {
    std::mt19937 rng(30);
    Bytes all = randomBytes(rng, 4096);
    for (size_t n = 0; n <= all.size(); ++n) {
        Bytes m(all.begin(), all.begin() + static_cast<long>(n));
        ASSERT_EQ(ourSha1(m), toHex(osslDigest(EVP_sha1(), m.data(), n))) << "length " << n;
    }
}

TEST(Sha1, PieceSizeAndSplitsDoNotChangeTheDigest) {
    std::mt19937 rng(31);
    Bytes m = randomBytes(rng, 3000);
    const std::string expected = toHex(osslDigest(EVP_sha1(), m.data(), m.size()));
    for (uint32_t piece : {0u, 1u, 3u, 63u, 64u, 65u, 128u, 2999u, 3000u, 5000u})
        EXPECT_EQ(ourSha1(m, piece), expected) << "piece " << piece;
    for (int round = 0; round < 100; ++round) {
        sha1_context ctx;
        sha1_starts(&ctx);
        size_t done = 0;
        while (done < m.size()) {
            size_t piece = std::min<size_t>(m.size() - done, rng() % 200);
            sha1_update(&ctx, m.data() + done, piece);
            done += piece;
        }
        uint8_t out[kSha1Len];
        sha1_finish(&ctx, out);
        ASSERT_EQ(toHex(out, 20), expected);
    }
}

TEST(Pkcs1, DigestInfoPrefixes) {
    Bytes digest(20);
    for (size_t i = 0; i < 20; ++i)
        digest[i] = static_cast<uint8_t>(i + 1);
    uint8_t out[kPkcs1HashMax];
    int n = 0;
    ASSERT_EQ(createPkcs1Hash(digest.data(), out, &n), 0);
    EXPECT_EQ(n, 35);
    EXPECT_EQ(toHex(out, 35), "3021300906052b0e03021a05000414" + toHex(digest));

    // Each prefix carries its own OID and ends with the digest length.
    struct Row {
        int type;
        const char* prefix;
    } rows[] = {
        {kPkcs1Sha256, "3031300d060960864801650304020105000420"},
        {kPkcs1Sha512, "3051300d060960864801650304020305000440"},
        {kPkcs1Md5, "3020300c06082a864886f70d020505000410"},
        {kPkcs1Sm3,
         "3030300c06082a811ccf550183110500"
         "0420"},
        {kPkcs1Sha1, "3021300906052b0e03021a05000414"},
        {7, "3021300906052b0e03021a05000414"},
    };
    Bytes big(64, 0xEE);
    for (const Row& r : rows) {
        const size_t prefixLen = strlen(r.prefix) / 2;
        const size_t digestLen = fromHex(r.prefix).back();
        ASSERT_EQ(createPkcs1HashEx(big.data(), out, &n, r.type), 0);
        EXPECT_EQ(static_cast<size_t>(n), prefixLen + digestLen) << r.type;
        EXPECT_EQ(toHex(out, prefixLen), r.prefix) << r.type;
        EXPECT_EQ(Bytes(out + prefixLen, out + n), Bytes(digestLen, 0xEE)) << r.type;
    }
}

TEST(Pkcs1, DigestInfoInPlace) {
    uint8_t buf[kPkcs1HashMax];
    Bytes digest(32);
    for (size_t i = 0; i < 32; ++i)
        digest[i] = static_cast<uint8_t>(0xA0 + i);
    memcpy(buf, digest.data(), 32);
    int n = 0;
    ASSERT_EQ(createPkcs1HashEx(buf, buf, &n, kPkcs1Sm3), 0);
    EXPECT_EQ(n, 50);
    EXPECT_EQ(Bytes(buf + 18, buf + 50), digest);
}

TEST(Pkcs1, HashPackComputesTheDigest) {
    Bytes data = text("message to sign");
    uint8_t out[kPkcs1HashMax];
    int n = 0;
    ASSERT_EQ(pkcs1HashPackEx(data.data(), static_cast<uint32_t>(data.size()), out, &n, kPkcs1Sm3),
              0);
    ASSERT_EQ(n, 50);
    EXPECT_EQ(toHex(out, 18), "3030300c06082a811ccf5501831105000420");
    EXPECT_EQ(Bytes(out + 18, out + 50), osslDigest(EVP_sm3(), data.data(), data.size()));

    ASSERT_EQ(pkcs1HashPack(data.data(), static_cast<uint32_t>(data.size()), out, &n), 0);
    ASSERT_EQ(n, 35);
    EXPECT_EQ(Bytes(out + 15, out + 35), osslDigest(EVP_sha1(), data.data(), data.size()));

    for (int type : {kPkcs1Sha256, kPkcs1Sha512, kPkcs1Md5}) {
        n = 99;
        EXPECT_EQ(pkcs1HashPackEx(data.data(), 4, out, &n, type), -1);
        EXPECT_EQ(n, 0);
    }
}

TEST(Pkcs1, TypeOnePadding) {
    Bytes data(17, 0x42);
    Guarded block(20);
    ASSERT_EQ(padRSATypeSign(block.data(), 20, data.data(), 17), 1);
    EXPECT_EQ(toHex(block.bytes()), "000100" + toHex(data));
    EXPECT_TRUE(block.intact());

    Guarded full(64);
    ASSERT_EQ(padRSATypeSign(full.data(), 64, data.data(), 17), 1);
    Bytes b = full.bytes();
    EXPECT_EQ(toHex(Bytes(b.begin(), b.begin() + 2)), "0001");
    EXPECT_EQ(Bytes(b.begin() + 2, b.begin() + 46), Bytes(44, 0xFF));
    EXPECT_EQ(b[46], 0x00);
    EXPECT_EQ(Bytes(b.begin() + 47, b.end()), data);
    EXPECT_TRUE(full.intact());

    Guarded refused(18);
    memset(refused.data(), 0x33, 18);
    EXPECT_EQ(padRSATypeSign(refused.data(), 17, data.data(), 17), 0);  // k = n
    EXPECT_EQ(padRSATypeSign(refused.data(), 18, data.data(), 17), 0);  // no room for 3 bytes
    EXPECT_EQ(refused.bytes(), Bytes(18, 0x33));
}

TEST(Pkcs1, TypeTwoPaddingIsNonZeroAndFresh) {
    Bytes data(16, 0x42);
    uint8_t a[128], b[128];
    ASSERT_EQ(padRSATypeEncypt(a, 128, data.data(), 16), 1);
    ASSERT_EQ(padRSATypeEncypt(b, 128, data.data(), 16), 1);
    EXPECT_EQ(a[0], 0x00);
    EXPECT_EQ(a[1], 0x02);
    for (int i = 2; i < 111; ++i)
        ASSERT_NE(a[i], 0) << i;
    EXPECT_EQ(a[111], 0x00);
    EXPECT_EQ(Bytes(a + 112, a + 128), data);
    // Two calls in the same second must not repeat the filler.
    EXPECT_NE(Bytes(a + 2, a + 111), Bytes(b + 2, b + 111));
    int n = 128;
    uint8_t out[128];
    ASSERT_EQ(stripPKCS1Decrypt(a, 128, out, &n), 1);
    EXPECT_EQ(Bytes(out, out + n), data);
}

TEST(Pkcs1, Stripping) {
    const Bytes block = fromHex("0001ffff004142");
    uint8_t out[8];
    int n = 2;
    ASSERT_EQ(stripPKCS1Verify(block.data(), 7, out, &n), 1);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(toHex(out, 2), "4142");
    n = 1;
    EXPECT_EQ(stripPKCS1Verify(block.data(), 7, out, &n), 0);
    EXPECT_EQ(n, 1);

    // The separating 00 may not be the last byte; no type byte, no data.
    n = 8;
    EXPECT_EQ(stripPKCS1Verify(fromHex("0001ffff00").data(), 5, out, &n), 0);
    EXPECT_EQ(stripPKCS1Verify(fromHex("0002ff004142").data(), 6, out, &n), 0);
    ASSERT_EQ(stripPKCS1Decrypt(fromHex("0002ff004142").data(), 6, out, &n), 1);
    EXPECT_EQ(n, 2);
}
