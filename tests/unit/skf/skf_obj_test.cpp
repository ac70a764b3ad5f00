// Files, containers and SM2 keys through the recording port.
#include <gtest/gtest.h>

#include "skf/skf.h"
#include "tests/unit/skf/fake_port.h"

namespace {

class SkfObjTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        h = fake::attach(0, "K1");
        Bytes rep(10, 0);
        rep[8] = 0x00;
        rep[9] = 0x3F;
        fake::reply(0x9000, rep);
        ASSERT_EQ(SKF_OpenApplication(h, "APP", &app), SAR_OK);
        fake::reply(0x9000, hexBytes("0200"));
        ASSERT_EQ(SKF_OpenContainer(app, "CON", &con), SAR_OK);
        fake::sent.clear();
    }
    void* h = nullptr;
    HAPPLICATION app = nullptr;
    HCONTAINER con = nullptr;
};

TEST_F(SkfObjTest, ReadElementaryFile) {
    Bytes content = seqBytes(0x40, 64);
    Bytes rep = hexBytes("0040");
    rep.insert(rep.end(), content.begin(), content.end());
    fake::reply(0x9000, rep);
    uint8_t buf[1024];
    unsigned int len = 0;
    ASSERT_EQ(DoReadEF(h, 0, 0x5108, 0, 0, 0, buf, &len), SAR_OK);
    EXPECT_EQ(fake::apdu(0), hexBytes("80D40000 0600 0004 5108 0000 0004"));
    EXPECT_EQ(len, 64u);
    EXPECT_EQ(Bytes(buf, buf + 64), content);

    EXPECT_EQ(DoReadEF(h, 0, 0x5110, 0, 0, 0, buf, &len), SAR_OBJERR);
    EXPECT_EQ(fake::sent.size(), 1u);
    fake::reply(0x9000, hexBytes("01"));  // shorter than the 2 leading bytes
    EXPECT_EQ(DoReadEF(h, 0, 0xEF02, 0, 0, 0, buf, &len), SAR_FAIL);
    fake::reply(0x6A82);
    EXPECT_EQ(DoReadEF(h, 0, 0x5088, 0, 0, 0, buf, &len), SAR_FILE_NOT_EXIST);
}

TEST_F(SkfObjTest, WriteElementaryFile) {
    const Bytes rec81 = seqBytes(0, 81);
    fake::reply(0x9000);
    unsigned int len = 0;
    ASSERT_EQ(DoWriteEF(h, 0, 0x5108, 0, 0, 81, rec81.data(), &len), SAR_OK);
    EXPECT_EQ(len, 81u);
    Bytes want = hexBytes("5108 0000 4000");
    want.insert(want.end(), rec81.begin() + 13, rec81.begin() + 45);
    want.insert(want.end(), rec81.begin() + 49, rec81.end());
    EXPECT_EQ(fake::data(0), want);
    EXPECT_EQ(fake::apdu(0)[1], 0xD6);

    fake::reply(0x9000);
    const Bytes ef = seqBytes(1, 10);
    ASSERT_EQ(DoWriteEF(h, 0, 0xEF00, 0, 0x20, 10, ef.data(), &len), SAR_OK);
    want = hexBytes("EF00 2000 0A00");
    want.insert(want.end(), ef.begin(), ef.end());
    EXPECT_EQ(fake::data(1), want);

    EXPECT_EQ(DoWriteEF(h, 0, 0x5108, 0, 0, 65, rec81.data(), &len), SAR_INVALIDPARAMERR);
    EXPECT_EQ(DoWriteEF(h, 0, 0xEF01, 0, 0, 10, rec81.data(), &len), SAR_OBJERR);
    EXPECT_EQ(fake::sent.size(), 2u);
}

TEST_F(SkfObjTest, ApplicationFiles) {
    fake::reply(0x698A);
    unsigned int size = 99;
    ASSERT_EQ(SKF_EnumFiles(app, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(fake::apdu(0), hexBytes("8034003F 0000 0000"));
    fake::reply(0x6A8B);
    size = 99;
    ASSERT_EQ(SKF_EnumFiles(app, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 0u);

    fake::reply(0x9000, {'F', '1', 0, 0});
    char list[16];
    size = sizeof list;
    ASSERT_EQ(SKF_EnumFiles(app, list, &size), SAR_OK);
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(list, "F1");
    fake::reply(0x9000, {'F', '1', 0, 0});
    size = 3;
    EXPECT_EQ(SKF_EnumFiles(app, list, &size), SAR_BUFFER_TOO_SMALL);

    fake::reply(0x9000);
    EXPECT_EQ(SKF_DeleteFile(app, "F1"), SAR_OK);
    EXPECT_EQ(fake::apdu(fake::sent.size() - 1), hexBytes("8032003F 0200 0000 4631"));
    const std::string long33(33, 'f');
    EXPECT_EQ(SKF_DeleteFile(app, long33.c_str()), SAR_INVALIDPARAMERR);
}

TEST_F(SkfObjTest, ContainerLifeCycle) {
    fake::reply(0x9000, hexBytes("0500"));
    HCONTAINER c2 = nullptr;
    ASSERT_EQ(SKF_CreateContainer(app, "SIGN", &c2), SAR_OK);
    EXPECT_EQ(fake::apdu(0), hexBytes("80400000 0600 0200 003F 5349474E"));
    EXPECT_NE(c2, nullptr);
    EXPECT_NE(c2, con);

    const std::string long65(65, 'c');
    HCONTAINER bad = reinterpret_cast<void*>(3);
    EXPECT_EQ(SKF_CreateContainer(app, long65.c_str(), &bad), SAR_INVALIDPARAMERR);
    EXPECT_EQ(bad, nullptr);

    fake::reply(0x9000, {11});
    unsigned int type = 0;
    ASSERT_EQ(SKF_GetContainerType(c2, &type), SAR_OK);
    EXPECT_EQ(type, 11u);
    EXPECT_EQ(fake::apdu(1), hexBytes("804A0000 0600 0B00 003F 5349474E"));

    fake::reply(0x9000);
    EXPECT_EQ(SKF_CloseContainer(c2), SAR_OK);
    EXPECT_EQ(fake::apdu(2), hexBytes("80440000 0400 0000 003F 0500"));
    EXPECT_EQ(SKF_CloseContainer(c2), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_CloseContainer(app), SAR_INVALIDHANDLEERR);  // an application handle

    fake::reply(0x9000);
    EXPECT_EQ(SKF_DeleteContainer(app, "CON"), SAR_OK);
    EXPECT_EQ(fake::apdu(3), hexBytes("80480000 0500 0000 003F 434F4E"));
    unsigned int t2;
    EXPECT_EQ(SKF_GetContainerType(con, &t2), SAR_INVALIDHANDLEERR);

    fake::reply(0x6A9E, {'A', 0, 0});
    fake::reply(0x9000, {'B', 0, 0});
    char list[16];
    unsigned int size = sizeof list;
    ASSERT_EQ(SKF_EnumContainer(app, list, &size), SAR_OK);
    EXPECT_EQ(Bytes(list, list + size), Bytes({'A', 0, 'B', 0, 0}));
    EXPECT_EQ(fake::apdu(4), hexBytes("80460000 0200 0000 003F"));
}

TEST_F(SkfObjTest, Certificates) {
    const Bytes cert = seqBytes(0x30, 20);
    fake::reply(0x9000);
    ASSERT_EQ(SKF_ImportCertificate(con, 1, cert.data(), 20), SAR_OK);
    Bytes want = hexBytes("003F 0200 01 14000000");
    want.insert(want.end(), cert.begin(), cert.end());
    EXPECT_EQ(fake::data(0), want);

    const Bytes big(2049, 1);
    EXPECT_EQ(SKF_ImportCertificate(con, 1, big.data(), 2049), SAR_INVALIDPARAMERR);
    // Fits the 2,048-byte limit but not the command beside its prefix.
    EXPECT_EQ(SKF_ImportCertificate(con, 1, big.data(), 2048), SAR_INDATALENERR);
    EXPECT_EQ(SKF_ImportCertificate(con, 1, big.data(), 2030), SAR_INDATALENERR);
    EXPECT_EQ(fake::sent.size(), 1u);
    fake::reply(0x9000);
    EXPECT_EQ(SKF_ImportCertificate(con, 1, big.data(), 2029), SAR_OK);  // the largest that fits
    EXPECT_EQ(fake::data(1).size(), kCosMaxData);
    fake::sent.erase(fake::sent.begin() + 1);

    fake::reply(0x9000, cert);
    unsigned int len = 0;
    ASSERT_EQ(SKF_ExportCertificate(con, 0, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(fake::apdu(1), hexBytes("804E0000 0400 0000 003F 0200"));
    fake::reply(0x9000, cert);
    uint8_t out[20];
    len = 19;
    EXPECT_EQ(SKF_ExportCertificate(con, 1, out, &len), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(fake::apdu(2)[2], 1);
    fake::reply(0x6A96);
    len = sizeof out;
    EXPECT_EQ(SKF_ExportCertificate(con, 1, out, &len), SAR_CERTNOTFOUNTERR);
}

TEST_F(SkfObjTest, KeyGenerationAndReopenRetry) {
    Struct_ECCPUBLICKEYBLOB blob;
    EXPECT_EQ(SKF_GenECCKeyPair(con, 0x00010000, &blob), SAR_INVALIDHANDLEERR);
    EXPECT_TRUE(fake::sent.empty());

    Bytes xy = seqBytes(1, 32);
    const Bytes y = seqBytes(0x81, 32);
    xy.insert(xy.end(), y.begin(), y.end());
    fake::reply(0x9000, xy);
    ASSERT_EQ(SKF_GenECCKeyPair(con, SGD_SM2_1, &blob), SAR_OK);
    EXPECT_EQ(fake::apdu(0), hexBytes("80700000 0800 4000 003F 0200 00010000"));
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&blob);
    EXPECT_EQ(Bytes(raw, raw + 4), hexBytes("00010000"));
    EXPECT_EQ(Bytes(raw + 4, raw + 36), Bytes(32, 0));
    EXPECT_EQ(Bytes(raw + 36, raw + 68), seqBytes(1, 32));
    EXPECT_EQ(Bytes(raw + 100, raw + 132), y);

    fake::sent.clear();
    fake::reply(0x6A94);
    fake::reply(0x9000, hexBytes("0200"));  // the reopen
    Bytes xy2 = seqBytes(0x50, 64);
    fake::reply(0x9000, xy2);
    ASSERT_EQ(SKF_GenECCKeyPairEx(con, SGD_SM2_1, 0, &blob), SAR_OK);
    ASSERT_EQ(fake::sent.size(), 3u);
    EXPECT_EQ(fake::apdu(0)[1], 0x71);
    EXPECT_EQ(fake::apdu(1)[1], 0x42);
    EXPECT_EQ(fake::data(1), hexBytes("003F 434F4E"));
    EXPECT_EQ(fake::apdu(2), fake::apdu(0));
    EXPECT_EQ(Bytes(raw + 36, raw + 68), seqBytes(0x50, 32));

    fake::sent.clear();
    fake::reply(0x6A91);
    fake::reply(0x9000, hexBytes("0200"));
    fake::reply(0x6A91);  // refused again: returned, no third try
    EXPECT_EQ(SKF_GenECCKeyPair(con, SGD_SM2_1, &blob), SAR_OBJERR);
    EXPECT_EQ(fake::sent.size(), 3u);
}

TEST_F(SkfObjTest, ExportPublicKey) {
    Bytes ecc = hexBytes("00010000");
    Bytes xy = seqBytes(1, 64);
    ecc.insert(ecc.end(), xy.begin(), xy.end());
    fake::reply(0x9000, ecc);
    unsigned int len = 0;
    ASSERT_EQ(SKF_ExportPublicKey(con, 1, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, 132u);
    EXPECT_EQ(fake::apdu(0), hexBytes("80880000 0400 0000 003F 0200"));

    fake::reply(0x9000, ecc);
    Struct_ECCPUBLICKEYBLOB blob;
    ASSERT_EQ(SKF_ExportPublicKey(con, 0, reinterpret_cast<unsigned char*>(&blob), &len), SAR_OK);
    EXPECT_EQ(fake::apdu(1)[2], 1);
    EXPECT_EQ(Bytes(blob.YCoordinate + 32, blob.YCoordinate + 64), seqBytes(33, 32));

    Bytes rsa = hexBytes("00080000");
    Bytes mod = seqBytes(7, 256);
    rsa.insert(rsa.end(), mod.begin(), mod.end());
    rsa.insert(rsa.end(), {0, 1, 0, 1});
    fake::reply(0x9000, rsa);
    ASSERT_EQ(SKF_ExportPublicKey(con, 1, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, 268u);
    fake::reply(0x9000, rsa);
    Struct_RSAPUBLICKEYBLOB rb;
    ASSERT_EQ(SKF_ExportPublicKey(con, 1, reinterpret_cast<unsigned char*>(&rb), &len), SAR_OK);
    const uint32_t alg = rb.AlgID;
    EXPECT_EQ(alg, 0x00010000u);
    EXPECT_EQ(Bytes(rb.Modulus, rb.Modulus + 256), mod);
    EXPECT_EQ(Bytes(rb.PublicExponent, rb.PublicExponent + 4), hexBytes("00010001"));

    fake::reply(0x9000, hexBytes("00010000 0102"));  // claims ECC, too short
    EXPECT_EQ(SKF_ExportPublicKey(con, 1, nullptr, &len), SAR_FAIL);
}

TEST_F(SkfObjTest, SignData) {
    const Bytes digest = seqBytes(0xD0, 32);
    Bytes rep = hexBytes("00000000");
    const Bytes r = seqBytes(1, 32), s = seqBytes(0x41, 32);
    rep.insert(rep.end(), r.begin(), r.end());
    rep.insert(rep.end(), s.begin(), s.end());
    fake::reply(0x9000, rep);
    ECCSIGNATUREBLOB sig;
    memset(&sig, 0xEE, sizeof sig);
    ASSERT_EQ(SKF_ECCSignData(con, digest.data(), 32, &sig), SAR_OK);
    const Bytes d = fake::data(0);
    ASSERT_EQ(d.size(), 56u);
    Bytes want = hexBytes("003F 0200 10000000");
    const std::string id = "1234567812345678";
    want.insert(want.end(), id.begin(), id.end());
    want.insert(want.end(), digest.begin(), digest.end());
    EXPECT_EQ(d, want);
    const Bytes a = fake::apdu(0);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 8), hexBytes("80740200 3800 0000"));
    EXPECT_EQ(Bytes(sig.r, sig.r + 32), Bytes(32, 0));
    EXPECT_EQ(Bytes(sig.r + 32, sig.r + 64), r);
    EXPECT_EQ(Bytes(sig.s + 32, sig.s + 64), s);

    fake::reply(0x9000, Bytes(129, 1));
    EXPECT_EQ(SKF_ECCSignData(con, digest.data(), 32, &sig), SAR_BUFFER_TOO_SMALL);
    fake::reply(0x6982);
    EXPECT_EQ(SKF_ECCSignData(con, digest.data(), 32, &sig), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(SKF_ECCSignData(app, digest.data(), 32, &sig), SAR_INVALIDHANDLEERR);
}

TEST_F(SkfObjTest, DecryptAndEncrypt) {
    alignas(4) uint8_t blobBuf[kEccCipherBlobFixed + 20] = {};
    auto* cb = reinterpret_cast<Struct_ECCCIPHERBLOB*>(blobBuf);
    memcpy(cb->XCoordinate + 32, seqBytes(1, 32).data(), 32);
    memcpy(cb->YCoordinate + 32, seqBytes(0x21, 32).data(), 32);
    memcpy(cb->HASH, seqBytes(0x41, 32).data(), 32);
    cb->CipherLen = 20;
    memcpy(blobBuf + kEccCipherBlobFixed, seqBytes(0x61, 20).data(), 20);

    Bytes rep = hexBytes("00000000");
    const Bytes plain = seqBytes('a', 20);
    rep.insert(rep.end(), plain.begin(), plain.end());
    fake::reply(0x9000, rep);
    uint8_t out[32];
    unsigned int len = sizeof out;
    ASSERT_EQ(SKF_ECCDecrypt(con, cb, out, &len), SAR_OK);
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(Bytes(out, out + 20), plain);
    Bytes want = hexBytes("003F 0200");
    Bytes all = seqBytes(1, 32);
    for (uint8_t f : {0x21, 0x41}) {
        Bytes part = seqBytes(f, 32);
        all.insert(all.end(), part.begin(), part.end());
    }
    want.insert(want.end(), all.begin(), all.end());
    want.insert(want.end(), {20, 0, 0, 0});
    Bytes c = seqBytes(0x61, 20);
    want.insert(want.end(), c.begin(), c.end());
    EXPECT_EQ(fake::data(0), want);

    fake::reply(0x9000, rep);
    memset(out, 0, sizeof out);
    len = 16;
    EXPECT_EQ(SKF_ECCDecrypt(con, cb, out, &len), SAR_NO_ROOM);
    EXPECT_EQ(out[0], 0);
    fake::reply(0x9000, hexBytes("0000"));
    len = sizeof out;
    EXPECT_EQ(SKF_ECCDecrypt(con, cb, out, &len), SAR_NO_ROOM);
    cb->CipherLen = 5000;  // forged: never read past the blob
    EXPECT_EQ(SKF_ECCDecrypt(con, cb, out, &len), SAR_INDATALENERR);

    Struct_ECCPUBLICKEYBLOB pub = {};
    pub.BitLen = 512;
    alignas(4) uint8_t encBuf[kEccCipherBlobFixed + 8] = {};
    auto* enc = reinterpret_cast<Struct_ECCCIPHERBLOB*>(encBuf);
    const Bytes msg = seqBytes(1, 8);
    EXPECT_EQ(SKF_ExtECCEncrypt(h, &pub, msg.data(), 8, enc), SAR_INVALIDPARAMERR);
    pub.BitLen = 256;
    memcpy(pub.XCoordinate + 32, seqBytes(0x11, 32).data(), 32);
    memcpy(pub.YCoordinate + 32, seqBytes(0x31, 32).data(), 32);
    Bytes erep = seqBytes(0x90, 96);
    erep.insert(erep.end(), {8, 0, 0, 0});
    erep.insert(erep.end(), msg.begin(), msg.end());
    fake::sent.clear();
    fake::reply(0x9000, erep);
    ASSERT_EQ(SKF_ExtECCEncrypt(h, &pub, msg.data(), 8, enc), SAR_OK);
    Bytes ewant = hexBytes("00010000");
    for (uint8_t f : {0x11, 0x31}) {
        Bytes part = seqBytes(f, 32);
        ewant.insert(ewant.end(), part.begin(), part.end());
    }
    ewant.insert(ewant.end(), {8, 0, 0, 0});
    ewant.insert(ewant.end(), msg.begin(), msg.end());
    EXPECT_EQ(fake::data(0), ewant);
    EXPECT_EQ(fake::apdu(0)[1], 0x7A);
    EXPECT_EQ(Bytes(enc->XCoordinate + 32, enc->XCoordinate + 64), seqBytes(0x90, 32));
    EXPECT_EQ(Bytes(enc->HASH, enc->HASH + 32), seqBytes(0xD0, 32));
    EXPECT_EQ(Bytes(encBuf + kEccCipherBlobFixed, encBuf + kEccCipherBlobFixed + 8), msg);

    erep[96] = 9;  // a ciphertext longer than the caller's blob holds
    erep.push_back(0);
    fake::reply(0x9000, erep);
    EXPECT_EQ(SKF_ExtECCEncrypt(h, &pub, msg.data(), 8, enc), SAR_BUFFER_TOO_SMALL);
}

}  // namespace
