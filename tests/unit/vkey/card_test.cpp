// The card OS in-process: frames, device commands, applications and PINs.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/unit/vkey/vk_helpers.h"

using namespace vkt;

namespace {

class CardTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::unique_ptr<vkey::Key> key = openKey(dir.path + "/state");
    EnginePort port{*key};
    Client c{port};

    // Device authenticated, application "app" created and open.
    uint16_t makeApp(const std::string& name = "app", uint32_t tries = 8) {
        EXPECT_EQ(c.devAuth().sw, 0x9000);
        Resp r = c.createApp(name, "admin-pin", "314159", tries);
        EXPECT_EQ(r.sw, 0x9000);
        return r.data.size() == 2 ? static_cast<uint16_t>(r.data[0] | r.data[1] << 8) : 0;
    }

    Resp pinInfo(uint16_t app, uint8_t type) {
        Bytes d;
        le16(d, app);
        return c.cmd(0x14, 0, type, d, 3);
    }
};

Bytes sendFrame(Port& port, const Bytes& frame) {
    Bytes reply;
    port.exchange(frame, reply);
    return reply;
}

TEST_F(CardTest, FramesAreCheckedAndRepliesEchoSequenceAndChannel) {
    Bytes good = makeFrame(8, 0x42, makeApdu(0x80, 0x50, 0, 0, {}, 8));
    Bytes reply = sendFrame(port, good);
    uint8_t ch = 0, seq = 0;
    Bytes payload;
    ASSERT_TRUE(parseReply(reply, ch, seq, payload));
    EXPECT_EQ(ch, 8);
    EXPECT_EQ(seq, 0x42);
    ASSERT_EQ(payload.size(), 4u + 8u);
    EXPECT_EQ(payload[0], 0x00);
    EXPECT_EQ(payload[1], 0x90);

    // Zero padding after the tail (the last transfer unit) is fine.
    Bytes padded = good;
    padded.resize(64, 0);
    EXPECT_FALSE(sendFrame(port, padded).empty());

    Bytes badSum = good;
    badSum[badSum.size() - 2] ^= 1;
    EXPECT_TRUE(sendFrame(port, badSum).empty());
    Bytes badTail = good;
    badTail.back() = 0x56;
    EXPECT_TRUE(sendFrame(port, badTail).empty());
    Bytes badHead = good;
    badHead[0] = 0x55;
    EXPECT_TRUE(sendFrame(port, badHead).empty());
    Bytes truncated(good.begin(), good.end() - 1);
    EXPECT_TRUE(sendFrame(port, truncated).empty());
    Bytes oversize = good;
    oversize[1] = 0x08;  // length 2048+: beyond any frame
    EXPECT_TRUE(sendFrame(port, oversize).empty());

    // Channels without a server get a defined error on their own channel.
    reply = sendFrame(port, makeFrame(5, 9, {0x01, 0x00, 0x00, 0x00}));
    ASSERT_TRUE(parseReply(reply, ch, seq, payload));
    EXPECT_EQ(ch, 5);
    EXPECT_EQ(seq, 9);
    EXPECT_EQ(payload, (Bytes{0x00, 0x6E, 0x00, 0x00}));

    // An enciphered APDU frame is refused.
    Bytes ciph = makeFrame(8, 1, makeApdu(0x80, 0x50, 0, 0, {}, 8));
    ciph[4] = 1;
    uint16_t sum = fletcher(ciph.data() + 1, ciph.size() - 4);
    ciph[ciph.size() - 3] = static_cast<uint8_t>(sum >> 8);
    ciph[ciph.size() - 2] = static_cast<uint8_t>(sum);
    ASSERT_TRUE(parseReply(sendFrame(port, ciph), ch, seq, payload));
    EXPECT_EQ(payload, (Bytes{0x88, 0x69, 0x00, 0x00}));
}

TEST_F(CardTest, MalformedAndUnknownCommands) {
    EXPECT_EQ(c.cmd(0x99, 0, 0, {}).sw, 0x6D00);
    EXPECT_EQ(c.cmd(0x50, 0, 0, {}, 8, 0x00).sw, 0x6E00);
    EXPECT_EQ(c.cmd(0x18, 0, 1, Bytes(18), 0, 0x84).sw, 0x6E00);  // no MAC form
    Bytes apdu = makeApdu(0x80, 0x50, 0, 0, {}, 8);
    apdu[4] = 3;  // Lc says 3, no data follows
    EXPECT_EQ(c.raw(apdu).sw, 0x6700);
    EXPECT_EQ(c.raw({0x80, 0x50, 0}).sw, 0x6700);
    EXPECT_EQ(c.cmd(0x04, 9, 0, {}).sw, 0x6A86);
}

TEST_F(CardTest, DeviceInformationAndIdentityFields) {
    Resp info = c.cmd(0x04, 0, 0, {});
    ASSERT_EQ(info.sw, 0x9000);
    ASSERT_EQ(info.data.size(), 288u);
    EXPECT_EQ(info.data[0], 1);
    Resp serial = c.cmd(0x04, 1, 0, {});
    ASSERT_EQ(serial.sw, 0x9000);
    ASSERT_GE(serial.data.size(), 8u);
    ASSERT_LE(serial.data.size(), 32u);
    // Device information carries the same serial in its SerialNumber field.
    EXPECT_EQ(0,
              memcmp(info.data.data() + 4 + 64 + 64 + 32, serial.data.data(), serial.data.size()));
    Resp label = c.cmd(0x04, 3, 0, {});
    EXPECT_EQ(label.sw, 0x9000);
    EXPECT_FALSE(label.data.empty());
    EXPECT_EQ(c.cmd(0x04, 4, 0, {}).data.size(), 3u);
    EXPECT_EQ(c.cmd(0x04, 6, 0, {}).data.size(), 2u);
    EXPECT_EQ(c.cmd(0x04, 5, 0, {}).data.size(), 64u);

    // Writing identity fields needs device authentication.
    Bytes newLabel = {'D', 'e', 'm', 'o'};
    EXPECT_EQ(c.cmd(0x02, 0, 0, newLabel).sw, 0x6982);
    ASSERT_EQ(c.devAuth().sw, 0x9000);
    EXPECT_EQ(c.cmd(0x02, 0, 0, newLabel).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x04, 3, 0, {}).data, newLabel);
    EXPECT_EQ(c.cmd(0x02, 4, 0, {0x01, 0x00}).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x04, 6, 0, {}).data, (Bytes{0x01, 0x00}));
    EXPECT_EQ(c.cmd(0x02, 4, 0, {0x01}).sw, 0x6700);
    EXPECT_EQ(c.cmd(0x02, 1, 0, Bytes(33, 'S')).sw, 0x6700);
    EXPECT_EQ(c.cmd(0x02, 0, 119, newLabel).sw, 0x6B00);
    // Reserved bytes overlay in place.
    EXPECT_EQ(c.cmd(0x02, 3, 2, {0xA5, 0x5A}).sw, 0x9000);
    Bytes rsv = c.cmd(0x04, 5, 0, {}).data;
    EXPECT_EQ(rsv[2], 0xA5);
    EXPECT_EQ(rsv[3], 0x5A);

    // Serial numbers differ between state directories, stay within one.
    TempDir other;
    auto key2 = openKey(other.path + "/s");
    EnginePort port2(*key2);
    Client c2(port2);
    EXPECT_NE(c2.cmd(0x04, 1, 0, {}).data, serial.data);
    key.reset();
    auto again = openKey(dir.path + "/state");
    EnginePort port3(*again);
    Client c3(port3);
    EXPECT_EQ(c3.cmd(0x04, 1, 0, {}).data, serial.data);
}

TEST_F(CardTest, RandomNumbers) {
    Resp a = c.cmd(0x50, 0, 0, {}, 8);
    Resp b = c.cmd(0x50, 0, 0, {}, 32);
    EXPECT_EQ(a.data.size(), 8u);
    EXPECT_EQ(b.data.size(), 32u);
    EXPECT_NE(Bytes(b.data.begin(), b.data.begin() + 8), a.data);
    EXPECT_EQ(c.cmd(0x50, 0, 0, {}, 2000).sw, 0x6700);
}

TEST_F(CardTest, DeviceAuthenticationRightWrongAndOnce) {
    EXPECT_EQ(c.devAuth("0000000000000000").sw, 0x6300);
    EXPECT_EQ(c.createApp("x", "a", "u").sw, 0x6982);
    // No challenge pending: refused without a try.
    EXPECT_EQ(c.cmd(0x10, 0, 0, Bytes(16)).sw, 0x6985);
    EXPECT_EQ(c.cmd(0x10, 0, 0, Bytes(15)).sw, 0x6700);

    // The cryptogram of one challenge works once.
    Bytes block = c.challenge();
    block.resize(16, 0);
    Bytes crypt = sm4Ecb(Bytes(vkey::kDefaultDeviceKey, vkey::kDefaultDeviceKey + 16), block, true);
    EXPECT_EQ(c.cmd(0x10, 0, 0, crypt).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x10, 0, 0, crypt).sw, 0x6985);
    // A failed attempt ends the authenticated state.
    EXPECT_EQ(c.devAuth("1111111111111111").sw, 0x6300);
    EXPECT_EQ(c.createApp("x", "a", "u").sw, 0x6982);
    EXPECT_EQ(c.devAuth().sw, 0x9000);
    EXPECT_EQ(c.createApp("x", "a", "u").sw, 0x9000);
    // Power loss forgets it.
    key->powerCycle();
    EXPECT_EQ(c.createApp("y", "a", "u").sw, 0x6982);
}

TEST_F(CardTest, ChangeDeviceKeyProtectedAndPlain) {
    const std::string oldKey = vkey::kDefaultDeviceKey;
    const std::string newKey = "ABCDEFGHIJKLMNOP";
    Bytes d =
        sm4Ecb(Bytes(oldKey.begin(), oldKey.end()), Bytes(newKey.begin(), newKey.end()), true);
    d.insert(d.end(), 4, 0);
    Bytes apdu = makeApdu(0x84, 0x12, 0, 0, d);
    Bytes iv = c.challenge();
    iv.resize(16, 0);
    Bytes mac =
        sm4Mac(Bytes(oldKey.begin(), oldKey.end()), iv, Bytes(apdu.begin(), apdu.end() - 4));
    Bytes forged = apdu;
    memcpy(forged.data() + forged.size() - 4, mac.data(), 4);
    forged[forged.size() - 1] ^= 0xFF;
    EXPECT_EQ(c.raw(forged).sw, 0x6988);
    iv = c.challenge();
    iv.resize(16, 0);
    mac = sm4Mac(Bytes(oldKey.begin(), oldKey.end()), iv, Bytes(apdu.begin(), apdu.end() - 4));
    memcpy(apdu.data() + apdu.size() - 4, mac.data(), 4);
    EXPECT_EQ(c.raw(apdu).sw, 0x9000);
    EXPECT_EQ(c.devAuth(oldKey).sw, 0x6300);
    EXPECT_EQ(c.devAuth(newKey).sw, 0x9000);

    // Plain form only inside an authenticated session.
    EXPECT_EQ(c.cmd(0x12, 0, 0, Bytes(oldKey.begin(), oldKey.end())).sw, 0x9000);
    key->powerCycle();
    EXPECT_EQ(c.cmd(0x12, 0, 0, Bytes(newKey.begin(), newKey.end())).sw, 0x6982);
    EXPECT_EQ(c.devAuth(oldKey).sw, 0x9000);
}

TEST_F(CardTest, ApplicationLifeCycleAndRefusals) {
    ASSERT_EQ(c.devAuth().sw, 0x9000);
    Resp first = c.createApp("meboBaseApp", "admin", "314159");
    ASSERT_EQ(first.sw, 0x9000);
    EXPECT_EQ(first.data, (Bytes{0x00, 0x3F}));
    Resp second = c.createApp("BC", "admin", "314159");
    ASSERT_EQ(second.sw, 0x9000);
    EXPECT_NE(second.data, first.data);
    EXPECT_EQ(c.createApp("BC", "admin", "314159").sw, 0x6A89);
    EXPECT_EQ(c.createApp("bad rights", "admin", "314159", 8, 0x11).sw, 0x6A80);
    EXPECT_EQ(c.createApp("", "admin", "314159").sw, 0x6A80);
    EXPECT_EQ(c.createApp("no pin", "", "314159").sw, 0x6A80);
    EXPECT_EQ(c.createApp("no tries", "a", "u", 0).sw, 0x6A80);
    EXPECT_EQ(c.cmd(0x20, 0, 0, Bytes(79)).sw, 0x6700);

    Resp list = c.cmd(0x22, 0, 0, {});
    ASSERT_EQ(list.sw, 0x9000);
    Bytes expect;
    append(expect, std::string("meboBaseApp"));
    expect.push_back(0);
    append(expect, std::string("BC"));
    expect.push_back(0);
    expect.push_back(0);
    EXPECT_EQ(list.data, expect);

    Resp open = c.openApp("BC");
    ASSERT_EQ(open.sw, 0x9000);
    ASSERT_EQ(open.data.size(), 10u);
    EXPECT_EQ(Bytes(open.data.begin() + 8, open.data.end()), second.data);
    EXPECT_EQ(open.data[2], 8);  // user PIN tries
    EXPECT_EQ(c.openApp("nope").sw, 0x6A8B);

    // Closed: commands on its identifier are refused; reopening restores.
    uint16_t bc = static_cast<uint16_t>(second.data[0] | second.data[1] << 8);
    Bytes id;
    le16(id, bc);
    EXPECT_EQ(c.cmd(0x28, 0, 0, id).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x28, 0, 0, id).sw, 0x6A8B);
    EXPECT_EQ(c.verifyPin(bc, 1, "314159").sw, 0x6A8B);
    EXPECT_EQ(c.appId("BC"), bc);
    EXPECT_EQ(c.verifyPin(bc, 1, "314159").sw, 0x9000);

    // Deleting needs device authentication; the first identifier is not
    // handed out again while the card lives.
    key->powerCycle();
    EXPECT_EQ(c.cmd(0x24, 0, 0, Bytes{'B', 'C'}).sw, 0x6982);
    ASSERT_EQ(c.devAuth().sw, 0x9000);
    EXPECT_EQ(c.cmd(0x24, 0, 0, Bytes{'B', 'C'}).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x24, 0, 0, Bytes{'B', 'C'}).sw, 0x6A8B);
    EXPECT_EQ(c.openApp("BC").sw, 0x6A8B);
    EXPECT_EQ(c.cmd(0x24, 0, 0, Bytes{'m', 'e', 'b', 'o', 'B', 'a', 's', 'e', 'A', 'p', 'p'}).sw,
              0x9000);
    Resp third = c.createApp("later", "admin", "314159");
    ASSERT_EQ(third.sw, 0x9000);
    EXPECT_NE(third.data, first.data);
    EXPECT_EQ(c.cmd(0x22, 0, 0, {}).data, (Bytes{'l', 'a', 't', 'e', 'r', 0, 0}));
}

TEST_F(CardTest, PinRightWrongCountdownAndLock) {
    uint16_t app = makeApp();
    EXPECT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    EXPECT_EQ(c.verifyPin(app, 1, "314158").sw, 0x63C7);
    EXPECT_EQ(c.verifyPin(app, 1, "3141590").sw, 0x63C6);
    EXPECT_EQ(pinInfo(app, 1).data, (Bytes{8, 6, 1}));
    // A right PIN restores the counter.
    EXPECT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    EXPECT_EQ(pinInfo(app, 1).data, (Bytes{8, 8, 1}));
    EXPECT_EQ(c.verifyPin(app, 2, "314159").sw, 0x6A86);
    EXPECT_EQ(c.verifyPin(app, 0, "admin-pin").sw, 0x9000);

    // No challenge: refused without costing a try.
    Bytes d;
    le16(d, app);
    d.resize(18, 0);
    EXPECT_EQ(c.cmd(0x18, 0, 1, d).sw, 0x6985);
    EXPECT_EQ(pinInfo(app, 1).data[1], 8);

    for (int left = 7; left >= 0; --left)
        EXPECT_EQ(c.verifyPin(app, 1, "000000").sw, 0x63C0 | left);
    EXPECT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9303);
    EXPECT_EQ(c.verifyPin(app, 1, "000000").sw, 0x9303);
    EXPECT_EQ(pinInfo(app, 1).data, (Bytes{8, 0, 1}));
    // The administrator PIN is a separate counter.
    EXPECT_EQ(c.verifyPin(app, 0, "admin-pin").sw, 0x9000);
}

TEST_F(CardTest, LoginStatePerApplicationAndItsEnd) {
    uint16_t a = makeApp("A");
    uint16_t b = makeApp("B");
    ASSERT_EQ(c.verifyPin(a, 1, "314159").sw, 0x9000);
    // Container creation needs a login in that application.
    EXPECT_EQ(c.createContainer(b, "c").sw, 0x6982);
    EXPECT_EQ(c.createContainer(a, "c").sw, 0x9000);
    // Clearing the secure state logs out.
    Bytes id;
    le16(id, a);
    EXPECT_EQ(c.cmd(0x1C, 0, 0, id).sw, 0x9000);
    EXPECT_EQ(c.createContainer(a, "d").sw, 0x6982);
    // So does closing the application.
    ASSERT_EQ(c.verifyPin(a, 1, "314159").sw, 0x9000);
    EXPECT_EQ(c.cmd(0x28, 0, 0, id).sw, 0x9000);
    ASSERT_EQ(c.appId("A"), a);
    EXPECT_EQ(c.createContainer(a, "d").sw, 0x6982);
    // A wrong PIN ends a login.
    ASSERT_EQ(c.verifyPin(a, 1, "314159").sw, 0x9000);
    EXPECT_EQ(c.verifyPin(a, 1, "bad").sw, 0x63C7);
    EXPECT_EQ(c.createContainer(a, "d").sw, 0x6982);
}

TEST_F(CardTest, ChangeAndUnblockPinWithMac) {
    uint16_t app = makeApp("app", 3);
    // Change with the right old PIN.
    EXPECT_EQ(c.protectedPin(0x16, 1, app, "314159", "new-pin").sw, 0x9000);
    EXPECT_EQ(c.verifyPin(app, 1, "314159").sw, 0x63C2);
    EXPECT_EQ(c.verifyPin(app, 1, "new-pin").sw, 0x9000);
    EXPECT_EQ(pinInfo(app, 1).data, (Bytes{3, 3, 0}));
    // A wrong old PIN gives a wrong MAC: one try less.
    EXPECT_EQ(c.protectedPin(0x16, 1, app, "wrong", "other").sw, 0x63C2);
    EXPECT_EQ(c.verifyPin(app, 1, "new-pin").sw, 0x9000);

    // Lock the user PIN, unblock it with the administrator PIN.
    for (int i = 0; i < 3; ++i)
        c.verifyPin(app, 1, "x");
    EXPECT_EQ(c.verifyPin(app, 1, "new-pin").sw, 0x9303);
    EXPECT_EQ(c.protectedPin(0x1A, 0, app, "not-admin", "fresh").sw, 0x63C2);
    EXPECT_EQ(c.protectedPin(0x1A, 0, app, "admin-pin", "fresh").sw, 0x9000);
    EXPECT_EQ(pinInfo(app, 0).data[1], 3);  // admin counter restored
    EXPECT_EQ(c.verifyPin(app, 1, "fresh").sw, 0x9000);

    // Lengths that cannot carry a secret and a MAC.
    Bytes d;
    le16(d, app);
    d.resize(2 + 8 + 4, 0);
    EXPECT_EQ(c.cmd(0x16, 0, 1, d, 0, 0x84).sw, 0x6700);
}

}  // namespace
