// Secrets on their way to the key: the PIN key derivation, the two SM4
// framings and the SM4 MAC of protected commands.
#include "crypto/crypto.h"
#include "skf/common.h"

namespace {
// Largest secret cos17B_Encrypt_SM4 frames (callers send PINs and keys).
constexpr int kMaxFramed = 2000;
}  // namespace

void cos17B_SHA1(const unsigned char* data, int len, unsigned char* digest) {
    if (!digest) return;
    if (len < 16) {
        uint8_t block[16] = {};
        if (data && len > 0) memcpy(block, data, static_cast<size_t>(len));
        Sha1(block, sizeof block, digest);
        secureWipe(block, sizeof block);
        return;
    }
    Sha1(data, static_cast<uint32_t>(len), digest);
}

int cos17B_Encrypt_SM4(const void* data, int len, const unsigned char* key, unsigned char* out) {
    if (len < 0 || len > kMaxFramed || (len > 0 && !data) || !key || !out) return 0;
    uint8_t block[kMaxFramed + 32] = {};
    block[0] = static_cast<uint8_t>(len);
    block[1] = static_cast<uint8_t>(len >> 8);
    if (len) memcpy(block + 2, data, static_cast<size_t>(len));
    block[2 + len] = 0x80;
    const int total = (len + 3 + 15) / 16 * 16;
    sm4_context ctx;
    sm4_setkey_enc(&ctx, key);
    const int rc = sm4_crypt_ecb(&ctx, total, block, out);
    sm4_clear(&ctx);
    secureWipe(block, static_cast<size_t>(total));
    return rc == 0 ? total : 0;
}

int cos17B_Encrypt_SM4Ex(const void* data, int len, const unsigned char* key, unsigned char* out) {
    if (len < 0 || len > 16 || (len > 0 && !data) || !key || !out) return 0;
    uint8_t block[16] = {};
    if (len) memcpy(block, data, static_cast<size_t>(len));
    sm4_context ctx;
    sm4_setkey_enc(&ctx, key);
    const int rc = sm4_crypt_ecb(&ctx, 16, block, out);
    sm4_clear(&ctx);
    secureWipe(block, sizeof block);
    return rc == 0 ? 16 : 0;
}

// CBC-MAC over data || 80 || zeros, block by block: no copy of the data.
int cos17B_MAC_SM4(const void* data, int len, const unsigned char* iv, const unsigned char* key,
                   unsigned char* mac) {
    if (len < 0 || (len > 0 && !data) || !iv || !key || !mac) return 0;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    sm4_context ctx;
    sm4_setkey_enc(&ctx, key);
    uint8_t chain[16];
    memcpy(chain, iv, 16);
    int pos = 0;
    bool padded = false;
    int rc = 0;
    while (!padded && rc == 0) {
        uint8_t block[16] = {};
        const int take = len - pos >= 16 ? 16 : len - pos;
        if (take > 0) memcpy(block, in + pos, static_cast<size_t>(take));
        pos += take;
        if (take < 16) {
            block[take] = 0x80;
            padded = true;
        }
        for (int i = 0; i < 16; ++i)
            block[i] ^= chain[i];
        rc = sm4_crypt_ecb(&ctx, 16, block, chain);
    }
    sm4_clear(&ctx);
    if (rc != 0) return 0;
    memcpy(mac, chain, 4);
    return 1;
}

uint32_t SKX_sm4Enc(const unsigned char* key, const unsigned char* in, unsigned int len,
                    unsigned char* out) {
    if (!key || !in || !out || len % 16 != 0 || len > 0x7FFFFFF0u) return SAR_FAIL;
    sm4_context ctx;
    sm4_setkey_enc(&ctx, key);
    const int rc = sm4_crypt_ecb(&ctx, static_cast<int>(len), in, out);
    sm4_clear(&ctx);
    return rc == 0 ? SAR_OK : SAR_FAIL;
}
