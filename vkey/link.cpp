#include "vkey/link.h"

#include <cstring>

#include "util/util.h"

namespace vkey {

const char* checkRequestFrame(const uint8_t* p, size_t n, FrameView& out) {
    if (n < kFrameEnvelope) return "shorter than a frame";
    if (p[0] != FRAME_HEAD) return "bad head";
    const size_t len = framePayloadLen(p);
    if (len > kMaxPayload) return "length field too large";
    if (!fitsIn(0, len + kFrameEnvelope, n)) return "shorter than its length field";
    const size_t sumAt = kFrameHeader + len;
    if (verify_checksum(p + FRAME_OFS_LEN, static_cast<uint16_t>(len + 6), PACKED16(p + sumAt)) !=
        0)
        return "bad checksum";
    if (p[sumAt + 2] != FRAME_TAIL) return "bad tail";
    out.channel = p[FRAME_OFS_CHANNEL];
    out.cipher = p[FRAME_OFS_CIPHER];
    out.seq = p[FRAME_OFS_SEQ];
    out.cont = p[FRAME_OFS_CONT];
    out.payload = p + kFrameHeader;
    out.length = len;
    return nullptr;
}

size_t statusOnly(uint16_t status, uint8_t* out, size_t cap) {
    return modulePayload(status, nullptr, 0, out, cap);
}

size_t modulePayload(uint16_t status, const uint8_t* data, size_t n, uint8_t* out, size_t cap) {
    if (n > 0xFFFF || !fitsIn(0, 4 + n, cap)) return 0;
    putLe16(status, out);
    putLe16(static_cast<uint16_t>(n), out + 2);
    if (n > 0) memcpy(out + 4, data, n);
    return 4 + n;
}

}  // namespace vkey
