// The key's side of the link frame (AA | length | channel | cipher | seq |
// cont | payload | checksum | 55). The envelope, checksum and builders are the
// project's framing helpers (transport/frame.h); what the key adds is its own
// acceptance rule for requests and the reply payload of a bare status.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/frame.h"
#include "vkey/vkey.h"

namespace vkey {

constexpr size_t kFrameHeader = FRAME_OFS_PAYLOAD;
constexpr size_t kFrameEnvelope = FRAME_ENVELOPE;
constexpr size_t kMaxPayload = FRAME_MAX_PAYLOAD;
constexpr uint8_t kChannelFinger = FRAME_CH_FPM;
constexpr uint8_t kChannelVault = FRAME_CH_PWD;
constexpr uint8_t kChannelCard = FRAME_CH_APDU;
static_assert(kMaxFrame == FRAME_BUF_SIZE, "the key and the host agree on the largest frame");

struct FrameView {
    uint8_t channel = 0, cipher = 0, seq = 0, cont = 0;
    const uint8_t* payload = nullptr;
    size_t length = 0;
};

// Checks head, length, checksum and tail of a received request (`n` bytes,
// padding allowed after the tail). Returns null when valid, else the reason.
const char* checkRequestFrame(const uint8_t* p, size_t n, FrameView& out);

// A reply payload with a status and no data (status LE, length 0).
size_t statusOnly(uint16_t status, uint8_t* out, size_t cap);

// Reply payload of the module and vault channels: status, data length, data.
// Returns the payload length, or 0 when it does not fit `cap`.
size_t modulePayload(uint16_t status, const uint8_t* data, size_t n, uint8_t* out, size_t cap);

}  // namespace vkey
