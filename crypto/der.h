// Internal to crypto/: DER header arithmetic, the unsigned-INTEGER encoder
// and a bounds-checked TLV reader shared by the builders and the
// certificate reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/crypto.h"

namespace der {

// Header length for a value of n bytes (tag + 1..3 length bytes), 0 when n
// is beyond the 65535 bytes this writer supports.
inline uint32_t hdrLen(uint32_t n) {
    return n < 128 ? 2 : n < 256 ? 3 : n <= kDerMaxValue ? 4 : 0;
}

// Writes tag and length header at p (room for hdrLen(n) bytes); returns the
// bytes written.
uint32_t putHdr(uint8_t* p, uint8_t tag, uint32_t n);

// Largest INTEGER TLV uintToInteger writes for an n-byte value.
constexpr size_t intMax(size_t n) {
    return n + 3;
}
// Complete INTEGER TLV of the n-byte unsigned big-endian value (n < 125):
// leading zeros dropped, 00 prepended when the high bit is set, zero as
// 02 01 00. Returns its length.
uint32_t uintToInteger(const uint8_t* value, uint32_t n, uint8_t* out);

// One element read from [p, p + left): tag, header length and value length.
struct Tlv {
    uint8_t tag;
    size_t hdr;
    size_t len;
    size_t total() const { return hdr + len; }
};
// False when the header or the value would pass `left` bytes, the tag is a
// multi-byte one or the length form is indefinite or longer than 3 bytes.
bool readTlv(const uint8_t* p, size_t left, Tlv& t);

}  // namespace der
