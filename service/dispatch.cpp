// Envelope check and dispatch by command name.
#include "service/dispatch.h"

#include <json/reader.h>

#include <cstring>
#include <exception>
#include <memory>

#include "app/app.h"
#include "log/log.h"
#include "service/handlers.h"
#include "service/service.h"
#include "util/util.h"

namespace {

// The envelope's member names in byte order: "function", "params" and the
// optional "randomId".
const char* const m_key[] = {"function", "params", "randomId"};

const FpOps kSessionOps = {CNvId::getFpState, CNvId::cancelVerify, CNvId::cancelEnroll, nvSleep};
const FpOps* s_ops = &kSessionOps;

// How the result of a handler becomes the reply.
enum class Reply {
    Text,         // makeJsonStr with the result text
    Value,        // makeJsonJV with the result value
    LaterIfOk,    // success: nothing now, answered later
    AlwaysLater,  // nothing now whatever the handler says
    LaterOn1000,  // value, except kAnswerLater: nothing now
};

struct Result {
    std::string text = "OK";
    Json::Value value;
};

struct Command {
    const char* name;
    int (*run)(const Json::Value& params, Result& r);
    Reply reply;
};

// The table, in matching order. Its two first rows run before chkOpted.
const Command kCommands[] = {
    {"FactorySign", [](const Json::Value& p, Result& r) { return SignInfo(p, r.text, 0); },
     Reply::Text},
    {"DeviceSign", [](const Json::Value& p, Result& r) { return SignInfo(p, r.text, 1); },
     Reply::Text},
    {"GetDevInfo", [](const Json::Value& p, Result& r) { return GetDevInfo(p, r.value); },
     Reply::Value},
    {"LoginFinger", [](const Json::Value&, Result& r) { return LoginFinger(r.value); },
     Reply::LaterIfOk},
    {"CancelVerify", [](const Json::Value&, Result&) { return CancelVerify(true); }, Reply::Value},
    {"RegisterUser",
     [](const Json::Value& p, Result& r) { return RegisterUser(p, r.value, false); }, Reply::Value},
    {"AddFinger", [](const Json::Value& p, Result& r) { return RegisterUser(p, r.value, true); },
     Reply::Value},
    {"WaitEnroll", [](const Json::Value&, Result&) { return WaitEnroll(); }, Reply::AlwaysLater},
    {"CancelEnroll", [](const Json::Value&, Result&) { return CancelEnroll(); }, Reply::Value},
    {"Connect", [](const Json::Value&, Result&) { return 0; }, Reply::Text},
    {"Disconnect", [](const Json::Value&, Result&) { return 0; }, Reply::Text},
    {"GetVersion", [](const Json::Value&, Result& r) { return GetVersion(r.text); }, Reply::Text},
    {"InitDev", [](const Json::Value& p, Result& r) { return InitAxSys(p, r.text); }, Reply::Text},
    {"OpenDev", [](const Json::Value&, Result&) { return CNvId::openDev(); }, Reply::Text},
    {"SetSvrPubKey", [](const Json::Value& p, Result&) { return SetSvrPubKey(p); }, Reply::Text},
    {"GetUserList", [](const Json::Value&, Result& r) { return GetUserList(r.value); },
     Reply::Value},
    {"GetFacPubKey", [](const Json::Value&, Result& r) { return GetFacPubKey(r.text); },
     Reply::Text},
    {"GetDevPubKey", [](const Json::Value&, Result& r) { return GetDevPubKey(r.text); },
     Reply::Text},
    {"GetClientID", [](const Json::Value&, Result& r) { return GetClientID(r.text); }, Reply::Text},
    {"FingerSign", [](const Json::Value& p, Result& r) { return SignInfo(p, r.text, 2); },
     Reply::Text},
    {"Sm2Decrypt", [](const Json::Value& p, Result& r) { return Sm2Decrypt(p, r.text); },
     Reply::Text},
    {"Sm4Decrypt", [](const Json::Value& p, Result& r) { return Sm4Decrypt(p, r.text); },
     Reply::Text},
    {"GetFingerUsed", [](const Json::Value& p, Result& r) { return GetFingerUsed(p, r.value); },
     Reply::Value},
    {"GetFingerUnused", [](const Json::Value& p, Result& r) { return GetFingerUnused(p, r.value); },
     Reply::Value},
    {"DeleteFinger", [](const Json::Value& p, Result& r) { return DeleteFinger(p, r.value); },
     Reply::Value},
    {"DeleteUser", [](const Json::Value& p, Result& r) { return DeleteUser(p, r.value); },
     Reply::Value},
    {"EnumDevice", [](const Json::Value& p, Result& r) { return EnumDevice(p, r.value); },
     Reply::Value},
    {"openDevice", [](const Json::Value& p, Result& r) { return openDevice(p, r.value); },
     Reply::Value},
    {"closeDevice", [](const Json::Value& p, Result& r) { return closeDevice(p, r.value); },
     Reply::Value},
    {"startVerify", [](const Json::Value& p, Result& r) { return startVerify(p, r.value); },
     Reply::Value},
    {"LoopVerify", [](const Json::Value& p, Result& r) { return LoopVerify(p, r.value); },
     Reply::Value},
    {"rkEnumContainer", [](const Json::Value& p, Result& r) { return rkEnumContainer(p, r.value); },
     Reply::Value},
    {"SignDataToPKCS7", [](const Json::Value& p, Result& r) { return SignDataToPKCS7(p, r.text); },
     Reply::Text},
    {"SignDataNormal", [](const Json::Value& p, Result& r) { return SignDataNormal(p, r.value); },
     Reply::Value},
    {"rkLogin", [](const Json::Value& p, Result& r) { return rkLogin(p, r.value); },
     Reply::LaterOn1000},
};

bool isOneOf(const std::string& name, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

// A command outside the running fingerprint operation's family ends it first.
void cancelOtherFamily(const std::string& function) {
    int state = s_ops->getFpState();
    if (state == 2 && !isOneOf(function, {"LoginFinger", "CancelVerify", "LoopVerify"})) {
        _nvlogstr("other CancelVerify");
        s_ops->cancelVerify(false);
        s_ops->sleepMs(300);
    } else if (state == 1 &&
               !isOneOf(function, {"RegisterUser", "AddFinger", "WaitEnroll", "CancelEnroll"})) {
        _nvlogstr("other CancelEnroll");
        s_ops->cancelEnroll();
        s_ops->sleepMs(300);
    }
}

Json::CharReader* reader() {
    // The settings of the classic reader (comments allowed, any root value,
    // no trailing commas) made strict where leniency let one text mean two
    // things: a duplicate member (the last one won, so a harmless command
    // could carry another) and text after the value both fail.
    static std::unique_ptr<Json::CharReader> r([] {
        Json::CharReaderBuilder b;
        Json::Value& s = b.settings_;
        s["allowComments"] = true;
        s["allowTrailingCommas"] = false;
        s["strictRoot"] = false;
        s["allowDroppedNullPlaceholders"] = false;
        s["allowNumericKeys"] = false;
        s["allowSingleQuotes"] = false;
        s["failIfExtra"] = true;
        s["rejectDupKeys"] = true;
        s["allowSpecialFloats"] = false;
        s["skipBom"] = false;
        s["collectComments"] = false;
        return b.newCharReader();
    }());
    return r.get();
}

// Exactly the first two or all three names of m_key, nothing else.
bool envelopeOk(const Json::Value& root) {
    if (!root.isObject()) return false;
    Json::ArrayIndex n = root.size();
    if (n < 2 || n > 3) return false;
    for (Json::ArrayIndex i = 0; i < n; ++i)
        if (!root.isMember(m_key[i])) return false;
    return true;
}

}  // namespace

void setFpOps(const FpOps* ops) {
    s_ops = ops ? ops : &kSessionOps;
}

int Ckjson::excute(const std::string& command, std::string& reply) {
    Json::Value root;
    std::string errors;
    const char* begin = command.data();
    bool parsed = false;
    try {
        parsed = reader()->parse(begin, begin + command.size(), &root, &errors);
    } catch (const std::exception&) {
        parsed = false;  // the reader throws when nesting passes its limit
    }
    if (!parsed) {
        makeJsonErr(reply, 110, "", "");
        return 0;
    }
    if (!envelopeOk(root) || !root["function"].isString()) {
        makeJsonErr(reply, 111, "", "");
        return 0;
    }
    const Json::Value& id = root["randomId"];
    std::string randomId = id.isString() ? id.asString() : std::string();
    return handFunc(root["function"].asString(), root["params"], reply, randomId);
}

int handFunc(const std::string& function, const Json::Value& params, std::string& reply,
             const std::string& randomId) {
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    Result result;
    cxBuf::init(0);
    cancelOtherFamily(function);

    const Command* command = nullptr;
    for (const Command& c : kCommands)
        if (function == c.name) {
            command = &c;
            break;
        }
    if (!command) {
        makeJsonErr(reply, 164, function, randomId);
        return 0;
    }
    if (command != &kCommands[0] && command != &kCommands[1]) CNvId::chkOpted();

    int code = command->run(params, result);
    switch (command->reply) {
        case Reply::AlwaysLater:
            return 1;
        case Reply::LaterIfOk:
            if (code == 0) return 1;
            break;
        case Reply::LaterOn1000:
            if (code == kAnswerLater) return 1;
            break;
        default:
            break;
    }
    if (code != 0) {
        makeJsonErr(reply, code, function, randomId);
    } else if (command->reply == Reply::Text) {
        makeJsonStr(reply, result.text, function, randomId);
    } else {
        makeJsonJV(reply, result.value, function, randomId);
    }
    return 0;
}
