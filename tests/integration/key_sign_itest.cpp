// Signing and cipher commands against a provisioned virtual key, each
// result checked with OpenSSL: factory and device signatures over
// SM3(Z || M), SM2 and SM4 decryption, and the PIN-login family with its
// plain and PKCS#7 signatures.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/integration/keykit/fixture.h"

using namespace keykit;
using fpkit::WsClient;

namespace {

// Card command "verify PIN" (CLA 80, INS 18) in the key's log.
int pinChecks(const VKey& key) {
    return countCommands(key.log(), 0x80, 0x18);
}

class KeySign : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_ = new KeyStage({}, true); }
    static void TearDownTestSuite() { keykit::endStage(s_); }
    void SetUp() override {
        ASSERT_TRUE(s_->error.empty()) << s_->error;
        ASSERT_TRUE(c_.connect(s_->daemon->port())) << c_.lastError();
    }
    Json::Value run(const std::string& fn, const Json::Value& params = Json::Value()) {
        return command(c_, fn, params);
    }
    Bytes key(const char* fn) { return fromHex(run(fn)["result"].asString()); }
    // The signature text of a signing command, as DER bytes.
    Bytes sign(const char* fn, const Json::Value& params) {
        Json::Value r = run(fn, params);
        EXPECT_EQ(r["reterr"], 0) << r;
        return fromHex(r["result"].asString());
    }
    static KeyStage* s_;
    WsClient c_;
};
KeyStage* KeySign::s_ = nullptr;

}  // namespace

TEST_F(KeySign, FactoryAndDeviceSignatures) {
    const Bytes fac = key("GetFacPubKey");
    const Bytes dev = key("GetDevPubKey");
    ASSERT_EQ(fac.size(), 65u);
    ASSERT_EQ(dev.size(), 65u);
    const std::string text = "pay 100 to bob";
    for (const char* fn : {"FactorySign", "DeviceSign"}) {
        const Bytes& pub = std::string(fn) == "FactorySign" ? fac : dev;
        Bytes der = sign(fn, array({text}));
        EXPECT_TRUE(sm2VerifyDer(pub, bytesOf(text), der)) << fn;
        EXPECT_FALSE(sm2VerifyDer(pub, bytesOf(text + "."), der)) << fn;
        der = sign(fn, array({text, 0}));
        EXPECT_TRUE(sm2VerifyDer(pub, bytesOf(text), der)) << fn;
        // Only the first three bytes are signed.
        der = sign(fn, array({text, 3}));
        EXPECT_TRUE(sm2VerifyDer(pub, bytesOf("pay"), der)) << fn;
        EXPECT_FALSE(sm2VerifyDer(pub, bytesOf(text), der)) << fn;
        // Text in any script is signed as its UTF-8 bytes.
        der = sign(fn, array({"指纹 ✓"}));
        EXPECT_TRUE(sm2VerifyDer(pub, bytesOf("指纹 ✓"), der)) << fn;

        // The empty text is a message too.
        der = sign(fn, array({""}));
        EXPECT_TRUE(sm2VerifyDer(pub, Bytes(), der)) << fn;

        EXPECT_EQ(run(fn, array({}))["reterr"], 111);
        EXPECT_EQ(run(fn, array({5}))["reterr"], 111);
        EXPECT_EQ(run(fn, array({text, "3"}))["reterr"], 111);
        // Never past the end of the text.
        EXPECT_EQ(run(fn, array({text, 99}))["reterr"], 105);
        EXPECT_EQ(run(fn, array({text, -1}))["reterr"], 105);
        // The daemon's own statements are never signed on request.
        EXPECT_EQ(run(fn, array({"{\"type\":\"fpkey.assert\",\"origin\":\"x\"}"}))["reterr"], 104);
    }
}

TEST_F(KeySign, FactorySignAfterDeviceSignSendsNoPin) {
    const Bytes fac = key("GetFacPubKey");
    int before = pinChecks(*s_->key);
    Bytes der = sign("DeviceSign", array({"one"}));
    int afterDevice = pinChecks(*s_->key);
    EXPECT_EQ(afterDevice, before + 1);
    der = sign("FactorySign", array({"two"}));
    EXPECT_TRUE(sm2VerifyDer(fac, bytesOf("two"), der));
    EXPECT_EQ(pinChecks(*s_->key), afterDevice);
    // Any other command closes the session; the next signature logs in again.
    EXPECT_EQ(run("GetVersion")["reterr"], 0);
    der = sign("FactorySign", array({"three"}));
    EXPECT_TRUE(sm2VerifyDer(fac, bytesOf("three"), der));
    EXPECT_EQ(pinChecks(*s_->key), afterDevice + 1);
}

TEST_F(KeySign, Sm2DecryptOfOpenSslCiphertexts) {
    const Bytes dev = key("GetDevPubKey");
    const Bytes plain = bytesOf("sixteen bytes!!!");
    const Bytes raw = sm2EncryptRaw(dev, plain);
    ASSERT_EQ(raw.size(), 96u + 16u);
    Json::Value r = run("Sm2Decrypt", array({toHex(raw)}));
    EXPECT_EQ(r["result"], toHex(plain)) << r;
    // With the leading 04 of the point (1 + 96 + 16 bytes: 1 modulo 4).
    r = run("Sm2Decrypt", array({"04" + toHex(raw)}));
    EXPECT_EQ(r["result"], toHex(plain)) << r;
    // The longest plaintext the reply can carry.
    const Bytes big(128, 0x5A);
    r = run("Sm2Decrypt", array({toHex(sm2EncryptRaw(dev, big))}));
    EXPECT_EQ(r["result"], toHex(big)) << r;
    // One byte more cannot fit: refused before the key is asked.
    // (225 bytes are 1 modulo 4: a first byte of 04 would be taken for the
    // point's prefix, so the ciphertext is made again until it is not.)
    const Bytes tooBig(129, 0x5A);
    Bytes raw129 = sm2EncryptRaw(dev, tooBig);
    while (!raw129.empty() && raw129[0] == 0x04)
        raw129 = sm2EncryptRaw(dev, tooBig);
    EXPECT_EQ(run("Sm2Decrypt", array({toHex(raw129)}))["reterr"], 104);
    // A leading 04 that the length rule does not drop spoils the point.
    const Bytes five = bytesOf("five!");
    EXPECT_EQ(run("Sm2Decrypt", array({"04" + toHex(sm2EncryptRaw(dev, five))}))["reterr"], 103);
    EXPECT_EQ(run("Sm2Decrypt", array({toHex(Bytes(96, 1))}))["reterr"], 104);
    EXPECT_EQ(run("Sm2Decrypt", array({}))["reterr"], 111);
    EXPECT_EQ(run("Sm2Decrypt", array({12}))["reterr"], 111);
}

TEST_F(KeySign, Sm4DecryptAgreesWithOpenSsl) {
    const Bytes k = fromHex("0123456789ABCDEFFEDCBA9876543210");
    const std::string k32 = toHex(k);
    const std::string k64 = toHex(bytesOf(k32));  // the hex of the 32-digit text
    auto decrypt = [&](const Bytes& cipher, const std::string& keyText) {
        return run("Sm4Decrypt", array({toHex(cipher), keyText}));
    };
    // Padding removed, then plain text.
    Bytes msg = bytesOf("hello world");
    Bytes padded = msg;
    padded.insert(padded.end(), 5, 0x05);
    const Bytes c1 = sm4EcbEncrypt(k, padded);
    EXPECT_EQ(decrypt(c1, k32)["result"], "hello world");
    EXPECT_EQ(decrypt(c1, k64)["result"], "hello world");
    EXPECT_EQ(decrypt(c1, k32.substr(0, 31) + "0")["reterr"], 0);  // wrong key: still 0
    // A whole padding block: 16 bytes remain, answered as hex.
    Bytes block = fromHex("00112233445566778899AABBCCDDEEFF");
    Bytes two = block;
    two.insert(two.end(), 16, 0x10);
    EXPECT_EQ(decrypt(sm4EcbEncrypt(k, two), k32)["result"], toHex(block));
    // A single block of sixteen 0x10 is kept whole (padding must be shorter).
    const Bytes sixteen(16, 0x10);
    EXPECT_EQ(decrypt(sm4EcbEncrypt(k, sixteen), k64)["result"], toHex(sixteen));
    // A last byte of 0 keeps the length.
    Bytes zero = block;
    zero[15] = 0;
    EXPECT_EQ(decrypt(sm4EcbEncrypt(k, zero), k32)["result"], toHex(zero));
    // 17 bytes starting with 04: the 04 is dropped.
    Bytes c04 = sm4EcbEncrypt(k, block);
    c04.insert(c04.begin(), 0x04);
    EXPECT_EQ(decrypt(c04, k32)["result"], toHex(block));
    // Lengths the output cannot hold, and keys too short to be keys.
    EXPECT_EQ(decrypt(Bytes(144, 1), k32)["reterr"], 104);
    EXPECT_EQ(decrypt(c1, "0011223344556677")["reterr"], 104);
    EXPECT_EQ(run("Sm4Decrypt", array({toHex(c1)}))["reterr"], 111);
    EXPECT_EQ(run("Sm4Decrypt", array({toHex(c1), 5}))["reterr"], 111);
}

TEST_F(KeySign, PinLoginAndContainerSignatures) {
    // Without a login there is no application to sign with.
    EXPECT_EQ(run("SignDataNormal", array({"axDevCot", toBase64(bytesOf("x"))}))["reterr"], 106);
    EXPECT_EQ(run("rkEnumContainer")["reterr"], 106);

    Json::Value r = run("rkLogin", array({"", "", "314159"}));
    ASSERT_EQ(r["reterr"], 0) << r;
    EXPECT_TRUE(r["result"].isNull());
    // "baseCot" exists in the application but is never listed.
    EXPECT_EQ(run("rkEnumContainer")["result"], array({2, array({"axBaseCot", "axDevCot"})}));

    EXPECT_EQ(run("SignDataNormal",
                  array({"axDevCot", toBase64(bytesOf("{\"type\":\"fpkey.x"))}))["reterr"],
              104);
    const Bytes data = bytesOf("contract text, signed by the key");
    r = run("SignDataNormal", array({"axDevCot", toBase64(data)}));
    ASSERT_EQ(r["reterr"], 0) << r;
    ASSERT_EQ(r["result"][0], 2);
    const Bytes der = fromBase64(r["result"][1][0].asString());
    const Bytes cert = fromBase64(r["result"][1][1].asString());
    std::ifstream f(s_->caDir + "/axDevCot.der", std::ios::binary);
    const Bytes issued((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(cert, issued);
    const Bytes certKey = certPublicKey(cert);
    ASSERT_EQ(certKey.size(), 65u);
    EXPECT_EQ(toHex(certKey), run("GetDevPubKey")["result"].asString());
    // GetDevPubKey closed the login application; log in again.
    ASSERT_EQ(run("rkLogin", array({"", "", "314159"}))["reterr"], 0);
    r = run("SignDataNormal", array({"axDevCot", toBase64(data)}));
    EXPECT_TRUE(sm2VerifyDer(certKey, data, fromBase64(r["result"][1][0].asString())));
    EXPECT_TRUE(sm2VerifyDer(certKey, data, der));

    r = run("SignDataToPKCS7", array({"axDevCot", toBase64(data)}));
    ASSERT_EQ(r["reterr"], 0) << r;
    const SignedData sd = parseSignedData(fromBase64(r["result"].asString()));
    ASSERT_TRUE(sd.parsed);
    EXPECT_EQ(sd.contentType, "1.2.840.113549.1.7.2");
    EXPECT_EQ(sd.innerType, "1.2.840.113549.1.7.1");
    EXPECT_EQ(sd.content, data);
    EXPECT_EQ(sd.digestAlg, "1.2.156.10197.1.401");
    EXPECT_EQ(sd.certificate, issued);
    EXPECT_EQ(sd.issuerOfSigner, sd.issuerOfCert);
    EXPECT_EQ(sd.issuerOfSigner, "/CN=fpkey test CA");
    EXPECT_TRUE(sd.serialMatches);
    EXPECT_TRUE(sm2VerifyDer(certKey, data, sd.signature));

    // A container without a certificate, and one that does not exist.
    EXPECT_EQ(run("SignDataNormal", array({"axBaseCot", toBase64(data)}))["reterr"], 109);
    EXPECT_EQ(run("SignDataNormal", array({"nothing", toBase64(data)}))["reterr"], 103);
    EXPECT_EQ(run("SignDataNormal", array({"axDevCot"}))["reterr"], 111);
    EXPECT_EQ(run("SignDataToPKCS7", array({1, "AA=="}))["reterr"], 111);
}

TEST_F(KeySign, WrongPinsAndLoginShapes) {
    const unsigned kBaseApp = 0x3F00;
    const std::string state = s_->key->stateFile();
    const int tries = userPinTriesLeft(state, kBaseApp);
    ASSERT_GT(tries, 1);
    EXPECT_EQ(run("rkLogin", array({"", "", "271828"}))["reterr"], 107);
    EXPECT_EQ(userPinTriesLeft(state, kBaseApp), tries - 1);
    // A PIN longer than 31 characters is refused before the key sees it.
    EXPECT_EQ(run("rkLogin", array({"", "", std::string(32, '1')}))["reterr"], 104);
    EXPECT_EQ(userPinTriesLeft(state, kBaseApp), tries - 1);
    // The right PIN restores the count.
    EXPECT_EQ(run("rkLogin", array({"", "", "314159"}))["reterr"], 0);
    EXPECT_EQ(userPinTriesLeft(state, kBaseApp), tries);
    // The key by name.
    EXPECT_EQ(
        run("rkLogin", array({"FingerPrint.Usb.0x2541.0x2549..01.03", "x", "314159"}))["reterr"],
        0);
    EXPECT_EQ(run("rkLogin", array({"no-such-key", "", "314159"}))["reterr"], 102);
    EXPECT_EQ(run("rkLogin", array({""}))["reterr"], 111);
    EXPECT_EQ(run("rkLogin", array({"", "", "", ""}))["reterr"], 111);
    EXPECT_EQ(run("rkLogin", array({"", 1, "314159"}))["reterr"], 111);
}
