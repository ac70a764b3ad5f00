// The key's own cryptography, through OpenSSL 3. Kept apart from crypto/ on
// purpose: the virtual key must not share the daemon's implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vkey {

struct KeyPair;

bool randomBytes(uint8_t* out, size_t n);
bool sha1(const uint8_t* in, size_t n, uint8_t out[20]);
// SM4-ECB over whole 16-byte blocks.
bool sm4Ecb(const uint8_t key[16], const uint8_t* in, size_t n, uint8_t* out, bool encrypt);
// SM4-CBC MAC: data, 0x80, zeros to a block boundary; first 4 bytes of the
// last cipher block.
bool sm4Mac(const uint8_t key[16], const uint8_t iv[16], const uint8_t* data, size_t n,
            uint8_t mac[4]);
// PIN key: first 16 bytes of SHA-1 over the PIN zero-padded to 16 bytes.
bool pinKey(const uint8_t* pin, size_t n, uint8_t k[16]);

// SM2 on the GM/T curve. Coordinates and scalars are 32 bytes big-endian.
bool sm2Generate(KeyPair& kp);
// 1 <= d <= n-2, (x, y) on the curve and equal to d*G.
bool sm2CheckPair(const uint8_t x[32], const uint8_t y[32], const uint8_t d[32]);
bool sm2PointValid(const uint8_t x[32], const uint8_t y[32]);
// Signs the 32-byte e as given (no hashing).
bool sm2SignDigest(const KeyPair& kp, const uint8_t e[32], uint8_t r[32], uint8_t s[32]);
// C1 = (x1, y1), C3 = hash, C2 = cipher. Plaintext has the cipher's length.
bool sm2Decrypt(const KeyPair& kp, const uint8_t x1[32], const uint8_t y1[32], const uint8_t c3[32],
                const uint8_t* c2, size_t n, uint8_t* plain);
bool sm2Encrypt(const uint8_t x[32], const uint8_t y[32], const uint8_t* plain, size_t n,
                uint8_t x1[32], uint8_t y1[32], uint8_t c3[32], uint8_t* c2);

void wipe(void* p, size_t n);
// Constant-time comparison.
bool sameBytes(const void* a, const void* b, size_t n);

}  // namespace vkey
