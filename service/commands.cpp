// The command table. A row names the command's handler, how its result
// becomes the reply, what it touches and which logins it needs or makes
// (read by the site rules and the cancel rule), and what the log must not
// show of it.
#include "service/commands.h"

#include <iterator>

#include "service/handlers.h"

namespace {

constexpr CommandFacts kKey{};  // touches the key, nothing more to say
constexpr CommandFacts kNothing = CommandFacts().touchesNothing();
constexpr CommandFacts kModule = CommandFacts().module();

// A page's name as the user reads it: control characters shown as '?'.
std::string shown(const Json::Value& name) {
    std::string text = name.isString() ? name.asString() : std::string();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

// What the user is asked to confirm, for the acts that change the key.
std::string deletingUser(const Json::Value& p) {
    const bool every = !p.isArray() || p.size() == 0 || !p[0].isString();
    return every ? "delete every user" : "delete the user " + shown(p[0]);
}
std::string deletingFinger(const Json::Value& p) {
    return "delete fingers of the user " +
           shown(p.isArray() && p.size() > 0 ? p[0] : Json::Value());
}
std::string replacingServerKey(const Json::Value&) {
    return "replace the server key";
}

const Command kCommands[] = {
    {"FactorySign", [](const Json::Value& p, Result& r) { return SignInfo(p, r.text, 0); },
     Reply::Text, kKey, true, 0},
    {"DeviceSign", [](const Json::Value& p, Result& r) { return SignInfo(p, r.text, 1); },
     Reply::Text, kKey, true, 0},
    {"GetDevInfo", [](const Json::Value& p, Result& r) { return GetDevInfo(p, r.value); },
     Reply::Value, kKey},
    {"LoginFinger", [](const Json::Value&, Result& r) { return LoginFinger(r.value); },
     Reply::LaterIfOk, kModule.in(Family::verification, Role::starts).making(Login::finger)},
    {"CancelVerify", [](const Json::Value&, Result&) { return CancelVerify(true); }, Reply::Value,
     kKey.in(Family::verification, Role::cancels)},
    {"RegisterUser",
     [](const Json::Value& p, Result& r) { return RegisterUser(p, r.value, false); }, Reply::Value,
     kModule.in(Family::enrolment, Role::starts)},
    {"AddFinger", [](const Json::Value& p, Result& r) { return RegisterUser(p, r.value, true); },
     Reply::Value, kModule.in(Family::enrolment, Role::starts)},
    {"WaitEnroll", [](const Json::Value&, Result&) { return WaitEnroll(); }, Reply::AlwaysLater,
     kModule.in(Family::enrolment, Role::waits)},
    {"CancelEnroll", [](const Json::Value&, Result&) { return CancelEnroll(); }, Reply::Value,
     kKey.in(Family::enrolment, Role::cancels)},
    {"Connect", [](const Json::Value&, Result&) { return 0; }, Reply::Text, kNothing},
    {"Disconnect", [](const Json::Value&, Result&) { return 0; }, Reply::Text, kNothing},
    {"GetVersion", [](const Json::Value&, Result& r) { return GetVersion(r.text); }, Reply::Text,
     kNothing},
    // Watching for keys ends no operation: a page may start it mid-enrolment.
    {"WatchDevice", [](const Json::Value& p, Result& r) { return WatchDevice(p, r.text); },
     Reply::Text, kKey.in(Family::neutral)},
    {"InitDev", [](const Json::Value& p, Result& r) { return InitAxSys(p, r.text); }, Reply::Text,
     kModule, false, kAllSecret},
    {"OpenDev", [](const Json::Value&, Result&) { return CNvId::openDev(); }, Reply::Text, kModule},
    {"SetSvrPubKey", [](const Json::Value& p, Result&) { return SetSvrPubKey(p); }, Reply::Text,
     kKey, false, kNoSecret, false, replacingServerKey},
    {"GetUserList", [](const Json::Value&, Result& r) { return GetUserList(r.value); },
     Reply::Value, kModule},
    {"GetFacPubKey", [](const Json::Value&, Result& r) { return GetFacPubKey(r.text); },
     Reply::Text, kKey},
    {"GetDevPubKey", [](const Json::Value&, Result& r) { return GetDevPubKey(r.text); },
     Reply::Text, kKey},
    {"GetClientID", [](const Json::Value&, Result& r) { return GetClientID(r.text); }, Reply::Text,
     kKey},
    {"FingerSign", [](const Json::Value& p, Result& r) { return SignInfo(p, r.text, 2); },
     Reply::Text, kKey.needing(Login::finger), false, 0},
    {"Sm2Decrypt", [](const Json::Value& p, Result& r) { return Sm2Decrypt(p, r.text); },
     Reply::Text, kKey, false, kNoSecret, true},
    {"Sm4Decrypt", [](const Json::Value& p, Result& r) { return Sm4Decrypt(p, r.text); },
     Reply::Text, kKey, false, 1, true},
    {"GetFingerUsed", [](const Json::Value& p, Result& r) { return GetFingerUsed(p, r.value); },
     Reply::Value, kModule},
    {"GetFingerUnused", [](const Json::Value& p, Result& r) { return GetFingerUnused(p, r.value); },
     Reply::Value, kModule},
    {"DeleteFinger", [](const Json::Value& p, Result& r) { return DeleteFinger(p, r.value); },
     Reply::Value, kModule, false, kNoSecret, false, deletingFinger},
    {"DeleteUser", [](const Json::Value& p, Result& r) { return DeleteUser(p, r.value); },
     Reply::Value, kModule, false, kNoSecret, false, deletingUser},
    {"EnumDevice", [](const Json::Value& p, Result& r) { return EnumDevice(p, r.value); },
     Reply::Value, kModule},
    {"openDevice", [](const Json::Value& p, Result& r) { return openDevice(p, r.value); },
     Reply::Value, kModule},
    {"closeDevice", [](const Json::Value& p, Result& r) { return closeDevice(p, r.value); },
     Reply::Value, kModule},
    {"startVerify", [](const Json::Value& p, Result& r) { return startVerify(p, r.value); },
     Reply::Value, kModule.acts(Role::starts).making(Login::polling)},
    {"LoopVerify", [](const Json::Value& p, Result& r) { return LoopVerify(p, r.value); },
     Reply::Polled, kKey.in(Family::verification, Role::polls).needing(Login::polling)},
    {"rkEnumContainer", [](const Json::Value& p, Result& r) { return rkEnumContainer(p, r.value); },
     Reply::Value, kKey.needing(Login::pin)},
    {"SignDataToPKCS7", [](const Json::Value& p, Result& r) { return SignDataToPKCS7(p, r.text); },
     Reply::Text, kKey.needing(Login::pin), false, 1, true},
    {"SignDataNormal", [](const Json::Value& p, Result& r) { return SignDataNormal(p, r.value); },
     Reply::Value, kKey.needing(Login::pin), false, 1},
    {"FingerAssert", [](const Json::Value& p, Result&) { return FingerAssert(p); }, Reply::Answered,
     kKey},
    {"rkLogin", [](const Json::Value& p, Result& r) { return rkLogin(p, r.value); },
     Reply::LaterOn1000, kModule.acts(Role::startsLater).making(Login::pin).pin(), false, 2},
};

}  // namespace

const Command* findCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

const Command* commandsBegin() {
    return std::begin(kCommands);
}

const Command* commandsEnd() {
    return std::end(kCommands);
}
