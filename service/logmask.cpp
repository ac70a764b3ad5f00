// Masking of secret values in the logged commands and replies. Which values
// are secret follows from the command table: only these functions take or
// give any.
#include "service/logmask.h"

#include <json/reader.h>

#include <cstring>
#include <exception>
#include <memory>

#include "log/log.h"
#include "service/writer.h"

namespace {

constexpr const char* kMask = "***";
constexpr size_t kAll = static_cast<size_t>(-1);

struct Secret {
    const char* function;
    size_t param;  // index of the secret parameter, kAll for all, kNone for none
    bool result;   // the successful result is secret
};
constexpr size_t kNone = static_cast<size_t>(-2);
const Secret kSecrets[] = {
    {"rkLogin", 2, false},        // the PIN
    {"Sm4Decrypt", 1, true},      // the key; the plain text
    {"Sm2Decrypt", kNone, true},  // the plain text
    {"FactorySign", 0, false},    // the text signed
    {"DeviceSign", 0, false},     {"FingerSign", 0, false},
    {"SignDataNormal", 1, false},  // the data signed
    {"SignDataToPKCS7", 1, true},  // the data, and the PKCS#7 that holds it
    {"InitDev", kAll, false},
};

const Secret* secretOf(const std::string& function) {
    for (const Secret& s : kSecrets)
        if (function == s.function) return &s;
    return nullptr;
}

bool knownFunction(const std::string& function) {
    // Every command that takes something worth hiding is in kSecrets; the
    // rest take names, numbers and public keys.
    static const char* const kPlain[] = {
        "GetVersion",      "Connect",      "Disconnect",    "EnumDevice",      "openDevice",
        "closeDevice",     "OpenDev",      "GetDevInfo",    "GetClientID",     "GetFacPubKey",
        "GetDevPubKey",    "SetSvrPubKey", "GetUserList",   "RegisterUser",    "AddFinger",
        "WaitEnroll",      "CancelEnroll", "GetFingerUsed", "GetFingerUnused", "DeleteFinger",
        "DeleteUser",      "LoginFinger",  "startVerify",   "LoopVerify",      "CancelVerify",
        "rkEnumContainer", "ackEnroll",    "ackVerify"};
    for (const char* f : kPlain)
        if (function == f) return true;
    return false;
}

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

void maskParam(Json::Value& params, size_t index) {
    if (index == kNone) return;
    if (index == kAll || !params.isArray()) {
        if (!params.isNull()) params = kMask;
        return;
    }
    if (index < params.size()) params[static_cast<Json::ArrayIndex>(index)] = kMask;
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
        if (const Secret* s = secretOf(function)) {
            maskParam(root["params"], s->param);
        } else if (!knownFunction(function)) {
            maskParam(root["params"], kAll);
        }
    }
    std::string out;
    replywriter::write(root, out);
    return out;
}

std::string reply(const std::string& text) {
    Json::Value root;
    if (!parseObject(text, root)) return lengthOnly(text);
    const Json::Value& fn = root["function"];
    const Secret* s = fn.isString() ? secretOf(fn.asString()) : nullptr;
    if (!s || !s->result || root["reterr"] != 0 || !root.isMember("result")) return text;
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
