// The command builder and exchange: frame bytes, data-field encoding, the
// shared sequence counter, reply reading and reply validation.
#include <gtest/gtest.h>

#include "skf/cos17.h"
#include "skf/devtable.h"
#include "tests/unit/skf/fake_port.h"

namespace {

class Cos17Test : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        hDev = fake::attach(0, "K1");
    }
    void bind(CCOS17& c) { ASSERT_EQ(cosGetDevLink(hDev, c.m_link), SAR_OK); }
    void* hDev = nullptr;
};

TEST_F(Cos17Test, CommandWithoutDataIsAn18ByteFrame) {
    cosSetSeq(0x21);
    CCOS17 c(0x22, 0x01, 0x02, 0x80);
    bind(c);
    fake::reply(0x9000);
    ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
    ASSERT_EQ(fake::sent.size(), 1u);
    const Bytes& f = fake::sent[0];
    Bytes head = {0xAA, 0x00, 0x08, 0x08, 0x00, 0x21, 0x00, 0x80, 0x22, 0x01, 0x02, 0, 0, 0, 0};
    ASSERT_EQ(f.size(), 18u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 15), head);
    const uint16_t sum = fake::fletcher(f.data() + 1, 14);
    EXPECT_EQ(f[15], sum >> 8);
    EXPECT_EQ(f[16], sum & 0xFF);
    EXPECT_EQ(f[17], 0x55);
}

TEST_F(Cos17Test, HeaderCarriesLcAndLeLittleEndian) {
    CCOS17 c(0x50, 0, 0, 0x80);
    bind(c);
    c.setWithLe(10);
    c.addW(0x1234);
    Bytes sixteen = seqBytes(0xA0, 16);
    c.addLV4(sixteen.data(), 16);
    c.addDw(0x01020304).addC(0x7F);
    fake::reply(0x9000);
    ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
    Bytes a = fake::apdu(0);
    EXPECT_EQ(a[4], 2 + 4 + 16 + 4 + 1);  // Lc
    EXPECT_EQ(a[5], 0);
    EXPECT_EQ(a[6], 0x0A);  // Le
    EXPECT_EQ(a[7], 0x00);
    Bytes want = {0x34, 0x12, 0x10, 0x00, 0x00, 0x00};
    want.insert(want.end(), sixteen.begin(), sixteen.end());
    want.insert(want.end(), {0x04, 0x03, 0x02, 0x01, 0x7F});
    EXPECT_EQ(fake::data(0), want);
}

TEST_F(Cos17Test, ProtectedClassAndChannelOverride) {
    CCOS17 c(0x16, 0, 1, 0x84);
    bind(c);
    fake::reply(0x9000);
    ASSERT_EQ(c.SndRcv(0, 0x33), SAR_OK);
    EXPECT_EQ(fake::sent[0][3], 0x33);
    EXPECT_EQ(fake::apdu(0)[0], 0x84);
}

TEST_F(Cos17Test, SetDataGrowsLcToCoverTheWrite) {
    CCOS17 c(0x12, 0, 0, 0x80);
    bind(c);
    c.addBuf(seqBytes(1, 4).data(), 4);
    const uint8_t mac[2] = {0xEE, 0xFF};
    c.setData(mac, 2, 3);
    EXPECT_EQ(c.dataLen(), 5u);
    c.setData(mac, 2, 0);
    EXPECT_EQ(c.dataLen(), 5u);
    fake::reply(0x9000);
    ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
    EXPECT_EQ(fake::data(0), hexBytes("EEFF03EEFF"));
}

TEST_F(Cos17Test, SequenceIsSharedAndWrapsAfter256Commands) {
    cosSetSeq(250);
    uint8_t first = 0;
    for (int i = 0; i < 257; ++i) {
        CCOS17 c(0x04, 0, 0, 0x80);
        bind(c);
        fake::reply(0x9000);
        ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
        if (i == 0) first = fake::sent.back()[5];
        if (i == 5) {
            EXPECT_EQ(fake::sent.back()[5], 255);
        }
        if (i == 6) {
            EXPECT_EQ(fake::sent.back()[5], 0);
        }
    }
    EXPECT_EQ(first, 250);
    EXPECT_EQ(fake::sent.back()[5], first);
}

TEST_F(Cos17Test, DataFieldLimitIsEnforcedBeforeSending) {
    Bytes big(kCosMaxData + 1, 0x5A);
    {
        CCOS17 c(0x3A, 0, 0, 0x80);
        bind(c);
        c.addBuf(big.data(), kCosMaxData);
        fake::reply(0x9000);
        ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
        EXPECT_EQ(fake::sent.back().size(), kCosMaxData + 8 + 10);
    }
    fake::sent.clear();
    {
        CCOS17 c(0x3A, 0, 0, 0x80);
        bind(c);
        c.addBuf(big.data(), kCosMaxData + 1);
        EXPECT_EQ(c.SndRcv(0, -1), SAR_INDATALENERR);
    }
    {
        CCOS17 c(0x3A, 0, 0, 0x80);
        bind(c);
        c.addBuf(big.data(), kCosMaxData - 1).addW(1);  // the last value no longer fits
        EXPECT_EQ(c.SndRcv(0, -1), SAR_INDATALENERR);
    }
    {
        CCOS17 c(0x3A, 0, 0, 0x80);
        bind(c);
        c.setData(big.data(), 10, kCosMaxData - 5);
        EXPECT_EQ(c.SndRcv(0, -1), SAR_INDATALENERR);
    }
    EXPECT_TRUE(fake::sent.empty());
}

TEST_F(Cos17Test, LinkFailures) {
    CCOS17 noLink(0x04, 0, 0, 0x80);
    EXPECT_EQ(noLink.SndRcv(0, -1), SAR_INVALIDHANDLEERR);

    fake::txdRc = -1;
    CCOS17 a(0x04, 0, 0, 0x80);
    bind(a);
    EXPECT_EQ(a.SndRcv(0, -1), SAR_LINK_SEND);
    fake::txdRc = 0;

    CCOS17 b(0x04, 0, 0, 0x80);
    bind(b);
    fake::replyFail(-107);
    EXPECT_EQ(b.SndRcv(0, -1), SAR_FAIL);
}

TEST_F(Cos17Test, MalformedRepliesAreRefused) {
    struct Case {
        const char* what;
        Bytes frame;
        bool echo;
    };
    Bytes good = fake::replyFrame(0x9000, {1, 2, 3});
    // Edited through at(): GCC 12 at -O3 takes an indexed write into a copy
    // for a write before the start of an empty vector (-Wstringop-overflow).
    Bytes badSum = good;
    badSum.at(badSum.size() - 2) ^= 0x01;
    Bytes badTail = good;
    badTail.at(badTail.size() - 1) = 0x56;
    Bytes shortFrame(good.begin(), good.begin() + 9);
    // N says 9 data bytes, the payload carries 3.
    Bytes longN = good;
    longN[9] = 9;
    Bytes truncated(good.begin(), good.end() - 4);
    const Case cases[] = {
        {"checksum", badSum, false},      {"tail", badTail, false},
        {"too short", shortFrame, false}, {"N beyond payload", longN, true},
        {"truncated", truncated, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        CCOS17 c(0x04, 0, 0, 0x80);
        bind(c);
        fake::replies.push_back({k.frame, k.echo, 0});
        EXPECT_EQ(c.SndRcv(0, -1), SAR_FAIL);
        fake::replies.clear();
    }
}

TEST_F(Cos17Test, StaleReplyToAnEarlierCommandIsSkipped) {
    CCOS17 c(0x04, 0, 0, 0x80);
    bind(c);
    cosSetSeq(9);
    fake::replies.push_back({fake::replyFrame(0x9000, {0xEE}, 8), false, 0});
    Bytes otherChannel = fake::replyFrame(0x9000, {0xDD}, 9);
    otherChannel[3] = 6;  // a fingerprint-module frame with the same sequence byte
    const uint16_t sum = fake::fletcher(otherChannel.data() + 1, otherChannel.size() - 4);
    otherChannel[otherChannel.size() - 3] = static_cast<uint8_t>(sum >> 8);
    otherChannel[otherChannel.size() - 2] = static_cast<uint8_t>(sum);
    fake::replies.push_back({otherChannel, false, 0});
    fake::reply(0x9000, {0x42});
    ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
    uint8_t out[4] = {};
    unsigned int n = sizeof out;
    EXPECT_EQ(c.getRcv(out, n, false), SAR_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[0], 0x42);

    // A key that keeps answering with the wrong sequence ends in a failure.
    CCOS17 d(0x04, 0, 0, 0x80);
    bind(d);
    for (int i = 0; i < 8; ++i) {
        fake::replies.push_back({fake::replyFrame(0x9000, {}, 200), false, 0});
    }
    EXPECT_EQ(d.SndRcv(0, -1), SAR_FAIL);
}

TEST_F(Cos17Test, GetRcvRules) {
    Bytes d300(300, 0x11);
    {
        CCOS17 c(0x04, 0, 0, 0x80);
        bind(c);
        fake::reply(0x9000, d300);
        ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
        int len = 7;
        EXPECT_EQ(c.getRcv(nullptr, len, false), SAR_OK);  // length query
        EXPECT_EQ(len, 300);
        uint8_t small[256];
        memset(small, 0xCC, sizeof small);
        len = 256;
        EXPECT_EQ(c.getRcv(small, len, false), SAR_BUFFER_TOO_SMALL);
        EXPECT_EQ(len, 256);
        EXPECT_EQ(small[0], 0xCC);
        uint8_t big[400] = {};
        len = 0;  // no limit
        EXPECT_EQ(c.getRcv(big, len, false), SAR_OK);
        EXPECT_EQ(len, 300);
        EXPECT_EQ(big[299], 0x11);
    }
    {
        CCOS17 c(0x04, 0, 0, 0x80);
        bind(c);
        fake::reply(0x6A9E, {1, 2});
        ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
        uint8_t out[4] = {};
        unsigned int n = sizeof out;
        EXPECT_EQ(c.getRcv(out, n, false), 0x6A9Eu);
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(out[1], 2);
    }
    {
        CCOS17 c(0x04, 0, 0, 0x80);
        bind(c);
        fake::reply(0x6A8A);
        ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
        EXPECT_EQ(c.getRetCode(), 0x9000u);
        unsigned int n = 0;
        EXPECT_EQ(c.getRcv(nullptr, n, false), SAR_OK);
    }
    {
        // Status first: nothing copied. Copy first: data copied, then refused.
        CCOS17 c(0x04, 0, 0, 0x80);
        bind(c);
        fake::reply(0x6A82, {9, 9});
        ASSERT_EQ(c.SndRcv(0, -1), SAR_OK);
        uint8_t out[4] = {};
        unsigned int n = sizeof out;
        EXPECT_EQ(c.getRcv(out, n, false), SAR_FILE_NOT_EXIST);
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(c.getRcv(out, n, true), SAR_FILE_NOT_EXIST);
        EXPECT_EQ(out[0], 9);
    }
}

TEST(CBufTest, SwapFlagSelectsByteOrder) {
    uint8_t b[16] = {};
    CBuf le;
    le.setBuf(b, 0, sizeof b);
    le.addW(0x1234).addDw(0xA1B2C3D4);
    EXPECT_EQ(Bytes(b, b + 6), hexBytes("3412D4C3B2A1"));
    CBuf be;
    be.setBuf(b, 1, sizeof b);
    be.addW(0x1234).addDw(0xA1B2C3D4);
    EXPECT_EQ(Bytes(b, b + 6), hexBytes("1234A1B2C3D4"));
    unsigned short w = 0x5108;
    be.swapW(w);
    EXPECT_EQ(w, 0x0851);
    le.swapW(w);
    EXPECT_EQ(w, 0x0851);
    unsigned int dw = 0x01020304;
    be.swapDw(dw);
    EXPECT_EQ(dw, 0x04030201u);
    CBuf lv;
    lv.setBuf(b, 0, sizeof b);
    lv.addLV2(3, "abc");
    EXPECT_EQ(Bytes(b, b + 5), hexBytes("0300616263"));
    EXPECT_EQ(lv.getLen(), 5u);
    lv.addBuf(12, b);
    EXPECT_TRUE(lv.overflowed());
    EXPECT_EQ(lv.getLen(), 5u);
}

}  // namespace
