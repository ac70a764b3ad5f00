// Device and information commands.
#include <cstring>

#include "app/app.h"
#include "service/handlers.h"
#include "service/params.h"
#include "service/service.h"
#include "util/util.h"

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

int GetDevInfo(const Json::Value&, Json::Value&) {
    return kNoDevice;
}

int EnumDevice(const Json::Value&, Json::Value&) {
    return kNoDevice;
}

int openDevice(const Json::Value& p, Json::Value&) {
    if (!params::isArrayOf(p, 1) || !params::isStringOrNull(p[0])) return kBadParams;
    return kNoDevice;
}

int closeDevice(const Json::Value&, Json::Value& value) {
    CNvId::closeDev();
    value = Json::Value();
    return 0;
}

int SetSvrPubKey(const Json::Value& p) {
    if (!params::isArrayOf(p, 1) || !p[0].isString()) return kBadParams;
    return kNoDevice;
}

int GetFacPubKey(std::string&) {
    return kNoDevice;
}

int GetDevPubKey(std::string&) {
    return kNoDevice;
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
