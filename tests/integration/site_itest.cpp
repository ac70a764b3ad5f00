// Who may use the key: a site the user has not allowed reaches nothing until
// a touch on the key allows it; logins and pushed results belong to the site
// that made them; a page can never lock the key; local programs of another
// user are refused; the desktop is told which site asks.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
// sites under `config` and reads no administrator's file of the machine.
fpkit::Daemon::Config siteConfig(const std::string& config, int waitMs,
                                 std::vector<std::string> args = {}) {
    fpkit::Daemon::Config c;
    c.args = std::move(args);
    c.env = {{"XDG_CONFIG_HOME", config},
             {"FPKEYD_APPROVAL_WAIT_MS", std::to_string(waitMs)},
             {"FPKEYD_ADMIN_ORIGINS", config + "/no-admin-file"}};
    return c;
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

    // A new page of the site is asked again; a touch (any finger: the key
    // holds none) allows it, and its command runs.
    WsClient again;
    ASSERT_TRUE(again.connectAs(port, kEvil));
    ASSERT_TRUE(again.sendText(requestText("FactorySign", array({"pay 1000"}))));
    expectAsked(again, kEvil);
    ASSERT_TRUE(s.key->ctl("touch someone"));
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
    ASSERT_TRUE(s.key->ctl("touch someone"));
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
    ASSERT_TRUE(s.key->ctl("touch mallory"));
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
    EXPECT_TRUE(s.stop());
}

// A local program (no Origin) of another user is refused; one of the
// daemon's own user is served in every mode.
TEST(SiteApproval, LocalProgramsOfOtherUsersAreRefused) {
    TempDir config;
    for (const char* mode : {"ask", "list-only", "any"}) {
        std::ofstream(config.path + "/admin") << "mode " << mode << "\n";
        fpkit::Daemon::Config c = siteConfig(config.path, 1000);
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
            const std::string answer = fpkit::rawHttp(d.port(), request);
            const bool refused = answer.compare(0, 13, "HTTP/1.1 403 ") == 0 &&
                                 answer.find("local user not allowed") != std::string::npos;
            _exit(refused ? 0 : 1);
        }
        close(pipeFd[1]);
        close(pipeFd[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << mode << ": another user's program was not refused (" << status << ")";
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
        fpkit::Daemon::Config c = siteConfig(dir.path, 1000);
        c.env.push_back({"DBUS_SESSION_BUS_ADDRESS", bus});
        fpkit::Daemon d(c);
        WsClient page;
        ASSERT_TRUE(page.connectAs(d.port(), kEvil));
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
        EXPECT_TRUE(WIFEXITED(d.stop()));
    }
    kill(service, SIGTERM);
    kill(busPid, SIGTERM);
    waitpid(service, nullptr, 0);
    waitpid(busPid, nullptr, 0);
}
