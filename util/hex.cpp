// Hex digits and the two text <-> bytes conversions.
#include <cstring>

#include "util/util.h"

bool _isHexCh(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int _c2i(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

char _i2c(uint8_t value, int lowNibble) {
    uint8_t n = lowNibble ? (value & 0x0F) : (value >> 4);
    if (n < 10) return static_cast<char>('0' + n);
    return static_cast<char>((CBytesEx::S_bCapital ? 'A' : 'a') + n - 10);
}

int asc2hex(const uint8_t* bytes, int count, char* text, int mode) {
    if (!bytes || !text || count <= 0) return 0;
    int pos = 0;
    for (int i = 0; i < count; ++i) {
        if (mode == 2) {
            text[pos++] = '0';
            text[pos++] = 'x';
        }
        text[pos++] = _i2c(bytes[i], 0);
        text[pos++] = _i2c(bytes[i], 1);
        if (i + 1 == count) break;
        if (mode == 1) {
            text[pos++] = ' ';
        } else if (mode == 2) {
            text[pos++] = ',';
            if ((i + 1) % 16 == 0) {
                text[pos++] = '\r';
                text[pos++] = '\n';
            }
        }
    }
    text[pos] = 0;
    return pos;
}

namespace {
// Writes one byte when it still fits; always counts it up to the limit, so a
// run without an output buffer measures the result.
struct Sink {
    uint8_t* out;
    size_t limit;
    size_t n = 0;
    bool put(uint8_t b) {
        if (n >= limit) return false;
        if (out) out[n] = b;
        ++n;
        return true;
    }
};
}  // namespace

int hex2asc(const char* text, int length, uint8_t* out, int singleDigitHigh, size_t outSize) {
    if (!text || length <= 0) return 0;
    Sink sink{out, outSize};
    bool literal = false;
    int i = 0;
    while (i < length) {
        char c = text[i];
        if (c == '"') {
            literal = !literal;
            ++i;
            continue;
        }
        if (literal) {
            sink.put(static_cast<uint8_t>(c));
            ++i;
            continue;
        }
        if (c == '0' && i + 1 < length && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2;
            continue;
        }
        if (!_isHexCh(c)) {
            ++i;
            continue;
        }
        uint8_t b;
        if (i + 1 < length && _isHexCh(text[i + 1])) {
            b = static_cast<uint8_t>(_c2i(c) << 4 | _c2i(text[i + 1]));
            i += 2;
        } else {
            b = static_cast<uint8_t>(singleDigitHigh ? _c2i(c) << 4 : _c2i(c));
            i += 1;
        }
        sink.put(b);
        if (i < length && text[i] == ':') {
            ++i;
            int start = i;
            while (i < length && text[i] >= '0' && text[i] <= '9')
                ++i;
            uint32_t times = i > start ? str2i(text + start, false, true, i - start) : 0;
            // Never more than the output can take, whatever count the text asks for.
            for (uint32_t k = 1; k < times && sink.put(b); ++k) {
            }
        }
    }
    return static_cast<int>(sink.n);
}

int hex2asc(const char* text, int length, uint8_t* out, int singleDigitHigh) {
    // Without repeat counts a text never yields more bytes than characters.
    return hex2asc(text, length, out, singleDigitHigh,
                   length > 0 ? static_cast<size_t>(length) : 0);
}
