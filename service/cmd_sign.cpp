// Signing and cipher commands.
#include "app/app.h"
#include "service/handlers.h"
#include "service/params.h"

int SignInfo(const Json::Value& p, std::string&, int) {
    if (!p.isArray() || p.size() == 0 || !p[0].isString()) return kBadParams;
    const char* begin = nullptr;
    const char* end = nullptr;
    p[0].getString(&begin, &end);
    int dataLength = static_cast<int>(end - begin);
    int length = 0;
    if (p.size() > 1) {
        if (!params::isInteger(p[1])) return kBadParams;
        length = p[1].asInt();
    }
    if (length == 0) length = dataLength;
    // Never sign past the end of the data given.
    if (length < 0 || length > dataLength) return 105;
    return kNoDevice;
}

int Sm2Decrypt(const Json::Value& p, std::string&) {
    if (!p.isArray() || p.size() == 0 || !p[0].isString()) return kBadParams;
    return kNoDevice;
}

int Sm4Decrypt(const Json::Value& p, std::string&) {
    if (!params::isArrayOf(p, 2) || !p[0].isString() || !p[1].isString()) return kBadParams;
    return kNoDevice;
}

int rkLogin(const Json::Value& p, Json::Value&) {
    if (!p.isArray() || p.size() < 2 || p.size() > 3) return kBadParams;
    for (const Json::Value& e : p)
        if (!params::isStringOrNull(e)) return kBadParams;
    return kNoDevice;
}

int startVerify(const Json::Value& p, Json::Value&) {
    if (!p.isArray()) return kBadParams;
    if (p.size() > 0 && !params::isStringOrNull(p[0])) return kBadParams;
    return kNoDevice;
}

int rkEnumContainer(const Json::Value&, Json::Value&) {
    return kNoDevice;
}

namespace {
bool isNameAndData(const Json::Value& p) {
    return params::isArrayOf(p, 2) && params::isStringOrNull(p[0]) && params::isStringOrNull(p[1]);
}
}  // namespace

int SignDataToPKCS7(const Json::Value& p, std::string&) {
    if (!isNameAndData(p)) return kBadParams;
    return kNoDevice;
}

int SignDataNormal(const Json::Value& p, Json::Value&) {
    if (!isNameAndData(p)) return kBadParams;
    return kNoDevice;
}
