// CBytesEx: one value held as bytes and as hex text, each rebuilt from the
// other whenever one is set.
#include <cstring>
#include <new>

#include "util/util.h"

bool CBytesEx::S_bDefault_space = true;
bool CBytesEx::S_bCapital = true;

namespace {
// A text asking for more decoded bytes than this (through repeat counts) is cut.
constexpr size_t kMaxDecoded = 1u << 20;
uint8_t s_empty[1];

int hexChars(int bytes, int mode) {
    if (mode == 2) return 5 * bytes + 2 * (bytes / 16) + 1;
    if (mode == 1) return 3 * bytes + 1;
    return 2 * bytes + 1;
}

bool inside(const void* p, const void* base, int size) {
    auto a = reinterpret_cast<uintptr_t>(p);
    auto b = reinterpret_cast<uintptr_t>(base);
    return base && a >= b && a < b + static_cast<uintptr_t>(size);
}
}  // namespace

void CBytesEx::s_SetSpace(bool defaultSpace, bool capital) {
    S_bDefault_space = defaultSpace;
    S_bCapital = capital;
}

CBytesEx::CBytesEx() : m_space(S_bDefault_space) {}

CBytesEx::CBytesEx(int size) : m_space(S_bDefault_space) {
    if (size > 0) reserve(size + 32, 3 * size + 2);
}

CBytesEx::CBytesEx(const void* data, int length, int isHex) : m_space(S_bDefault_space) {
    Set(data, length, isHex);
}

CBytesEx::CBytesEx(const CBytesEx& other, int length) : m_space(other.m_space) {
    int n = other.m_byteLen;
    if (length > 0 && length < n) n = length;
    Set(other.m_bytes, n, 0);
    m_cArray = false;
}

CBytesEx::~CBytesEx() {
    clear();
}

CBytesEx& CBytesEx::operator=(const CBytesEx& other) {
    if (this != &other) Set(other.m_bytes, other.m_byteLen, 0);
    return *this;
}

bool CBytesEx::operator==(const CBytesEx& other) const {
    if (m_byteLen != other.m_byteLen) return false;
    return m_byteLen == 0 || memcmp(m_bytes, other.m_bytes, static_cast<size_t>(m_byteLen)) == 0;
}

void CBytesEx::clear() {
    delete[] m_bytes;
    delete[] m_hex;
    m_bytes = nullptr;
    m_hex = nullptr;
    m_byteLen = m_hexLen = m_capacity = m_hexCapacity = 0;
}

bool CBytesEx::reserve(int bytes, int hexChars) {
    clear();
    m_cArray = false;
    m_bytes = new (std::nothrow) uint8_t[static_cast<size_t>(bytes)]();
    m_hex = new (std::nothrow) char[static_cast<size_t>(hexChars)]();
    if (!m_bytes || !m_hex) {
        clear();
        return false;
    }
    m_capacity = bytes;
    m_hexCapacity = hexChars;
    return true;
}

void CBytesEx::rebuildHex() {
    int mode = m_space ? (m_cArray ? 2 : 1) : 0;
    int need = hexChars(m_byteLen, mode);
    if (need > m_hexCapacity) {
        char* bigger = new (std::nothrow) char[static_cast<size_t>(need)]();
        if (!bigger) {
            m_hexLen = 0;
            if (m_hex) m_hex[0] = 0;
            return;
        }
        delete[] m_hex;
        m_hex = bigger;
        m_hexCapacity = need;
    }
    m_hexLen = asc2hex(m_bytes, m_byteLen, m_hex, mode);
    if (m_hexLen == 0) m_hex[0] = 0;
}

int CBytesEx::Set(const CBytesEx& other, int length, int offset) {
    int n = 0;
    if (offset >= 0 && offset <= other.m_byteLen) {
        n = other.m_byteLen - offset;
        if (length >= 0 && length < n) n = length;
    }
    if (this == &other) {
        CBytesEx copy(other);
        return Set(copy.m_bytes ? copy.m_bytes + offset : nullptr, n, 0);
    }
    return Set(other.m_bytes ? other.m_bytes + offset : nullptr, n, 0);
}

int CBytesEx::Set(const void* data, int length, int isHex) {
    if (!data || length < 0) length = 0;
    // The source may be a slice of this very object: take it out first.
    if (length > 0 && (inside(data, m_bytes, m_capacity) || inside(data, m_hex, m_hexCapacity))) {
        CBytesEx copy;
        copy.Set(data, length, 0);
        return Set(copy.m_bytes, length, isHex);
    }
    const size_t n = static_cast<size_t>(length);
    int want = 0;  // bytes the value will hold
    int need;      // byte array size asked for by the storage rule
    if (isHex) {
        want = hex2asc(static_cast<const char*>(data), length, nullptr, 0, kMaxDecoded);
        need = length / 2 + 33;
    } else {
        want = length;
        need = length + 32;
    }
    if (m_capacity > need && m_capacity > want && m_hexCapacity > length) {
        memset(m_bytes, 0, static_cast<size_t>(m_byteLen) + 1);
        memset(m_hex, 0, static_cast<size_t>(m_hexLen) + 1);
        m_byteLen = m_hexLen = 0;
    } else if (length < 1) {
        if (m_bytes) m_bytes[0] = 0;
        if (m_hex) m_hex[0] = 0;
        m_byteLen = m_hexLen = 0;
        return 0;
    } else {
        int bytes = need > want ? need : want + 1;
        int text = isHex ? 3 * length / 2 + 100 : 3 * length + 2;
        if (!reserve(bytes, text)) return 0;
    }
    // No copy from an absent source: memcpy's source must not be null even
    // for zero bytes.
    if (isHex) {
        if (n > 0) memcpy(m_hex, data, n);
        m_hexLen = length;
        m_hex[n] = 0;
        m_byteLen = hex2asc(m_hex, length, m_bytes, 0, static_cast<size_t>(m_capacity - 1));
        m_bytes[m_byteLen] = 0;
    } else {
        if (n > 0) memcpy(m_bytes, data, n);
        m_byteLen = length;
        m_bytes[n] = 0;
        bool cArray = m_cArray;
        m_cArray = false;  // binary input is written plainly or with spaces
        rebuildHex();
        m_cArray = cArray;
    }
    return m_byteLen;
}

int CBytesEx::setBytes(const void* data, int length, int isHex) {
    if (length < 1 && data) length = static_cast<int>(strlen(static_cast<const char*>(data)));
    return Set(data, length, isHex);
}

int CBytesEx::setHex(const char* text, int length) {
    if (length < 1 && text) length = static_cast<int>(strlen(text));
    return Set(text, length, 1);
}

int CBytesEx::setStr(const char* text, int isHex) {
    if (!text) return 0;
    return Set(text, static_cast<int>(strlen(text)), isHex);
}

int CBytesEx::update(int length) {
    if (length <= 0 || m_capacity < 1) return 0;
    if (length > m_capacity - 1) length = m_capacity - 1;  // keep the zero byte inside
    m_byteLen = length;
    m_bytes[length] = 0;
    rebuildHex();
    return length;
}

int CBytesEx::cp(const void* data, int length, int offset) {
    if (!data || length <= 0 || offset < 0 || m_capacity < 1) return 0;
    if (!fitsIn(static_cast<size_t>(offset), static_cast<size_t>(length),
                static_cast<size_t>(m_capacity - 1)))
        return 0;
    memmove(m_bytes + offset, data, static_cast<size_t>(length));
    return length;
}

int CBytesEx::getBytes(void* out) const {
    if (out && m_byteLen > 0) memcpy(out, m_bytes, static_cast<size_t>(m_byteLen));
    return m_byteLen;
}

int CBytesEx::getHex(char* out) const {
    if (out && m_hexLen > 0) memcpy(out, m_hex, static_cast<size_t>(m_hexLen));
    return m_hexLen;
}

int CBytesEx::getStr(char* out) const {
    if (!m_bytes) {
        if (out) out[0] = 0;
        return 0;
    }
    size_t n = strnlen(reinterpret_cast<const char*>(m_bytes), static_cast<size_t>(m_capacity));
    if (out) {
        memcpy(out, m_bytes, n);
        out[n] = 0;
    }
    return static_cast<int>(n);
}

int CBytesEx::getLen(int which) const {
    return which ? m_hexLen : m_byteLen;
}

uint8_t* CBytesEx::getBytesPtr() const {
    // An empty object still hands out a valid empty string.
    return m_bytes ? m_bytes : s_empty;
}

char* CBytesEx::getStrPtr() const {
    return reinterpret_cast<char*>(getBytesPtr());
}

char* CBytesEx::getHexPtr() const {
    return m_hex ? m_hex : reinterpret_cast<char*>(s_empty);
}

void CBytesEx::setSpace(bool space, bool cArray) {
    m_space = space;
    m_cArray = cArray;
}
