// Faults on the card-OS channel under a running daemon: every kind of bad
// reply, a key pulled out while a command waits for its reply, and a key
// process killed and started again. For each: the page gets an error code
// in bounded time, another client stays served, the next command works, and
// what the key holds matches what the daemon reported.
#include <gtest/gtest.h>

#include "tests/integration/fault_itest.h"

using namespace faultkit;
using keykit::bytesOf;
using keykit::Finger;
using keykit::fromHex;
using keykit::sm2VerifyDer;
using keykit::User;

namespace {

class CardFault : public FaultTest {
  protected:
    static void SetUpTestSuite() {
        // Users written straight to the key: ua with one finger, ub with two.
        s_ =
            new KeyStage({{"ua", {{1, 9, "a one"}}}, {"ub", {{2, 11, "b two"}, {5, 12, "b five"}}}},
                         false, {"--finger-wait", "1500"});
    }

    // The first reply of "GetClientID" (one card command on a connected key)
    // meets the fault.
    void expectClientIdFails(const std::string& fault) {
        SCOPED_TRACE("fault " + fault);
        setFault(fault);
        Json::Value r = run("GetClientID");
        EXPECT_EQ(r["reterr"], 103) << r << keyLogTail();
        EXPECT_EQ(r["result"], "operate Failed") << r;
        EXPECT_TRUE(faultsSpent()) << status();
        expectOthersServed();
        r = run("GetClientID");
        EXPECT_EQ(r["reterr"], 0) << r << keyLogTail();
        EXPECT_EQ(r["result"], "FingerPrint Key") << r;
    }

    // Waits until the key has run a card command with instruction byte `ins`
    // once more than `before` times (it logs each as "CLA INS P1 P2").
    bool keyRan(const std::string& ins, size_t before) {
        const std::string needle = ": 80 " + ins + " ";
        return eventually([&] { return occurrences(key().log(), needle) > before; }, kCardBound);
    }
    size_t ranSoFar(const std::string& ins) {
        return occurrences(key().log(), ": 80 " + ins + " ");
    }

    Json::Value users() { return run("GetUserList")["result"]; }
};

}  // namespace

TEST_F(CardFault, EveryBadReplyIsAnErrorAndTheNextCommandWorks) {
    ASSERT_EQ(run("GetClientID")["result"], "FingerPrint Key");
    // No reply at all, a reply to the command before, a broken checksum, half
    // a frame, a length field beyond any buffer, and a reply that comes only
    // after the daemon stopped waiting (it must not be taken for the next
    // command's).
    for (const char* fault :
         {"drop", "stale-seq", "bad-checksum", "truncate", "oversize", "delay 4500"})
        expectClientIdFails(fault);
}

TEST_F(CardFault, ASlowKeyWithinTheWaitIsServed) {
    const Json::Value fac = run("GetFacPubKey")["result"];
    ASSERT_EQ(fac.asString().size(), 130u) << fac;
    // Every reply of a whole signing held back, each within the wait.
    setFault("delay 250 40");
    Json::Value r = run("FactorySign", array({"slow but sure"}), milliseconds(60000));
    ASSERT_EQ(r["reterr"], 0) << r << keyLogTail();
    EXPECT_TRUE(sm2VerifyDer(fromHex(fac.asString()), bytesOf("slow but sure"),
                             fromHex(r["result"].asString())));
    ASSERT_TRUE(key().ctl("fault clear"));
    expectOthersServed();
}

TEST_F(CardFault, UnplugWhileASigningWaitsForItsReply) {
    const Json::Value fac = run("GetFacPubKey")["result"];
    ASSERT_EQ(fac.asString().size(), 130u) << fac;
    // The first reply of the signing is held back; the key is pulled out
    // while the daemon waits for it.
    setFault("delay 3000 1");
    ASSERT_TRUE(c_->sendText(keykit::requestText("FactorySign", array({"never signed"}))));
    ASSERT_TRUE(eventually([&] { return faultsSpent(); }, kCardBound)) << status();
    ASSERT_TRUE(key().ctl("unplug"));
    Json::Value r = next();
    EXPECT_EQ(r["function"], "FactorySign") << r;
    EXPECT_EQ(r["reterr"], 103) << r;
    EXPECT_TRUE(r["result"].isString()) << r;
    expectOthersServed();
    // Still out: a defined refusal, not a hang (102 once the key's removal
    // has been seen, 103 when the command finds it first).
    r = run("FactorySign", array({"no key"}));
    EXPECT_TRUE(r["reterr"] == 102 || r["reterr"] == 103) << r;
    ASSERT_TRUE(key().ctl("plug"));
    r = run("FactorySign", array({"back again"}));
    ASSERT_EQ(r["reterr"], 0) << r << keyLogTail();
    EXPECT_TRUE(sm2VerifyDer(fromHex(fac.asString()), bytesOf("back again"),
                             fromHex(r["result"].asString())));
}

TEST_F(CardFault, UnplugAfterTheKeyDeletedAFingerButBeforeItsReply) {
    ASSERT_EQ(run("GetFingerUsed", array({"ub"}))["result"], array({"ub", array({2, 5})}));
    // Every reply held back a little, so that the key can be pulled out
    // between the deletion on the key and its reply.
    const size_t before = ranSoFar("48");
    setFault("delay 600 60");
    ASSERT_TRUE(c_->sendText(keykit::requestText("DeleteFinger", array({"ub", array({5})}))));
    ASSERT_TRUE(keyRan("48", before)) << keyLogTail();
    ASSERT_TRUE(key().ctl("unplug"));
    Json::Value r = next();
    EXPECT_EQ(r["function"], "DeleteFinger") << r;
    EXPECT_EQ(r["reterr"], 103) << "reported done although its reply never came: " << r;
    ASSERT_TRUE(key().ctl("fault clear"));
    ASSERT_TRUE(key().ctl("plug"));
    expectOthersServed();
    // The key did delete it; the other finger and the user are whole.
    r = run("GetFingerUsed", array({"ub"}));
    EXPECT_EQ(r["result"], array({"ub", array({2})})) << r << keyLogTail();
    // And a deletion reported done is done.
    setFault("delay 100 60");
    r = run("DeleteFinger", array({"ub", array({2})}), milliseconds(60000));
    ASSERT_TRUE(key().ctl("fault clear"));
    EXPECT_EQ(r["reterr"], 0) << r;
    EXPECT_EQ(run("GetFingerUsed", array({"ub"}))["result"], array({"ub", array({})}));
    EXPECT_EQ(users(), array({2, array({"ua", "ub"})}));
}

TEST_F(CardFault, UnplugBeforeTheKeyDeletesAUserLeavesItWhole) {
    ASSERT_EQ(run("GetFingerUsed", array({"ua"}))["result"], array({"ua", array({1})}));
    // Pulled out while the daemon waits for the reply of the user's PIN
    // check, before anything was deleted.
    const size_t before = ranSoFar("18");
    setFault("delay 600 60");
    ASSERT_TRUE(c_->sendText(keykit::requestText("DeleteUser", array({"ua"}))));
    ASSERT_TRUE(keyRan("18", before)) << keyLogTail();
    ASSERT_TRUE(key().ctl("unplug"));
    Json::Value r = next();
    EXPECT_EQ(r["function"], "DeleteUser") << r;
    EXPECT_EQ(r["reterr"], 103) << r;
    ASSERT_TRUE(key().ctl("fault clear"));
    ASSERT_TRUE(key().ctl("plug"));
    EXPECT_EQ(run("GetFingerUsed", array({"ua"}))["result"], array({"ua", array({1})}))
        << keyLogTail();
    // The next deletion works and is complete.
    r = run("DeleteUser", array({"ua"}));
    EXPECT_EQ(r["reterr"], 0) << r << keyLogTail();
    const Json::Value left = users();
    ASSERT_TRUE(left.isArray()) << left;
    for (const Json::Value& name : left[1])
        EXPECT_NE(name, "ua") << left;
    EXPECT_EQ(run("GetFingerUsed", array({"ua"}))["reterr"], 2);
    expectOthersServed();
}

TEST_F(CardFault, AKilledKeyIsAnErrorUntilItRunsAgain) {
    const Json::Value before = users();
    ASSERT_TRUE(before.isArray()) << before;
    const Json::Value fac = run("GetFacPubKey")["result"];
    // Killed between commands.
    key().kill();
    Json::Value r = run("GetClientID");
    EXPECT_EQ(r["reterr"], 103) << r;
    EXPECT_TRUE(r["result"].isString()) << r;
    expectOthersServed();
    ASSERT_TRUE(key().restart()) << keyLogTail();
    r = run("GetClientID");
    EXPECT_EQ(r["result"], "FingerPrint Key") << r << keyLogTail();

    // Killed while a signing waits for its reply.
    setFault("delay 3000 1");
    ASSERT_TRUE(c_->sendText(keykit::requestText("FactorySign", array({"cut short"}))));
    ASSERT_TRUE(eventually([&] { return faultsSpent(); }, kCardBound)) << status();
    key().kill();
    r = next();
    EXPECT_EQ(r["function"], "FactorySign") << r;
    EXPECT_EQ(r["reterr"], 103) << r;
    expectOthersServed();
    ASSERT_TRUE(key().restart()) << keyLogTail();
    r = run("FactorySign", array({"after restart"}));
    ASSERT_EQ(r["reterr"], 0) << r << keyLogTail();
    EXPECT_TRUE(sm2VerifyDer(fromHex(fac.asString()), bytesOf("after restart"),
                             fromHex(r["result"].asString())));
    // Nothing the key acknowledged was lost with the process.
    EXPECT_EQ(users(), before);
}
