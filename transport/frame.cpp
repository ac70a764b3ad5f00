// Frame envelope and checksums.
#include "transport/frame.h"

uint16_t get_lrc(const uint8_t* bytes, uint16_t count, uint16_t sum1, uint16_t sum2) {
    for (uint16_t i = 0; i < count; ++i) {
        sum1 = static_cast<uint16_t>(sum1 + bytes[i]);
        sum2 = static_cast<uint16_t>(sum2 + sum1);
    }
    return sum2;
}

uint16_t get_checksum(const uint8_t* bytes, uint16_t count) {
    return get_lrc(bytes, count, 0, 0);
}

int verify_checksum(const uint8_t* bytes, uint16_t count, uint16_t expected) {
    return get_checksum(bytes, count) == expected ? 0 : 1;
}

uint8_t lc_calculate(const uint8_t* bytes, uint16_t count) {
    uint8_t x = 0;
    for (uint16_t i = 0; i < count; ++i)
        x = static_cast<uint8_t>(x ^ bytes[i]);
    return x;
}

size_t frameSeal(uint8_t* frame, size_t capacity, size_t payloadLen) {
    if (payloadLen > FRAME_MAX_PAYLOAD || payloadLen + FRAME_ENVELOPE > capacity) return 0;
    UNPACKED16(static_cast<uint16_t>(payloadLen), frame + FRAME_OFS_LEN);
    const size_t sumAt = FRAME_OFS_PAYLOAD + payloadLen;
    // Covers the length, the four header bytes and the payload.
    UNPACKED16(get_checksum(frame + FRAME_OFS_LEN, static_cast<uint16_t>(payloadLen + 6)),
               frame + sumAt);
    frame[sumAt + 2] = FRAME_TAIL;
    return payloadLen + FRAME_ENVELOPE;
}

size_t frameBuild(uint8_t* frame, size_t capacity, size_t payloadLen, uint8_t channel,
                  uint8_t cipher, uint8_t seq, uint8_t cont) {
    if (payloadLen > FRAME_MAX_PAYLOAD || payloadLen + FRAME_ENVELOPE > capacity) return 0;
    frame[0] = FRAME_HEAD;
    frame[FRAME_OFS_CHANNEL] = channel;
    frame[FRAME_OFS_CIPHER] = cipher;
    frame[FRAME_OFS_SEQ] = seq;
    frame[FRAME_OFS_CONT] = cont;
    return frameSeal(frame, capacity, payloadLen);
}

uint8_t framePackBegin(tdLINK_PACK* pack, uint8_t channel, uint8_t cipher) {
    const uint8_t seq = static_cast<uint8_t>(pack->sequence);
    pack->sequence++;
    pack->frame[0] = FRAME_HEAD;
    pack->frame[FRAME_OFS_CHANNEL] = channel;
    pack->frame[FRAME_OFS_CIPHER] = cipher;
    pack->frame[FRAME_OFS_SEQ] = seq;
    pack->frame[FRAME_OFS_CONT] = 0;
    return seq;
}

uint32_t framePackSeal(tdLINK_PACK* pack) {
    return static_cast<uint32_t>(frameSeal(pack->frame, sizeof(pack->frame), pack->length));
}

uint32_t framePackBuild(tdLINK_PACK* pack, uint8_t channel, uint8_t cipher) {
    if (pack->length > FRAME_MAX_PAYLOAD) return 0;
    framePackBegin(pack, channel, cipher);
    return framePackSeal(pack);
}

int frameCheckEx(const uint8_t* frame, size_t count, size_t maxPayload) {
    if (frame == nullptr || count < FRAME_ENVELOPE || frame[0] != FRAME_HEAD) return 0;
    const size_t len = framePayloadLen(frame);
    if (len > maxPayload || len > FRAME_MAX_PAYLOAD || len + FRAME_ENVELOPE > count) return 0;
    const size_t sumAt = FRAME_OFS_PAYLOAD + len;
    if (verify_checksum(frame + FRAME_OFS_LEN, static_cast<uint16_t>(len + 6),
                        PACKED16(frame + sumAt)) != 0)
        return 0;
    return frame[sumAt + 2] == FRAME_TAIL ? 1 : 0;
}

int frameCheck(const uint8_t* frame, size_t count) {
    return frameCheckEx(frame, count, FRAME_CHECK_MAX_PAYLOAD);
}
