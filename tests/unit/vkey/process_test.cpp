// The real fpkey-vkey process over its sockets: hello, transfer units,
// connection rules, unplug/plug, SIGKILL, the control command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/unit/vkey/vk_process.h"

using namespace vkt;

namespace {

TEST_F(VkeyProcess, HelloListingOneDataConnectionAndOptions) {
    ASSERT_TRUE(start({"--product", "0x254A", "--port-path", "02.01"}));
    EXPECT_EQ(helloOnce(sock, "FPKV INFO"), "FPKV OK 0x254A 02.01");
    int data = connectTo(sock);
    ASSERT_EQ(hello(data, "FPKV OPEN"), "FPKV OK 0x254A 02.01");
    // Listing works while a host holds the key; a second host is refused.
    EXPECT_EQ(helloOnce(sock, "FPKV INFO"), "FPKV OK 0x254A 02.01");
    int second = connectTo(sock);
    EXPECT_EQ(hello(second, "FPKV OPEN"), "FPKV BUSY");
    EXPECT_TRUE(peerClosed(second));
    close(second);
    int junk = connectTo(sock);
    sendUnit(junk, {'H', 'I'});
    EXPECT_TRUE(peerClosed(junk));
    close(junk);
    // The first connection still works; after it closes another may open.
    SocketPort port(data);
    Client c(port);
    EXPECT_EQ(c.cmd(0x50, 0, 0, {}, 8).data.size(), 8u);
    close(data);
    int third = connectTo(sock);
    EXPECT_EQ(hello(third, "FPKV OPEN"), "FPKV OK 0x254A 02.01");
    close(third);
}

TEST_F(VkeyProcess, FramesInTransferUnitsAndMalformedOnesDropped) {
    ASSERT_TRUE(start());
    int fd = openData();
    SocketPort port(fd);
    Client c(port);
    ASSERT_EQ(c.devAuth().sw, 0x9000);
    Resp app = c.createApp("app", "admin", "314159");
    ASSERT_EQ(app.sw, 0x9000);
    uint16_t id = static_cast<uint16_t>(app.data[0] | app.data[1] << 8);
    ASSERT_EQ(c.verifyPin(id, 1, "314159").sw, 0x9000);
    Resp con = c.createContainer(id, "c");
    ASSERT_EQ(con.sw, 0x9000);
    // A request and a reply of many units each.
    Bytes cert = randomBytes(1800);
    Bytes d = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), con.data[0], con.data[1]};
    Bytes imp = d;
    imp.push_back(1);
    le32(imp, static_cast<uint32_t>(cert.size()));
    append(imp, cert);
    EXPECT_EQ(c.cmd(0x4C, 0, 0, imp).sw, 0x9000);
    Resp out = c.cmd(0x4E, 1, 0, d);
    EXPECT_EQ(out.data, cert);
    EXPECT_EQ(c.lastReplySeq, c.lastSeq);

    // Bad checksum: no reply; the next good frame is answered with its own
    // sequence byte.
    Bytes bad = makeFrame(8, 0x77, makeApdu(0x80, 0x50, 0, 0, {}, 8));
    bad[bad.size() - 2] ^= 0x10;
    Bytes reply;
    EXPECT_FALSE(port.exchange(bad, reply));
    // A packet that is not one transfer unit is dropped too.
    uint8_t small[10] = {0xAA};
    send(fd, small, sizeof small, MSG_NOSIGNAL);
    Bytes good = makeFrame(8, 0x78, makeApdu(0x80, 0x50, 0, 0, {}, 8));
    ASSERT_TRUE(port.exchange(good, reply));
    uint8_t ch = 0, seq = 0;
    Bytes payload;
    ASSERT_TRUE(parseReply(reply, ch, seq, payload));
    EXPECT_EQ(seq, 0x78);
    EXPECT_EQ(payload.size(), 12u);
    close(fd);
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("bad checksum"), std::string::npos);
    EXPECT_NE(text.find("dropped packet of 10 bytes"), std::string::npos);
}

TEST_F(VkeyProcess, ReconnectKeepsTheSessionUnplugPlugResetsIt) {
    ASSERT_TRUE(start());
    int fd = openData();
    {
        SocketPort port(fd);
        Client c(port);
        ASSERT_EQ(c.devAuth().sw, 0x9000);
        ASSERT_EQ(c.cmd(0x02, 0, 0, Bytes{'o', 'n', 'e'}).sw, 0x9000);
    }
    close(fd);
    fd = openData();
    {
        SocketPort port(fd);
        Client c(port);
        // Same power session: still authenticated.
        EXPECT_EQ(c.cmd(0x02, 0, 0, Bytes{'t', 'w', 'o'}).sw, 0x9000);
    }
    std::string out;
    EXPECT_EQ(ctlRun("unplug", out), 0);
    EXPECT_EQ(out, "OK unplugged\n");
    EXPECT_TRUE(peerClosed(fd));  // the host sees the device go
    close(fd);
    EXPECT_EQ(helloOnce(sock, "FPKV INFO"), "FPKV ABSENT");
    EXPECT_EQ(helloOnce(sock, "FPKV OPEN"), "FPKV ABSENT");
    EXPECT_EQ(ctlRun("status", out), 0);
    EXPECT_EQ(out.rfind("OK plugged=0", 0), 0u) << out;
    EXPECT_EQ(ctlRun("plug", out), 0);
    fd = openData();
    SocketPort port(fd);
    Client c(port);
    EXPECT_EQ(c.cmd(0x04, 3, 0, {}).data, (Bytes{'t', 'w', 'o'}));  // stored state intact
    EXPECT_EQ(c.cmd(0x02, 0, 0, Bytes{'3'}).sw, 0x6982);            // security state reset
    close(fd);
}

TEST_F(VkeyProcess, SigkillAfterAnAcknowledgedChangeLosesNothing) {
    ASSERT_TRUE(start());
    int fd = openData();
    uint16_t id = 0;
    {
        SocketPort port(fd);
        Client c(port);
        ASSERT_EQ(c.devAuth().sw, 0x9000);
        Resp app = c.createApp("killed", "admin", "314159");
        ASSERT_EQ(app.sw, 0x9000);
        id = static_cast<uint16_t>(app.data[0] | app.data[1] << 8);
        ASSERT_EQ(c.verifyPin(id, 1, "bad").sw, 0x63C7);
    }
    stop(SIGKILL);  // right after the acknowledgement
    close(fd);
    ASSERT_TRUE(start());
    fd = openData();
    SocketPort port(fd);
    Client c(port);
    EXPECT_EQ(c.appId("killed"), id);
    Bytes pin;
    le16(pin, id);
    EXPECT_EQ(c.cmd(0x14, 0, 1, pin, 3).data, (Bytes{8, 7, 1}));
    close(fd);
}

TEST_F(VkeyProcess, ASecondKeyDoesNotTakeOverALiveSocket) {
    ASSERT_TRUE(start());
    // Another state directory, the same socket path.
    const pid_t second = support::spawn(
        {support::vkeyPath(), "--state", dir.path + "/other", "--socket", sock}, log, true);
    int status = 0;
    waitpid(second, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(helloOnce(sock, "FPKV INFO"), "FPKV OK 0x2549 01.03");
    std::string out;
    EXPECT_EQ(ctlRun("status", out), 0);
    // A socket file left by a killed key is taken over on restart.
    stop(SIGKILL);
    ASSERT_TRUE(start());
}

TEST_F(VkeyProcess, ControlCommandLine) {
    std::string out;
    EXPECT_EQ(ctlRun("status", out), 2);  // nobody listens yet
    ASSERT_TRUE(start());
    EXPECT_EQ(ctlRun("status", out), 0);
    EXPECT_EQ(out.rfind("OK plugged=1 connected=0 product=0x2549 port=01.03 serial=FPKV", 0), 0u)
        << out;
    EXPECT_EQ(ctlRun("press alice", out), 1);
    EXPECT_EQ(out.rfind("ERR unknown command 'press'", 0), 0u) << out;
}

TEST_F(VkeyProcess, CorruptStateStopsTheProcess) {
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    {
        std::ofstream f(state + "/key.state");
        f << "fpkey-vkey-state 1\nserial zz\n";
    }
    EXPECT_FALSE(start());
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("corrupt"), std::string::npos) << text;
    std::ifstream st(state + "/key.state");
    std::string kept((std::istreambuf_iterator<char>(st)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "fpkey-vkey-state 1\nserial zz\n");
}

}  // namespace
