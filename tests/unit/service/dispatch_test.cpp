#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/commands.h"
#include "service/service.h"
#include "site/site.h"

namespace {
std::string run(const std::string& command, int* rc = nullptr) {
    std::string reply = "untouched";
    int r = Ckjson::excute(command, reply);
    if (rc) *rc = r;
    return reply;
}
std::string call(const std::string& function, const std::string& params = "{}") {
    return run(R"({"function":")" + function + R"(","params":)" + params + "}");
}
std::string err(const std::string& function, int code, const std::string& message) {
    return R"({"function":")" + function + R"(","result":")" + message + R"(","reterr":)" +
           std::to_string(code) + "}";
}
}  // namespace

TEST(Envelope, WorkedExamples) {
    EXPECT_EQ(run(R"({"function":"GetVersion","params":{},"randomId":"42"})"),
              R"({"function":"GetVersion","randomId":"42","result":"1.0.1.32 MEBO","reterr":0})");
    EXPECT_EQ(run(R"({"function":"Foo","params":{}})"),
              R"({"function":"Foo","result":"not find this function","reterr":164})");
    EXPECT_EQ(run(R"({"function":"GetVersion"})"),
              R"({"function":"","result":"json params is not mine","reterr":111})");
    EXPECT_EQ(run("not json"), R"({"function":"","result":"json is not mine","reterr":110})");
}

TEST(Envelope, ShapesRefused) {
    const std::string bad = err("", 111, "json params is not mine");
    EXPECT_EQ(run(R"({"function":"GetVersion","params":{},"randomId":"1","x":1})"), bad);
    EXPECT_EQ(run(R"({"function":"GetVersion","params":{},"extra":"1"})"), bad);
    EXPECT_EQ(run(R"({"function":"GetVersion","randomId":"1"})"), bad);
    EXPECT_EQ(run(R"({"params":{},"randomId":"1"})"), bad);
    EXPECT_EQ(run(R"({"function":1,"params":{}})"), bad);
    EXPECT_EQ(run(R"({"function":null,"params":{}})"), bad);
    EXPECT_EQ(run(R"(["function","params"])"), bad);
    EXPECT_EQ(run(R"("GetVersion")"), bad);
    EXPECT_EQ(run("{}"), bad);
    EXPECT_EQ(run("7"), bad);
}

TEST(Envelope, ParserLeniencyAndStrictness) {
    const std::string ok = R"({"function":"Connect","result":"OK","reterr":0})";
    // Comments are tolerated, after the object too; other text after it and
    // repeated members are not (the last duplicate used to win, so a
    // harmless command could carry another).
    EXPECT_EQ(run("/* c */{\"function\":\"Connect\", // x\n\"params\":[]} /* end */\n"), ok);
    const std::string notJson = err("", 110, "json is not mine");
    EXPECT_EQ(run(R"({"function":"Connect","params":[]} trailing)"), notJson);
    EXPECT_EQ(run(R"({"function":"Connect","params":[]}{})"), notJson);
    EXPECT_EQ(run(R"({"function":"GetVersion","params":[],"function":"DeleteUser"})"), notJson);
    EXPECT_EQ(run(R"({"function":"Connect","params":{"a":1,"a":2}})"), notJson);
    EXPECT_EQ(run(R"({"function":"Connect","params":[1,],})"), notJson);
    EXPECT_EQ(run(R"({'function':'Connect','params':[]})"), notJson);
    EXPECT_EQ(run(""), notJson);
    EXPECT_EQ(run(std::string(100000, '[')), notJson);  // nesting limit, no stack overflow
}

TEST(Envelope, RandomIdEchoedOnlyAsNonEmptyString) {
    EXPECT_EQ(run(R"({"function":"Connect","params":{},"randomId":42})"),
              R"({"function":"Connect","result":"OK","reterr":0})");
    EXPECT_EQ(run(R"({"function":"Connect","params":{},"randomId":""})"),
              R"({"function":"Connect","result":"OK","reterr":0})");
    EXPECT_EQ(run(R"({"function":"Connect","params":{}})"),
              R"({"function":"Connect","result":"OK","reterr":0})");
    EXPECT_EQ(run(R"({"function":"Foo","params":1,"randomId":"a\"\u0001\u4e2d"})"),
              "{\"function\":\"Foo\",\"randomId\":\"a\\\"\\u0001\xe4\xb8\xad\","
              "\"result\":\"not find this function\",\"reterr\":164}");
}

TEST(Envelope, NamesAreCaseSensitiveAndExact) {
    EXPECT_EQ(call("getversion"), err("getversion", 164, "not find this function"));
    EXPECT_EQ(call("GetVersion "), err("GetVersion ", 164, "not find this function"));
    EXPECT_EQ(run(R"({"function":"GetVersion\u0000x","params":{}})"),
              R"({"function":"GetVersion\u0000x","result":"not find this function","reterr":164})");
}

TEST(Commands, AnsweredWithoutKey) {
    EXPECT_EQ(call("GetVersion", "null"),
              R"({"function":"GetVersion","result":"1.0.1.32 MEBO","reterr":0})");
    EXPECT_EQ(call("Connect"), R"({"function":"Connect","result":"OK","reterr":0})");
    EXPECT_EQ(call("Disconnect", "[1,2]"), R"({"function":"Disconnect","result":"OK","reterr":0})");
    EXPECT_EQ(call("closeDevice"), R"({"function":"closeDevice","result":null,"reterr":0})");
    EXPECT_EQ(call("CancelEnroll"), err("CancelEnroll", 5, "user canceled"));
    EXPECT_EQ(call("CancelVerify"), err("CancelVerify", 5, "user canceled"));
}

TEST(Commands, InitDevNeverSucceeds) {
    const std::string notForYou = err("InitDev", 201, "this dev is not for you");
    const std::string badParams = err("InitDev", 111, "json params is not mine");
    EXPECT_EQ(call("InitDev", "[]"), notForYou);
    EXPECT_EQ(call("InitDev", "null"), notForYou);
    EXPECT_EQ(call("InitDev", R"(["abc", 1])"), notForYou);
    EXPECT_EQ(call("InitDev", "[1]"), badParams);
    EXPECT_EQ(call("InitDev", "{}"), badParams);
    EXPECT_EQ(call("InitDev", R"("abc")"), badParams);
}

TEST(Commands, AnsweredLater) {
    int rc = 0;
    std::string reply = run(R"({"function":"WaitEnroll","params":{}})", &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(reply, "untouched");
    // Refused at once, before any key is involved.
    reply = run(R"({"function":"rkLogin","params":[1,2]})", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(reply, err("rkLogin", 111, "json params is not mine"));
}

TEST(Commands, LoopVerifyBeforeAnyStart) {
    int rc = 1;
    EXPECT_EQ(
        run(R"({"function":"LoopVerify","params":{},"randomId":"7"})", &rc),
        R"({"function":"LoopVerify","randomId":"7","result":"not find this err","reterr":-63})");
    EXPECT_EQ(rc, kPollAgain);
}

TEST(Commands, EveryRowAnswersUnderItsName) {
    size_t rows = 0;
    for (const Command* c = commandsBegin(); c != commandsEnd(); ++c, ++rows) {
        EXPECT_EQ(findCommand(c->name), c) << c->name;
        // Answered later whatever happens: there is nothing to read now.
        if (c->reply == Reply::AlwaysLater) continue;
        int rc = 0;
        const std::string n = c->name;
        std::string reply = run(R"({"function":")" + n + R"(","params":{}})", &rc);
        // A poll with no outcome yet is answered now, and may be asked again.
        EXPECT_EQ(rc, c->reply == Reply::Polled ? kPollAgain : 0) << n;
        EXPECT_EQ(reply.find("reterr\":164"), std::string::npos) << n << ": " << reply;
        EXPECT_EQ(reply.rfind("{\"function\":\"" + n + "\"", 0), 0u) << reply;
    }
    EXPECT_EQ(rows, 37u);
}

// WatchDevice sets the flag of the client that sent it, and only a shape
// it knows.
TEST(Commands, WatchDeviceMarksItsClient) {
    Client client;
    std::string reply;
    auto watch = [&](const std::string& params) {
        Ckjson::excute(R"({"function":"WatchDevice","params":)" + params + "}", reply, client);
        return reply;
    };
    EXPECT_EQ(watch("[]"), R"({"function":"WatchDevice","result":"OK","reterr":0})");
    EXPECT_TRUE(client.watchDevice);
    EXPECT_EQ(watch("[false]"), R"({"function":"WatchDevice","result":"OK","reterr":0})");
    EXPECT_FALSE(client.watchDevice);
    EXPECT_EQ(watch("[true]"), R"({"function":"WatchDevice","result":"OK","reterr":0})");
    EXPECT_TRUE(client.watchDevice);
    for (const char* bad : {"[0]", R"(["yes"])", "[true,true]", "{}", "null"}) {
        EXPECT_EQ(watch(bad), err("WatchDevice", 111, "json params is not mine")) << bad;
        EXPECT_TRUE(client.watchDevice) << bad;
    }
}

TEST(Params, ShapeChecksBeforeTheKey) {
    auto code = [](const std::string& f, const std::string& p) {
        std::string r = call(f, p);
        size_t at = r.find("\"reterr\":");
        return at == std::string::npos ? 99999 : std::stoi(r.substr(at + 9));
    };
    EXPECT_EQ(code("RegisterUser", R"(["u", "3", "n"])"), 111);
    EXPECT_EQ(code("RegisterUser", R"(["u", 3.0, "n"])"), 111);
    EXPECT_EQ(code("RegisterUser", R"(["u", 3])"), 111);
    EXPECT_EQ(code("AddFinger", R"(["u", 3, 4])"), 111);
    EXPECT_EQ(code("DeleteFinger", R"(["u", [1, "2", 3]])"), 111);
    EXPECT_EQ(code("DeleteFinger", R"(["u", 1])"), 111);
    std::string many = "[\"u\", [1";
    for (int i = 0; i < 32; ++i)
        many += ",1";
    EXPECT_EQ(code("DeleteFinger", many + "]]"), 104);  // 33 indexes do not fit
    EXPECT_EQ(code("DeleteUser", "[5]"), 111);
    EXPECT_EQ(code("DeleteUser", "{}"), 111);
    EXPECT_EQ(code("GetFingerUsed", "[]"), 111);
    EXPECT_EQ(code("GetFingerUnused", R"(["a", "b"])"), 111);
    EXPECT_EQ(code("openDevice", R"([null, null])"), 111);
    EXPECT_EQ(code("openDevice", "[1]"), 111);
    EXPECT_EQ(code("SetSvrPubKey", "[1]"), 111);
    EXPECT_EQ(code("FactorySign", "[]"), 111);
    EXPECT_EQ(code("FactorySign", "[1]"), 111);
    EXPECT_EQ(code("DeviceSign", R"(["abc", "3"])"), 111);
    EXPECT_EQ(code("FingerSign", R"(["abc", 4])"), 105);  // past the data's end
    EXPECT_EQ(code("FingerSign", R"(["abc", -1])"), 105);
    EXPECT_EQ(code("Sm2Decrypt", "[null]"), 111);
    EXPECT_EQ(code("Sm4Decrypt", R"(["00"])"), 111);
    EXPECT_EQ(code("rkLogin", R"(["a"])"), 111);
    EXPECT_EQ(code("rkLogin", R"(["a", "b", "c", "d"])"), 111);
    EXPECT_EQ(code("rkLogin", R"(["a", 1, "c"])"), 111);
    EXPECT_EQ(code("startVerify", "[3]"), 111);
    EXPECT_EQ(code("startVerify", "null"), 111);
    EXPECT_EQ(code("SignDataToPKCS7", R"(["c"])"), 111);
    EXPECT_EQ(code("SignDataNormal", R"(["c", 5])"), 111);
}

// The cancellation rule, watched through a scripted fingerprint state.
namespace {
struct Watch {
    int state = 0;
    std::vector<std::string> calls;
} s_watch;

const FpOps kWatchOps = {
    [] { return s_watch.state; },
    [](bool extra) {
        s_watch.calls.push_back(extra ? "cancelVerify(true)" : "cancelVerify(false)");
        return 5;
    },
    [] {
        s_watch.calls.push_back("cancelEnroll");
        return 5;
    },
    [](unsigned ms) { s_watch.calls.push_back("sleep " + std::to_string(ms)); },
};

class Cancellation : public ::testing::Test {
  protected:
    void SetUp() override {
        s_watch = Watch();
        setFpOps(&kWatchOps);
    }
    void TearDown() override { setFpOps(nullptr); }
    std::vector<std::string> callsFor(int state, const std::string& command) {
        s_watch.state = state;
        s_watch.calls.clear();
        run(command);
        return s_watch.calls;
    }
};
const std::vector<std::string> kNone;
const std::vector<std::string> kVerifyCancelled = {"cancelVerify(false)", "sleep 300"};
const std::vector<std::string> kEnrolCancelled = {"cancelEnroll", "sleep 300"};
}  // namespace

TEST_F(Cancellation, VerificationEndedByOtherFamilies) {
    EXPECT_EQ(callsFor(2, R"({"function":"GetVersion","params":{}})"), kVerifyCancelled);
    EXPECT_EQ(callsFor(2, R"({"function":"Unknown","params":{}})"), kVerifyCancelled);
    EXPECT_EQ(callsFor(2, R"({"function":"RegisterUser","params":{}})"), kVerifyCancelled);
    EXPECT_EQ(callsFor(2, R"({"function":"LoginFinger","params":{}})"), kNone);
    EXPECT_EQ(callsFor(2, R"({"function":"LoopVerify","params":{}})"), kNone);
    // CancelVerify itself calls the session's own cancel, not the rule's.
    EXPECT_EQ(callsFor(2, R"({"function":"CancelVerify","params":{}})"), kNone);
}

TEST_F(Cancellation, EnrolmentEndedByOtherFamilies) {
    EXPECT_EQ(callsFor(1, R"({"function":"GetVersion","params":{}})"), kEnrolCancelled);
    EXPECT_EQ(callsFor(1, R"({"function":"LoginFinger","params":{}})"), kEnrolCancelled);
    for (const char* f : {"RegisterUser", "AddFinger", "WaitEnroll", "CancelEnroll"})
        EXPECT_EQ(callsFor(1, std::string(R"({"function":")") + f + R"(","params":{}})"), kNone)
            << f;
}

TEST_F(Cancellation, WatchingForKeysEndsNothing) {
    EXPECT_EQ(callsFor(1, R"({"function":"WatchDevice","params":[]})"), kNone);
    EXPECT_EQ(callsFor(2, R"({"function":"WatchDevice","params":[]})"), kNone);
}

TEST_F(Cancellation, IdleAndEnvelopeErrorsCancelNothing) {
    EXPECT_EQ(callsFor(0, R"({"function":"GetVersion","params":{}})"), kNone);
    EXPECT_EQ(callsFor(2, "garbage"), kNone);
    EXPECT_EQ(callsFor(1, R"({"function":"GetVersion"})"), kNone);
    // The command still gets its own answer after the cancel.
    s_watch.state = 1;
    EXPECT_EQ(run(R"({"function":"GetVersion","params":{}})"),
              R"({"function":"GetVersion","result":"1.0.1.32 MEBO","reterr":0})");
}
