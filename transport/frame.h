// Link frames, as both ends of the link write and read them:
//
//   AA | len(2, big-endian) | channel | cipher | seq | cont | payload(len) | sum(2) | 55
//
// The sum is a Fletcher-style pair of 16-bit sums over bytes 1..6+len. Frames
// are built in place: the payload builder writes at offset 7 and the envelope
// is written around it. No libusb, no allocation: the virtual key uses this
// header as well.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Frame geometry.
constexpr uint8_t FRAME_HEAD = 0xAA;
constexpr uint8_t FRAME_TAIL = 0x55;
constexpr size_t FRAME_OFS_LEN = 1;
constexpr size_t FRAME_OFS_CHANNEL = 3;
constexpr size_t FRAME_OFS_CIPHER = 4;
constexpr size_t FRAME_OFS_SEQ = 5;
constexpr size_t FRAME_OFS_CONT = 6;
constexpr size_t FRAME_OFS_PAYLOAD = 7;
// Head, length, four header bytes, checksum and tail.
constexpr size_t FRAME_ENVELOPE = 10;
// Frame buffer of a link pack, and the payload that fits in it.
constexpr size_t FRAME_BUF_SIZE = 2056;
constexpr size_t FRAME_MAX_PAYLOAD = FRAME_BUF_SIZE - FRAME_ENVELOPE;
// What the exchangers offer a link receive.
constexpr size_t LINK_RXD_CAPACITY = 2048;
// Largest payload the validation rule accepts (whole frame within 1024 bytes).
constexpr size_t FRAME_CHECK_MAX_PAYLOAD = 1014;

// Channel byte values.
enum : uint8_t {
    FRAME_CH_ISO7816 = 0,
    FRAME_CH_AUTO = 1,
    FRAME_CH_CRYPTO = 2,
    FRAME_CH_FPM = 6,   // fingerprint module
    FRAME_CH_PWD = 7,   // vault and configuration
    FRAME_CH_APDU = 8,  // card OS
    FRAME_CH_PRODUCTION = 0xC0,
    FRAME_CH_BOOT = 0xC1,
};

// Payload cipher byte values.
enum : uint8_t { FRAME_PLAIN = 0, FRAME_SM4 = 1 };

// One exchanger's frame: sequence counter, length, and the frame itself.
// Before a send `length` is the payload length; after a receive it is what
// the exchanger stores (the received frame length).
struct tdLINK_PACK {
    uint32_t sequence;
    uint32_t length;
    uint8_t frame[FRAME_BUF_SIZE];
};

// ---------------------------------------------------------------------------
// Byte order of the envelope (big-endian).
inline uint16_t PACKED16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t PACKED32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void UNPACKED16(uint16_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void UNPACKED32(uint32_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Byte order inside payloads (little-endian: APDU Lc/Le/SW, module words).
inline uint16_t getLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t getLe32(const uint8_t* p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void putLe16(uint16_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putLe32(uint32_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// ---------------------------------------------------------------------------
// Checksums.

// Two 16-bit sums from 0: s1 += byte, s2 += s1 (both mod 65536); returns s2.
uint16_t get_checksum(const uint8_t* bytes, uint16_t count);
// 0 when the checksum of the bytes equals `expected`, 1 otherwise.
int verify_checksum(const uint8_t* bytes, uint16_t count, uint16_t expected);
// The checksum continued from the given sums (returns the second sum).
uint16_t get_lrc(const uint8_t* bytes, uint16_t count, uint16_t sum1, uint16_t sum2);
// XOR of the bytes.
uint8_t lc_calculate(const uint8_t* bytes, uint16_t count);

// ---------------------------------------------------------------------------
// Building frames in place.

// Writes head, channel, cipher, sequence and continuation around a payload
// whose `payloadLen` bytes already sit at offset 7 of `frame`, then the
// length, checksum and tail. Returns the frame length (payloadLen + 10), or 0
// when the frame would not fit in `capacity` (nothing is written then).
size_t frameBuild(uint8_t* frame, size_t capacity, size_t payloadLen, uint8_t channel,
                  uint8_t cipher, uint8_t seq, uint8_t cont);
// Writes only the length, checksum and tail (the header bytes are in place).
// Returns the frame length, or 0 when it would not fit.
size_t frameSeal(uint8_t* frame, size_t capacity, size_t payloadLen);

// Request side, on a pack: head, channel, cipher, the low byte of the pack's
// sequence (then incremented) and continuation 0. Returns the sequence byte
// written. The fingerprint channel enciphers the payload after this step.
uint8_t framePackBegin(tdLINK_PACK* pack, uint8_t channel, uint8_t cipher);
// Finishes the frame for pack->length payload bytes; returns the length to
// send, or 0 when pack->length exceeds FRAME_MAX_PAYLOAD.
uint32_t framePackSeal(tdLINK_PACK* pack);
// framePackBegin + framePackSeal.
uint32_t framePackBuild(tdLINK_PACK* pack, uint8_t channel, uint8_t cipher);

// ---------------------------------------------------------------------------
// Reading frames. The caller has at least the first three bytes.

inline uint16_t framePayloadLen(const uint8_t* frame) {
    return PACKED16(frame + FRAME_OFS_LEN);
}
// Whole frame length from the length field, without 16-bit wrap.
inline uint32_t frameTotalLen(const uint8_t* frame) {
    return static_cast<uint32_t>(framePayloadLen(frame)) + FRAME_ENVELOPE;
}

// The validation rule: head 0xAA, payload length at most `maxPayload`, the
// whole frame within the `count` bytes received, the stored checksum right,
// tail 0x55. Returns 1 for a valid frame, 0 otherwise.
int frameCheckEx(const uint8_t* frame, size_t count, size_t maxPayload);
// The rule with the 1014-byte payload limit.
int frameCheck(const uint8_t* frame, size_t count);
