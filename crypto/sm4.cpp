// SM4 block cipher (GM/T 0002-2012). The round function uses four 256-entry
// tables that combine the S-box with the linear map L (built at compile
// time), so one round is four look-ups and XORs; the key schedule uses the
// plain S-box with L'.
#include <array>

#include "crypto/bytes.h"
#include "crypto/crypto.h"

using cryptobytes::getBe32;
using cryptobytes::putBe32;
using cryptobytes::rol32;

namespace {

constexpr uint8_t SboxTable[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

constexpr uint32_t FK[4] = {0xA3B1BAC6, 0x56AA3350, 0x677D9197, 0xB27022DC};

// CK_i byte j = (4i + j) * 7 mod 256.
constexpr std::array<uint32_t, 32> makeCk() {
    std::array<uint32_t, 32> ck{};
    for (unsigned i = 0; i < 32; ++i) {
        uint32_t w = 0;
        for (unsigned j = 0; j < 4; ++j)
            w = (w << 8) | (((4 * i + j) * 7) & 0xFF);
        ck[i] = w;
    }
    return ck;
}
constexpr std::array<uint32_t, 32> CK = makeCk();

constexpr uint32_t sm4L(uint32_t b) {
    return b ^ rol32(b, 2) ^ rol32(b, 10) ^ rol32(b, 18) ^ rol32(b, 24);
}

// kT[k][x] = L(S(x) placed in byte k of the word, k = 0 most significant).
using Tables = std::array<std::array<uint32_t, 256>, 4>;
constexpr Tables makeTables() {
    Tables t{};
    for (unsigned k = 0; k < 4; ++k)
        for (unsigned x = 0; x < 256; ++x)
            t[k][x] = sm4L(static_cast<uint32_t>(SboxTable[x]) << (24 - 8 * k));
    return t;
}
constexpr Tables kT = makeTables();

inline uint8_t sm4Sbox(uint8_t x) {
    return SboxTable[x];
}

// τ then L, through the combined tables.
inline uint32_t sm4Lt(uint32_t b) {
    return kT[0][b >> 24] ^ kT[1][(b >> 16) & 0xFF] ^ kT[2][(b >> 8) & 0xFF] ^ kT[3][b & 0xFF];
}

// Round function: X(i+4) = X(i) ^ T(X(i+1) ^ X(i+2) ^ X(i+3) ^ rk(i)).
inline uint32_t sm4F(uint32_t x0, uint32_t x1, uint32_t x2, uint32_t x3, uint32_t rk) {
    return x0 ^ sm4Lt(x1 ^ x2 ^ x3 ^ rk);
}

// τ then L', for the key schedule.
uint32_t sm4CalciRK(uint32_t b) {
    uint32_t s = static_cast<uint32_t>(sm4Sbox(static_cast<uint8_t>(b >> 24))) << 24 |
                 static_cast<uint32_t>(sm4Sbox(static_cast<uint8_t>(b >> 16))) << 16 |
                 static_cast<uint32_t>(sm4Sbox(static_cast<uint8_t>(b >> 8))) << 8 |
                 static_cast<uint32_t>(sm4Sbox(static_cast<uint8_t>(b)));
    return s ^ rol32(s, 13) ^ rol32(s, 23);
}

void sm4_setkey(uint32_t sk[32], const uint8_t key[16]) {
    uint32_t k[4];
    for (size_t i = 0; i < 4; ++i)
        k[i] = getBe32(key + 4 * i) ^ FK[i];
    for (int i = 0; i < 32; ++i) {
        uint32_t next =
            k[i & 3] ^ sm4CalciRK(k[(i + 1) & 3] ^ k[(i + 2) & 3] ^ k[(i + 3) & 3] ^ CK[i]);
        k[i & 3] = next;
        sk[i] = next;
    }
    cryptobytes::wipe(k, sizeof k);
}

#define SM4_F4(i)                           \
    x0 = sm4F(x0, x1, x2, x3, sk[(i) + 0]); \
    x1 = sm4F(x1, x2, x3, x0, sk[(i) + 1]); \
    x2 = sm4F(x2, x3, x0, x1, sk[(i) + 2]); \
    x3 = sm4F(x3, x0, x1, x2, sk[(i) + 3])

// A block as four big-endian words; the modes work on words so that the
// chaining XORs never go through memory.
struct Block {
    uint32_t w[4];
    static Block load(const uint8_t* p) {
        return {{getBe32(p), getBe32(p + 4), getBe32(p + 8), getBe32(p + 12)}};
    }
    void store(uint8_t* p) const {
        putBe32(p, w[0]);
        putBe32(p + 4, w[1]);
        putBe32(p + 8, w[2]);
        putBe32(p + 12, w[3]);
    }
    Block operator^(const Block& o) const {
        return {{w[0] ^ o.w[0], w[1] ^ o.w[1], w[2] ^ o.w[2], w[3] ^ o.w[3]}};
    }
};

// One block through the 32 rounds; the result is X35..X32.
inline Block sm4_one_round(const uint32_t sk[32], const Block& in) {
    uint32_t x0 = in.w[0], x1 = in.w[1], x2 = in.w[2], x3 = in.w[3];
    SM4_F4(0);
    SM4_F4(4);
    SM4_F4(8);
    SM4_F4(12);
    SM4_F4(16);
    SM4_F4(20);
    SM4_F4(24);
    SM4_F4(28);
    return {{x3, x2, x1, x0}};
}

// Two independent blocks round by round: the look-ups of one block fill the
// latency of the other.
inline void sm4_two_blocks(const uint32_t sk[32], Block& a, Block& b) {
    uint32_t a0 = a.w[0], a1 = a.w[1], a2 = a.w[2], a3 = a.w[3];
    uint32_t b0 = b.w[0], b1 = b.w[1], b2 = b.w[2], b3 = b.w[3];
    for (int i = 0; i < 32; i += 4) {
        a0 = sm4F(a0, a1, a2, a3, sk[i]);
        b0 = sm4F(b0, b1, b2, b3, sk[i]);
        a1 = sm4F(a1, a2, a3, a0, sk[i + 1]);
        b1 = sm4F(b1, b2, b3, b0, sk[i + 1]);
        a2 = sm4F(a2, a3, a0, a1, sk[i + 2]);
        b2 = sm4F(b2, b3, b0, b1, sk[i + 2]);
        a3 = sm4F(a3, a0, a1, a2, sk[i + 3]);
        b3 = sm4F(b3, b0, b1, b2, sk[i + 3]);
    }
    a = {{a3, a2, a1, a0}};
    b = {{b3, b2, b1, b0}};
}

bool badArgs(const sm4_context* ctx, int length, const void* in, const void* out) {
    return !ctx || !in || !out || length < 0 || length % kSm4Block != 0;
}

}  // namespace

void sm4_setkey_enc(sm4_context* ctx, const uint8_t key[16]) {
    if (!ctx || !key) return;
    ctx->mode = 1;
    sm4_setkey(ctx->sk, key);
}

void sm4_setkey_dec(sm4_context* ctx, const uint8_t key[16]) {
    if (!ctx || !key) return;
    ctx->mode = 0;
    sm4_setkey(ctx->sk, key);
    for (int i = 0; i < 16; ++i) {
        uint32_t t = ctx->sk[i];
        ctx->sk[i] = ctx->sk[31 - i];
        ctx->sk[31 - i] = t;
    }
}

void sm4_clear(sm4_context* ctx) {
    if (ctx) cryptobytes::wipe(ctx, sizeof *ctx);
}

int sm4_crypt_ecb(const sm4_context* ctx, int length, const uint8_t* input, uint8_t* output) {
    if (badArgs(ctx, length, input, output)) return -1;
    int done = 0;
    for (; length - done >= 2 * kSm4Block; done += 2 * kSm4Block) {
        Block a = Block::load(input + done), b = Block::load(input + done + 16);
        sm4_two_blocks(ctx->sk, a, b);
        a.store(output + done);
        b.store(output + done + 16);
    }
    if (done < length) sm4_one_round(ctx->sk, Block::load(input + done)).store(output + done);
    return 0;
}

int sm4_crypt_cbc(const sm4_context* ctx, int length, const uint8_t iv[16], const uint8_t* input,
                  uint8_t* output) {
    if (badArgs(ctx, length, input, output) || !iv) return -1;
    Block chain = Block::load(iv);
    int done = 0;
    if (ctx->mode == 1) {
        for (; done < length; done += kSm4Block) {
            chain = sm4_one_round(ctx->sk, chain ^ Block::load(input + done));
            chain.store(output + done);
        }
        return 0;
    }
    // Every input block is read before its output is written, so input and
    // output may be the same buffer.
    for (; length - done >= 2 * kSm4Block; done += 2 * kSm4Block) {
        const Block c0 = Block::load(input + done), c1 = Block::load(input + done + 16);
        Block a = c0, b = c1;
        sm4_two_blocks(ctx->sk, a, b);
        (a ^ chain).store(output + done);
        (b ^ c0).store(output + done + 16);
        chain = c1;
    }
    if (done < length) {
        const Block c = Block::load(input + done);
        (sm4_one_round(ctx->sk, c) ^ chain).store(output + done);
    }
    return 0;
}
