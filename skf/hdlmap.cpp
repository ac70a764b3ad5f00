#include "skf/hdlmap.h"

#include <cstring>

T_HdlMap m_hdlMap[m_hdlMapNum];

namespace {
uint64_t asU64(const void* p) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}
void* asPtr(uint64_t v) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(v));
}

size_t nameLen(const void* name, int maxLen) {
    if (!name || maxLen <= 0) return 0;
    const size_t cap =
        static_cast<size_t>(maxLen) < kHdlNameMax ? static_cast<size_t>(maxLen) : kHdlNameMax;
    return strnlen(static_cast<const char*>(name), cap);
}

bool sameName(const T_HdlMap& rec, const void* name, size_t n) {
    return n == 0 || memcmp(rec.name, name, n) == 0;
}

void fill(T_HdlMap& rec, int index, int type, const void* name, size_t n, void* parent,
          unsigned short id) {
    if (n) memcpy(rec.name, name, n);
    rec.id = id;
    rec.parent = asU64(parent);
    rec.type = static_cast<uint16_t>(type);
    rec.handle = static_cast<uint64_t>(index) + 1;
}
}  // namespace

void T_HdlMap::clr() {
    type = 0;
    id = 0;
    aux = 0;
    memset(name, 0, sizeof name);
    handle = 0;
    parent = 0;
}

void hdlResetForTest() {
    for (T_HdlMap& rec : m_hdlMap)
        rec.clr();
}

void* setHdlName(int type, const void* name, void* parent, unsigned short id, int maxLen) {
    const size_t n = nameLen(name, maxLen);
    const uint64_t par = asU64(parent);
    for (T_HdlMap& rec : m_hdlMap) {
        if (rec.handle == 0 || rec.type != type) continue;
        if (rec.parent != 0 && rec.parent != par) continue;
        if (sameName(rec, name, n) || (id != 0 && id == rec.id)) {
            if (n) memcpy(rec.name, name, n);
            rec.id = id;
            rec.parent = par;
            return asPtr(rec.handle);
        }
    }
    for (int i = 0; i < m_hdlMapNum; ++i) {
        if (m_hdlMap[i].handle != 0) continue;
        m_hdlMap[i].clr();
        fill(m_hdlMap[i], i, type, name, n, parent, id);
        return asPtr(m_hdlMap[i].handle);
    }
    // Map full: the oldest slot gives way; its holder loses handle 1.
    m_hdlMap[0].clr();
    fill(m_hdlMap[0], 0, type, name, n, parent, id);
    return asPtr(m_hdlMap[0].handle);
}

void* setHdlID(int type, unsigned short id, void* parent, unsigned int aux) {
    const uint64_t par = asU64(parent);
    for (T_HdlMap& rec : m_hdlMap) {
        if (rec.handle != 0 && rec.type == type && rec.id == id && rec.parent == par) {
            rec.aux = static_cast<uint16_t>(aux);
            return asPtr(rec.handle);
        }
    }
    for (int i = 0; i < m_hdlMapNum; ++i) {
        if (m_hdlMap[i].handle != 0) continue;
        m_hdlMap[i].clr();
        fill(m_hdlMap[i], i, type, nullptr, 0, parent, id);
        m_hdlMap[i].aux = static_cast<uint16_t>(aux);
        return asPtr(m_hdlMap[i].handle);
    }
    return nullptr;
}

namespace {
T_HdlMap* byHandle(void* handle) {
    const uint64_t h = asU64(handle);
    if (h < 1 || h > static_cast<uint64_t>(m_hdlMapNum)) return nullptr;
    T_HdlMap& rec = m_hdlMap[h - 1];
    return rec.handle == h ? &rec : nullptr;
}
}  // namespace

int getHdlInfo(int type, void* handle, unsigned short& id, void*& parent, unsigned int* aux) {
    T_HdlMap* rec = byHandle(handle);
    if (!rec || rec->type != type) return 0;
    id = rec->id;
    parent = asPtr(rec->parent);
    if (aux) *aux = rec->aux;
    return 1;
}

int getHdlName(void* handle, void* name, void*& parent) {
    T_HdlMap* rec = byHandle(handle);
    if (!rec) return 0;
    if (name) memcpy(name, rec->name, strnlen(rec->name, kHdlNameMax));
    parent = asPtr(rec->parent);
    return 1;
}

void delHdlName(int type, const void* name, void* parent, int maxLen) {
    const size_t n = nameLen(name, maxLen);
    const uint64_t par = asU64(parent);
    for (T_HdlMap& rec : m_hdlMap) {
        if (rec.handle == 0 || rec.type != type || rec.parent != par) continue;
        if (sameName(rec, name, n)) {
            rec.clr();
            return;
        }
    }
}

void delbyHdl(void* handle) {
    T_HdlMap* rec = byHandle(handle);
    if (rec) rec->clr();
}
