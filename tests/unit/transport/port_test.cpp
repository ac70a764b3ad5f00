// Port layer and USB transport pieces that need no device: parameter record,
// table installation, names, endpoint choice, wait time, failures without a
// device.
#include <gtest/gtest.h>

#include <cstring>

#include "transport/transport.h"
#include "transport/usb.h"

namespace {

TEST(PortParam, RecordAndInstall) {
    _ST_PORT_PARAM rec;
    PORT_FillParam(&rec, 5, "FingerPrint.Usb.0x2541.0x2549..01.03");
    EXPECT_EQ(rec.word[0], 1u);
    EXPECT_EQ(rec.word[PORT_PARAM_MODE], 1u);
    EXPECT_EQ(rec.word[PORT_PARAM_SLOT], 5u);
    EXPECT_EQ(rec.word[PORT_PARAM_TIMEOUT + 1], 7000u);
    EXPECT_EQ(rec.word[PORT_PARAM_BUFSIZE], 1024u);
    rec.word[PORT_PARAM_CLEAR_A] = rec.word[PORT_PARAM_CLEAR_A + 1] = 9;
    rec.word[PORT_PARAM_CLEAR_B] = rec.word[PORT_PARAM_CLEAR_B + 1] = 9;
    _ST_DEV_OPT opt;
    memset(&opt, 0xFF, sizeof(opt));
    ASSERT_EQ(initPortParam(&opt, &rec), 0);
    // Cleared in the record itself, then copied.
    EXPECT_EQ(rec.word[PORT_PARAM_CLEAR_A], 0u);
    EXPECT_EQ(rec.word[PORT_PARAM_CLEAR_A + 1], 9u);
    EXPECT_EQ(rec.word[PORT_PARAM_CLEAR_B], 0u);
    EXPECT_EQ(0, memcmp(&opt.param, &rec, sizeof(rec)));
    EXPECT_EQ(opt.handle, 1u);
    EXPECT_EQ(opt.openDev, &PORT_Open);
    EXPECT_EQ(opt.closeDev, &PORT_Close);
    EXPECT_EQ(opt.txdPkg, &PORT_txd);
    EXPECT_EQ(opt.rxdPkg, &PORT_rxd);
    EXPECT_EQ(initPortParam(nullptr, &rec), LINK_ERR_PARAM);
}

TEST(PortMisc, SoftVersion) {
    char v[8];
    memset(v, 'x', sizeof(v));
    EXPECT_EQ(PORT_GetSoftVersion(v), v);
    EXPECT_STREQ(v, "1.0.2");
    EXPECT_STREQ(PORT_GetLastError(), "");
}

TEST(PortMisc, WaitTime) {
    PORT_SETWAITTIME(1234);
    EXPECT_EQ(ssUsbGetTimeout(), 1234u);
    PORT_SETWAITTIME(0);
    EXPECT_EQ(ssUsbGetTimeout(), 3000u);
    ssUsbTimeout(20000);
    EXPECT_EQ(ssUsbGetTimeout(), 20000u);
    ssUsbTimeout(0);
    EXPECT_EQ(ssUsbGetTimeout(), 3000u);
}

// A wait time set while a transfer waits applies to it from when it was set
// (a cancel frees a receive that waited with a fingerprint command's long
// wait), but never makes a wait in progress longer.
TEST(PortMisc, AWaitTimeSetMeanwhileAppliesToWaitsInProgress) {
    ssUsbTimeout(20000);
    const uint64_t start = ssUsbNowMs();
    EXPECT_GT(ssUsbWaitLeft(start, 20000), 10000u);
    EXPECT_LE(ssUsbWaitLeft(start, 20000), 20000u);
    PORT_SETWAITTIME(0);
    uint32_t left = ssUsbWaitLeft(start, 20000);
    EXPECT_GT(left, 0u);
    EXPECT_LE(left, 3000u);
    // A wait that begins now has the whole of the wait in force.
    const uint64_t later = ssUsbNowMs();
    left = ssUsbWaitLeft(later, ssUsbGetTimeout());
    EXPECT_GT(left, 0u);
    EXPECT_LE(left, 3000u);
    // A longer wait set meanwhile leaves a shorter one in progress as it was.
    ssUsbTimeout(60000);
    EXPECT_LE(ssUsbWaitLeft(later, 3000), 3000u);
    // A wait whose time has passed is over.
    EXPECT_EQ(ssUsbWaitLeft(ssUsbNowMs() - 5000, 3000), 0u);
    ssUsbTimeout(0);
}

TEST(UsbNames, FromPortPath) {
    char name[USB_NAME_MAX];
    const uint8_t ports[] = {1, 3};
    ASSERT_GT(_makeUsbName(name, sizeof(name), ports, 2, 0x2549), 0);
    EXPECT_STREQ(name, "FingerPrint.Usb.0x2541.0x2549..01.03");
    const uint8_t deep[] = {0x0A, 0xFF, 2, 3, 4, 5, 6, 7};
    ASSERT_GT(_makeUsbName(name, sizeof(name), deep, 8, 0x254A), 0);
    EXPECT_STREQ(name, "FingerPrint.Usb.0x2541.0x254a..0A.FF.02.03.04.05.06.07");
    ASSERT_GT(_makeUsbName(name, sizeof(name), nullptr, 0, 0x2550), 0);
    EXPECT_STREQ(name, "FingerPrint.Usb.0x2541.0x2550.");
    char small[20];
    EXPECT_EQ(_makeUsbName(small, sizeof(small), ports, 2, 0x2549), -1);
    EXPECT_STREQ(small, "");
}

TEST(UsbEndpointChoice, FromFirstEndpointPacketSize) {
    struct Case {
        unsigned mps;
        UsbEndpoints want;
    } cases[] = {{8, {0x82, 0x02, 64, 0}},
                 {64, {0x82, 0x02, 64, 0}},
                 {65, {0x82, 0x01, 1024, 0}},
                 {512, {0x82, 0x01, 1024, 0}}};
    for (const auto& c : cases) {
        const UsbEndpoints e = usbEndpointsFor(c.mps);
        EXPECT_EQ(e.in, c.want.in) << c.mps;
        EXPECT_EQ(e.out, c.want.out) << c.mps;
        EXPECT_EQ(e.unit, c.want.unit) << c.mps;
        EXPECT_EQ(e.itf, c.want.itf) << c.mps;
    }
    // Before any device was opened: 64-byte units on 0x82 / 0x02.
    const UsbEndpoints now = ssUsbEndpoints();
    EXPECT_EQ(now.unit, 64u);
    EXPECT_EQ(now.out, 0x02u);
}

TEST(UsbWithoutDevice, FailuresAreReported) {
    uint8_t b[16] = {0xAA};
    int sent = 77;
    EXPECT_EQ(PORT_txd(1, b, 16, &sent), SS_ERR_TXD);
    EXPECT_EQ(sent, 0);
    int len = 0;
    EXPECT_EQ(PORT_rxd(1, b, sizeof(b), &len), SS_ERR_RXD);
    EXPECT_EQ(ssUsbTxd(1, b, 0), 0);  // nothing to send
    EXPECT_EQ(ssUsbClose(1), -1);
    EXPECT_EQ(PORT_Close(1), -1);
    EXPECT_EQ(nvUsbOnlyTx(b, 16), 0);
}

}  // namespace
