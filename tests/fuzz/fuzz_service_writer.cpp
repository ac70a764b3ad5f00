// The reply writer on any bytes: byte 0 splits the rest into a function
// name, a randomId and a text. Each reply built from them must be valid
// UTF-8, parse as JSON, and give every input byte back: valid UTF-8 as it
// is, anything else as one character (U+0000-U+00FF) per byte.
#include <json/reader.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "service/service.h"

namespace {

// Decodes one code point at s[i] (advancing i); -1 for anything but the
// shortest form of a scalar value. Kept apart from the writer's own check.
long decode(const std::string& s, size_t& i) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned c = b(i);
    int n = c < 0x80             ? 0
            : (c & 0xE0) == 0xC0 ? 1
            : (c & 0xF0) == 0xE0 ? 2
            : (c & 0xF8) == 0xF0 ? 3
                                 : -1;
    if (n < 0 || i + static_cast<size_t>(n) >= s.size()) return -1;
    long cp = n == 0 ? c : c & (0x3F >> n);
    for (int k = 1; k <= n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    static const long kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    i += n + 1;
    return cp;
}

bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();)
        if (decode(s, i) < 0) return false;
    return true;
}

// What the page recovers from a parsed string: the string itself when the
// input was UTF-8, else one byte per character.
bool same(const std::string& input, const std::string& parsed) {
    if (validUtf8(input)) return parsed == input;
    std::string bytes;
    for (size_t i = 0; i < parsed.size();) {
        long cp = decode(parsed, i);
        if (cp < 0 || cp > 0xFF) return false;
        bytes += static_cast<char>(cp);
    }
    return bytes == input;
}

Json::CharReader* strictReader() {
    static std::unique_ptr<Json::CharReader> r([] {
        Json::CharReaderBuilder b;
        Json::CharReaderBuilder::strictMode(&b.settings_);
        return b.newCharReader();
    }());
    return r.get();
}

void check(const std::string& reply, const std::string& function, const std::string& randomId,
           const std::string& text, bool asValue) {
    if (!validUtf8(reply)) abort();
    Json::Value root;
    std::string errors;
    if (!strictReader()->parse(reply.data(), reply.data() + reply.size(), &root, &errors)) abort();
    if (!same(function, root["function"].asString())) abort();
    if (!randomId.empty() && !same(randomId, root["randomId"].asString())) abort();
    if (!asValue) {
        if (!same(text, root["result"].asString())) abort();
        return;
    }
    // {text: [text]}: the member name must come back too.
    const Json::Value& result = root["result"];
    if (!result.isObject() || result.size() != 1) abort();
    const std::string name = result.getMemberNames()[0];
    if (!same(text, name) || !same(text, result[name][0].asString())) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t a = (data[0] & 0x0F) < rest.size() ? (data[0] & 0x0F) : rest.size();
    const size_t b = (data[0] >> 4) < rest.size() - a ? (data[0] >> 4) : rest.size() - a;
    const std::string function = rest.substr(0, a);
    const std::string randomId = rest.substr(a, b);
    const std::string text = rest.substr(a + b);

    std::string reply;
    makeJsonStr(reply, text, function, randomId);
    check(reply, function, randomId, text, false);

    Json::Value value(Json::objectValue);
    value[text] = Json::Value(Json::arrayValue);
    value[text].append(Json::Value(text));
    makeJsonJV(reply, value, function, randomId);
    check(reply, function, randomId, text, true);
    return 0;
}
