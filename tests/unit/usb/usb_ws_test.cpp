// fpkeyd end to end over its USB port: the daemon's body runs in this
// process (umockdev's preload must be in the process that calls libusb),
// with no virtual key selected, so every command reaches the key through
// libusb and an emulated device whose answers come from the virtual key's
// engine. A page's view: WebSocket commands, replies checked with OpenSSL.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/app.h"
#include "service/options.h"
#include "service/service.h"
#include "tests/integration/harness/harness.h"
#include "tests/unit/transport/usb_emu.h"
#include "tests/unit/usb/live_key.h"
#include "tools/tools.h"
#include "transport/transport.h"

using namespace fpkit;

namespace {

using support::Bytes;
using support::fromHex;

// r and s (32 bytes each) of a DER SEQUENCE of two INTEGERs; false when the
// text is not one.
bool sigParts(const Bytes& der, Bytes& r, Bytes& s) {
    size_t at = 0;
    if (der.size() < 2 || der[at++] != 0x30 || der[at++] != der.size() - 2) return false;
    for (Bytes* out : {&r, &s}) {
        if (at + 2 > der.size() || der[at] != 0x02) return false;
        size_t n = der[at + 1];
        at += 2;
        if (at + n > der.size()) return false;
        while (n > 32 && der[at] == 0) {
            ++at;
            --n;
        }
        if (n > 32) return false;
        out->assign(32 - n, 0);
        out->insert(out->end(), der.begin() + static_cast<long>(at),
                    der.begin() + static_cast<long>(at + n));
        at += n;
    }
    return at == der.size();
}

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::Reader reader;
    if (!reader.parse(text, v)) return Json::Value();
    return v;
}

class UsbDaemon : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_ok = UsbEmu::start();
        if (!s_ok) return;
        setenv("FPKEYD_LOG_CFG", "/nonexistent/fpkeyd-test/nuvolog.cfg", 1);
        unsetenv("FPKEYD_VIRTUAL_KEY");
        const char* tmp = getenv("TMPDIR");
        s_dir = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/usb-ws-XXXXXX";
        if (mkdtemp(&s_dir[0]) == nullptr) {
            s_setup = "no temporary directory";
            return;
        }
        s_key = new LiveKey(s_dir + "/key", 64);
        if (!s_key->ready() || s_key->plugInto({0x2549, "1-3", 64, true, 0}) < 0) {
            s_setup = "key not plugged: " + s_key->error();
            return;
        }

        // Factory provisioning through the application layer, over USB.
        fptools::ProvisionOptions po;
        po.caDir = s_dir + "/ca";
        char* text = nullptr;
        size_t textLen = 0;
        FILE* out = open_memstream(&text, &textLen);
        const int rc = fptools::provisionKey(po, out);
        fclose(out);
        const std::string said(text != nullptr ? text : "");
        free(text);
        if (rc != fptools::kProvisionOk) {
            s_setup = "provisioning over USB failed (" + std::to_string(rc) + "):\n" + said;
            return;
        }

        // The daemon as fpkeyd runs it: no virtual key, port from FPKEYD_PORT.
        const std::string port = std::to_string(freePort());
        const char* argv[] = {"fpkeyd"};
        Options options;
        std::string error;
        if (!parseOptions(1, argv, port.c_str(), options, error)) {
            s_setup = "options: " + error;
            return;
        }
        s_port = options.port;
        s_loop = new std::thread([options] { s_rc = fpkeydRun(options); });
        for (int i = 0; i < 500; ++i) {
            WsClient probe;
            if (probe.connect(s_port, "/websocket", std::chrono::milliseconds(100))) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        s_setup = "the daemon did not listen";
    }
    static void TearDownTestSuite() {
        if (s_loop != nullptr) {
            work_stop();
            s_loop->join();
            delete s_loop;
        }
        {
            // Release the key while the emulated device still answers: a
            // handle left for the exit handlers would talk to a testbed that
            // is gone and wait for ever.
            std::lock_guard<std::mutex> lock(CNvId::sessionLock());
            CNvId::closeDev();
        }
        UsbEmu::stop();
        delete s_key;
        if (!s_dir.empty()) {
            const std::string cmd = "rm -rf '" + s_dir + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }
    void SetUp() override {
        if (!s_ok) GTEST_SKIP() << "umockdev preload not active: the USB path cannot be emulated";
        ASSERT_TRUE(s_setup.empty()) << s_setup;
        ASSERT_TRUE(c.connect(s_port)) << c.lastError();
    }

    Json::Value call(const std::string& function, const std::string& params) {
        const std::string reply = c.call(
            R"({"function":")" + function + R"(","params":)" + params + R"(,"randomId":"u1"})",
            std::chrono::milliseconds(20000));
        Json::Value v = parse(reply);
        EXPECT_TRUE(v.isObject()) << reply;
        EXPECT_EQ(v["function"].asString(), function) << reply;
        EXPECT_EQ(v["randomId"].asString(), "u1") << reply;
        return v;
    }

    static bool s_ok;
    static std::string s_dir, s_setup;
    static LiveKey* s_key;
    static unsigned short s_port;
    static std::thread* s_loop;
    static int s_rc;
    WsClient c;
};
bool UsbDaemon::s_ok = false;
std::string UsbDaemon::s_dir;
std::string UsbDaemon::s_setup;
LiveKey* UsbDaemon::s_key = nullptr;
unsigned short UsbDaemon::s_port = 0;
std::thread* UsbDaemon::s_loop = nullptr;
int UsbDaemon::s_rc = -1;

TEST_F(UsbDaemon, DeviceInformationIsTheKeys) {
    const Json::Value v = call("GetDevInfo", "[5]");
    ASSERT_EQ(v["reterr"].asInt(), 0) << v.toStyledString();
    const Json::Value& r = v["result"];
    ASSERT_TRUE(r.isArray());
    ASSERT_EQ(r.size(), 5u);
    const std::string facts = s_key->describe();
    EXPECT_NE(r[0].asString(), "");
    EXPECT_NE(facts.find("serial=" + r[0].asString() + " "), std::string::npos)
        << r[0].asString() << " vs " << facts;
    // The device public key the key made at provisioning, as the page sees it.
    const Json::Value dev = call("GetDevPubKey", "[]");
    ASSERT_EQ(dev["reterr"].asInt(), 0);
    EXPECT_EQ(r[3].asString(), dev["result"].asString());
    EXPECT_EQ(r[3].asString().size(), 130u);

    const Json::Value list = call("EnumDevice", "[]");
    ASSERT_EQ(list["reterr"].asInt(), 0) << list.toStyledString();
    EXPECT_EQ(list["result"][0].asInt(), 1);
    EXPECT_EQ(list["result"][1][0].asString(), "FingerPrint.Usb.0x2541.0x2549..03");
}

TEST_F(UsbDaemon, FactorySignatureVerifiesWithOpenSsl) {
    const Json::Value pub = call("GetFacPubKey", "[]");
    ASSERT_EQ(pub["reterr"].asInt(), 0) << pub.toStyledString();
    const Bytes point = fromHex(pub["result"].asString());
    ASSERT_EQ(point.size(), 65u);
    ASSERT_EQ(point[0], 0x04);

    // The daemon hashes the message; the key signs the digest.
    for (const std::string& m :
         {std::string("hello over usb"), std::string(300, 'q'), std::string(900, 'z')}) {
        const Json::Value v = call("FactorySign", "[\"" + m + "\"]");
        ASSERT_EQ(v["reterr"].asInt(), 0) << v.toStyledString();
        Bytes r, s;
        ASSERT_TRUE(sigParts(fromHex(v["result"].asString()), r, s)) << v["result"].asString();
        const Bytes msg(m.begin(), m.end());
        EXPECT_TRUE(support::sm2Verify(point, msg, r, s)) << m.size();
        Bytes other = msg;
        other[0] ^= 1;
        EXPECT_FALSE(support::sm2Verify(point, other, r, s));
    }
    EXPECT_EQ(s_key->shortUnits(), 0);
    EXPECT_EQ(s_key->droppedFrames(), 0);
    EXPECT_EQ(s_key->dirtyPadding(), 0);
}

// A finger enrolled through the page's commands: the module's progress and
// the new finger container travel over USB, and the enrolment's signed
// statement verifies under the device key the page can read.
TEST_F(UsbDaemon, EnrolmentStatementVerifiesWithOpenSsl) {
    const Json::Value info = call("GetDevInfo", "[]");
    ASSERT_EQ(info["reterr"].asInt(), 0);
    const std::string serial = info["result"][0].asString();
    const Json::Value dev = call("GetDevPubKey", "[]");
    ASSERT_EQ(dev["reterr"].asInt(), 0);
    const Bytes devPoint = fromHex(dev["result"].asString());
    ASSERT_EQ(devPoint.size(), 65u);

    const Json::Value reg = call("RegisterUser", R"(["usbuser", 1, "left thumb"])");
    ASSERT_EQ(reg["reterr"].asInt(), 0) << reg.toStyledString();
    ASSERT_EQ(reg["result"][0].asInt(), 6);
    ASSERT_TRUE(c.sendText(R"({"function":"WaitEnroll","params":[]})"));
    for (int i = 0; i < 6; ++i) {
        const std::string want = "module=enrolling(" + std::to_string(i) + "/6)";
        bool waiting = false;
        for (int t = 0; t < 1000 && !waiting; ++t) {
            waiting = s_key->describe().find(want) != std::string::npos;
            if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(waiting) << want << ": " << s_key->describe();
        ASSERT_TRUE(s_key->touch("usb-thumb"));
    }

    // Five progress messages counting the captures down, then the result.
    Json::Value done;
    int progress = 0;
    while (done.isNull()) {
        const auto text = c.recv(std::chrono::milliseconds(20000));
        ASSERT_TRUE(text.has_value()) << c.lastError();
        const Json::Value m = parse(*text);
        ASSERT_EQ(m["function"].asString(), "ackEnroll") << *text;
        ASSERT_EQ(m["reterr"].asInt(), 0) << *text;
        ASSERT_TRUE(m["result"].isArray()) << *text;
        if (m["result"].size() == 2u) {
            EXPECT_EQ(m["result"][0].asInt(), 0);
            EXPECT_EQ(m["result"][1].asInt(), 5 - progress) << *text;
            ++progress;
        } else {
            done = m["result"];
        }
    }
    EXPECT_EQ(progress, 5);
    ASSERT_EQ(done.size(), 8u) << done.toStyledString();
    EXPECT_EQ(done[2].asInt(), 1);
    const std::string record = done[3].asString();
    EXPECT_EQ(record.rfind("usbuser_1_", 0), 0u) << record;
    EXPECT_EQ(done[4].asString(), "left thumb");
    const std::string pubText = done[5].asString();
    ASSERT_EQ(pubText.size(), 130u);
    Bytes r, s;
    ASSERT_TRUE(sigParts(fromHex(done[6].asString()), r, s)) << done[6].asString();
    const std::string signedText = pubText + record + serial;
    const Bytes msg(signedText.begin(), signedText.end());
    EXPECT_TRUE(
        support::sm2Verify(support::sm2Point(Bytes(devPoint.begin() + 1, devPoint.begin() + 33),
                                             Bytes(devPoint.begin() + 33, devPoint.end())),
                           msg, r, s));

    const Json::Value users = call("GetUserList", "[]");
    ASSERT_EQ(users["reterr"].asInt(), 0);
    EXPECT_EQ(users["result"][0].asInt(), 1);
    EXPECT_EQ(users["result"][1][0].asString(), "usbuser");
}

// A second key plugged in and pulled out again, announced by the kernel's
// uevents: libusb's hotplug monitor sees them, and the page that asked is
// told of both. The first key stays connected throughout.
TEST_F(UsbDaemon, AKeyPluggedInAndPulledOutIsToldToAWatchingPage) {
    for (int t = 0; t < 500 && PORT_WatchKind() == 0; ++t)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // libusb on Linux always has hotplug support: the listing every second
    // is for other platforms.
    ASSERT_EQ(PORT_WatchKind(), PORT_WATCH_HOTPLUG);
    ASSERT_EQ(call("WatchDevice", "[]")["result"].asString(), "OK");
    const int dev = UsbEmu::add({0x2547, "1-4", 64, true, 0});
    ASSERT_GE(dev, 0);
    UsbEmu::uevent(dev, "add");
    const std::string name = "FingerPrint.Usb.0x2541.0x2547..04";
    auto text = c.recv(std::chrono::milliseconds(5000));
    ASSERT_TRUE(text.has_value()) << "no arrival message: " << c.lastError();
    EXPECT_EQ(*text,
              R"({"function":"ackDevice","result":[ ")" + name + R"(", 9543, true ],"reterr":0})");
    UsbEmu::remove(dev);
    text = c.recv(std::chrono::milliseconds(5000));
    ASSERT_TRUE(text.has_value()) << "no removal message: " << c.lastError();
    EXPECT_EQ(*text,
              R"({"function":"ackDevice","result":[ ")" + name + R"(", 9543, false ],"reterr":0})");
    const Json::Value v = call("GetDevInfo", "[2]");
    EXPECT_EQ(v["reterr"].asInt(), 0) << v.toStyledString();
}

}  // namespace
