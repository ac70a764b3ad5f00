#include "service/writer.h"
#include "util/util.h"

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
        quoteJson(name, out);
        out += ':';
        write(value[name], out);
    }
    out += '}';
}
}  // namespace

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
                quoteJson(std::string(begin, end), out);
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
