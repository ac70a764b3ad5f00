// Who may use the key: a site the user has not allowed reaches nothing until
// a touch on the key allows it; logins and pushed results belong to the site
// that made them; a page can never lock the key; local programs of another
// user are refused; the desktop is told which site asks.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/integration/keykit/fixture.h"

using namespace keykit;
using fpkit::WsClient;
using std::chrono::milliseconds;

namespace {

const char kEvil[] = "https://evil.example";
const char kPin[] = "314159";
const unsigned kBaseApp = 0x3F00;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A daemon that asks for a touch for at most `waitMs`, keeps the user's
// sites under `config` and reads no administrator's file of the machine. A
// site is asked again `askAgainMs` after a refusal, and questions follow
// each other after short pauses.
fpkit::Daemon::Config siteConfig(const std::string& config, int waitMs,
                                 std::vector<std::string> args = {}, int askAgainMs = 100) {
    fpkit::Daemon::Config c;
    c.args = std::move(args);
    c.env = {{"XDG_CONFIG_HOME", config},
             {"FPKEYD_APPROVAL_WAIT_MS", std::to_string(waitMs)},
             {"FPKEYD_ASK_AGAIN_MS", std::to_string(askAgainMs)},
             {"FPKEYD_QUESTION_PAUSE_MS", "100"},
             {"FPKEYD_ADMIN_ORIGINS", config + "/no-admin-file"}};
    return c;
}

// A touch as a person gives it: after reading the question (a touch sooner
// than that is not taken as an answer).
bool answerTouch(const VKey& key, const std::string& finger) {
    std::this_thread::sleep_for(milliseconds(700));
    return key.ctl("touch " + finger);
}

// The pushed "ackApprove" asking for a touch, naming `site`.
void expectAsked(WsClient& c, const std::string& site) {
    Json::Value m = nextMessage(c);
    EXPECT_EQ(m["function"], "ackApprove") << m;
    EXPECT_EQ(m["result"], array({site, "touch"})) << m;
}

}  // namespace

// The default settings against a hostile page: nothing it sends reaches the
// key until the user touches it; then the site is remembered, and revoked it
// is asked again.
TEST(SiteApproval, UnallowedSiteReachesNothingUntilTouched) {
    TempDir config;
    KeyStage s({}, false, {}, siteConfig(config.path, 1500));
    ASSERT_EQ(s.error, "");
    const unsigned short port = s.daemon->port();
    const int tries = userPinTriesLeft(s.key->stateFile(), kBaseApp);
    WsClient local;
    ASSERT_TRUE(local.connect(port));
    const Json::Value users = command(local, "GetUserList", Json::Value());
    const std::string facPub = command(local, "GetFacPubKey", Json::Value())["result"].asString();

    WsClient evil;
    ASSERT_TRUE(evil.connectAs(port, kEvil));
    // What touches nothing answers at once.
    EXPECT_EQ(command(evil, "GetVersion", Json::Value())["result"], "1.0.1.32 MEBO");
    // The first command waits for the user, who does not touch the key.
    ASSERT_TRUE(evil.sendText(requestText("DeleteUser", array({}))));
    expectAsked(evil, kEvil);
    Json::Value m = nextMessage(evil);
    EXPECT_EQ(m["function"], "ackApprove") << m;
    EXPECT_EQ(m["reterr"], 130) << m;
    m = nextMessage(evil);
    EXPECT_EQ(m["function"], "DeleteUser") << m;
    EXPECT_EQ(m["reterr"], 130) << m;
    EXPECT_EQ(m["result"], "site not allowed") << m;
    // Refused: the rest is answered at once, and never by the key.
    EXPECT_EQ(command(evil, "FactorySign", array({"pay 1000"}))["reterr"], 130);
    EXPECT_EQ(command(evil, "Sm2Decrypt", array({std::string(200, 'A')}))["reterr"], 130);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(command(evil, "rkLogin", array({"", "", "000000"}))["reterr"], 130);
    EXPECT_EQ(command(local, "GetUserList", Json::Value()), users);
    EXPECT_EQ(userPinTriesLeft(s.key->stateFile(), kBaseApp), tries);
    EXPECT_EQ(command(local, "rkLogin", array({"", "", kPin}))["reterr"], 0);

    // Once its time of not being asked is over (0.1 s here), a new page of
    // the site is asked again; a touch (any finger: the key holds none)
    // allows it, and its command runs.
    std::this_thread::sleep_for(milliseconds(200));
    WsClient again;
    ASSERT_TRUE(again.connectAs(port, kEvil));
    ASSERT_TRUE(again.sendText(requestText("FactorySign", array({"pay 1000"}))));
    expectAsked(again, kEvil);
    ASSERT_TRUE(answerTouch(*s.key, "someone"));
    m = nextMessage(again);
    EXPECT_EQ(m["result"], array({kEvil, "allowed"})) << m;
    m = nextMessage(again);
    ASSERT_EQ(m["reterr"], 0) << m;
    EXPECT_TRUE(
        sm2VerifyDer(fromHex(facPub), bytesOf("pay 1000"), fromHex(m["result"].asString())));
    const std::string file = config.path + "/fpkeyd/origins";
    EXPECT_NE(readFile(file).find(std::string(kEvil) + "\n"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nothing the touch took was enrolled.
    EXPECT_EQ(command(local, "GetUserList", Json::Value()), users);
    // Remembered: another page of the site is not asked.
    WsClient third;
    ASSERT_TRUE(third.connectAs(port, kEvil));
    EXPECT_EQ(command(third, "GetClientID", Json::Value())["reterr"], 0);

    // Revoked from the command line: asked again.
    const std::string revoke = "XDG_CONFIG_HOME='" + config.path + "' '" + fpkit::daemonPath() +
                               "' --revoke-site https://EVIL.example:443 >/dev/null";
    ASSERT_EQ(system(revoke.c_str()), 0);
    EXPECT_EQ(readFile(file).find(kEvil), std::string::npos);
    WsClient fourth;
    ASSERT_TRUE(fourth.connectAs(port, kEvil));
    ASSERT_TRUE(fourth.sendText(requestText("GetClientID", Json::Value())));
    expectAsked(fourth, kEvil);
    // A page of the opaque origin is asked on its own, and never remembered.
    WsClient opaque;
    ASSERT_TRUE(opaque.connectAs(port, "null"));
    ASSERT_TRUE(opaque.sendText(requestText("GetClientID", Json::Value())));
    EXPECT_EQ(nextMessage(fourth)["reterr"], 130);  // the refusal of the touch not given
    EXPECT_EQ(nextMessage(fourth)["reterr"], 130);
    expectAsked(opaque, "null");
    ASSERT_TRUE(answerTouch(*s.key, "someone"));
    EXPECT_EQ(nextMessage(opaque)["result"], array({"null", "allowed"}));
    EXPECT_EQ(nextMessage(opaque)["reterr"], 0);
    EXPECT_EQ(readFile(file).find("null"), std::string::npos);
    EXPECT_TRUE(s.stop());
}

// Two allowed sites: neither uses the other's finger login or receives its
// pushed result; a key with enrolled fingers allows a new site only for one
// of them; a page's wrong PINs stop before the key could lock.
TEST(SiteApproval, LoginsAndResultsBelongToTheirSite) {
    TempDir config;
    const std::string a = "https://a.example";
    const std::string b = "https://b.example";
    fpkit::Daemon::Config c =
        siteConfig(config.path, 3000, {"--allow-origin", a, "--allow-origin", b});
    c.env.push_back({"FPKEYD_LOGIN_OUTLIVES_MS", "1000"});
    KeyStage s({}, false, {}, c);
    ASSERT_EQ(s.error, "");
    const unsigned short port = s.daemon->port();
    auto pa = std::make_unique<WsClient>();
    ASSERT_TRUE(pa->connectAs(port, a));
    {
        WsClient pb;
        ASSERT_TRUE(pb.connectAs(port, b));
        Json::Value done =
            enrolFinger(*pa, *s.key, "RegisterUser", "alice", 1, "thumb", "alice-thumb");
        ASSERT_EQ(done["reterr"], 0) << done;

        ASSERT_TRUE(pa->sendText(requestText("LoginFinger", Json::Value())));
        ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
        Json::Value m = nextMessage(*pa, milliseconds(20000));
        EXPECT_EQ(m["function"], "ackVerify") << m;
        EXPECT_EQ(m["reterr"], 0) << m;
        // Had b's page been sent a's result, it would come before this reply.
        m = command(pb, "FingerSign", array({"pay 1000"}));
        EXPECT_EQ(m["function"], "FingerSign") << m;
        EXPECT_EQ(m["reterr"], 2) << m;
        EXPECT_EQ(command(*pa, "FingerSign", array({"pay 1000"}))["reterr"], 0);
    }
    // The other site's page closing leaves the login where it is.
    EXPECT_EQ(command(*pa, "FingerSign", array({"pay 2"}))["reterr"], 0);
    // So does the site's page moving to another of its pages; but once the
    // site has had no page open for the login's time (1 s here), a page of
    // it that opens later finds the login gone.
    pa = std::make_unique<WsClient>();
    ASSERT_TRUE(pa->connectAs(port, a));
    EXPECT_EQ(command(*pa, "FingerSign", array({"pay 4"}))["reterr"], 0);
    pa.reset();
    std::this_thread::sleep_for(milliseconds(1500));
    pa = std::make_unique<WsClient>();
    ASSERT_TRUE(pa->connectAs(port, a));
    EXPECT_EQ(command(*pa, "FingerSign", array({"pay 5"}))["reterr"], 2);

    // A new site: a finger the key does not know allows nothing; an enrolled one does.
    WsClient pc;
    ASSERT_TRUE(pc.connectAs(port, "https://c.example"));
    ASSERT_TRUE(pc.sendText(requestText("GetClientID", Json::Value())));
    expectAsked(pc, "https://c.example");
    ASSERT_TRUE(answerTouch(*s.key, "mallory"));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_NE(s.key->ctlReply("status").find("module=verifying"), std::string::npos)
        << "a finger the key does not know ended the wait for the touch";
    ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
    EXPECT_EQ(nextMessage(pc)["result"], array({"https://c.example", "allowed"}));
    EXPECT_EQ(nextMessage(pc)["reterr"], 0);
    EXPECT_EQ(command(pc, "FingerSign", array({"pay 3"}))["reterr"], 2);

    // Wrong PINs: three per site, then refused unheard; and the key's last
    // two tries are never spent by a page.
    const int tries = userPinTriesLeft(s.key->stateFile(), kBaseApp);
    ASSERT_GE(tries, 6);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(command(*pa, "rkLogin", array({"", "", "000000"}))["reterr"], 107);
    EXPECT_EQ(command(*pa, "rkLogin", array({"", "", kPin}))["reterr"], 131);
    EXPECT_EQ(userPinTriesLeft(s.key->stateFile(), kBaseApp), tries - 3);
    WsClient local;
    ASSERT_TRUE(local.connect(port));
    while (userPinTriesLeft(s.key->stateFile(), kBaseApp) > 2)
        ASSERT_EQ(command(local, "rkLogin", array({"", "", "000000"}))["reterr"], 107);
    EXPECT_EQ(command(pc, "rkLogin", array({"", "", kPin}))["reterr"], 132);
    EXPECT_EQ(userPinTriesLeft(s.key->stateFile(), kBaseApp), 2);
    EXPECT_EQ(command(local, "rkLogin", array({"", "", kPin}))["reterr"], 0);
    EXPECT_EQ(userPinTriesLeft(s.key->stateFile(), kBaseApp), tries);

    // A new site's finger login ends the previous one's at once: neither
    // signs with it any more, though the new one was never touched for.
    ASSERT_TRUE(pa->sendText(requestText("LoginFinger", Json::Value())));
    ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
    EXPECT_EQ(nextMessage(*pa)["reterr"], 0);
    ASSERT_EQ(command(*pa, "FingerSign", array({"pay 6"}))["reterr"], 0);
    ASSERT_TRUE(pc.sendText(requestText("LoginFinger", Json::Value())));
    ASSERT_TRUE(pc.sendText(requestText("CancelVerify", Json::Value())));
    Json::Value m;
    while (!(m = nextMessage(pc)).isNull() && m["function"] != "CancelVerify") {
    }
    EXPECT_EQ(command(pc, "FingerSign", array({"pay 7"}))["reterr"], 2);
    EXPECT_EQ(command(*pa, "FingerSign", array({"pay 8"}))["reterr"], 2);
    EXPECT_TRUE(s.stop());
}

// Each touch does what the user was shown and each close ends only its own
// site's: another site's commands leave a running login alone, a page's
// fingerprint operation keeps a question waiting, a second touch right
// after a login allows nothing, and opaque pages are sites of their own.
TEST(SiteApproval, TouchesAndClosesStayWithTheirSite) {
    TempDir config;
    const std::string a = "https://a.example", b = "https://b.example", c = "https://c.example";
    KeyStage s({}, false, {},
               siteConfig(config.path, 8000, {"--allow-origin", a, "--allow-origin", b}));
    ASSERT_EQ(s.error, "");
    const unsigned short port = s.daemon->port();
    auto pa = std::make_unique<WsClient>();
    ASSERT_TRUE(pa->connectAs(port, a));
    WsClient pb;
    ASSERT_TRUE(pb.connectAs(port, b));
    const Json::Value enrolled =
        enrolFinger(*pa, *s.key, "RegisterUser", "alice", 1, "thumb", "alice-thumb");
    ASSERT_EQ(enrolled["reterr"], 0) << enrolled;
    // A page cannot have the device key sign a text shaped like the key's
    // enrolment record, nor FingerSign one of the daemon's own statements.
    const std::string serial = command(*pa, "GetDevInfo", array({}))["result"][0].asString();
    const std::string record =
        enrolled["result"][5].asString() + enrolled["result"][3].asString() + serial;
    EXPECT_EQ(command(*pa, "DeviceSign", array({record}))["reterr"], 104) << record;
    EXPECT_EQ(command(*pa, "DeviceSign", array({record + "x"}))["reterr"], 0);

    // An assertion: the page and the user are shown the site and the text, a
    // fresh touch signs the exact clientData, which names the connection's
    // site; a touch before the question, or none, signs nothing.
    const std::string challenge = "Zm9yLXRoZS1zaG9wLW9ubHk";
    const auto clientData = [&](const std::string& origin, const std::string& text) {
        return "{\"type\":\"fpkey.assert\",\"origin\":\"" + origin + "\",\"challenge\":\"" +
               challenge + "\",\"text\":\"" + text +
               "\",\"user\":\"alice\",\"finger\":1,\"record\":\"" +
               enrolled["result"][3].asString() + "\",\"serial\":\"" + serial +
               "\",\"shown\":\"page\"}";
    };
    for (const std::string& origin : {a, b}) {
        WsClient& page = origin == a ? *pa : pb;
        ASSERT_TRUE(
            page.sendText(requestText("FingerAssert", array({challenge, "Pay 100 to Shop"}))));
        EXPECT_EQ(nextMessage(page)["result"], array({origin, "touch", "Pay 100 to Shop"}));
        ASSERT_TRUE(answerTouch(*s.key, "alice-thumb"));
        const Json::Value asserted = nextMessage(page);
        ASSERT_EQ(asserted["reterr"], 0) << asserted;
        EXPECT_EQ(asserted["result"][0], clientData(origin, "Pay 100 to Shop"));
        EXPECT_EQ(asserted["result"][2], enrolled["result"][5]);
        EXPECT_TRUE(sm2VerifyDer(fromHex(enrolled["result"][5].asString()),
                                 bytesOf(asserted["result"][0].asString()),
                                 fromHex(asserted["result"][1].asString())));
    }
    ASSERT_TRUE(pb.sendText(requestText("FingerAssert", array({challenge, ""}))));
    ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
    EXPECT_EQ(nextMessage(pb)["result"], array({b, "touch", ""}));
    const Json::Value unconfirmed = nextMessage(pb, milliseconds(15000));
    EXPECT_EQ(unconfirmed["function"], "FingerAssert") << unconfirmed;
    EXPECT_EQ(unconfirmed["reterr"], 134) << unconfirmed;
    EXPECT_EQ(command(pb, "FingerAssert", array({"short", ""}))["reterr"], 104);
    EXPECT_EQ(command(pb, "FingerAssert", array({challenge, "line\nbreak"}))["reterr"], 104);
    EXPECT_EQ(command(pb, "FingerSign", array({clientData(b, "")}))["reterr"], 104);

    // A PIN login outlives another site's page closing and its own page moving.
    ASSERT_EQ(command(*pa, "rkLogin", array({"", "", kPin}))["reterr"], 0);
    {
        WsClient other;
        ASSERT_TRUE(other.connectAs(port, b));
        EXPECT_EQ(command(other, "GetVersion", Json::Value())["reterr"], 0);
    }
    auto moved = std::make_unique<WsClient>();
    ASSERT_TRUE(moved->connectAs(port, a));
    pa = std::move(moved);
    EXPECT_EQ(command(*pa, "rkEnumContainer", Json::Value())["reterr"], 0);
    // Another site's cancelled login, then a login of its own, finds nothing
    // of a's PIN login left on the key.
    const auto replyTo = [](WsClient& ws, const char* fn) {
        Json::Value m;
        while (!(m = nextMessage(ws)).isNull() && m["function"] != fn) {
        }
        return m;
    };
    ASSERT_TRUE(pb.sendText(requestText("LoginFinger", Json::Value())));
    ASSERT_TRUE(pb.sendText(requestText("CancelVerify", Json::Value())));
    EXPECT_EQ(replyTo(pb, "CancelVerify")["reterr"], 5);
    EXPECT_EQ(command(pb, "startVerify", array({}))["reterr"], 0);
    ASSERT_TRUE(s.key->ctl("touch mallory"));
    Json::Value polled;
    for (int i = 0; i < 20 && (polled = command(pb, "LoopVerify", array({})))["reterr"] == -63;
         ++i) {
    }
    EXPECT_NE(polled["reterr"], 0) << polled;
    EXPECT_NE(command(pb, "SignDataNormal", array({"axDevCot", "eA=="}))["reterr"], 0);
    EXPECT_EQ(command(*pa, "rkLogin", array({"", "", kPin}))["reterr"], 0);

    // a's login waits for a finger; b's commands never end it.
    ASSERT_TRUE(pa->sendText(requestText("LoginFinger", Json::Value())));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(command(pb, "GetVersion", Json::Value())["reterr"], 0);
    EXPECT_EQ(command(pb, "NoSuchFunction", Json::Value())["reterr"], 164);
    EXPECT_EQ(command(pb, "GetClientID", Json::Value())["reterr"], 0);
    Json::Value m = command(pb, "LoginFinger", Json::Value());
    EXPECT_EQ(m["reterr"], 133) << m;
    EXPECT_EQ(m["result"], "the key is busy with another site") << m;
    EXPECT_NE(s.key->ctlReply("status").find("module=verifying"), std::string::npos);

    // c asks meanwhile: told that it waits, not to touch. Two touches 0.15 s
    // apart: the first logs a in, the second is no answer to c's question,
    // which is shown afresh and taken by a later touch.
    WsClient pc;
    ASSERT_TRUE(pc.connectAs(port, c));
    ASSERT_TRUE(pc.sendText(requestText("GetClientID", Json::Value())));
    m = nextMessage(pc);
    EXPECT_EQ(m["result"], array({c, "wait"})) << m;
    ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
    std::this_thread::sleep_for(milliseconds(150));
    ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
    m = nextMessage(*pa);
    EXPECT_EQ(m["function"], "ackVerify") << m;
    EXPECT_EQ(m["reterr"], 0) << m;
    expectAsked(pc, c);
    // While the touch is c's, no page starts a login it would go to.
    EXPECT_EQ(command(pb, "LoginFinger", Json::Value())["reterr"], 133);
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_NE(s.key->ctlReply("status").find("module=verifying"), std::string::npos)
        << "a touch given before the question was shown allowed the site";
    ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
    EXPECT_EQ(nextMessage(pc)["result"], array({c, "allowed"}));
    EXPECT_EQ(nextMessage(pc)["reterr"], 0);

    // Two opaque pages: two questions, two touches, and neither uses the
    // other's finger login.
    WsClient n1, n2;
    ASSERT_TRUE(n1.connectAs(port, "null"));
    ASSERT_TRUE(n2.connectAs(port, "null"));
    ASSERT_TRUE(n1.sendText(requestText("GetClientID", Json::Value())));
    expectAsked(n1, "null");
    ASSERT_TRUE(n2.sendText(requestText("GetClientID", Json::Value())));
    ASSERT_TRUE(answerTouch(*s.key, "alice-thumb"));
    EXPECT_EQ(nextMessage(n1)["result"], array({"null", "allowed"}));
    EXPECT_EQ(nextMessage(n1)["reterr"], 0);
    expectAsked(n2, "null");
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_NE(s.key->ctlReply("status").find("module=verifying"), std::string::npos)
        << "one touch allowed two opaque pages";
    ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
    EXPECT_EQ(nextMessage(n2)["result"], array({"null", "allowed"}));
    EXPECT_EQ(nextMessage(n2)["reterr"], 0);
    ASSERT_TRUE(n1.sendText(requestText("LoginFinger", Json::Value())));
    ASSERT_TRUE(s.key->ctl("touch alice-thumb"));
    EXPECT_EQ(nextMessage(n1)["reterr"], 0);
    EXPECT_EQ(command(n2, "FingerSign", array({"pay 1"}))["reterr"], 2);
    EXPECT_EQ(command(n1, "FingerSign", array({"pay 1"}))["reterr"], 0);

    // A name longer than the key keeps is cut before a whole character, and
    // is the same name wherever it comes back.
    std::string accented = "x";
    for (int i = 0; i < 20; ++i)
        accented += "\xc3\xa9";
    struct Long {
        std::string name, kept, finger;
    };
    for (const Long& l : {Long{accented, accented.substr(0, 31), "accented-thumb"},
                          Long{std::string(41, 'y'), std::string(32, 'y'), "ascii-thumb"}}) {
        const std::string &longName = l.name, &kept = l.kept, &finger = l.finger;
        const Json::Value longEnrolled =
            enrolFinger(*pa, *s.key, "RegisterUser", longName, 2, "long", finger);
        ASSERT_EQ(longEnrolled["reterr"], 0) << longEnrolled;
        EXPECT_EQ(longEnrolled["result"][7], kept);
        const Json::Value listed = command(*pa, "GetUserList", Json::Value())["result"][1];
        EXPECT_NE(std::find(listed.begin(), listed.end(), Json::Value(kept)), listed.end())
            << listed;
        ASSERT_TRUE(pa->sendText(requestText("LoginFinger", Json::Value())));
        ASSERT_TRUE(s.key->ctl("touch " + finger));
        const Json::Value login = nextMessage(*pa);
        EXPECT_EQ(login["result"][1], kept) << login;
    }

    // A page's act that changes the key runs only once the user confirmed
    // it by a touch; a local program is not asked.
    const Json::Value users = command(*pa, "GetUserList", Json::Value());
    ASSERT_TRUE(pa->sendText(requestText("DeleteUser", array({}))));
    EXPECT_EQ(nextMessage(*pa)["result"], array({a, "touch", "delete every user"}));
    const Json::Value refused = nextMessage(*pa, milliseconds(15000));
    EXPECT_EQ(refused["function"], "DeleteUser") << refused;
    EXPECT_EQ(refused["reterr"], 134) << refused;
    EXPECT_EQ(command(*pa, "GetUserList", Json::Value()), users);
    const std::string kept = accented.substr(0, 31);
    ASSERT_TRUE(pa->sendText(requestText("DeleteUser", array({kept}))));
    EXPECT_EQ(nextMessage(*pa)["result"], array({a, "touch", "delete the user " + kept}));
    ASSERT_TRUE(answerTouch(*s.key, "alice-thumb"));
    EXPECT_EQ(nextMessage(*pa)["reterr"], 0);
    EXPECT_EQ(command(*pa, "GetUserList", Json::Value())["result"],
              array({2, array({"alice", std::string(32, 'y')})}));
    WsClient local;
    ASSERT_TRUE(local.connect(port));
    EXPECT_EQ(command(local, "DeleteUser", array({}))["function"], "DeleteUser");
    EXPECT_EQ(command(local, "GetUserList", Json::Value())["result"], array({0, array({})}));
    EXPECT_TRUE(s.stop());
}

// Floods and stalls: an allowed page's module commands pausing a question's
// touch over and over never hold up other clients; a looping page and a
// crowd of sites raise only a few questions; pages of sites not yet allowed
// get only a share of the connections and memory, and their closes are seen.
TEST(SiteApproval, FloodsAndStallsLeaveTheKeyToOthers) {
    TempDir config;
    const std::string a = "https://a.example";
    KeyStage s({}, false, {}, siteConfig(config.path, 25000, {"--allow-origin", a}, 1000));
    ASSERT_EQ(s.error, "");
    const unsigned short port = s.daemon->port();
    WsClient local, pa;
    ASSERT_TRUE(local.connect(port));
    ASSERT_TRUE(pa.connectAs(port, a));
    int shown = 0;

    {
        WsClient asking;
        ASSERT_TRUE(asking.connectAs(port, "https://p.example"));
        ASSERT_TRUE(asking.sendText(requestText("GetClientID", Json::Value())));
        expectAsked(asking, "https://p.example");
        ++shown;
        using Clock = std::chrono::steady_clock;
        Clock::duration worst{};
        for (const auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
            const auto t0 = Clock::now();
            ASSERT_EQ(command(pa, "GetUserList", Json::Value())["function"], "GetUserList");
            const auto t1 = Clock::now();
            ASSERT_EQ(command(local, "GetVersion", Json::Value())["reterr"], 0);
            worst = std::max({worst, t1 - t0, Clock::now() - t1});
        }
        EXPECT_LE(std::chrono::duration_cast<milliseconds>(worst).count(), 500);
    }

    // One page asking in a loop (asked again after 1 s here, then 2 s).
    int looped = 0;
    for (const auto end = std::chrono::steady_clock::now() + milliseconds(3500);
         std::chrono::steady_clock::now() < end;) {
        WsClient e;
        ASSERT_TRUE(e.connectAs(port, kEvil));
        ASSERT_TRUE(e.sendText(requestText("GetClientID", Json::Value())));
        const Json::Value m = nextMessage(e);
        if (m["reterr"] == 0) {
            EXPECT_EQ(m["result"], array({kEvil, "touch"})) << m;
            ++looped;
        } else {
            EXPECT_EQ(m["reterr"], 130) << m;
            EXPECT_EQ(nextMessage(e)["reterr"], 130);
        }
    }
    EXPECT_GE(looped, 2);
    EXPECT_LE(looped, 3);
    shown += looped;
    // Opaque pages back off together.
    {
        WsClient n;
        ASSERT_TRUE(n.connectAs(port, "null"));
        ASSERT_TRUE(n.sendText(requestText("GetClientID", Json::Value())));
        expectAsked(n, "null");
        ++shown;
    }
    {
        WsClient n2;
        ASSERT_TRUE(n2.connectAs(port, "null"));
        EXPECT_EQ(command(n2, "GetClientID", Json::Value())["reterr"], 130);
    }
    // A crowd of sites: no more than five questions a minute in all.
    for (int i = 0; i < 6; ++i) {
        WsClient q;
        ASSERT_TRUE(q.connectAs(port, "https://q" + std::to_string(i) + ".example"));
        ASSERT_TRUE(q.sendText(requestText("GetClientID", Json::Value())));
        if (nextMessage(q, milliseconds(1500)).isNull()) break;
        ++shown;
    }
    EXPECT_EQ(shown, 5);

    // Connections of sites not yet allowed: 32 a site, 64 in all, each
    // holding a command; meanwhile the others connect.
    const auto descriptors = [&] {
        int n = 0;
        std::unique_ptr<DIR, int (*)(DIR*)> dir(
            opendir(("/proc/" + std::to_string(s.daemon->pid()) + "/fd").c_str()), closedir);
        while (dir && readdir(dir.get()))
            ++n;
        return n;
    };
    const int idle = descriptors();
    const std::string big = requestText("GetClientID", array({std::string(60000, 'x')}));
    std::vector<std::unique_ptr<WsClient>> held;
    std::vector<int> admitted;
    for (const char* site : {"https://r.example", "https://s.example", "https://t.example"}) {
        admitted.push_back(0);
        for (int i = 0; i < 40; ++i) {
            auto w = std::make_unique<WsClient>();
            if (!w->connectAs(port, site)) continue;
            ASSERT_TRUE(w->sendText(big));
            held.push_back(std::move(w));
            ++admitted.back();
        }
    }
    EXPECT_EQ(admitted, std::vector<int>({32, 32, 0}));
    EXPECT_EQ(
        fpkit::rawHttp(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                 "\r\nOrigin: https://u.example\r\nUpgrade: websocket\r\n"
                                 "Connection: Upgrade\r\nSec-WebSocket-Key: "
                                 "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
            .compare(0, 13, "HTTP/1.1 503 "),
        0);
    WsClient local2, pa2;
    ASSERT_TRUE(local2.connect(port));
    EXPECT_EQ(command(local2, "GetClientID", Json::Value())["reterr"], 0);
    ASSERT_TRUE(pa2.connectAs(port, a));
    EXPECT_EQ(command(pa2, "GetClientID", Json::Value())["reterr"], 0);
    // A page holding more than 16 commands is closed.
    WsClient& greedy = *held.back();
    for (int i = 0; i < 16 && greedy.sendText(requestText("GetClientID", Json::Value())); ++i) {
    }
    EXPECT_FALSE(greedy.recv(milliseconds(3000)));
    EXPECT_EQ(greedy.lastError().find("timed out"), std::string::npos) << greedy.lastError();
    // Gone: every descriptor comes back at once, not one per question.
    held.clear();
    int now = descriptors();
    for (int i = 0; i < 50 && now > idle + 2; ++i) {
        std::this_thread::sleep_for(milliseconds(100));
        now = descriptors();
    }
    EXPECT_LE(now, idle + 2);
    EXPECT_TRUE(s.stop());
}

// Another user's program is refused, with or without the Origin of a site
// the user allowed; the daemon's own user is served in every mode.
TEST(SiteApproval, LocalProgramsOfOtherUsersAreRefused) {
    TempDir config;
    for (const char* mode : {"ask", "list-only", "any"}) {
        std::ofstream(config.path + "/admin") << "mode " << mode << "\n";
        fpkit::Daemon::Config c =
            siteConfig(config.path, 1000, {"--allow-origin", "https://bank.example"});
        c.env.push_back({"FPKEYD_ADMIN_ORIGINS", config.path + "/admin"});
        fpkit::Daemon d(c);
        WsClient own;
        ASSERT_TRUE(own.connect(d.port())) << mode;
        EXPECT_EQ(command(own, "GetVersion", Json::Value())["reterr"], 0) << mode;
        if (geteuid() != 0) continue;
        const passwd* nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        const std::string request =
            "GET /websocket HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(d.port()) +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n";
        int pipeFd[2];
        ASSERT_EQ(pipe(pipeFd), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(pipeFd[0]);
            if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(3);
            bool refused = true;
            for (const std::string& origin : {std::string(), std::string("https://bank.example")}) {
                std::string r = request;
                if (!origin.empty()) r.insert(r.size() - 2, "Origin: " + origin + "\r\n");
                const std::string answer = fpkit::rawHttp(d.port(), r);
                refused = refused && answer.compare(0, 13, "HTTP/1.1 403 ") == 0 &&
                          answer.find("local user not allowed") != std::string::npos;
            }
            // Then more idle connections than the daemon has slots, held.
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(d.port());
            at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (int i = 0; i < 300; ++i) {
                const int fd = socket(AF_INET, SOCK_STREAM, 0);
                if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) break;
            }
            const char verdict = refused ? 'y' : 'n';
            if (write(pipeFd[1], &verdict, 1) != 1) _exit(4);
            sleep(20);
            _exit(0);
        }
        close(pipeFd[1]);
        char verdict = 0;
        EXPECT_EQ(read(pipeFd[0], &verdict, 1), 1);
        close(pipeFd[0]);
        EXPECT_EQ(verdict, 'y') << mode << ": another user's program was not refused";
        // The daemon's own user is served all the same.
        std::this_thread::sleep_for(milliseconds(200));
        WsClient again;
        EXPECT_TRUE(again.connect(d.port())) << mode;
        EXPECT_EQ(command(again, "GetVersion", Json::Value())["reterr"], 0) << mode;
        kill(child, SIGKILL);
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
    }
    if (geteuid() != 0) GTEST_SKIP() << "another user's program needs root to be played";
}

// The desktop notification names the site, on the user's session bus.
TEST(SiteApproval, DesktopNotificationNamesTheSite) {
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
    TempDir dir;
    const std::string bus = "unix:path=" + dir.path + "/bus";
    const std::string conf = dir.path + "/bus.conf";
    std::ofstream(conf) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                           "Configuration 1.0//EN\" "
                           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type><listen>"
                        << bus
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow "
                           "eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    const pid_t busPid = fork();
    if (busPid == 0) {
        execl("/usr/bin/dbus-daemon", "dbus-daemon", "--nofork", "--config-file", conf.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string seen = dir.path + "/seen";
    pid_t service = -1;
    for (int i = 0; i < 100 && access((dir.path + "/bus").c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(milliseconds(50));
    service = fork();
    if (service == 0) {
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
        execl(FPK_FAKE_NOTIFYD, "fake-notifyd", seen.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && readFile(seen).find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(milliseconds(50));
    {
        fpkit::Daemon::Config c =
            siteConfig(dir.path, 1000, {"--allow-origin", "https://shop.example"});
        c.env.push_back({"DBUS_SESSION_BUS_ADDRESS", bus});
        KeyStage s({}, false, {}, c);
        ASSERT_EQ(s.error, "");
        WsClient page;
        ASSERT_TRUE(page.connectAs(s.daemon->port(), kEvil));
        ASSERT_TRUE(page.sendText(requestText("GetClientID", Json::Value())));
        expectAsked(page, kEvil);
        std::string text;
        for (int i = 0; i < 100 && text.find("Notify") == std::string::npos; ++i) {
            std::this_thread::sleep_for(milliseconds(50));
            text = readFile(seen);
        }
        EXPECT_NE(text.find("Notify fpkeyd|Allow https://evil.example to use your security key?"),
                  std::string::npos)
            << text;
        EXPECT_EQ(nextMessage(page)["reterr"], 130);
        // Withdrawn once the question is settled.
        for (int i = 0; i < 100 && text.find("CloseNotification") == std::string::npos; ++i) {
            std::this_thread::sleep_for(milliseconds(50));
            text = readFile(seen);
        }
        EXPECT_NE(text.find("CloseNotification"), std::string::npos) << text;
        // An allowed page's act is shown with its site and its text.
        WsClient shop;
        ASSERT_TRUE(shop.connectAs(s.daemon->port(), "https://shop.example"));
        ASSERT_TRUE(shop.sendText(requestText("DeleteUser", array({"<b>bob</b>"}))));
        EXPECT_EQ(nextMessage(shop)["function"], "ackConfirm");
        const auto expectShown = [&](const std::string& shown) {
            for (int i = 0; i < 100 && text.find(shown) == std::string::npos; ++i) {
                std::this_thread::sleep_for(milliseconds(50));
                text = readFile(seen);
            }
            EXPECT_NE(text.find(shown), std::string::npos) << text;
        };
        expectShown(
            "Notify fpkeyd|https://shop.example asks to delete the user <b>bob</b>|"
            "https://shop.example asks to delete the user &lt;b&gt;bob&lt;/b&gt;.");
        EXPECT_EQ(nextMessage(shop)["reterr"], 134);
        // An assertion shows the page's text, and its clientData says so.
        ASSERT_EQ(
            enrolFinger(shop, *s.key, "RegisterUser", "alice", 1, "thumb", "alice-thumb")["reterr"],
            0);
        ASSERT_TRUE(shop.sendText(requestText(
            "FingerAssert", array({"Zm9yLXRoZS1zaG9wLW9ubHk", "Pay <b>5</b> & more"}))));
        EXPECT_EQ(nextMessage(shop)["function"], "ackConfirm");
        expectShown(
            "Notify fpkeyd|https://shop.example asks you to confirm: Pay <b>5</b> & more|"
            "https://shop.example asks you to confirm: Pay &lt;b&gt;5&lt;/b&gt; &amp; "
            "more.");
        ASSERT_TRUE(answerTouch(*s.key, "alice-thumb"));
        const Json::Value asserted = nextMessage(shop);
        ASSERT_EQ(asserted["reterr"], 0) << asserted;
        const std::string clientData = asserted["result"][0].asString();
        EXPECT_NE(clientData.find("\"text\":\"Pay <b>5</b> & more\""), std::string::npos);
        EXPECT_EQ(clientData.substr(clientData.size() - 19), ",\"shown\":\"desktop\"}");
        EXPECT_TRUE(s.stop());
    }
    kill(service, SIGTERM);
    kill(busPid, SIGTERM);
    waitpid(service, nullptr, 0);
    waitpid(busPid, nullptr, 0);
}
