// A provisioned virtual key behind a running daemon, shared by the tests of
// one suite, and a small JSON command helper.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/integration/harness/harness.h"
#include "tests/integration/keykit/keykit.h"

namespace keykit {

// Sends {"function":fn,"params":params} and returns the parsed reply (null
// when there was none or it was not JSON).
inline Json::Value command(fpkit::WsClient& c, const std::string& fn, const Json::Value& params) {
    Json::Value req(Json::objectValue);
    req["function"] = fn;
    req["params"] = params;
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    std::string reply = c.call(Json::writeString(w, req));
    Json::Value out;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    if (!r->parse(reply.data(), reply.data() + reply.size(), &out, &errors)) return Json::Value();
    return out;
}

// [a, b, ...] from strings and integers.
inline Json::Value array(std::initializer_list<Json::Value> items) {
    Json::Value a(Json::arrayValue);
    for (const Json::Value& v : items)
        a.append(v);
    return a;
}

// One provisioned key (optionally with records) and one daemon for a suite.
struct KeyStage {
    explicit KeyStage(const std::vector<User>& users = {}, bool baseCot = false) {
        key = std::make_unique<VKey>(dir.path + "/k1");
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
        fpkit::Daemon::Config cfg;
        cfg.args = {"--virtual-key", key->socket()};
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

}  // namespace keykit
