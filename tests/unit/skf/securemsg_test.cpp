// The PIN key derivation, the SM4 framings and the SM4 MAC against OpenSSL.
#include <gtest/gtest.h>

#include <algorithm>

#include "skf/skf.h"
#include "tests/unit/skf/oracle.h"

namespace {

const Bytes kKey = hexBytes("0123456789ABCDEFFEDCBA9876543210");

TEST(SecureMsgTest, Sha1PadsShortInputTo16Bytes) {
    uint8_t d[20];
    cos17B_SHA1(reinterpret_cast<const unsigned char*>("123456"), 6, d);
    Bytes padded = {'1', '2', '3', '4', '5', '6'};
    padded.resize(16, 0);
    EXPECT_EQ(Bytes(d, d + 20), osslSha1(padded));

    const Bytes sixteen = seqBytes('a', 16);
    cos17B_SHA1(sixteen.data(), 16, d);
    EXPECT_EQ(Bytes(d, d + 20), osslSha1(sixteen));
    const Bytes twenty = seqBytes('a', 20);
    cos17B_SHA1(twenty.data(), 20, d);
    EXPECT_EQ(Bytes(d, d + 20), osslSha1(twenty));
}

TEST(SecureMsgTest, EncryptSm4FramesLengthDataAnd80) {
    const struct {
        size_t len;
        int blocks;
    } cases[] = {{8, 16}, {13, 16}, {14, 32}, {0, 16}, {29, 32}, {30, 48}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        const Bytes data = seqBytes(0x30, c.len);
        uint8_t out[64];
        ASSERT_EQ(cos17B_Encrypt_SM4(data.data(), static_cast<int>(c.len), kKey.data(), out),
                  c.blocks);
        // Length, 0, data, 0x80, zeros to the block count (sized once: gcc 12
        // at -O2 misreports a range insert into a short vector).
        Bytes plain(static_cast<size_t>(c.blocks), 0);
        plain[0] = static_cast<uint8_t>(c.len);
        std::copy(data.begin(), data.end(), plain.begin() + 2);
        plain.at(2 + c.len) = 0x80;
        EXPECT_EQ(Bytes(out, out + c.blocks), osslSm4Ecb(kKey, plain));
    }
    uint8_t out[16];
    EXPECT_EQ(cos17B_Encrypt_SM4("x", -1, kKey.data(), out), 0);
}

TEST(SecureMsgTest, EncryptSm4ExIsOneBareBlock) {
    const Bytes key16 = seqBytes(0x40, 16);
    uint8_t out[16];
    ASSERT_EQ(cos17B_Encrypt_SM4Ex(key16.data(), 16, kKey.data(), out), 16);
    EXPECT_EQ(Bytes(out, out + 16), osslSm4Ecb(kKey, key16));
    const Bytes five = seqBytes(1, 5);
    ASSERT_EQ(cos17B_Encrypt_SM4Ex(five.data(), 5, kKey.data(), out), 16);
    Bytes padded = five;
    padded.resize(16, 0);
    EXPECT_EQ(Bytes(out, out + 16), osslSm4Ecb(kKey, padded));
}

TEST(SecureMsgTest, MacIsFirstFourBytesOfLastCbcBlock) {
    const Bytes iv = hexBytes("0102030405060708 0000000000000000");
    for (size_t len : {0u, 1u, 15u, 16u, 26u, 32u, 47u, 1500u}) {
        SCOPED_TRACE(len);
        const Bytes data = seqBytes(0x11, len);
        uint8_t mac[4] = {};
        ASSERT_EQ(cos17B_MAC_SM4(data.data(), static_cast<int>(len), iv.data(), kKey.data(), mac),
                  1);
        Bytes padded = data;
        padded.push_back(0x80);
        while (padded.size() % 16)
            padded.push_back(0);
        if (len == 32) {
            EXPECT_EQ(padded.size(), 48u);
        }
        const Bytes ct = osslSm4Cbc(kKey, iv, padded);
        EXPECT_EQ(Bytes(mac, mac + 4), Bytes(ct.end() - 16, ct.end() - 12));
    }
}

TEST(SecureMsgTest, Sm4EncRefusesPartialBlocks) {
    const Bytes in = seqBytes(0, 32);
    uint8_t out[32];
    EXPECT_EQ(SKX_sm4Enc(kKey.data(), in.data(), 32, out), SAR_OK);
    EXPECT_EQ(Bytes(out, out + 32), osslSm4Ecb(kKey, in));
    EXPECT_EQ(SKX_sm4Enc(kKey.data(), in.data(), 20, out), SAR_FAIL);
}

}  // namespace
