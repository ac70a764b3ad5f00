// Delivery of delayed results: the endpoint runs in this process so that the
// test can call sendMessage from a thread of its own, as the event thread does.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "service/service.h"
#include "tests/integration/harness/harness.h"

using namespace fpkit;

namespace {

const char kGetVersion[] = R"({"function":"GetVersion","params":{},"randomId":"mine"})";
const char kMine[] =
    R"({"function":"GetVersion","randomId":"mine","result":"1.0.1.32 MEBO","reterr":0})";
const char kWaitEnroll[] = R"({"function":"WaitEnroll","params":{}})";
const char kNoEnrolment[] = R"({"function":"ackEnroll","result":"operate Failed","reterr":103})";

class Delivery : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("FPKEYD_LOG_CFG", "/nonexistent/fpkeyd-test/nuvolog.cfg", 1);
        port_ = freePort();
        loop_ = new std::thread([] { work_run(port_); });
        for (int i = 0; i < 500; ++i) {
            WsClient probe;
            if (probe.connect(port_, "/websocket", std::chrono::milliseconds(100))) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    static void TearDownTestSuite() {
        work_stop();
        loop_->join();
        delete loop_;
    }
    // Sends from another thread, as the event thread would.
    static void push(const std::string& text) {
        std::thread([text] { sendMessage(text); }).join();
    }
    static void connect(WsClient& c) { ASSERT_TRUE(c.connect(port_)) << c.lastError(); }
    // "WaitEnroll" with no enrolment running: the failure it pushes reaches
    // `c`, which is now the remembered connection, and nothing else waits.
    static void waitEnroll(WsClient& c) {
        ASSERT_TRUE(c.sendText(kWaitEnroll));
        EXPECT_EQ(c.recv(), std::optional<std::string>(kNoEnrolment));
        expectNothingPending(c);
    }
    // Nothing unasked is waiting for `c`: its next frame is its own reply.
    static void expectNothingPending(WsClient& c) { EXPECT_EQ(c.call(kGetVersion), kMine); }

    static unsigned short port_;
    static std::thread* loop_;
};
unsigned short Delivery::port_ = 0;
std::thread* Delivery::loop_ = nullptr;

}  // namespace

TEST_F(Delivery, GoesToTheConnectionThatWaitsAndStays) {
    WsClient a, b;
    connect(a);
    connect(b);
    waitEnroll(a);
    push(R"({"function":"ackEnroll","result":[ 0, 1 ],"reterr":0})");
    push("second");
    EXPECT_EQ(a.recv(), std::optional<std::string>(
                            R"({"function":"ackEnroll","result":[ 0, 1 ],"reterr":0})"));
    EXPECT_TRUE(a.lastWasText());
    EXPECT_EQ(a.recv(), std::optional<std::string>("second"));
    expectNothingPending(b);
    // Commands answered at once keep the remembered connection.
    expectNothingPending(a);
    push("third");
    EXPECT_EQ(a.recv(), std::optional<std::string>("third"));
}

TEST_F(Delivery, AnotherDelayedCommandMovesIt) {
    WsClient a, b;
    connect(a);
    connect(b);
    waitEnroll(a);
    waitEnroll(b);
    push("to b");
    EXPECT_EQ(b.recv(), std::optional<std::string>("to b"));
    expectNothingPending(a);
}

TEST_F(Delivery, NewConnectionDropsIt) {
    WsClient a;
    connect(a);
    waitEnroll(a);
    WsClient late;
    connect(late);
    push("dropped");
    expectNothingPending(a);
    expectNothingPending(late);
}

TEST_F(Delivery, ClosedConnectionDropsIt) {
    WsClient a;
    connect(a);
    {
        WsClient other;
        connect(other);
        waitEnroll(a);
    }  // `other` goes away
    // Give the close time to be seen: a fresh round trip on a new connection
    // would itself clear the remembered one, so wait on `a` instead.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    push("dropped");
    expectNothingPending(a);
}

TEST_F(Delivery, RememberedConnectionGoneIsHarmless) {
    {
        WsClient a;
        connect(a);
        waitEnroll(a);
    }
    push("nobody");
    WsClient b;
    connect(b);
    expectNothingPending(b);
}

TEST_F(Delivery, ManyThreadsPushWhileClientsComeAndGo) {
    WsClient a;
    connect(a);
    waitEnroll(a);
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            WsClient c;
            if (c.connect(port_)) c.call(kGetVersion);
        }
    });
    std::vector<std::thread> pushers;
    for (int t = 0; t < 4; ++t)
        pushers.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                sendMessage("p" + std::to_string(t));
        });
    for (auto& p : pushers)
        p.join();
    stop = true;
    churn.join();
    // Whatever reached `a` is whole pushed texts, then its own reply.
    ASSERT_TRUE(a.sendText(kGetVersion));
    for (;;) {
        auto m = a.recv();
        ASSERT_TRUE(m) << a.lastError();
        if (*m == kMine) break;
        ASSERT_EQ(m->size(), 2u) << *m;
        ASSERT_EQ((*m)[0], 'p');
    }
}
