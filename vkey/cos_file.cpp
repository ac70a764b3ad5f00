// Application files and the elementary files outside applications.
#include <cstring>

#include "vkey/card.h"

namespace vkey {

namespace {

bool allowed(uint32_t rights, const AppSession& s) {
    return rights == RIGHT_ANYONE || ((rights & RIGHT_ADMIN) && s.admin) ||
           ((rights & RIGHT_USER) && s.user);
}

// Application ID carried in P1 (low byte) and P2 (high byte).
uint16_t appFromP1P2(Card& c, const Apdu& a, Target& t) {
    uint8_t id[2] = {a.p1, a.p2};
    Reader rd(id, 2);
    return c.takeOpenApp(rd, t);
}

bool validName(const uint8_t* p, size_t n, std::string& name) {
    if (p == nullptr || n == 0 || n > kFileNameMax) return false;
    name.assign(reinterpret_cast<const char*>(p), n);
    return name.find('\0') == std::string::npos;
}

// LV2 file name: 2-byte length, 1..32 bytes without NUL.
uint16_t takeLv2Name(Reader& rd, std::string& name) {
    uint16_t n = 0;
    if (!rd.u16(n)) return SW_WRONG_LENGTH;
    const uint8_t* p = rd.take(n);
    if (p == nullptr) return SW_WRONG_LENGTH;
    return validName(p, n, name) ? SW_OK : SW_BAD_DATA;
}

AppFile* byName(Application& app, const std::string& name) {
    for (AppFile& f : app.files)
        if (f.name == name) return &f;
    return nullptr;
}

ElementaryFile* efById(Card& c, uint16_t fid) {
    for (ElementaryFile& f : c.state.efs)
        if (f.fid == fid) return &f;
    return nullptr;
}

// Elementary-file identifiers travel high byte first.
bool takeFid(Reader& rd, uint16_t& fid) {
    const uint8_t* p = rd.take(2);
    if (p) fid = static_cast<uint16_t>((p[0] << 8) | p[1]);
    return p != nullptr;
}

}  // namespace

uint16_t cosCreateFile(Card& c, const Apdu& a, Reply& r) {
    Target t;
    uint16_t sw = appFromP1P2(c, a, t);
    if (sw != SW_OK) return sw;
    Reader rd = a.reader();
    std::string name;
    uint32_t size = 0, readRights = 0, writeRights = 0;
    if ((sw = takeLv2Name(rd, name)) != SW_OK) return sw;
    if (!rd.u32(size) || !rd.u32(readRights) || !rd.u32(writeRights) || rd.left() != 0)
        return SW_WRONG_LENGTH;
    if (!allowed(t.app->createRights, *t.ses)) return SW_NOT_LOGGED_IN;
    if (byName(*t.app, name) != nullptr) return SW_FILE_EXISTS;
    if (t.app->files.size() >= kMaxFiles || size > kMaxFileSize ||
        c.usedSpace() + size + 64 > kTotalSpace)
        return SW_NO_ROOM;
    AppFile f;
    f.name = name;
    f.readRights = readRights;
    f.writeRights = writeRights;
    f.data.assign(size, 0);
    t.app->files.push_back(f);
    r.changed = true;
    return SW_OK;
}

uint16_t cosDeleteFile(Card& c, const Apdu& a, Reply& r) {
    Target t;
    uint16_t sw = appFromP1P2(c, a, t);
    if (sw != SW_OK) return sw;
    std::string name;
    if (!validName(a.data, a.lc, name)) return SW_WRONG_LENGTH;
    AppFile* f = byName(*t.app, name);
    if (f == nullptr) return SW_FILE_MISSING;
    if (!allowed(f->writeRights, *t.ses)) return SW_NOT_LOGGED_IN;
    t.app->files.erase(t.app->files.begin() + (f - t.app->files.data()));
    r.changed = true;
    return SW_OK;
}

uint16_t cosListFiles(Card& c, const Apdu& a, Reply& r) {
    Target t;
    uint16_t sw = appFromP1P2(c, a, t);
    if (sw != SW_OK) return sw;
    if (a.lc != 0) return SW_WRONG_LENGTH;
    std::vector<std::string> names;
    for (const AppFile& f : t.app->files)
        names.push_back(f.name);
    return replyNameList(c, a.ins, t.app->id, names, r);
}

uint16_t cosFileInfo(Card& c, const Apdu& a, Reply& r) {
    Target t;
    uint16_t sw = appFromP1P2(c, a, t);
    if (sw != SW_OK) return sw;
    Reader rd = a.reader();
    std::string name;
    if ((sw = takeLv2Name(rd, name)) != SW_OK) return sw;
    if (rd.left() != 0) return SW_WRONG_LENGTH;
    const AppFile* f = byName(*t.app, name);
    if (f == nullptr) return SW_FILE_MISSING;
    r.putU32(static_cast<uint32_t>(f->data.size()));
    r.putU32(f->readRights);
    r.putU32(f->writeRights);
    return SW_OK;
}

uint16_t cosReadFile(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.appCommand(a, a.p1 == 0 && a.p2 == 0, kAnyLc, rd, t);
    if (sw != SW_OK) return sw;
    std::string name;
    if ((sw = takeLv2Name(rd, name)) != SW_OK) return sw;
    uint32_t offset = 0, length = 0;
    if (!rd.u32(offset) || !rd.u32(length) || rd.left() != 0) return SW_WRONG_LENGTH;
    const AppFile* f = byName(*t.app, name);
    if (f == nullptr) return SW_FILE_MISSING;
    if (!allowed(f->readRights, *t.ses)) return SW_NOT_LOGGED_IN;
    if (offset > f->data.size()) return SW_BAD_OFFSET;
    size_t avail = f->data.size() - offset;
    size_t count = length == 0 || length > avail ? avail : length;
    if (count > r.room()) return SW_WRONG_LENGTH;
    r.put(f->data.data() + offset, count);
    return SW_OK;
}

uint16_t cosWriteFile(Card& c, const Apdu& a, Reply& r) {
    Reader rd = a.reader();
    Target t;
    uint16_t sw = c.appCommand(a, a.p1 == 0 && a.p2 == 0, kAnyLc, rd, t);
    if (sw != SW_OK) return sw;
    std::string name;
    if ((sw = takeLv2Name(rd, name)) != SW_OK) return sw;
    uint32_t offset = 0, len = 0;
    if (!rd.u32(offset) || !rd.u32(len) || len != rd.left()) return SW_WRONG_LENGTH;
    AppFile* f = byName(*t.app, name);
    if (f == nullptr) return SW_FILE_MISSING;
    if (!allowed(f->writeRights, *t.ses)) return SW_NOT_LOGGED_IN;
    if (offset > f->data.size()) return SW_BAD_OFFSET;
    if (len > f->data.size() - offset) return SW_NO_ROOM;
    if (len > 0) memcpy(f->data.data() + offset, rd.take(len), len);
    r.changed = true;
    return SW_OK;
}

uint16_t cosReadEf(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    if (a.lc != 6) return SW_WRONG_LENGTH;
    Reader rd = a.reader();
    uint16_t fid = 0, offset = 0, len = 0;
    takeFid(rd, fid);
    rd.u16(offset);
    rd.u16(len);
    const ElementaryFile* f = efById(c, fid);
    if (f == nullptr) return SW_FILE_MISSING;
    if (offset > f->data.size()) return SW_BAD_OFFSET;
    // The reply (count, then the bytes) fits the length asked for.
    size_t want = len == 0 ? r.room() : len;
    if (want < 2) return SW_WRONG_LENGTH;
    size_t count = f->data.size() - offset;
    if (count > want - 2) count = want - 2;
    r.putU16(static_cast<uint16_t>(count));
    r.put(f->data.data() + offset, count);
    return SW_OK;
}

uint16_t cosWriteEf(Card& c, const Apdu& a, Reply& r) {
    if (a.p1 != 0 || a.p2 != 0) return SW_BAD_P1P2;
    Reader rd = a.reader();
    uint16_t fid = 0, offset = 0, len = 0;
    if (!takeFid(rd, fid) || !rd.u16(offset) || !rd.u16(len) || len != rd.left())
        return SW_WRONG_LENGTH;
    ElementaryFile* f = efById(c, fid);
    if (f == nullptr) return SW_FILE_MISSING;
    if (!f->writable) return SW_NOT_ALLOWED;
    if (static_cast<size_t>(offset) + len > f->capacity) return SW_NO_ROOM;
    if (f->data.size() < static_cast<size_t>(offset) + len) f->data.resize(offset + len, 0);
    if (len > 0) memcpy(f->data.data() + offset, rd.take(len), len);
    r.changed = true;
    return SW_OK;
}

}  // namespace vkey
