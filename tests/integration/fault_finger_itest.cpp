// Faults on the fingerprint channel and during fingerprint operations:
// bad replies to a short module command and to a verification, the key
// pulled out while an enrolment, a login or a polling verification runs, and
// the key process killed during a login. For each: the page gets an error
// code in bounded time (pushed for the operations answered later), another
// client stays served, the next operation works, and no half-written user or
// finger is left that the daemon reported as done.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/integration/fault_itest.h"

using namespace faultkit;
using keykit::bytesOf;
using keykit::enrolFinger;
using keykit::fromHex;
using keykit::sm2VerifyDer;

namespace {

// Finger records of the enrolment all tests share.
struct Enrolled {
    std::string record, pubKey;
};

class FingerFault : public FaultTest {
  protected:
    // The module gives up waiting for a finger after 4 s: long enough for a
    // test to act while it waits, short enough that a wait left behind ends
    // soon.
    static void SetUpTestSuite() { s_ = new KeyStage({}, false, {"--finger-wait", "4000"}); }

    // User uv with finger 3, touched as victor-thumb.
    void needUser() {
        if (!s_user.record.empty()) return;
        Json::Value m = enrolFinger(*c_, key(), "RegisterUser", "uv", 3, "vee", "victor-thumb");
        ASSERT_EQ(m["reterr"], 0) << m << keyLogTail();
        ASSERT_EQ(m["result"].size(), 8u) << m;
        s_user.record = m["result"][3].asString();
        s_user.pubKey = m["result"][5].asString();
    }

    bool moduleIs(const std::string& state) {
        return eventually([&] { return status().find("module=" + state) != std::string::npos; },
                          kCardBound);
    }

    // A login with the enrolled finger, which is on the sensor before the
    // module starts waiting.
    void expectLoginWorks() {
        ASSERT_TRUE(touch("victor-thumb"));
        sendLater("LoginFinger");
        Json::Value m = next(kVerifyBound);
        EXPECT_EQ(m["function"], "ackVerify") << m;
        EXPECT_EQ(m["result"], array({0, "uv", 3, s_user.record, "vee"})) << m << keyLogTail();
        Json::Value sig = run("FingerSign", array({"logged in"}));
        ASSERT_EQ(sig["reterr"], 0) << sig;
        EXPECT_TRUE(sm2VerifyDer(fromHex(s_user.pubKey), bytesOf("logged in"),
                                 fromHex(sig["result"].asString())));
    }

    // Starting an enrolment works (and is cancelled again): the module answers
    // its count, the user does not exist yet. The cancel's pushed result is
    // awaited, so that the reconnect after it is over before the next fault.
    void expectRegisterStarts(const std::string& user) {
        Json::Value r = run("RegisterUser", array({user, 1, "x"}));
        EXPECT_EQ(r["result"], array({6})) << r << keyLogTail();
        if (r["reterr"] != 0) return;
        sendLater("WaitEnroll");
        sendLater("CancelEnroll");
        Json::Value a = next(), b = next();
        EXPECT_EQ(a["reterr"], 5) << a;
        EXPECT_EQ(b["reterr"], 5) << b;
        EXPECT_NE(a["function"], b["function"]) << "the answer and the pushed result: " << a << b;
    }

    Json::Value userNames() { return run("GetUserList")["result"][1]; }

    // Starts an enrolment and gives it all captures but the last.
    void startEnrolment(const std::string& fn, const std::string& user, int finger,
                        const std::string& name, const std::string& who) {
        Json::Value r = run(fn, array({user, finger, name}));
        ASSERT_EQ(r["result"], array({6})) << r;
        sendLater("WaitEnroll");
        for (int left = 5; left >= 1; --left) {
            ASSERT_TRUE(touch(who));
            ASSERT_EQ(next()["result"], array({0, left}));
        }
    }

    // How the key logs the creation of a container.
    static constexpr const char* kCreateContainer = ": 80 40 ";

    // An enrolment whose last capture is given while every reply is held
    // back `delayMs`; returns once the key has created the finger's
    // container, before the rest of the record is written.
    void enrolUntilContainer(const std::string& fn, const std::string& user, int finger,
                             const std::string& name, const std::string& who, int delayMs) {
        startEnrolment(fn, user, finger, name, who);
        const size_t before = occurrences(key().log(), kCreateContainer);
        setFault("delay " + std::to_string(delayMs) + " 60", false);
        ASSERT_TRUE(touch(who));
        ASSERT_TRUE(eventually([&] { return occurrences(key().log(), kCreateContainer) > before; },
                               kCardBound))
            << keyLogTail();
    }

    inline static Enrolled s_user;
};

}  // namespace

TEST_F(FingerFault, EveryBadReplyToAModuleCommandIsAnError) {
    // "RegisterUser" first asks the module how many templates it holds.
    expectRegisterStarts("uf");
    for (const char* fault :
         {"drop", "stale-seq", "bad-checksum", "truncate", "oversize", "delay 3000"}) {
        SCOPED_TRACE(std::string("fault ") + fault);
        setFault(fault);
        Json::Value r = run("RegisterUser", array({"uf", 1, "x"}));
        EXPECT_EQ(r["reterr"], 103) << r << keyLogTail();
        EXPECT_EQ(r["result"], "operate Failed") << r;
        EXPECT_TRUE(faultsSpent()) << status();
        expectOthersServed();
        expectRegisterStarts("uf");
    }
    // Held back within the wait: served.
    setFault("delay 500");
    expectRegisterStarts("uf");
    EXPECT_TRUE(faultsSpent()) << status();
    EXPECT_EQ(userNames(), Json::Value(Json::arrayValue));
}

TEST_F(FingerFault, BadRepliesToAVerification) {
    needUser();
    // The module's match reaches the daemon broken, as an answer to an
    // earlier command, or not at all: the waiting page is told, with a code.
    struct Case {
        const char* fault;
        int code;
    };
    for (const Case& k : {Case{"bad-checksum", 103}, Case{"truncate", 103}, Case{"stale-seq", 7},
                          Case{"drop", 103}}) {
        SCOPED_TRACE(std::string("fault ") + k.fault);
        ASSERT_TRUE(touch("victor-thumb"));
        setFault(k.fault);
        sendLater("LoginFinger");
        Json::Value m = next(kVerifyBound);
        EXPECT_EQ(m["function"], "ackVerify") << m;
        EXPECT_EQ(m["reterr"], k.code) << m << keyLogTail();
        EXPECT_TRUE(faultsSpent()) << status();
        expectOthersServed();
        expectLoginWorks();
    }
    // Held back within the wait: the login goes through.
    setFault("delay 1000");
    expectLoginWorks();
    EXPECT_TRUE(faultsSpent()) << status();
}

// The enrolling page also watches for keys (asking for that mid-enrolment
// leaves the enrolment running); the other connection does not.
TEST_F(FingerFault, UnplugDuringAnEnrolment) {
    needUser();
    expectLoginWorks();
    Json::Value r = run("RegisterUser", array({"ue", 2, "e two"}));
    ASSERT_EQ(r["result"], array({6})) << r;
    sendLater("WaitEnroll");
    ASSERT_TRUE(touch("erin-index"));
    EXPECT_EQ(next()["result"], array({0, 5}));
    EXPECT_EQ(run("WatchDevice", array({}))["result"], "OK");
    ASSERT_TRUE(touch("erin-index"));
    EXPECT_EQ(next()["result"], array({0, 4}));
    ASSERT_TRUE(key().ctl("unplug"));
    const std::string name = "FingerPrint.Usb.0x2541.0x2549..01.03";
    Json::Value enrol, left;
    for (int i = 0; i < 2; ++i) {
        Json::Value m = next();
        (m["function"] == "ackDevice" ? left : enrol) = m;
    }
    EXPECT_EQ(enrol["function"], "ackEnroll") << enrol;
    EXPECT_EQ(enrol["reterr"], 103) << enrol;
    EXPECT_TRUE(enrol["result"].isString()) << enrol;
    EXPECT_EQ(left["result"], array({name, 0x2549, false})) << left;
    ASSERT_TRUE(key().ctl("plug"));
    Json::Value back = next();
    EXPECT_EQ(back["function"], "ackDevice") << back;
    EXPECT_EQ(back["result"], array({name, 0x2549, true})) << back;
    // The session opened the key again by itself, before any command.
    EXPECT_TRUE(
        eventually([&] { return status().find("connected=1") != std::string::npos; }, kCardBound))
        << status();
    // The other connection was told nothing: the next message it gets is
    // the reply to its command.
    expectOthersServed();
    // The login went with the key, though the enrolment's end had let go
    // of the key before its leaving was looked at.
    EXPECT_EQ(run("FingerSign", array({"no touch"}))["reterr"], 2);
    // Nothing of the user was written; enrolling it afresh works.
    EXPECT_EQ(userNames(), array({"uv"}));
    Json::Value done = enrolFinger(*c_, key(), "RegisterUser", "ue", 2, "e two", "erin-index");
    EXPECT_EQ(done["reterr"], 0) << done << keyLogTail();
    EXPECT_EQ(run("GetFingerUsed", array({"ue"}))["result"], array({"ue", array({2})}));
}

TEST_F(FingerFault, BadFramesDuringAnEnrolment) {
    needUser();
    // A lost progress frame costs the page one progress message, nothing
    // more: the captures go on and the finger is enrolled whole.
    Json::Value r = run("RegisterUser", array({"ud", 4, "d four"}));
    ASSERT_EQ(r["result"], array({6})) << r;
    sendLater("WaitEnroll");
    ASSERT_TRUE(touch("dora-ring"));
    ASSERT_EQ(next()["result"], array({0, 5}));
    setFault("drop", false);
    ASSERT_TRUE(touch("dora-ring"));
    ASSERT_TRUE(eventually([&] { return faultsSpent(); }, kCardBound)) << status();
    for (int left = 3; left >= 1; --left) {
        ASSERT_TRUE(touch("dora-ring"));
        ASSERT_EQ(next()["result"], array({0, left}));
    }
    ASSERT_TRUE(touch("dora-ring"));
    Json::Value m = next(milliseconds(20000));
    EXPECT_EQ(m["function"], "ackEnroll") << m;
    EXPECT_EQ(m["reterr"], 0) << m << keyLogTail();
    EXPECT_EQ(run("GetFingerUsed", array({"ud"}))["result"], array({"ud", array({4})}));

    // A broken progress frame ends the enrolment with an error; nothing was
    // written, and the next enrolment and login work.
    r = run("AddFinger", array({"ud", 6, "d six"}));
    ASSERT_EQ(r["result"], array({6})) << r;
    sendLater("WaitEnroll");
    ASSERT_TRUE(touch("dora-thumb"));
    ASSERT_EQ(next()["result"], array({0, 5}));
    setFault("bad-checksum", false);
    ASSERT_TRUE(touch("dora-thumb"));
    m = next();
    EXPECT_EQ(m["function"], "ackEnroll") << m;
    EXPECT_EQ(m["reterr"], 103) << m << keyLogTail();
    EXPECT_TRUE(faultsSpent()) << status();
    expectOthersServed();
    EXPECT_EQ(run("GetFingerUsed", array({"ud"}))["result"], array({"ud", array({4})}));
    EXPECT_NE(status().find("templates=2/"), std::string::npos) << status();
    m = enrolFinger(*c_, key(), "AddFinger", "ud", 6, "d six", "dora-thumb");
    EXPECT_EQ(m["reterr"], 0) << m << keyLogTail();
    EXPECT_EQ(run("GetFingerUsed", array({"ud"}))["result"], array({"ud", array({4, 6})}));
    expectLoginWorks();
}

TEST_F(FingerFault, UnplugWhileTheKeyWritesTheEnrolledFinger) {
    needUser();
    // The last capture ends the module's part; the key is pulled out right
    // after it created the finger's container, before its key pair.
    ASSERT_NO_FATAL_FAILURE(
        enrolUntilContainer("AddFinger", "uv", 8, "vee eight", "victor-ring", 600));
    ASSERT_TRUE(key().ctl("unplug"));
    Json::Value m = next();
    EXPECT_EQ(m["function"], "ackEnroll") << m;
    EXPECT_EQ(m["reterr"], 103) << "reported enrolled although the key was gone: " << m;
    ASSERT_TRUE(key().ctl("fault clear"));
    ASSERT_TRUE(key().ctl("plug"));
    expectOthersServed();
    // Reported failed: the finger is absent, with no container, key or
    // template of it left behind, once the key is back.
    Json::Value r = run("GetFingerUsed", array({"uv"}));
    EXPECT_EQ(r["result"], array({"uv", array({3})})) << r << keyLogTail();
    EXPECT_NE(status().find("templates=1/"), std::string::npos) << status();
    // The first finger is untouched, and finger 8 can be enrolled now.
    expectLoginWorks();
    Json::Value done = enrolFinger(*c_, key(), "AddFinger", "uv", 8, "vee eight", "victor-ring");
    EXPECT_EQ(done["reterr"], 0) << done << keyLogTail();
    EXPECT_EQ(run("GetFingerUsed", array({"uv"}))["result"], array({"uv", array({3, 8})}));
    EXPECT_NE(status().find("templates=2/"), std::string::npos) << status();
}

TEST_F(FingerFault, AKeyKilledWhileItWritesTheEnrolledFinger) {
    needUser();
    ASSERT_NO_FATAL_FAILURE(
        enrolUntilContainer("AddFinger", "uv", 9, "vee nine", "victor-little", 600));
    // The key saved the new container before it died; the daemon never
    // heard of it.
    key().kill();
    Json::Value m = next();
    EXPECT_EQ(m["function"], "ackEnroll") << m;
    EXPECT_EQ(m["reterr"], 103) << m;
    expectOthersServed();
    ASSERT_TRUE(key().restart()) << keyLogTail();
    Json::Value r = run("GetFingerUsed", array({"uv"}));
    EXPECT_EQ(r["result"], array({"uv", array({3})})) << r << keyLogTail();
    EXPECT_NE(status().find("templates=1/"), std::string::npos) << status();
    Json::Value done = enrolFinger(*c_, key(), "AddFinger", "uv", 9, "vee nine", "victor-little");
    EXPECT_EQ(done["reterr"], 0) << done << keyLogTail();
    EXPECT_EQ(run("GetFingerUsed", array({"uv"}))["result"], array({"uv", array({3, 9})}));
}

TEST_F(FingerFault, ABadReplyWhileTheKeyWritesANewUserTakesItBack) {
    needUser();
    // Every reply is held back a little; once the key has created the
    // finger's container, the reply after it - the key pair's - is broken.
    ASSERT_NO_FATAL_FAILURE(
        enrolUntilContainer("RegisterUser", "un", 1, "en one", "nina-thumb", 400));
    ASSERT_TRUE(key().ctl("fault bad-checksum"));
    Json::Value m = next();
    EXPECT_EQ(m["function"], "ackEnroll") << m;
    EXPECT_EQ(m["reterr"], 103) << m << keyLogTail();
    ASSERT_TRUE(key().ctl("fault clear"));
    expectOthersServed();
    // Neither the user nor its template stayed.
    EXPECT_EQ(userNames(), array({"uv"})) << keyLogTail();
    EXPECT_NE(status().find("templates=1/"), std::string::npos) << status();
    Json::Value done = enrolFinger(*c_, key(), "RegisterUser", "un", 1, "en one", "nina-thumb");
    EXPECT_EQ(done["reterr"], 0) << done << keyLogTail();
    EXPECT_EQ(userNames(), array({"uv", "un"}));
}

TEST_F(FingerFault, UnplugDuringALoginAndAPollingVerification) {
    needUser();
    sendLater("LoginFinger");
    ASSERT_TRUE(moduleIs("verifying")) << status();
    ASSERT_TRUE(key().ctl("unplug"));
    Json::Value m = next(kVerifyBound);
    EXPECT_EQ(m["function"], "ackVerify") << m;
    EXPECT_EQ(m["reterr"], 103) << m;
    ASSERT_TRUE(key().ctl("plug"));
    expectOthersServed();
    expectLoginWorks();

    Json::Value r = run("startVerify", array({}));
    ASSERT_EQ(r["reterr"], 0) << r;
    ASSERT_TRUE(moduleIs("verifying")) << status();
    EXPECT_EQ(run("LoopVerify")["reterr"], -63);
    ASSERT_TRUE(key().ctl("unplug"));
    // Each poll answers within a second; the outcome comes within the
    // daemon's verification wait.
    int polls = 0;
    do
        r = run("LoopVerify");
    while (r["reterr"] == -63 && ++polls < 40);
    EXPECT_NE(r["reterr"], -63) << "still pending long after the key went";
    EXPECT_EQ(r["reterr"], 103) << r;
    ASSERT_TRUE(key().ctl("plug"));
    r = run("startVerify", array({}));
    ASSERT_EQ(r["reterr"], 0) << r << keyLogTail();
    ASSERT_TRUE(moduleIs("verifying")) << status();
    ASSERT_TRUE(touch("victor-thumb"));
    polls = 0;
    do
        r = run("LoopVerify");
    while (r["reterr"] == -63 && ++polls < 10);
    EXPECT_EQ(r["reterr"], 0) << r << keyLogTail();
    expectOthersServed();
}

TEST_F(FingerFault, AKeyKilledDuringALogin) {
    needUser();
    const Json::Value before = userNames();
    sendLater("LoginFinger");
    ASSERT_TRUE(moduleIs("verifying")) << status();
    key().kill();
    Json::Value m = next(kVerifyBound);
    EXPECT_EQ(m["function"], "ackVerify") << m;
    EXPECT_EQ(m["reterr"], 103) << m;
    expectOthersServed();
    ASSERT_TRUE(key().restart()) << keyLogTail();
    expectLoginWorks();
    EXPECT_EQ(userNames(), before);
}

TEST_F(FingerFault, ACancelWhoseAnswerIsLost) {
    needUser();
    // The module's answer to the cancel is lost: the worker must not hold
    // the cancel, and with it every client, for the whole verification
    // wait; the cancel's own wait (the default transfer wait) ends it.
    const milliseconds bound(10000);
    sendLater("LoginFinger");
    ASSERT_TRUE(moduleIs("verifying")) << status();
    setFault("drop", false);
    sendLater("CancelVerify");
    Json::Value a = next(bound), b = next(bound);
    EXPECT_EQ(a["reterr"], 5) << a;
    EXPECT_EQ(b["reterr"], 5) << b;
    EXPECT_NE(a["function"], b["function"]) << "the answer and the pushed result: " << a << b;
    EXPECT_TRUE(faultsSpent()) << status();
    expectOthersServed();
    expectLoginWorks();

    // The same for an enrolment: the cancel is answered, the waiting page
    // gets its 5, and nothing of the user is written.
    Json::Value r = run("RegisterUser", array({"uc", 2, "c two"}));
    ASSERT_EQ(r["result"], array({6})) << r;
    sendLater("WaitEnroll");
    ASSERT_TRUE(touch("carl-index"));
    ASSERT_EQ(next()["result"], array({0, 5}));
    setFault("drop", false);
    sendLater("CancelEnroll");
    a = next(bound);
    b = next(bound);
    EXPECT_EQ(a["reterr"], 5) << a;
    EXPECT_EQ(b["reterr"], 5) << b;
    EXPECT_NE(a["function"], b["function"]) << "the answer and the pushed result: " << a << b;
    EXPECT_TRUE(faultsSpent()) << status();
    EXPECT_EQ(userNames(), array({"uv"}));

    // The same for a page that connects during a login (its handshake
    // reconnects the key, which ends the verification quietly) and for one
    // that leaves during a login (its close ends the verification).
    sendLater("LoginFinger");
    ASSERT_TRUE(moduleIs("verifying")) << status();
    setFault("drop", false);
    auto late = std::make_unique<WsClient>();
    ASSERT_TRUE(late->connect(s_->daemon->port(), "/websocket", bound)) << late->lastError();
    EXPECT_EQ(command(*late, "GetVersion", Json::Value(), bound)["result"], "1.0.1.32 MEBO");
    EXPECT_TRUE(faultsSpent()) << status();
    c_ = std::move(late);
    expectLoginWorks();

    sendLater("LoginFinger");
    ASSERT_TRUE(moduleIs("verifying")) << status();
    setFault("drop", false);
    c_.reset();
    late = std::make_unique<WsClient>();
    ASSERT_TRUE(late->connect(s_->daemon->port(), "/websocket", bound)) << late->lastError();
    EXPECT_EQ(command(*late, "GetVersion", Json::Value(), bound)["result"], "1.0.1.32 MEBO");
    c_ = std::move(late);
    expectLoginWorks();
}

TEST_F(FingerFault, ATakeBackTouchesOnlyTheKeyTheEnrolmentWroteTo) {
    needUser();
    ASSERT_NO_FATAL_FAILURE(
        enrolUntilContainer("AddFinger", "uv", 9, "vee nine", "victor-little", 600));
    key().kill();
    Json::Value m = next();
    EXPECT_EQ(m["reterr"], 103) << m;

    // In its place comes another key with a user of the same name holding
    // every finger-9 container name the enrolment may have written.
    namespace fs = std::filesystem;
    const std::string own = s_->dir.path + "/own.state";
    fs::copy_file(key().stateFile(), own, fs::copy_options::overwrite_existing);
    {
        keykit::VKey other(s_->dir.path + "/k2");
        ASSERT_TRUE(other.ready());
        ASSERT_EQ(keykit::provision(other, s_->dir.path + "/ca2"), 0);
        keykit::User uv{"uv", {{3, 1, "vee"}}};
        for (int t = 1; t <= 10; ++t)
            uv.fingers.push_back({9, t, "other key"});
        ASSERT_EQ(keykit::makeRecords(other.socket(), {uv}, false), "");
        other.kill();
        fs::copy_file(other.stateFile(), key().stateFile(), fs::copy_options::overwrite_existing);
    }
    // The key's log runs on across restarts: deletions are counted from here.
    const size_t conDeletes = occurrences(key().log(), ": 80 48 ");
    const size_t appDeletes = occurrences(key().log(), ": 80 24 ");
    ASSERT_TRUE(key().restart()) << keyLogTail();
    Json::Value r = run("GetFingerUsed", array({"uv"}));
    EXPECT_EQ(r["reterr"], 0) << r;
    EXPECT_EQ(r["result"][1][1], 9) << "the other key lost a finger: " << r << keyLogTail();
    EXPECT_EQ(occurrences(key().log(), ": 80 48 "), conDeletes) << keyLogTail();
    EXPECT_EQ(occurrences(key().log(), ": 80 24 "), appDeletes) << keyLogTail();
    expectOthersServed();

    // Back comes the enrolment's own key: now the half-written finger goes.
    key().kill();
    fs::copy_file(own, key().stateFile(), fs::copy_options::overwrite_existing);
    ASSERT_TRUE(key().restart()) << keyLogTail();
    r = run("GetFingerUsed", array({"uv"}));
    EXPECT_EQ(r["result"], array({"uv", array({3})})) << r << keyLogTail();
    EXPECT_NE(status().find("templates=1/"), std::string::npos) << status();
}
