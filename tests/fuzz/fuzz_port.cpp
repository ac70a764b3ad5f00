#include "tests/fuzz/fuzz_port.h"

#include <cstring>

#include "transport/frame.h"

namespace fuzzport {
namespace {

const uint8_t* s_p = nullptr;
size_t s_left = 0;
int s_served = 0;
uint8_t s_lastChannel = 0;
uint8_t s_lastSeq = 0;

int pOpen(uint64_t) {
    return 0;
}
int pClose(uint64_t) {
    return 0;
}
int pTxd(uint64_t, const uint8_t* bytes, int len, int* sent) {
    if (len >= static_cast<int>(FRAME_OFS_PAYLOAD)) {
        s_lastChannel = bytes[FRAME_OFS_CHANNEL];
        s_lastSeq = bytes[FRAME_OFS_SEQ];
    }
    *sent = len;
    return 0;
}
int pRxd(uint64_t, uint8_t* buf, int capacity, int* received) {
    if (s_left < 3) return SS_ERR_TIMEOUT;
    const uint8_t flags = s_p[0];
    size_t n = static_cast<size_t>(s_p[1] | (s_p[2] << 8));
    s_p += 3, s_left -= 3;
    if (n > s_left) n = s_left;
    const uint8_t* bytes = s_p;
    s_p += n, s_left -= n;
    ++s_served;
    static uint8_t frame[FRAME_BUF_SIZE + FRAME_ENVELOPE];
    size_t total;
    if (flags & 4) {
        if (n > sizeof frame) n = sizeof frame;
        memcpy(frame, bytes, n);
        total = n;
    } else {
        if (n > FRAME_MAX_PAYLOAD) n = FRAME_MAX_PAYLOAD;
        memcpy(frame + FRAME_OFS_PAYLOAD, bytes, n);
        const uint8_t channel = (flags & 16) ? s_lastChannel ^ 1 : s_lastChannel;
        const uint8_t seq = (flags & 8) ? static_cast<uint8_t>(s_lastSeq + 1) : s_lastSeq;
        total = frameBuild(frame, sizeof frame, n, channel, (flags & 2) ? 1 : 0, seq, flags & 1);
    }
    // As a port does: a frame longer than the room is refused.
    if (total > static_cast<size_t>(capacity)) return SS_ERR_TOO_LONG;
    memcpy(buf, frame, total);
    *received = static_cast<int>(total);
    return 0;
}

}  // namespace

void reset(const uint8_t* data, size_t size) {
    s_p = data;
    s_left = size;
    s_served = 0;
    s_lastChannel = 0;
    s_lastSeq = 0;
}

_ST_DEV_OPT table() {
    _ST_DEV_OPT opt{};
    opt.handle = 1;
    opt.openDev = pOpen;
    opt.closeDev = pClose;
    opt.txdPkg = pTxd;
    opt.rxdPkg = pRxd;
    return opt;
}

void attach(CLink& link) {
    const _ST_DEV_OPT opt = table();
    link.SetDev(&opt);
    link.linkf_openDev();
}

int served() {
    return s_served;
}

}  // namespace fuzzport
