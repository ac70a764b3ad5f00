// Applications and their PINs.
#include <algorithm>
#include <cstring>

#include "vkey/card.h"
#include "vkey/crypto_ossl.h"

namespace vkey {

namespace {

enum { PIN_ADMIN = 0, PIN_USER = 1 };

// A zero-padded text field up to its first NUL.
std::string fieldText(const uint8_t* p, size_t width) {
    size_t n = 0;
    while (n < width && p[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

// The whole command data as a name of 1..max bytes.
bool dataName(const Apdu& a, size_t max, std::string& name) {
    if (a.lc == 0 || a.lc > max) return false;
    name.assign(reinterpret_cast<const char*>(a.data), a.lc);
    return name.find('\0') == std::string::npos;
}

bool validRights(uint32_t r) {
    return r == 0x00 || r == RIGHT_ADMIN || r == RIGHT_USER || r == RIGHT_ANYONE;
}

// A PIN field of the creation record into a PIN record.
bool makePin(const uint8_t* field, uint32_t tries, Pin& pin) {
    size_t n = 0;
    while (n < 16 && field[n] != 0)
        ++n;
    if (n == 0 || tries < 1 || tries > 15) return false;
    if (!pinKey(field, n, pin.k)) return false;
    pin.maxTries = static_cast<uint8_t>(tries);
    pin.triesLeft = pin.maxTries;
    pin.isDefault = true;
    return true;
}

void setLogin(AppSession& s, uint8_t type, bool on) {
    if (type == PIN_ADMIN)
        s.admin = on;
    else
        s.user = on;
}

// A wrong proof of a PIN: one try less, logged out; 0x63Cx.
uint16_t pinFailed(Pin& pin, AppSession& s, uint8_t type, Reply& r) {
    if (pin.triesLeft > 0) --pin.triesLeft;
    setLogin(s, type, false);
    r.changed = true;
    return static_cast<uint16_t>(SW_PIN_WRONG | pin.triesLeft);
}

void pinPassed(Pin& pin, Reply& r) {
    if (pin.triesLeft != pin.maxTries) {
        pin.triesLeft = pin.maxTries;
        r.changed = true;
    }
}

// The MAC of a protected command: over its header and data without the MAC,
// under the PIN's key, chained from the pending challenge.
uint16_t checkMac(Card& c, const Apdu& a, const uint8_t key[16], bool& good) {
    uint8_t iv[16] = {};
    if (!c.takeChallenge(iv)) return SW_NO_CHALLENGE;
    uint8_t mac[4];
    if (!sm4Mac(key, iv, a.raw, 8 + a.lc - 4, mac)) return SW_INTERNAL;
    good = sameBytes(mac, a.data + a.lc - 4, 4);
    return SW_OK;
}

// A new PIN sent as SM4-ECB(key, len(2, LE) | PIN | 0x80 | zeros).
uint16_t unwrapPin(const uint8_t key[16], const uint8_t* p, size_t n, Pin& out) {
    uint8_t plain[64];
    if (n == 0 || n > sizeof plain || n % 16 != 0) return SW_WRONG_LENGTH;
    if (!sm4Ecb(key, p, n, plain, false)) return SW_INTERNAL;
    size_t len = plain[0] | (plain[1] << 8);
    bool ok = len >= 1 && len <= 16 && 2 + len < n && plain[2 + len] == 0x80;
    for (size_t i = 3 + len; ok && i < n; ++i)
        ok = plain[i] == 0;
    if (ok) ok = pinKey(plain + 2, len, out.k);
    wipe(plain, sizeof plain);
    return ok ? SW_OK : SW_BAD_DATA;
}

// Common front of the protected PIN commands: application ID, secret, MAC.
uint16_t protectedPinFront(Card& c, const Apdu& a, Target& t) {
    if (a.lc < 2 + 16 + 4 || (a.lc - 6) % 16 != 0) return SW_WRONG_LENGTH;
    Reader rd = a.reader();
    return c.takeOpenApp(rd, t);
}

}  // namespace

uint16_t cosCreateApp(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    if (a.lc != 80) return SW_WRONG_LENGTH;
    if (!c.session.devAuthed) return SW_NOT_LOGGED_IN;
    Reader rd = a.reader();
    const uint8_t* name = rd.take(32);
    const uint8_t* adminPin = rd.take(16);
    uint32_t adminTries = 0, userTries = 0, rights = 0;
    rd.u32(adminTries);
    const uint8_t* userPin = rd.take(16);
    rd.u32(userTries);
    rd.u32(rights);
    Application app;
    app.name = fieldText(name, 32);
    if (app.name.empty() || !validRights(rights)) return SW_BAD_DATA;
    if (!makePin(adminPin, adminTries, app.admin) || !makePin(userPin, userTries, app.user))
        return SW_BAD_DATA;
    if (c.appByName(app.name) != nullptr) return SW_EXISTS;
    if (c.state.apps.size() >= kMaxApps) return SW_NO_ROOM;
    // Identifiers count up from 0x3F00 and are not reused while in use.
    uint16_t id = c.state.nextAppId;
    while (c.appById(id) != nullptr)
        id = static_cast<uint16_t>(id == 0x3FFF ? 0x3F00 : id + 1);
    c.state.nextAppId = static_cast<uint16_t>(id == 0x3FFF ? 0x3F00 : id + 1);
    app.id = id;
    app.createRights = rights;
    c.state.apps.push_back(app);
    wipe(&app.admin, sizeof app.admin);
    wipe(&app.user, sizeof app.user);
    AppSession s;
    s.appId = id;
    c.session.open.push_back(s);
    r.putU16(id);
    r.changed = true;
    return SW_OK;
}

uint16_t cosListApps(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    if (a.lc != 0) return SW_WRONG_LENGTH;
    std::vector<std::string> names;
    for (const Application& app : c.state.apps)
        names.push_back(app.name);
    return replyNameList(c, a.ins, 0, names, r);
}

uint16_t cosDeleteApp(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    std::string name;
    if (!dataName(a, kAppNameMax, name)) return SW_WRONG_LENGTH;
    if (!c.session.devAuthed) return SW_NOT_LOGGED_IN;
    Application* app = c.appByName(name);
    if (app == nullptr) return SW_APP_MISSING;
    uint16_t id = app->id;
    for (Container& con : app->containers) {
        con.sign.wipe();
        con.enc.wipe();
    }
    c.state.apps.erase(c.state.apps.begin() + (app - c.state.apps.data()));
    auto& open = c.session.open;
    open.erase(std::remove_if(open.begin(), open.end(),
                              [id](const AppSession& s) { return s.appId == id; }),
               open.end());
    r.changed = true;
    return SW_OK;
}

uint16_t cosOpenApp(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    std::string name;
    if (!dataName(a, kAppNameMax, name)) return SW_WRONG_LENGTH;
    Application* app = c.appByName(name);
    if (app == nullptr) return SW_APP_MISSING;
    if (c.openApp(app->id) == nullptr) {
        AppSession s;
        s.appId = app->id;
        c.session.open.push_back(s);
    }
    r.putU8(app->admin.maxTries);
    r.putU8(app->admin.triesLeft);
    r.putU8(app->user.maxTries);
    r.putU8(app->user.triesLeft);
    r.putU32(app->createRights);
    r.putU16(app->id);
    return SW_OK;
}

uint16_t cosCloseApp(Card& c, const Apdu& a, Reply&) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.appCommand(a, a.p1 == 0 && a.p2 == 0, 2, rd, t);
    if (sw != SW_OK) return sw;
    // Closing forgets the application's logins and open containers.
    c.session.open.erase(c.session.open.begin() + (t.ses - c.session.open.data()));
    return SW_OK;
}

uint16_t cosPinInfo(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.appCommand(a, a.p1 == 0 && a.p2 <= PIN_USER, 2, rd, t);
    if (sw != SW_OK) return sw;
    const Pin& pin = a.p2 == PIN_ADMIN ? t.app->admin : t.app->user;
    r.putU8(pin.maxTries);
    r.putU8(pin.triesLeft);
    r.putU8(pin.isDefault ? 1 : 0);
    return SW_OK;
}

uint16_t cosVerifyPin(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.appCommand(a, a.p1 == 0 && a.p2 <= PIN_USER, 18, rd, t);
    if (sw != SW_OK) return sw;
    Pin& pin = a.p2 == PIN_ADMIN ? t.app->admin : t.app->user;
    if (pin.triesLeft == 0) return SW_PIN_LOCKED;
    // Cryptogram: SM4-ECB under the PIN key of 08 00 | challenge | 80 00...
    uint8_t m[16] = {0x08, 0x00};
    if (!c.takeChallenge(m + 2)) return SW_NO_CHALLENGE;
    m[10] = 0x80;
    uint8_t expect[16];
    if (!sm4Ecb(pin.k, m, 16, expect, true)) return SW_INTERNAL;
    bool good = sameBytes(expect, rd.take(16), 16);
    wipe(expect, sizeof expect);
    if (!good) return pinFailed(pin, *t.ses, a.p2, r);
    pinPassed(pin, r);
    setLogin(*t.ses, a.p2, true);
    return SW_OK;
}

uint16_t cosChangePin(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 > PIN_USER) return SW_BAD_P1P2;
    Target t;
    uint16_t sw = protectedPinFront(c, a, t);
    if (sw != SW_OK) return sw;
    Pin& pin = a.p2 == PIN_ADMIN ? t.app->admin : t.app->user;
    if (pin.triesLeft == 0) return SW_PIN_LOCKED;
    bool good = false;
    if ((sw = checkMac(c, a, pin.k, good)) != SW_OK) return sw;
    if (!good) return pinFailed(pin, *t.ses, a.p2, r);
    Pin next = pin;
    if ((sw = unwrapPin(pin.k, a.data + 2, a.lc - 6, next)) != SW_OK) return sw;
    next.triesLeft = next.maxTries;
    next.isDefault = false;
    pin = next;
    wipe(&next, sizeof next);
    r.changed = true;
    return SW_OK;
}

uint16_t cosUnblockPin(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    Target t;
    uint16_t sw = protectedPinFront(c, a, t);
    if (sw != SW_OK) return sw;
    if (t.app->admin.triesLeft == 0) return SW_PIN_LOCKED;
    bool good = false;
    if ((sw = checkMac(c, a, t.app->admin.k, good)) != SW_OK) return sw;
    if (!good) return pinFailed(t.app->admin, *t.ses, PIN_ADMIN, r);
    Pin next = t.app->user;
    if ((sw = unwrapPin(t.app->admin.k, a.data + 2, a.lc - 6, next)) != SW_OK) return sw;
    pinPassed(t.app->admin, r);
    next.triesLeft = next.maxTries;
    next.isDefault = false;
    t.app->user = next;
    wipe(&next, sizeof next);
    r.changed = true;
    return SW_OK;
}

uint16_t cosClearSecureState(Card& c, const Apdu& a, Reply&) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.appCommand(a, a.p1 == 0 && a.p2 == 0, 2, rd, t);
    if (sw != SW_OK) return sw;
    t.ses->admin = false;
    t.ses->user = false;
    return SW_OK;
}

}  // namespace vkey
