// Envelope check and dispatch by command name: the row of the command
// table says how the command runs, which site rules it passes and how its
// result is answered.
#include <json/reader.h>

#include <cstring>
#include <exception>
#include <memory>

#include "app/app.h"
#include "log/log.h"
#include "service/commands.h"
#include "service/endpoint.h"
#include "service/handlers.h"
#include "service/service.h"
#include "util/util.h"

namespace {

// The client of the command that runs now, and its randomId (network
// thread only).
Client* s_client = nullptr;
const std::string* s_randomId = nullptr;
const std::string* s_function = nullptr;

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
    return c && c->facts.touchesKey ? c : nullptr;
}

}  // namespace

int Ckjson::excute(const std::string& command, std::string& reply) {
    Client local;
    return excute(command, reply, local);
}

Client* currentClient() {
    return s_client;
}

std::string currentRandomId() {
    return s_randomId ? *s_randomId : std::string();
}

namespace {
// A command the user confirmed (or did not), run now that the answer came.
void runConfirmed(const Command& command, const Json::Value& params, const std::string& function,
                  const std::string& randomId, const std::string& site, int confirmed,
                  std::string& reply) {
    if (confirmed != 0) {
        makeJsonErr(reply, confirmed, function, randomId);
        return;
    }
    std::lock_guard<std::mutex> session(CNvId::sessionLock());
    cxBuf::init(0);
    CNvId::chkOpted();
    Result result;
    const int code = command.run(params, result);
    siteRuleAfter(command.facts, params, site, code);
    shapeReply(command, code, result, function, randomId, reply);
}
}  // namespace

std::string currentFunction() {
    return s_function ? *s_function : std::string();
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
        makeJsonErr(reply, kBadJson, "", "");
        return 0;
    }
    Envelope e;
    if (!readEnvelope(root, e)) {
        makeJsonErr(reply, kBadEnvelope, "", "");
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
    struct Current {
        Current(const std::string& fn, const std::string& id) {
            s_function = &fn;
            s_randomId = &id;
        }
        ~Current() {
            s_function = nullptr;
            s_randomId = nullptr;
        }
        Current(const Current&) = delete;
        Current& operator=(const Current&) = delete;
    } current(function, randomId);
    Result result;
    cxBuf::init(0);
    // A client that may not reach the key (a site the user has not allowed)
    // gets here only with commands that touch nothing.
    const bool allowed = !s_client || s_client->allowed;
    static const std::string kLocalProgram;
    const std::string& site = s_client ? s_client->site : kLocalProgram;
    const Command* command = findCommand(function);
    if (allowed) cancelOtherFamily(command ? &command->facts : nullptr, site);
    if (!command) {
        makeJsonErr(reply, kUnknownFunction, function, randomId);
        return 0;
    }
    if (!allowed && command->facts.touchesKey) {
        makeJsonErr(reply, kSiteNotAllowed, function, randomId);
        return 0;
    }
    // Commands that touch nothing pass the site rules by: an allowed page's
    // GetVersion costs what it did before sites were judged.
    const bool ruled = allowed && command->facts.touchesKey;
    int code = ruled ? siteRuleBefore(command->facts, params, site) : kRunIt;
    if (code == kWaitsForNothing) return kNoReply;
    if (code == kRunIt && command->confirmation && !site.empty()) {
        // A page's act that changes the key runs once the user confirmed it.
        askConfirmation(*s_client, shownSite(site), command->confirmation(params), false,
                        [command, params, function, randomId, id = s_client->id, site](
                            int confirmed, int, bool) {
                            std::string later;
                            runConfirmed(*command, params, function, randomId, site, confirmed,
                                         later);
                            sendToClient(id, later);
                        });
        return kNoReply;
    }
    if (code == kRunIt) {
        if (allowed && !command->keepsBaseSession) CNvId::chkOpted();
        code = command->run(params, result);
        if (ruled) siteRuleAfter(command->facts, params, site, code);
    }
    return shapeReply(*command, code, result, function, randomId, reply);
}

int shapeReply(const Command& command, int code, const Result& result, const std::string& function,
               const std::string& randomId, std::string& reply) {
    switch (command.reply) {
        case Reply::AlwaysLater:
            return 1;
        case Reply::LaterIfOk:
            if (code == 0) return 1;
            break;
        case Reply::LaterOn1000:
            if (code == kAnswerLater) return 1;
            break;
        case Reply::Answered:
            if (code == 0) return kNoReply;
            break;
        case Reply::Polled:
            if (code == kVerifyPending) {
                makeJsonErr(reply, code, function, randomId);
                return kPollAgain;
            }
            break;
        default:
            break;
    }
    if (code != 0) {
        makeJsonErr(reply, code, function, randomId);
    } else if (command.reply == Reply::Text) {
        makeJsonStr(reply, result.text, function, randomId);
    } else {
        makeJsonJV(reply, result.value, function, randomId);
    }
    return 0;
}
