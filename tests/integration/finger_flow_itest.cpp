// Fingerprint enrolment, login and their cancellation over the daemon, with
// fingers placed on the virtual key's sensor through its control socket.
// Each test runs in a process of its own with a fresh key; a test that needs
// an enrolled finger enrols it first.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/integration/keykit/fixture.h"

using namespace keykit;
using fpkit::WsClient;
using std::chrono::milliseconds;

namespace {

Json::Value parse(const std::string& text) {
    return parseJson(text);
}

std::string request(const std::string& fn, const Json::Value& params) {
    return requestText(fn, params);
}

// What an enrolment left: the finished array's elements.
struct Enrolled {
    int finger = 0;
    std::string record, fingerName, pubKey, signinfo;
};

class FingerFlow : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_ = new KeyStage(); }
    static void TearDownTestSuite() { keykit::endStage(s_); }
    void SetUp() override {
        ASSERT_TRUE(s_->error.empty()) << s_->error;
        c_ = std::make_unique<WsClient>();
        ASSERT_TRUE(c_->connect(s_->daemon->port())) << c_->lastError();
    }
    Json::Value run(const std::string& fn, const Json::Value& params = Json::Value()) {
        return command(*c_, fn, params);
    }
    // A command answered later: nothing may come back at once.
    void sendLater(const std::string& fn, const Json::Value& params = Json::Value()) {
        ASSERT_TRUE(c_->sendText(request(fn, params)));
    }
    Json::Value next(WsClient& c, milliseconds wait = milliseconds(8000)) {
        auto m = c.recv(wait);
        return m ? parse(*m) : Json::Value();
    }
    Json::Value next(milliseconds wait = milliseconds(8000)) { return next(*c_, wait); }
    // True when nothing arrives within `wait`. The client closes on a
    // time-out, so it connects again (which also forgets it as the
    // connection delayed results go to).
    bool quiet(milliseconds wait) {
        bool none = !c_->recv(wait).has_value();
        if (none) {
            c_ = std::make_unique<WsClient>();
            c_->connect(s_->daemon->port());
        }
        return none;
    }
    // The end of the key's log, for failure messages.
    std::string keyLogTail() {
        std::string log = s_->key->log();
        return "\nkey log:\n" + (log.size() > 3000 ? log.substr(log.size() - 3000) : log);
    }
    bool touch(const std::string& finger) { return s_->key->ctl("touch " + finger); }

    // Enrols `finger` of `user` with six touches of `who`, checking the five
    // progress messages on the way; returns the finished message.
    Json::Value enrol(const std::string& fn, const std::string& user, int finger,
                      const std::string& name, const std::string& who) {
        return enrolFinger(*c_, *s_->key, fn, user, finger, name, who);
    }

    // Checks a finished array and what it certifies.
    Enrolled checkFinished(const Json::Value& m, const std::string& user, int finger,
                           const std::string& name) {
        Enrolled e;
        EXPECT_EQ(m["function"], "ackEnroll") << m;
        EXPECT_EQ(m["reterr"], 0) << m;
        const Json::Value& a = m["result"];
        if (!a.isArray() || a.size() != 8) {
            ADD_FAILURE() << "finished array: " << m;
            return e;
        }
        EXPECT_EQ(a[7], user);
        EXPECT_EQ(a[0], 0);
        EXPECT_EQ(a[1], 0);
        EXPECT_EQ(a[2], finger);
        e.finger = a[2].asInt();
        e.record = a[3].asString();
        e.fingerName = a[4].asString();
        e.pubKey = a[5].asString();
        e.signinfo = a[6].asString();
        const std::string prefix = user + "_" + std::to_string(finger) + "_";
        EXPECT_EQ(e.record.compare(0, prefix.size(), prefix), 0) << e.record;
        EXPECT_GT(e.record.size(), prefix.size()) << "template number missing: " << e.record;
        EXPECT_EQ(e.fingerName, name);
        EXPECT_EQ(e.pubKey.size(), 130u);
        EXPECT_EQ(e.pubKey.substr(0, 2), "04");
        // The device key signs public key text || record name || serial.
        const std::string devKey = run("GetDevPubKey")["result"].asString();
        const std::string serial = run("GetDevInfo", array({2}))["result"][0].asString();
        EXPECT_FALSE(serial.empty());
        EXPECT_TRUE(sm2VerifyDer(fromHex(devKey), bytesOf(e.pubKey + e.record + serial),
                                 fromHex(e.signinfo)))
            << "signinfo " << e.signinfo;
        EXPECT_FALSE(
            sm2VerifyDer(fromHex(devKey), bytesOf(e.pubKey + e.record), fromHex(e.signinfo)));
        return e;
    }

    // User u01 with finger 3 ("left middle", touched as alice-middle).
    void needUser() {
        if (!s_first.pubKey.empty()) return;
        Json::Value m = enrol("RegisterUser", "u01", 3, "left middle", "alice-middle");
        s_first = checkFinished(m, "u01", 3, "left middle");
    }

    static KeyStage* s_;
    static Enrolled s_first;
    std::unique_ptr<WsClient> c_;
};
KeyStage* FingerFlow::s_ = nullptr;
Enrolled FingerFlow::s_first;

}  // namespace

TEST_F(FingerFlow, EnrolTwoFingersAndTheRefusals) {
    // Nothing runs: the waiting page is told at once instead of waiting forever.
    sendLater("WaitEnroll");
    Json::Value m = next();
    EXPECT_EQ(m["function"], "ackEnroll") << m;
    EXPECT_EQ(m["reterr"], 103) << m;
    EXPECT_EQ(m["result"], "operate Failed") << m;

    needUser();

    EXPECT_EQ(run("RegisterUser", array({"u01", 4, "x"}))["reterr"], 1);
    EXPECT_EQ(run("AddFinger", array({"nobody", 4, "x"}))["reterr"], 2);
    EXPECT_EQ(run("AddFinger", array({"u01", 3, "x"}))["reterr"], 6);
    EXPECT_EQ(run("RegisterUser", array({"u02", 0, "x"}))["reterr"], 104);
    EXPECT_EQ(run("RegisterUser", array({"u02", 11, "x"}))["reterr"], 104);
    EXPECT_EQ(run("RegisterUser", array({"", 1, "x"}))["reterr"], 104);
    EXPECT_EQ(run("AddFinger", array({"u01", 11, "x"}))["reterr"], 104);
    EXPECT_EQ(run("RegisterUser", array({"u02", "1", "x"}))["reterr"], 111);
    EXPECT_EQ(run("RegisterUser", array({"u02", 1}))["reterr"], 111);
    Json::Value many(Json::arrayValue);
    for (int i = 0; i < 33; ++i)
        many.append(1 + i % 10);
    EXPECT_EQ(run("DeleteFinger", array({"u01", many}))["reterr"], 104);

    Json::Value second = enrol("AddFinger", "u01", 7, "right index", "alice-index");
    Enrolled e = checkFinished(second, "u01", 7, "right index");
    EXPECT_NE(e.pubKey, s_first.pubKey);
    EXPECT_NE(e.record, s_first.record);
    EXPECT_EQ(run("GetFingerUsed", array({"u01"}))["result"], array({"u01", array({3, 7})}));

    // A second enrolment while one runs is refused; cancelling it answers 5
    // and the waiting page gets exactly one 5.
    EXPECT_EQ(run("RegisterUser", array({"u02", 1, "x"}))["result"], array({6}));
    EXPECT_EQ(run("RegisterUser", array({"u03", 1, "x"}))["reterr"], 103);
    sendLater("WaitEnroll");
    ASSERT_TRUE(c_->sendText(request("CancelEnroll", Json::Value())));
    // The cancelled operation's 5 comes first, then the reply.
    Json::Value pushed = next(), answer = next();
    EXPECT_EQ(answer["function"], "CancelEnroll") << answer;
    EXPECT_EQ(answer["reterr"], 5) << answer;
    EXPECT_EQ(answer["randomId"], "r-CancelEnroll") << answer;
    EXPECT_EQ(pushed["function"], "ackEnroll") << pushed;
    EXPECT_EQ(pushed["reterr"], 5) << pushed;
    EXPECT_TRUE(quiet(milliseconds(800)));
    // Nothing was written for the cancelled user.
    EXPECT_EQ(run("GetUserList")["result"], array({1, array({"u01"})}));
    // Without an enrolment the cancel still answers 5 and pushes nothing.
    EXPECT_EQ(run("CancelEnroll")["reterr"], 5);
    EXPECT_TRUE(quiet(milliseconds(500)));
}

TEST_F(FingerFlow, LoginFingerThenSignWithThatFinger) {
    needUser();
    ASSERT_FALSE(s_first.pubKey.empty());
    sendLater("LoginFinger");
    usleep(200 * 1000);
    ASSERT_TRUE(touch("alice-middle"));
    Json::Value m = next();
    EXPECT_EQ(m["function"], "ackVerify") << m;
    EXPECT_EQ(m["reterr"], 0) << m;
    EXPECT_EQ(m["result"], array({0, "u01", 3, s_first.record, "left middle"})) << m;

    Json::Value sig = run("FingerSign", array({"pay 10 to bob"}));
    ASSERT_EQ(sig["reterr"], 0) << sig;
    EXPECT_TRUE(sm2VerifyDer(fromHex(s_first.pubKey), bytesOf("pay 10 to bob"),
                             fromHex(sig["result"].asString())));
    EXPECT_FALSE(sm2VerifyDer(fromHex(s_first.pubKey), bytesOf("pay 99 to bob"),
                              fromHex(sig["result"].asString())));

    // A wrong finger followed at once by the right one: the mismatch is
    // retried within the window and the right finger logs in.
    sendLater("LoginFinger");
    usleep(200 * 1000);
    ASSERT_TRUE(touch("mallory"));
    usleep(200 * 1000);
    ASSERT_TRUE(touch("alice-middle"));
    m = next();
    EXPECT_EQ(m["result"], array({0, "u01", 3, s_first.record, "left middle"})) << m;

    // Wrong twice, past the window: the module's mismatch code as an array.
    sendLater("LoginFinger");
    usleep(200 * 1000);
    ASSERT_TRUE(touch("mallory"));
    sleep(3);
    ASSERT_TRUE(touch("mallory"));
    m = next();
    EXPECT_EQ(m["function"], "ackVerify") << m;
    EXPECT_EQ(m["result"], array({57602})) << m;
    EXPECT_EQ(m["reterr"], 0) << m;
}

#if defined(FPK_VERIFY_TOOL) && defined(FPK_VERIFY_JS)
// A relying party's two tools (C++ and Node) take every signature the key
// makes as it comes, and both refuse the same changes.
TEST_F(FingerFlow, TheRelyingPartyToolsCheckWhatTheKeySigned) {
    needUser();
    ASSERT_FALSE(s_first.pubKey.empty());
    const std::string facKey = run("GetFacPubKey")["result"].asString();
    const std::string devKey = run("GetDevPubKey")["result"].asString();
    const std::string serial = run("GetDevInfo", array({2}))["result"][0].asString();
    const std::string text = "caf\xC3\xA9 100";  // the cut below falls inside the character
    const std::string facSig = run("FactorySign", array({text}))["result"].asString();
    const std::string devSig = run("DeviceSign", array({text, 4}))["result"].asString();
    sendLater("LoginFinger");
    usleep(200 * 1000);
    ASSERT_TRUE(touch("alice-middle"));
    ASSERT_EQ(next()["reterr"], 0);
    const std::string fpSig = run("FingerSign", array({text}))["result"].asString();
    const std::string challenge = "c2VydmVyLWNoYWxsZW5nZS0x";
    sendLater("FingerAssert", array({challenge, "Pay 5 to \"Bob\""}));
    EXPECT_EQ(next()["function"], "ackConfirm");
    usleep(700 * 1000);
    ASSERT_TRUE(touch("alice-middle"));
    const Json::Value asserted = next(milliseconds(15000));
    ASSERT_EQ(asserted["reterr"], 0) << asserted;
    const std::string clientData = asserted["result"][0].asString();
    const std::string assertSig = asserted["result"][1].asString();

    TempDir dir;
    const std::string cd = dir.path + "/client-data";
    const auto status = [&](const std::vector<std::string>& args, const std::string& data) {
        std::ofstream(cd, std::ios::binary | std::ios::trunc) << data;
        int codes[2] = {-1, -1};
        const std::vector<std::string> tools[2] = {{FPK_VERIFY_TOOL},
                                                   {"/usr/bin/env", "node", FPK_VERIFY_JS}};
        for (int t = 0; t < 2; ++t) {
            std::vector<std::string> argv = tools[t];
            argv.insert(argv.end(), args.begin(), args.end());
            int st = 0;
            const pid_t pid = support::spawn(argv, dir.path + "/out");
            if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) codes[t] = WEXITSTATUS(st);
        }
        EXPECT_EQ(codes[0], codes[1])
            << "the tools disagree: " << support::readFile(dir.path + "/out");
        return codes[0];
    };
    // One changed hex digit: the last before `from_end` of the text.
    const auto changed = [](std::string hex, size_t from_end = 1) {
        char& c = hex[hex.size() - from_end];
        c = c == '0' ? '1' : '0';
        return hex;
    };
    const auto signature = [&](const std::string& key, const std::string& sig,
                               const std::vector<std::string>& more) {
        std::vector<std::string> a = {"signature", "--public-key", key, "--signature", sig};
        a.insert(a.end(), more.begin(), more.end());
        return status(a, "");
    };
    EXPECT_EQ(signature(facKey, facSig, {"--text", text}), 0);
    EXPECT_EQ(signature(devKey, devSig, {"--text", text, "--length", "4"}), 0);
    EXPECT_EQ(signature(devKey, devSig, {"--text", text}), 1);
    EXPECT_EQ(signature(s_first.pubKey, fpSig, {"--text", text}), 0);
    EXPECT_EQ(signature(s_first.pubKey, changed(fpSig), {"--text", text}), 1);
    EXPECT_EQ(signature(changed(s_first.pubKey, 2), fpSig, {"--text", text}), 1);
    EXPECT_EQ(signature(s_first.pubKey, fpSig, {"--text", text + " "}), 1);

    const auto enrolment = [&](const std::string& key, const std::string& record) {
        return status({"enrolment", "--device-key", devKey, "--public-key", key, "--record", record,
                       "--serial", serial, "--signinfo", s_first.signinfo},
                      "");
    };
    EXPECT_EQ(enrolment(s_first.pubKey, s_first.record), 0);
    EXPECT_EQ(enrolment(s_first.pubKey, s_first.record + "0"), 1);

    const auto assertion = [&](const std::string& data, const std::string& sig,
                               const std::string& origin, const std::string& chal,
                               const std::string& shown) {
        return status(
            {"assertion", "--public-key", s_first.pubKey, "--client-data", cd, "--signature", sig,
             "--origin", origin, "--challenge", chal, "--text", shown},
            data);
    };
    const std::string pay = "Pay 5 to \"Bob\"";
    EXPECT_EQ(assertion(clientData, assertSig, "local", challenge, pay), 0);
    EXPECT_EQ(assertion(clientData, changed(assertSig, 3), "local", challenge, pay), 1);
    EXPECT_EQ(assertion(clientData, assertSig, "https://shop.example", challenge, pay), 1);
    EXPECT_EQ(assertion(clientData, assertSig, "local", challenge + "x", pay), 1);
    EXPECT_EQ(assertion(clientData, assertSig, "local", challenge, "Pay 50 to \"Bob\""), 1);
    std::string other = clientData;
    other.replace(other.find("fpkey.assert"), 12, "fpkey.assere");
    EXPECT_EQ(assertion(other, assertSig, "local", challenge, pay), 1);
    EXPECT_EQ(assertion(clientData + " ", assertSig, "local", challenge, pay), 1);
}
#endif

TEST_F(FingerFlow, CancelVerifyAndNoFinger) {
    // A module without templates answers at once that it has none.
    sendLater("LoginFinger");
    Json::Value none = next();
    EXPECT_EQ(none["function"], "ackVerify") << none;
    EXPECT_EQ(none["reterr"], 11) << none;
    needUser();
    // Cancelled while the module waits: the answer 5 and exactly one push of 5.
    sendLater("LoginFinger");
    usleep(300 * 1000);
    ASSERT_TRUE(c_->sendText(request("CancelVerify", Json::Value())));
    // The cancelled operation's 5 comes first, then the reply.
    Json::Value pushed = next(), answer = next();
    EXPECT_EQ(answer["function"], "CancelVerify") << answer;
    EXPECT_EQ(answer["reterr"], 5) << answer;
    EXPECT_EQ(pushed["function"], "ackVerify") << pushed;
    EXPECT_EQ(pushed["reterr"], 5) << pushed;
    EXPECT_EQ(pushed["result"], "user canceled") << pushed;
    EXPECT_TRUE(quiet(milliseconds(800)));
    EXPECT_EQ(run("CancelVerify")["reterr"], 5);
    EXPECT_TRUE(quiet(milliseconds(500)));

    // Nobody touches: the module's own wait ends and the page gets 7.
    sendLater("LoginFinger");
    Json::Value m = next(milliseconds(30000));
    EXPECT_EQ(m["function"], "ackVerify") << m;
    EXPECT_EQ(m["reterr"], 7) << m;
}

TEST_F(FingerFlow, LoopingVerificationAndFingerprintRkLogin) {
    needUser();
    ASSERT_FALSE(s_first.pubKey.empty());
    // A page of another site, whose commands leave this verification be.
    WsClient other;
    ASSERT_TRUE(other.connectAs(s_->daemon->port(), "https://other.example"));
    Json::Value r = run("startVerify", array({}));
    ASSERT_EQ(r["reterr"], 0) << r;
    EXPECT_TRUE(r["result"].isNull()) << r;
    // Polling neither ends the verification nor answers before the touch,
    // and while a poll waits for its outcome other clients are served.
    for (int i = 0; i < 2; ++i) {
        const auto polled = std::chrono::steady_clock::now();
        sendLater("LoopVerify");
        usleep(50 * 1000);
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(command(other, "GetVersion", Json::Value())["reterr"], 0);
        EXPECT_LT(std::chrono::steady_clock::now() - asked, milliseconds(500));
        r = next();
        // A pending poll still waits its second (five looks, 200 ms apart).
        EXPECT_GE(std::chrono::steady_clock::now() - polled, milliseconds(750));
        EXPECT_EQ(r["reterr"], -63) << r;
        EXPECT_EQ(r["result"], "not find this err") << r;
    }
    ASSERT_TRUE(touch("alice-middle"));
    for (int i = 0; i < 5 && r["reterr"] == -63; ++i)
        r = run("LoopVerify");
    EXPECT_EQ(r["reterr"], 0) << r;
    EXPECT_TRUE(r["result"].isNull()) << r;
    // The outcome stays readable.
    EXPECT_EQ(run("LoopVerify")["reterr"], 0);

    // An empty PIN logs in by fingerprint, without a user lookup.
    sendLater("rkLogin", array({"", "", ""}));
    ASSERT_TRUE(touch("alice-middle"));
    Json::Value m = next();
    EXPECT_EQ(m["function"], "ackVerify") << "no answer before the touch: " << m;
    EXPECT_EQ(m["result"], array({0, "", 0, "", ""})) << m;
    // The login left the base application open for the PIN-login family.
    r = run("rkEnumContainer");
    EXPECT_EQ(r["reterr"], 0) << r;
}

TEST_F(FingerFlow, OtherCommandsEndAnEnrolmentButNotAVerification) {
    needUser();
    EXPECT_EQ(run("RegisterUser", array({"u04", 2, "y"}))["result"], array({6}));
    sendLater("WaitEnroll");
    ASSERT_TRUE(touch("dave-thumb"));
    EXPECT_EQ(next()["result"], array({0, 5}));
    ASSERT_TRUE(c_->sendText(request("GetVersion", Json::Value())));
    // The cancelled operation's 5 comes first, then the reply.
    Json::Value pushed = next(), answer = next();
    EXPECT_EQ(answer["function"], "GetVersion") << answer;
    EXPECT_EQ(answer["result"], "1.0.1.32 MEBO") << answer;
    EXPECT_EQ(pushed["function"], "ackEnroll") << pushed;
    EXPECT_EQ(pushed["reterr"], 5) << pushed;
    EXPECT_EQ(run("GetUserList")["result"], array({1, array({"u01"})}));

    // LoopVerify belongs to the verification's family.
    sendLater("LoginFinger");
    Json::Value r = run("LoopVerify");
    EXPECT_EQ(r["function"], "LoopVerify") << r;
    ASSERT_TRUE(touch("alice-middle"));
    Json::Value m = next();
    EXPECT_EQ(m["result"], array({0, "u01", 3, s_first.record, "left middle"})) << m;
}

TEST_F(FingerFlow, ASecondClientTakesTheDelayedResults) {
    EXPECT_EQ(run("RegisterUser", array({"u05", 1, "z"}))["result"], array({6}));
    sendLater("WaitEnroll");
    ASSERT_TRUE(touch("erin-thumb"));
    EXPECT_EQ(next()["result"], array({0, 5}));
    // A new client's handshake forgets the waiting connection and reconnects
    // the key, which ends the enrolment: nothing more reaches the first
    // client, and the daemon answers at once.
    auto other = std::make_unique<WsClient>();
    ASSERT_TRUE(other->connect(s_->daemon->port())) << other->lastError();
    ASSERT_TRUE(touch("erin-thumb"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(command(*other, "GetVersion", Json::Value())["result"], "1.0.1.32 MEBO");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_TRUE(quiet(milliseconds(1500)));
    Json::Value r = command(*other, "GetUserList", Json::Value());
    EXPECT_EQ(r["result"], array({0, array({})})) << r << keyLogTail();
    // The second client enrols the same user from the start (a touch that
    // came after the enrolment ended stays on the sensor: lifted first).
    ASSERT_TRUE(s_->key->ctl("lift"));
    c_ = std::move(other);
    Json::Value m = enrol("RegisterUser", "u05", 1, "z", "erin-thumb");
    checkFinished(m, "u05", 1, "z");
}

TEST_F(FingerFlow, StoppingTheDaemonWhileTheModuleWaitsEndsCleanly) {
    EXPECT_EQ(run("RegisterUser", array({"u06", 1, "w"}))["result"], array({6}));
    sendLater("WaitEnroll");
    ASSERT_TRUE(touch("frank-thumb"));
    EXPECT_EQ(next()["result"], array({0, 5}));
    // The worker waits for the second capture while the daemon is stopped.
    EXPECT_TRUE(s_->stop()) << "the daemon did not end cleanly";
}

TEST_F(FingerFlow, AnotherFingerDuringEnrolmentReportsTheStepBefore) {
    EXPECT_EQ(run("RegisterUser", array({"u07", 2, "g"}))["result"], array({6}));
    sendLater("WaitEnroll");
    ASSERT_TRUE(touch("gina-index"));
    EXPECT_EQ(next()["result"], array({0, 5}));
    // The module refuses a capture of another finger: its status travels
    // with the step reached so far, and the capture does not count.
    ASSERT_TRUE(touch("hank-index"));
    Json::Value m = next();
    EXPECT_EQ(m["function"], "ackEnroll") << m;
    EXPECT_EQ(m["result"], array({0xE109, 5})) << m;
    for (int left = 4; left >= 1; --left) {
        ASSERT_TRUE(touch("gina-index"));
        EXPECT_EQ(next()["result"], array({0, left}));
    }
    ASSERT_TRUE(touch("gina-index"));
    checkFinished(next(milliseconds(20000)), "u07", 2, "g");
}

namespace {
// Fills every template slot of a stopped key's state file (the key keeps a
// SHA-256 line over the rest of the file).
bool fillModule(const std::string& stateFile) {
    std::ifstream in(stateFile);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    const size_t sum = text.rfind("sum ");
    if (sum == std::string::npos) return false;
    text.resize(sum);
    auto lower = [](std::string h) {
        for (char& c : h)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return h;
    };
    for (int i = 0; i < 64; ++i)
        text += "fp " + std::to_string(i) + " " + std::to_string(i + 1) + " " +
                lower(toHex(bytesOf("finger" + std::to_string(i)))) + "\n";
    uint8_t md[32];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), md, &n, EVP_sha256(), nullptr);
    text += "sum " + lower(toHex(Bytes(md, md + 32))) + "\n";
    std::ofstream out(stateFile, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}
}  // namespace

TEST(FingerFull, AFullModuleRefusesBeforeTheNameIsChecked) {
    TempDir dir;
    std::string state;
    {
        VKey key(dir.path + "/k1");
        ASSERT_TRUE(key.ready());
        std::string out;
        ASSERT_EQ(provision(key, dir.path + "/ca", &out), 0) << out;
        state = key.stateFile();
    }
    ASSERT_TRUE(fillModule(state));
    VKey key(dir.path + "/k1");
    ASSERT_TRUE(key.ready()) << key.log();
    fpkit::Daemon::Config cfg;
    cfg.args = {"--virtual-key", key.socket()};
    fpkit::Daemon daemon(cfg);
    WsClient c;
    ASSERT_TRUE(c.connect(daemon.port())) << c.lastError();
    EXPECT_EQ(command(c, "RegisterUser", array({"u01", 1, "n"}))["reterr"], 3);
    EXPECT_EQ(command(c, "RegisterUser", array({"", 0, "n"}))["reterr"], 3);
    EXPECT_EQ(command(c, "AddFinger", array({"nobody", 1, "n"}))["reterr"], 3);
    EXPECT_EQ(command(c, "GetUserList", Json::Value())["result"], array({0, array({})}));
}
