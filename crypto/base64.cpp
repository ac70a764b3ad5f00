// Base64 (RFC 4648) for the signing commands' data: strict on encoding,
// tolerant on decoding (both alphabets, foreign characters skipped).
#include <climits>

#include "crypto/crypto.h"

const char B64_ENCODINGTABLE[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

constexpr int kLineChars = 76;
constexpr int kLineGroups = kLineChars / 4;  // 19 quartets a line
constexpr char base64_padchar = '=';
constexpr char base64_CRchar = '\r';
constexpr char base64_LFchar = '\n';
constexpr int kNoSymbol = -1;

inline char base64_bin2ascii(unsigned v, bool urlSafe) {
    char c = B64_ENCODINGTABLE[v & 63];
    if (urlSafe) {
        if (c == '+') return '-';
        if (c == '/') return '_';
    }
    return c;
}

inline int base64_ascii2bin(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return kNoSymbol;
}

// `groups` whole 3-byte groups as quartets.
char* base64_encoding(const uint8_t*& in, int groups, char* out, bool urlSafe) {
    for (int g = 0; g < groups; ++g, in += 3) {
        const unsigned v = static_cast<unsigned>(in[0]) << 16 | in[1] << 8 | in[2];
        *out++ = base64_bin2ascii(v >> 18, urlSafe);
        *out++ = base64_bin2ascii(v >> 12, urlSafe);
        *out++ = base64_bin2ascii(v >> 6, urlSafe);
        *out++ = base64_bin2ascii(v, urlSafe);
    }
    return out;
}

char* base64_encodingpad(char* out, int count) {
    while (count-- > 0)
        *out++ = base64_padchar;
    return out;
}

// The final 1 or 2 bytes: r + 1 characters, then 3 - r pad characters.
char* base64_encodingover(const uint8_t* in, int r, char* out, bool urlSafe) {
    unsigned v = static_cast<unsigned>(in[0]) << 16;
    if (r == 2) v |= static_cast<unsigned>(in[1]) << 8;
    for (int i = 0; i <= r; ++i)
        *out++ = base64_bin2ascii(v >> (18 - 6 * i), urlSafe);
    return base64_encodingpad(out, 3 - r);
}

}  // namespace

int Base64EncodeRequireSize(int n, bool lineBreaks) {
    if (n <= 0) return 0;
    int64_t size = (static_cast<int64_t>(n) / 3 + (n % 3 != 0)) * 4;
    if (lineBreaks) size += (size / kLineChars + 1) * 2;
    return size <= INT_MAX ? static_cast<int>(size) : -1;  // no int size can hold it
}

int Base64DecodeRequireSize(int n) {
    if (n <= 0) return 0;
    return (n / 4 + (n % 4 != 0)) * 3;
}

bool Base64Encode(const uint8_t* in, int n, char* out, int* size, bool lineBreaks, bool urlSafe) {
    if (!in || !out || !size || n < 0) return false;
    const int required = Base64EncodeRequireSize(n, lineBreaks);
    if (required < 0 || *size < required) return false;
    const int whole = n / 3;  // whole quartets
    const int lines = whole / kLineGroups;
    char* p = out;
    for (int line = 0; line <= lines; ++line) {
        const int groups = line < lines ? kLineGroups : whole % kLineGroups;
        p = base64_encoding(in, groups, p, urlSafe);
        if (lineBreaks && (groups > 0 || line < lines)) {
            *p++ = base64_CRchar;
            *p++ = base64_LFchar;
        }
    }
    // The last line's break goes; a line that ended exactly full keeps its.
    if (lineBreaks && p > out && whole % kLineGroups != 0) p -= 2;
    const int r = n % 3;
    if (r > 0) p = base64_encodingover(in, r, p, urlSafe);
    *size = static_cast<int>(p - out);
    return true;
}

bool Base64Decode(const char* in, int n, uint8_t* out, int* size) {
    if (!in || !out || !size || n < 0) return false;
    int written = 0;
    int i = 0;
    while (i < n && in[i] != '\0') {
        unsigned acc = 0;
        int symbols = 0;
        for (; i < n && symbols < 4; ++i) {
            const int v = base64_ascii2bin(static_cast<unsigned char>(in[i]));
            if (v == kNoSymbol) continue;
            acc = acc << 6 | static_cast<unsigned>(v);
            ++symbols;
        }
        const int bytes = symbols * 6 / 8;
        if (bytes == 0) continue;
        if (written + bytes > *size) return false;
        acc <<= 6 * (4 - symbols);  // align the group to 24 bits
        for (int b = 0; b < bytes; ++b)
            out[written++] = static_cast<uint8_t>(acc >> (16 - 8 * b));
    }
    *size = written;
    return true;
}

std::string Base64::encodeBase64(const uint8_t* in, int n, bool lineBreaks, bool urlSafe) {
    if (n < 1) return std::string();
    int size = Base64EncodeRequireSize(n, lineBreaks);
    if (size < 0) return std::string();
    std::string text(static_cast<size_t>(size), '\0');
    if (!Base64Encode(in, n, &text[0], &size, lineBreaks, urlSafe)) return std::string();
    text.resize(static_cast<size_t>(size));
    return text;
}

bool Base64::decodeBase64(const std::string& text, uint8_t* out, int* size) {
    const int n = static_cast<int>(text.size());
    if (Base64Decode(text.data(), n, out, size)) return true;
    if (size) *size = Base64DecodeRequireSize(n);
    return false;
}

bool Base64::encodeBase64Ex(const uint8_t* in, int n, char* out, int* size, bool lineBreaks,
                            bool urlSafe) {
    if (!size) return false;
    *size = Base64EncodeRequireSize(n, lineBreaks);
    if (n < 1) return false;
    return Base64Encode(in, n, out, size, lineBreaks, urlSafe);
}

bool Base64::decodeBase64Ex(const char* in, int n, uint8_t* out, int* size) {
    if (Base64Decode(in, n, out, size)) return true;
    if (size) *size = Base64DecodeRequireSize(n);
    return false;
}
