// The command table: one row per command, holding every fact about it. The
// dispatcher, the site rules, the cancel rule and the log masker read the
// row; no other list of command names exists.
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

#include "site/site.h"

// How the result of a handler becomes the reply.
enum class Reply {
    Text,         // makeJsonStr with the result text
    Value,        // makeJsonJV with the result value
    LaterIfOk,    // success: nothing now, answered later
    AlwaysLater,  // nothing now whatever the handler says
    LaterOn1000,  // value, except kAnswerLater: nothing now
    Answered,     // success: the handler answers later itself (no target changes)
    Polled,       // value; kVerifyPending is asked again shortly (kPollAgain)
};

struct Result {
    std::string text = "OK";
    Json::Value value;
};

// Which parameter of a command the log must not show.
constexpr int kNoSecret = -1;
constexpr int kAllSecret = -2;

struct Command {
    const char* name;
    int (*run)(const Json::Value& params, Result& r);
    Reply reply;
    CommandFacts facts;
    // The base application that FactorySign and DeviceSign leave open and
    // verified survives between them (one PIN for both); any other command
    // closes it first.
    bool keepsBaseSession = false;
    int secretParam = kNoSecret;  // index into "params", or kAllSecret
    bool secretResult = false;    // the successful result is secret
    // For an act that changes the key: what a page's user is asked to
    // confirm by a touch before it runs (local programs are not asked).
    std::string (*confirmation)(const Json::Value& params) = nullptr;
};

// The reply of a command that ran with `code` and `result`: 0 when `reply`
// is complete, 1 when it is answered later through sendMessage, kNoReply
// when the handler answers later itself, kPollAgain when `reply` holds a
// pending outcome that may be asked for again.
int shapeReply(const Command& command, int code, const Result& result, const std::string& function,
               const std::string& randomId, std::string& reply);

// The row of `name`, compared byte for byte; null when there is none.
const Command* findCommand(const std::string& name);
// Every row, for walking the table.
const Command* commandsBegin();
const Command* commandsEnd();
