// User and finger records over the daemon: users and finger containers are
// written to a provisioned key through the smart-key API, then listed and
// deleted with the page's commands.
#include <gtest/gtest.h>

#include "tests/integration/keykit/fixture.h"

using namespace keykit;
using fpkit::WsClient;

namespace {

class KeyRecords : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_ = new KeyStage(
            {{"alice", {{7, 3, "Alice index"}, {2, 4, "Alice thumb"}, {5, 5, "Alice ring"}}},
             {"bob", {{1, 6, "Bob thumb"}}},
             {"carol", {}}});
    }
    static void TearDownTestSuite() { keykit::endStage(s_); }
    void SetUp() override {
        ASSERT_TRUE(s_->error.empty()) << s_->error;
        ASSERT_TRUE(c_.connect(s_->daemon->port())) << c_.lastError();
    }
    Json::Value run(const std::string& fn, const Json::Value& params = Json::Value()) {
        return command(c_, fn, params);
    }
    static KeyStage* s_;
    WsClient c_;
};
KeyStage* KeyRecords::s_ = nullptr;

Json::Value range(std::initializer_list<int> v) {
    Json::Value a(Json::arrayValue);
    for (int i : v)
        a.append(i);
    return a;
}

}  // namespace

// One sequence: the deletions change what the later steps see.
TEST_F(KeyRecords, ListAndDeleteUsersAndFingers) {
    // Base applications are never users.
    EXPECT_EQ(run("GetUserList")["result"], array({3, array({"alice", "bob", "carol"})}));
    EXPECT_EQ(run("GetDevInfo", array({5}))["result"][4], "alice");

    EXPECT_EQ(run("GetFingerUsed", array({"alice"}))["result"], array({"alice", range({2, 5, 7})}));
    EXPECT_EQ(run("GetFingerUnused", array({"alice"}))["result"],
              array({"alice", range({1, 3, 4, 6, 8, 9, 10})}));
    EXPECT_EQ(run("GetFingerUsed", array({"carol"}))["result"], array({"carol", range({})}));
    EXPECT_EQ(run("GetFingerUnused", array({"carol"}))["result"],
              array({"carol", range({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})}));
    EXPECT_EQ(run("GetFingerUsed", array({"nobody"}))["reterr"], 2);
    EXPECT_EQ(run("GetFingerUsed", array({""}))["reterr"], 104);
    EXPECT_EQ(run("GetFingerUnused", array({1}))["reterr"], 111);
    EXPECT_EQ(run("GetFingerUsed", array({"alice", "bob"}))["reterr"], 111);

    // One missing finger: nothing is deleted.
    EXPECT_EQ(run("DeleteFinger", array({"alice", range({5, 9})}))["reterr"], 12);
    EXPECT_EQ(run("GetFingerUsed", array({"alice"}))["result"], array({"alice", range({2, 5, 7})}));
    EXPECT_EQ(run("DeleteFinger", array({"alice", range({})}))["reterr"], 104);
    EXPECT_EQ(run("DeleteFinger", array({"alice", array({1, "2"})}))["reterr"], 111);
    EXPECT_EQ(run("DeleteFinger", array({"nobody", range({1})}))["reterr"], 2);
    // Record and display names come back in the order the fingers were asked for.
    Json::Value r = run("DeleteFinger", array({"alice", range({5, 2})}));
    EXPECT_EQ(
        r["result"],
        array({"alice", array({5, "alice_5_5", "Alice ring", 2, "alice_2_4", "Alice thumb"})}))
        << r;
    EXPECT_EQ(run("GetFingerUsed", array({"alice"}))["result"], array({"alice", range({7})}));

    r = run("DeleteUser", array({"bob"}));
    EXPECT_EQ(r["result"], array({"bob", 1, "bob_1_6"})) << r;
    EXPECT_EQ(run("GetUserList")["result"], array({2, array({"alice", "carol"})}));
    EXPECT_EQ(run("DeleteUser", array({"bob"}))["reterr"], 2);
    EXPECT_EQ(run("DeleteUser", array({5}))["reterr"], 111);
    EXPECT_EQ(run("DeleteUser", Json::Value(Json::objectValue))["reterr"], 111);

    // Everybody: the deleted names are reported; the base layout stays.
    r = run("DeleteUser", array({}));
    EXPECT_EQ(r["result"], array({"alice", "carol"})) << r;
    EXPECT_EQ(run("GetUserList")["result"], array({0, array({})}));
    EXPECT_EQ(run("DeleteUser", array({Json::Value()}))["result"], Json::Value(Json::arrayValue));
    const Bytes fac = fromHex(run("GetFacPubKey")["result"].asString());
    r = run("FactorySign", array({"still here"}));
    EXPECT_TRUE(sm2VerifyDer(fac, bytesOf("still here"), fromHex(r["result"].asString())));
    EXPECT_EQ(run("rkLogin", array({"", "", "314159"}))["reterr"], 0);
}
