#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "crypto/crypto.h"
#include "tests/unit/crypto/testutil.h"

namespace {

std::string ourSm3(const Bytes& m) {
    uint8_t out[kSm3Len];
    EXPECT_EQ(sm3(m.data(), static_cast<uint32_t>(m.size()), out), 0);
    return toHex(out, sizeof out);
}

std::string theirSm3(const Bytes& m) {
    return toHex(osslDigest(EVP_sm3(), m.data(), m.size()));
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

TEST(Sm3, PublishedExamples) {
    EXPECT_EQ(ourSm3(text("abc")),
              "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    std::string abcd;
    for (int i = 0; i < 16; ++i)
        abcd += "abcd";
    EXPECT_EQ(ourSm3(text(abcd)),
              "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
    EXPECT_EQ(ourSm3({}), "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b");
}

TEST(Sm3, RefusesMissingBuffersAndWritesExactly32Bytes) {
    uint8_t msg[3] = {'a', 'b', 'c'};
    EXPECT_EQ(sm3(msg, 3, nullptr), -1);
    Guarded out(kSm3Len);
    EXPECT_EQ(sm3(nullptr, 1, out.data()), -1);
    EXPECT_EQ(sm3(nullptr, 0, out.data()), 0);  // the empty message needs no bytes
    EXPECT_EQ(toHex(out.bytes()), theirSm3({}));
    EXPECT_TRUE(out.intact());
}

TEST(Sm3, PaddedLengths) {
    EXPECT_EQ(sm3_calc_paddingmsg_length(0), 64u);
    EXPECT_EQ(sm3_calc_paddingmsg_length(55), 64u);
    EXPECT_EQ(sm3_calc_paddingmsg_length(56), 128u);
    EXPECT_EQ(sm3_calc_paddingmsg_length(64), 128u);
    EXPECT_EQ(sm3_calc_paddingmsg_length(119), 128u);
    EXPECT_EQ(sm3_calc_paddingmsg_length(120), 192u);
    EXPECT_EQ(sm3_calc_paddingmsg_length(1ull << 32), (1ull << 32) + 64);
}

TEST(Sm3, BlockBoundaryLengthsMatchOpenSsl) {
    std::mt19937 rng(1);
    for (size_t n : {0, 1, 2, 3, 54, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 191, 192}) {
        Bytes m = randomBytes(rng, n);
        EXPECT_EQ(ourSm3(m), theirSm3(m)) << "length " << n;
    }
}

TEST(Sm3, EveryLengthUpTo4096MatchesOpenSsl) {
    std::mt19937 rng(2);
    Bytes all = randomBytes(rng, 4096);
    for (size_t n = 0; n <= all.size(); ++n) {
        Bytes m(all.begin(), all.begin() + static_cast<long>(n));
        ASSERT_EQ(ourSm3(m), theirSm3(m)) << "length " << n;
    }
}

TEST(Sm3, IncrementalSplitsGiveTheOneShotDigest) {
    std::mt19937 rng(3);
    for (int round = 0; round < 300; ++round) {
        Bytes m = randomBytes(rng, rng() % 1500);
        uint8_t oneShot[kSm3Len], pieces[kSm3Len];
        sm3(m.data(), static_cast<uint32_t>(m.size()), oneShot);
        sm3_context ctx;
        sm3_starts(&ctx);
        size_t done = 0;
        while (done < m.size()) {
            size_t piece = std::min<size_t>(m.size() - done, rng() % 140);
            sm3_update(&ctx, m.data() + done, piece);
            done += piece;
        }
        sm3_update(&ctx, m.data(), 0);
        sm3_finish(&ctx, pieces);
        ASSERT_EQ(toHex(oneShot, 32), toHex(pieces, 32)) << "round " << round;
    }
}

TEST(Sm3, ByteAtATimeOverSeveralBlocks) {
    std::mt19937 rng(4);
    Bytes m = randomBytes(rng, 1000);
    sm3_context ctx;
    sm3_starts(&ctx);
    for (uint8_t b : m)
        sm3_update(&ctx, &b, 1);
    uint8_t out[kSm3Len];
    sm3_finish(&ctx, out);
    EXPECT_EQ(toHex(out, 32), theirSm3(m));
}
