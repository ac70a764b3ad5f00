// Reply envelope: {"function", "randomId" (only when not empty), "result",
// "reterr"} in compact form.
#include "service/service.h"
#include "service/writer.h"

namespace {
void build(std::string& reply, const std::string& function, const std::string& randomId,
           const Json::Value& result, int reterr) {
    Json::Value root(Json::objectValue);
    root["function"] = function;
    if (!randomId.empty()) root["randomId"] = randomId;
    root["result"] = result;
    root["reterr"] = reterr;
    reply.clear();
    replywriter::write(root, reply);
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
    build(reply, function, randomId, Json::Value(text), 0);
}

void makeJsonJV(std::string& reply, const Json::Value& value, std::string function,
                std::string randomId) {
    build(reply, function, randomId, value, 0);
}
