// The virtual port: unit-level exchanges with a peer on a socketpair,
// send-while-receiving on two threads, and whole links through the port
// layer to scripted keys listening on sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "tests/unit/transport/fake_key.h"
#include "transport/transport.h"
#include "transport/usb.h"
#include "transport/vport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes makeFrame(size_t payload, uint8_t seq, uint8_t fill) {
    Bytes f(payload + FRAME_ENVELOPE);
    for (size_t i = 0; i < payload; ++i)
        f[7 + i] = static_cast<uint8_t>(fill + i);
    EXPECT_EQ(frameBuild(f.data(), f.size(), payload, FRAME_CH_FPM, 0, seq, 0), f.size());
    return f;
}

// The daemon's end of a socketpair as a virtual-port connection; the other
// end is played by the test as the key, unit by unit.
class SocketPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        conn.fd = sv[0];
        key = sv[1];
        PORT_SETWAITTIME(2000);
    }
    void TearDown() override {
        vconnClose(&conn);
        if (key >= 0) close(key);
        PORT_SETWAITTIME(0);
    }
    void keySendUnits(const Bytes& frame, size_t from, size_t units) {
        for (size_t u = 0; u < units; ++u) {
            uint8_t unit[64] = {};
            const size_t at = from + u * 64;
            const size_t n = frame.size() - at < 64 ? frame.size() - at : 64;
            memcpy(unit, frame.data() + at, n);
            ASSERT_EQ(send(key, unit, 64, 0), 64);
        }
    }
    VKeyConn conn;
    int key = -1;
};

TEST_F(SocketPairTest, RequestGoesOutAsWholeUnits) {
    const Bytes req = makeFrame(60, 3, 0x10);  // 70 bytes: two units
    ASSERT_EQ(vconnSend(&conn, req.data(), req.size()), 0);
    uint8_t unit[128];
    ASSERT_EQ(recv(key, unit, sizeof(unit), 0), 64);
    EXPECT_EQ(0, memcmp(unit, req.data(), 64));
    ASSERT_EQ(recv(key, unit, sizeof(unit), 0), 64);
    EXPECT_EQ(0, memcmp(unit, req.data() + 64, 6));
    for (int i = 6; i < 64; ++i)
        ASSERT_EQ(unit[i], 0) << i;
}

TEST_F(SocketPairTest, ReplyCompletedFromItsLengthField) {
    const Bytes rsp = makeFrame(60, 3, 0x20);
    keySendUnits(rsp, 0, 2);
    keySendUnits(makeFrame(2, 4, 0x30), 0, 1);  // the next frame stays queued
    uint8_t out[LINK_RXD_CAPACITY];
    uint32_t len = 0;
    ASSERT_EQ(vconnReceive(&conn, out, sizeof(out), &len), 0);
    EXPECT_EQ(len, 70u);
    EXPECT_EQ(0, memcmp(out, rsp.data(), 70));
    ASSERT_EQ(vconnReceive(&conn, out, sizeof(out), &len), 0);
    EXPECT_EQ(len, 12u);
    EXPECT_EQ(out[FRAME_OFS_SEQ], 4);
}

TEST_F(SocketPairTest, FailuresOfTheKey) {
    uint8_t out[LINK_RXD_CAPACITY];
    uint32_t len = 0;
    // Nothing comes: time-out.
    PORT_SETWAITTIME(50);
    EXPECT_EQ(vconnReceive(&conn, out, sizeof(out), &len), SS_ERR_TIMEOUT);
    // Oversize announcement: refused, drained, the next frame is intact.
    PORT_SETWAITTIME(2000);
    Bytes big(2049 + 10, 0x44);
    big[0] = FRAME_HEAD;
    UNPACKED16(2049, big.data() + 1);
    keySendUnits(big, 0, (big.size() + 63) / 64);
    const Bytes next = makeFrame(8, 9, 0x50);
    keySendUnits(next, 0, 1);
    EXPECT_EQ(vconnReceive(&conn, out, sizeof(out), &len), SS_ERR_TOO_LONG);
    ASSERT_EQ(vconnReceive(&conn, out, sizeof(out), &len), 0);
    EXPECT_EQ(len, 18u);
    EXPECT_EQ(0, memcmp(out, next.data(), 18));
    // Unplugged in the middle of a frame: the device is gone.
    keySendUnits(makeFrame(100, 1, 0), 0, 1);
    close(key);
    key = -1;
    EXPECT_EQ(vconnReceive(&conn, out, sizeof(out), &len), SS_ERR_RXD);
    const Bytes req = makeFrame(4, 1, 0);
    EXPECT_EQ(vconnSend(&conn, req.data(), req.size()), SS_ERR_TXD);
}

// A cancel sent on one thread while another waits in a receive: both frames
// arrive whole. The key sends the first unit of its reply, then reads the
// cancel, then sends the rest.
TEST_F(SocketPairTest, SendWhileReceivingKeepsBothFramesIntact) {
    for (int round = 0; round < 50; ++round) {
        const Bytes reply = makeFrame(150 + round, static_cast<uint8_t>(round), 0x61);
        const Bytes cancel = makeFrame(5 + round, static_cast<uint8_t>(round + 100), 0x07);
        std::promise<void> firstUnitSent;
        std::thread keyThread([&] {
            keySendUnits(reply, 0, 1);
            firstUnitSent.set_value();
            uint8_t got[FRAME_BUF_SIZE];
            uint32_t len = 0;
            ASSERT_EQ(keyReadFrame(key, got, sizeof(got), &len), 0);
            ASSERT_EQ(len, cancel.size());
            EXPECT_EQ(0, memcmp(got, cancel.data(), len));
            keySendUnits(reply, 64, (reply.size() - 64 + 63) / 64);
        });
        uint8_t out[LINK_RXD_CAPACITY];
        uint32_t rlen = 0;
        auto worker = std::async(std::launch::async,
                                 [&] { return vconnReceive(&conn, out, sizeof(out), &rlen); });
        firstUnitSent.get_future().wait();
        ASSERT_EQ(vconnSend(&conn, cancel.data(), cancel.size()), 0);
        ASSERT_EQ(worker.get(), 0);
        keyThread.join();
        ASSERT_EQ(rlen, reply.size());
        ASSERT_EQ(0, memcmp(out, reply.data(), rlen)) << "round " << round;
    }
}

TEST(VirtualKeyAnswer, ParsesIdentity) {
    uint16_t pid = 0;
    uint8_t ports[USB_MAX_PORTS];
    int n = -1;
    ASSERT_TRUE(vkeyParseOk("FPKV OK 0x2549 01.03", &pid, ports, &n));
    EXPECT_EQ(pid, 0x2549);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(ports[0], 1);
    EXPECT_EQ(ports[1], 3);
    ASSERT_TRUE(vkeyParseOk("FPKV OK 0x254A", &pid, ports, &n));
    EXPECT_EQ(pid, 0x254A);
    EXPECT_EQ(n, 0);
    ASSERT_TRUE(vkeyParseOk("FPKV OK 0x2550 1.0A.ff", &pid, ports, &n));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(ports[2], 0xFF);
    const char* bad[] = {"FPKV ABSENT",        "FPKV OK 2549 01",
                         "FPKV OK 0x25 01",    "FPKV OK 0x2549 01..03",
                         "FPKV OK 0x2549 01.", "FPKV OK 0x2549 1x",
                         "FPKV OK 0x2549 123", "FPKV OK 0x2549 1.2.3.4.5.6.7.8.9",
                         "FPKV OK 0x2549x"};
    for (const char* b : bad)
        EXPECT_FALSE(vkeyParseOk(b, &pid, ports, &n)) << b;
}

// Whole links through the port layer to keys listening on sockets.
class VirtualPortTest : public ::testing::Test {
  protected:
    void SetUp() override { PORT_SETWAITTIME(2000); }
    void TearDown() override {
        PORT_UseVirtualKeys(nullptr, 0);
        PORT_SETWAITTIME(0);
    }
    static int list(PORT_DEVNAME* slots) {
        return PORT_GetusbPortDevNameEx(0, slots, PORT_MAX_DEVICES, 0);
    }
    static void connect(CLink& link, int slot, const char* name) {
        _ST_PORT_PARAM rec;
        PORT_FillParam(&rec, slot, name);
        _ST_DEV_OPT opt;
        ASSERT_EQ(initPortParam(&opt, &rec), 0);
        link.SetDev(&opt);
    }
};

TEST_F(VirtualPortTest, ListsPresentKeysOfTheFirstProductId) {
    FakeKey a(tempSocketPath("a"), 0x2549, "01.03");
    FakeKey b(tempSocketPath("b"), 0x2548, "02");
    FakeKey c(tempSocketPath("c"), 0x2548, "01.04.02");
    ASSERT_TRUE(a.start() && b.start() && c.start());
    const std::string silent = tempSocketPath("nobody");
    const char* paths[] = {a.path().c_str(), silent.c_str(), b.path().c_str(), c.path().c_str()};
    ASSERT_EQ(PORT_UseVirtualKeys(paths, 4), 0);
    EXPECT_TRUE(PORT_IsVirtual());
    PORT_DEVNAME slots[PORT_MAX_DEVICES];
    // 0x2548 comes before 0x2549: only those keys are reported.
    ASSERT_EQ(list(slots), 2);
    EXPECT_STREQ(slots[0].name, "FingerPrint.Usb.0x2541.0x2548..02");
    EXPECT_STREQ(slots[1].name, "FingerPrint.Usb.0x2541.0x2548..01.04.02");
    b.unplug();
    c.stop();
    ASSERT_EQ(list(slots), 1);
    EXPECT_STREQ(slots[0].name, "FingerPrint.Usb.0x2541.0x2549..01.03");
    a.unplug();
    EXPECT_EQ(list(slots), 0);
}

TEST_F(VirtualPortTest, LinkExchangesFramesAndListingWorksWhileOpen) {
    FakeKey key(tempSocketPath("k"), 0x2549, "01.03");
    ASSERT_TRUE(key.start());
    const char* paths[] = {key.path().c_str()};
    ASSERT_EQ(PORT_UseVirtualKeys(paths, 1), 0);
    PORT_DEVNAME slots[PORT_MAX_DEVICES];
    ASSERT_EQ(list(slots), 1);
    ASSERT_STREQ(slots[0].name, "FingerPrint.Usb.0x2541.0x2549..01.03");

    CLink link;
    connect(link, 0, slots[0].name);
    ASSERT_EQ(link.linkf_openDev(), 0);
    tdLINK_PACK pack{};
    pack.sequence = 0x41;
    const uint8_t apdu[] = {0x80, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    memcpy(pack.frame + 7, apdu, sizeof(apdu));
    pack.length = sizeof(apdu);
    const uint32_t n = framePackBuild(&pack, FRAME_CH_APDU, 0);
    ASSERT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n)), 0);
    int len = 0;
    ASSERT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, pack.frame, &len), 0);
    ASSERT_EQ(len, static_cast<int>(sizeof(apdu) + 4 + 10));
    EXPECT_EQ(pack.frame[FRAME_OFS_SEQ], 0x41);
    EXPECT_EQ(getLe16(pack.frame + 7), 0x9000);
    EXPECT_EQ(pack.frame[11], 0x01);  // payload reversed by the key
    EXPECT_EQ(frameCheck(pack.frame, static_cast<size_t>(len)), 1);

    // Listing while the link is open.
    ASSERT_EQ(list(slots), 1);
    EXPECT_STREQ(slots[0].name, "FingerPrint.Usb.0x2541.0x2549..01.03");

    // The key announces more than the buffer: refused, and the link goes on.
    key.replyOversize(3000);
    ASSERT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n)), 0);
    EXPECT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, pack.frame, &len), SS_ERR_TOO_LONG);
    ASSERT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n)), 0);
    ASSERT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, pack.frame, &len), 0);
    EXPECT_EQ(getLe16(pack.frame + 7), 0x9000);

    // Unplug: the link's receive reports the device as gone.
    key.unplug();
    EXPECT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, pack.frame, &len), SS_ERR_RXD);
    EXPECT_EQ(link.linkf_closeDev(), 0);
    EXPECT_EQ(link.linkf_openDev(), SS_ERR_TXD);  // answers ABSENT
    key.plug();
    EXPECT_EQ(link.linkf_openDev(), 0);
}

TEST_F(VirtualPortTest, SendOnOneThreadWhileTheLinkReceivesOnAnother) {
    FakeKey key(tempSocketPath("t"), 0x2549, "01");
    ASSERT_TRUE(key.start());
    const char* paths[] = {key.path().c_str()};
    ASSERT_EQ(PORT_UseVirtualKeys(paths, 1), 0);
    CLink link;
    connect(link, 0, "FingerPrint.Usb.0x2541.0x2549..01");
    ASSERT_EQ(link.linkf_openDev(), 0);
    // The worker waits for two replies while the main thread sends the two
    // requests; each reply is as long as its own request plus 4.
    tdLINK_PACK rx{};
    int lens[2] = {0, 0};
    int results[2] = {-1, -1};
    std::thread worker([&] {
        for (int i = 0; i < 2; ++i)
            results[i] = link.linkf_rxd_buff(PROTOCOL_FRAME, rx.frame, &lens[i]);
    });
    tdLINK_PACK tx{};
    for (uint32_t size : {300u, 20u}) {
        tx.length = size;
        const uint32_t n = framePackBuild(&tx, FRAME_CH_APDU, 0);
        ASSERT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, tx.frame, static_cast<int>(n)), 0);
        EXPECT_EQ(link.sentLength(), static_cast<int>(n));
    }
    worker.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(lens[0], 314);
    EXPECT_EQ(lens[1], 34);
    EXPECT_EQ(link.rxdLength(), 34);
    EXPECT_EQ(frameCheck(rx.frame, 34), 1);
}

// Another process holds the key's data connection: the open is refused
// like a USB interface that cannot be claimed. The same key configured twice
// stands for the two processes.
TEST_F(VirtualPortTest, KeyBusyElsewhere) {
    FakeKey key(tempSocketPath("busy"), 0x2549, "01");
    ASSERT_TRUE(key.start());
    const char* twice[] = {key.path().c_str(), key.path().c_str()};
    ASSERT_EQ(PORT_UseVirtualKeys(twice, 2), 0);
    ASSERT_EQ(VPORT_Open(VPORT_HANDLE_BASE + 0), 0);
    EXPECT_EQ(VPORT_Open(VPORT_HANDLE_BASE + 1), SS_ERR_CLAIM);
    EXPECT_EQ(VPORT_Close(VPORT_HANDLE_BASE + 1), -1);
    EXPECT_EQ(VPORT_Close(VPORT_HANDLE_BASE + 0), 0);
    // Once the key has seen the close, the other one gets it.
    int r = SS_ERR_CLAIM;
    for (int i = 0; i < 200 && r == SS_ERR_CLAIM; ++i) {
        r = VPORT_Open(VPORT_HANDLE_BASE + 1);
        if (r == SS_ERR_CLAIM) usleep(10000);
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(VPORT_Open(0), SS_ERR_TXD);  // not a virtual-key handle
}

TEST_F(VirtualPortTest, UnknownNameOrSilentSocketIsNotPresent) {
    const std::string silent = tempSocketPath("none");
    const char* paths[] = {silent.c_str()};
    ASSERT_EQ(PORT_UseVirtualKeys(paths, 1), 0);
    PORT_DEVNAME slots[PORT_MAX_DEVICES];
    EXPECT_EQ(list(slots), 0);
    CLink link;
    connect(link, 0, "FingerPrint.Usb.0x2541.0x2549..01.03");
    EXPECT_EQ(link.linkf_openDev(), SS_ERR_TXD);
    EXPECT_FALSE(link.isOpened());
}

TEST_F(VirtualPortTest, Configuration) {
    const std::string longPath(200, 'x');
    const char* tooLong[] = {longPath.c_str()};
    EXPECT_EQ(PORT_UseVirtualKeys(tooLong, 1), -1);
    const char* empty[] = {""};
    EXPECT_EQ(PORT_UseVirtualKeys(empty, 1), -1);
    std::vector<const char*> many(PORT_MAX_DEVICES + 1, "/tmp/k");
    EXPECT_EQ(PORT_UseVirtualKeys(many.data(), static_cast<int>(many.size())), -1);
    EXPECT_FALSE(PORT_IsVirtual());

    setenv("FPKEYD_VIRTUAL_KEY", "/tmp/a.sock::/tmp/b.sock", 1);
    EXPECT_EQ(PORT_UseVirtualKeysFromEnv(), 2);
    EXPECT_TRUE(PORT_IsVirtual());
    EXPECT_EQ(VPORT_Count(), 2);
    setenv("FPKEYD_VIRTUAL_KEY", "", 1);
    EXPECT_EQ(PORT_UseVirtualKeysFromEnv(), 0);
    EXPECT_TRUE(PORT_IsVirtual());  // unchanged
    unsetenv("FPKEYD_VIRTUAL_KEY");
    EXPECT_EQ(PORT_UseVirtualKeys(nullptr, 0), 0);
    EXPECT_FALSE(PORT_IsVirtual());
    // Installed operations follow the choice.
    _ST_PORT_PARAM rec;
    PORT_FillParam(&rec, 2, "x");
    _ST_DEV_OPT opt;
    ASSERT_EQ(initPortParam(&opt, &rec), 0);
    EXPECT_EQ(opt.openDev, &PORT_Open);
    EXPECT_EQ(opt.handle, 1u);
}

}  // namespace
