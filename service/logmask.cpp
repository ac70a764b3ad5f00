// Masking of secret values in the logged commands and replies. Which values
// are secret is written in the command table.
#include "service/logmask.h"

#include <json/reader.h>

#include <cstring>
#include <exception>
#include <memory>

#include "log/log.h"
#include "service/commands.h"
#include "service/writer.h"

namespace {

constexpr const char* kMask = "***";

bool parseObject(const std::string& text, Json::Value& root) {
    static std::unique_ptr<Json::CharReader> reader([] {
        Json::CharReaderBuilder b;
        b.settings_["allowComments"] = true;
        b.settings_["collectComments"] = false;
        return b.newCharReader();
    }());
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return false;
    } catch (const std::exception&) {
        return false;
    }
    return root.isObject();
}

void maskParam(Json::Value& params, int index) {
    if (index == kNoSecret) return;
    if (index == kAllSecret || !params.isArray()) {
        if (!params.isNull()) params = kMask;
        return;
    }
    if (static_cast<Json::ArrayIndex>(index) < params.size())
        params[static_cast<Json::ArrayIndex>(index)] = kMask;
}

std::string lengthOnly(const std::string& text) {
    return "(" + std::to_string(text.size()) + " bytes, not a JSON object)";
}

}  // namespace

namespace logmask {

std::string command(const std::string& text) {
    Json::Value root;
    if (!parseObject(text, root)) return lengthOnly(text);
    const Json::Value& fn = root["function"];
    const std::string function = fn.isString() ? fn.asString() : std::string();
    if (root.isMember("params")) {
        // What is no command may carry anything: all of it is hidden.
        const Command* c = findCommand(function);
        maskParam(root["params"], c ? c->secretParam : kAllSecret);
    }
    std::string out;
    replywriter::write(root, out);
    return out;
}

std::string reply(const std::string& text) {
    Json::Value root;
    if (!parseObject(text, root)) return lengthOnly(text);
    const Json::Value& fn = root["function"];
    const Command* c = fn.isString() ? findCommand(fn.asString()) : nullptr;
    if (!c || !c->secretResult || root["reterr"] != 0 || !root.isMember("result")) return text;
    root["result"] = kMask;
    std::string out;
    replywriter::write(root, out);
    return out;
}

void logCommand(const std::string& text) {
    if (nvlog::isOpen()) _nvlogstr(command(text).c_str());
}

void logReply(const std::string& text) {
    if (nvlog::isOpen()) _nvlogstr(reply(text).c_str());
}

}  // namespace logmask
