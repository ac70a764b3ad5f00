// Fingerprint user commands.
#include "app/app.h"
#include "service/handlers.h"
#include "service/params.h"

namespace {
// The finger index array of "DeleteFinger" fits a 32-byte buffer.
constexpr Json::ArrayIndex kMaxFingerIndexes = 32;
}  // namespace

int RegisterUser(const Json::Value& p, Json::Value&, bool) {
    if (!params::isArrayOf(p, 3) || !p[0].isString() || !params::isInteger(p[1]) ||
        !p[2].isString())
        return kBadParams;
    return kNoDevice;
}

int WaitEnroll() {
    return CNvId::waitEnroll();
}

int CancelEnroll() {
    CNvId::cancelEnroll();
    return 5;
}

int LoginFinger(Json::Value&) {
    return kNoDevice;
}

int CancelVerify(bool extra) {
    CNvId::cancelVerify(extra);
    return 5;
}

int LoopVerify(const Json::Value&, Json::Value& value) {
    value = Json::Value();
    return CNvId::LoopVerify();
}

int GetUserList(Json::Value&) {
    return kNoDevice;
}

int GetFingerUsed(const Json::Value& p, Json::Value&) {
    if (!params::isArrayOf(p, 1) || !p[0].isString()) return kBadParams;
    return kNoDevice;
}

int GetFingerUnused(const Json::Value& p, Json::Value&) {
    if (!params::isArrayOf(p, 1) || !p[0].isString()) return kBadParams;
    return kNoDevice;
}

int DeleteFinger(const Json::Value& p, Json::Value&) {
    if (!params::isArrayOf(p, 2) || !p[0].isString() || !p[1].isArray()) return kBadParams;
    for (const Json::Value& index : p[1])
        if (!params::isInteger(index)) return kBadParams;
    if (p[1].size() > kMaxFingerIndexes) return 104;
    return kNoDevice;
}

int DeleteUser(const Json::Value& p, Json::Value&) {
    if (!p.isArray()) return kBadParams;
    if (p.size() > 0 && !params::isStringOrNull(p[0])) return kBadParams;
    return kNoDevice;
}
