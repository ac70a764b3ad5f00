// Applications and PINs through the recording port: creation record, PIN
// cryptogram, listings in several passes, open/close rules, protected PIN
// change and unblock.
#include <gtest/gtest.h>

#include "skf/skf.h"
#include "tests/unit/skf/oracle.h"

namespace {

const Bytes kChallenge = hexBytes("0102030405060708");

class SkfAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        h = fake::attach(0, "K1");
    }
    // Opens application `name` with card ID `id`; its command is sent[first].
    HAPPLICATION open(const char* name, uint16_t id) {
        Bytes rep(10, 0);
        rep[8] = static_cast<uint8_t>(id);
        rep[9] = static_cast<uint8_t>(id >> 8);
        fake::reply(0x9000, rep);
        HAPPLICATION app = nullptr;
        EXPECT_EQ(SKF_OpenApplication(h, name, &app), SAR_OK);
        return app;
    }
    static Bytes pinKey(const std::string& pin) {
        Bytes p(pin.begin(), pin.end());
        if (p.size() < 16) p.resize(16, 0);
        Bytes d = osslSha1(p);
        return Bytes(d.begin(), d.begin() + 16);
    }
    void* h = nullptr;
};

TEST_F(SkfAppTest, VerifyPinSendsTheCryptogramOfTheChallenge) {
    HAPPLICATION app = open("APP", 0x3F00);
    fake::reply(0x9000, kChallenge);
    fake::reply(0x9000);
    unsigned int retry = 9;
    ASSERT_EQ(SKF_VerifyPIN(app, USER_TYPE, "123456", &retry), SAR_OK);
    EXPECT_EQ(retry, 0u);
    ASSERT_EQ(fake::sent.size(), 3u);
    EXPECT_EQ(fake::apdu(1), hexBytes("80500000 0000 0800"));
    const Bytes a = fake::apdu(2);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 8), hexBytes("80180001 1200 0000"));
    Bytes want = hexBytes("003F");
    const Bytes m = hexBytes("0800 0102030405060708 80 0000000000");
    const Bytes c = osslSm4Ecb(pinKey("123456"), m);
    want.insert(want.end(), c.begin(), c.end());
    EXPECT_EQ(fake::data(2), want);
}

TEST_F(SkfAppTest, VerifyPinResults) {
    HAPPLICATION app = open("APP", 0x3F00);
    unsigned int retry = 0;
    fake::reply(0x9000, kChallenge);
    fake::reply(0x63C2);
    EXPECT_EQ(SKF_VerifyPIN(app, ADMIN_TYPE, "000000", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 2u);
    EXPECT_EQ(fake::apdu(2)[3], 0);  // P2 = admin
    fake::reply(0x9000, kChallenge);
    fake::reply(0x9303);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "000000", &retry), SAR_PIN_LOCKED);
    fake::reply(0x9000, kChallenge);
    fake::reply(0x6A9E);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "000000", &retry), 0x0C006A9Eu);

    const size_t before = fake::sent.size();
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "12345678901234567", &retry), SAR_PIN_LEN_RANGE);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "", &retry), SAR_PIN_LEN_RANGE);
    EXPECT_EQ(SKF_VerifyPIN(app, 2, "123456", &retry), SAR_USER_TYPE_INVALID);
    EXPECT_EQ(SKF_VerifyPIN(reinterpret_cast<void*>(9), USER_TYPE, "1", &retry),
              SAR_INVALIDHANDLEERR);
    EXPECT_EQ(fake::sent.size(), before);

    fake::reply(0x6A82);  // challenge refused
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "123456", &retry), SAR_FILE_NOT_EXIST);
}

TEST_F(SkfAppTest, CreateApplicationRecord) {
    const std::string name40(40, 'N');
    fake::reply(0x9000, hexBytes("013F"));
    HAPPLICATION app = nullptr;
    ASSERT_EQ(SKF_CreateApplication(h, name40.c_str(), "admin1", 10, "user12", 6, 0xFF, &app),
              SAR_OK);
    EXPECT_EQ(fake::apdu(0)[1], 0x20);
    Bytes rec(80, 0);
    memcpy(&rec[0], name40.data(), 32);
    memcpy(&rec[32], "admin1", 6);
    rec[48] = 10;
    memcpy(&rec[52], "user12", 6);
    rec[68] = 6;
    rec[72] = 0xFF;
    EXPECT_EQ(fake::data(0), rec);
    EXPECT_EQ(app, reinterpret_cast<void*>(1));
    // The map keeps the full name: opening it by that name finds the record.
    EXPECT_EQ(open(name40.c_str(), 0x3F01), app);

    HAPPLICATION other = nullptr;
    EXPECT_EQ(SKF_CreateApplication(h, "A", "a", 1, "u", 1, 0x11, &other), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_CreateApplication(h, "A", "", 1, "u", 1, 0x10, &other), SAR_PIN_LEN_RANGE);
    fake::reply(0x6A89);
    EXPECT_EQ(SKF_CreateApplication(h, "A", "a", 1, "u", 1, 0x10, &other), SAR_APPLICATION_EXISTS);
    fake::reply(0x9000, hexBytes("013F00"));
    EXPECT_EQ(SKF_CreateApplication(h, "A", "a", 1, "u", 1, 0x10, &other), SAR_BUFFER_TOO_SMALL);
}

TEST_F(SkfAppTest, EnumApplicationSingleAndMultiPass) {
    const Bytes list = {'A', 0, 'B', 'C', 0, 0};
    fake::reply(0x9000, list);
    unsigned int size = 0;
    ASSERT_EQ(SKF_EnumApplication(h, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(fake::apdu(0), hexBytes("80220000 0000 0000"));

    for (const Bytes& empty : {Bytes{}, Bytes{0}, Bytes{0, 0}}) {
        fake::reply(0x9000, empty);
        size = 0;
        ASSERT_EQ(SKF_EnumApplication(h, nullptr, &size), SAR_OK);
        EXPECT_EQ(size, 0u);
    }

    // Two passes: the second continues over the final NUL of the first.
    fake::reply(0x6A9E, {'A', 0, 'B', 0, 0});
    fake::reply(0x9000, {'C', 'D', 0, 0});
    char buf[32];
    memset(buf, 0x7E, sizeof buf);
    size = sizeof buf;
    ASSERT_EQ(SKF_EnumApplication(h, buf, &size), SAR_OK);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(Bytes(buf, buf + 8), Bytes({'A', 0, 'B', 0, 'C', 'D', 0, 0}));

    // A list larger than the buffer is refused.
    fake::reply(0x9000, list);
    char small[4];
    size = sizeof small;
    EXPECT_EQ(SKF_EnumApplication(h, small, &size), SAR_BUFFER_TOO_SMALL);

    // A card that says "more" without sending anything does not loop forever.
    for (int i = 0; i < 3; ++i)
        fake::reply(0x6A9E);
    size = sizeof buf;
    EXPECT_EQ(SKF_EnumApplication(h, buf, &size), SAR_FAIL);
}

TEST_F(SkfAppTest, OpenCloseDelete) {
    fake::reply(0x9000, Bytes(10, 0));  // ID 0: success, no handle
    HAPPLICATION app = reinterpret_cast<void*>(5);
    unsigned int id = 7;
    EXPECT_EQ(SKFX_OpenApplication(h, "Z", &app, &id), SAR_OK);
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(fake::apdu(0), hexBytes("80260000 0100 0A00 5A"));

    app = open("APP", 0x3F00);
    ASSERT_NE(app, nullptr);
    fake::reply(0x9000);
    EXPECT_EQ(SKF_CloseApplication(app), SAR_OK);
    EXPECT_EQ(fake::data(fake::sent.size() - 1), hexBytes("003F"));
    EXPECT_EQ(SKF_CloseApplication(app), SAR_INVALIDHANDLEERR);

    app = open("APP", 0x3F00);
    fake::reply(0x6982);
    EXPECT_EQ(SKF_CloseApplication(app), SAR_USER_NOT_LOGGED_IN);  // handle stays
    fake::reply(0x9000);
    EXPECT_EQ(SKF_DeleteApplication(h, "APP"), SAR_OK);
    EXPECT_EQ(fake::data(fake::sent.size() - 1), hexBytes("415050"));
    EXPECT_EQ(SKF_CloseApplication(app), SAR_INVALIDHANDLEERR);

    fake::reply(0x6A82);
    EXPECT_EQ(SKF_OpenApplication(h, "X", &app), SAR_FILE_NOT_EXIST);
}

TEST_F(SkfAppTest, ChangePinIsMacProtected) {
    HAPPLICATION app = open("APP", 0x3F00);
    fake::reply(0x9000, kChallenge);
    fake::reply(0x9000);
    unsigned int retry = 5;
    ASSERT_EQ(SKF_ChangePIN(app, USER_TYPE, "111111", "222222", &retry), SAR_OK);
    ASSERT_EQ(fake::sent.size(), 3u);
    const Bytes a = fake::apdu(2);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 8), hexBytes("84160001 1600 0000"));
    const Bytes d = fake::data(2);
    ASSERT_EQ(d.size(), 22u);
    const Bytes k = pinKey("111111");
    Bytes secret = hexBytes("0600");
    secret.insert(secret.end(), {'2', '2', '2', '2', '2', '2', 0x80});
    secret.resize(16, 0);
    const Bytes enc = osslSm4Ecb(k, secret);
    EXPECT_EQ(Bytes(d.begin() + 2, d.begin() + 18), enc);
    // MAC over the 8-byte header and the 18 data bytes before it: 26 bytes.
    Bytes macIn(a.begin(), a.begin() + 26);
    macIn.push_back(0x80);
    macIn.resize(32, 0);
    Bytes iv = kChallenge;
    iv.resize(16, 0);
    const Bytes ct = osslSm4Cbc(k, iv, macIn);
    EXPECT_EQ(Bytes(d.begin() + 18, d.end()), Bytes(ct.end() - 16, ct.end() - 12));
    // Writing the header before the MAC takes a sequence number of its own.
    EXPECT_EQ(fake::sent[1][5], static_cast<uint8_t>(fake::sent[0][5] + 2));

    fake::reply(0x9000, kChallenge);
    fake::reply(0x63C1);
    EXPECT_EQ(SKF_ChangePIN(app, USER_TYPE, "111111", "222222", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 1u);
    EXPECT_EQ(SKF_ChangePIN(app, 3, "111111", "222222", &retry), SAR_USER_TYPE_INVALID);
    EXPECT_EQ(SKF_ChangePIN(app, 1, "111111", "", &retry), SAR_PIN_LEN_RANGE);
}

TEST_F(SkfAppTest, UnblockAndDeviceKeyChange) {
    HAPPLICATION app = open("APP", 0x3F00);
    fake::reply(0x9000, kChallenge);
    fake::reply(0x9000);
    unsigned int retry = 5;
    ASSERT_EQ(SKF_UnblockPIN(app, "admin1", "123456", &retry), SAR_OK);
    const Bytes a = fake::apdu(2);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 4), hexBytes("841A0000"));
    const Bytes d = fake::data(2);
    Bytes secret = {6, 0, '1', '2', '3', '4', '5', '6', 0x80};
    secret.resize(16, 0);
    EXPECT_EQ(Bytes(d.begin() + 2, d.begin() + 18), osslSm4Ecb(pinKey("admin1"), secret));

    const Bytes oldKey =
        Bytes({'3', '1', '4', '1', '5', '9', '2', '6', '5', '3', '5', '8', '9', '7', '9', '3'});
    const Bytes newKey = seqBytes(0x61, 16);
    fake::reply(0x9000, kChallenge);
    fake::reply(0x9000);
    ASSERT_EQ(SKF_ChangeDevAuthKeyExt(h, newKey.data(), oldKey.data()), SAR_OK);
    const Bytes b = fake::apdu(4);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), hexBytes("84120000 1400 0000"));
    const Bytes kd = fake::data(4);
    EXPECT_EQ(Bytes(kd.begin(), kd.begin() + 16), osslSm4Ecb(oldKey, newKey));
    Bytes macIn(b.begin(), b.begin() + 24);
    macIn.push_back(0x80);
    macIn.resize(32, 0);
    Bytes iv = kChallenge;
    iv.resize(16, 0);
    const Bytes ct = osslSm4Cbc(oldKey, iv, macIn);
    EXPECT_EQ(Bytes(kd.begin() + 16, kd.end()), Bytes(ct.end() - 16, ct.end() - 12));
}

}  // namespace
