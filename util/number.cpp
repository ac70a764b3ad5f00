// Number parsing and printing.
#include "util/util.h"

namespace {
uint32_t apply(uint32_t acc, char op, uint32_t operand) {
    switch (op) {
        case '*':
            return acc * operand;
        case '/':
            // A zero divisor yields 0 instead of trapping on page input.
            return operand ? acc / operand : 0;
        default:
            return operand;
    }
}
}  // namespace

uint32_t str2i(const char* text, bool hex, bool strict, int length) {
    if (!text) return 0;
    uint32_t acc = 0;
    uint32_t cur = 0;
    char op = 0;
    bool base16 = hex;
    for (int i = 0; length > 0 ? i < length : text[i] != 0; ++i) {
        char c = text[i];
        if (c == 'x' || c == 'X') {
            base16 = true;
            continue;
        }
        if (!strict && (c == ' ' || c == '\t')) continue;
        if (!strict && (c == '*' || c == '/')) {
            acc = apply(acc, op, cur);
            op = c;
            cur = 0;
            continue;
        }
        if (base16 && _isHexCh(c)) {
            cur = cur * 16 + static_cast<uint32_t>(_c2i(c));
        } else if (!base16 && c >= '0' && c <= '9') {
            cur = cur * 10 + static_cast<uint32_t>(c - '0');
        } else {
            break;
        }
    }
    return apply(acc, op, cur);
}

int i2str(uint32_t value, char* text, bool hex) {
    if (!text) return 0;
    char digits[16];
    int n = 0;
    uint32_t base = hex ? 16 : 10;
    do {
        digits[n++] = _i2c(static_cast<uint8_t>(value % base), 1);
        value /= base;
    } while (value);
    for (int i = 0; i < n; ++i)
        text[i] = digits[n - 1 - i];
    text[n] = 0;
    return n;
}

int dec2asc(const char* text, uint8_t* out) {
    if (!text || !out) return 0;
    int n = 0;
    for (int i = 0; text[i];) {
        if (text[i] < '0' || text[i] > '9') {
            ++i;
            continue;
        }
        bool negative = i > 0 && text[i - 1] == '-';
        uint32_t v = 0;
        while (text[i] >= '0' && text[i] <= '9')
            v = v * 10 + static_cast<uint32_t>(text[i++] - '0');
        out[n++] = static_cast<uint8_t>(negative ? 256 - v : v);
    }
    return n;
}
