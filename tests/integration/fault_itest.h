// Faults of the key under a running daemon: what the fault suites share.
// Every wait is bounded; a reply that does not come in time fails the test
// instead of hanging it.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/integration/keykit/fixture.h"

namespace faultkit {

using fpkit::WsClient;
using keykit::array;
using keykit::command;
using keykit::KeyStage;
using std::chrono::milliseconds;

// Longest a faulted command may take before the test calls it a hang: the
// daemon's own waits (a card-OS or short module exchange waits seconds, a
// verification 20 s) plus room for a slow sanitizer build.
constexpr milliseconds kCardBound{15000};
constexpr milliseconds kVerifyBound{40000};

// Polls `done` every 20 ms for at most `bound`; true once it holds.
inline bool eventually(const std::function<bool()>& done, milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        usleep(20 * 1000);
    }
}

// How many times `needle` occurs in `text`.
inline size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
        ++n;
    return n;
}

// One provisioned key and daemon per suite; per test a client that sends the
// faulted commands and a second client that must keep being served.
class FaultTest : public ::testing::Test {
  protected:
    // The module gives up waiting for a finger after 1.5 s, so that a test
    // that leaves a module command waiting does not slow the next one.
    static void SetUpTestSuite() { s_ = new KeyStage({}, false, {"--finger-wait", "1500"}); }
    static void TearDownTestSuite() { keykit::endStage(s_); }
    void SetUp() override {
        ASSERT_TRUE(s_->error.empty()) << s_->error;
        ASSERT_TRUE(s_->daemon->running());
        ASSERT_TRUE(key().ctl("fault clear"));
        ASSERT_TRUE(key().ctl("plug"));
        ASSERT_TRUE(key().ctl("lift"));
        other_ = connect();
        c_ = connect();
    }
    void TearDown() override {
        EXPECT_TRUE(s_->daemon->running()) << "the daemon ended" << keyLogTail();
    }

    keykit::VKey& key() { return *s_->key; }

    // A client whose handshake the daemon has finished (its handshake
    // reconnects the key; one answered command shows that this is over, so
    // a fault set afterwards cannot meet the handshake's card commands).
    std::unique_ptr<WsClient> connect() {
        auto c = std::make_unique<WsClient>();
        EXPECT_TRUE(c->connect(s_->daemon->port(), "/websocket", kCardBound)) << c->lastError();
        EXPECT_EQ(command(*c, "GetVersion", Json::Value(), kCardBound)["result"], "1.0.1.32 MEBO");
        return c;
    }

    Json::Value run(const std::string& fn, const Json::Value& params = Json::Value(),
                    milliseconds bound = kCardBound) {
        return command(*c_, fn, params, bound);
    }
    // A command answered later: nothing comes back now.
    void sendLater(const std::string& fn, const Json::Value& params = Json::Value()) {
        ASSERT_TRUE(c_->sendText(keykit::requestText(fn, params)));
    }
    Json::Value next(milliseconds bound = kCardBound) { return keykit::nextMessage(*c_, bound); }

    // The key's `ctl status` line.
    std::string status() { return key().ctlReply("status"); }
    // Whether every fault set so far met a reply.
    bool faultsSpent() { return status().find("faults=none") != std::string::npos; }
    // One command answered: the daemon holds the key session for a whole
    // command and the event thread for a whole event, so whatever an event
    // before it still did on the key (a reconnect, closing handles after a
    // pushed result) is over. Ends a running fingerprint operation.
    void quiesce() { EXPECT_EQ(run("GetVersion")["result"], "1.0.1.32 MEBO"); }
    // Sets a fault on the key's next replies; `quiet` first lets the daemon
    // finish what it still does on the key, so the fault meets the next
    // command's replies and no earlier ones.
    void setFault(const std::string& what, bool quiet = true) {
        if (quiet) quiesce();
        ASSERT_TRUE(key().ctl("fault " + what)) << what;
        ASSERT_FALSE(faultsSpent()) << status();
    }
    bool touch(const std::string& finger) { return key().ctl("touch " + finger); }

    // The daemon is alive and still serves the second client, whose
    // connection was open through the fault.
    void expectOthersServed() {
        EXPECT_TRUE(s_->daemon->running()) << "the daemon ended" << keyLogTail();
        Json::Value r = command(*other_, "GetVersion", Json::Value(), kCardBound);
        EXPECT_EQ(r["result"], "1.0.1.32 MEBO") << r;
    }

    std::string keyLogTail() {
        std::string log = key().log();
        return "\nkey log:\n" + (log.size() > 4000 ? log.substr(log.size() - 4000) : log);
    }

    inline static KeyStage* s_ = nullptr;
    std::unique_ptr<WsClient> c_, other_;
};

}  // namespace faultkit
