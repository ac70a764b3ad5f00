// Reply envelope: {"function", "randomId" (only when not empty), "result",
// "reterr"} in compact form.
#include "service/service.h"
#include "service/writer.h"
#include "util/util.h"

namespace {
// The members are written directly in their byte order ("function",
// "randomId", "result", "reterr"), as the writer would sort them.
template <typename WriteResult>
void buildWith(std::string& reply, const std::string& function, const std::string& randomId,
               WriteResult writeResult, int reterr) {
    reply.clear();
    reply += "{\"function\":";
    quoteJson(function, reply);
    if (!randomId.empty()) {
        reply += ",\"randomId\":";
        quoteJson(randomId, reply);
    }
    reply += ",\"result\":";
    writeResult(reply);
    reply += ",\"reterr\":";
    reply += std::to_string(reterr);
    reply += '}';
}

void build(std::string& reply, const std::string& function, const std::string& randomId,
           const Json::Value& result, int reterr) {
    auto value = [&](std::string& out) { replywriter::write(result, out); };
    buildWith(reply, function, randomId, value, reterr);
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
    // A text result goes straight into the reply, with no JSON value built.
    auto quoted = [&](std::string& out) { quoteJson(text, out); };
    buildWith(reply, function, randomId, quoted, 0);
}

void makeJsonJV(std::string& reply, const Json::Value& value, std::string function,
                std::string randomId) {
    build(reply, function, randomId, value, 0);
}
