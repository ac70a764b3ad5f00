// Device and information commands.
#include <cstring>

#include "app/app.h"
#include "service/handlers.h"
#include "service/params.h"
#include "service/service.h"
#include "util/util.h"

namespace {

// Hex digits of the 65-byte point.
constexpr size_t kPubKeyHexLen = 2 * static_cast<size_t>(kPubKeyLen);

// Walks a list of zero-terminated names as the key listings deliver it:
// stops at an empty name or when no room is left for another name.
void listNames(const char* list, int length, Json::Value& names, int& count) {
    count = 0;
    names = Json::Value(Json::arrayValue);
    int pos = 0;
    while (pos < length && list[pos]) {
        int n = static_cast<int>(strnlen(list + pos, static_cast<size_t>(length - pos)));
        names.append(std::string(list + pos, static_cast<size_t>(n)));
        ++count;
        if (pos + n + 1 >= length) break;
        pos += n + 1;
    }
}

// The 65-byte point as 130 hex digits.
int pubKeyText(int (*get)(uint8_t*, int*), std::string& text) {
    uint8_t* key = cxBuf::init(256);
    int length = 0;
    int rc = get(key, &length);
    if (rc != 0) return rc;
    char hex[kPubKeyHexLen + 1];
    asc2hex(key, kPubKeyLen, hex, 0);
    text.assign(hex, kPubKeyHexLen);
    return 0;
}

}  // namespace

int GetVersion(std::string& text) {
    text = kServiceVersion;
    return 0;
}

int InitAxSys(const Json::Value& p, std::string&) {
    if (!p.isArray() && !p.isNull()) return kBadParams;
    std::string argument;
    if (p.isArray() && p.size() > 0) {
        if (!p[0].isString()) return kBadParams;
        argument = p[0].asString();
    }
    uint8_t* out = cxBuf::init(256);
    return CNvId::initAxSys(argument.c_str(), static_cast<int>(argument.size()), out, 256);
}

int GetDevInfo(const Json::Value& p, Json::Value& value) {
    int level = 2;
    if (p.isArray() && p.size() > 0 && params::isInteger(p[0])) level = p[0].asInt();
    char serial[32], label[64], app[32];
    memset(serial, 0, sizeof serial);
    memset(label, 0, sizeof label);
    memset(app, 0, sizeof app);
    char* pubKey = reinterpret_cast<char*>(cxBuf::mal(kPubKeyHexLen + 1));
    memset(pubKey, 0, kPubKeyHexLen + 1);
    int type = 0;
    int rc = CNvId::getDevInfo(level, serial, &type, label, pubKey, app);
    if (rc != 0) return rc;
    value = Json::Value(Json::arrayValue);
    value.append(std::string(serial, strnlen(serial, sizeof serial)));
    value.append(type);
    if (level > 2) value.append(std::string(label, strnlen(label, sizeof label)));
    if (level > 3) value.append(std::string(pubKey, strnlen(pubKey, kPubKeyHexLen)));
    if (level > 4) value.append(std::string(app, strnlen(app, sizeof app)));
    return 0;
}

int EnumDevice(const Json::Value&, Json::Value& value) {
    char* list = reinterpret_cast<char*>(cxBuf::init(1024));
    int length = 0;
    int rc = CNvId::getDevLst(list, &length);
    if (rc != 0) return rc;
    if (length > kDevListMax) length = kDevListMax;
    Json::Value names;
    int count = 0;
    listNames(list, length, names, count);
    value = Json::Value(Json::arrayValue);
    value.append(count);
    value.append(names);
    return 0;
}

int openDevice(const Json::Value& p, Json::Value& value) {
    if (!params::isArrayOf(p, 1) || !params::isStringOrNull(p[0])) return kBadParams;
    std::string name = p[0].isString() ? p[0].asString() : std::string();
    int rc = CNvId::openDevice(name.c_str());
    if (rc != 0) return rc;
    value = Json::Value();
    return 0;
}

int closeDevice(const Json::Value&, Json::Value& value) {
    CNvId::closeDev();
    value = Json::Value();
    return 0;
}

int SetSvrPubKey(const Json::Value& p) {
    if (!params::isArrayOf(p, 1) || !p[0].isString()) return kBadParams;
    const std::string hex = p[0].asString();
    // One byte more than a point holds: a longer text shows as that extra
    // byte and is refused for its length, never decoded past the buffer.
    uint8_t key[kPubKeyLen + 1];
    int n = hex2asc(hex.data(), static_cast<int>(hex.size()), key, 0, sizeof key);
    return CNvId::setSvrPub(key, n);
}

int GetFacPubKey(std::string& text) {
    return pubKeyText(CNvId::getFacPubKey, text);
}

int GetDevPubKey(std::string& text) {
    return pubKeyText(CNvId::getDevPubKey, text);
}

int GetClientID(std::string& text) {
    char label[64];
    memset(label, 0, sizeof label);
    int length = sizeof label;
    int rc = CNvId::getLbl(label, &length);
    if (rc != 0) return rc;
    text.assign(label, strnlen(label, sizeof label));
    return 0;
}

int WatchDevice(const Json::Value& params, std::string& text) {
    bool on = true;
    if (params::isArrayOf(params, 1) && params[0].isBool())
        on = params[0].asBool();
    else if (!params::isArrayOf(params, 0))
        return kBadParams;
    Client* client = currentClient();
    if (!client) return kBadParams;
    client->watchDevice = on;
    text = "OK";
    return 0;
}

void keyChanged(const char* name, uint16_t pid, bool present) {
    Json::Value result(Json::arrayValue);
    result.append(name);
    result.append(pid);
    result.append(present);
    std::string text;
    makeJsonJV(text, result, "ackDevice", "");
    // A site the user has not allowed learns nothing of the keys.
    sendToClients(text, [](const Client& c) { return c.watchDevice && c.allowed; });
    CNvId::noteKey(name, present);
}
