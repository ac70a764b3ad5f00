// Frame envelope, checksums and the validation rule against fixed vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "transport/frame.h"

namespace {

const uint8_t kAbc[] = {'a', 'b', 'c'};

std::vector<uint8_t> packFrame(const tdLINK_PACK& pack, uint32_t len) {
    return std::vector<uint8_t>(pack.frame, pack.frame + len);
}

TEST(FrameChecksum, PublishedVectors) {
    EXPECT_EQ(get_checksum(kAbc, 3), 0x024A);
    EXPECT_EQ(verify_checksum(kAbc, 3, 0x024A), 0);
    EXPECT_EQ(verify_checksum(kAbc, 3, 0x024B), 1);
    EXPECT_EQ(get_checksum(kAbc, 0), 0);
    const uint8_t lc[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(lc_calculate(lc, 3), 0x00);
    const uint8_t lc2[] = {0x5A, 0xFF};
    EXPECT_EQ(lc_calculate(lc2, 2), 0xA5);
}

TEST(FrameChecksum, ContinuesFromGivenSums) {
    // After "a" both sums are 0x61; continuing over "bc" gives the sum of "abc".
    EXPECT_EQ(get_lrc(kAbc + 1, 2, 0x61, 0x61), 0x024A);
    EXPECT_EQ(get_lrc(kAbc, 3, 0, 0), get_checksum(kAbc, 3));
}

TEST(FrameChecksum, WrapsModulo65536NotFletcher255) {
    // For n bytes of 0xFF the second sum is 255 * n(n+1)/2, reduced mod 65536.
    std::vector<uint8_t> ff(2046, 0xFF);
    const uint64_t n = ff.size();
    const uint16_t expected = static_cast<uint16_t>((255 * n * (n + 1) / 2) % 65536);
    EXPECT_EQ(get_checksum(ff.data(), static_cast<uint16_t>(n)), expected);
    // Fletcher-16 over the same bytes would be 0 (0xFF == 0 mod 255).
    EXPECT_NE(expected, 0);
}

TEST(FrameByteOrder, BigEndianHelpers) {
    const uint8_t b[] = {0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(PACKED16(b), 0x0102);
    EXPECT_EQ(PACKED32(b), 0x01020304u);
    uint8_t out[4] = {};
    UNPACKED16(0xA1B2, out);
    EXPECT_EQ(out[0], 0xA1);
    EXPECT_EQ(out[1], 0xB2);
    UNPACKED32(0xDEADBEEF, out);
    EXPECT_EQ(0, memcmp(out, "\xDE\xAD\xBE\xEF", 4));
    putLe16(0x1234, out);
    EXPECT_EQ(out[0], 0x34);
    EXPECT_EQ(out[1], 0x12);
    EXPECT_EQ(getLe16(out), 0x1234);
    putLe32(0x01020304, out);
    EXPECT_EQ(0, memcmp(out, "\x04\x03\x02\x01", 4));
    EXPECT_EQ(getLe32(out), 0x01020304u);
}

TEST(FrameBuild, FingerprintCountRequest) {
    tdLINK_PACK pack{};
    pack.sequence = 5;
    const uint8_t payload[] = {0x0A, 0x00, 0x00, 0x00};
    memcpy(pack.frame + FRAME_OFS_PAYLOAD, payload, sizeof(payload));
    pack.length = sizeof(payload);
    const uint32_t n = framePackBuild(&pack, FRAME_CH_FPM, FRAME_PLAIN);
    const std::vector<uint8_t> want = {0xAA, 0x00, 0x04, 0x06, 0x00, 0x05, 0x00,
                                       0x0A, 0x00, 0x00, 0x00, 0x00, 0x9A, 0x55};
    ASSERT_EQ(n, 14u);
    EXPECT_EQ(packFrame(pack, n), want);
    EXPECT_EQ(pack.sequence, 6u);
    EXPECT_EQ(frameCheck(pack.frame, n), 1);
}

TEST(FrameBuild, Lengths) {
    tdLINK_PACK pack{};
    pack.length = 0;
    ASSERT_EQ(framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN), 10u);
    // Empty payload: the checksum covers the six header bytes only.
    EXPECT_EQ(PACKED16(pack.frame + 7), get_checksum(pack.frame + 1, 6));
    EXPECT_EQ(pack.frame[9], FRAME_TAIL);

    pack.length = 300;
    ASSERT_EQ(framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN), 310u);
    EXPECT_EQ(pack.frame[1], 0x01);
    EXPECT_EQ(pack.frame[2], 0x2C);
    EXPECT_EQ(pack.frame[309], FRAME_TAIL);

    pack.length = FRAME_MAX_PAYLOAD;
    EXPECT_EQ(framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN), FRAME_BUF_SIZE);
}

TEST(FrameBuild, RefusesWhatDoesNotFit) {
    tdLINK_PACK pack{};
    pack.sequence = 9;
    pack.length = FRAME_MAX_PAYLOAD + 1;
    memset(pack.frame, 0xEE, sizeof(pack.frame));
    EXPECT_EQ(framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN), 0u);
    EXPECT_EQ(pack.sequence, 9u);  // nothing consumed
    EXPECT_EQ(pack.frame[0], 0xEE);

    uint8_t small[20];
    memset(small, 0xEE, sizeof(small));
    EXPECT_EQ(frameBuild(small, sizeof(small), 11, 8, 0, 0, 0), 0u);
    EXPECT_EQ(small[0], 0xEE);
    EXPECT_EQ(frameBuild(small, sizeof(small), 10, 8, 0, 0, 0), 20u);
}

TEST(FrameBuild, SequenceWrapsAfter255) {
    tdLINK_PACK pack{};
    pack.sequence = 255;
    pack.length = 0;
    framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN);
    EXPECT_EQ(pack.frame[FRAME_OFS_SEQ], 255);
    framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN);
    EXPECT_EQ(pack.frame[FRAME_OFS_SEQ], 0);
}

TEST(FrameBuild, ResponseFrameOnKeySide) {
    // The key answers with the request's sequence and a continuation flag.
    uint8_t f[64] = {};
    putLe16(0x9000, f + 7);
    putLe16(0, f + 9);
    ASSERT_EQ(frameBuild(f, sizeof(f), 4, FRAME_CH_APDU, FRAME_PLAIN, 0x33, 1), 14u);
    EXPECT_EQ(f[0], FRAME_HEAD);
    EXPECT_EQ(f[FRAME_OFS_CHANNEL], 8);
    EXPECT_EQ(f[FRAME_OFS_SEQ], 0x33);
    EXPECT_EQ(f[FRAME_OFS_CONT], 1);
    EXPECT_EQ(frameTotalLen(f), 14u);
    EXPECT_EQ(frameCheck(f, 14), 1);
}

TEST(FrameCheck, ValidationRule) {
    tdLINK_PACK pack{};
    pack.length = 20;
    const uint32_t n = framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN);
    ASSERT_EQ(frameCheck(pack.frame, n), 1);
    EXPECT_EQ(frameCheck(pack.frame, n - 1), 0);  // frame not all there

    struct Corruption {
        size_t at;
        uint8_t xorWith;
    } cases[] = {{0, 0x01}, {n - 1, 0x01}, {n - 3, 0x01}, {n - 2, 0x80}, {9, 0x10}};
    for (const auto& c : cases) {
        tdLINK_PACK bad = pack;
        bad.frame[c.at] ^= c.xorWith;
        EXPECT_EQ(frameCheck(bad.frame, n), 0) << "byte " << c.at;
    }

    // The rule's own limit: 1014 payload bytes pass, 1015 do not.
    pack.length = 1014;
    ASSERT_EQ(framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN), 1024u);
    EXPECT_EQ(frameCheck(pack.frame, 1024), 1);
    pack.length = 1015;
    ASSERT_EQ(framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN), 1025u);
    EXPECT_EQ(frameCheck(pack.frame, 1025), 0);
    EXPECT_EQ(frameCheckEx(pack.frame, 1025, FRAME_MAX_PAYLOAD), 1);
    EXPECT_EQ(frameCheck(nullptr, 100), 0);
}

}  // namespace
