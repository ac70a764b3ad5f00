// The session against a blank virtual key, in-process: the built-in device
// key is the blank key's, the factory routines make the layout, and the
// factory and device signatures verify with OpenSSL.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "skf/skf.h"
#include "tests/support/support.h"
#include "transport/transport.h"
#include "util/util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// r || s over SM3(Z || msg) under 04 || X || Y, checked by OpenSSL.
bool verify(const uint8_t* pub, const std::string& msg, const uint8_t* rs) {
    return support::sm2Verify(Bytes(pub, pub + 65), support::bytesOf(msg), Bytes(rs, rs + 32),
                              Bytes(rs + 32, rs + 64));
}

class SessionVkey : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new support::TempDir;
        s_key = new support::VKey(s_dir->path);
        ASSERT_TRUE(s_key->start()) << "virtual key did not start";
        const char* paths[] = {s_key->socket().c_str()};
        ASSERT_EQ(PORT_UseVirtualKeys(paths, 1), 0);
        CBytesEx::s_SetSpace(false, true);
    }
    static void TearDownTestSuite() {
        CNvId::closeDev();
        delete s_key;
        delete s_dir;
    }
    void SetUp() override {
        cxBuf::init(0);
        if (!CNvId::m_hDev) {
            ASSERT_EQ(CNvId::openDev(), 0);
        }
    }
    std::lock_guard<std::mutex> session_{CNvId::sessionLock()};
    static support::TempDir* s_dir;
    static support::VKey* s_key;
};
support::TempDir* SessionVkey::s_dir = nullptr;
support::VKey* SessionVkey::s_key = nullptr;

}  // namespace

// Runs first (declaration order): the key is blank.
TEST_F(SessionVkey, BlankKeyTakesTheBuiltInDeviceKey) {
    EXPECT_EQ(CNvId::AuthDev(nullptr), 0);
    const uint8_t wrong[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                               '0', '0', '0', '0', '0', '0', '0', '0'};
    EXPECT_EQ(CNvId::AuthDev(wrong), 103);
    const uint8_t same[] = "3141592653589793";
    EXPECT_EQ(CNvId::AuthDev(same), 0);
    // Nothing is laid out yet.
    uint8_t key[kPubKeyLen];
    int n = 0;
    EXPECT_EQ(CNvId::getFacPubKey(key, &n), 103);
    char app[40] = {0};
    int found = 1;
    EXPECT_EQ(CNvId::_findApp(app, &found, true), 0);
    EXPECT_EQ(found, 0);
}

TEST_F(SessionVkey, FactoryLayoutAndSignatures) {
    ASSERT_EQ(CNvId::AuthDev(nullptr), 0);
    ASSERT_EQ(CNvId::InitAppAx(), 0);
    uint8_t dev[kPubKeyLen];
    int n = 0;
    ASSERT_EQ(CNvId::AxInitFs(dev, &n), 0);
    ASSERT_EQ(n, 65);
    EXPECT_EQ(CNvId::m_hApp, nullptr);  // the scope guard closed everything
    EXPECT_EQ(CNvId::m_hCot, nullptr);

    uint8_t again[kPubKeyLen];
    ASSERT_EQ(CNvId::getDevPubKey(again, &n), 0);
    EXPECT_EQ(memcmp(dev, again, 65), 0);
    uint8_t fac[kPubKeyLen];
    ASSERT_EQ(CNvId::getFacPubKey(fac, &n), 0);

    uint8_t sig[kSignTextMax];
    ASSERT_EQ(CNvId::FacSign(reinterpret_cast<const uint8_t*>("abc"), 3, sig), 0);
    EXPECT_TRUE(verify(fac, "abc", sig));
    EXPECT_EQ(CNvId::m_bFacSign, 1);
    ASSERT_EQ(CNvId::DevSign(reinterpret_cast<const uint8_t*>("abcd"), 4, sig), 0);
    EXPECT_TRUE(verify(dev, "abcd", sig));
    EXPECT_FALSE(verify(fac, "abcd", sig));
    // The device signature's session is closed before the next command.
    EXPECT_NE(CNvId::m_hApp, nullptr);
    CNvId::chkOpted();
    EXPECT_EQ(CNvId::m_hApp, nullptr);
    EXPECT_EQ(CNvId::m_bDevSign, 0);
    EXPECT_EQ(CNvId::FacSign(nullptr, 3, sig), 104);

    // Users come and go; base applications never count as users.
    ASSERT_EQ(CNvId::creatApp("dave"), 0);
    CExit::uninit();
    ASSERT_EQ(CNvId::creatApp("erin"), 0);
    CExit::uninit();
    char app[40] = {0};
    int found = 0;
    ASSERT_EQ(CNvId::_findApp(app, &found, true), 0);
    EXPECT_EQ(found, 1);
    EXPECT_STREQ(app, "dave");
    char names[1024] = {0};
    int count = -1;
    EXPECT_EQ(CNvId::clrAllApp(names, &count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(names, "dave");
    EXPECT_STREQ(names + 5, "erin");
    count = -1;
    EXPECT_EQ(CNvId::clrAllApp(nullptr, &count), 1);
    EXPECT_EQ(count, 0);
    strcpy(app, "meboBaseApp");
    ASSERT_EQ(CNvId::_findApp(app, &found, false), 0);
    EXPECT_EQ(found, 1);
}

namespace {
// Makes a user application with finger containers whose certificate slot
// holds the display name.
void makeUser(const char* user, std::initializer_list<std::pair<const char*, const char*>> cots) {
    ASSERT_EQ(CNvId::AuthDev(nullptr), 0);
    ASSERT_EQ(CNvId::creatApp(user), 0);
    unsigned int tries = 0;
    ASSERT_EQ(SKF_VerifyPIN(CNvId::m_hApp, USER_TYPE, "314159", &tries), 0u);
    for (const auto& c : cots) {
        HCONTAINER h = nullptr;
        ASSERT_EQ(SKF_CreateContainer(CNvId::m_hApp, c.first, &h), 0u) << c.first;
        ASSERT_EQ(SKF_ImportCertificate(h, 1, reinterpret_cast<const uint8_t*>(c.second),
                                        static_cast<unsigned>(strlen(c.second))),
                  0u);
        SKF_CloseContainer(h);
    }
    CExit::uninit();
}

std::vector<std::string> files(HAPPLICATION app) {
    char list[256] = {0};
    unsigned int size = sizeof list;
    std::vector<std::string> out;
    if (SKF_EnumFiles(app, list, &size) != 0) return out;
    for (size_t p = 0; p < size && list[p]; p += strlen(list + p) + 1)
        out.emplace_back(list + p);
    return out;
}
}  // namespace

TEST_F(SessionVkey, TemplateNumberToUserAndFinger) {
    makeUser("frank", {{"3_17", "Frank left"}, {"9_40", "Frank right"}});
    makeUser("gina", {{"1_41", "Gina thumb"}});
    char user[40] = {0}, cot[32] = {0}, name[kFingerNameMax + 1] = {0};
    int finger = 0;
    ASSERT_EQ(CNvId::_findFgIdApp(40, user, cot, name, &finger), 0);
    EXPECT_STREQ(user, "frank");
    EXPECT_STREQ(cot, "9_40");
    EXPECT_STREQ(name, "Frank right");
    EXPECT_EQ(finger, 9);
    ASSERT_EQ(CNvId::_findFgIdApp(41, user, cot, name, &finger), 0);
    EXPECT_STREQ(user, "gina");
    EXPECT_EQ(finger, 1);
    CExit::uninit();
    EXPECT_EQ(CNvId::_findFgIdApp(99, user, cot, name, &finger), 2);

    uint8_t numbers[32];
    int count = 0;
    ASSERT_EQ(CNvId::getFingerUsed("frank", numbers, &count), 0);
    EXPECT_EQ(Bytes(numbers, numbers + count), (Bytes{3, 9}));
    EXPECT_EQ(CNvId::getFingerUsed("nobody", numbers, &count), 2);
    // A container name longer than a finger record's spoils the user's list.
    makeUser("hank", {{"2_5", "Hank"}, {"123456789012", "not a finger"}});
    EXPECT_EQ(CNvId::getFingerUsed("hank", numbers, &count), 105);
    EXPECT_EQ(CNvId::getFingerUnused("hank", numbers, &count), 105);
}

TEST_F(SessionVkey, LogonRecordsRemoval) {
    ASSERT_EQ(CNvId::AuthDev(nullptr), 0);
    const char pwdPin[] = {0x4E, 0x2F, 0x61, 0x38, 0x0B, 0x5D, 0};
    HAPPLICATION app = nullptr;
    ASSERT_EQ(
        SKF_CreateApplication(CNvId::m_hDev, "axUpBaseApp", "12345678", 8, pwdPin, 8, 0xFF, &app),
        0u);
    for (const char* f : {"3", "4", "12", "40"})
        ASSERT_EQ(SKF_CreateFile(app, f, 16, 0xFF, 0xFF), 0u) << f;
    SKF_CloseApplication(app);
    const uint8_t some[] = {3, 12, 77};
    ASSERT_EQ(CNvId::_unbindLogon(3, some), 0);
    EXPECT_EQ(files(CNvId::m_hApp), (std::vector<std::string>{"4", "40"}));
    ASSERT_EQ(CNvId::_unbindLogon(255, nullptr), 0);
    EXPECT_TRUE(files(CNvId::m_hApp).empty());
    CExit::uninit();
}

TEST_F(SessionVkey, IdentityFieldsServerKeyAndDeviceCipher) {
    ASSERT_EQ(CNvId::AuthDev(nullptr), 0);
    const std::string label = "Desk key of Ida";
    EXPECT_EQ(CNvId::setLbl(label.c_str(), static_cast<int>(label.size())), 0);
    char text[64] = {0};
    int n = sizeof text;
    ASSERT_EQ(CNvId::getLbl(text, &n), 0);
    EXPECT_EQ(std::string(text), label);
    EXPECT_EQ(n, static_cast<int>(label.size()));
    const std::string sn = "SN-0042";
    EXPECT_EQ(CNvId::setSN(sn.c_str(), static_cast<int>(sn.size())), 0);
    n = sizeof text;
    ASSERT_EQ(CNvId::getSN(text, &n), 0);
    EXPECT_EQ(std::string(text), sn);
    const std::string longText(32, 'L');
    EXPECT_EQ(CNvId::setLbl(longText.c_str(), 32), 105);
    n = sizeof text;
    ASSERT_EQ(CNvId::getLbl(text, &n), 0);
    EXPECT_EQ(std::string(text), label);  // unchanged
    uint32_t ver = 0;
    EXPECT_EQ(CNvId::getVer(&ver, &n), 0);
    EXPECT_EQ(n, 3);

    // The server key: 64 bytes as given, or 65 with the 04 dropped.
    uint8_t xy[65];
    for (int i = 0; i < 65; ++i)
        xy[i] = static_cast<uint8_t>(i + 1);
    xy[0] = 0x04;
    ASSERT_EQ(CNvId::setSvrPub(xy, 65), 0);
    uint8_t back[65] = {0};
    ASSERT_EQ(CNvId::getSvrPub(back, &n), 0);
    EXPECT_EQ(n, 65);
    EXPECT_EQ(Bytes(back, back + 65), Bytes(xy, xy + 65));
    xy[0] = 0x05;
    EXPECT_EQ(CNvId::setSvrPub(xy, 65), 104);
    EXPECT_EQ(CNvId::setSvrPub(xy, 63), 104);

    // Encryption to the device key and decryption by the key agree. The
    // layout is made here unless an earlier test of this run made it (ctest
    // runs each test on a key of its own; the binary alone runs all on one).
    uint8_t dev[kPubKeyLen];
    if (CNvId::getDevPubKey(dev, &n) != 0) {
        ASSERT_EQ(CNvId::InitAppAx(), 0);
        ASSERT_EQ(CNvId::AxInitFs(dev, &n), 0);
    }
    const std::string msg = "round trip through the device key";
    uint8_t cipher[96 + kSm2PlainMax];
    int clen = sizeof cipher;
    ASSERT_EQ(CNvId::sm2Encrypt(reinterpret_cast<const uint8_t*>(msg.data()),
                                static_cast<int>(msg.size()), cipher, &clen),
              0);
    EXPECT_EQ(clen, 96 + static_cast<int>(msg.size()));
    uint8_t plain[kSm2PlainMax];
    int plen = sizeof plain;
    ASSERT_EQ(CNvId::sm2Decrypt(cipher, clen, plain, &plen), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), static_cast<size_t>(plen)), msg);
    // Ciphertexts that cannot be right are refused before the key sees them.
    plen = sizeof plain;
    EXPECT_EQ(CNvId::sm2Decrypt(cipher, 96, plain, &plen), 104);
    plen = 4;
    EXPECT_EQ(CNvId::sm2Decrypt(cipher, clen, plain, &plen), 104);
}
