// Device-level card commands: identity fields, device information, random
// numbers, device authentication and the device-key change.
#include <cstring>

#include "vkey/card.h"
#include "vkey/crypto_ossl.h"

namespace vkey {

namespace {

// Identity selectors of the write and read commands.
enum { W_LABEL = 0, W_SERIAL = 1, W_FIELD2 = 2, W_RESERVED = 3, W_TYPE = 4 };
enum {
    R_ALL = 0,
    R_SERIAL = 1,
    R_FIELD2 = 2,
    R_LABEL = 3,
    R_VERSION = 4,
    R_RESERVED = 5,
    R_TYPE = 6
};
constexpr size_t kMaxOffset = 118;

void putPadded(Reply& r, const std::vector<uint8_t>& v, size_t width) {
    uint8_t field[64] = {};
    memcpy(field, v.data(), v.size() < width ? v.size() : width);
    r.put(field, width);
}

void putText(Reply& r, const char* text, size_t width) {
    std::vector<uint8_t> v(text, text + strlen(text));
    putPadded(r, v, width);
}

// Text fields: a write at an offset keeps the bytes before it and ends the
// field after the bytes written.
uint16_t writeText(std::vector<uint8_t>& field, size_t cap, size_t offset, const uint8_t* p,
                   size_t n) {
    if (offset > field.size()) return SW_BAD_OFFSET;
    if (offset + n > cap) return SW_WRONG_LENGTH;
    field.resize(offset);
    field.insert(field.end(), p, p + n);
    return SW_OK;
}

uint16_t readBytes(const uint8_t* p, size_t n, size_t offset, Reply& r) {
    if (offset > n) return SW_BAD_OFFSET;
    r.put(p + offset, n - offset);
    return SW_OK;
}

}  // namespace

uint16_t cosSetIdentity(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 > W_TYPE) return SW_BAD_P1P2;
    if (a.p2 > kMaxOffset) return SW_BAD_OFFSET;
    if (!c.session.devAuthed) return SW_NOT_LOGGED_IN;
    CardState& s = c.state;
    uint16_t sw = SW_OK;
    switch (a.p1) {
        case W_LABEL:
            sw = writeText(s.label, 32, a.p2, a.data, a.lc);
            break;
        case W_SERIAL:
            sw = writeText(s.serial, 32, a.p2, a.data, a.lc);
            break;
        case W_FIELD2:
            sw = writeText(s.field2, 64, a.p2, a.data, a.lc);
            break;
        case W_RESERVED:
            if (a.p2 + static_cast<size_t>(a.lc) > sizeof s.reserved) return SW_WRONG_LENGTH;
            memcpy(s.reserved + a.p2, a.data, a.lc);
            break;
        case W_TYPE:
            if (a.p2 != 0) return SW_BAD_OFFSET;
            if (a.lc != 2) return SW_WRONG_LENGTH;
            s.devType = static_cast<uint16_t>(a.data[0] | (a.data[1] << 8));
            break;
    }
    if (sw == SW_OK) r.changed = true;
    return sw;
}

uint16_t cosGetIdentity(Card& c, const Apdu& a, Reply& r) {
    if (a.p2 > kMaxOffset) return SW_BAD_OFFSET;
    const CardState& s = c.state;
    switch (a.p1) {
        case R_SERIAL:
            return readBytes(s.serial.data(), s.serial.size(), a.p2, r);
        case R_FIELD2:
            return readBytes(s.field2.data(), s.field2.size(), a.p2, r);
        case R_LABEL:
            return readBytes(s.label.data(), s.label.size(), a.p2, r);
        case R_VERSION:
            return readBytes(s.firmware, sizeof s.firmware, a.p2, r);
        case R_RESERVED:
            return readBytes(s.reserved, sizeof s.reserved, a.p2, r);
        case R_TYPE: {
            uint8_t t[2] = {static_cast<uint8_t>(s.devType), static_cast<uint8_t>(s.devType >> 8)};
            return readBytes(t, 2, a.p2, r);
        }
        case R_ALL:
            break;
        default:
            return SW_BAD_P1P2;
    }
    if (a.p2 != 0) return SW_BAD_OFFSET;
    // Version, two unused bytes, Manufacturer..FreeSpace, reserved bytes.
    r.putU8(1);
    r.putU8(0);
    r.putU16(0);
    putText(r, "fpkeyd virtual key", 64);
    putText(r, "fpkeyd", 64);
    putPadded(r, s.label, 32);
    putPadded(r, s.serial, 32);
    r.putU8(1);  // hardware version
    r.putU8(0);
    r.put(s.firmware, 2);
    r.putU32(0x00000401 | 0x00000402 | 0x00000410);  // SM4 ECB, CBC, MAC
    r.putU32(0x00020100 | 0x00020400);               // SM2 signature, encryption
    r.putU32(0x00000001 | 0x00000002);               // SM3, SHA-1
    r.putU32(0x00000401);                            // device auth: SM4-ECB
    r.putU32(kTotalSpace);
    r.putU32(kTotalSpace - c.usedSpace());
    r.put(s.reserved, sizeof s.reserved);
    return SW_OK;
}

uint16_t cosRandom(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    if (a.lc != 0) return SW_WRONG_LENGTH;
    size_t n = a.le == 0 ? 8 : a.le;
    if (n > 1024) return SW_WRONG_LENGTH;
    uint8_t buf[1024];
    if (!randomBytes(buf, n)) return SW_INTERNAL;
    r.put(buf, n);
    // The first eight bytes are the challenge of the next cryptogram.
    c.session.haveChallenge = n >= 8;
    if (n >= 8) memcpy(c.session.challenge, buf, 8);
    return SW_OK;
}

uint16_t cosDevAuth(Card& c, const Apdu& a, Reply&) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    if (a.lc != 16) return SW_WRONG_LENGTH;
    uint8_t block[16] = {};
    if (!c.takeChallenge(block)) return SW_NO_CHALLENGE;
    uint8_t expect[16];
    bool ok = sm4Ecb(c.state.deviceKey, block, 16, expect, true);
    c.session.devAuthed = ok && sameBytes(expect, a.data, 16);
    wipe(expect, sizeof expect);
    return c.session.devAuthed ? SW_OK : SW_AUTH_FAILED;
}

uint16_t cosChangeDevKey(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    uint8_t newKey[16];
    if (a.cla == 0x80) {
        // The plain form trusts an authenticated device session.
        if (a.lc != 16) return SW_WRONG_LENGTH;
        if (!c.session.devAuthed) return SW_NOT_LOGGED_IN;
        memcpy(newKey, a.data, 16);
    } else {
        // Protected form: SM4(old key, new key) then a MAC under the old key.
        if (a.lc != 20) return SW_WRONG_LENGTH;
        uint8_t iv[16] = {};
        if (!c.takeChallenge(iv)) return SW_NO_CHALLENGE;
        uint8_t mac[4];
        if (!sm4Mac(c.state.deviceKey, iv, a.raw, 8 + 16, mac)) return SW_INTERNAL;
        if (!sameBytes(mac, a.data + 16, 4)) return SW_BAD_MAC;
        if (!sm4Ecb(c.state.deviceKey, a.data, 16, newKey, false)) return SW_INTERNAL;
    }
    memcpy(c.state.deviceKey, newKey, 16);
    wipe(newKey, sizeof newKey);
    r.changed = true;
    return SW_OK;
}

}  // namespace vkey
