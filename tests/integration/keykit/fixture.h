// A provisioned virtual key behind a running daemon, shared by the tests of
// one suite, and a small JSON command helper.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/integration/harness/harness.h"
#include "tests/integration/keykit/keykit.h"

namespace keykit {

// The JSON value of a message text (null when it is not JSON).
inline Json::Value parseJson(const std::string& text) {
    Json::Value out;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &out, &errors)) return Json::Value();
    return out;
}

// {"function":fn,"params":params,"randomId":"r-<fn>"}.
inline std::string requestText(const std::string& fn, const Json::Value& params) {
    Json::Value req(Json::objectValue);
    req["function"] = fn;
    req["params"] = params;
    req["randomId"] = "r-" + fn;
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return Json::writeString(w, req);
}

// Sends {"function":fn,"params":params} and returns the parsed reply (null
// when there was none within `wait` or it was not JSON).
inline Json::Value command(fpkit::WsClient& c, const std::string& fn, const Json::Value& params,
                           std::chrono::milliseconds wait = std::chrono::milliseconds(5000)) {
    Json::Value req(Json::objectValue);
    req["function"] = fn;
    req["params"] = params;
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return parseJson(c.call(Json::writeString(w, req), wait));
}

// The next message pushed to `c` within `wait` (null when none came).
inline Json::Value nextMessage(fpkit::WsClient& c,
                               std::chrono::milliseconds wait = std::chrono::milliseconds(8000)) {
    auto m = c.recv(wait);
    return m ? parseJson(*m) : Json::Value();
}

// [a, b, ...] from strings and integers.
inline Json::Value array(std::initializer_list<Json::Value> items) {
    Json::Value a(Json::arrayValue);
    for (const Json::Value& v : items)
        a.append(v);
    return a;
}

// One provisioned key (optionally with records) and one daemon for a suite.
// `keyArgs` go to the key's command line (e.g. a short --finger-wait).
struct KeyStage {
    // `daemonConfig` adds arguments and environment to the daemon's.
    explicit KeyStage(const std::vector<User>& users = {}, bool baseCot = false,
                      const std::vector<std::string>& keyArgs = {},
                      const fpkit::Daemon::Config& daemonConfig = {}) {
        key = std::make_unique<VKey>(dir.path + "/k1", "01.03", keyArgs);
        if (!key->ready()) {
            error = "virtual key did not start";
            return;
        }
        caDir = dir.path + "/ca";
        int rc = provision(*key, caDir, &provisionOutput);
        if (rc != 0) {
            error = "fpkey-provision exited " + std::to_string(rc) + ":\n" + provisionOutput;
            return;
        }
        if (!users.empty() || baseCot) error = makeRecords(key->socket(), users, baseCot);
        if (!error.empty()) return;
        fpkit::Daemon::Config cfg = daemonConfig;
        cfg.args.insert(cfg.args.begin(), {"--virtual-key", key->socket()});
        daemon = std::make_unique<fpkit::Daemon>(cfg);
    }
    // Stops the daemon; true when it ended cleanly (no crash, no sanitizer
    // report at exit).
    bool stop() {
        if (!daemon) return true;
        int status = daemon->stop();
        daemon.reset();
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ~KeyStage() { stop(); }
    TempDir dir;
    std::unique_ptr<VKey> key;
    std::unique_ptr<fpkit::Daemon> daemon;
    std::string caDir, provisionOutput, error;
};

// Ends a suite's stage; the daemon must end cleanly.
inline void endStage(KeyStage*& stage) {
    EXPECT_TRUE(stage->stop()) << "the daemon did not end cleanly";
    delete stage;
    stage = nullptr;
}

// Enrols finger `finger` of `user` through the page's commands: `fn`
// ("RegisterUser" or "AddFinger") must answer [6]; then "WaitEnroll" and six
// touches of the finger named `who` on the key's sensor, checking the five
// progress messages [0, captures left] on the way. Returns the finished
// message (null when none came).
inline Json::Value enrolFinger(fpkit::WsClient& c, const VKey& key, const std::string& fn,
                               const std::string& user, int finger, const std::string& name,
                               const std::string& who) {
    Json::Value r = command(c, fn, array({user, finger, name}));
    EXPECT_EQ(r["reterr"], 0) << r;
    EXPECT_EQ(r["result"], array({6})) << r;
    EXPECT_TRUE(c.sendText(requestText("WaitEnroll", Json::Value())));
    for (int left = 5; left >= 1; --left) {
        EXPECT_TRUE(key.ctl("touch " + who));
        Json::Value m = nextMessage(c);
        EXPECT_EQ(m["function"], "ackEnroll") << m;
        EXPECT_EQ(m["reterr"], 0) << m;
        EXPECT_EQ(m["result"], array({0, left})) << "captures still needed: " << m;
    }
    EXPECT_TRUE(key.ctl("touch " + who));
    return nextMessage(c, std::chrono::milliseconds(20000));
}

}  // namespace keykit
