#include "service/writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace replywriter {
namespace {

// An array is written on one line with spaces when it is short: fewer than
// 25 elements, none a non-empty array or object, and their texts together
// with the brackets and separators narrower than this margin.
constexpr size_t kRightMargin = 74;
constexpr Json::ArrayIndex kMaxShortElements = 25;
// The element count follows from the margin: every element's text is at
// least one character ("0"), so n elements take at least "[ ", " ]", n
// characters and n - 1 ", ", and from 24 elements on no line fits. The
// count only spares building a line of a long array that cannot fit.
constexpr size_t shortestLine(size_t n) {
    return 2 + n + 2 * (n - 1) + 2;
}
static_assert(shortestLine(kMaxShortElements) >= kRightMargin, "implied by the margin");

void writeDouble(double v, std::string& out) {
    if (std::isnan(v)) {
        out += "null";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-1e+9999" : "1e+9999";
        return;
    }
    char buf[40];
    snprintf(buf, sizeof buf, "%.17g", v);
    out += buf;
    if (!strpbrk(buf, ".eE")) out += ".0";
}

bool isNonEmptyContainer(const Json::Value& v) {
    return (v.isArray() || v.isObject()) && !v.empty();
}

void writeArray(const Json::Value& value, std::string& out) {
    const Json::ArrayIndex size = value.size();
    if (size == 0) {
        out += "[]";
        return;
    }
    bool multi = size >= kMaxShortElements;
    for (Json::ArrayIndex i = 0; i < size && !multi; ++i)
        multi = isNonEmptyContainer(value[i]);
    if (!multi) {
        std::string line = "[ ";
        for (Json::ArrayIndex i = 0; i < size; ++i) {
            if (i) line += ", ";
            write(value[i], line);
        }
        line += " ]";
        // The texts of the elements plus two characters per element and one
        // more pair: exactly the length of the single-line form.
        if (line.size() < kRightMargin) {
            out += line;
            return;
        }
    }
    out += '[';
    for (Json::ArrayIndex i = 0; i < size; ++i) {
        if (i) out += ',';
        write(value[i], out);
    }
    out += ']';
}

void writeObject(const Json::Value& value, std::string& out) {
    out += '{';
    bool first = true;
    // Member names come sorted in byte order.
    for (const std::string& name : value.getMemberNames()) {
        if (!first) out += ',';
        first = false;
        quote(name, out);
        out += ':';
        write(value[name], out);
    }
    out += '}';
}
}  // namespace

bool isUtf8(const char* text, size_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < size) {
        unsigned c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t n;
        unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) lo = 0xA0;  // overlong
            if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) lo = 0x90;  // overlong
            if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (size - i - 1 < n) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t k = 2; k <= n; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

void quote(const std::string& text, std::string& out) {
    static const char kHex[] = "0123456789ABCDEF";
    const bool utf8 = isUtf8(text.data(), text.size());
    out += '"';
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || (c >= 0x80 && !utf8)) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0F];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

void write(const Json::Value& value, std::string& out) {
    switch (value.type()) {
        case Json::nullValue:
            out += "null";
            break;
        case Json::intValue:
            out += std::to_string(value.asLargestInt());
            break;
        case Json::uintValue:
            out += std::to_string(value.asLargestUInt());
            break;
        case Json::realValue:
            writeDouble(value.asDouble(), out);
            break;
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            if (value.getString(&begin, &end))
                quote(std::string(begin, end), out);
            else
                out += "\"\"";
            break;
        }
        case Json::booleanValue:
            out += value.asBool() ? "true" : "false";
            break;
        case Json::arrayValue:
            writeArray(value, out);
            break;
        case Json::objectValue:
            writeObject(value, out);
            break;
    }
}
}  // namespace replywriter
