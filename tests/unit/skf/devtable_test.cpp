// Device table: slot handles, link lookup, freeing, and refusing a connect
// when every slot is taken.
#include <gtest/gtest.h>

#include "skf/devtable.h"
#include "tests/unit/skf/fake_port.h"

namespace {

TEST(DevTableTest, SlotAddressIsTheHandleAndYieldsItsLink) {
    fake::reset();
    EXPECT_EQ(getFreeUsbPort(), 0);
    void* h = fake::attach(0, "FingerPrint.Usb.0x2541.0x2549..01.03");
    EXPECT_EQ(h, static_cast<void*>(&m_sUsbDevInfo[0]));
    CLink* link = nullptr;
    EXPECT_EQ(cosGetDevLink(h, link), SAR_OK);
    EXPECT_EQ(link, &m_sUsbDevInfo[0].link);
    EXPECT_EQ(getFreeUsbPort(), 1);
    EXPECT_EQ(isDevOpen("FingerPrint.Usb.0x2541.0x2549"), 0);  // prefix of an open name
    EXPECT_EQ(isDevOpen("FingerPrint.Usb.0x2541.0x2548"), -1);
    char name[128] = {};
    ASSERT_EQ(getDevNameFromHdl(h, name, sizeof name), 1);
    EXPECT_STREQ(name, "FingerPrint.Usb.0x2541.0x2549..01.03");
}

TEST(DevTableTest, LinkLookupFailures) {
    fake::reset();
    CLink* link = nullptr;
    EXPECT_EQ(cosGetDevLink(nullptr, link), SAR_INVALIDHANDLEERR);
    int notASlot = 0;
    EXPECT_EQ(cosGetDevLink(&notASlot, link), SAR_DEVHANDLE_UNKNOWN);
    void* h = fake::attach(3, "K3");
    EXPECT_EQ(cosFreeUsbDev(h), 1);
    EXPECT_EQ(cosGetDevLink(h, link), SAR_DEVSLOT_FREE);
    EXPECT_EQ(cosFreeUsbDev(h), 0);  // already free
    EXPECT_EQ(cosFreeUsbDev(&notASlot), 0);
    EXPECT_FALSE(m_sUsbDevInfo[3].link.isOpened());
}

TEST(DevTableTest, SeventeenthConnectFailsEvenForAnOpenName) {
    fake::reset();
    for (int i = 0; i < kUsbDevSlots; ++i) {
        const std::string n = "K" + std::to_string(i);
        fake::attach(i, n.c_str());
    }
    EXPECT_EQ(getFreeUsbPort(), -1);
    EXPECT_EQ(cosInitUsbDev("K5"), nullptr);
    EXPECT_EQ(cosInitUsbDev("K99"), nullptr);
    // The open slots are untouched.
    CLink* link = nullptr;
    EXPECT_EQ(cosGetDevLink(&m_sUsbDevInfo[5], link), SAR_OK);
    EXPECT_TRUE(link->isOpened());
}

TEST(DevTableTest, FailedOpenGivesTheSlotBack) {
    fake::reset();
    fake::attach(0, "K0");
    // No such key on this machine: the USB open fails.
    EXPECT_EQ(cosInitUsbDev("FingerPrint.Usb.0x2541.0x2549..9.9"), nullptr);
    EXPECT_EQ(getFreeUsbPort(), 1);
    DEVHANDLE h = nullptr;
    EXPECT_EQ(SKF_ConnectDev("FingerPrint.Usb.0x2541.0x2549..9.8", &h), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(getFreeUsbPort(), 1);
    // Reconnecting a name that is open reuses its slot even when it fails,
    // and that slot is then free too.
    EXPECT_EQ(cosInitUsbDev("K0"), nullptr);
    EXPECT_EQ(getFreeUsbPort(), 0);
}

TEST(DevTableTest, DisconnectFreesTheSlotAndUnknownHandlesAreHarmless) {
    fake::reset();
    void* h = fake::attach(0, "K1");
    EXPECT_EQ(SKF_DisConnectDev(h), SAR_OK);
    EXPECT_EQ(getFreeUsbPort(), 0);
    int notASlot = 0;
    EXPECT_EQ(SKF_DisConnectDev(&notASlot), SAR_OK);
    EXPECT_EQ(SKF_DisConnectDev(nullptr), SAR_INVALIDHANDLEERR);
    CLink* link = nullptr;
    EXPECT_EQ(SKFK_GetLink(h, &link), SAR_DEVSLOT_FREE);
}

TEST(DevTableTest, ConnectRefusesMissingOrEmptyNames) {
    fake::reset();
    DEVHANDLE h = nullptr;
    EXPECT_EQ(SKF_ConnectDev("", &h), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_ConnectDev(nullptr, &h), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_ConnectDev("K1", nullptr), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(getFreeUsbPort(), 0);
}

}  // namespace
