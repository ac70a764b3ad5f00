// The rest of the interface through the recording port: each function builds
// one command with its instruction and parameters, parses what it uses of
// the reply, and the stubs answer as documented.
#include <gtest/gtest.h>

#include <functional>

#include "skf/skf.h"
#include "tests/unit/skf/fake_port.h"

namespace {

class SkfMoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        h = fake::attach(0, "K1");
        Bytes rep(10, 0);
        rep[9] = 0x3F;
        fake::reply(0x9000, rep);
        ASSERT_EQ(SKF_OpenApplication(h, "APP", &app), SAR_OK);
        fake::reply(0x9000, hexBytes("0200"));
        ASSERT_EQ(SKF_OpenContainer(app, "CON", &con), SAR_OK);
        fake::reply(0x9000, hexBytes("0700"));
        const Bytes key = seqBytes(1, 16);
        ASSERT_EQ(SKF_SetSymmKey(h, key.data(), SGD_SM4_ECB, &sessionKey), SAR_OK);
        fake::sent.clear();
    }
    void* h = nullptr;
    HAPPLICATION app = nullptr;
    HCONTAINER con = nullptr;
    HANDLE sessionKey = nullptr;
};

struct OneCommand {
    const char* name;
    uint8_t ins, p1, p2;
    Bytes reply;  // data of the 0x9000 reply
    std::function<uint32_t()> call;
    Bytes dataPrefix;  // expected start of the data field
};

TEST_F(SkfMoreTest, EachFunctionBuildsItsCommand) {
    uint8_t out[512];
    unsigned int len = 0;
    unsigned int maxTries = 0, left = 0;
    BOOL def = 0;
    FILEATTRIBUTE fa;
    Struct_ECCPUBLICKEYBLOB pub = {};
    pub.BitLen = 256;
    ECCSIGNATUREBLOB sig = {};
    alignas(4) uint8_t cipherBuf[kEccCipherBlobFixed + 16] = {};
    auto* cipher = reinterpret_cast<Struct_ECCCIPHERBLOB*>(cipherBuf);
    Struct_RSAPUBLICKEYBLOB rsaPub = {};
    rsaPub.BitLen = 1024;
    HANDLE obj = nullptr;
    BLOCKCIPHERPARAM param = {};
    param.IVLen = 16;
    const Bytes key16 = seqBytes(0x10, 16);
    const Bytes data8 = seqBytes(0x20, 8);
    Bytes sessionRep = hexBytes("0900");
    sessionRep.resize(2 + 96, 0xAB);
    sessionRep.insert(sessionRep.end(), {16, 0, 0, 0});
    sessionRep.resize(sessionRep.size() + 16, 0xCD);
    Bytes rsaRep(128 + 4, 0x11);

    const OneCommand cmds[] = {
        {"ChangeDevAuthKey",
         0x12,
         0,
         0,
         {},
         [&] { return SKF_ChangeDevAuthKey(h, key16.data(), 16); },
         key16},
        {"GetPINInfo",
         0x14,
         0,
         1,
         {10, 7, 1},
         [&] { return SKF_GetPINInfo(app, USER_TYPE, &maxTries, &left, &def); },
         hexBytes("003F")},
        {"ClearSecureState",
         0x1C,
         0,
         0,
         {},
         [&] { return SKF_ClearSecureState(app); },
         hexBytes("003F")},
        {"gotoBoot", 0x95, 0, 3, {}, [&] { return SKFE_gotoBoot(h, 3); }, {}},
        {"CreateFile",
         0x30,
         0x00,
         0x3F,
         {},
         [&] { return SKF_CreateFile(app, "F", 32, 0xFF, 0x10); },
         hexBytes("0100 46 20000000 FF000000 10000000")},
        {"GetFileInfo", 0x36, 0x00, 0x3F, hexBytes("20000000 FF000000 10000000"),
         [&] { return SKF_GetFileInfo(app, "F", &fa); }, hexBytes("0100 46")},
        {"ReadFile", 0x38, 0, 0, data8,
         [&] {
             len = sizeof out;
             return SKF_ReadFile(app, "F", 4, 8, out, &len);
         },
         hexBytes("003F 0100 46 04000000 08000000")},
        {"WriteFile",
         0x3A,
         0,
         0,
         {},
         [&] { return SKF_WriteFile(app, "F", 4, data8.data(), 8); },
         hexBytes("003F 0100 46 04000000 08000000 2021")},
        {"GetContainerInfo", 0x4A, 0, 0, hexBytes("02"),
         [&] {
             len = sizeof out;
             return SKFX_GetContainerInfo(con, out, &len);
         },
         hexBytes("003F 434F4E")},
        {"ExportEncryptKey", 0x8A, 0, 0, data8,
         [&] {
             len = sizeof out;
             return SKFX_ExportEncryptKey(con, out, &len);
         },
         hexBytes("003F 0200")},
        {"ECCVerify",
         0x76,
         0,
         0,
         {},
         [&] { return SKF_ECCVerify(h, &pub, data8.data(), 8, &sig); },
         hexBytes("00010000")},
        {"ECCExportSessionKey", 0x78, 0, 0, sessionRep,
         [&] { return SKF_ECCExportSessionKey(con, SGD_SM4_ECB, &pub, cipher, &obj); },
         hexBytes("003F 0200 01040000 00010000")},
        {"ECCExportSessionKeyExt", 0x78, 0, 1, sessionRep,
         [&] { return SKF_ECCExportSessionKeyExt(con, SGD_SM4_ECB, &pub, cipher, &obj); },
         hexBytes("003F 0200")},
        {"GenRSAKeyPair", 0x54, 0, 0, rsaRep, [&] { return SKF_GenRSAKeyPair(con, 1024, &rsaPub); },
         hexBytes("003F 0200 00040000")},
        {"GenRSAKeyPairEx", 0x54, 1, 0, rsaRep,
         [&] { return SKF_GenRSAKeyPairEx(con, 1024, 0, &rsaPub); }, hexBytes("003F 0200")},
        {"ImportRSAKeyPair",
         0x56,
         0,
         0,
         {},
         [&] { return SKF_ImportRSAKeyPair(con, SGD_SM4_ECB, key16.data(), 16, data8.data(), 8); },
         hexBytes("003F 0200 01040000 10000000")},
        {"RSASignData", 0x58, 2, 2, data8,
         [&] {
             len = sizeof out;
             return SKF_RSASignData(con, data8.data(), 8, out, &len);
         },
         hexBytes("003F 0200 2021")},
        {"RSAVerify",
         0x5E,
         2,
         2,
         {},
         [&] { return SKF_RSAVerify(h, &rsaPub, data8.data(), 8, data8.data(), 8); },
         hexBytes("00040000")},
        {"ImportSessionKey", 0xA0, 0, 0, hexBytes("0800"),
         [&] { return SKF_ImportSessionKey(con, SGD_SM4_ECB, key16.data(), 16, &obj); },
         hexBytes("003F 0200 01040000 10000000")},
        {"SetSymmKey", 0xA2, 0, 0, hexBytes("0700"),
         [&] { return SKF_SetSymmKey(h, key16.data(), SGD_SM4_ECB, &obj); },
         hexBytes("01040000 1011")},
        {"EncryptInit",
         0xA4,
         0,
         0,
         {},
         [&] { return SKF_EncryptInit(sessionKey, param); },
         hexBytes("0700")},
        {"Encrypt", 0xA6, 0, 0, data8,
         [&] {
             len = sizeof out;
             return SKF_Encrypt(sessionKey, data8.data(), 8, out, &len);
         },
         hexBytes("0700 2021")},
        {"EncryptUpdate", 0xA8, 0, 0, data8,
         [&] {
             len = sizeof out;
             return SKF_EncryptUpdate(sessionKey, data8.data(), 8, out, &len);
         },
         hexBytes("0700 2021")},
        {"EncryptFinal",
         0xAA,
         0,
         0,
         {},
         [&] {
             len = sizeof out;
             return SKF_EncryptFinal(sessionKey, out, &len);
         },
         hexBytes("0700")},
        {"DecryptInit",
         0xAC,
         0,
         0,
         {},
         [&] { return SKF_DecryptInit(sessionKey, param); },
         hexBytes("0700")},
        {"Decrypt", 0xAE, 0, 0, data8,
         [&] {
             len = sizeof out;
             return SKF_Decrypt(sessionKey, data8.data(), 8, out, &len);
         },
         hexBytes("0700 2021")},
        {"DecryptUpdate", 0xB0, 0, 0, data8,
         [&] {
             len = sizeof out;
             return SKF_DecryptUpdate(sessionKey, data8.data(), 8, out, &len);
         },
         hexBytes("0700")},
        {"DecryptFinal",
         0xB2,
         0,
         0,
         {},
         [&] {
             len = sizeof out;
             return SKF_DecryptFinal(sessionKey, out, &len);
         },
         hexBytes("0700")},
        {"DigestInit SHA-256",
         0xB4,
         0,
         3,
         hexBytes("0A00"),
         [&] { return SKF_DigestInit(h, SGD_SHA256, nullptr, nullptr, 0, &obj); },
         {}},
        {"DigestInit SM3 with signer", 0xB4, 0, 1, hexBytes("0B00"),
         [&] {
             return SKF_DigestInit(h, SGD_SM3, &pub,
                                   reinterpret_cast<const unsigned char*>("1234567812345678"), 16,
                                   &obj);
         },
         Bytes(64, 0)},
        {"MacInit", 0xBC, 0, 0, hexBytes("0C00"),
         [&] { return SKF_MacInit(sessionKey, &param, &obj); }, hexBytes("0700")},
    };
    for (const OneCommand& c : cmds) {
        SCOPED_TRACE(c.name);
        fake::sent.clear();
        fake::reply(0x9000, c.reply);
        ASSERT_EQ(c.call(), SAR_OK);
        ASSERT_EQ(fake::sent.size(), 1u);
        const Bytes a = fake::apdu(0);
        EXPECT_EQ(a[0], 0x80);
        EXPECT_EQ(a[1], c.ins);
        EXPECT_EQ(a[2], c.p1);
        EXPECT_EQ(a[3], c.p2);
        const Bytes d = fake::data(0);
        ASSERT_GE(d.size(), c.dataPrefix.size());
        EXPECT_EQ(Bytes(d.begin(), d.begin() + static_cast<long>(c.dataPrefix.size())),
                  c.dataPrefix);
    }
}

TEST_F(SkfMoreTest, RepliesAreParsed) {
    unsigned int maxTries = 0, left = 0;
    BOOL def = 0;
    fake::reply(0x9000, {10, 7, 1});
    ASSERT_EQ(SKF_GetPINInfo(app, ADMIN_TYPE, &maxTries, &left, &def), SAR_OK);
    EXPECT_EQ(maxTries, 10u);
    EXPECT_EQ(left, 7u);
    EXPECT_EQ(def, 1);

    FILEATTRIBUTE fa;
    fake::reply(0x9000, hexBytes("20000000 FF000000 10000000"));
    ASSERT_EQ(SKF_GetFileInfo(app, "F", &fa), SAR_OK);
    EXPECT_STREQ(fa.FileName, "F");
    const uint32_t size = fa.FileSize, wr = fa.WriteRights;
    EXPECT_EQ(size, 32u);
    EXPECT_EQ(wr, 0x10u);

    // Session-key export registers a handle the cipher functions resolve.
    Struct_ECCPUBLICKEYBLOB pub = {};
    pub.BitLen = 256;
    alignas(4) uint8_t cipherBuf[kEccCipherBlobFixed + 16] = {};
    auto* cipher = reinterpret_cast<Struct_ECCCIPHERBLOB*>(cipherBuf);
    Bytes rep = hexBytes("0900");
    const Bytes c1 = seqBytes(0x40, 96);
    rep.insert(rep.end(), c1.begin(), c1.end());
    rep.insert(rep.end(), {16, 0, 0, 0});
    const Bytes c2 = seqBytes(0xC0, 16);
    rep.insert(rep.end(), c2.begin(), c2.end());
    fake::reply(0x9000, rep);
    HANDLE key = nullptr;
    ASSERT_EQ(SKF_ECCExportSessionKey(con, SGD_SM4_ECB, &pub, cipher, &key), SAR_OK);
    EXPECT_EQ(Bytes(cipher->XCoordinate + 32, cipher->XCoordinate + 64), seqBytes(0x40, 32));
    EXPECT_EQ(Bytes(cipherBuf + kEccCipherBlobFixed, cipherBuf + kEccCipherBlobFixed + 16), c2);
    fake::sent.clear();
    uint8_t out[16];
    unsigned int len = sizeof out;
    fake::reply(0x9000, seqBytes(1, 16));
    ASSERT_EQ(SKF_EncryptFinal(key, out, &len), SAR_OK);
    EXPECT_EQ(fake::data(0), hexBytes("0900"));
    EXPECT_EQ(len, 16u);
    len = 8;
    fake::reply(0x9000, seqBytes(1, 16));
    EXPECT_EQ(SKF_EncryptFinal(key, out, &len), SAR_BUFFER_TOO_SMALL);

    // A 1024-bit RSA public key from the card, right-aligned.
    Struct_RSAPUBLICKEYBLOB rsa;
    Bytes rrep = seqBytes(0x01, 128);
    rrep.insert(rrep.end(), {0, 1, 0, 1});
    fake::reply(0x9000, rrep);
    ASSERT_EQ(SKF_GenRSAKeyPair(con, 1024, &rsa), SAR_OK);
    EXPECT_EQ(Bytes(rsa.Modulus, rsa.Modulus + 128), Bytes(128, 0));
    EXPECT_EQ(Bytes(rsa.Modulus + 128, rsa.Modulus + 256), seqBytes(1, 128));
    EXPECT_EQ(SKF_GenRSAKeyPair(con, 1000, &rsa), SAR_INVALIDPARAMERR);
}

TEST_F(SkfMoreTest, HandlesAndArgumentChecks) {
    HANDLE obj = nullptr;
    EXPECT_EQ(SKF_DigestInit(h, 0x80, nullptr, nullptr, 0, &obj), SAR_INVALIDPARAMERR);
    uint8_t out[8];
    unsigned int len = sizeof out;
    EXPECT_EQ(SKF_Encrypt(app, out, 1, out, &len), SAR_INVALIDHANDLEERR);   // not a key
    EXPECT_EQ(SKF_DigestUpdate(sessionKey, out, 1), SAR_INVALIDHANDLEERR);  // not a hash
    BLOCKCIPHERPARAM param = {};
    param.IVLen = 33;
    EXPECT_EQ(SKF_EncryptInit(sessionKey, param), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_ChangeDevAuthKey(h, out, 0), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_CreateFile(app, "", 1, 0, 0), SAR_INVALIDPARAMERR);
    EXPECT_TRUE(fake::sent.empty());

    fake::reply(0x9000);
    ASSERT_EQ(SKF_CloseHandle(sessionKey), SAR_OK);
    EXPECT_EQ(fake::apdu(0)[1], 0xC4);
    EXPECT_EQ(fake::data(0), hexBytes("06 0700"));
    EXPECT_EQ(SKF_CloseHandle(sessionKey), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_CloseHandle(app), SAR_INVALIDHANDLEERR);  // not closed this way
}

TEST_F(SkfMoreTest, TransmitDropsTheFirstReplyByte) {
    const Bytes cmd = hexBytes("80 50 00 00 0000 0400");
    fake::reply(0x9000, hexBytes("A1A2A3A4"));
    uint8_t out[16];
    unsigned int n = sizeof out;
    ASSERT_EQ(SKF_Transmit(h, cmd.data(), static_cast<unsigned>(cmd.size()), out, &n), SAR_OK);
    EXPECT_EQ(fake::sent[0][3], 8);
    EXPECT_EQ(Bytes(out, out + n), hexBytes("90 0400 A1A2A3A4"));
}

TEST_F(SkfMoreTest, StubsAnswerWithoutSending) {
    uint8_t buf[8] = {};
    unsigned int len = sizeof buf;
    HANDLE hh = nullptr;
    EXPECT_EQ(SKFX_ECCEncrypt(con, buf, 1, nullptr), SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(SKF_ExtECCDecrypt(h, nullptr, nullptr, buf, &len), SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(SKFX_ECCDecrypt(con, nullptr, buf, &len), SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(SKF_GenerateAgreementDataWithECC(con, 0, nullptr, buf, 1, &hh), SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(SKF_GenerateAgreementDataAndKeyWithECC(con, 0, nullptr, nullptr, nullptr, buf, 1, buf,
                                                     1, &hh),
              SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(SKF_GenerateKeyWithECC(hh, nullptr, nullptr, buf, 1, &hh), SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(SKFX_PriKeyDecrypt(con, buf, 1, buf, &len), SAR_OK);
    EXPECT_EQ(DoGetVer(h, buf, &len), SAR_FAIL);
    EXPECT_EQ(DoWithRSAPubliceKey(h, buf, 1, buf, &len), SAR_FAIL);
    EXPECT_EQ(DoWithRSAPrivateKey(h, buf, 1, buf, &len), SAR_FAIL);
    EXPECT_EQ(SKF_createBaseFile(h), SAR_OK);
    EXPECT_EQ(SKF_LockDev(h, 100), SAR_OK);
    EXPECT_EQ(SKF_UnlockDev(h), SAR_OK);
    EXPECT_TRUE(fake::sent.empty());
}

}  // namespace
