// Device and information commands against a provisioned virtual key: key
// listing with zero, one and two keys, opening and closing, the device
// information with its cache, the client ID, the server key, public keys,
// and the reconnect rule across an unplug.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/integration/keykit/fixture.h"

using namespace keykit;
using fpkit::WsClient;

namespace {

const char kKeyName[] = "FingerPrint.Usb.0x2541.0x2549..01.03";

class KeyDevice : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_ = new KeyStage(); }
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
KeyStage* KeyDevice::s_ = nullptr;

Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_F(KeyDevice, ListOpenAndClose) {
    // The outer array holds an array: no spaces; the one-name array is on
    // the single-line form.
    EXPECT_EQ(c_.call(R"({"function":"EnumDevice","params":[]})"),
              std::string(R"({"function":"EnumDevice","result":[1,[ ")") + kKeyName +
                  R"(" ]],"reterr":0})");
    // Listing disconnected the key; the next command reconnects to it.
    Json::Value r = run("GetClientID");
    EXPECT_EQ(r["reterr"], 0);
    EXPECT_EQ(r["result"], "FingerPrint Key");

    r = run("openDevice", array({kKeyName}));
    EXPECT_EQ(r["reterr"], 0);
    EXPECT_TRUE(r["result"].isNull());
    EXPECT_EQ(run("GetClientID")["result"], "FingerPrint Key");

    // An empty name names no key: the current one is closed first.
    EXPECT_EQ(run("openDevice", array({Json::Value()}))["reterr"], 102);
    EXPECT_EQ(run("openDevice", array({"no-such-key"}))["reterr"], 102);
    EXPECT_EQ(run("openDevice", array({kKeyName, kKeyName}))["reterr"], 111);
    EXPECT_EQ(run("openDevice", array({7}))["reterr"], 111);

    r = run("closeDevice");
    EXPECT_EQ(r["reterr"], 0);
    EXPECT_TRUE(r["result"].isNull());
    EXPECT_EQ(run("closeDevice")["reterr"], 0);  // nothing connected: still fine
    EXPECT_EQ(run("OpenDev")["result"], "OK");
    EXPECT_EQ(run("InitDev", array({}))["reterr"], 201);
    EXPECT_EQ(run("InitDev", array({1}))["reterr"], 111);
}

TEST_F(KeyDevice, DeviceInformationLevelsAndCache) {
    // The serial number is the key's own (printed by the provisioning).
    const std::string& out = s_->provisionOutput;
    size_t at = out.find("serial \"");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string serial = out.substr(at + 8, out.find('"', at + 8) - at - 8);
    const Json::Value devKey = run("GetDevPubKey")["result"];
    ASSERT_EQ(devKey.asString().size(), 130u);

    // First query at level 2: only the serial number and the type are read.
    Json::Value r = run("GetDevInfo", array({2}));
    ASSERT_EQ(r["reterr"], 0) << r;
    EXPECT_EQ(r["result"], array({serial, 1}));
    // Within 2 seconds the cache answers whatever the level: the items it
    // does not hold are empty.
    r = run("GetDevInfo", array({5}));
    EXPECT_EQ(r["result"], array({serial, 1, "", "", ""}));
    // After the cache has expired, a higher level than it holds is read anew.
    sleep(3);
    r = run("GetDevInfo", array({5}));
    EXPECT_EQ(r["result"], array({serial, 1, "FingerPrint Key", devKey, ""}));
    // Lower levels, and params that give no level, answer from it.
    EXPECT_EQ(run("GetDevInfo", array({3}))["result"], array({serial, 1, "FingerPrint Key"}));
    EXPECT_EQ(run("GetDevInfo", array({4}))["result"],
              array({serial, 1, "FingerPrint Key", devKey}));
    EXPECT_EQ(run("GetDevInfo", array({"3"}))["result"], array({serial, 1}));
    EXPECT_EQ(run("GetDevInfo", Json::Value(Json::objectValue))["result"], array({serial, 1}));
    EXPECT_EQ(run("GetDevInfo", array({}))["result"], array({serial, 1}));
}

TEST_F(KeyDevice, PublicKeysAndTheDeviceCertificate) {
    const Json::Value fac = run("GetFacPubKey");
    const Json::Value dev = run("GetDevPubKey");
    ASSERT_EQ(fac["reterr"], 0) << fac;
    ASSERT_EQ(dev["reterr"], 0) << dev;
    EXPECT_EQ(fac["result"].asString().substr(0, 2), "04");
    EXPECT_NE(fac["result"], dev["result"]);
    // Upper-case hex of the key the provisioning made and certified.
    const std::string& out = s_->provisionOutput;
    EXPECT_NE(out.find("device public key: " + dev["result"].asString()), std::string::npos) << out;
    EXPECT_EQ(toHex(certPublicKey(readFile(s_->caDir + "/axDevCot.der"))),
              dev["result"].asString());
}

TEST_F(KeyDevice, ServerPublicKey) {
    const std::string xy =
        "1111222233334444555566667777888899990000111122223333444455556666"
        "AAAABBBBCCCCDDDDEEEEFFFF0000111122223333444455556666777788889999";
    ASSERT_EQ(xy.size(), 128u);
    Json::Value r = run("SetSvrPubKey", array({xy}));
    EXPECT_EQ(r["result"], "OK") << r;
    // The key keeps X || Y in its elementary file 0x5108.
    std::ifstream state(s_->key->stateFile());
    std::string text((std::istreambuf_iterator<char>(state)), std::istreambuf_iterator<char>());
    std::string lower;
    for (char ch : xy)
        lower += static_cast<char>(tolower(ch));
    EXPECT_NE(text.find("ef 20744 " + lower), std::string::npos);

    EXPECT_EQ(run("SetSvrPubKey", array({"04" + xy}))["result"], "OK");
    EXPECT_EQ(run("SetSvrPubKey", array({xy.substr(0, 126)}))["reterr"], 104);
    EXPECT_EQ(run("SetSvrPubKey", array({"05" + xy}))["reterr"], 104);
    EXPECT_EQ(run("SetSvrPubKey", array({xy + xy}))["reterr"], 104);
    EXPECT_EQ(run("SetSvrPubKey", array({}))["reterr"], 111);
    EXPECT_EQ(run("SetSvrPubKey", array({xy, xy}))["reterr"], 111);
}

TEST_F(KeyDevice, UnplugBetweenCommandsIsInvisible) {
    ASSERT_EQ(run("GetClientID")["reterr"], 0);
    const Json::Value dev = run("GetDevPubKey")["result"];
    ASSERT_TRUE(s_->key->ctl("unplug"));
    ASSERT_TRUE(s_->key->ctl("plug"));
    Json::Value r = run("GetClientID");
    EXPECT_EQ(r["reterr"], 0) << r;
    EXPECT_EQ(r["result"], "FingerPrint Key");

    // A signing session left open across an unplug is opened afresh.
    ASSERT_EQ(run("DeviceSign", array({"before"}))["reterr"], 0);
    ASSERT_TRUE(s_->key->ctl("unplug"));
    ASSERT_TRUE(s_->key->ctl("plug"));
    r = run("FactorySign", array({"after"}));
    EXPECT_EQ(r["reterr"], 0) << r;
    ASSERT_TRUE(s_->key->ctl("unplug"));
    ASSERT_TRUE(s_->key->ctl("plug"));
    r = run("GetDevPubKey");
    EXPECT_EQ(r["result"], dev) << r;
    ASSERT_TRUE(s_->key->ctl("unplug"));
    ASSERT_TRUE(s_->key->ctl("plug"));
    EXPECT_EQ(run("SetSvrPubKey", array({"04" + dev.asString().substr(2)}))["result"], "OK");
}

// Keys present or not, one daemon each.
TEST(KeyCount, NoKeyTwoKeysAndTheDefaultDeviceKey) {
    TempDir dir;
    {
        fpkit::Daemon::Config cfg;
        cfg.args = {"--virtual-key", dir.path + "/nobody"};
        fpkit::Daemon d(cfg);
        WsClient c;
        ASSERT_TRUE(c.connect(d.port()));
        EXPECT_EQ(c.call(R"({"function":"EnumDevice","params":[]})"),
                  R"({"function":"EnumDevice","result":"operate Failed","reterr":103})");
        EXPECT_EQ(command(c, "GetClientID", Json::Value())["reterr"], 102);
        EXPECT_EQ(command(c, "FactorySign", array({"x"}))["reterr"], 102);
    }
    VKey a(dir.path + "/a", "01.03");
    VKey b(dir.path + "/b", "01.04");
    ASSERT_TRUE(a.ready() && b.ready());
    // A blank key takes the daemon's built-in device-authentication key.
    std::string out;
    EXPECT_EQ(provision(b, dir.path + "/ca", &out), 0) << out;
    EXPECT_NE(out.find("device authentication: ok"), std::string::npos) << out;
    // A provisioned key is left alone unless forced.
    EXPECT_EQ(provision(b, dir.path + "/ca", &out), 4) << out;
    EXPECT_NE(out.find("already provisioned"), std::string::npos) << out;
    // Without a CA directory the tool's temporary CA, private key and all,
    // is gone once it ends.
    const std::string tmp = dir.path + "/tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    setenv("TMPDIR", tmp.c_str(), 1);
    EXPECT_EQ(provision(b, "", &out, true), 0) << out;
    unsetenv("TMPDIR");
    EXPECT_EQ(system(("rmdir '" + tmp + "'").c_str()), 0) << "left behind in " << tmp;

    fpkit::Daemon::Config cfg;
    cfg.args = {"--virtual-key", a.socket(), "--virtual-key", b.socket()};
    fpkit::Daemon d(cfg);
    WsClient c;
    ASSERT_TRUE(c.connect(d.port()));
    Json::Value r = command(c, "EnumDevice", array({}));
    EXPECT_EQ(r["result"], array({2, array({"FingerPrint.Usb.0x2541.0x2549..01.03",
                                            "FingerPrint.Usb.0x2541.0x2549..01.04"})}))
        << r;
    // The second key by name: the provisioned one.
    EXPECT_EQ(command(c, "openDevice", array({"FingerPrint.Usb.0x2541.0x2549..01.04"}))["reterr"],
              0);
    EXPECT_EQ(command(c, "GetDevPubKey", Json::Value())["reterr"], 0);
    // The first (blank) key has no layout.
    EXPECT_EQ(command(c, "openDevice", array({"FingerPrint.Usb.0x2541.0x2549..01.03"}))["reterr"],
              0);
    EXPECT_EQ(command(c, "GetDevPubKey", Json::Value())["reterr"], 103);
}
