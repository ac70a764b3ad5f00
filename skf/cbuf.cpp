#include <cstring>

#include "skf/cos17.h"

void CBuf::setBuf(void* buffer, unsigned char swap, unsigned int capacity) {
    m_cur = static_cast<uint8_t*>(buffer);
    m_len = 0;
    m_swap = swap;
    m_cap = capacity;
    m_overflow = false;
}

bool CBuf::room(unsigned int n) {
    if (m_overflow || !fitsIn(m_len, n, m_cap)) {
        m_overflow = true;
        return false;
    }
    return true;
}

CBuf& CBuf::addC(unsigned char v) {
    if (!room(1)) return *this;
    *m_cur++ = v;
    ++m_len;
    return *this;
}

CBuf& CBuf::addW(unsigned short v) {
    if (!room(2)) return *this;
    if (m_swap) {
        UNPACKED16(v, m_cur);
    } else {
        putLe16(v, m_cur);
    }
    m_cur += 2;
    m_len += 2;
    return *this;
}

CBuf& CBuf::addDw(unsigned int v) {
    if (!room(4)) return *this;
    if (m_swap) {
        UNPACKED32(v, m_cur);
    } else {
        putLe32(v, m_cur);
    }
    m_cur += 4;
    m_len += 4;
    return *this;
}

CBuf& CBuf::addBuf(unsigned int len, const void* data) {
    if (len == 0) return *this;
    if (!data || !room(len)) {
        m_overflow = true;
        return *this;
    }
    memcpy(m_cur, data, len);
    m_cur += len;
    m_len += len;
    return *this;
}

CBuf& CBuf::addLV2(unsigned int len, const void* data) {
    if (len > 0xFFFF) {
        m_overflow = true;
        return *this;
    }
    addW(static_cast<unsigned short>(len));
    return addBuf(len, data);
}

CBuf& CBuf::addLV4(unsigned int len, const void* data) {
    addDw(len);
    return addBuf(len, data);
}

void CBuf::swapW(unsigned short& v) const {
    if (m_swap) v = static_cast<unsigned short>((v >> 8) | (v << 8));
}

void CBuf::swapDw(unsigned int& v) const {
    if (m_swap) v = __builtin_bswap32(v);
}
