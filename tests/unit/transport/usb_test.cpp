// The USB transport through libusb's real Linux backend against keys
// emulated with umockdev: listing and names, the open sequence, endpoint and
// unit choice, kernel-driver detach, claim, sends in whole zero-padded units,
// receives completed from the length field, time-outs and unplug.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/unit/transport/usb_emu.h"
#include "transport/transport.h"
#include "transport/usb.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frameOf(size_t payload, uint8_t seq) {
    Bytes f(payload + FRAME_ENVELOPE);
    for (size_t i = 0; i < payload; ++i)
        f[7 + i] = static_cast<uint8_t>(0x30 + i);
    frameBuild(f.data(), f.size(), payload, FRAME_CH_APDU, 0, seq, 0);
    return f;
}

void queueFrame(int dev, const Bytes& frame, size_t unit, uint8_t pad = 0) {
    for (size_t at = 0; at < frame.size(); at += unit) {
        Bytes u(unit, pad);
        const size_t n = frame.size() - at < unit ? frame.size() - at : unit;
        memcpy(u.data(), frame.data() + at, n);
        UsbEmu::queueIn(dev, u);
    }
}

std::vector<UsbEmuTransfer> outs(int dev) {
    std::vector<UsbEmuTransfer> r;
    for (auto& t : UsbEmu::transfers(dev))
        if ((t.endpoint & 0x80) == 0) r.push_back(t);
    return r;
}

class UsbTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_ok = UsbEmu::start(); }
    static void TearDownTestSuite() { UsbEmu::stop(); }
    void SetUp() override {
        if (!s_ok) GTEST_SKIP() << "umockdev preload not active";
        ssUsbTimeout(2000);
    }
    void TearDown() override {
        ssUsbClose(1);
        EXPECT_TRUE(UsbEmu::unexpected().empty()) << "unexpected ioctl";
        UsbEmu::clear();
        ssUsbTimeout(0);
    }
    static bool s_ok;
};
bool UsbTest::s_ok = false;

TEST_F(UsbTest, ListingNamesAndLookUp) {
    char names[512];
    memset(names, 'x', sizeof(names));
    // No device of that product: count 0 and a single zero byte.
    UsbEmu::add({0x2549, "1-3", 64, true, 0});
    EXPECT_EQ(ssUsblst(names, sizeof(names), 0x2541, 0x2547), 0);
    EXPECT_EQ(names[0], 0);
    UsbEmu::add({0x2549, "1-4", 64, true, 0});
    ASSERT_EQ(ssUsblst(names, sizeof(names), 0x2541, 0x2549), 2);
    const std::string first = names;
    const std::string second = names + first.size() + 1;
    EXPECT_EQ(names[first.size() + 1 + second.size() + 1], 0);  // list end
    std::vector<std::string> got = {first, second};
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got[0], "FingerPrint.Usb.0x2541.0x2549..03");
    EXPECT_EQ(got[1], "FingerPrint.Usb.0x2541.0x2549..04");
    EXPECT_EQ(ssUsbFind("FingerPrint.Usb.0x2541.0x2549..04"), 0);
    EXPECT_EQ(ssUsbFind("FingerPrint.Usb.0x2541.0x2549..07"), 2);
    // A buffer too small for the names still counts them, and stays bounded.
    char tiny[8];
    memset(tiny, 'x', sizeof(tiny));
    EXPECT_EQ(ssUsblst(tiny, sizeof(tiny), 0x2541, 0x2549), 2);
    EXPECT_EQ(tiny[0], 0);
}

TEST_F(UsbTest, PortListingReportsFirstProductOnly) {
    UsbEmu::add({0x2549, "1-3", 64, true, 0});
    UsbEmu::add({0x2548, "1-5", 64, true, 0});
    PORT_DEVNAME slots[PORT_MAX_DEVICES];
    ASSERT_EQ(PORT_GetusbPortDevNameEx(0, slots, PORT_MAX_DEVICES, 0), 1);
    EXPECT_STREQ(slots[0].name, "FingerPrint.Usb.0x2541.0x2548..05");
    // The open sequence also finds 0x2548 first.
    ASSERT_EQ(ssUsbOpenEx(), 0);
    EXPECT_EQ(UsbEmu::claims(1), 1);
    EXPECT_EQ(UsbEmu::claims(0), 0);
}

// The open sequence searches 0x2547, 0x2548, 0x2549, 0x2550 only; a 0x254A
// key is opened only after a listing has remembered its ids.
TEST_F(UsbTest, OpenSequenceAnd254A) {
    UsbEmu::add({0x2549, "1-3", 64, true, 0});
    char names[256];
    ASSERT_EQ(ssUsblst(names, sizeof(names), 0x2541, 0x2549), 1);  // remembers 0x2549
    UsbEmu::clear();
    UsbEmu::add({0x254A, "1-2", 64, true, 0});
    EXPECT_EQ(ssUsbOpenEx(), SS_ERR_TXD);
    PORT_DEVNAME slots[PORT_MAX_DEVICES];
    ASSERT_EQ(PORT_GetusbPortDevNameEx(0, slots, PORT_MAX_DEVICES, 0), 1);
    EXPECT_STREQ(slots[0].name, "FingerPrint.Usb.0x2541.0x254a..02");
    EXPECT_EQ(ssUsbOpenEx(), 0);
    EXPECT_EQ(UsbEmu::claims(0), 1);
    ssUsbClose(1);
    // 0x2550 is in the search: found without a listing.
    UsbEmu::add({0x2550, "1-6", 64, true, 0});
    EXPECT_EQ(ssUsbOpenEx(), 0);
    EXPECT_EQ(UsbEmu::claims(1), 1);
}

TEST_F(UsbTest, OpenDetachesClaimsAndSendsWholeUnits) {
    const int dev = UsbEmu::add({0x2549, "1-3", 64, true, 0});
    ASSERT_EQ(PORT_Open(1), 0);
    EXPECT_EQ(UsbEmu::detaches(dev), 1);
    EXPECT_EQ(UsbEmu::claimedInterface(dev), 0);
    const UsbEndpoints ep = ssUsbEndpoints();
    EXPECT_EQ(ep.unit, 64u);
    EXPECT_EQ(ep.out, 0x02u);

    const uint8_t five[] = {1, 2, 3, 4, 5};
    int sent = 0;
    ASSERT_EQ(PORT_txd(1, five, 5, &sent), 0);
    EXPECT_EQ(sent, 5);
    Bytes b65(65, 0xAB);
    ASSERT_EQ(PORT_txd(1, b65.data(), 65, &sent), 0);
    const auto o = outs(dev);
    ASSERT_EQ(o.size(), 3u);
    for (const auto& t : o) {
        EXPECT_EQ(t.endpoint, 0x02);
        EXPECT_EQ(t.data.size(), 64u);
    }
    EXPECT_EQ(0, memcmp(o[0].data.data(), five, 5));
    for (size_t i = 5; i < 64; ++i)
        EXPECT_EQ(o[0].data[i], 0);
    EXPECT_EQ(o[2].data[0], 0xAB);
    for (size_t i = 1; i < 64; ++i)
        EXPECT_EQ(o[2].data[i], 0);

    EXPECT_EQ(PORT_Close(1), 0);
    EXPECT_EQ(UsbEmu::releases(dev), 1);
    EXPECT_EQ(PORT_Close(1), -1);
}

TEST_F(UsbTest, ReceiveCompletesFromLengthField) {
    const int dev = UsbEmu::add({0x2549, "1-3", 64, false, 0});
    ASSERT_EQ(ssUsbOpenEx(), 0);
    EXPECT_EQ(UsbEmu::detaches(dev), 0);  // no driver to detach
    const Bytes f = frameOf(60, 9);
    queueFrame(dev, f, 64, 0xEE);
    uint8_t out[LINK_RXD_CAPACITY];
    memset(out, 0x5A, sizeof(out));
    int len = 0;
    ASSERT_EQ(PORT_rxd(1, out, sizeof(out), &len), 0);
    EXPECT_EQ(len, 70);
    EXPECT_EQ(0, memcmp(out, f.data(), 70));
    EXPECT_EQ(out[70], 0x5A);

    // Announced 3000 bytes into a 2048-byte buffer: refused, drained, and the
    // next frame arrives whole.
    Bytes big(3010, 0x11);
    big[0] = FRAME_HEAD;
    UNPACKED16(3000, big.data() + 1);
    queueFrame(dev, big, 64);
    const Bytes next = frameOf(4, 10);
    queueFrame(dev, next, 64);
    memset(out, 0x5A, sizeof(out));
    EXPECT_EQ(PORT_rxd(1, out, 2048, &len), SS_ERR_TOO_LONG);
    EXPECT_EQ(out[0], 0x5A);
    ASSERT_EQ(PORT_rxd(1, out, 2048, &len), 0);
    EXPECT_EQ(len, 14);
    EXPECT_EQ(out[FRAME_OFS_SEQ], 10);

    // Nothing comes: the transfer time-out.
    ssUsbTimeout(200);
    EXPECT_EQ(PORT_rxd(1, out, sizeof(out), &len), SS_ERR_TIMEOUT);
}

TEST_F(UsbTest, LargePacketDeviceUsesKilobyteUnits) {
    const int dev = UsbEmu::add({0x2549, "1-3", 512, true, 0});
    ASSERT_EQ(ssUsbOpenEx(), 0);
    const UsbEndpoints ep = ssUsbEndpoints();
    EXPECT_EQ(ep.unit, 1024u);
    EXPECT_EQ(ep.out, 0x01u);
    EXPECT_EQ(ep.in, 0x82u);
    EXPECT_EQ(UsbEmu::claimedInterface(dev), 0);
    const Bytes req = frameOf(1100, 1);
    ASSERT_EQ(ssUsbTxd(1, req.data(), static_cast<int>(req.size())), 0);
    const auto o = outs(dev);
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o[0].endpoint, 0x01);
    EXPECT_EQ(o[1].data.size(), 1024u);
    const Bytes rsp = frameOf(1500, 1);
    queueFrame(dev, rsp, 1024);
    uint8_t out[LINK_RXD_CAPACITY];
    int len = 0;
    ASSERT_EQ(ssUsbRxd(1, out, sizeof(out), &len), 0);
    EXPECT_EQ(len, 1510);
    EXPECT_EQ(frameCheck(out, 1510), 0);  // beyond the rule's 1014-byte limit
    EXPECT_EQ(frameCheckEx(out, 1510, FRAME_MAX_PAYLOAD), 1);
    // Back to a 64-byte device: the choice follows the descriptor.
    ssUsbClose(1);
    UsbEmu::clear();
    UsbEmu::add({0x2549, "1-3", 64, true, 0});
    ASSERT_EQ(ssUsbOpenEx(), 0);
    EXPECT_EQ(ssUsbEndpoints().unit, 64u);
}

TEST_F(UsbTest, ClaimFailureClosesTheDevice) {
    const int dev = UsbEmu::add({0x2549, "1-3", 64, true, EBUSY});
    EXPECT_EQ(ssUsbOpenEx(), SS_ERR_CLAIM);
    EXPECT_EQ(UsbEmu::claims(dev), 0);
    EXPECT_EQ(ssUsbClose(1), -1);  // already closed
}

TEST_F(UsbTest, UnplugFailsTransfers) {
    const int dev = UsbEmu::add({0x2549, "1-3", 64, true, 0});
    ASSERT_EQ(ssUsbOpenEx(), 0);
    UsbEmu::unplug(dev);
    uint8_t b[16] = {0xAA};
    int sent = 9;
    EXPECT_EQ(PORT_txd(1, b, sizeof(b), &sent), SS_ERR_TXD);
    EXPECT_EQ(sent, 0);
    int len = 0;
    EXPECT_EQ(PORT_rxd(1, b, sizeof(b), &len), SS_ERR_RXD);
}

// A cancel sent while a worker waits in a receive: the worker gets its whole
// frame and length, the key gets the whole cancel.
TEST_F(UsbTest, SendWhileReceiving) {
    const int dev = UsbEmu::add({0x2549, "1-3", 64, true, 0});
    ASSERT_EQ(ssUsbOpenEx(), 0);
    const Bytes reply = frameOf(150, 4);
    const Bytes cancel = frameOf(40, 5);
    uint8_t out[LINK_RXD_CAPACITY];
    int len = 0;
    int result = -1;
    UsbEmu::queueIn(dev, Bytes(reply.begin(), reply.begin() + 64));
    std::thread worker([&] { result = PORT_rxd(1, out, sizeof(out), &len); });
    int sent = 0;
    ASSERT_EQ(PORT_txd(1, cancel.data(), static_cast<int>(cancel.size()), &sent), 0);
    EXPECT_EQ(sent, 50);
    queueFrame(dev, Bytes(reply.begin() + 64, reply.end()), 64);
    worker.join();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(len, 160);
    EXPECT_EQ(0, memcmp(out, reply.data(), 160));
    const auto o = outs(dev);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(0, memcmp(o[0].data.data(), cancel.data(), cancel.size()));
}

TEST_F(UsbTest, LinkOverUsbPort) {
    const int dev = UsbEmu::add({0x2549, "1-3", 64, true, 0});
    _ST_PORT_PARAM rec;
    PORT_FillParam(&rec, 0, "FingerPrint.Usb.0x2541.0x2549..03");
    _ST_DEV_OPT opt;
    ASSERT_EQ(initPortParam(&opt, &rec), 0);
    CLink link;
    link.SetDev(&opt);
    ASSERT_EQ(link.linkf_openDev(), 0);
    tdLINK_PACK pack{};
    pack.length = 8;
    const uint32_t n = framePackBuild(&pack, FRAME_CH_APDU, 0);
    queueFrame(dev, frameOf(6, 0), 64);
    ASSERT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n)), 0);
    int len = 0;
    ASSERT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, pack.frame, &len), 0);
    EXPECT_EQ(len, 16);
    // Listing while the link is open leaves the open device usable.
    PORT_DEVNAME slots[PORT_MAX_DEVICES];
    ASSERT_EQ(PORT_GetusbPortDevNameEx(0, slots, PORT_MAX_DEVICES, 0), 1);
    EXPECT_STREQ(slots[0].name, "FingerPrint.Usb.0x2541.0x2549..03");
    queueFrame(dev, frameOf(2, 1), 64);
    ASSERT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n)), 0);
    ASSERT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, pack.frame, &len), 0);
    EXPECT_EQ(len, 12);
    EXPECT_EQ(link.linkf_closeDev(), 0);
    EXPECT_EQ(UsbEmu::releases(dev), 1);
}

}  // namespace
