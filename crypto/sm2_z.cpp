// SM2 signer identity value Z and the digest SM3(Z || M) that the key signs.
// Z input: ENTL || ID || a || b || xG || yG || xA || yA (GM/T 0003.2, curve
// parameters of GM/T 0003.5).
#include "crypto/bytes.h"
#include "crypto/crypto.h"

const uint8_t ENTLA_ID[18] = {'A', 'L', 'I', 'C', 'E', '1', '2', '3', '@',
                              'Y', 'A', 'H', 'O', 'O', '.', 'C', 'O', 'M'};

namespace {

// a, b, xG, yG of the recommended 256-bit curve, in the Z input order.
constexpr uint8_t kCurve[128] = {
    // a
    0xFF,
    0xFF,
    0xFF,
    0xFE,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0x00,
    0x00,
    0x00,
    0x00,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFC,
    // b
    0x28,
    0xE9,
    0xFA,
    0x9E,
    0x9D,
    0x9F,
    0x5E,
    0x34,
    0x4D,
    0x5A,
    0x9E,
    0x4B,
    0xCF,
    0x65,
    0x09,
    0xA7,
    0xF3,
    0x97,
    0x89,
    0xF5,
    0x15,
    0xAB,
    0x8F,
    0x92,
    0xDD,
    0xBC,
    0xBD,
    0x41,
    0x4D,
    0x94,
    0x0E,
    0x93,
    // xG
    0x32,
    0xC4,
    0xAE,
    0x2C,
    0x1F,
    0x19,
    0x81,
    0x19,
    0x5F,
    0x99,
    0x04,
    0x46,
    0x6A,
    0x39,
    0xC9,
    0x94,
    0x8F,
    0xE3,
    0x0B,
    0xBF,
    0xF2,
    0x66,
    0x0B,
    0xE1,
    0x71,
    0x5A,
    0x45,
    0x89,
    0x33,
    0x4C,
    0x74,
    0xC7,
    // yG
    0xBC,
    0x37,
    0x36,
    0xA2,
    0xF4,
    0xF6,
    0x77,
    0x9C,
    0x59,
    0xBD,
    0xCE,
    0xE3,
    0x6B,
    0x69,
    0x21,
    0x53,
    0xD0,
    0xA9,
    0x87,
    0x7C,
    0xC6,
    0x2A,
    0x47,
    0x40,
    0x02,
    0xDF,
    0x32,
    0xE5,
    0x21,
    0x39,
    0xF0,
    0xA0,
};

// Resolves the identity rules shared by the two ID-taking functions.
bool pickId(const uint8_t*& id, uint32_t& idLength) {
    if (!id) {
        if (idLength) return false;
        id = ENTLA_ID;
        idLength = sizeof ENTLA_ID;
    }
    return idLength <= kSm2MaxIdLen;
}

// Z = SM3(Z input) without building the input in memory.
void hashZ(const uint8_t* xA, const uint8_t* yA, const uint8_t* id, uint32_t idLength,
           uint8_t z[kSm3Len]) {
    uint8_t entl[2];
    cryptobytes::putBe16(entl, static_cast<uint16_t>(idLength * 8));
    sm3_context ctx;
    sm3_starts(&ctx);
    sm3_update(&ctx, entl, 2);
    sm3_update(&ctx, id, idLength);
    sm3_update(&ctx, kCurve, sizeof kCurve);
    sm3_update(&ctx, xA, 32);
    sm3_update(&ctx, yA, 32);
    sm3_finish(&ctx, z);
}

void hashZM(const uint8_t z[kSm3Len], const uint8_t* message, uint32_t length, uint8_t* out) {
    sm3_context ctx;
    sm3_starts(&ctx);
    sm3_update(&ctx, z, kSm3Len);
    sm3_update(&ctx, message, length);
    sm3_finish(&ctx, out);
}

}  // namespace

int sm2ExportZValue(const uint8_t* xA, const uint8_t* yA, const uint8_t* id, uint32_t idLength,
                    uint8_t* out, uint32_t* outLength) {
    if (!xA || !yA || !out || !outLength || !pickId(id, idLength)) return -1;
    const uint32_t need = kSm2ZFixedLen + idLength;
    if (*outLength < need) return -1;
    cryptobytes::putBe16(out, static_cast<uint16_t>(idLength * 8));
    memcpy(out + 2, id, idLength);
    uint8_t* p = out + 2 + idLength;
    memcpy(p, kCurve, sizeof kCurve);
    memcpy(p + sizeof kCurve, xA, 32);
    memcpy(p + sizeof kCurve + 32, yA, 32);
    *outLength = need;
    return 0;
}

int sm3_ZVal(uint8_t* out, const uint8_t* xA, const uint8_t* yA) {
    uint32_t n = kSm2ZFixedLen + kSm2DefaultIdLen;
    const uint8_t* id = reinterpret_cast<const uint8_t*>(kSm2DefaultId);
    if (sm2ExportZValue(xA, yA, id, kSm2DefaultIdLen, out, &n) != 0) return 0;
    return static_cast<int>(n);
}

int sm3WithZ(uint8_t* out, const uint8_t* message, uint32_t length, const uint8_t* xA,
             const uint8_t* yA) {
    if (!out || !xA || !yA || (!message && length)) return 0;
    if (length > kSm3WithZMaxMsg) return 0;
    uint8_t z[kSm3Len];
    hashZ(xA, yA, reinterpret_cast<const uint8_t*>(kSm2DefaultId), kSm2DefaultIdLen, z);
    hashZM(z, message, length, out);
    return kSm3Len;
}

int sm2HashZValue(const uint8_t* xA, const uint8_t* yA, const uint8_t* id, uint32_t idLength,
                  const uint8_t* message, uint32_t length, uint8_t* out) {
    if (!xA || !yA || !out || (!message && length) || !pickId(id, idLength)) return -1;
    uint8_t z[kSm3Len];
    hashZ(xA, yA, id, idLength, z);
    hashZM(z, message, length, out);
    return 0;
}
