// The daemon's key layout built and used at the APDU level: factory
// initialisation, re-initialisation, factory and device signatures, the
// device key's encryption round trip and the server key file.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/unit/vkey/vk_helpers.h"

using namespace vkt;

namespace {

uint16_t id16(const Bytes& b) {
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

Bytes ids(uint16_t app, uint16_t con) {
    Bytes d;
    le16(d, app);
    le16(d, con);
    return d;
}

TEST(VkeyLayout, FactoryInitialisationThenSigningAndCiphers) {
    TempDir dir;
    auto key = openKey(dir.path + "/s");
    EnginePort port(*key);
    Client c(port);
    Sm2Key factory = sm2NewKey();

    // Base application with an administrator PIN of bytes 1..127.
    std::string admin;
    for (uint8_t b : randomBytes(8))
        admin.push_back(static_cast<char>(b % 127 + 1));
    ASSERT_EQ(c.devAuth().sw, 0x9000);
    Resp base = c.createApp("meboBaseApp", admin, "314159", 8, 0x01);
    ASSERT_EQ(base.sw, 0x9000);
    uint16_t app = id16(base.data);
    EXPECT_EQ(app, 0x3F00);
    ASSERT_EQ(c.appId("meboBaseApp"), app);
    ASSERT_EQ(c.verifyPin(app, 0, admin).sw, 0x9000);
    Resp fac = c.createContainer(app, "axBaseCot");
    ASSERT_EQ(fac.sw, 0x9000);
    ASSERT_EQ(c.openContainer(app, "axBaseCot").data, fac.data);
    Bytes imp = ids(app, id16(fac.data));
    append(imp, factory.x);
    append(imp, factory.y);
    append(imp, factory.d);
    ASSERT_EQ(c.cmd(0x73, 0, 0, imp).sw, 0x9000);
    Bytes appId;
    le16(appId, app);
    ASSERT_EQ(c.closeContainer(app, id16(fac.data)).sw, 0x9000);
    ASSERT_EQ(c.cmd(0x28, 0, 0, appId).sw, 0x9000);

    // Re-initialisation after a power cycle: device type, user PIN, a fresh
    // device container with a key generated on the key.
    key->powerCycle();
    ASSERT_EQ(c.devAuth().sw, 0x9000);
    EXPECT_EQ(c.openApp("axUpBaseApp").sw, 0x6A8B);
    ASSERT_EQ(c.appId("meboBaseApp"), app);
    ASSERT_EQ(c.cmd(0x02, 4, 0, {0x01, 0x00}).sw, 0x9000);
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    Bytes del = appId;
    append(del, std::string("axDevCot"));
    EXPECT_EQ(c.cmd(0x48, 0, 0, del).sw, 0x6A82);
    Resp dev = c.createContainer(app, "axDevCot");
    ASSERT_EQ(dev.sw, 0x9000);
    ASSERT_EQ(c.openContainer(app, "axDevCot").sw, 0x9000);
    Bytes gen = ids(app, id16(dev.data));
    le32(gen, 256);
    Resp devPub = c.cmd(0x70, 0, 0, gen, 64);
    ASSERT_EQ(devPub.sw, 0x9000);
    Bytes dx(devPub.data.begin(), devPub.data.begin() + 32);
    Bytes dy(devPub.data.begin() + 32, devPub.data.end());

    // Factory signature: export the key, sign e; OpenSSL checks with the
    // factory public key the daemon carries.
    ASSERT_EQ(c.openContainer(app, "axBaseCot").sw, 0x9000);
    Resp pub = c.cmd(0x88, 0, 0, ids(app, id16(fac.data)));
    ASSERT_EQ(pub.sw, 0x9000);
    EXPECT_EQ(Bytes(pub.data.begin() + 4, pub.data.begin() + 36), factory.x);
    EXPECT_EQ(Bytes(pub.data.begin() + 36, pub.data.end()), factory.y);
    for (uint16_t con : {id16(fac.data), id16(dev.data)}) {
        Bytes e = randomBytes(32);
        Bytes s = ids(app, con);
        le32(s, 16);
        append(s, std::string("1234567812345678"));
        append(s, e);
        Resp sig = c.cmd(0x74, 2, 0, s);
        ASSERT_EQ(sig.sw, 0x9000);
        const Bytes& x = con == id16(fac.data) ? factory.x : dx;
        const Bytes& y = con == id16(fac.data) ? factory.y : dy;
        EXPECT_TRUE(sm2Verify(x, y, e, Bytes(sig.data.begin() + 4, sig.data.begin() + 36),
                              Bytes(sig.data.begin() + 36, sig.data.end())));
    }

    // Encryption to the device public key, by the key itself, and decryption
    // in the device container.
    Bytes plain = randomBytes(57);
    Bytes enc;
    le32(enc, 256);
    append(enc, dx);
    append(enc, dy);
    le32(enc, static_cast<uint32_t>(plain.size()));
    append(enc, plain);
    Resp cipher = c.cmd(0x7A, 0, 0, enc);
    ASSERT_EQ(cipher.sw, 0x9000);
    Bytes dec = ids(app, id16(dev.data));
    dec.insert(dec.end(), cipher.data.begin(), cipher.data.end());
    Resp back = c.cmd(0x7B, 0, 0, dec);
    ASSERT_EQ(back.sw, 0x9000);
    EXPECT_EQ(Bytes(back.data.begin() + 4, back.data.end()), plain);

    // The server public key lives in 0x5108 across power cycles.
    Bytes svr = randomBytes(64);
    Bytes w = {0x51, 0x08, 0, 0, 64, 0};
    append(w, svr);
    ASSERT_EQ(c.cmd(0xD6, 0, 0, w).sw, 0x9000);
    key->powerCycle();
    Resp r = c.cmd(0xD4, 0, 0, {0x51, 0x08, 0, 0, 0, 4}, 1024);
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(Bytes(r.data.begin() + 2, r.data.end()), svr);

    // The first application keeps 0x3F00 and is the one a login selects.
    EXPECT_EQ(c.appId("meboBaseApp"), 0x3F00);
}

}  // namespace
