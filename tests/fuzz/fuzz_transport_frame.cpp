// Frames as they come off a port: transfer units assembled into a frame
// (unitsReceive, with short, empty and oversize units), the validation rule
// (frameCheck / frameCheckEx), and the link's receive by channel that parks
// frames of other channels.
//
// Input: byte 0 = options, then the stream of bytes the port delivers.
//   bit 0    unit size 1024 instead of 64
//   bits 1-3 receive capacity (a table, from below the envelope to 2056)
//   bit 4    read units of odd sizes (a length byte before each unit)
//   bit 5    also run the stream through a link (rxdChannel)
//   bits 6-7 the channel the link receive asks for (6, 7, 8 or 0)
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transport/frame.h"
#include "transport/transport.h"
#include "transport/units.h"

namespace {

struct Stream {
    const uint8_t* p;
    size_t left;
    bool sized;
};

int readUnit(void* ctx, uint8_t* unit, size_t unitLen, size_t* got) {
    Stream* s = static_cast<Stream*>(ctx);
    if (s->left == 0) return SS_ERR_TIMEOUT;
    size_t n = unitLen;
    if (s->sized) {
        n = s->p[0];
        ++s->p, --s->left;
    }
    if (n > s->left) n = s->left;
    if (n > unitLen) n = unitLen;
    memcpy(unit, s->p, n);
    s->p += n, s->left -= n;
    *got = n;
    return 0;
}

const size_t kCapacities[8] = {3, 9, 10, 64, 128, 1024, LINK_RXD_CAPACITY, FRAME_BUF_SIZE};

// The port of the link: frames assembled from the same stream.
Stream g_port;
size_t g_unit = 64;
uint8_t g_staging[UNIT_MAX];

int pOpen(uint64_t) {
    return 0;
}
int pClose(uint64_t) {
    return 0;
}
int pTxd(uint64_t, const uint8_t*, int len, int* sent) {
    *sent = len;
    return 0;
}
int pRxd(uint64_t, uint8_t* buf, int capacity, int* received) {
    uint32_t n = 0;
    const int r =
        unitsReceive(readUnit, &g_port, g_staging, g_unit, buf, static_cast<size_t>(capacity), &n);
    if (r == 0) *received = static_cast<int>(n);
    return r;
}

void checkFrame(const uint8_t* f, uint32_t n) {
    // What the rule accepts is whole and inside the bytes given.
    if (frameCheck(f, n)) {
        if (frameTotalLen(f) > n || framePayloadLen(f) > FRAME_CHECK_MAX_PAYLOAD) abort();
        if (!frameCheckEx(f, n, FRAME_MAX_PAYLOAD)) abort();
    }
    (void)frameCheckEx(f, n, FRAME_MAX_PAYLOAD);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 16384) return 0;
    const uint8_t opt = data[0];
    const size_t unit = (opt & 1) ? 1024 : 64;
    const size_t capacity = kCapacities[(opt >> 1) & 7];
    const bool sized = opt & 0x10;

    // Assembly, frame after frame, until the stream ends.
    Stream s{data + 1, size - 1, sized};
    std::vector<uint8_t> staging(unit);
    std::vector<uint8_t> out(capacity);
    for (int frames = 0; frames < 64 && s.left > 0; ++frames) {
        uint32_t n = 0xFFFFFFFF;
        const int r = unitsReceive(readUnit, &s, staging.data(), unit, out.data(), capacity, &n);
        if (r == 0) {
            if (n < FRAME_ENVELOPE || n > capacity || n != frameTotalLen(out.data())) abort();
            std::vector<uint8_t> exact(out.begin(), out.begin() + n);
            checkFrame(exact.data(), n);
        } else if (n != 0xFFFFFFFF) {
            abort();  // a failed receive leaves the length alone
        }
    }
    // The raw bytes as one candidate frame.
    std::vector<uint8_t> raw(data + 1, data + size);
    if (raw.size() >= 3) checkFrame(raw.data(), static_cast<uint32_t>(raw.size()));

    if (opt & 0x20) {
        static const uint8_t kChannels[4] = {FRAME_CH_FPM, FRAME_CH_PWD, FRAME_CH_APDU, 0};
        g_port = Stream{data + 1, size - 1, sized};
        g_unit = unit;
        _ST_DEV_OPT dev{};
        dev.handle = 1;
        dev.openDev = pOpen;
        dev.closeDev = pClose;
        dev.txdPkg = pTxd;
        dev.rxdPkg = pRxd;
        CLink link;
        link.SetDev(&dev);
        if (link.linkf_openDev() == 0) {
            const uint8_t ch = kChannels[opt >> 6];
            std::vector<uint8_t> buf(capacity);
            for (int i = 0; i < 16; ++i) {
                int len = -1;
                const int r = link.rxdChannel(ch, buf.data(), &len, static_cast<int>(capacity), 0);
                if (r == 0 && (len < 0 || static_cast<size_t>(len) > capacity)) abort();
                if (r != 0 && g_port.left == 0) break;
            }
            link.linkf_closeDev();
        }
    }
    return 0;
}
