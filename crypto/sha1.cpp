// SHA-1 (FIPS 180-4), kept for the secure-messaging helpers of the APDU
// layer. The message schedule is a 16-word ring expanded in the rounds.
#include "crypto/bytes.h"
#include "crypto/crypto.h"

using cryptobytes::getBe32;
using cryptobytes::putBe32;
using cryptobytes::rol32;

namespace {

#define SHA1_W(t) \
    (w[(t)&15] = rol32(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))

#define SHA1_STEP(a, b, c, d, e, f, k, x)            \
    do {                                             \
        (e) += rol32(a, 5) + f(b, c, d) + (k) + (x); \
        (b) = rol32(b, 30);                          \
    } while (0)

#define SHA1_F1(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define SHA1_F2(x, y, z) ((x) ^ (y) ^ (z))
#define SHA1_F3(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))

// Five steps with the registers named one place on each time.
#define SHA1_5(t, f, k, W)                      \
    SHA1_STEP(A, B, C, D, E, f, k, W((t) + 0)); \
    SHA1_STEP(E, A, B, C, D, f, k, W((t) + 1)); \
    SHA1_STEP(D, E, A, B, C, f, k, W((t) + 2)); \
    SHA1_STEP(C, D, E, A, B, f, k, W((t) + 3)); \
    SHA1_STEP(B, C, D, E, A, f, k, W((t) + 4))

#define SHA1_W0(t) w[t]

void sha1_process(uint32_t state[5], const uint8_t* p, size_t blocks) {
    uint32_t w[16];
    while (blocks--) {
        for (size_t i = 0; i < 16; ++i)
            w[i] = getBe32(p + 4 * i);
        uint32_t A = state[0], B = state[1], C = state[2], D = state[3], E = state[4];
        SHA1_5(0, SHA1_F1, 0x5A827999u, SHA1_W0);
        SHA1_5(5, SHA1_F1, 0x5A827999u, SHA1_W0);
        SHA1_5(10, SHA1_F1, 0x5A827999u, SHA1_W0);
        SHA1_STEP(A, B, C, D, E, SHA1_F1, 0x5A827999u, w[15]);
        SHA1_STEP(E, A, B, C, D, SHA1_F1, 0x5A827999u, SHA1_W(16));
        SHA1_STEP(D, E, A, B, C, SHA1_F1, 0x5A827999u, SHA1_W(17));
        SHA1_STEP(C, D, E, A, B, SHA1_F1, 0x5A827999u, SHA1_W(18));
        SHA1_STEP(B, C, D, E, A, SHA1_F1, 0x5A827999u, SHA1_W(19));
        SHA1_5(20, SHA1_F2, 0x6ED9EBA1u, SHA1_W);
        SHA1_5(25, SHA1_F2, 0x6ED9EBA1u, SHA1_W);
        SHA1_5(30, SHA1_F2, 0x6ED9EBA1u, SHA1_W);
        SHA1_5(35, SHA1_F2, 0x6ED9EBA1u, SHA1_W);
        SHA1_5(40, SHA1_F3, 0x8F1BBCDCu, SHA1_W);
        SHA1_5(45, SHA1_F3, 0x8F1BBCDCu, SHA1_W);
        SHA1_5(50, SHA1_F3, 0x8F1BBCDCu, SHA1_W);
        SHA1_5(55, SHA1_F3, 0x8F1BBCDCu, SHA1_W);
        SHA1_5(60, SHA1_F2, 0xCA62C1D6u, SHA1_W);
        SHA1_5(65, SHA1_F2, 0xCA62C1D6u, SHA1_W);
        SHA1_5(70, SHA1_F2, 0xCA62C1D6u, SHA1_W);
        SHA1_5(75, SHA1_F2, 0xCA62C1D6u, SHA1_W);
        state[0] += A;
        state[1] += B;
        state[2] += C;
        state[3] += D;
        state[4] += E;
        p += 64;
    }
    cryptobytes::wipe(w, sizeof w);
}

}  // namespace

void sha1_starts(sha1_context* ctx) {
    ctx->total[0] = ctx->total[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
}

void sha1_update(sha1_context* ctx, const uint8_t* data, size_t length) {
    if (length == 0) return;
    size_t fill = ctx->total[0] & 63;
    uint64_t total = (static_cast<uint64_t>(ctx->total[1]) << 32 | ctx->total[0]) + length;
    ctx->total[0] = static_cast<uint32_t>(total);
    ctx->total[1] = static_cast<uint32_t>(total >> 32);
    if (fill) {
        size_t take = 64 - fill;
        if (length < take) {
            memcpy(ctx->buffer + fill, data, length);
            return;
        }
        memcpy(ctx->buffer + fill, data, take);
        sha1_process(ctx->state, ctx->buffer, 1);
        data += take;
        length -= take;
    }
    if (length >= 64) {
        sha1_process(ctx->state, data, length / 64);
        data += length & ~static_cast<size_t>(63);
        length &= 63;
    }
    if (length) memcpy(ctx->buffer, data, length);
}

void sha1_finish(sha1_context* ctx, uint8_t out[kSha1Len]) {
    const uint64_t bits = (static_cast<uint64_t>(ctx->total[1]) << 32 | ctx->total[0]) << 3;
    size_t fill = ctx->total[0] & 63;
    ctx->buffer[fill++] = 0x80;
    if (fill > 56) {
        memset(ctx->buffer + fill, 0, 64 - fill);
        sha1_process(ctx->state, ctx->buffer, 1);
        fill = 0;
    }
    memset(ctx->buffer + fill, 0, 56 - fill);
    cryptobytes::putBe64(ctx->buffer + 56, bits);
    sha1_process(ctx->state, ctx->buffer, 1);
    for (size_t i = 0; i < 5; ++i)
        putBe32(out + 4 * i, ctx->state[i]);
    cryptobytes::wipe(ctx, sizeof *ctx);
}

void Sha1Ex(const uint8_t* data, uint32_t count, uint8_t out[kSha1Len], uint32_t piece) {
    sha1_context ctx;
    sha1_starts(&ctx);
    if (data && count) {
        if (piece == 0) piece = count;
        uint32_t done = 0;
        while (count - done > piece) {
            sha1_update(&ctx, data + done, piece);
            done += piece;
        }
        sha1_update(&ctx, data + done, count - done);
    }
    sha1_finish(&ctx, out);
}

void Sha1(const uint8_t* data, uint32_t count, uint8_t out[kSha1Len]) {
    Sha1Ex(data, count, out, 32768);
}
