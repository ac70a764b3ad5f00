// The key's side of the link frame:
//   AA | length (2, big-endian) | channel | cipher | seq | cont | payload |
//   checksum (2, big-endian, over bytes 1..6+length) | 55
// Written here rather than shared with transport/: the key checks what the
// daemon sends with its own reading of the format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vkey/vkey.h"

namespace vkey {

constexpr size_t kFrameHeader = 7;
constexpr size_t kFrameEnvelope = 10;
constexpr size_t kMaxPayload = kMaxFrame - kFrameEnvelope;
constexpr uint8_t kChannelFinger = 6;
constexpr uint8_t kChannelVault = 7;
constexpr uint8_t kChannelCard = 8;

struct FrameView {
    uint8_t channel = 0, cipher = 0, seq = 0, cont = 0;
    const uint8_t* payload = nullptr;
    size_t length = 0;
};

// Two 16-bit sums from 0: s1 += byte, s2 += s1; the result is s2.
uint16_t linkChecksum(const uint8_t* p, size_t n);

// Bytes a frame occupies from its first three bytes (head and length), or 0
// when the head is wrong or the length exceeds the largest frame.
size_t frameSizeFromHead(const uint8_t* p, size_t n);

// Checks head, length, checksum and tail of a received request (`n` bytes,
// padding allowed after the tail). Returns null when valid, else the reason.
const char* checkRequestFrame(const uint8_t* p, size_t n, FrameView& out);

// Frames the `payloadLen` bytes already at offset 7 of `frame`. Returns the
// frame length, or 0 when it does not fit `cap`.
size_t buildReplyFrame(uint8_t* frame, size_t cap, size_t payloadLen, uint8_t channel, uint8_t seq);

// A reply payload with a status and no data (SW LE, length 0).
size_t statusOnly(uint16_t sw, uint8_t* out, size_t cap);

}  // namespace vkey
