// Reply envelope: {"function", "randomId" (only when not empty), "result",
// "reterr"} in compact form.
#include "service/service.h"
#include "service/writer.h"

namespace {
// The members are written directly in their byte order ("function",
// "randomId", "result", "reterr"), as the writer would sort them.
void build(std::string& reply, const std::string& function, const std::string& randomId,
           const Json::Value& result, int reterr) {
    reply.clear();
    reply += "{\"function\":";
    replywriter::quote(function, reply);
    if (!randomId.empty()) {
        reply += ",\"randomId\":";
        replywriter::quote(randomId, reply);
    }
    reply += ",\"result\":";
    replywriter::write(result, reply);
    reply += ",\"reterr\":";
    reply += std::to_string(reterr);
    reply += '}';
}
}  // namespace

void makeJsonErr(std::string& reply, int code, std::string function, std::string randomId) {
    build(reply, function, randomId, Json::Value(nvGetErrMsg(static_cast<uint32_t>(code))), code);
}

void makeJsonInt(std::string& reply, int value, std::string function, std::string randomId) {
    build(reply, function, randomId, Json::Value(value), 0);
}

void makeJsonStr(std::string& reply, const std::string& text, std::string function,
                 std::string randomId) {
    reply.clear();
    reply += "{\"function\":";
    replywriter::quote(function, reply);
    if (!randomId.empty()) {
        reply += ",\"randomId\":";
        replywriter::quote(randomId, reply);
    }
    reply += ",\"result\":";
    replywriter::quote(text, reply);
    reply += ",\"reterr\":0}";
}

void makeJsonJV(std::string& reply, const Json::Value& value, std::string function,
                std::string randomId) {
    build(reply, function, randomId, value, 0);
}
