// The service spine over a real WebSocket: start-up, envelope, replies byte
// for byte, framing, and robustness against misbehaving clients.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/harness/harness.h"

using namespace fpkit;

namespace {

const char kVersionReply[] = R"({"function":"GetVersion","result":"1.0.1.32 MEBO","reterr":0})";
const char kGetVersion[] = R"({"function":"GetVersion","params":{}})";

// One daemon for the whole suite; every test checks it is still alive. A
// frame begun must be finished within 1 s (30 s outside tests).
class Service : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        daemon_ = new Daemon(Daemon::Config{{}, {{"FPKEYD_FRAME_WAIT_MS", "1000"}}});
    }
    static void TearDownTestSuite() {
        int status = daemon_->stop();
        // A clean exit: no crash and no sanitizer report at the end.
        EXPECT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        delete daemon_;
        daemon_ = nullptr;
    }
    void TearDown() override {
        ASSERT_TRUE(daemon_->running());
        expectServing();
    }
    static unsigned short port() { return daemon_->port(); }
    static void expectServing() {
        WsClient c;
        ASSERT_TRUE(c.connect(port())) << c.lastError();
        EXPECT_EQ(c.call(kGetVersion), kVersionReply);
    }
    static Daemon* daemon_;
};
Daemon* Service::daemon_ = nullptr;

}  // namespace

TEST_F(Service, VersionLineComesFirst) {
    std::string out = daemon_->output();
    EXPECT_EQ(out.substr(0, 14), "1.0.1.32 MEBO\n") << out;
    EXPECT_NE(out.find("not log\n"), std::string::npos) << out;
    EXPECT_NE(out.find("m_tidAck ok ,msgid = "), std::string::npos) << out;
}

TEST_F(Service, WorkedExamplesByteForByte) {
    WsClient c;
    ASSERT_TRUE(c.connect(port())) << c.lastError();
    EXPECT_EQ(c.call(R"({"function":"GetVersion","params":{},"randomId":"42"})"),
              R"({"function":"GetVersion","randomId":"42","result":"1.0.1.32 MEBO","reterr":0})");
    EXPECT_TRUE(c.lastWasText());
    EXPECT_EQ(c.call(R"({"function":"Foo","params":{}})"),
              R"({"function":"Foo","result":"not find this function","reterr":164})");
    EXPECT_EQ(c.call(R"({"function":"GetVersion"})"),
              R"({"function":"","result":"json params is not mine","reterr":111})");
    EXPECT_EQ(c.call("a text that is not JSON"),
              R"({"function":"","result":"json is not mine","reterr":110})");
}

TEST_F(Service, EnvelopeEdges) {
    WsClient c;
    ASSERT_TRUE(c.connect(port())) << c.lastError();
    const std::string bad = R"({"function":"","result":"json params is not mine","reterr":111})";
    EXPECT_EQ(c.call(R"({"function":"GetVersion","params":{},"randomId":7})"), kVersionReply);
    EXPECT_EQ(c.call(R"({"function":"GetVersion","params":{},"randomId":"1","more":1})"), bad);
    EXPECT_EQ(c.call(R"({"function":"GetVersion","randomId":"1"})"), bad);
    EXPECT_EQ(c.call(R"({"function":["GetVersion"],"params":{}})"), bad);
    EXPECT_EQ(c.call(R"({"function":"Connect","params":[],"randomId":"r"})"),
              R"({"function":"Connect","randomId":"r","result":"OK","reterr":0})");
    EXPECT_EQ(c.call(R"({"function":"Disconnect","params":null})"),
              R"({"function":"Disconnect","result":"OK","reterr":0})");
    EXPECT_EQ(c.call(R"({"function":"InitDev","params":[]})"),
              R"({"function":"InitDev","result":"this dev is not for you","reterr":201})");
    EXPECT_EQ(c.call(R"({"function":"InitDev","params":[1]})"),
              R"({"function":"InitDev","result":"json params is not mine","reterr":111})");
    EXPECT_EQ(c.call(R"({"function":"CancelEnroll","params":{}})"),
              R"({"function":"CancelEnroll","result":"user canceled","reterr":5})");
    EXPECT_EQ(c.call(R"({"function":"CancelVerify","params":{},"randomId":"c"})"),
              R"({"function":"CancelVerify","randomId":"c","result":"user canceled","reterr":5})");
    EXPECT_EQ(c.call(R"({"function":"LoopVerify","params":{}})"),
              R"({"function":"LoopVerify","result":"not find this err","reterr":-63})");
}

TEST_F(Service, EscapesInReplies) {
    WsClient c;
    ASSERT_TRUE(c.connect(port())) << c.lastError();
    // Control characters come back as upper-case \u escapes, non-ASCII unchanged.
    EXPECT_EQ(c.call(R"({"function":"x\u001f\t\u4e2d","params":{},"randomId":"\"/"})"),
              "{\"function\":\"x\\u001F\\t\xe4\xb8\xad\",\"randomId\":\"\\\"/\","
              "\"result\":\"not find this function\",\"reterr\":164}");
}

TEST_F(Service, BinaryFramesAreCommandsAndRepliesAreText) {
    WsClient c;
    ASSERT_TRUE(c.connect(port())) << c.lastError();
    ASSERT_TRUE(c.sendBinary(kGetVersion));
    auto reply = c.recv();
    ASSERT_TRUE(reply) << c.lastError();
    EXPECT_EQ(*reply, kVersionReply);
    EXPECT_TRUE(c.lastWasText());
}

TEST_F(Service, AnyPathIsUpgraded) {
    for (const char* path : {"/websocket", "/other", "/", "/websocket/extra?x=1"}) {
        WsClient c;
        ASSERT_TRUE(c.connect(port(), path)) << path << ": " << c.lastError();
        EXPECT_EQ(c.call(kGetVersion), kVersionReply) << path;
    }
}

TEST_F(Service, PlainHttpGets426AndMayAskAgain) {
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port()) + "\r\n";
    std::string one =
        rawHttp(port(), "GET /websocket HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    EXPECT_EQ(one.substr(0, 13), "HTTP/1.1 426 ") << one;
    EXPECT_NE(one.find("\r\nContent-Length: 20\r\n"), std::string::npos) << one;
    EXPECT_EQ(one.substr(one.size() - 24), "\r\n\r\nWS upgrade expected\n") << one;
    // Keep-alive: two requests on one connection get two answers.
    std::string two = rawHttp(port(),
                              "GET / HTTP/1.1\r\n" + host + "\r\nPOST /a HTTP/1.1\r\n" + host +
                                  "Content-Length: 3\r\nConnection: close\r\n\r\nabc",
                              std::chrono::milliseconds(3000));
    size_t first = two.find("HTTP/1.1 426");
    ASSERT_NE(first, std::string::npos) << two;
    EXPECT_NE(two.find("HTTP/1.1 426", first + 1), std::string::npos) << two;
}

TEST_F(Service, TwoMessagesInOneWriteGetTwoReplies) {
    RawWs raw;
    ASSERT_TRUE(raw.connect(port()));
    std::string both = RawWs::frame(R"({"function":"GetVersion","params":{},"randomId":"a"})") +
                       RawWs::frame(R"({"function":"Connect","params":{},"randomId":"b"})");
    ASSERT_TRUE(raw.write(both));
    int opcode = 0;
    auto r1 = raw.readFrame(std::chrono::milliseconds(5000), &opcode);
    ASSERT_TRUE(r1);
    EXPECT_EQ(opcode, 1);
    EXPECT_EQ(*r1,
              R"({"function":"GetVersion","randomId":"a","result":"1.0.1.32 MEBO","reterr":0})");
    auto r2 = raw.readFrame();
    ASSERT_TRUE(r2);
    EXPECT_EQ(*r2, R"({"function":"Connect","randomId":"b","result":"OK","reterr":0})");
}

TEST_F(Service, FragmentedMessageIsOneCommand) {
    RawWs raw;
    ASSERT_TRUE(raw.connect(port()));
    std::string a = RawWs::frame(R"({"function":"GetVer)", 1);
    a[0] = static_cast<char>(0x01);                            // text, FIN clear
    std::string b = RawWs::frame(R"(sion","params":{}})", 0);  // continuation, FIN set
    ASSERT_TRUE(raw.write(a + b));
    auto r = raw.readFrame();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, kVersionReply);
}

TEST_F(Service, RepliesKeepTheOrderOfCommands) {
    WsClient c;
    ASSERT_TRUE(c.connect(port())) << c.lastError();
    // Many commands before reading any reply: all answered, in order.
    const int n = 300;
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(c.sendText(R"({"function":"Connect","params":{},"randomId":")" +
                               std::to_string(i) + "\"}"));
    for (int i = 0; i < n; ++i) {
        auto r = c.recv();
        ASSERT_TRUE(r) << i << ": " << c.lastError();
        ASSERT_EQ(*r, R"({"function":"Connect","randomId":")" + std::to_string(i) +
                          R"(","result":"OK","reterr":0})");
    }
}

TEST_F(Service, DelayedCommandSendsNothingNow) {
    WsClient c;
    ASSERT_TRUE(c.connect(port())) << c.lastError();
    ASSERT_TRUE(c.sendText(R"({"function":"WaitEnroll","params":{},"randomId":"w"})"));
    // No enrolment runs: the failure is pushed later, not answered to "w".
    EXPECT_EQ(c.recv(), std::optional<std::string>(
                            R"({"function":"ackEnroll","result":"operate Failed","reterr":103})"));
    // The next frame to arrive is the answer to the next command.
    EXPECT_EQ(c.call(R"({"function":"GetVersion","params":{},"randomId":"v"})"),
              R"({"function":"GetVersion","randomId":"v","result":"1.0.1.32 MEBO","reterr":0})");
}

TEST_F(Service, ClientsAreAnsweredIndependently) {
    const int clients = 6;
    std::vector<std::thread> threads;
    std::vector<int> good(clients, 0);
    for (int k = 0; k < clients; ++k)
        threads.emplace_back([k, &good] {
            WsClient c;
            if (!c.connect(port())) return;
            for (int i = 0; i < 50; ++i) {
                std::string id = std::to_string(k) + "-" + std::to_string(i);
                std::string r =
                    c.call(R"({"function":"GetVersion","params":{},"randomId":")" + id + "\"}");
                if (r == R"({"function":"GetVersion","randomId":")" + id +
                             R"(","result":"1.0.1.32 MEBO","reterr":0})")
                    ++good[k];
            }
        });
    for (auto& t : threads)
        t.join();
    for (int k = 0; k < clients; ++k)
        EXPECT_EQ(good[k], 50) << k;
}

TEST_F(Service, LargeMessages) {
    WsClient c;
    ASSERT_TRUE(c.connect(port())) << c.lastError();
    // A command of nearly 64 KiB is parsed like any other.
    std::string big = R"({"function":"GetVersion","params":")" + std::string(65000, 'x') + "\"}";
    EXPECT_EQ(c.call(big, std::chrono::milliseconds(20000)), kVersionReply);
    std::string bigBad = std::string(65000, '[');
    EXPECT_EQ(c.call(bigBad, std::chrono::milliseconds(20000)),
              R"({"function":"","result":"json is not mine","reterr":110})");
    // Past the message limit the connection is closed; nobody else notices.
    WsClient other;
    ASSERT_TRUE(other.connect(port())) << other.lastError();
    EXPECT_TRUE(c.sendText(std::string((64u << 10) + 1, ' '), std::chrono::milliseconds(20000)) ||
                !c.isOpen());
    EXPECT_FALSE(c.recv(std::chrono::milliseconds(10000)));
    EXPECT_EQ(other.call(kGetVersion), kVersionReply);
}

TEST_F(Service, MalformedInputLeavesOthersServed) {
    WsClient watcher;
    ASSERT_TRUE(watcher.connect(port())) << watcher.lastError();

    // Garbage instead of HTTP.
    const char garbage[] = "\x16\x03\x01\x00\xff garbage\r\n\r\n";
    rawHttp(port(), std::string(garbage, sizeof garbage - 1));
    // Handshake with a key but without the other upgrade headers.
    std::string r = rawHttp(port(),
                            "GET / HTTP/1.1\r\nHost: x\r\nSec-WebSocket-Key: abc\r\n"
                            "Connection: close\r\n\r\n");
    EXPECT_EQ(r.find("HTTP/1.1 101"), std::string::npos) << r;
    EXPECT_EQ(watcher.call(kGetVersion), kVersionReply);

    // Invalid UTF-8 in a text frame: that connection fails as WebSocket requires.
    {
        WsClient c;
        ASSERT_TRUE(c.connect(port())) << c.lastError();
        c.sendText(std::string("{\"function\":\"\xff\xfe\",\"params\":{}}"));
        EXPECT_FALSE(c.recv(std::chrono::milliseconds(5000)));
    }
    // The same bytes in a binary frame are a command like any other; the
    // reply carries the name one character per byte, so that its text frame
    // is valid UTF-8 (read raw, to see the very bytes).
    {
        RawWs raw;
        ASSERT_TRUE(raw.connect(port()));
        ASSERT_TRUE(raw.write(RawWs::frame("{\"function\":\"\xff\",\"params\":{}}", 2)));
        int opcode = 0;
        auto reply = raw.readFrame(std::chrono::milliseconds(5000), &opcode);
        ASSERT_TRUE(reply);
        EXPECT_EQ(opcode, 1);
        EXPECT_EQ(
            *reply,
            "{\"function\":\"\\u00FF\",\"result\":\"not find this function\",\"reterr\":164}");
    }
    EXPECT_EQ(watcher.call(kGetVersion), kVersionReply);
}

TEST_F(Service, ClientsVanishingMidwayLeaveOthersServed) {
    WsClient watcher;
    ASSERT_TRUE(watcher.connect(port())) << watcher.lastError();
    {
        // Half a frame, then silence: closed when the frame's time is up.
        RawWs raw;
        ASSERT_TRUE(raw.connect(port()));
        std::string f = RawWs::frame(kGetVersion);
        ASSERT_TRUE(raw.write(f.substr(0, f.size() / 2)));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(raw.readFrame(milliseconds(15000)));
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_LT(std::chrono::duration_cast<milliseconds>(waited).count(), 10000);
    }
    {
        // A frame header announcing far more than ever comes.
        RawWs raw;
        ASSERT_TRUE(raw.connect(port()));
        std::string f = RawWs::frame(std::string(70000, 'a'));
        ASSERT_TRUE(raw.write(f.substr(0, 100)));
        raw.close();
    }
    {
        // Half an HTTP request, then gone.
        RawWs raw;
        rawHttp(port(), "GET /websocket HTTP/1.1\r\nHost: x\r\nUpgr",
                std::chrono::milliseconds(200));
    }
    {
        // Commands sent, replies never read, connection dropped. Past 1 MiB
        // of unread replies the daemon reads no more of it: 16 MB of
        // commands, each answered with six times its size, cannot all go in.
        WsClient c;
        ASSERT_TRUE(c.connect(port())) << c.lastError();
        const std::string big =
            "{\"function\":\"" + std::string(60000, '\xff') + "\",\"params\":{}}";
        int sent = 0;
        while (sent < 270 && c.sendBinary(big, std::chrono::milliseconds(2000)))
            ++sent;
        EXPECT_LT(sent, 270);
    }
    EXPECT_EQ(watcher.call(kGetVersion), kVersionReply);
}

TEST(Daemon, RefusesUnknownOptions) {
    EXPECT_THROW(Daemon(Daemon::Config{{"--bogus"}, {}, std::chrono::milliseconds(5000)}),
                 std::runtime_error);
}

TEST(Daemon, PortTakenEndsWithStatusOne) {
    Daemon first;
    // A second daemon on the same port cannot listen.
    Daemon::Config cfg;
    cfg.env = {{"FPKEYD_PORT", std::to_string(first.port())}};
    cfg.startTimeout = std::chrono::milliseconds(100);
    // The first daemon answers the readiness probe, so start-up "succeeds";
    // the second process must then end on its own with status 1.
    Daemon second(cfg);
    for (int i = 0; i < 500 && second.running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int status = second.stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(first.running());
}

// A descriptor limit that leaves room for one connection: a second is
// refused while the first is open, and served once it has closed.
TEST(Daemon, ConnectionsPastTheCapAreRefused) {
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
    rlimit low = was;
    low.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::unique_ptr<Daemon> d;
    try {
        d = std::make_unique<Daemon>();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &was), 0);
    ASSERT_TRUE(d);
    // A closed connection (the start-up probe's, the first client's) may
    // hold its room for a moment.
    auto served = [&] {
        for (int i = 0; i < 100; ++i) {
            auto c = std::make_unique<WsClient>();
            if (c->connect(d->port()) && c->call(kGetVersion) == kVersionReply) return c;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::unique_ptr<WsClient>();
    };
    auto first = served();
    ASSERT_TRUE(first);
    WsClient second;
    EXPECT_FALSE(second.connect(d->port()) && second.call(kGetVersion) == kVersionReply);
    first.reset();
    EXPECT_TRUE(served());
}

TEST(Daemon, VirtualKeyListsAreChecked) {
    // More sockets than the port layer can hold: refused at start.
    std::vector<std::string> args;
    for (int i = 0; i < 17; ++i) {
        args.push_back("--virtual-key");
        args.push_back("/tmp/fpkeyd-vk-" + std::to_string(i) + ".sock");
    }
    Daemon::Config many;
    many.args = args;
    many.startTimeout = std::chrono::milliseconds(5000);
    EXPECT_THROW(Daemon{many}, std::runtime_error);

    std::string env;
    for (int i = 0; i < 17; ++i)
        env += "/tmp/fpkeyd-vk-" + std::to_string(i) + ".sock:";
    Daemon::Config fromEnv;
    fromEnv.env = {{"FPKEYD_VIRTUAL_KEY", env}};
    fromEnv.startTimeout = std::chrono::milliseconds(5000);
    EXPECT_THROW(Daemon{fromEnv}, std::runtime_error);

    // A key that is not there is no reason to refuse: the daemon serves.
    Daemon::Config one;
    one.args = {"--virtual-key", "/tmp/fpkeyd-vk-absent.sock"};
    Daemon d(one);
    WsClient c;
    ASSERT_TRUE(c.connect(d.port())) << c.lastError();
    EXPECT_EQ(c.call(kGetVersion), kVersionReply);
}

TEST(Daemon, LogRecordsStartConnectionsCommandsAndReplies) {
    char dir[] = "/tmp/fpkeyd-itlog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string cfg = std::string(dir) + "/nuvolog.cfg";
    const std::string file = std::string(dir) + "/fpkeyweb.log";
    {
        FILE* f = fopen(cfg.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    std::string log;
    {
        Daemon::Config config;
        config.env = {{"FPKEYD_LOG_CFG", cfg},
                      {"FPKEYD_LOG_FILE", file},
                      {"FPKEYD_LOG_NOTE", std::string(dir) + "/note.log"}};
        Daemon d(config);
        {
            WsClient c;
            ASSERT_TRUE(c.connect(d.port())) << c.lastError();
            EXPECT_EQ(
                c.call(R"({"function":"GetVersion","params":{},"randomId":"L"})"),
                R"({"function":"GetVersion","randomId":"L","result":"1.0.1.32 MEBO","reterr":0})");
            ASSERT_TRUE(c.sendText(R"({"function":"WaitEnroll","params":{}})"));
            EXPECT_TRUE(c.recv().has_value());  // no enrolment runs: its failure
            EXPECT_EQ(c.call(kGetVersion), kVersionReply);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int status = d.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(d.output().substr(0, 14), "1.0.1.32 MEBO\n");
        EXPECT_NE(d.output().find(file + "\n"), std::string::npos) << d.output();
        FILE* f = fopen(file.c_str(), "r");
        ASSERT_NE(f, nullptr);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            log.append(buf, n);
        fclose(f);
    }
    // In this order, each after its time prefix.
    const char* reply =
        R"(]{"function":"GetVersion","randomId":"L","result":"1.0.1.32 MEBO","reterr":0})"
        "\n";
    const char* expected[] = {
        "]1.0.1.32 MEBO\n",
        "]http entering....\n",
        "]Starting listener on 127.0.0.1:",
        "]\nConnection created\n",
        "]socket handshake done\n",
        "]{\"function\":\"GetVersion\",\"params\":{},\"randomId\":\"L\"}\n",
        reply,
        "]{\"function\":\"WaitEnroll\",\"params\":{}}\n",
        "]wait end...\n",
        "]Connection closed\n",
        "]http exit....\n",
    };
    size_t at = 0;
    for (const char* line : expected) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing after " << at << ": " << line << "\n"
                                            << log;
        at = found + 1;
    }
    std::string rm = std::string("rm -rf '") + dir + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
}
