// Hashes 512 MiB: kept in its own executable (label "slow").
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "crypto/crypto.h"
#include "tests/unit/crypto/testutil.h"

// From 2^29 bytes on, a 32-bit bit count would wrap: the padding must carry
// the full 64-bit count, as OpenSSL's does.
TEST(Sm3, MessagesOf512MiBAndMoreUseTheFullBitCount) {
    std::mt19937 rng(5);
    Bytes chunk = randomBytes(rng, 1 << 20);
    sm3_context ctx;
    sm3_starts(&ctx);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestInit_ex(md, EVP_sm3(), nullptr), 1);
    for (int i = 0; i < 512; ++i) {
        sm3_update(&ctx, chunk.data(), chunk.size());
        EVP_DigestUpdate(md, chunk.data(), chunk.size());
    }
    sm3_update(&ctx, chunk.data(), 3);
    EVP_DigestUpdate(md, chunk.data(), 3);
    uint8_t ours[kSm3Len], theirs[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    sm3_finish(&ctx, ours);
    EVP_DigestFinal_ex(md, theirs, &len);
    EVP_MD_CTX_free(md);
    EXPECT_EQ(toHex(ours, 32), toHex(theirs, len));
}
