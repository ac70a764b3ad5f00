#include "vkey/link.h"

#include "util/util.h"
#include "vkey/vkey.h"

namespace vkey {

uint16_t linkChecksum(const uint8_t* p, size_t n) {
    uint16_t s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = static_cast<uint16_t>(s1 + p[i]);
        s2 = static_cast<uint16_t>(s2 + s1);
    }
    return s2;
}

size_t frameSizeFromHead(const uint8_t* p, size_t n) {
    if (n < 3 || p[0] != 0xAA) return 0;
    size_t len = static_cast<size_t>(p[1]) << 8 | p[2];
    if (len > kMaxPayload) return 0;
    return len + kFrameEnvelope;
}

const char* checkRequestFrame(const uint8_t* p, size_t n, FrameView& out) {
    if (n < kFrameEnvelope) return "shorter than a frame";
    if (p[0] != 0xAA) return "bad head";
    size_t total = frameSizeFromHead(p, n);
    if (total == 0) return "length field too large";
    if (!fitsIn(0, total, n)) return "shorter than its length field";
    size_t len = total - kFrameEnvelope;
    uint16_t sum = static_cast<uint16_t>(p[7 + len] << 8 | p[8 + len]);
    if (sum != linkChecksum(p + 1, 6 + len)) return "bad checksum";
    if (p[9 + len] != 0x55) return "bad tail";
    out.channel = p[3];
    out.cipher = p[4];
    out.seq = p[5];
    out.cont = p[6];
    out.payload = p + kFrameHeader;
    out.length = len;
    return nullptr;
}

size_t buildReplyFrame(uint8_t* f, size_t cap, size_t payloadLen, uint8_t channel, uint8_t seq) {
    if (payloadLen > kMaxPayload || !fitsIn(0, payloadLen + kFrameEnvelope, cap)) return 0;
    f[0] = 0xAA;
    f[1] = static_cast<uint8_t>(payloadLen >> 8);
    f[2] = static_cast<uint8_t>(payloadLen);
    f[3] = channel;
    f[4] = 0;
    f[5] = seq;
    f[6] = 0;
    uint16_t sum = linkChecksum(f + 1, 6 + payloadLen);
    f[7 + payloadLen] = static_cast<uint8_t>(sum >> 8);
    f[8 + payloadLen] = static_cast<uint8_t>(sum);
    f[9 + payloadLen] = 0x55;
    return payloadLen + kFrameEnvelope;
}

size_t statusOnly(uint16_t sw, uint8_t* out, size_t cap) {
    if (cap < 4) return 0;
    out[0] = static_cast<uint8_t>(sw);
    out[1] = static_cast<uint8_t>(sw >> 8);
    out[2] = 0;
    out[3] = 0;
    return 4;
}

}  // namespace vkey
