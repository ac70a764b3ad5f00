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
#include "service/sites.h"
#include "util/util.h"

namespace {

const FpOps kSessionOps = {CNvId::getFpState, CNvId::cancelVerify, CNvId::cancelEnroll, nvSleep};
const FpOps* s_ops = &kSessionOps;
// The client of the command that runs now (network thread only).
Client* s_client = nullptr;

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
    // False for the commands that touch neither the key nor what clients
    // share: a site not yet allowed gets them at once, and the site rules
    // have nothing to say about them.
    bool touchesKey = true;
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
    {"Connect", [](const Json::Value&, Result&) { return 0; }, Reply::Text, false},
    {"Disconnect", [](const Json::Value&, Result&) { return 0; }, Reply::Text, false},
    {"GetVersion", [](const Json::Value&, Result& r) { return GetVersion(r.text); }, Reply::Text,
     false},
    {"WatchDevice", [](const Json::Value& p, Result& r) { return WatchDevice(p, r.text); },
     Reply::Text},
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

const Command* findCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

bool isOneOf(const std::string& name, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

// A command outside the running fingerprint operation's family ends it
// first, when the operation is its own site's: another site's command never
// ends it (siteRuleBefore answers those that would have to).
void cancelOtherFamily(const std::string& function, const std::string& site) {
    // Watching for keys touches no key: a page may start it mid-enrolment.
    if (function == "WatchDevice") return;
    int state = s_ops->getFpState();
    if (state == 0) return;
    const std::string owner = pushSite();
    if (owner != kAnySite && owner != site) return;
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

// The site that started the running (or last) fingerprint operation, and
// the one of the last looping verification. Read by the threads that push.
std::mutex s_siteMutex;
std::string s_fpSite = kAnySite;
std::string s_verifySite;

void setFpSite(const std::string& site) {
    std::lock_guard<std::mutex> lock(s_siteMutex);
    s_fpSite = site;
}

// Commands that talk to the fingerprint module or reopen the key: a touch
// that approves a site waits while they run.
bool usesModule(const std::string& f) {
    return isOneOf(
        f, {"RegisterUser", "AddFinger", "WaitEnroll", "LoginFinger", "startVerify", "rkLogin",
            "DeleteFinger", "DeleteUser", "GetFingerUsed", "GetFingerUnused", "GetUserList",
            "openDevice", "closeDevice", "OpenDev", "InitDev", "EnumDevice"});
}

bool isPinLogin(const Json::Value& p) {
    return p.isArray() && p.size() == 3 && p[2].isString() && !p[2].asString().empty();
}

// Answers of siteRuleBefore besides result codes.
constexpr int kRunIt = -1;
constexpr int kWaitsForNothing = -2;  // no answer at all

// What belongs to a site, before the command runs: another site's running
// operation, logins and PIN tries. kRunIt, kWaitsForNothing, or the code to
// answer with.
int siteRuleBefore(const std::string& f, const Json::Value& p, const std::string& site) {
    siteExpireLogins();
    const int state = s_ops->getFpState();
    if (state != 0) {
        const std::string owner = pushSite();
        if (owner != kAnySite && owner != site) {
            // Another site's enrolment or verification: a page may neither
            // steer nor end it; what would need the module waits its turn.
            if (f == "WaitEnroll") return kWaitsForNothing;
            if (isOneOf(f, {"CancelEnroll", "CancelVerify"})) return 5;
            if (f == "LoopVerify") return 2;
            if (usesModule(f)) return kKeyBusyForAnotherSite;
        }
    }
    if (usesModule(f) && CNvId::approvalBusy()) pauseApproval();
    if (f == "LoopVerify" && s_verifySite != site) return 2;
    if (f == "FingerSign" && !loginBelongsTo(Login::finger, site)) return 2;
    if (isOneOf(f, {"rkEnumContainer", "SignDataNormal", "SignDataToPKCS7"}) &&
        !loginBelongsTo(Login::pin, site))
        return 106;
    if (f == "rkLogin" && isPinLogin(p) && !site.empty()) {
        // A page can never lock the key: few wrong PINs per site, and the
        // key's last tries are left to its owner's own programs.
        // Every opaque page counts as one site here: a new file page earns
        // no new tries.
        if (!pinTryAllowed(shownSite(site))) return kSitePinLimit;
        const std::string name = p[0].isString() ? p[0].asString() : std::string();
        const int left = CNvId::pinTriesLeft(p[0].isString() ? name.c_str() : nullptr);
        if (left >= 0 && left <= 2) return kPinTriesKept;
    }
    // A login started here belongs to this site from now on.
    if (f == "LoginFinger") loginMadeBy(Login::finger, site);
    if (f == "rkLogin" || f == "startVerify") loginMadeBy(Login::pin, site);
    return kRunIt;
}

void siteRuleAfter(const std::string& f, const Json::Value& p, const std::string& site, int code) {
    if (f == "rkLogin" && isPinLogin(p) && !site.empty() && (code == 0 || code == 107))
        pinTried(shownSite(site), code == 107);
    const bool started = code == 0 || (f == "rkLogin" && code == kAnswerLater);
    if (!started) return;
    if (isOneOf(f, {"LoginFinger", "startVerify", "RegisterUser", "AddFinger"}) ||
        (f == "rkLogin" && code == kAnswerLater))
        setFpSite(site);
    if (f == "startVerify") s_verifySite = site;
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

// A command's members, found once: "function" (a string) and "params", and
// the optional "randomId", nothing else.
struct Envelope {
    const Json::Value* function = nullptr;
    const Json::Value* params = nullptr;
    const Json::Value* randomId = nullptr;
};

const Json::Value* member(const Json::Value& root, const char* name) {
    return root.find(name, name + strlen(name));
}

bool readEnvelope(const Json::Value& root, Envelope& e) {
    if (!root.isObject()) return false;
    e.function = member(root, "function");
    e.params = member(root, "params");
    e.randomId = member(root, "randomId");
    const Json::ArrayIndex expected = e.randomId ? 3 : 2;
    return e.function && e.function->isString() && e.params && root.size() == expected;
}

std::string randomIdOf(const Envelope& e) {
    return e.randomId && e.randomId->isString() ? e.randomId->asString() : std::string();
}

// False for a message that is no JSON text (the reader throws when nesting
// passes its limit).
bool parse(const std::string& text, Json::Value& root) {
    std::string errors;
    try {
        return reader()->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const std::exception&) {
        return false;
    }
}

// The row of a command that reaches the key; null for any other message.
// `e` holds the command's members (which live in `root`).
const Command* keyedCommand(const std::string& text, Json::Value& root, Envelope& e) {
    if (!parse(text, root) || !readEnvelope(root, e)) return nullptr;
    const Command* c = findCommand(e.function->asString());
    return c && c->touchesKey ? c : nullptr;
}

}  // namespace

std::string pushSite() {
    std::lock_guard<std::mutex> lock(s_siteMutex);
    return s_fpSite;
}

void setFpOps(const FpOps* ops) {
    s_ops = ops ? ops : &kSessionOps;
}

int Ckjson::excute(const std::string& command, std::string& reply) {
    Client local;
    return excute(command, reply, local);
}

Client* currentClient() {
    return s_client;
}

int Ckjson::excute(const std::string& command, std::string& reply, Client& client) {
    struct Current {
        explicit Current(Client& c) { s_client = &c; }
        ~Current() { s_client = nullptr; }
        Current(const Current&) = delete;
        Current& operator=(const Current&) = delete;
    } current(client);
    Json::Value root;
    if (!parse(command, root)) {
        makeJsonErr(reply, 110, "", "");
        return 0;
    }
    Envelope e;
    if (!readEnvelope(root, e)) {
        makeJsonErr(reply, 111, "", "");
        return 0;
    }
    return handFunc(e.function->asString(), *e.params, reply, randomIdOf(e));
}

bool Ckjson::needsKey(const std::string& command) {
    Json::Value root;
    Envelope e;
    return keyedCommand(command, root, e) != nullptr;
}

bool Ckjson::refuseIfKeyed(const std::string& command, int code, std::string& reply) {
    Json::Value root;
    Envelope e;
    if (!keyedCommand(command, root, e)) return false;
    makeJsonErr(reply, code, e.function->asString(), randomIdOf(e));
    return true;
}

int handFunc(const std::string& function, const Json::Value& params, std::string& reply,
             const std::string& randomId) {
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    Result result;
    cxBuf::init(0);
    // A client that may not reach the key (a site the user has not allowed)
    // gets here only with commands that touch nothing.
    const bool allowed = !s_client || s_client->allowed;
    static const std::string kLocalProgram;
    const std::string& site = s_client ? s_client->site : kLocalProgram;
    if (allowed) cancelOtherFamily(function, site);

    const Command* command = findCommand(function);
    if (!command) {
        makeJsonErr(reply, 164, function, randomId);
        return 0;
    }
    if (!allowed && command->touchesKey) {
        makeJsonErr(reply, kSiteNotAllowed, function, randomId);
        return 0;
    }
    // Commands that touch nothing pass the site rules by: an allowed page's
    // GetVersion costs what it did before sites were judged.
    const bool ruled = allowed && command->touchesKey;
    int code = ruled ? siteRuleBefore(function, params, site) : kRunIt;
    if (code == kWaitsForNothing) return kNoReply;
    if (code == kRunIt) {
        if (allowed && command != &kCommands[0] && command != &kCommands[1]) CNvId::chkOpted();
        code = command->run(params, result);
        if (ruled) siteRuleAfter(function, params, site, code);
    }
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
