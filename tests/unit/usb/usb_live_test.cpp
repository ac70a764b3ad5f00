// The daemon's USB path as it runs on a desktop, with the virtual key's
// engine behind an emulated device: libusb's Linux backend opens, detaches,
// claims and moves bulk transfers; the smart-key functions, the port layer
// and the links above it are the daemon's own, unchanged. The key's answers
// are real (signatures checked with OpenSSL), so a transport that loses,
// adds or misdirects a unit fails here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "skf/skf.h"
#include "tests/support/support.h"
#include "tests/unit/skf/oracle.h"
#include "tests/unit/transport/usb_emu.h"
#include "tests/unit/usb/live_key.h"
#include "transport/transport.h"
#include "transport/usb.h"

namespace {

class LiveUsb : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_ok = UsbEmu::start();
        const char* tmp = getenv("TMPDIR");
        s_dir = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/usb-live-XXXXXX";
        if (mkdtemp(&s_dir[0]) == nullptr) s_dir.clear();
    }
    static void TearDownTestSuite() {
        UsbEmu::stop();
        if (!s_dir.empty()) {
            const std::string cmd = "rm -rf '" + s_dir + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }
    void SetUp() override {
        if (!s_ok) GTEST_SKIP() << "umockdev preload not active: the USB path cannot be emulated";
        ASSERT_FALSE(s_dir.empty());
        ssUsbTimeout(2000);
    }
    void TearDown() override {
        if (h != nullptr) SKF_DisConnectDev(h);
        ssUsbClose(1);
        EXPECT_TRUE(UsbEmu::unexpected().empty()) << "unexpected ioctl";
        UsbEmu::clear();  // before the keys the devices point to go
        keys.clear();
        ssUsbTimeout(0);
    }

    // A blank key behind a new emulated device.
    LiveKey& plug(uint16_t pid, const char* sysName, uint16_t maxPacket = 64, int claimErrno = 0) {
        const std::string state = s_dir + "/" + std::to_string(++s_serial);
        keys.push_back(std::make_unique<LiveKey>(state, maxPacket > 64 ? 1024 : 64));
        LiveKey& k = *keys.back();
        EXPECT_TRUE(k.ready()) << k.error();
        dev.push_back(k.plugInto({pid, sysName, maxPacket, true, claimErrno}));
        EXPECT_GE(dev.back(), 0);
        return k;
    }

    // The serial number the key itself holds.
    static std::string serialOf(const LiveKey& k) {
        const std::string d = k.describe();
        const size_t at = d.find("serial=");
        return at == std::string::npos ? "" : d.substr(at + 7, d.find(' ', at) - at - 7);
    }

    void connectFirst(std::string* name = nullptr) {
        char names[512] = {};
        unsigned int size = sizeof names;
        ASSERT_EQ(SKF_EnumDev(1, names, &size), SAR_OK);
        ASSERT_NE(names[0], 0);
        if (name != nullptr) *name = names;
        ASSERT_EQ(SKF_ConnectDev(names, &h), SAR_OK);
    }

    void devAuth() {
        uint8_t ch[8];
        ASSERT_EQ(SKF_GenRandom(h, ch, 8), SAR_OK);
        Bytes block(ch, ch + 8);
        block.resize(16, 0);
        const std::string k = vkey::kDefaultDeviceKey;
        const Bytes crypt = osslSm4Ecb(Bytes(k.begin(), k.end()), block);
        ASSERT_EQ(SKF_DevAuth(h, crypt.data(), 16), SAR_OK);
    }

    static bool s_ok;
    static std::string s_dir;
    static int s_serial;
    std::vector<std::unique_ptr<LiveKey>> keys;
    std::vector<int> dev;
    DEVHANDLE h = nullptr;
};
bool LiveUsb::s_ok = false;
std::string LiveUsb::s_dir;
int LiveUsb::s_serial = 0;

// A frame the key answers at once whatever its state: a channel without a
// service is refused with a status of its own.
Bytes refusedRequest(uint8_t seq) {
    Bytes f(FRAME_ENVELOPE + 4, 0);
    f[FRAME_OFS_PAYLOAD] = 0x5A;
    frameBuild(f.data(), f.size(), 4, 0x01, FRAME_PLAIN, seq, 0);
    return f;
}

// 0x2547-0x2549 absent: the listing reports the 0x254A key (first in its
// product order), the open sequence goes to the 0x2550 key, which alone
// then sees requests.
TEST_F(LiveUsb, ProductOrderOfListingAndOpen) {
    LiveKey& k254a = plug(0x254A, "1-2");
    LiveKey& k2550 = plug(0x2550, "1-6");
    char names[512];
    memset(names, 'x', sizeof names);
    unsigned int size = sizeof names;
    ASSERT_EQ(SKF_EnumDev(1, names, &size), SAR_OK);
    const std::string listed = names;
    EXPECT_EQ(listed, "FingerPrint.Usb.0x2541.0x254a..02");
    EXPECT_EQ(names[listed.size() + 1], 0);  // one name, then the list end

    ASSERT_EQ(ssUsbOpenEx(), 0);
    EXPECT_EQ(UsbEmu::claims(dev[1]), 1);
    EXPECT_EQ(UsbEmu::claims(dev[0]), 0);
    const Bytes req = refusedRequest(0x21);
    ASSERT_EQ(ssUsbTxd(1, req.data(), static_cast<int>(req.size())), 0);
    uint8_t reply[LINK_RXD_CAPACITY];
    int len = 0;
    ASSERT_EQ(ssUsbRxd(1, reply, sizeof reply, &len), 0);
    EXPECT_EQ(frameCheck(reply, static_cast<size_t>(len)), 1);
    EXPECT_EQ(reply[FRAME_OFS_SEQ], 0x21);
    EXPECT_EQ(k2550.framesIn(), 1);
    EXPECT_EQ(k254a.framesIn(), 0);
}

// Two keys of one product: both listed by their port paths, and the one
// connected by name answers with its own identity.
TEST_F(LiveUsb, TwoKeysListedByPortPath) {
    LiveKey& a = plug(0x2549, "1-3");
    plug(0x2549, "1-4");
    char names[512];
    unsigned int size = sizeof names;
    ASSERT_EQ(SKF_EnumDev(1, names, &size), SAR_OK);
    std::vector<std::string> got;
    for (const char* p = names; *p != 0; p += strlen(p) + 1)
        got.push_back(p);
    ASSERT_EQ(got.size(), 2u);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got[0], "FingerPrint.Usb.0x2541.0x2549..03");
    EXPECT_EQ(got[1], "FingerPrint.Usb.0x2541.0x2549..04");
    ASSERT_EQ(SKF_ConnectDev(got[0].c_str(), &h), SAR_OK);
    DEVINFO info;
    ASSERT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
    // libusb opens the first device of the ids; whichever it is, the serial
    // is that key's own.
    const std::string sn(info.SerialNumber, strnlen(info.SerialNumber, 32));
    EXPECT_FALSE(sn.empty());
    const std::string sa = serialOf(a), sb = serialOf(*keys[1]);
    EXPECT_TRUE(sn == sa || sn == sb) << sn << " " << sa << " " << sb;
    EXPECT_NE(sa, sb);
}

// The whole smart-key path through both kinds of device: identity, device
// authentication, an application, a container, a key pair, a certificate
// larger than many units both ways, and a signature that OpenSSL accepts.
class LiveUsbUnits : public LiveUsb, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(LiveUsbUnits, SignatureThroughUsb) {
    const uint16_t mps = GetParam();
    const size_t unit = mps > 64 ? 1024 : 64;
    const uint8_t epOut = mps > 64 ? 0x01 : 0x02;
    LiveKey& key = plug(0x2549, "1-3", mps);
    std::string name;
    ASSERT_NO_FATAL_FAILURE(connectFirst(&name));
    EXPECT_EQ(name, "FingerPrint.Usb.0x2541.0x2549..03");
    EXPECT_EQ(UsbEmu::detaches(dev[0]), 1);
    EXPECT_EQ(UsbEmu::claimedInterface(dev[0]), 0);
    const UsbEndpoints ep = ssUsbEndpoints();
    EXPECT_EQ(ep.unit, unit);
    EXPECT_EQ(ep.out, epOut);

    DEVINFO info;
    ASSERT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
    EXPECT_EQ(std::string(info.SerialNumber, strnlen(info.SerialNumber, 32)), serialOf(key));

    ASSERT_NO_FATAL_FAILURE(devAuth());
    HAPPLICATION app = nullptr;
    ASSERT_EQ(SKF_CreateApplication(h, "USBAPP", "admin123", 6, "user1234", 3, 0xFF, &app), SAR_OK);
    unsigned int retry = 0;
    ASSERT_EQ(SKF_VerifyPIN(app, USER_TYPE, "user1234", &retry), SAR_OK);
    HCONTAINER con = nullptr;
    ASSERT_EQ(SKF_CreateContainer(app, "usbCot", &con), SAR_OK);
    Struct_ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(SKF_GenECCKeyPair(con, SGD_SM2_1, &pub), SAR_OK);
    const Bytes x(pub.XCoordinate + 32, pub.XCoordinate + 64);
    const Bytes y(pub.YCoordinate + 32, pub.YCoordinate + 64);

    // 1500 bytes: 24 units of 64, or two of 1024, each way.
    Bytes cert(1500);
    for (size_t i = 0; i < cert.size(); ++i)
        cert[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_EQ(SKF_ImportCertificate(con, 1, cert.data(), static_cast<unsigned>(cert.size())),
              SAR_OK);
    Bytes back(2000);
    unsigned int len = static_cast<unsigned>(back.size());
    ASSERT_EQ(SKF_ExportCertificate(con, 1, back.data(), &len), SAR_OK);
    back.resize(len);
    EXPECT_EQ(back, cert);

    const Bytes msg = {'o', 'v', 'e', 'r', ' ', 'u', 's', 'b'};
    const Bytes e = support::sm3WithZ(support::sm2Point(x, y), msg);
    ECCSIGNATUREBLOB sig;
    ASSERT_EQ(SKF_ECCSignData(con, e.data(), 32, &sig), SAR_OK);
    EXPECT_TRUE(support::sm2Verify(support::sm2Point(x, y), msg, Bytes(sig.r + 32, sig.r + 64),
                                   Bytes(sig.s + 32, sig.s + 64)));
    SKF_CloseContainer(con);
    SKF_CloseApplication(app);

    // Every transfer was one whole unit on the device's own endpoints, the
    // key saw only well-formed frames, and the host read exactly the units
    // the key answered with: each reply was completed from its length field.
    int ins = 0, outs = 0;
    for (const UsbEmuTransfer& t : UsbEmu::transfers(dev[0])) {
        EXPECT_EQ(t.data.size(), unit);
        if (t.endpoint & 0x80) {
            EXPECT_EQ(t.endpoint, 0x82);
            ++ins;
        } else {
            EXPECT_EQ(t.endpoint, epOut);
            ++outs;
        }
    }
    EXPECT_EQ(key.shortUnits(), 0);
    EXPECT_EQ(key.droppedFrames(), 0);
    EXPECT_EQ(key.dirtyPadding(), 0);
    EXPECT_GE(outs, key.framesIn());
    EXPECT_GT(key.framesIn(), 10);
    EXPECT_EQ(ins, key.unitsOut());
}

INSTANTIATE_TEST_SUITE_P(MaxPacket, LiveUsbUnits, ::testing::Values(64, 512));

// A key that stops answering: the receive ends with -107 after the wait,
// and once the key answers again the next exchange gets its own reply (the
// abandoned read left nothing behind).
TEST_F(LiveUsb, TimeOutThenRecovery) {
    LiveKey& key = plug(0x2549, "1-3");
    ASSERT_EQ(ssUsbOpenEx(), 0);
    ssUsbTimeout(300);
    key.setMute(true);
    const Bytes first = refusedRequest(0x31);
    ASSERT_EQ(ssUsbTxd(1, first.data(), static_cast<int>(first.size())), 0);
    uint8_t reply[LINK_RXD_CAPACITY];
    int len = -1;
    EXPECT_EQ(ssUsbRxd(1, reply, sizeof reply, &len), SS_ERR_TIMEOUT);
    EXPECT_EQ(len, -1);
    EXPECT_EQ(key.framesIn(), 1);  // it did arrive

    key.setMute(false);
    ssUsbTimeout(2000);
    const Bytes second = refusedRequest(0x32);
    ASSERT_EQ(
        ssUsbTxRx(1, second.data(), static_cast<int>(second.size()), reply, sizeof reply, &len), 0);
    EXPECT_EQ(frameCheck(reply, static_cast<size_t>(len)), 1);
    EXPECT_EQ(reply[FRAME_OFS_SEQ], 0x32);
}

// The smart-key layer over a key that hangs gets a failure, not a hang, and
// works again once it answers.
TEST_F(LiveUsb, SmartKeyCallsOverAHangingKey) {
    LiveKey& key = plug(0x2549, "1-3");
    ASSERT_NO_FATAL_FAILURE(connectFirst());
    uint8_t rnd[16];
    ASSERT_EQ(SKF_GenRandom(h, rnd, 16), SAR_OK);
    key.setMute(true);
    PORT_SETWAITTIME(300);
    EXPECT_NE(SKF_GenRandom(h, rnd, 16), SAR_OK);
    key.setMute(false);
    PORT_SETWAITTIME(2000);
    DEVINFO info;
    EXPECT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
}

// A claim the kernel refuses: the connect fails and the key sees nothing.
TEST_F(LiveUsb, ClaimRefused) {
    LiveKey& key = plug(0x2549, "1-3", 64, EBUSY);
    char names[512];
    unsigned int size = sizeof names;
    ASSERT_EQ(SKF_EnumDev(1, names, &size), SAR_OK);
    EXPECT_NE(SKF_ConnectDev(names, &h), SAR_OK);
    h = nullptr;
    EXPECT_EQ(UsbEmu::claims(dev[0]), 0);
    EXPECT_EQ(key.framesIn(), 0);
}

// Unplugged after a good exchange: calls fail instead of hanging.
TEST_F(LiveUsb, Unplugged) {
    plug(0x2549, "1-3");
    ASSERT_NO_FATAL_FAILURE(connectFirst());
    DEVINFO info;
    ASSERT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
    UsbEmu::unplug(dev[0]);
    uint8_t rnd[8];
    EXPECT_NE(SKF_GenRandom(h, rnd, 8), SAR_OK);
}

}  // namespace

namespace {

std::atomic<int> g_progressCalls{0};
int countProgress(int*, void*, int*) {
    ++g_progressCalls;
    return 0;
}

// A fingerprint command on a worker thread, as the daemon runs one.
class Worker {
  public:
    template <typename F>
    explicit Worker(F f) : m_thread([this, f] { m_result = f(); }) {}
    ~Worker() {
        if (m_thread.joinable()) m_thread.join();
    }
    uint32_t join() {
        m_thread.join();
        return m_result;
    }

  private:
    std::atomic<uint32_t> m_result{0xFFFFFFFF};
    std::thread m_thread;
};

class LiveUsbFinger : public LiveUsb {
  protected:
    void TearDown() override {
        NUV_SetLink(nullptr);
        link.releaseDev();
        LiveUsb::TearDown();
    }
    // The link a device slot gets, over the USB port.
    void openLink() {
        PORT_DEVNAME slots[PORT_MAX_DEVICES];
        ASSERT_EQ(PORT_GetusbPortDevName(0, slots, PORT_MAX_DEVICES), 1);
        _ST_PORT_PARAM rec;
        PORT_FillParam(&rec, 0, slots[0].name);
        _ST_DEV_OPT opt;
        ASSERT_EQ(initPortParam(&opt, &rec), 0);
        link.SetDev(&opt);
        ASSERT_EQ(link.linkf_openDev(), 0);
        NUV_SetLink(&link);
        NUV_SetRegistry(nullptr, nullptr);
    }
    // Waits until the key's module reports `state`.
    static bool moduleIs(const LiveKey& key, const std::string& state) {
        for (int i = 0; i < 1000; ++i) {
            if (key.describe().find("module=" + state) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "module never " << state << ": " << key.describe();
        return false;
    }
    CLink link;
};

// The fingerprint module through libusb: enrolment by touches with its
// progress answers, verification that matches and that does not, a cancel
// sent while a worker waits in a bulk IN transfer, and the module's own
// time-out answering a wait with no finger.
TEST_F(LiveUsbFinger, EnrolVerifyCancelAndModuleTimeOut) {
    constexpr uint32_t kMismatch = 0xE102, kCancelled = 0xE117, kNoFinger = 0xE118;
    LiveKey& key = plug(0x2549, "1-3");
    ASSERT_NO_FATAL_FAILURE(openLink());
    uint8_t table[NUV_FPC_NUM_MAX];
    NUV_SetTimeOut(20000);
    ASSERT_EQ(NUV_FpcGetNum(nullptr, table), 0u);
    EXPECT_EQ(table[0], 64);
    EXPECT_EQ(table[1], 0);

    g_progressCalls = 0;
    uint8_t number = 0;
    NUV_SetTimeOut(20000);
    {
        Worker w([&number] { return NUV_FpcEnroll(nullptr, &number, countProgress); });
        for (int i = 0; i < 6; ++i) {
            if (!moduleIs(key, "enrolling(" + std::to_string(i) + "/6)")) break;
            EXPECT_TRUE(key.touch("alice"));
        }
        ASSERT_EQ(w.join(), 0u);
    }
    EXPECT_GT(number, 0);
    EXPECT_EQ(g_progressCalls.load(), 5);

    auto verifyWith = [&](const std::string& finger, uint8_t* matched) {
        NUV_SetTimeOut(20000);
        Worker w([matched] { return NUV_FpcVerify(nullptr, matched, countProgress); });
        if (moduleIs(key, "verifying")) {
            EXPECT_TRUE(key.touch(finger));
        }
        return w.join();
    };
    uint8_t matched = 0;
    EXPECT_EQ(verifyWith("alice", &matched), 0u);
    EXPECT_EQ(matched, number);
    EXPECT_EQ(verifyWith("carol", &matched), NUV_MODULE_BASE + kMismatch);

    // The cancel goes out on the OUT endpoint while the worker's IN
    // transfer is pending.
    NUV_SetTimeOut(20000);
    {
        Worker w([] { return NUV_FpcVerify(nullptr, nullptr, countProgress); });
        ASSERT_TRUE(moduleIs(key, "verifying"));
        EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL), 0u);
        EXPECT_EQ(w.join(), NUV_MODULE_BASE + kCancelled);
    }

    key.setFingerWait(300);
    NUV_SetTimeOut(20000);
    EXPECT_EQ(NUV_FpcVerify(nullptr, nullptr, countProgress), NUV_MODULE_BASE + kNoFinger);
    EXPECT_EQ(key.droppedFrames(), 0);
    EXPECT_EQ(key.shortUnits(), 0);
}

}  // namespace
