// Steps every smart-key function shares: entry log, binding a command to a
// device's link, resolving application and container handles, and the usual
// status test. Internal to skf/.
#pragma once

#include <cstring>

#include "log/log.h"
#include "skf/cos17.h"
#include "skf/devtable.h"
#include "skf/hdlmap.h"
#include "skf/skf.h"

#define SKF_ENTER() _nvlog(">>-%s", __func__)

// Gives the command the link of hDev; logs "get link" on failure.
uint32_t cosBind(CCOS17& cmd, void* hDev);

// Application handle -> card ID and device handle; logs "APP  " on failure.
bool resolveApp(HAPPLICATION hApp, unsigned short& appId, void*& hDev);

struct ContainerRef {
    unsigned short conId = 0;
    HAPPLICATION hApp = nullptr;
    unsigned short appId = 0;
    void* hDev = nullptr;
};
// Container handle -> container ID, its application and the device; logs
// "COT  " or "APP  " on failure.
bool resolveContainer(HCONTAINER hCon, ContainerRef& ref);

// After 0x6A94/0x6A91 (the card lost the container's selection): opens the
// container again by its handle's name and refreshes `ref`.
uint32_t reopenContainer(HCONTAINER hCon, ContainerRef& ref);

// The container's name and its application's ID and device, for commands
// that name the container rather than use its ID.
uint32_t containerByHandleName(HCONTAINER hCon, char (&name)[kHdlNameMax + 1],
                               unsigned short& appId, void*& hDev);

// 0x9000 or 0x6A9E is success; anything else converted.
uint32_t statusTest(const CCOS17& cmd);

// Bind, exchange and status test in one step for commands without reply data.
uint32_t cosExchange(CCOS17& cmd, void* hDev);

// Length of a NUL-terminated string, at most `cap` bytes looked at.
inline unsigned int textLen(const char* s, unsigned int cap) {
    return static_cast<unsigned int>(strnlen(s, cap));
}

// Card refusals and link failures are logged once with this line.
inline uint32_t logRet(uint32_t r) {
    _nvlog("ret=0x%X", r);
    return r;
}

// A PIN is 1 to 16 bytes; its length, or 0 when out of range.
inline unsigned int pinLen(const char* pin) {
    const size_t n = strnlen(pin, 17);
    return n >= 1 && n <= 16 ? static_cast<unsigned int>(n) : 0;
}

// One pass of a multi-pass listing: fills buf (capacity *pulLen) and returns
// 0, 0x6A9E when the card has more, or an error.
using ListPassFn = uint32_t (*)(void* owner, char* buf, unsigned int* pulLen);
// Repeats passes, continuing the list in place over the final NUL of each
// partial list, until the card has sent all of it.
uint32_t listAllPasses(ListPassFn pass, void* owner, char* buf, unsigned int* pulSize);

inline bool allZero(const uint8_t* p, unsigned int n) {
    for (unsigned int i = 0; i < n; ++i) {
        if (p[i]) return false;
    }
    return true;
}

// Reply data into a caller's buffer of *pulLen bytes (status checked first).
// A null buffer asks for the length. Unlike getRcv, a capacity of 0 is a
// capacity, never "no limit". Returns 0, 0x6A9E or an error; *pulLen gets the
// reply length on success.
uint32_t rcvToCaller(CCOS17& cmd, void* out, unsigned int* pulLen);

// getRcv for a command answered by one reply: "more data" counts as
// success, like the usual status test, so no bare status word leaks out as a
// result code.
uint32_t rcvReply(CCOS17& cmd, void* out, unsigned int& len, bool copyFirst);

// Bind (when not yet bound), exchange and receive the reply data into a
// caller's buffer (rcvToCaller rules). More-data is reported as success.
uint32_t cosExchangeTo(CCOS17& cmd, void* hDev, void* out, unsigned int* pulLen);

// Exchange and receive a reply of at most `cap` bytes into `rep` (cleared
// first); *got gets its length.
uint32_t cosExchangeFixed(CCOS17& cmd, void* hDev, uint8_t* rep, unsigned int cap,
                          unsigned int* got);

// Session-key, hash and MAC handles: type, card ID, device and algorithm.
struct ObjRef {
    unsigned short id = 0;
    void* hDev = nullptr;
    unsigned int alg = 0;
};
bool resolveObj(int type, HANDLE h, ObjRef& ref);
