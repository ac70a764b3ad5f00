// The assertion's clientData: parsed as JSON, then written anew from the
// parsed values the way the daemon writes it and compared byte for byte,
// so that no second spelling of one statement (member order, white space,
// escapes, number forms, duplicate members) is ever taken.
#include <json/reader.h>
#include <json/value.h>

#include <cstring>
#include <exception>
#include <memory>

#include "tools/verify/client_data.h"
#include "util/util.h"

namespace fpkverify {

namespace {

const char kPrefix[] = "{\"type\":\"fpkey.assert\"";

Check bad(const char* reason) {
    return Check{Failed::ClientData, reason};
}

// The daemon writes its strings with the reply writer's quoting.
void member(const char* name, const std::string& value, std::string& out) {
    out += ",\"";
    out += name;
    out += "\":";
    quoteJson(value, out);
}

const Json::Value* find(const Json::Value& root, const char* name) {
    return root.find(name, name + std::strlen(name));
}

bool stringMember(const Json::Value& root, const char* name, std::string& out) {
    const Json::Value* v = find(root, name);
    if (!v || !v->isString()) return false;
    // Through the pointer pair: asString() would also do, but this keeps
    // any NUL (\u0000) the text holds without a second look.
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!v->getString(&begin, &end)) {
        out.clear();
        return true;
    }
    out.assign(begin, end);
    return true;
}

}  // namespace

Check readClientData(const std::string& text, ClientData& out) {
    if (text.size() > kClientDataMax) return bad("longer than 4096 bytes");
    if (text.compare(0, sizeof kPrefix - 1, kPrefix) != 0)
        return bad("does not begin with {\"type\":\"fpkey.assert\"");
    if (!isUtf8(text.data(), text.size())) return bad("not UTF-8");

    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = 8;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    // JsonCpp throws where nesting passes stackLimit; the daemon's form has
    // one level, so anything deeper is no clientData of its own.
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors))
            return bad("not JSON");
    } catch (const std::exception&) {
        return bad("not JSON, or nested deeper than the daemon's form");
    }
    if (!root.isObject() || root.size() != 9) return bad("not an object of nine members");

    ClientData d;
    std::string type;
    if (!stringMember(root, "type", type) || !stringMember(root, "origin", d.origin) ||
        !stringMember(root, "challenge", d.challenge) || !stringMember(root, "text", d.text) ||
        !stringMember(root, "user", d.assertion.user) ||
        !stringMember(root, "record", d.assertion.record) ||
        !stringMember(root, "serial", d.assertion.serial) ||
        !stringMember(root, "shown", d.assertion.shown))
        return bad("a member is missing or not a string");
    const Json::Value* finger = find(root, "finger");
    // A number written as an integer; 1.0 or 1e0 would come back as reals.
    if (!finger || (finger->type() != Json::intValue && finger->type() != Json::uintValue) ||
        !finger->isInt() || finger->asInt() < 1 || finger->asInt() > 10)
        return bad("finger is not an integer from 1 to 10");
    d.assertion.finger = finger->asInt();
    if (d.assertion.shown != "desktop" && d.assertion.shown != "page")
        return bad("shown is neither desktop nor page");

    std::string again = kPrefix;
    member("origin", d.origin, again);
    member("challenge", d.challenge, again);
    member("text", d.text, again);
    member("user", d.assertion.user, again);
    again += ",\"finger\":" + std::to_string(d.assertion.finger);
    member("record", d.assertion.record, again);
    member("serial", d.assertion.serial, again);
    member("shown", d.assertion.shown, again);
    again += '}';
    if (type != "fpkey.assert" || again != text)
        return bad("not in the daemon's exact form (member order, spacing or escapes)");
    out = std::move(d);
    return {};
}

}  // namespace fpkverify
