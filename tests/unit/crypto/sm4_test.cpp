#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "crypto/crypto.h"
#include "tests/unit/crypto/testutil.h"

namespace {

const Bytes kKey = fromHex("0123456789abcdeffedcba9876543210");

Bytes ours(bool cbc, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in,
           bool inPlace) {
    sm4_context ctx;
    if (encrypt)
        sm4_setkey_enc(&ctx, key.data());
    else
        sm4_setkey_dec(&ctx, key.data());
    Guarded out(in.size());
    int rc;
    const int n = static_cast<int>(in.size());
    if (inPlace) {
        memcpy(out.data(), in.data(), in.size());
        rc = cbc ? sm4_crypt_cbc(&ctx, n, iv.data(), out.data(), out.data())
                 : sm4_crypt_ecb(&ctx, n, out.data(), out.data());
    } else {
        rc = cbc ? sm4_crypt_cbc(&ctx, n, iv.data(), in.data(), out.data())
                 : sm4_crypt_ecb(&ctx, n, in.data(), out.data());
    }
    sm4_clear(&ctx);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(out.intact()) << "write outside the output";
    return out.bytes();
}

}  // namespace

TEST(Sm4, StandardExampleAndKeySchedule) {
    sm4_context ctx;
    sm4_setkey_enc(&ctx, kKey.data());
    EXPECT_EQ(ctx.mode, 1);
    EXPECT_EQ(ctx.sk[0], 0xf12186f9u);
    EXPECT_EQ(ctx.sk[1], 0x41662b61u);
    EXPECT_EQ(ctx.sk[31], 0x9124a012u);
    uint8_t block[16];
    ASSERT_EQ(sm4_crypt_ecb(&ctx, 16, kKey.data(), block), 0);
    EXPECT_EQ(toHex(block, 16), "681edf34d206965e86b3e94f536e4246");

    sm4_context dec;
    sm4_setkey_dec(&dec, kKey.data());
    EXPECT_EQ(dec.mode, 0);
    EXPECT_EQ(dec.sk[0], 0x9124a012u);
    EXPECT_EQ(dec.sk[31], 0xf12186f9u);
    ASSERT_EQ(sm4_crypt_ecb(&dec, 16, block, block), 0);
    EXPECT_EQ(toHex(block, 16), toHex(kKey));
}

TEST(Sm4, MillionFoldIteration) {
    sm4_context ctx;
    sm4_setkey_enc(&ctx, kKey.data());
    uint8_t block[16];
    memcpy(block, kKey.data(), 16);
    for (int i = 0; i < 1000000; ++i)
        sm4_crypt_ecb(&ctx, 16, block, block);
    EXPECT_EQ(toHex(block, 16), "595298c7c6fd271f0402f804c33d3f66");
}

TEST(Sm4, ArgumentErrorsWriteNothing) {
    sm4_context ctx;
    sm4_setkey_enc(&ctx, kKey.data());
    Guarded out(32);
    memset(out.data(), 0x11, 32);
    uint8_t in[32] = {0};
    uint8_t iv[16] = {0};
    EXPECT_EQ(sm4_crypt_ecb(&ctx, 15, in, out.data()), -1);
    EXPECT_EQ(sm4_crypt_ecb(&ctx, -16, in, out.data()), -1);
    EXPECT_EQ(sm4_crypt_ecb(nullptr, 16, in, out.data()), -1);
    EXPECT_EQ(sm4_crypt_ecb(&ctx, 16, nullptr, out.data()), -1);
    EXPECT_EQ(sm4_crypt_ecb(&ctx, 16, in, nullptr), -1);
    EXPECT_EQ(sm4_crypt_cbc(&ctx, 16, nullptr, in, out.data()), -1);
    EXPECT_EQ(sm4_crypt_cbc(&ctx, 17, iv, in, out.data()), -1);
    EXPECT_EQ(sm4_crypt_ecb(&ctx, 0, in, out.data()), 0);
    EXPECT_EQ(sm4_crypt_cbc(&ctx, 0, iv, in, out.data()), 0);
    EXPECT_EQ(out.bytes(), Bytes(32, 0x11));
    EXPECT_TRUE(out.intact());

    // A key set-up with a missing argument leaves the context as it was.
    sm4_context before = ctx;
    sm4_setkey_dec(&ctx, nullptr);
    sm4_setkey_enc(nullptr, kKey.data());
    EXPECT_EQ(memcmp(&before, &ctx, sizeof ctx), 0);
}

TEST(Sm4, EcbAndCbcMatchOpenSslBothWaysInAndOutOfPlace) {
    std::mt19937 rng(20);
    for (size_t n = 16; n <= 4096; n += 16) {
        Bytes key = randomBytes(rng, 16), iv = randomBytes(rng, 16), plain = randomBytes(rng, n);
        Bytes ecb = osslCipher(EVP_sm4_ecb(), true, key.data(), nullptr, plain);
        Bytes cbc = osslCipher(EVP_sm4_cbc(), true, key.data(), iv.data(), plain);
        ASSERT_EQ(ecb.size(), n);
        ASSERT_EQ(cbc.size(), n);
        for (bool inPlace : {false, true}) {
            ASSERT_EQ(ours(false, true, key, iv, plain, inPlace), ecb) << n << " " << inPlace;
            ASSERT_EQ(ours(false, false, key, iv, ecb, inPlace), plain) << n << " " << inPlace;
            ASSERT_EQ(ours(true, true, key, iv, plain, inPlace), cbc) << n << " " << inPlace;
            ASSERT_EQ(ours(true, false, key, iv, cbc, inPlace), plain) << n << " " << inPlace;
        }
    }
}

TEST(Sm4, CbcNeverUpdatesTheCallersIv) {
    std::mt19937 rng(21);
    Bytes key = randomBytes(rng, 16), plain = randomBytes(rng, 64);
    Bytes iv = randomBytes(rng, 16);
    const Bytes ivCopy = iv;
    sm4_context ctx;
    sm4_setkey_enc(&ctx, key.data());
    uint8_t first[64], second[64];
    ASSERT_EQ(sm4_crypt_cbc(&ctx, 64, iv.data(), plain.data(), first), 0);
    ASSERT_EQ(sm4_crypt_cbc(&ctx, 64, iv.data(), plain.data(), second), 0);
    EXPECT_EQ(iv, ivCopy);
    EXPECT_EQ(toHex(first, 64), toHex(second, 64));
    EXPECT_EQ(toHex(first, 64),
              toHex(osslCipher(EVP_sm4_cbc(), true, key.data(), ivCopy.data(), plain)));
}
