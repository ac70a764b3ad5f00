// CLink over a fake port table: argument checks and their codes, the port's
// status passed up, open/close state, separate send and receive lengths.
#include <gtest/gtest.h>

#include <cstring>

#include "transport/transport.h"

namespace {

struct FakePort {
    int openResult = 0;
    int txdResult = 0;
    int rxdResult = 0;
    int opens = 0;
    int closes = 0;
    int sends = 0;
    int lastCapacity = -1;
    uint64_t lastHandle = 0;
    uint8_t reply[32] = {};
    int replyLen = 0;
};
FakePort g_port;

int fakeOpen(uint64_t h) {
    g_port.lastHandle = h;
    g_port.opens++;
    return g_port.openResult;
}
int fakeClose(uint64_t h) {
    g_port.lastHandle = h;
    g_port.closes++;
    return 0;
}
int fakeTxd(uint64_t, const uint8_t*, int len, int* sent) {
    g_port.sends++;
    *sent = g_port.txdResult == 0 ? len : 0;
    return g_port.txdResult;
}
int fakeRxd(uint64_t, uint8_t* buf, int capacity, int* received) {
    g_port.lastCapacity = capacity;
    if (g_port.rxdResult != 0) return g_port.rxdResult;
    memcpy(buf, g_port.reply, g_port.replyLen);
    *received = g_port.replyLen;
    return 0;
}

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_port = FakePort();
        memset(&opt, 0, sizeof(opt));
        opt.handle = 0x77;
        opt.openDev = fakeOpen;
        opt.closeDev = fakeClose;
        opt.txdPkg = fakeTxd;
        opt.rxdPkg = fakeRxd;
        opt.param.word[PORT_PARAM_MODE] = 1;
    }
    _ST_DEV_OPT opt;
};

TEST_F(LinkTest, OpenCloseStates) {
    CLink link;
    EXPECT_EQ(link.getState(), 1);
    EXPECT_FALSE(link.isOpened());
    EXPECT_EQ(link.linkf_closeDev(), LINK_ERR_NOT_OPEN);  // never opened
    EXPECT_EQ(g_port.closes, 0);

    link.SetDev(&opt);
    ASSERT_EQ(link.linkf_openDev(), 0);
    EXPECT_TRUE(link.isOpened());
    EXPECT_EQ(link.getMode(), 1);
    EXPECT_EQ(g_port.lastHandle, 0x77u);
    EXPECT_EQ(link.linkf_closeDev(), 0);
    EXPECT_EQ(link.linkf_closeDev(), LINK_ERR_NOT_OPEN);
    EXPECT_EQ(g_port.closes, 1);

    // A failed open leaves the link closed with its table kept; a retry works.
    g_port.openResult = SS_ERR_TXD;
    EXPECT_EQ(link.linkf_openDev(), SS_ERR_TXD);
    EXPECT_FALSE(link.isOpened());
    g_port.openResult = 0;
    EXPECT_EQ(link.linkf_openDev(), 0);
    EXPECT_EQ(g_port.opens, 3);
}

TEST_F(LinkTest, ArgumentErrors) {
    CLink link;
    link.SetDev(&opt);
    uint8_t b[16] = {0xAA};
    int len = 0;
    // Not opened yet.
    EXPECT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, b, 16), LINK_ERR_PARAM);
    EXPECT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, b, &len), LINK_ERR_PARAM);
    ASSERT_EQ(link.linkf_openDev(), 0);
    EXPECT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, nullptr, 16), LINK_ERR_PARAM);
    EXPECT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, b, 0), LINK_ERR_PARAM);
    EXPECT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, b, -3), LINK_ERR_PARAM);
    EXPECT_EQ(link.linkf_txd_buff(static_cast<_protocol_type_>(1), b, 16), LINK_ERR_TYPE);
    EXPECT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, nullptr, &len), LINK_ERR_PARAM);
    EXPECT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, b, nullptr), LINK_ERR_PARAM);
    EXPECT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, b, &len, 0), LINK_ERR_PARAM);
    EXPECT_EQ(link.linkf_rxd_buff(static_cast<_protocol_type_>(2), b, &len), LINK_ERR_TYPE);
    EXPECT_EQ(g_port.sends, 0);  // nothing reached the port
    EXPECT_EQ(g_port.lastCapacity, -1);
    int rl = 0;
    EXPECT_EQ(link.linkf_txdAndRxd_buff(PROTOCOL_FRAME, b, 16, b, &rl), 0);
}

TEST_F(LinkTest, PortStatusPassedUpAndLengthsKeptApart) {
    CLink link;
    link.SetDev(&opt);
    ASSERT_EQ(link.linkf_openDev(), 0);
    uint8_t req[40] = {0xAA};
    uint8_t rsp[LINK_RXD_CAPACITY];
    g_port.replyLen = 14;
    memset(g_port.reply, 0x42, 14);
    int len = 0;
    ASSERT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, rsp, &len), 0);
    EXPECT_EQ(len, 14);
    EXPECT_EQ(g_port.lastCapacity, static_cast<int>(LINK_RXD_CAPACITY));
    ASSERT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, req, 40), 0);
    // The send does not overwrite what the receive reported.
    EXPECT_EQ(link.rxdLength(), 14);
    EXPECT_EQ(link.sentLength(), 40);

    g_port.txdResult = SS_ERR_TXD;
    EXPECT_EQ(link.linkf_txd_buff(PROTOCOL_FRAME, req, 40), SS_ERR_TXD);
    EXPECT_EQ(link.sentLength(), 0);
    g_port.rxdResult = SS_ERR_TIMEOUT;
    len = 5;
    EXPECT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, rsp, &len, 100), SS_ERR_TIMEOUT);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(g_port.lastCapacity, 100);
    g_port.rxdResult = SS_ERR_TOO_LONG;
    EXPECT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, rsp, &len), SS_ERR_TOO_LONG);
}

TEST_F(LinkTest, ReleaseClosesOnlyAnOpenLink) {
    {
        CLink link;
        link.SetDev(&opt);
        link.releaseDev();
        EXPECT_EQ(g_port.closes, 0);
        EXPECT_EQ(link.getState(), 0);
        // The binding is gone: opening needs a table again.
        EXPECT_NE(link.linkf_openDev(), 0);
        EXPECT_EQ(g_port.opens, 0);
        link.SetDev(&opt);
        EXPECT_EQ(link.linkf_openDev(), 0);
    }
    // The destructor closed the open link.
    EXPECT_EQ(g_port.closes, 1);
}

}  // namespace
