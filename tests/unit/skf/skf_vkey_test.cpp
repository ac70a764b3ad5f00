// End to end against the virtual key over the virtual port: the smart-key
// functions as the application layer uses them, checked against the key's
// behaviour and, for SM2, against OpenSSL.
#include <gtest/gtest.h>

#include <string>

#include "skf/skf.h"
#include "tests/support/support.h"
#include "tests/unit/skf/oracle.h"
#include "transport/transport.h"

namespace {

const Bytes kDevKey = {'3', '1', '4', '1', '5', '9', '2', '6',
                       '5', '3', '5', '8', '9', '7', '9', '3'};

class SkfVkeyTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new support::TempDir;
        s_key = new support::VKey(s_dir->path);
        ASSERT_TRUE(s_key->start()) << "virtual key did not start";
        const char* paths[] = {s_key->socket().c_str()};
        ASSERT_EQ(PORT_UseVirtualKeys(paths, 1), 0);
    }

    static void TearDownTestSuite() {
        delete s_key;
        delete s_dir;
    }

    void SetUp() override {
        char names[512];
        unsigned int size = sizeof names;
        ASSERT_EQ(SKF_EnumDev(1, names, &size), SAR_OK);
        name = names;
        ASSERT_EQ(SKF_ConnectDev(name.c_str(), &h), SAR_OK);
    }
    void TearDown() override { SKF_DisConnectDev(h); }

    void devAuth() {
        uint8_t ch[8];
        ASSERT_EQ(SKF_GenRandom(h, ch, 8), SAR_OK);
        Bytes block(ch, ch + 8);
        block.resize(16, 0);
        const Bytes crypt = osslSm4Ecb(kDevKey, block);
        ASSERT_EQ(SKF_DevAuth(h, crypt.data(), 16), SAR_OK);
    }

    HAPPLICATION createApp(const char* app) {
        devAuth();
        HAPPLICATION a = nullptr;
        EXPECT_EQ(SKF_CreateApplication(h, app, "admin123", 6, "user1234", 3, 0xFF, &a), SAR_OK);
        return a;
    }

    HCONTAINER createContainer(HAPPLICATION app, const char* con) {
        unsigned int retry = 0;
        EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "user1234", &retry), SAR_OK);
        HCONTAINER c = nullptr;
        EXPECT_EQ(SKF_CreateContainer(app, con, &c), SAR_OK);
        return c;
    }

    static bool ctl(const char* what) { return s_key->ctl(what); }

    static support::TempDir* s_dir;
    static support::VKey* s_key;
    std::string name;
    DEVHANDLE h = nullptr;
};

support::TempDir* SkfVkeyTest::s_dir = nullptr;
support::VKey* SkfVkeyTest::s_key = nullptr;

TEST_F(SkfVkeyTest, ConnectAndIdentity) {
    EXPECT_EQ(name.rfind("FingerPrint.Usb.0x2541.0x2549", 0), 0u) << name;
    unsigned int size = 0;
    ASSERT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, name.size() + 2);
    unsigned int state = 9;
    EXPECT_EQ(SKF_GetDevState("0x2541", &state), SAR_OK);
    EXPECT_EQ(state, 1u);
    EXPECT_EQ(SKF_GetDevState("no-such-key", &state), SAR_OK);
    EXPECT_EQ(state, 0u);

    DEVHANDLE again = nullptr;
    ASSERT_EQ(SKF_ConnectDev(name.c_str(), &again), SAR_OK);
    EXPECT_EQ(again, h);

    char sn[33] = {};
    ASSERT_EQ(SKFX_GetSN(h, sn), SAR_OK);
    EXPECT_EQ(std::string(sn).rfind("FPKV", 0), 0u) << sn;
    uint8_t ver[3] = {};
    EXPECT_EQ(SKFX_GetVer(h, ver), SAR_OK);
    uint8_t type[2] = {};
    EXPECT_EQ(SKFX_GetDevType(h, type), SAR_OK);

    EXPECT_EQ(SKF_SetLabel(h, "skf-test"), SAR_USER_NOT_LOGGED_IN);  // needs device auth
    devAuth();
    ASSERT_EQ(SKF_SetLabel(h, "skf-test"), SAR_OK);
    char label[33] = {};
    ASSERT_EQ(SKFX_GetLabel(h, label), SAR_OK);
    EXPECT_STREQ(label, "skf-test");

    DEVINFO info;
    ASSERT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
    EXPECT_EQ(std::string(info.SerialNumber, strnlen(info.SerialNumber, 32)), std::string(sn));
    EXPECT_EQ(std::string(info.Label, strnlen(info.Label, 32)), "skf-test");
    const uint32_t maxEcc = info.MaxECCBufferSize;
    EXPECT_EQ(maxEcc, 256u);

    CLink* link = nullptr;
    EXPECT_EQ(SKFK_GetLink(h, &link), SAR_OK);
    EXPECT_NE(link, nullptr);
}

TEST_F(SkfVkeyTest, DeviceAuthentication) {
    devAuth();
    uint8_t ch[8];
    ASSERT_EQ(SKF_GenRandom(h, ch, 8), SAR_OK);
    Bytes wrongKey = kDevKey;
    wrongKey[0] ^= 1;
    Bytes block(ch, ch + 8);
    block.resize(16, 0);
    const Bytes crypt = osslSm4Ecb(wrongKey, block);
    EXPECT_NE(SKF_DevAuth(h, crypt.data(), 16), SAR_OK);
}

TEST_F(SkfVkeyTest, DeviceKeyChangeRoundTrip) {
    const Bytes newKey = seqBytes(0x41, 16);
    ASSERT_EQ(SKF_ChangeDevAuthKeyExt(h, newKey.data(), kDevKey.data()), SAR_OK);
    uint8_t ch[8];
    ASSERT_EQ(SKF_GenRandom(h, ch, 8), SAR_OK);
    Bytes block(ch, ch + 8);
    block.resize(16, 0);
    Bytes crypt = osslSm4Ecb(newKey, block);
    ASSERT_EQ(SKF_DevAuth(h, crypt.data(), 16), SAR_OK);
    // A MAC under the wrong key is refused and changes nothing.
    EXPECT_NE(SKF_ChangeDevAuthKeyExt(h, kDevKey.data(), kDevKey.data()), SAR_OK);
    // Back to the default with the plain form (allowed after device auth).
    ASSERT_EQ(SKF_ChangeDevAuthKey(h, kDevKey.data(), 16), SAR_OK);
    devAuth();
}

TEST_F(SkfVkeyTest, UnpluggedKeyFailsAndReconnects) {
    ASSERT_TRUE(ctl("unplug"));
    uint8_t ver[3];
    const uint32_t r = SKFX_GetVer(h, ver);
    // The send is refused: the code that makes the application layer reconnect.
    EXPECT_EQ(r, SAR_LINK_SEND) << std::hex << r;
    ASSERT_TRUE(ctl("plug"));
    SKF_DisConnectDev(h);
    ASSERT_EQ(SKF_ConnectDev(name.c_str(), &h), SAR_OK);
    EXPECT_EQ(SKFX_GetVer(h, ver), SAR_OK);
}

TEST_F(SkfVkeyTest, ApplicationLifeCycle) {
    HAPPLICATION app = createApp("LIFE");
    ASSERT_NE(app, nullptr);
    unsigned int size = 0;
    ASSERT_EQ(SKF_EnumApplication(h, nullptr, &size), SAR_OK);
    Bytes list(size);
    ASSERT_EQ(SKF_EnumApplication(h, reinterpret_cast<char*>(list.data()), &size), SAR_OK);
    const std::string all(list.begin(), list.end());
    EXPECT_NE(all.find(std::string("LIFE\0", 5)), std::string::npos);
    EXPECT_EQ(list[size - 1], 0);
    EXPECT_EQ(list[size - 2], 0);

    HAPPLICATION again = nullptr;
    EXPECT_EQ(SKF_CreateApplication(h, "LIFE", "a1", 3, "u1", 3, 0xFF, &again),
              SAR_APPLICATION_EXISTS);
    ASSERT_EQ(SKF_CloseApplication(app), SAR_OK);
    EXPECT_EQ(SKF_CloseApplication(app), SAR_INVALIDHANDLEERR);
    unsigned int id = 0;
    ASSERT_EQ(SKFX_OpenApplication(h, "LIFE", &again, &id), SAR_OK);
    EXPECT_NE(again, nullptr);
    EXPECT_NE(id, 0u);
    devAuth();
    ASSERT_EQ(SKF_DeleteApplication(h, "LIFE"), SAR_OK);
    EXPECT_EQ(SKF_CloseApplication(again), SAR_INVALIDHANDLEERR);
    HAPPLICATION gone = nullptr;
    EXPECT_NE(SKF_OpenApplication(h, "LIFE", &gone), SAR_OK);
}

TEST_F(SkfVkeyTest, ManyApplicationsListInSeveralPasses) {
    devAuth();
    std::string want;
    for (int i = 0; i < 12; ++i) {
        const std::string n = "MULTI-PASS-APPLICATION-" + std::to_string(i);
        HAPPLICATION a = nullptr;
        ASSERT_EQ(SKF_CreateApplication(h, n.c_str(), "a1", 3, "u1", 3, 0xFF, &a), SAR_OK) << i;
        SKF_CloseApplication(a);
    }
    char buf[2048];
    unsigned int size = sizeof buf;
    ASSERT_EQ(SKF_EnumApplication(h, buf, &size), SAR_OK);
    ASSERT_GT(size, 256u);  // more than one reply's worth
    int count = 0;
    for (const char* p = buf; *p; p += strlen(p) + 1) {
        if (std::string(p).rfind("MULTI-PASS-APPLICATION-", 0) == 0) ++count;
    }
    EXPECT_EQ(count, 12);
    EXPECT_EQ(buf[size - 1], 0);
    EXPECT_EQ(buf[size - 2], 0);
    unsigned int query = 0;
    ASSERT_EQ(SKF_EnumApplication(h, nullptr, &query), SAR_OK);
    EXPECT_EQ(query, size);
    for (int i = 0; i < 12; ++i) {
        const std::string n = "MULTI-PASS-APPLICATION-" + std::to_string(i);
        devAuth();
        EXPECT_EQ(SKF_DeleteApplication(h, n.c_str()), SAR_OK);
    }
}

TEST_F(SkfVkeyTest, PinRightWrongLockedChangeUnblock) {
    HAPPLICATION app = createApp("PINS");
    unsigned int retry = 99;
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "user1234", &retry), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "wrong", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 2u);
    unsigned int maxTries = 0, left = 0;
    BOOL def = 0;
    ASSERT_EQ(SKF_GetPINInfo(app, USER_TYPE, &maxTries, &left, &def), SAR_OK);
    EXPECT_EQ(maxTries, 3u);
    EXPECT_EQ(left, 2u);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "wrong", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 1u);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "wrong", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 0u);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "user1234", &retry), SAR_PIN_LOCKED);

    EXPECT_EQ(SKF_UnblockPIN(app, "wrongadmin", "newuser1", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 5u);
    ASSERT_EQ(SKF_UnblockPIN(app, "admin123", "newuser1", &retry), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "newuser1", &retry), SAR_OK);

    EXPECT_EQ(SKF_ChangePIN(app, USER_TYPE, "bad-old", "other", &retry), SAR_PIN_INCORRECT);
    ASSERT_EQ(SKF_ChangePIN(app, USER_TYPE, "newuser1", "user5678", &retry), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "newuser1", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, "user5678", &retry), SAR_OK);
    ASSERT_EQ(SKF_ChangePIN(app, ADMIN_TYPE, "admin123", "admin999", &retry), SAR_OK);
    EXPECT_EQ(SKF_VerifyPIN(app, ADMIN_TYPE, "admin999", &retry), SAR_OK);
    EXPECT_EQ(SKF_ClearSecureState(app), SAR_OK);
    devAuth();
    EXPECT_EQ(SKF_DeleteApplication(h, "PINS"), SAR_OK);
}

TEST_F(SkfVkeyTest, ContainersCertificatesAndFiles) {
    HAPPLICATION app = createApp("OBJS");
    HCONTAINER con = createContainer(app, "c-one");
    ASSERT_NE(con, nullptr);
    HCONTAINER two = nullptr;
    ASSERT_EQ(SKF_CreateContainer(app, "c-two", &two), SAR_OK);
    char list[256];
    unsigned int size = sizeof list;
    ASSERT_EQ(SKF_EnumContainer(app, list, &size), SAR_OK);
    EXPECT_EQ(Bytes(list, list + size),
              Bytes({'c', '-', 'o', 'n', 'e', 0, 'c', '-', 't', 'w', 'o', 0, 0}));
    unsigned int type = 9;
    ASSERT_EQ(SKF_GetContainerType(con, &type), SAR_OK);
    EXPECT_EQ(type, 0u);

    const Bytes cert = seqBytes(0x30, 700);
    ASSERT_EQ(SKF_ImportCertificate(con, 1, cert.data(), 700), SAR_OK);
    unsigned int len = 0;
    ASSERT_EQ(SKF_ExportCertificate(con, 1, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, 700u);
    Bytes out(len);
    ASSERT_EQ(SKF_ExportCertificate(con, 1, out.data(), &len), SAR_OK);
    EXPECT_EQ(out, cert);
    len = 10;
    EXPECT_EQ(SKF_ExportCertificate(con, 1, out.data(), &len), SAR_BUFFER_TOO_SMALL);
    len = sizeof list;
    EXPECT_NE(SKF_ExportCertificate(con, 0, reinterpret_cast<unsigned char*>(list), &len), SAR_OK);

    ASSERT_EQ(SKF_CloseContainer(two), SAR_OK);
    HCONTAINER reopened = nullptr;
    ASSERT_EQ(SKF_OpenContainer(app, "c-two", &reopened), SAR_OK);
    ASSERT_EQ(SKF_DeleteContainer(app, "c-two"), SAR_OK);
    EXPECT_NE(SKF_OpenContainer(app, "c-two", &reopened), SAR_OK);

    // Application files.
    ASSERT_EQ(SKF_CreateFile(app, "f1", 64, 0xFF, 0xFF), SAR_OK);
    const Bytes content = seqBytes(1, 40);
    ASSERT_EQ(SKF_WriteFile(app, "f1", 4, content.data(), 40), SAR_OK);
    uint8_t rd[64];
    len = sizeof rd;
    ASSERT_EQ(SKF_ReadFile(app, "f1", 4, 40, rd, &len), SAR_OK);
    EXPECT_EQ(Bytes(rd, rd + len), content);
    FILEATTRIBUTE fa;
    ASSERT_EQ(SKF_GetFileInfo(app, "f1", &fa), SAR_OK);
    const uint32_t fsize = fa.FileSize;
    EXPECT_EQ(fsize, 64u);
    size = sizeof list;
    ASSERT_EQ(SKF_EnumFiles(app, list, &size), SAR_OK);
    EXPECT_EQ(Bytes(list, list + size), Bytes({'f', '1', 0, 0}));
    ASSERT_EQ(SKF_DeleteFile(app, "f1"), SAR_OK);
    size = sizeof list;
    ASSERT_EQ(SKF_EnumFiles(app, list, &size), SAR_OK);
    EXPECT_LE(size, 1u);

    // Elementary files outside applications.
    const Bytes ef = seqBytes(0x80, 64);
    unsigned int wl = 0;
    ASSERT_EQ(DoWriteEF(h, 0, 0x5108, 0, 0, 64, ef.data(), &wl), SAR_OK);
    uint8_t efbuf[1024];
    unsigned int el = 0;
    ASSERT_EQ(DoReadEF(h, 0, 0x5108, 0, 0, 0, efbuf, &el), SAR_OK);
    EXPECT_EQ(Bytes(efbuf, efbuf + el), ef);
    devAuth();
    EXPECT_EQ(SKF_DeleteApplication(h, "OBJS"), SAR_OK);
}

TEST_F(SkfVkeyTest, SignatureVerifiesWithOpenSsl) {
    HAPPLICATION app = createApp("SIGN");
    HCONTAINER con = createContainer(app, "signer");
    Struct_ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(SKF_GenECCKeyPair(con, SGD_SM2_1, &pub), SAR_OK);
    const uint32_t bits = pub.BitLen;
    EXPECT_EQ(bits, 256u);
    EXPECT_EQ(Bytes(pub.XCoordinate, pub.XCoordinate + 32), Bytes(32, 0));
    const Bytes x(pub.XCoordinate + 32, pub.XCoordinate + 64);
    const Bytes y(pub.YCoordinate + 32, pub.YCoordinate + 64);

    unsigned int len = 0;
    ASSERT_EQ(SKF_ExportPublicKey(con, 1, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, 132u);
    Struct_ECCPUBLICKEYBLOB exported;
    ASSERT_EQ(SKF_ExportPublicKey(con, 1, reinterpret_cast<unsigned char*>(&exported), &len),
              SAR_OK);
    EXPECT_EQ(0, memcmp(&exported, &pub, sizeof pub));
    unsigned int type = 0;
    ASSERT_EQ(SKF_GetContainerType(con, &type), SAR_OK);
    EXPECT_EQ(type, 2u);

    const std::string text = "message signed by the key";
    const Bytes msg(text.begin(), text.end());
    const Bytes eb = support::sm3WithZ(support::sm2Point(x, y), msg);
    const uint8_t* e = eb.data();
    ECCSIGNATUREBLOB sig;
    ASSERT_EQ(SKF_ECCSignData(con, e, 32, &sig), SAR_OK);
    const Bytes r(sig.r + 32, sig.r + 64), s(sig.s + 32, sig.s + 64);
    EXPECT_TRUE(support::sm2Verify(support::sm2Point(x, y), msg, r, s));
    Bytes other = msg;
    other[0] ^= 1;
    EXPECT_FALSE(support::sm2Verify(support::sm2Point(x, y), other, r, s));

    unsigned int retry = 0;
    ASSERT_EQ(SKF_ClearSecureState(app), SAR_OK);
    EXPECT_EQ(SKF_ECCSignData(con, e, 32, &sig), SAR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(SKF_VerifyPIN(app, USER_TYPE, "user1234", &retry), SAR_OK);
    devAuth();
    EXPECT_EQ(SKF_DeleteApplication(h, "SIGN"), SAR_OK);
}

TEST_F(SkfVkeyTest, DecryptAndEncryptInteroperateWithOpenSsl) {
    HAPPLICATION app = createApp("CIPH");
    HCONTAINER con = createContainer(app, "crypt");
    Struct_ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(SKF_GenECCKeyPairEx(con, SGD_SM2_1, 0, &pub), SAR_OK);
    const Bytes x(pub.XCoordinate + 32, pub.XCoordinate + 64);
    const Bytes y(pub.YCoordinate + 32, pub.YCoordinate + 64);

    const std::string text = "a secret for the key, made by OpenSSL";
    const Bytes plain(text.begin(), text.end());
    const Bytes raw = support::sm2EncryptRaw(support::sm2Point(x, y), plain);
    ASSERT_EQ(raw.size(), 96 + plain.size());
    Bytes blobBuf(kEccCipherBlobFixed + plain.size(), 0);
    auto* cb = reinterpret_cast<Struct_ECCCIPHERBLOB*>(blobBuf.data());
    memcpy(cb->XCoordinate + 32, raw.data(), 32);
    memcpy(cb->YCoordinate + 32, raw.data() + 32, 32);
    memcpy(cb->HASH, raw.data() + 64, 32);
    cb->CipherLen = static_cast<uint32_t>(plain.size());
    memcpy(blobBuf.data() + kEccCipherBlobFixed, raw.data() + 96, plain.size());
    uint8_t out[256];
    unsigned int len = sizeof out;
    ASSERT_EQ(SKF_ECCDecrypt(con, cb, out, &len), SAR_OK);
    EXPECT_EQ(Bytes(out, out + len), plain);
    len = 8;
    EXPECT_EQ(SKF_ECCDecrypt(con, cb, out, &len), SAR_NO_ROOM);

    // The key encrypts to an outside key; OpenSSL decrypts.
    support::Sm2KeyPair outside;
    Struct_ECCPUBLICKEYBLOB opub = {};
    opub.BitLen = 256;
    memcpy(opub.XCoordinate + 32, outside.x.data(), 32);
    memcpy(opub.YCoordinate + 32, outside.y.data(), 32);
    Bytes encBuf(kEccCipherBlobFixed + plain.size(), 0);
    auto* enc = reinterpret_cast<Struct_ECCCIPHERBLOB*>(encBuf.data());
    ASSERT_EQ(SKF_ExtECCEncrypt(h, &opub, plain.data(), static_cast<unsigned>(plain.size()), enc),
              SAR_OK);
    const uint32_t clen = enc->CipherLen;
    ASSERT_EQ(clen, plain.size());
    Bytes back(enc->XCoordinate + 32, enc->XCoordinate + 64);
    back.insert(back.end(), enc->YCoordinate + 32, enc->YCoordinate + 64);
    back.insert(back.end(), enc->HASH, enc->HASH + 32);
    back.insert(back.end(), encBuf.begin() + kEccCipherBlobFixed, encBuf.end());
    EXPECT_EQ(outside.decryptRaw(back), plain);
    devAuth();
    EXPECT_EQ(SKF_DeleteApplication(h, "CIPH"), SAR_OK);
}

}  // namespace
