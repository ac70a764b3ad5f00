// Internal to crypto/: big-endian word access and secret wiping. Every
// algorithm of this folder reads and writes its words through these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cryptobytes {

inline uint32_t getBe32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void putBe32(uint8_t* p, uint32_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    memcpy(p, &v, 4);
}

inline void putBe64(uint8_t* p, uint64_t v) {
    putBe32(p, static_cast<uint32_t>(v >> 32));
    putBe32(p + 4, static_cast<uint32_t>(v));
}

inline void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

constexpr uint32_t rol32(uint32_t x, unsigned n) {
    n &= 31;
    return n == 0 ? x : (x << n) | (x >> (32 - n));
}

// memset that the optimiser may not drop: used on keys, round keys and
// hash states once they are no longer needed.
inline void wipe(void* p, size_t n) {
    memset(p, 0, n);
    // The empty asm "reads" the memory, so the memset cannot be dropped.
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

}  // namespace cryptobytes
