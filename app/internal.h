// Internals of the key session shared by the files of app/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "log/log.h"
#include "skf/skf.h"

namespace nvapp {

// The result codes the session reports.
using namespace codes;

// Identifier the key gives the first application created on it: the base
// application of this system's layout.
constexpr unsigned kBaseAppId = 0x3F00;

// "line=%d,ret=x%x": where a card step failed and with what.
inline void logLine(int line, uint32_t rc) {
    _nvlog("line=%d,ret=x%x", line, rc);
}

// The reconnect-and-retry rule: a lost link is reconnected once and the
// call repeated once with the new device handle.
template <typename F>
uint32_t withRetry(F call) {
    uint32_t r = call();
    if (r == SAR_LINK_SEND) {
        CNvId::openDev();
        r = call();
    }
    return r;
}

// Bounds helper of this layer: a name of 1..limit characters that starts
// within `left` bytes and is terminated inside them.
size_t nameLen(const char* p, size_t left);

// Walks a names list (zero-terminated names ended by an empty name) with
// the rules of the key layout: a name that is empty or longer than `limit`
// is a bad length. Returns 0 at the end, kBadLength on a bad name, or the
// callback's nonzero result (which ends the walk). The callback gets each
// name in order.
template <typename F>
int walkNames(const char* list, unsigned size, size_t limit, F onName) {
    const char* p = list;
    size_t left = size;
    while (left >= 2) {
        size_t n = nameLen(p, left);
        if (n == 0 || n > limit) return kBadLength;
        int r = onName(p);
        if (r != 0) return r;
        if (left <= n + 1) break;
        p += n + 1;
        left -= n + 1;
    }
    return 0;
}

// The finger-record walk: the size check comes before the name is used, so
// the closing empty name keeps the last record in play.
template <typename F>
int walkRecords(const char* list, unsigned size, F onRecord) {
    const char* p = list;
    size_t left = size;
    while (left >= 2) {
        size_t n = nameLen(p, left);
        if (n == 0 || n > 11) return kBadLength;
        if (left <= n + 1) break;
        int finger = 0, tmpl = 0;
        if (sscanf(p, "%d_%d", &finger, &tmpl) == 2) {
            int r = onRecord(p, finger, tmpl);
            if (r != 0) return r;
        }
        p += n + 1;
        left -= n + 1;
    }
    return 0;
}

// Reads the key's application names ("name\0...\0\0") into `list`, zeroed
// first; `size` out is the used length, never beyond `cap`. With `retry` the
// reconnect-and-retry rule applies. kOk, or kFailed (logged).
int enumApps(char* list, unsigned cap, unsigned* size, bool retry);

// A named key is connected directly (kNoDev when that fails); without a name
// the open key is kept, or the first key opened when there is none.
int connectNamed(const char* devName);

// The first application of `list`, the logon-record one aside, that opens
// and reports kBaseAppId stays open in m_hApp (its name into `name` when
// given); the others are closed again. kOk, kBadLength or kOpenApp.
int openBaseApp(const char* list, unsigned size, char* name, size_t cap);

// Remembers the name of the key just connected ("" when none is), so that
// its removal is known when the port reports it. Session lock held.
void noteConnected(const char* name);

// Connects on demand; false when no key can be reached.
bool connected();

// Points the fingerprint channel at the connected key's link; kOk or
// kFailed (logged).
int useModuleLink();

// Opens the application into m_hApp (with `reconnect`, reconnecting once
// when the link was lost) and verifies the built-in user PIN; kOk or
// kFailed (logged).
int openAppWithPin(const char* app, bool reconnect = true);
// The same, then opens the container into m_hCot.
int openPinContainer(const char* app, const char* container);

// Built-in constants of the layout.
extern const uint8_t kFactoryKeyPair[96];  // X || Y || d
extern const char kDefaultDevKey[17];      // 16 ASCII digits
extern const uint8_t kPwdUserPin[7];       // logon-record PIN, zero-terminated

// The factory public key as a GM/T 0016 blob (Z value of its signatures).
Struct_ECCPUBLICKEYBLOB factoryBlob();

// Copies at most `cap` - 1 bytes of a zero-terminated text and terminates.
void copyText(char* dst, size_t cap, const char* src);

// Fills the administrator PIN of a new application (8 bytes and a zero).
void makeAdminPin(char pin[9]);

}  // namespace nvapp
