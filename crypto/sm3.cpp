// SM3 hash (GM/T 0004-2012) on 32-bit words. The message words W0..W67 are
// expanded in step with the rounds and the 64 rounds are unrolled with
// rotating register names, so no word is moved between rounds.
#include <array>

#include "crypto/bytes.h"
#include "crypto/crypto.h"

using cryptobytes::getBe32;
using cryptobytes::putBe32;
using cryptobytes::putBe64;
using cryptobytes::rol32;

namespace {

constexpr uint32_t kIv[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                             0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

constexpr uint32_t sm3_T(unsigned j) {
    return j < 16 ? 0x79CC4519u : 0x7A879D8Au;
}

// T_j rotated left by j (mod 32), as every round uses it.
constexpr std::array<uint32_t, 64> makeRoundConstants() {
    std::array<uint32_t, 64> k{};
    for (unsigned j = 0; j < 64; ++j)
        k[j] = rol32(sm3_T(j), j);
    return k;
}
constexpr std::array<uint32_t, 64> kT = makeRoundConstants();

// Rounds 0-15 use XOR; rounds 16-63 majority (FF) and choice (GG). j is a
// constant in the unrolled rounds, so the test folds away.
inline uint32_t sm3_FF(unsigned j, uint32_t x, uint32_t y, uint32_t z) {
    return j < 16 ? x ^ y ^ z : (x & y) | (z & (x | y));
}
inline uint32_t sm3_GG(unsigned j, uint32_t x, uint32_t y, uint32_t z) {
    return j < 16 ? x ^ y ^ z : z ^ (x & (y ^ z));
}
inline uint32_t sm3_P0(uint32_t x) {
    return x ^ rol32(x, 9) ^ rol32(x, 17);
}
inline uint32_t sm3_P1(uint32_t x) {
    return x ^ rol32(x, 15) ^ rol32(x, 23);
}

// Message expansion of W(i), 16 <= i < 68. Done just before the round that
// first needs it: scalar and in step with the rounds (a separate expansion
// loop gets vectorised into store-forwarding stalls). W'(j) = W(j) ^ W(j+4)
// is formed in the round itself.
inline void sm3_expand(uint32_t* w, unsigned i) {
    w[i] = sm3_P1(w[i - 16] ^ w[i - 9] ^ rol32(w[i - 3], 15)) ^ rol32(w[i - 13], 7) ^ w[i - 6];
}

// One round: d becomes the new A (TT1) and h the new E (P0(TT2)); b and f are
// rotated in place. The next round names the registers one place on.
#define SM3_ROUND(j, a, b, c, d, e, f, g, h)                   \
    do {                                                       \
        if ((j) + 4 >= 16) sm3_expand(w, (j) + 4);             \
        const uint32_t a12 = rol32(a, 12);                     \
        const uint32_t ss1 = rol32(a12 + (e) + kT[j], 7);      \
        const uint32_t ss2 = ss1 ^ a12;                        \
        (d) += sm3_FF(j, a, b, c) + ss2 + (w[j] ^ w[(j) + 4]); \
        (h) += sm3_GG(j, e, f, g) + ss1 + w[j];                \
        (b) = rol32(b, 9);                                     \
        (f) = rol32(f, 19);                                    \
        (h) = sm3_P0(h);                                       \
    } while (0)

#define SM3_ROUND8(j)                           \
    SM3_ROUND((j) + 0, A, B, C, D, E, F, G, H); \
    SM3_ROUND((j) + 1, D, A, B, C, H, E, F, G); \
    SM3_ROUND((j) + 2, C, D, A, B, G, H, E, F); \
    SM3_ROUND((j) + 3, B, C, D, A, F, G, H, E); \
    SM3_ROUND((j) + 4, A, B, C, D, E, F, G, H); \
    SM3_ROUND((j) + 5, D, A, B, C, H, E, F, G); \
    SM3_ROUND((j) + 6, C, D, A, B, G, H, E, F); \
    SM3_ROUND((j) + 7, B, C, D, A, F, G, H, E)

// Compresses `blocks` consecutive 64-byte blocks into state.
void sm3_compress(uint32_t state[8], const uint8_t* p, size_t blocks) {
    uint32_t w[68];
    while (blocks--) {
        for (size_t j = 0; j < 16; ++j)
            w[j] = getBe32(p + 4 * j);

        uint32_t A = state[0], B = state[1], C = state[2], D = state[3];
        uint32_t E = state[4], F = state[5], G = state[6], H = state[7];
        SM3_ROUND8(0);
        SM3_ROUND8(8);
        SM3_ROUND8(16);
        SM3_ROUND8(24);
        SM3_ROUND8(32);
        SM3_ROUND8(40);
        SM3_ROUND8(48);
        SM3_ROUND8(56);
        state[0] ^= A;
        state[1] ^= B;
        state[2] ^= C;
        state[3] ^= D;
        state[4] ^= E;
        state[5] ^= F;
        state[6] ^= G;
        state[7] ^= H;
        p += 64;
    }
    cryptobytes::wipe(w, sizeof w);
}

// Appends 0x80, zeros up to 56 mod 64 and the 64-bit big-endian bit count,
// compressing the one or two final blocks.
void sm3_padding(sm3_context* ctx) {
    size_t fill = static_cast<size_t>(ctx->total & 63);
    const uint64_t bits = ctx->total << 3;
    ctx->block[fill++] = 0x80;
    if (fill > 56) {
        memset(ctx->block + fill, 0, 64 - fill);
        sm3_compress(ctx->state, ctx->block, 1);
        fill = 0;
    }
    memset(ctx->block + fill, 0, 56 - fill);
    putBe64(ctx->block + 56, bits);
    sm3_compress(ctx->state, ctx->block, 1);
}

}  // namespace

void sm3_starts(sm3_context* ctx) {
    memcpy(ctx->state, kIv, sizeof kIv);
    ctx->total = 0;
}

void sm3_update(sm3_context* ctx, const uint8_t* data, size_t length) {
    if (length == 0) return;
    size_t fill = static_cast<size_t>(ctx->total & 63);
    ctx->total += length;
    if (fill) {
        size_t take = 64 - fill;
        if (length < take) {
            memcpy(ctx->block + fill, data, length);
            return;
        }
        memcpy(ctx->block + fill, data, take);
        sm3_compress(ctx->state, ctx->block, 1);
        data += take;
        length -= take;
    }
    if (length >= 64) {
        sm3_compress(ctx->state, data, length / 64);
        data += length & ~static_cast<size_t>(63);
        length &= 63;
    }
    if (length) memcpy(ctx->block, data, length);
}

uint64_t sm3_calc_paddingmsg_length(uint64_t length) {
    return (length / 64 + (length % 64 <= 55 ? 1 : 2)) * 64;
}

void sm3_finish(sm3_context* ctx, uint8_t out[kSm3Len]) {
    sm3_padding(ctx);
    for (size_t i = 0; i < 8; ++i)
        putBe32(out + 4 * i, ctx->state[i]);
    cryptobytes::wipe(ctx, sizeof *ctx);
}

int sm3(const uint8_t* message, uint32_t length, uint8_t* out) {
    if (!out || (!message && length)) return -1;
    sm3_context ctx;
    sm3_starts(&ctx);
    sm3_update(&ctx, message, length);
    sm3_finish(&ctx, out);
    return 0;
}
