// cTlv, the small DER writer whose elements live in the scratch arena, and
// the DER primitives behind it.
#include "crypto/crypto.h"
#include "crypto/der.h"
#include "util/util.h"

#include <cstring>

namespace der {

uint32_t putHdr(uint8_t* p, uint8_t tag, uint32_t n) {
    p[0] = tag;
    if (n < 128) {
        p[1] = static_cast<uint8_t>(n);
        return 2;
    }
    if (n < 256) {
        p[1] = 0x81;
        p[2] = static_cast<uint8_t>(n);
        return 3;
    }
    p[1] = 0x82;
    p[2] = static_cast<uint8_t>(n >> 8);
    p[3] = static_cast<uint8_t>(n);
    return 4;
}

uint32_t uintToInteger(const uint8_t* value, uint32_t n, uint8_t* out) {
    while (n > 0 && *value == 0)
        ++value, --n;
    if (n == 0) {
        out[0] = 0x02, out[1] = 0x01, out[2] = 0x00;
        return 3;
    }
    const uint32_t pad = (*value & 0x80) ? 1 : 0;
    uint32_t h = putHdr(out, 0x02, n + pad);
    if (pad) out[h++] = 0x00;
    memcpy(out + h, value, n);
    return h + n;
}

bool readTlv(const uint8_t* p, size_t left, Tlv& t) {
    if (left < 2 || (p[0] & 0x1F) == 0x1F) return false;
    t.tag = p[0];
    const uint8_t l = p[1];
    if (l < 0x80) {
        t.hdr = 2;
        t.len = l;
    } else {
        const size_t k = l & 0x7F;
        if (k == 0 || k > 3 || left < 2 + k) return false;
        size_t v = 0;
        for (size_t i = 0; i < k; ++i)
            v = v << 8 | p[2 + i];
        t.hdr = 2 + k;
        t.len = v;
    }
    return t.len <= left - t.hdr;
}

}  // namespace der

cTlv& cTlv::fail() {
    m_failed = true;
    m_buf = nullptr;
    m_len = m_pos = 0;
    return *this;
}

cTlv& cTlv::set(uint8_t tag, uint32_t length) {
    m_failed = false;
    const uint32_t h = der::hdrLen(length);
    if (h == 0) return fail();  // beyond 65535: refused, never a wrong header
    uint8_t* p = cxBuf::tryMal(static_cast<size_t>(length) + 8);
    if (!p) return fail();  // never restart the arena under live slices
    m_buf = p;
    m_pos = der::putHdr(p, tag, length);
    m_len = h + length;
    return *this;
}

cTlv& cTlv::set(uint8_t tag, const cTlv& inner) {
    if (!inner.ok()) return fail();
    set(tag, inner.len());
    return addtlv(inner);
}

cTlv& cTlv::addv1(uint8_t byte) {
    if (m_failed) return *this;
    if (m_pos >= m_len) return fail();
    m_buf[m_pos++] = byte;
    return *this;
}

cTlv& cTlv::addbuf(const uint8_t* bytes, uint32_t n) {
    if (m_failed || n == 0) return *this;
    if (!bytes || n > m_len - m_pos) return fail();
    memmove(m_buf + m_pos, bytes, n);
    m_pos += n;
    return *this;
}

cTlv& cTlv::addtlv(const cTlv& inner) {
    if (!inner.ok()) return fail();
    return addbuf(inner.buf(), inner.len());
}

int asnIntchk(const uint8_t* bytes, int n, cTlv& element) {
    if (!bytes || n < 0 || n > 120) return -1;
    uint8_t tmp[der::intMax(120)];
    // At most 121 value bytes: the header in tmp is always two bytes.
    const uint32_t len = der::uintToInteger(bytes, static_cast<uint32_t>(n), tmp);
    element.set(0x02, len - 2);
    element.addbuf(tmp + 2, len - 2);
    return element.complete() ? 0 : -1;
}

int _getTLlen(const uint8_t* p) {
    switch (p[1]) {
        case 0x81:
            return 3;
        case 0x82:
            return 4;
        case 0x83:
            return 5;
        default:
            return 2;
    }
}

int _getTLVlen(const uint8_t* p) {
    switch (p[1]) {
        case 0x81:
            return 3 + p[2];
        case 0x82:
            return 4 + (p[2] << 8 | p[3]);
        case 0x83:
            return 5;  // three-byte lengths are not followed
        default:
            return 2 + p[1];
    }
}
