// Containers, their certificates and their SM2 key pairs.
#include <algorithm>
#include <cstring>

#include "vkey/card.h"
#include "vkey/crypto_ossl.h"

namespace vkey {

namespace {

uint16_t needLogin(const AppSession& s) {
    return s.user || s.admin ? SW_OK : SW_NOT_LOGGED_IN;
}

// Private-key use: the user PIN, not blocked, verified in this session.
uint16_t needUser(const Application& app, const AppSession& s) {
    if (app.user.triesLeft == 0) return SW_PIN_LOCKED;
    return s.user ? SW_OK : SW_NOT_LOGGED_IN;
}

// The rest of the data as a container name of 1..64 bytes.
bool takeName(Reader& rd, std::string& name) {
    size_t n = 0;
    const uint8_t* p = rd.rest(n);
    if (n == 0 || n > kConNameMax) return false;
    name.assign(reinterpret_cast<const char*>(p), n);
    return name.find('\0') == std::string::npos;
}

Container* byName(Application& app, const std::string& name) {
    for (Container& c : app.containers)
        if (c.name == name) return &c;
    return nullptr;
}

void markOpen(AppSession& s, uint16_t id) {
    if (std::find(s.openContainers.begin(), s.openContainers.end(), id) == s.openContainers.end())
        s.openContainers.push_back(id);
}

void forget(AppSession& s, uint16_t id) {
    auto& v = s.openContainers;
    v.erase(std::remove(v.begin(), v.end(), id), v.end());
}

// Application ID and name: the open application and the named container.
uint16_t appAndName(Card& c, const Apdu& a, Target& t, std::string& name) {
    Reader rd = a.reader();
    uint16_t sw = c.appCommand(a, a.p1 == 0 && a.p2 == 0, kAnyLc, rd, t);
    if (sw != SW_OK) return sw;
    return takeName(rd, name) ? SW_OK : SW_WRONG_LENGTH;
}

}  // namespace

uint16_t cosCreateContainer(Card& c, const Apdu& a, Reply& r) {
    Target t;
    std::string name;
    uint16_t sw = appAndName(c, a, t, name);
    if (sw != SW_OK) return sw;
    if ((sw = needLogin(*t.ses)) != SW_OK) return sw;
    if (byName(*t.app, name) != nullptr) return SW_EXISTS;
    if (t.app->containers.size() >= kMaxContainers) return SW_NO_ROOM;
    uint16_t id = t.app->nextContainerId;
    auto inUse = [&t](uint16_t v) {
        for (const Container& k : t.app->containers)
            if (k.id == v) return true;
        return v == 0;
    };
    while (inUse(id))
        ++id;
    t.app->nextContainerId = static_cast<uint16_t>(id + 1);
    Container con;
    con.id = id;
    con.name = name;
    t.app->containers.push_back(con);
    markOpen(*t.ses, id);
    r.putU16(id);
    r.changed = true;
    return SW_OK;
}

uint16_t cosOpenContainer(Card& c, const Apdu& a, Reply& r) {
    Target t;
    std::string name;
    uint16_t sw = appAndName(c, a, t, name);
    if (sw != SW_OK) return sw;
    Container* con = byName(*t.app, name);
    if (con == nullptr) return SW_FILE_MISSING;
    markOpen(*t.ses, con->id);
    r.putU16(con->id);
    return SW_OK;
}

uint16_t cosCloseContainer(Card& c, const Apdu& a, Reply&) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.containerCommand(a, a.p1 == 0 && a.p2 == 0, 4, rd, t);
    if (sw != SW_OK) return sw;
    forget(*t.ses, t.con->id);
    return SW_OK;
}

uint16_t cosListContainers(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.appCommand(a, a.p1 == 0 && a.p2 == 0, 2, rd, t);
    if (sw != SW_OK) return sw;
    std::vector<std::string> names;
    for (const Container& k : t.app->containers)
        names.push_back(k.name);
    return replyNameList(c, a.ins, t.app->id, names, r);
}

uint16_t cosDeleteContainer(Card& c, const Apdu& a, Reply& r) {
    Target t;
    std::string name;
    uint16_t sw = appAndName(c, a, t, name);
    if (sw != SW_OK) return sw;
    if ((sw = needLogin(*t.ses)) != SW_OK) return sw;
    Container* con = byName(*t.app, name);
    if (con == nullptr) return SW_FILE_MISSING;
    forget(*t.ses, con->id);
    con->sign.wipe();
    con->enc.wipe();
    t.app->containers.erase(t.app->containers.begin() + (con - t.app->containers.data()));
    r.changed = true;
    return SW_OK;
}

uint16_t cosContainerType(Card& c, const Apdu& a, Reply& r) {
    Target t;
    std::string name;
    uint16_t sw = appAndName(c, a, t, name);
    if (sw != SW_OK) return sw;
    const Container* con = byName(*t.app, name);
    if (con == nullptr) return SW_FILE_MISSING;
    r.putU8(con->sign.present || con->enc.present ? 2 : 0);
    r.putU32(con->sign.present ? 256 : 0);
    r.putU32(con->enc.present ? 256 : 0);
    r.putU8(con->hasSignCert ? 1 : 0);
    r.putU8(con->hasEncCert ? 1 : 0);
    return SW_OK;
}

uint16_t cosImportCert(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.containerCommand(a, a.p1 == 0 && a.p2 == 0, kAnyLc, rd, t);
    if (sw != SW_OK) return sw;
    uint8_t flag = 0;
    uint32_t len = 0;
    if (!rd.u8(flag) || !rd.u32(len) || len != rd.left()) return SW_WRONG_LENGTH;
    if (len == 0 || len > kMaxCert) return SW_WRONG_LENGTH;
    if (flag > 1) return SW_BAD_DATA;
    if ((sw = needLogin(*t.ses)) != SW_OK) return sw;
    const uint8_t* p = rd.take(len);
    if (flag == 1) {
        t.con->signCert.assign(p, p + len);
        t.con->hasSignCert = true;
    } else {
        t.con->encCert.assign(p, p + len);
        t.con->hasEncCert = true;
    }
    r.changed = true;
    return SW_OK;
}

uint16_t cosExportCert(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.containerCommand(a, a.p1 <= 1 && a.p2 == 0, 4, rd, t);
    if (sw != SW_OK) return sw;
    bool sign = a.p1 == 1;
    if (!(sign ? t.con->hasSignCert : t.con->hasEncCert)) return SW_CERT_MISSING;
    const std::vector<uint8_t>& cert = sign ? t.con->signCert : t.con->encCert;
    return r.put(cert.data(), cert.size()) ? SW_OK : SW_NO_ROOM;
}

uint16_t cosGenKeyPair(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.containerCommand(a, a.p1 == 0 && a.p2 == 0, 8, rd, t);
    if (sw != SW_OK) return sw;
    uint32_t bits = 0;
    rd.u32(bits);
    if (bits != 256) return SW_BAD_DATA;
    if ((sw = needLogin(*t.ses)) != SW_OK) return sw;
    KeyPair kp;
    if (!sm2Generate(kp)) return SW_INTERNAL;
    KeyPair& slot = a.ins == 0x70 ? t.con->sign : t.con->enc;
    slot.wipe();
    slot = kp;
    kp.wipe();
    r.put(slot.x, 32);
    r.put(slot.y, 32);
    r.changed = true;
    return SW_OK;
}

uint16_t cosImportKeyPair(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.containerCommand(a, a.p1 <= 1 && a.p2 == 0, 4 + 96, rd, t);
    if (sw != SW_OK) return sw;
    if ((sw = needLogin(*t.ses)) != SW_OK) return sw;
    const uint8_t* x = rd.take(32);
    const uint8_t* y = rd.take(32);
    const uint8_t* d = rd.take(32);
    // Refuse what would make a broken key: scalar outside 1..n-2, a point off
    // the curve or not belonging to the scalar.
    if (!sm2CheckPair(x, y, d)) return SW_BAD_DATA;
    KeyPair& slot = a.p1 == 0 ? t.con->sign : t.con->enc;
    slot.wipe();
    memcpy(slot.x, x, 32);
    memcpy(slot.y, y, 32);
    memcpy(slot.d, d, 32);
    slot.present = true;
    r.changed = true;
    return SW_OK;
}

uint16_t cosExportPublicKey(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.containerCommand(a, a.p1 <= 1 && a.p2 == 0, 4, rd, t);
    if (sw != SW_OK) return sw;
    const KeyPair& kp = a.p1 == 0 ? t.con->sign : t.con->enc;
    if (!kp.present) return SW_KEY_MISSING;
    r.putU32(256);
    r.put(kp.x, 32);
    r.put(kp.y, 32);
    return SW_OK;
}

uint16_t cosSign(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.containerCommand(a, a.p1 == 2 && a.p2 == 0, kAnyLc, rd, t);
    if (sw != SW_OK) return sw;
    uint32_t idLen = 0;
    if (!rd.u32(idLen) || idLen > 64 || rd.take(idLen) == nullptr) return SW_WRONG_LENGTH;
    // The signer ID is already inside the digest the host computed.
    if (rd.left() != 32) return SW_WRONG_LENGTH;
    if ((sw = needUser(*t.app, *t.ses)) != SW_OK) return sw;
    if (!t.con->sign.present) return SW_KEY_MISSING;
    uint8_t rs[64];
    if (!sm2SignDigest(t.con->sign, rd.take(32), rs, rs + 32)) return SW_INTERNAL;
    r.putU32(256);
    r.put(rs, 64);
    return SW_OK;
}

uint16_t cosExtEncrypt(Card&, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    Reader rd = a.reader();
    uint32_t bits = 0, len = 0;
    if (!rd.u32(bits)) return SW_WRONG_LENGTH;
    const uint8_t* x = rd.take(32);
    const uint8_t* y = rd.take(32);
    if (y == nullptr || !rd.u32(len) || len != rd.left()) return SW_WRONG_LENGTH;
    if (bits != 256 || len == 0) return SW_BAD_DATA;
    if (100 + static_cast<size_t>(len) > r.room()) return SW_WRONG_LENGTH;
    if (!sm2PointValid(x, y)) return SW_BAD_DATA;
    uint8_t head[96];
    uint8_t* c2 = r.data + 100;
    if (!sm2Encrypt(x, y, rd.take(len), len, head, head + 32, head + 64, c2)) return SW_INTERNAL;
    r.put(head, 96);
    r.putU32(len);
    r.len += len;
    return SW_OK;
}

uint16_t cosDecrypt(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.containerCommand(a, a.p1 == 0 && a.p2 == 0, kAnyLc, rd, t);
    if (sw != SW_OK) return sw;
    const uint8_t* c1 = rd.take(96);
    uint32_t len = 0;
    if (c1 == nullptr || !rd.u32(len) || len != rd.left() || len == 0) return SW_WRONG_LENGTH;
    if (4 + static_cast<size_t>(len) > r.room()) return SW_WRONG_LENGTH;
    if ((sw = needUser(*t.app, *t.ses)) != SW_OK) return sw;
    // The encryption pair when the container has one; a container with only
    // a signature pair (the daemon's device container) decrypts with that.
    const KeyPair& kp = t.con->enc.present ? t.con->enc : t.con->sign;
    if (!kp.present) return SW_KEY_MISSING;
    if (!sm2Decrypt(kp, c1, c1 + 32, c1 + 64, rd.take(len), len, r.data + 4)) {
        wipe(r.data, r.room());
        return SW_DECRYPT_FAILED;
    }
    r.putU32(len);
    r.len += len;
    return SW_OK;
}

}  // namespace vkey
