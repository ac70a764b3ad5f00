// Device functions through the recording port: identity writes and reads,
// device information, random numbers, device authentication.
#include <gtest/gtest.h>

#include "skf/skf.h"
#include "tests/unit/skf/fake_port.h"

namespace {

class SkfDevTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        h = fake::attach(0, "K1");
    }
    void* h = nullptr;
};

TEST_F(SkfDevTest, IdentityWritesCarryTheFieldBytes) {
    fake::reply(0x9000);
    EXPECT_EQ(SKFX_SetDevType(h, 0x0102), SAR_OK);
    EXPECT_EQ(fake::apdu(0)[1], 0x02);  // INS
    EXPECT_EQ(fake::apdu(0)[2], 4);     // selector
    EXPECT_EQ(fake::data(0), hexBytes("0201"));

    const std::string sn32(32, 'S');
    fake::reply(0x9000);
    EXPECT_EQ(SKFX_SetSN(h, sn32.c_str()), SAR_OK);
    EXPECT_EQ(fake::apdu(1)[2], 1);
    EXPECT_EQ(fake::data(1), Bytes(sn32.begin(), sn32.end()));

    fake::reply(0x9000);
    EXPECT_EQ(SKF_SetLabel(h, "Key"), SAR_OK);
    EXPECT_EQ(fake::apdu(2)[2], 0);
    EXPECT_EQ(fake::data(2), hexBytes("4B6579"));

    const Bytes rsv = seqBytes(1, 64);
    fake::reply(0x9000);
    EXPECT_EQ(SKFX_SetRsv(h, rsv.data(), 64, 118), SAR_OK);
    EXPECT_EQ(fake::apdu(3)[2], 3);
    EXPECT_EQ(fake::apdu(3)[3], 118);  // offset in P2
}

TEST_F(SkfDevTest, IdentityWriteLimitsAndRefusals) {
    const std::string sn33(33, 'S');
    EXPECT_EQ(SKFX_SetSN(h, sn33.c_str()), SAR_INVALIDPARAMERR);
    const Bytes rsv = seqBytes(1, 65);
    EXPECT_EQ(SKFX_SetRsv(h, rsv.data(), 65, 0), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKFX_SetLabelEx(h, 0, "x", 1, 119), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKFX_SetLabelEx(h, 5, "x", 1, 0), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKFX_SetLabelEx(nullptr, 0, "x", 1, 0), SAR_INVALIDHANDLEERR);
    EXPECT_TRUE(fake::sent.empty());
    fake::reply(0x6982);
    EXPECT_EQ(SKF_SetLabel(h, "L"), SAR_USER_NOT_LOGGED_IN);
}

TEST_F(SkfDevTest, IdentityReadsCheckTheirFixedSizes) {
    fake::reply(0x9000, hexBytes("010203"));
    uint8_t ver[3] = {};
    EXPECT_EQ(SKFX_GetVer(h, ver), SAR_OK);
    EXPECT_EQ(Bytes(ver, ver + 3), hexBytes("010203"));
    EXPECT_EQ(fake::apdu(0)[2], 4);

    fake::reply(0x9000, hexBytes("01020304"));
    uint8_t ver2[8] = {};
    EXPECT_EQ(SKFX_GetVer(h, ver2), SAR_INVALIDPARAMERR);
    EXPECT_EQ(ver2[0], 0);

    fake::reply(0x9000, hexBytes("4933"));
    uint8_t type[2] = {};
    EXPECT_EQ(SKFX_GetDevType(h, type), SAR_OK);
    EXPECT_EQ(fake::apdu(2)[2], 6);

    const Bytes sn = seqBytes('A', 20);
    fake::reply(0x9000, sn);
    uint8_t snBuf[32] = {};
    EXPECT_EQ(SKFX_GetSN(h, snBuf), SAR_OK);
    EXPECT_EQ(Bytes(snBuf, snBuf + 20), sn);

    fake::reply(0x9000, Bytes(400, 1));  // longer than the work buffer
    uint8_t big[400];
    unsigned int len = sizeof big;
    EXPECT_EQ(SKFX_GetDevInfoEx(h, 0, big, &len, 0), SAR_BUFFER_TOO_SMALL);

    fake::reply(0x6A82);
    uint8_t label[32];
    EXPECT_EQ(SKFX_GetLabel(h, label), SAR_FILE_NOT_EXIST);
    EXPECT_EQ(SKFX_GetDevInfoEx(h, 7, big, &len, 0), SAR_INVALIDPARAMERR);
}

TEST_F(SkfDevTest, DevInfoMapsTheCardLayout) {
    Bytes rep(288);
    for (size_t i = 0; i < rep.size(); ++i)
        rep[i] = static_cast<uint8_t>(i * 7 + 3);
    fake::reply(0x9000, rep);
    DEVINFO info;
    memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
    EXPECT_EQ(fake::apdu(0)[1], 0x04);
    EXPECT_EQ(fake::apdu(0)[2], 0);
    EXPECT_EQ(info.Version.major, rep[0]);
    EXPECT_EQ(info.Version.minor, rep[1]);
    EXPECT_EQ(0, memcmp(info.Manufacturer, &rep[4], 64));
    EXPECT_EQ(0, memcmp(info.Issuer, &rep[68], 64));
    EXPECT_EQ(0, memcmp(info.Label, &rep[132], 32));
    EXPECT_EQ(0, memcmp(info.SerialNumber, &rep[164], 32));
    EXPECT_EQ(info.HWVersion.major, rep[196]);
    EXPECT_EQ(info.FirmwareVersion.minor, rep[199]);
    const uint32_t sym = info.AlgSymCap, freeSpace = info.FreeSpace;
    const uint32_t maxEcc = info.MaxECCBufferSize, maxBuf = info.MaxBufferSize;
    EXPECT_EQ(sym, static_cast<uint32_t>(rep[200] | rep[201] << 8 | rep[202] << 16 |
                                         static_cast<uint32_t>(rep[203]) << 24));
    EXPECT_EQ(freeSpace, static_cast<uint32_t>(rep[220] | rep[221] << 8 | rep[222] << 16 |
                                               static_cast<uint32_t>(rep[223]) << 24));
    EXPECT_EQ(maxEcc, 256u);
    EXPECT_EQ(maxBuf, 10240u);
    EXPECT_EQ(0, memcmp(info.Reserved, &rep[224], 64));

    // A short reply leaves the rest zero; the buffer sizes are fixed.
    fake::reply(0x9000, hexBytes("0102"));
    ASSERT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
    EXPECT_EQ(info.Label[0], 0);
    const uint32_t maxEcc2 = info.MaxECCBufferSize;
    EXPECT_EQ(maxEcc2, 256u);
}

TEST_F(SkfDevTest, RandomAndDeviceAuth) {
    fake::reply(0x9000, seqBytes(0x10, 8));
    uint8_t rnd[8] = {};
    ASSERT_EQ(SKF_GenRandom(h, rnd, 8), SAR_OK);
    EXPECT_EQ(Bytes(rnd, rnd + 8), seqBytes(0x10, 8));
    EXPECT_EQ(fake::apdu(0), hexBytes("80500000 0000 0800"));

    fake::reply(0x9000, seqBytes(0x10, 9));
    EXPECT_EQ(SKF_GenRandom(h, rnd, 8), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(SKF_GenRandom(h, rnd, 0), SAR_INVALIDPARAMERR);

    const Bytes auth = seqBytes(0xA0, 16);
    fake::reply(0x9000);
    EXPECT_EQ(SKF_DevAuth(h, auth.data(), 16), SAR_OK);
    EXPECT_EQ(fake::apdu(2)[1], 0x10);
    EXPECT_EQ(fake::data(2), auth);
    fake::reply(0x6300 | 0xC2);
    EXPECT_EQ(SKF_DevAuth(h, auth.data(), 16), SAR_PIN_INCORRECT);
    EXPECT_EQ(SKF_DevAuth(h, auth.data(), 0), SAR_INVALIDHANDLEERR);
}

TEST_F(SkfDevTest, UnknownOrFreedDeviceHandle) {
    int notASlot = 0;
    uint8_t rnd[8];
    EXPECT_EQ(SKF_GenRandom(&notASlot, rnd, 8), SAR_DEVHANDLE_UNKNOWN);
    ASSERT_EQ(SKF_DisConnectDev(h), SAR_OK);
    EXPECT_EQ(SKF_GenRandom(h, rnd, 8), SAR_DEVSLOT_FREE);
    EXPECT_TRUE(fake::sent.empty());
}

TEST_F(SkfDevTest, RawTransmitPassesBytesThrough) {
    const Bytes cmd = hexBytes("80 04 04 00 0000 0000");
    fake::reply(0x9000, hexBytes("0102"));
    uint8_t out[16];
    unsigned int n = sizeof out;
    ASSERT_EQ(SKX_Transmit(h, cmd.data(), static_cast<unsigned>(cmd.size()), 0x21, out, &n),
              SAR_OK);
    EXPECT_EQ(fake::sent[0][3], 0x21);
    EXPECT_EQ(fake::apdu(0), cmd);
    EXPECT_EQ(Bytes(out, out + n), hexBytes("0090 0200 0102"));
    fake::reply(0x9000, hexBytes("0102"));
    n = 5;
    EXPECT_EQ(SKX_Transmit(h, cmd.data(), static_cast<unsigned>(cmd.size()), 8, out, &n),
              SAR_BUFFER_TOO_SMALL);
}

}  // namespace
