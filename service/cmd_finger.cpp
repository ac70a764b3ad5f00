// Fingerprint user commands.
#include <cstring>

#include "app/app.h"
#include "service/handlers.h"
#include "service/params.h"
#include "service/service.h"
#include "service/writer.h"
#include "util/util.h"

namespace {
// The finger index array of "DeleteFinger" fits a 32-byte buffer.
constexpr Json::ArrayIndex kMaxFingerIndexes = 32;

// A name the key is to store: UTF-8 text (what every page reads back as
// text) with no NUL, which would cut it short on its way to the key.
bool storableName(const std::string& name) {
    return name.find('\0') == std::string::npos && isUtf8(name.data(), name.size());
}
}  // namespace

int RegisterUser(const Json::Value& p, Json::Value& value, bool addFinger) {
    if (!params::isArrayOf(p, 3) || !p[0].isString() || !params::isInteger(p[1]) ||
        !p[2].isString())
        return kBadParams;
    const std::string user = p[0].asString();
    const std::string fingerName = p[2].asString();
    const int finger = p[1].asInt();
    if (!storableName(user) || !storableName(fingerName)) return 104;
    int steps = 0;
    int rc = addFinger ? CNvId::addFinger(user.c_str(), finger, &steps, fingerName.c_str())
                       : CNvId::regFinger(user.c_str(), finger, &steps, fingerName.c_str());
    if (rc != 0) return rc;
    value = Json::Value(Json::arrayValue);
    value.append(steps);
    return 0;
}

int WaitEnroll() {
    CNvId::waitEnroll();
    // Without a running enrolment nothing would ever answer: the waiting
    // page gets a failure instead, after this connection became the one
    // delayed results go to (the network thread delivers it after this
    // command).
    if (CNvId::getFpState() != 1) {
        std::string reply;
        makeJsonErr(reply, 103, "ackEnroll", "");
        sendMessageLater(reply);
    }
    return 1;
}

int CancelEnroll() {
    CNvId::cancelEnroll();
    return 5;
}

int LoginFinger(Json::Value&) {
    return CNvId::loginFinger(1);
}

int CancelVerify(bool extra) {
    CNvId::cancelVerify(extra);
    return 5;
}

int LoopVerify(const Json::Value&, Json::Value& value) {
    value = Json::Value();
    return CNvId::verifyOutcome();
}

int GetUserList(Json::Value& value) {
    char* list = reinterpret_cast<char*>(cxBuf::init(1024));
    int count = 0;
    int rc = CNvId::getUsrLst(list, &count);
    if (rc != 0) return rc;
    Json::Value names(Json::arrayValue);
    size_t pos = 0;
    for (int i = 0; i < count && pos < 1024; ++i) {
        size_t n = strnlen(list + pos, 1024 - pos);
        names.append(std::string(list + pos, n));
        pos += n + 1;
    }
    value = Json::Value(Json::arrayValue);
    value.append(count);
    value.append(names);
    return 0;
}

namespace {
int fingerIndexes(const Json::Value& p, Json::Value& value,
                  int (*get)(const char*, uint8_t*, int*)) {
    if (!params::isArrayOf(p, 1) || !p[0].isString()) return kBadParams;
    const std::string user = p[0].asString();
    uint8_t numbers[32];
    memset(numbers, 0, sizeof numbers);
    int count = 0;
    int rc = get(user.c_str(), numbers, &count);
    if (rc != 0) return rc;
    Json::Value indexes(Json::arrayValue);
    for (int i = 0; i < count && i < 32; ++i)
        indexes.append(numbers[i]);
    value = Json::Value(Json::arrayValue);
    value.append(user);
    value.append(indexes);
    return 0;
}

// The next zero-terminated text of a list, or "" past its end.
std::string nextText(const char* list, size_t cap, size_t& pos) {
    if (pos >= cap) return std::string();
    size_t n = strnlen(list + pos, cap - pos);
    std::string t(list + pos, n);
    pos += n + 1;
    return t;
}
}  // namespace

int GetFingerUsed(const Json::Value& p, Json::Value& value) {
    return fingerIndexes(p, value, CNvId::getFingerUsed);
}

int GetFingerUnused(const Json::Value& p, Json::Value& value) {
    return fingerIndexes(p, value, CNvId::getFingerUnused);
}

int DeleteFinger(const Json::Value& p, Json::Value& value) {
    if (!params::isArrayOf(p, 2) || !p[0].isString() || !p[1].isArray()) return kBadParams;
    for (const Json::Value& index : p[1])
        if (!params::isInteger(index)) return kBadParams;
    if (p[1].size() > kMaxFingerIndexes) return 104;
    const std::string user = p[0].asString();
    uint8_t indexes[kMaxFingerIndexes];
    int count = 0;
    for (const Json::Value& index : p[1]) {
        int v = index.asInt();
        // A byte holds every finger number; anything else names no finger.
        indexes[count++] = static_cast<uint8_t>(v >= 0 && v <= 255 ? v : 0);
    }
    char* names = reinterpret_cast<char*>(cxBuf::init(1024));
    char* fingerNames = reinterpret_cast<char*>(cxBuf::mal(512));
    memset(fingerNames, 0, 512);
    int rc = CNvId::delFinger(user.c_str(), indexes, names, fingerNames, count);
    if (rc != 0) return rc;
    Json::Value flat(Json::arrayValue);
    size_t a = 0, b = 0;
    for (int i = 0; i < count; ++i) {
        flat.append(indexes[i]);
        flat.append(nextText(names, 1024, a));
        flat.append(nextText(fingerNames, 512, b));
    }
    value = Json::Value(Json::arrayValue);
    value.append(user);
    value.append(flat);
    return 0;
}

int DeleteUser(const Json::Value& p, Json::Value& value) {
    if (!p.isArray()) return kBadParams;
    if (p.size() > 0 && !params::isStringOrNull(p[0])) return kBadParams;
    const std::string user = p.size() > 0 && p[0].isString() ? p[0].asString() : std::string();
    uint8_t numbers[32];
    memset(numbers, 0, sizeof numbers);
    char* list = reinterpret_cast<char*>(cxBuf::init(1024));
    int count = 0;
    int rc = CNvId::delUser(user.c_str(), numbers, list, &count);
    if (rc != 0) return rc;
    value = Json::Value(Json::arrayValue);
    size_t pos = 0;
    if (!user.empty()) {
        value.append(user);
        for (int i = 0; i < count && i < 32; ++i) {
            value.append(numbers[i]);
            value.append(user + "_" + nextText(list, 1024, pos));
        }
    } else {
        for (int i = 0; i < count; ++i)
            value.append(nextText(list, 1024, pos));
    }
    return 0;
}
