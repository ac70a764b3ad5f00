// SM4 decryption of the session against OpenSSL: key handling, the padding
// rule and the refusals that keep it inside its buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/app.h"
#include "tests/support/support.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                    0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

Bytes encrypt(const Bytes& plain) {
    return support::sm4EcbEncrypt(kKey, plain);
}

// Decrypts into a buffer of `room` bytes followed by guard bytes.
int decrypt(const Bytes& cipher, Bytes& plain, int room = 129, const Bytes& key = kKey) {
    std::vector<uint8_t> out(static_cast<size_t>(room) + 16, 0xA5);
    int n = room;
    const uint8_t none = 0;
    const uint8_t* in = cipher.empty() ? &none : cipher.data();
    int rc = CNvId::sm4Decrypt(in, static_cast<int>(cipher.size()), key.data(),
                               static_cast<int>(key.size()), out.data(), &n);
    for (size_t i = static_cast<size_t>(room); i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xA5) << "wrote past the output at " << i;
    if (rc == 0) {
        EXPECT_EQ(out[static_cast<size_t>(n)], 0) << "no terminator";
        plain.assign(out.begin(), out.begin() + n);
    }
    return rc;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(SessionSm4, PaddingRule) {
    Bytes plain;
    const Bytes body = {'h', 'e', 'l', 'l', 'o'};
    // Eleven bytes of padding value 11.
    ASSERT_EQ(decrypt(encrypt(concat(body, Bytes(11, 11))), plain), 0);
    EXPECT_EQ(plain, body);
    // A whole block of padding after a block of data.
    const Bytes block(16, 0x42);
    ASSERT_EQ(decrypt(encrypt(concat(block, Bytes(16, 0x10))), plain), 0);
    EXPECT_EQ(plain, block);
    // A padding value equal to the length is not padding.
    ASSERT_EQ(decrypt(encrypt(Bytes(16, 0x10)), plain), 0);
    EXPECT_EQ(plain, Bytes(16, 0x10));
    // A last byte of 0 or above 16 keeps everything.
    Bytes zero = block;
    zero[15] = 0;
    ASSERT_EQ(decrypt(encrypt(zero), plain), 0);
    EXPECT_EQ(plain, zero);
    Bytes big = block;
    big[15] = 0x11;
    ASSERT_EQ(decrypt(encrypt(big), plain), 0);
    EXPECT_EQ(plain, big);
    // Fewer bytes of the value than it says: no padding.
    Bytes partial = block;
    partial[15] = 3;
    partial[14] = 3;
    ASSERT_EQ(decrypt(encrypt(partial), plain), 0);
    EXPECT_EQ(plain, partial);
}

TEST(SessionSm4, LeadingFourAndRounding) {
    Bytes plain;
    const Bytes block(16, 0x42);
    // 17 bytes beginning with 04: the 04 is not ciphertext.
    ASSERT_EQ(decrypt(concat({0x04}, encrypt(block)), plain), 0);
    EXPECT_EQ(plain, block);
    // A short last block is zero-filled from our own buffer, never read
    // past the input.
    Bytes c = encrypt(concat(block, block));
    c.resize(20);
    ASSERT_EQ(decrypt(c, plain), 0);
    EXPECT_EQ(plain.size(), 32u);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 16), block);
    // The empty input gives the empty output.
    ASSERT_EQ(decrypt(Bytes(), plain), 0);
    EXPECT_TRUE(plain.empty());
}

TEST(SessionSm4, RefusesWhatDoesNotFit) {
    Bytes plain;
    // 128 bytes and the terminator fit 129; they do not fit 128.
    const Bytes c128 = encrypt(Bytes(128, 0x33));
    EXPECT_EQ(decrypt(c128, plain, 129), 0);
    EXPECT_EQ(decrypt(c128, plain, 128), 104);
    // 129 bytes round up to 144: more than the output ever holds.
    EXPECT_EQ(decrypt(Bytes(129, 1), plain, 400), 104);
    // Keys shorter than 16 bytes would be read past their end.
    EXPECT_EQ(decrypt(c128, plain, 129, Bytes(15, 1)), 104);
}
