// A page that sends what it should not, and a key holding names that are no
// text, against a provisioned virtual key with the daemon's log on: every
// reply stays valid UTF-8, a finger with an empty name works, and the log
// keeps no secret.
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/integration/keykit/fixture.h"

using namespace fpkit;
using namespace keykit;
using std::chrono::milliseconds;

namespace {

// Valid UTF-8 as far as these replies go: ASCII, and U+0080-U+00FF (the
// writer's own rule is fuzzed against a full decoder).
bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80 &&
            ((s[i] != '\xc2' && s[i] != '\xc3') || ++i == s.size() || (s[i] & 0xC0) != 0x80))
            return false;
    return true;
}

const char kOddUser[] = "\xff\xfe-user";

class Hostile : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_log = new TempDir;
        std::ofstream cfg(s_log->path + "/nuvolog.cfg");  // empty: the file named below
        fpkit::Daemon::Config logOn;
        logOn.env = {{"FPKEYD_LOG_CFG", s_log->path + "/nuvolog.cfg"},
                     {"FPKEYD_LOG_FILE", s_log->path + "/fpkeyd.log"},
                     {"FPKEYD_LOG_NOTE", s_log->path + "/note.log"}};
        s_ = new KeyStage({{kOddUser, {{1, 200, "\xed\xb0\x80"}}}}, false, {}, logOn);
    }
    static void TearDownTestSuite() {
        if (s_) endStage(s_);
        delete s_log;
        s_log = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_->error.empty()) << s_->error;
        ASSERT_TRUE(c_.connect(s_->daemon->port())) << c_.lastError();
    }
    // Sends a text (or binary) frame and returns the reply, which must be
    // valid UTF-8 and leave the connection open.
    std::string call(const std::string& text, bool binary = false) {
        EXPECT_TRUE(binary ? c_.sendBinary(text) : c_.sendText(text));
        std::string reply = c_.recv(milliseconds(20000)).value_or("");
        EXPECT_TRUE(validUtf8(reply)) << reply;
        EXPECT_TRUE(c_.isOpen()) << c_.lastError();
        return reply;
    }
    Json::Value run(const std::string& fn, const Json::Value& params = Json::Value()) {
        return parseJson(call(requestText(fn, params)));
    }

    static KeyStage* s_;
    static TempDir* s_log;
    WsClient c_;
};
KeyStage* Hostile::s_ = nullptr;
TempDir* Hostile::s_log = nullptr;

}  // namespace

TEST_F(Hostile, RepliesAreUtf8AndNamesMustBeText) {
    // A name stored on the key that is no UTF-8 comes one character per byte.
    Json::Value r = run("GetUserList");
    EXPECT_EQ(r["result"], array({1, array({"\xc3\xbf\xc3\xbe-user"})})) << r;
    // A randomId byte 0xFF in a binary frame.
    r = parseJson(call("{\"function\":\"GetVersion\",\"params\":[],\"randomId\":\"a\xff\"}", true));
    EXPECT_EQ(r["randomId"], "a\xc3\xbf") << r;
    // A decrypted plain text of any bytes.
    const Bytes k = fromHex("0123456789ABCDEFFEDCBA9876543210");
    const std::string plain = "\xff\xfe plain \x80\xc3";
    Bytes padded = bytesOf(plain);
    padded.insert(padded.end(), 16 - plain.size() % 16,
                  static_cast<uint8_t>(16 - plain.size() % 16));
    r = run("Sm4Decrypt", array({toHex(sm4EcbEncrypt(k, padded)), toHex(k)}));
    EXPECT_EQ(r["result"], "\xc3\xbf\xc3\xbe plain \xc2\x80\xc3\x83") << r;

    // Names that are no text never reach the key: a lone low surrogate
    // escape (JsonCpp makes bytes of it that are not UTF-8), a NUL; a lone
    // high one JsonCpp refuses itself.
    const std::pair<const char*, int> names[] = {{R"(["a\udc00", 1, "x"])", 104},
                                                 {R"(["u7", 1, "\udc00"])", 104},
                                                 {R"(["a\u0000b", 1, "x"])", 104},
                                                 {R"(["\ud800", 1, "x"])", 110}};
    for (const auto& [params, code] : names) {
        r = parseJson(call(std::string(R"({"function":"RegisterUser","params":)") + params + "}"));
        EXPECT_EQ(r["reterr"], code) << params << r;
    }
    EXPECT_EQ(run("GetUserList")["result"][0], 1);
}

TEST_F(Hostile, AFingerWithAnEmptyNameLogsInAndIsDeleted) {
    Json::Value m = enrolFinger(c_, *s_->key, "RegisterUser", "u9", 2, "", "nameless-thumb");
    ASSERT_EQ(m["reterr"], 0) << m;
    const std::string record = m["result"][3].asString();
    ASSERT_TRUE(c_.sendText(requestText("LoginFinger", Json::Value())));
    usleep(300 * 1000);
    ASSERT_TRUE(s_->key->ctl("touch nameless-thumb"));
    m = nextMessage(c_);
    EXPECT_EQ(m["result"], array({0, "u9", 2, record, ""})) << m;
    Json::Value r = run("DeleteFinger", array({"u9", array({2})}));
    EXPECT_EQ(r["reterr"], 0) << r;
    EXPECT_EQ(r["result"][1][2], "") << r;
}

// Runs last: the daemon is stopped to read its whole log.
TEST_F(Hostile, TheLogKeepsEveryLineButNoSecret) {
    const Bytes k = fromHex("00112233445566778899AABBCCDDEEFF");
    const Bytes padded = bytesOf(
        "plain-secret-text\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f"
        "\x0f\x0f\x0f\x0f\x0f");
    EXPECT_EQ(run("Sm4Decrypt", array({toHex(sm4EcbEncrypt(k, padded)), toHex(k)}))["result"],
              "plain-secret-text");
    const Bytes dev = fromHex(run("GetDevPubKey")["result"].asString());
    const Bytes sm2Plain = bytesOf("sm2-plain-secret");
    EXPECT_EQ(run("Sm2Decrypt", array({toHex(sm2EncryptRaw(dev, sm2Plain))}))["result"],
              toHex(sm2Plain));
    EXPECT_EQ(run("rkLogin", array({"", "", "314159"}))["reterr"], 0);
    const std::string data = toBase64(bytesOf("data-signed-secret"));
    EXPECT_EQ(run("SignDataNormal", array({"axDevCot", data}))["reterr"], 0);
    EXPECT_EQ(run("SignDataToPKCS7", array({"axDevCot", data}))["reterr"], 0);
    run("DeviceSign", array({"text-signed-secret"}));
    run("FingerSign", array({"finger-signed-secret"}));
    run("rkLoginTypo", array({"", "", "271828"}));
    const std::string port = std::to_string(s_->daemon->port());
    rawHttp(s_->daemon->port(),
            "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                "\r\nContent-Length: 11\r\nConnection: close\r\n\r\nbody-secret");
    ASSERT_TRUE(s_->stop());

    const std::string path = s_log->path + "/fpkeyd.log";
    std::stringstream log;
    log << std::ifstream(path).rdbuf();
    for (const std::string& secret :
         {std::string("plain-secret-text"), toHex(k), toHex(sm2Plain), std::string("314159"), data,
          std::string("text-signed-secret"), std::string("finger-signed-secret"),
          std::string("271828"), std::string("body-secret")})
        EXPECT_EQ(log.str().find(secret), std::string::npos) << secret << "\n" << log.str();
    // The lines are all there, masked.
    EXPECT_NE(log.str().find(R"({"function":"rkLogin","params":[ "", "", "***" ],)"),
              std::string::npos);
    EXPECT_NE(log.str().find(R"("randomId":"r-Sm4Decrypt","result":"***","reterr":0})"),
              std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}
