// Containers, SM2 keys checked by OpenSSL, certificates, files, listings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/unit/vkey/vk_helpers.h"

using namespace vkt;

namespace {

// SM2 group order n, for scalars at and beyond the edge.
const char kOrderHex[] = "fffffffeffffffffffffffffffffffff7203df6b21c6052b53bbf40939d54123";

class KeysTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::unique_ptr<vkey::Key> key = openKey(dir.path + "/state");
    EnginePort port{*key};
    Client c{port};
    uint16_t app = 0;

    void SetUp() override {
        ASSERT_EQ(c.devAuth().sw, 0x9000);
        Resp r = c.createApp("meboBaseApp", "admin-pin", "314159", 8, 0x10);
        ASSERT_EQ(r.sw, 0x9000);
        app = static_cast<uint16_t>(r.data[0] | r.data[1] << 8);
    }

    uint16_t container(const std::string& name) {
        Resp r = c.createContainer(app, name);
        EXPECT_EQ(r.sw, 0x9000);
        return r.data.size() == 2 ? static_cast<uint16_t>(r.data[0] | r.data[1] << 8) : 0;
    }

    Bytes ids(uint16_t con) {
        Bytes d;
        le16(d, app);
        le16(d, con);
        return d;
    }

    Resp genKey(uint16_t con, bool sign = true) {
        Bytes d = ids(con);
        le32(d, 256);
        return c.cmd(sign ? 0x70 : 0x71, 0, 0, d, 64);
    }

    Resp exportPub(uint16_t con, bool sign = true) {
        return c.cmd(0x88, sign ? 0 : 1, 0, ids(con));
    }

    Resp importPair(uint16_t con, const Bytes& x, const Bytes& y, const Bytes& d, bool sign) {
        Bytes data = ids(con);
        append(data, x);
        append(data, y);
        append(data, d);
        return c.cmd(0x73, sign ? 0 : 1, 0, data);
    }

    Resp sign(uint16_t con, const Bytes& e) {
        Bytes d = ids(con);
        le32(d, 16);
        append(d, std::string("1234567812345678"));
        append(d, e);
        return c.cmd(0x74, 2, 0, d);
    }

    Resp decrypt(uint16_t con, const Bytes& raw) {
        Bytes d = ids(con);
        d.insert(d.end(), raw.begin(), raw.begin() + 96);
        le32(d, static_cast<uint32_t>(raw.size() - 96));
        d.insert(d.end(), raw.begin() + 96, raw.end());
        return c.cmd(0x7B, 0, 0, d);
    }
};

TEST_F(KeysTest, ContainerLifeCycleAndRefusals) {
    EXPECT_EQ(c.createContainer(app, "axDevCot").sw, 0x6982);  // no login yet
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    uint16_t dev = container("axDevCot");
    uint16_t fac = container("axBaseCot");
    EXPECT_NE(dev, fac);
    EXPECT_EQ(c.createContainer(app, "axDevCot").sw, 0x6A89);
    EXPECT_EQ(c.createContainer(app, std::string(65, 'n')).sw, 0x6700);

    Bytes id;
    le16(id, app);
    Resp list = c.cmd(0x46, 0, 0, id);
    ASSERT_EQ(list.sw, 0x9000);
    Bytes expect;
    append(expect, std::string("axDevCot"));
    expect.push_back(0);
    append(expect, std::string("axBaseCot"));
    expect.push_back(0);
    expect.push_back(0);
    EXPECT_EQ(list.data, expect);

    // Type: empty, then ECC once a key pair exists.
    Bytes byName = id;
    append(byName, std::string("axDevCot"));
    Resp type = c.cmd(0x4A, 0, 0, byName, 11);
    ASSERT_EQ(type.sw, 0x9000);
    ASSERT_EQ(type.data.size(), 11u);
    EXPECT_EQ(type.data[0], 0);
    ASSERT_EQ(genKey(dev).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x4A, 0, 0, byName, 11).data[0], 2);

    // A closed container must be reopened before use (the host reopens on
    // 0x6A94); an identifier the application does not have is 0x6A91.
    EXPECT_EQ(c.closeContainer(app, dev).sw, 0x9000);
    EXPECT_EQ(genKey(dev).sw, 0x6A94);
    EXPECT_EQ(exportPub(dev).sw, 0x6A94);
    EXPECT_EQ(c.closeContainer(app, dev).sw, 0x6A94);
    EXPECT_EQ(genKey(0x7777).sw, 0x6A91);
    Resp reopened = c.openContainer(app, "axDevCot");
    ASSERT_EQ(reopened.sw, 0x9000);
    EXPECT_EQ(reopened.data, (Bytes{static_cast<uint8_t>(dev), static_cast<uint8_t>(dev >> 8)}));
    EXPECT_EQ(exportPub(dev).sw, 0x9000);
    EXPECT_EQ(c.openContainer(app, "missing").sw, 0x6A82);

    // Delete; then it is gone from the list and cannot be opened.
    Bytes del = id;
    append(del, std::string("axDevCot"));
    EXPECT_EQ(c.cmd(0x48, 0, 0, del).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x48, 0, 0, del).sw, 0x6A82);
    EXPECT_EQ(c.openContainer(app, "axDevCot").sw, 0x6A82);
    EXPECT_EQ(exportPub(dev).sw, 0x6A91);
    Bytes only;
    append(only, std::string("axBaseCot"));
    only.push_back(0);
    only.push_back(0);
    EXPECT_EQ(c.cmd(0x46, 0, 0, id).data, only);

    // Commands on an application that is not open.
    EXPECT_EQ(c.createContainer(0x1234, "x").sw, 0x6A8B);
    Bytes appIdOnly;
    le16(appIdOnly, app);
    ASSERT_EQ(c.cmd(0x28, 0, 0, appIdOnly).sw, 0x9000);
    EXPECT_EQ(exportPub(fac).sw, 0x6A8B);
}

TEST_F(KeysTest, GeneratedKeySignsWhatOpenSslVerifies) {
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    uint16_t con = container("axDevCot");
    EXPECT_EQ(exportPub(con).sw, 0x6A95);  // no key yet
    EXPECT_EQ(sign(con, randomBytes(32)).sw, 0x6A95);
    Resp gen = genKey(con);
    ASSERT_EQ(gen.sw, 0x9000);
    ASSERT_EQ(gen.data.size(), 64u);
    Bytes x(gen.data.begin(), gen.data.begin() + 32), y(gen.data.begin() + 32, gen.data.end());
    Resp pub = exportPub(con);
    ASSERT_EQ(pub.sw, 0x9000);
    ASSERT_EQ(pub.data.size(), 68u);
    EXPECT_EQ(pub.data[0] | pub.data[1] << 8, 256);
    EXPECT_EQ(Bytes(pub.data.begin() + 4, pub.data.end()), gen.data);
    EXPECT_EQ(exportPub(con, false).sw, 0x6A95);  // no encryption pair

    for (int i = 0; i < 3; ++i) {
        Bytes e = randomBytes(32);
        Resp s = sign(con, e);
        ASSERT_EQ(s.sw, 0x9000);
        ASSERT_EQ(s.data.size(), 68u);
        Bytes r(s.data.begin() + 4, s.data.begin() + 36), sv(s.data.begin() + 36, s.data.end());
        EXPECT_TRUE(sm2Verify(x, y, e, r, sv));
        Bytes other = e;
        other[0] ^= 1;
        EXPECT_FALSE(sm2Verify(x, y, other, r, sv));
    }
    EXPECT_EQ(sign(con, randomBytes(31)).sw, 0x6700);
    EXPECT_EQ(sign(con, randomBytes(33)).sw, 0x6700);
    Bytes d = ids(con);
    le32(d, 16);
    EXPECT_EQ(c.cmd(0x74, 2, 0, d).sw, 0x6700);  // ID length beyond the data

    // A regenerated pair replaces the old one.
    Resp gen2 = genKey(con);
    ASSERT_EQ(gen2.sw, 0x9000);
    EXPECT_NE(gen2.data, gen.data);

    // Signing needs the user PIN: not the administrator's, not after logout.
    Bytes id;
    le16(id, app);
    ASSERT_EQ(c.cmd(0x1C, 0, 0, id).sw, 0x9000);
    ASSERT_EQ(c.verifyPin(app, 0, "admin-pin").sw, 0x9000);
    EXPECT_EQ(sign(con, randomBytes(32)).sw, 0x6982);
}

TEST_F(KeysTest, LockedUserPinRefusesSigning) {
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    uint16_t con = container("c");
    ASSERT_EQ(genKey(con).sw, 0x9000);
    for (int i = 0; i < 8; ++i)
        c.verifyPin(app, 1, "wrong");
    EXPECT_EQ(sign(con, randomBytes(32)).sw, 0x9303);
    EXPECT_EQ(decrypt(con, Bytes(97 + 16, 1)).sw, 0x9303);
}

TEST_F(KeysTest, ImportRefusesBrokenKeysAndAcceptsGoodOnes) {
    ASSERT_EQ(c.verifyPin(app, 0, "admin-pin").sw, 0x9000);
    uint16_t con = container("axBaseCot");
    Sm2Key k = sm2NewKey();
    Sm2Key other = sm2NewKey();
    Bytes n = fromHex(kOrderHex);
    Bytes nMinus1 = n;
    nMinus1[31] -= 1;
    Bytes nMinus2 = n;
    nMinus2[31] -= 2;
    Bytes zero(32, 0);
    Bytes offCurveY = k.y;
    offCurveY[31] ^= 1;

    EXPECT_EQ(importPair(con, k.x, k.y, zero, true).sw, 0x6A80);
    EXPECT_EQ(importPair(con, k.x, k.y, nMinus1, true).sw, 0x6A80);
    EXPECT_EQ(importPair(con, k.x, k.y, n, true).sw, 0x6A80);
    EXPECT_EQ(importPair(con, k.x, offCurveY, k.d, true).sw, 0x6A80);
    EXPECT_EQ(importPair(con, other.x, other.y, k.d, true).sw, 0x6A80);
    EXPECT_EQ(importPair(con, k.x, k.y, nMinus2, true).sw, 0x6A80);  // valid scalar, wrong point
    EXPECT_EQ(exportPub(con).sw, 0x6A95);
    Bytes shortData = ids(con);
    append(shortData, k.x);
    EXPECT_EQ(c.cmd(0x73, 0, 0, shortData).sw, 0x6700);

    ASSERT_EQ(importPair(con, k.x, k.y, k.d, true).sw, 0x9000);
    Resp pub = exportPub(con);
    ASSERT_EQ(pub.sw, 0x9000);
    Bytes expect = {0x00, 0x01, 0x00, 0x00};
    append(expect, k.x);
    append(expect, k.y);
    EXPECT_EQ(pub.data, expect);

    // The imported key signs (user PIN) and OpenSSL agrees.
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    Bytes e = randomBytes(32);
    Resp s = sign(con, e);
    ASSERT_EQ(s.sw, 0x9000);
    EXPECT_TRUE(sm2Verify(k.x, k.y, e, Bytes(s.data.begin() + 4, s.data.begin() + 36),
                          Bytes(s.data.begin() + 36, s.data.end())));
}

TEST_F(KeysTest, DecryptsOpenSslCiphertexts) {
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    uint16_t con = container("c");
    Sm2Key k = sm2NewKey();
    ASSERT_EQ(importPair(con, k.x, k.y, k.d, false).sw, 0x9000);  // encryption slot
    for (size_t len : {1u, 16u, 100u, 1000u}) {
        Bytes plain = randomBytes(len);
        Resp r = decrypt(con, sm2EncryptRaw(k.x, k.y, plain));
        ASSERT_EQ(r.sw, 0x9000) << len;
        ASSERT_EQ(r.data.size(), 4 + len);
        EXPECT_EQ(Bytes(r.data.begin() + 4, r.data.end()), plain);
    }
    Bytes raw = sm2EncryptRaw(k.x, k.y, randomBytes(20));
    Bytes tampered = raw;
    tampered[64] ^= 1;  // C3
    EXPECT_EQ(decrypt(con, tampered).sw, 0x6A9B);
    tampered = raw;
    tampered.back() ^= 1;  // C2
    EXPECT_EQ(decrypt(con, tampered).sw, 0x6A9B);
    // A ciphertext for another key does not decrypt.
    Sm2Key other = sm2NewKey();
    EXPECT_EQ(decrypt(con, sm2EncryptRaw(other.x, other.y, randomBytes(20))).sw, 0x6A9B);
    // Decryption needs the user PIN.
    Bytes id;
    le16(id, app);
    ASSERT_EQ(c.cmd(0x1C, 0, 0, id).sw, 0x9000);
    EXPECT_EQ(decrypt(con, raw).sw, 0x6982);

    // A container with only a signature pair decrypts with it (the device
    // container is used that way).
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    uint16_t dev = container("axDevCot");
    Resp gen = genKey(dev);
    ASSERT_EQ(gen.sw, 0x9000);
    Bytes plain = randomBytes(48);
    Resp r = decrypt(dev, sm2EncryptRaw(Bytes(gen.data.begin(), gen.data.begin() + 32),
                                        Bytes(gen.data.begin() + 32, gen.data.end()), plain));
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(Bytes(r.data.begin() + 4, r.data.end()), plain);
}

TEST_F(KeysTest, EncryptsToAnOutsideKeyForOpenSsl) {
    Sm2Key k = sm2NewKey();
    for (size_t len : {1u, 32u, 500u}) {
        Bytes plain = randomBytes(len);
        Bytes d;
        le32(d, 256);
        append(d, k.x);
        append(d, k.y);
        le32(d, static_cast<uint32_t>(len));
        append(d, plain);
        Resp r = c.cmd(0x7A, 0, 0, d);  // no PIN: public-key operation
        ASSERT_EQ(r.sw, 0x9000);
        ASSERT_EQ(r.data.size(), 100 + len);
        uint32_t cipherLen = r.data[96] | r.data[97] << 8 | r.data[98] << 16 | r.data[99] << 24;
        EXPECT_EQ(cipherLen, len);
        // C1 and C3, then C2 without its length word (sized once: gcc 12 at
        // -O2 misreports a range insert into a short vector).
        Bytes raw(r.data.size() - 4);
        std::copy(r.data.begin(), r.data.begin() + 96, raw.begin());
        std::copy(r.data.begin() + 100, r.data.end(), raw.begin() + 96);
        Bytes out;
        ASSERT_TRUE(sm2DecryptRaw(k, raw, out));
        EXPECT_EQ(out, plain);
    }
    Bytes bad;
    le32(bad, 256);
    append(bad, k.x);
    Bytes y = k.y;
    y[0] ^= 0x40;
    append(bad, y);
    le32(bad, 4);
    append(bad, std::string("data"));
    EXPECT_EQ(c.cmd(0x7A, 0, 0, bad).sw, 0x6A80);
    Bytes bits512;
    le32(bits512, 512);
    append(bits512, k.x);
    append(bits512, k.y);
    le32(bits512, 4);
    append(bits512, std::string("data"));
    EXPECT_EQ(c.cmd(0x7A, 0, 0, bits512).sw, 0x6A80);
    Bytes empty;
    le32(empty, 256);
    append(empty, k.x);
    append(empty, k.y);
    le32(empty, 0);
    EXPECT_EQ(c.cmd(0x7A, 0, 0, empty).sw, 0x6A80);
}

TEST_F(KeysTest, Certificates) {
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    uint16_t con = container("1_7");
    EXPECT_EQ(c.cmd(0x4E, 1, 0, ids(con)).sw, 0x6A96);
    EXPECT_EQ(c.cmd(0x4E, 0, 0, ids(con)).sw, 0x6A96);
    Bytes cert = randomBytes(1500);
    Bytes d = ids(con);
    d.push_back(1);
    le32(d, static_cast<uint32_t>(cert.size()));
    append(d, cert);
    EXPECT_EQ(c.cmd(0x4C, 0, 0, d).sw, 0x9000);
    Resp out = c.cmd(0x4E, 1, 0, ids(con));
    ASSERT_EQ(out.sw, 0x9000);
    EXPECT_EQ(out.data, cert);
    EXPECT_EQ(c.cmd(0x4E, 0, 0, ids(con)).sw, 0x6A96);  // the other slot

    // A finger's display name is stored the same way.
    Bytes name = {'l', 'e', 'f', 't'};
    Bytes e = ids(con);
    e.push_back(0);
    le32(e, 4);
    append(e, name);
    EXPECT_EQ(c.cmd(0x4C, 0, 0, e).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x4E, 0, 0, ids(con)).data, name);
    EXPECT_EQ(c.cmd(0x4E, 1, 0, ids(con)).data, cert);

    Bytes lenLie = ids(con);
    lenLie.push_back(1);
    le32(lenLie, 10);
    append(lenLie, name);
    EXPECT_EQ(c.cmd(0x4C, 0, 0, lenLie).sw, 0x6700);
    EXPECT_EQ(c.cmd(0x4E, 2, 0, ids(con)).sw, 0x6A86);
}

TEST_F(KeysTest, ApplicationFilesAndRights) {
    auto createFile = [&](const std::string& name, uint32_t size, uint32_t rr, uint32_t wr) {
        Bytes d;
        le16(d, static_cast<uint16_t>(name.size()));
        append(d, name);
        le32(d, size);
        le32(d, rr);
        le32(d, wr);
        return c.cmd(0x30, app & 0xFF, app >> 8, d);
    };
    auto nameData = [&](const std::string& name) {
        Bytes d;
        le16(d, app);
        le16(d, static_cast<uint16_t>(name.size()));
        append(d, name);
        return d;
    };
    auto write = [&](const std::string& name, uint32_t offset, const Bytes& data) {
        Bytes d = nameData(name);
        le32(d, offset);
        le32(d, static_cast<uint32_t>(data.size()));
        append(d, data);
        return c.cmd(0x3A, 0, 0, d);
    };
    auto read = [&](const std::string& name, uint32_t offset, uint32_t len) {
        Bytes d = nameData(name);
        le32(d, offset);
        le32(d, len);
        return c.cmd(0x38, 0, 0, d, static_cast<uint16_t>(len));
    };

    // Create-file rights of this application: the user.
    EXPECT_EQ(createFile("17", 64, 0xFF, 0x10).sw, 0x6982);
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    EXPECT_EQ(createFile("17", 64, 0xFF, 0x10).sw, 0x9000);
    EXPECT_EQ(createFile("17", 64, 0xFF, 0x10).sw, 0x6A92);
    EXPECT_EQ(createFile("secret", 16, 0x01, 0x01).sw, 0x9000);
    EXPECT_EQ(createFile("huge", 1 << 20, 0xFF, 0xFF).sw, 0x6A84);

    Resp list = c.cmd(0x34, app & 0xFF, app >> 8, {});
    EXPECT_EQ(list.data, (Bytes{'1', '7', 0, 's', 'e', 'c', 'r', 'e', 't', 0, 0}));

    Bytes info = {};
    le16(info, 2);
    append(info, std::string("17"));
    Resp fi = c.cmd(0x36, app & 0xFF, app >> 8, info, 12);
    EXPECT_EQ(fi.data, (Bytes{64, 0, 0, 0, 0xFF, 0, 0, 0, 0x10, 0, 0, 0}));

    Bytes content = randomBytes(40);
    EXPECT_EQ(write("17", 10, content).sw, 0x9000);
    Resp r = read("17", 10, 40);
    EXPECT_EQ(r.data, content);
    EXPECT_EQ(read("17", 0, 0).data.size(), 64u);
    EXPECT_EQ(read("17", 65, 1).sw, 0x6B00);
    EXPECT_EQ(write("17", 60, randomBytes(8)).sw, 0x6A84);
    EXPECT_EQ(read("nope", 0, 1).sw, 0x6A82);
    // The administrator-only file is closed to the user.
    EXPECT_EQ(read("secret", 0, 16).sw, 0x6982);
    EXPECT_EQ(write("secret", 0, content).sw, 0x6982);

    // Deleting needs the file's write rights.
    Bytes del = {'1', '7'};
    Bytes id;
    le16(id, app);
    ASSERT_EQ(c.cmd(0x1C, 0, 0, id).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x32, app & 0xFF, app >> 8, del).sw, 0x6982);
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    EXPECT_EQ(c.cmd(0x32, app & 0xFF, app >> 8, del).sw, 0x9000);
    EXPECT_EQ(c.cmd(0x32, app & 0xFF, app >> 8, del).sw, 0x6A82);
    EXPECT_EQ(c.cmd(0x34, app & 0xFF, app >> 8, {}).data,
              (Bytes{'s', 'e', 'c', 'r', 'e', 't', 0, 0}));
    // Listing the files of an application that is not open.
    EXPECT_EQ(c.cmd(0x34, 0x34, 0x12, {}).sw, 0x6A8B);
}

TEST_F(KeysTest, ElementaryFilesWithReadPrefix) {
    auto readEf = [&](uint16_t fid, uint16_t len) {
        Bytes d = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
        le16(d, 0);
        le16(d, len);
        return c.cmd(0xD4, 0, 0, d, len);
    };
    auto writeEf = [&](uint16_t fid, uint16_t offset, const Bytes& data) {
        Bytes d = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
        le16(d, offset);
        le16(d, static_cast<uint16_t>(data.size()));
        append(d, data);
        return c.cmd(0xD6, 0, 0, d);
    };
    EXPECT_EQ(readEf(0x5108, 1024).data, (Bytes{0, 0}));
    Bytes svr = randomBytes(64);
    EXPECT_EQ(writeEf(0x5108, 0, svr).sw, 0x9000);
    Resp r = readEf(0x5108, 1024);
    ASSERT_EQ(r.sw, 0x9000);
    ASSERT_EQ(r.data.size(), 66u);
    EXPECT_EQ(r.data[0], 64);
    EXPECT_EQ(r.data[1], 0);
    EXPECT_EQ(Bytes(r.data.begin() + 2, r.data.end()), svr);
    // A short read still fits the length asked for.
    EXPECT_EQ(readEf(0x5108, 10).data.size(), 10u);

    EXPECT_EQ(writeEf(0x5108, 1, svr).sw, 0x6A84);  // 64-byte file
    EXPECT_EQ(writeEf(0x5088, 0, randomBytes(300)).sw, 0x9000);
    EXPECT_EQ(readEf(0x5088, 1024).data.size(), 302u);
    EXPECT_EQ(writeEf(0xEF01, 0, svr).sw, 0x6986);  // factory file
    EXPECT_EQ(readEf(0xEF01, 1024).sw, 0x9000);
    EXPECT_EQ(readEf(0x5110, 1024).sw, 0x6A82);
    EXPECT_EQ(writeEf(0x5110, 0, svr).sw, 0x6A82);
}

TEST_F(KeysTest, LongListsContinueWith6A9E) {
    std::string expect;
    expect += "meboBaseApp";
    expect.push_back('\0');
    for (int i = 0; i < 20; ++i) {
        std::string name = "user-with-a-long-name-number-" + std::to_string(100 + i);
        ASSERT_EQ(c.createApp(name, "a", "u").sw, 0x9000);
        expect += name;
        expect.push_back('\0');
    }
    expect.push_back('\0');
    int replies = 0;
    Resp all = c.listAll(0x22, 0, 0, {}, replies);
    ASSERT_EQ(all.sw, 0x9000);
    EXPECT_GT(replies, 1);
    EXPECT_EQ(std::string(all.data.begin(), all.data.end()), expect);

    // Each partial reply is a list of whole names ending in an empty name.
    Resp first = c.cmd(0x22, 0, 0, {});
    ASSERT_EQ(first.sw, 0x6A9E);
    ASSERT_GE(first.data.size(), 2u);
    EXPECT_LE(first.data.size(), vkey::kListChunk);
    EXPECT_EQ(first.data.back(), 0);
    EXPECT_EQ(first.data[first.data.size() - 2], 0);
    // Any other command in between starts the next listing afresh.
    c.challenge();
    EXPECT_EQ(c.cmd(0x22, 0, 0, {}).data, first.data);

    // Containers of one application list the same way.
    uint16_t big = c.appId("user-with-a-long-name-number-100");
    ASSERT_EQ(c.verifyPin(big, 1, "u").sw, 0x9000);
    std::string cons;
    for (int i = 0; i < 12; ++i) {
        std::string name = std::string(40, 'c') + std::to_string(i);
        ASSERT_EQ(c.createContainer(big, name).sw, 0x9000);
        cons += name;
        cons.push_back('\0');
    }
    cons.push_back('\0');
    Bytes id;
    le16(id, big);
    all = c.listAll(0x46, 0, 0, id, replies);
    ASSERT_EQ(all.sw, 0x9000);
    EXPECT_GT(replies, 1);
    EXPECT_EQ(std::string(all.data.begin(), all.data.end()), cons);
}

}  // namespace
