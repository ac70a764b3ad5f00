// Card OS core: command table, lookups, the shared names-list reply.
#include "vkey/card.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/util.h"
#include "vkey/crypto_ossl.h"

namespace vkey {

void keyLog(const char* format, ...) {
    char line[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    fprintf(stderr, "fpkey-vkey: %s\n", line);
}

void KeyPair::wipe() {
    vkey::wipe(d, sizeof d);
    memset(x, 0, sizeof x);
    memset(y, 0, sizeof y);
    present = false;
}

// ---------------------------------------------------------------------------

const uint8_t* Reader::take(size_t n) {
    if (!fitsIn(m_pos, n, m_n)) return nullptr;
    const uint8_t* p = m_p + m_pos;
    m_pos += n;
    return p;
}
bool Reader::u8(uint8_t& v) {
    const uint8_t* p = take(1);
    if (p) v = p[0];
    return p != nullptr;
}
bool Reader::u16(uint16_t& v) {
    const uint8_t* p = take(2);
    if (p) v = static_cast<uint16_t>(p[0] | (p[1] << 8));
    return p != nullptr;
}
bool Reader::u32(uint32_t& v) {
    const uint8_t* p = take(4);
    if (p)
        v = p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
            (static_cast<uint32_t>(p[3]) << 24);
    return p != nullptr;
}
const uint8_t* Reader::rest(size_t& n) {
    n = left();
    return take(n);
}

bool Reply::put(const void* p, size_t n) {
    if (!fitsIn(len, n, sizeof data)) return false;
    if (n > 0) memcpy(data + len, p, n);
    len += n;
    return true;
}
bool Reply::putU16(uint16_t v) {
    uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    return put(b, 2);
}
bool Reply::putU32(uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    return put(b, 4);
}

// ---------------------------------------------------------------------------

namespace {

struct Command {
    uint8_t ins;
    uint8_t cla;  // 0x80 plain, 0x84 MAC-protected
    Handler run;
    bool listing;  // keeps the listing cursor alive
};

const Command kCommands[] = {
    {0x02, 0x80, cosSetIdentity, false},     {0x04, 0x80, cosGetIdentity, false},
    {0x10, 0x80, cosDevAuth, false},         {0x12, 0x80, cosChangeDevKey, false},
    {0x12, 0x84, cosChangeDevKey, false},    {0x14, 0x80, cosPinInfo, false},
    {0x16, 0x84, cosChangePin, false},       {0x18, 0x80, cosVerifyPin, false},
    {0x1A, 0x84, cosUnblockPin, false},      {0x1C, 0x80, cosClearSecureState, false},
    {0x20, 0x80, cosCreateApp, false},       {0x22, 0x80, cosListApps, true},
    {0x24, 0x80, cosDeleteApp, false},       {0x26, 0x80, cosOpenApp, false},
    {0x28, 0x80, cosCloseApp, false},        {0x30, 0x80, cosCreateFile, false},
    {0x32, 0x80, cosDeleteFile, false},      {0x34, 0x80, cosListFiles, true},
    {0x36, 0x80, cosFileInfo, false},        {0x38, 0x80, cosReadFile, false},
    {0x3A, 0x80, cosWriteFile, false},       {0x40, 0x80, cosCreateContainer, false},
    {0x42, 0x80, cosOpenContainer, false},   {0x44, 0x80, cosCloseContainer, false},
    {0x46, 0x80, cosListContainers, true},   {0x48, 0x80, cosDeleteContainer, false},
    {0x4A, 0x80, cosContainerType, false},   {0x4C, 0x80, cosImportCert, false},
    {0x4E, 0x80, cosExportCert, false},      {0x50, 0x80, cosRandom, false},
    {0x70, 0x80, cosGenKeyPair, false},      {0x71, 0x80, cosGenKeyPair, false},
    {0x73, 0x80, cosImportKeyPair, false},   {0x74, 0x80, cosSign, false},
    {0x7A, 0x80, cosExtEncrypt, false},      {0x7B, 0x80, cosDecrypt, false},
    {0x88, 0x80, cosExportPublicKey, false}, {0xD4, 0x80, cosReadEf, false},
    {0xD6, 0x80, cosWriteEf, false},
};

}  // namespace

uint16_t Card::execute(const Apdu& a, Reply& r) {
    const Command* found = nullptr;
    bool insKnown = false;
    for (const Command& c : kCommands) {
        if (c.ins != a.ins) continue;
        insKnown = true;
        if (c.cla == a.cla) found = &c;
    }
    if (found == nullptr || !found->listing) session.list = ListCursor();
    if (!insKnown) return SW_BAD_INS;
    if (found == nullptr) return SW_BAD_CLA;
    return found->run(*this, a, r);
}

// ---------------------------------------------------------------------------

static void setText(std::vector<uint8_t>& field, const char* text) {
    field.assign(text, text + strlen(text));
}

void Card::factoryReset(const uint8_t deviceKey[16]) {
    state = CardState();
    session = Session();
    uint8_t rnd[6];
    char serial[20];
    randomBytes(rnd, sizeof rnd);
    snprintf(serial, sizeof serial, "FPKV%02X%02X%02X%02X%02X%02X", rnd[0], rnd[1], rnd[2], rnd[3],
             rnd[4], rnd[5]);
    setText(state.serial, serial);
    setText(state.label, "FingerPrint Key");
    state.devType = 0;
    memcpy(state.deviceKey, deviceKey, 16);
    ensureElementaryFiles();
}

void Card::ensureElementaryFiles() {
    static const struct {
        uint16_t fid;
        size_t capacity;
        bool writable;
    } kEfs[] = {{0x5088, 1024, true}, {0x5108, 64, true},   {0x5109, 64, true},
                {0xEF00, 1024, true}, {0xEF01, 256, false}, {0xEF02, 256, false}};
    for (const auto& e : kEfs) {
        bool have = false;
        for (const ElementaryFile& f : state.efs)
            have = have || f.fid == e.fid;
        if (!have) state.efs.push_back(ElementaryFile{e.fid, e.capacity, e.writable, {}});
    }
}

Application* Card::appById(uint16_t id) {
    for (Application& a : state.apps)
        if (a.id == id) return &a;
    return nullptr;
}

Application* Card::appByName(const std::string& name) {
    for (Application& a : state.apps)
        if (a.name == name) return &a;
    return nullptr;
}

AppSession* Card::openApp(uint16_t id) {
    for (AppSession& s : session.open)
        if (s.appId == id) return &s;
    return nullptr;
}

uint16_t Card::takeOpenApp(Reader& rd, Target& t) {
    uint16_t id = 0;
    if (!rd.u16(id)) return SW_WRONG_LENGTH;
    t.app = appById(id);
    t.ses = openApp(id);
    // An application is usable only while open in this power session.
    if (t.app == nullptr || t.ses == nullptr) return SW_APP_MISSING;
    return SW_OK;
}

uint16_t Card::takeOpenContainer(Reader& rd, Target& t) {
    uint16_t sw = takeOpenApp(rd, t);
    if (sw != SW_OK) return sw;
    uint16_t cid = 0;
    if (!rd.u16(cid)) return SW_WRONG_LENGTH;
    t.con = nullptr;
    for (Container& c : t.app->containers)
        if (c.id == cid) t.con = &c;
    if (t.con == nullptr) return SW_CON_UNKNOWN;
    for (uint16_t open : t.ses->openContainers)
        if (open == cid) return SW_OK;
    return SW_CON_NOT_OPEN;
}

uint16_t Card::appCommand(const Apdu& a, bool p1p2Ok, int lc, Reader& rd, Target& t) {
    if (!p1p2Ok) return SW_BAD_P1P2;
    if (lc != kAnyLc && a.lc != lc) return SW_WRONG_LENGTH;
    return takeOpenApp(rd, t);
}

uint16_t Card::containerCommand(const Apdu& a, bool p1p2Ok, int lc, Reader& rd, Target& t) {
    if (!p1p2Ok) return SW_BAD_P1P2;
    if (lc != kAnyLc && a.lc != lc) return SW_WRONG_LENGTH;
    return takeOpenContainer(rd, t);
}

bool Card::takeChallenge(uint8_t out[8]) {
    if (!session.haveChallenge) return false;
    memcpy(out, session.challenge, 8);
    session.haveChallenge = false;
    wipe(session.challenge, sizeof session.challenge);
    return true;
}

uint32_t Card::usedSpace() const {
    // A rough account of what the card's flash would hold.
    size_t used = 0;
    for (const ElementaryFile& f : state.efs)
        used += f.capacity;
    for (const Application& a : state.apps) {
        used += 256;
        for (const Container& c : a.containers)
            used += 128 + 2 * 96 + c.signCert.size() + c.encCert.size();
        for (const AppFile& f : a.files)
            used += 64 + f.data.size();
    }
    return used > kTotalSpace ? kTotalSpace : static_cast<uint32_t>(used);
}

uint16_t replyNameList(Card& c, uint8_t ins, uint16_t appId, const std::vector<std::string>& names,
                       Reply& r) {
    ListCursor& cur = c.session.list;
    size_t i = (cur.ins == ins && cur.appId == appId) ? cur.next : 0;
    if (i > names.size()) i = 0;
    size_t limit = kListChunk < r.room() ? kListChunk : r.room();
    size_t used = 0;
    size_t first = i;
    while (i < names.size() && used + names[i].size() + 1 + 1 <= limit) {
        r.put(names[i].data(), names[i].size());
        r.putU8(0);
        used += names[i].size() + 1;
        ++i;
    }
    if (i == first && i < names.size()) {
        // A single name longer than a reply cannot be listed.
        cur = ListCursor();
        return SW_NO_ROOM;
    }
    r.putU8(0);
    if (i < names.size()) {
        cur.ins = ins;
        cur.appId = appId;
        cur.next = i;
        return SW_MORE;
    }
    cur = ListCursor();
    return SW_OK;
}

}  // namespace vkey
