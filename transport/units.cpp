// Frames as transfer units, shared by every port.
#include "transport/units.h"

#include <cstring>

#include "transport/frame.h"

int unitsSend(UnitWriteFn write, void* ctx, uint8_t* staging, size_t unitLen, const uint8_t* bytes,
              size_t len) {
    if (unitLen == 0 || unitLen > UNIT_MAX) return SS_ERR_TXD;
    size_t done = 0;
    while (done < len) {
        const size_t left = len - done;
        const uint8_t* unit = bytes + done;
        if (left < unitLen) {
            memset(staging, 0, unitLen);
            memcpy(staging, unit, left);
            unit = staging;
        }
        const int r = write(ctx, unit, unitLen);
        if (r != 0) return r;
        done += left < unitLen ? left : unitLen;
    }
    return 0;
}

int unitsReceive(UnitReadFn read, void* ctx, uint8_t* staging, size_t unitLen, uint8_t* out,
                 size_t capacity, uint32_t* outLen) {
    if (unitLen == 0 || unitLen > UNIT_MAX) return SS_ERR_RXD;
    uint8_t head[3];       // the first bytes, until the length field is known
    size_t taken = 0;      // frame bytes consumed so far
    size_t expected = 0;   // 0 until the length field has arrived
    bool refused = false;  // frame longer than the buffer: drain it, keep nothing
    int empties = 0;
    for (;;) {
        size_t got = 0;
        const int r = read(ctx, staging, unitLen, &got);
        if (r != 0) return r;
        if (got > unitLen) got = unitLen;
        if (got == 0) {
            if (++empties > UNIT_MAX_EMPTY) return SS_ERR_RXD;
            continue;
        }
        empties = 0;
        size_t at = 0;
        while (at < got && expected == 0) {
            head[taken++] = staging[at++];
            if (taken == sizeof(head)) {
                expected = frameTotalLen(head);
                refused = out != nullptr && expected > capacity;
                if (out != nullptr && !refused) memcpy(out, head, sizeof(head));
            }
        }
        if (expected == 0) continue;
        size_t take = got - at;
        if (take > expected - taken) take = expected - taken;
        if (out != nullptr && !refused) memcpy(out + taken, staging + at, take);
        taken += take;
        if (taken < expected) continue;
        if (refused) return SS_ERR_TOO_LONG;
        if (outLen != nullptr) *outLen = static_cast<uint32_t>(expected);
        return 0;
    }
}
