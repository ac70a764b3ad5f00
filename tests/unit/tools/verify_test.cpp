// fpkverify against signatures OpenSSL makes: the key's 32-byte DER form and
// the minimal one, the enrolment record, the assertion's exact clientData,
// and the program's exit statuses and lines.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <sys/wait.h>

#include <memory>
#include <string>

#include "tests/support/support.h"
#include "tools/verify/verify.h"

namespace {

using fpkverify::Failed;
using support::Bytes;

// An SM2 key of OpenSSL's signing with the default signer ID.
class Signer {
  public:
    Signer() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"), EVP_PKEY_free) {
        Bytes point(65);
        size_t n = 0;
        EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), 65, &n);
        pub = support::toHex(point);
    }
    // r and s (32 bytes each) of a signature over `msg`.
    void sign(const std::string& msg, Bytes& r, Bytes& s) const {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key_.get(), nullptr);
        EVP_PKEY_CTX_set1_id(pctx, fpkverify::kDefaultSignerId, 16);
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        Bytes der(80);
        size_t n = der.size();
        EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, key_.get());
        EVP_DigestSign(md, der.data(), &n, support::bytesOf(msg).data(), msg.size());
        const uint8_t* p = der.data();
        ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(n));
        r.assign(32, 0);
        s.assign(32, 0);
        BN_bn2binpad(ECDSA_SIG_get0_r(sig), r.data(), 32);
        BN_bn2binpad(ECDSA_SIG_get0_s(sig), s.data(), 32);
        ECDSA_SIG_free(sig);
        EVP_MD_CTX_free(md);
        EVP_PKEY_CTX_free(pctx);
    }
    // The signature text as the key writes it.
    std::string keyForm(const std::string& msg) const {
        Bytes r, s;
        sign(msg, r, s);
        return derOf(r, s, false);
    }
    // The key's form keeps both integers at 32 bytes (00 before a high
    // bit); the minimal one drops leading zero bytes.
    static std::string derOf(const Bytes& r, const Bytes& s, bool minimal) {
        Bytes body;
        for (const Bytes* v : {&r, &s}) {
            size_t i = 0;
            while (minimal && i + 1 < v->size() && (*v)[i] == 0)
                ++i;
            Bytes value(v->begin() + static_cast<long>(i), v->end());
            if (value[0] & 0x80) value.insert(value.begin(), 0);
            body.insert(body.end(), {0x02, static_cast<uint8_t>(value.size())});
            body.insert(body.end(), value.begin(), value.end());
        }
        body.insert(body.begin(), {0x30, static_cast<uint8_t>(body.size())});
        return support::toHex(body);
    }
    std::string pub;

  private:
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key_;
};

Failed check(const std::string& pub, const std::string& msg, const std::string& sig,
             const std::string& id = fpkverify::kDefaultSignerId) {
    return fpkverify::verifySignature(pub, support::bytesOf(msg).data(), msg.size(), sig, id)
        .failed;
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(c));
    return s;
}

TEST(VerifySignature, BothFormsHoldAndEveryChangeFailsItsCheck) {
    const Signer k;
    // Until r or s has a leading zero byte (one signature in about 128):
    // the key keeps it, minimal DER drops it, and OpenSSL takes only the latter.
    bool led = false;
    for (int i = 0; i < 4000 && !led; ++i) {
        const std::string msg = "message " + std::to_string(i);
        Bytes r, s;
        k.sign(msg, r, s);
        led = r[0] == 0 || s[0] == 0;
        ASSERT_EQ(check(k.pub, msg, Signer::derOf(r, s, false)), Failed::None) << msg;
        ASSERT_EQ(check(k.pub, msg, Signer::derOf(r, s, true)), Failed::None) << msg;
    }
    ASSERT_TRUE(led);

    const std::string msg = "pay 5 EUR";
    const std::string sig = k.keyForm(msg);
    EXPECT_EQ(check(lower(k.pub), msg, lower(sig)), Failed::None);
    EXPECT_EQ(check(k.pub, "pay 6 EUR", sig), Failed::Signature);
    std::string flipped = sig;
    flipped[20] = flipped[20] == '1' ? '2' : '1';
    EXPECT_EQ(check(k.pub, msg, flipped), Failed::Signature);
    std::string otherKey = k.pub;
    otherKey[129] = otherKey[129] == '1' ? '2' : '1';
    EXPECT_EQ(check(otherKey, msg, sig), Failed::PublicKey);
    EXPECT_EQ(check(k.pub, msg, sig, "8765432187654321"), Failed::Signature);

    // Not the key's form nor minimal, or r, s outside [1, n-1].
    const Bytes one{1};
    const Bytes n =
        support::fromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123");
    Bytes nMinus1 = n;
    nMinus1[31] -= 1;
    const std::string fine = Signer::derOf(one, nMinus1, true);
    EXPECT_NE(check(k.pub, msg, fine), Failed::SignatureForm);
    const std::string bads[] = {
        sig + "00",                        // a trailing byte
        sig.substr(0, sig.size() - 2),     // one byte short
        "3003020100",                      // no s
        "3006020100020101",                // r = 0
        Signer::derOf(one, n, true),       // s = n
        "302702020001" + fine.substr(10),  // r = 00 01: neither form
        "3006020181020101",                // r negative
        "3081" + sig.substr(2),            // long length form
        "zz" + sig.substr(2),              // not hex
    };
    for (const std::string& bad : bads)
        EXPECT_EQ(check(k.pub, msg, bad), Failed::SignatureForm) << bad;
}

TEST(VerifyEnrolment, TheDeviceKeySignsKeyRecordAndSerial) {
    const Signer device, finger;
    const std::string sig = device.keyForm(finger.pub + "alice_1_3" + "SN0042");
    EXPECT_TRUE(
        fpkverify::verifyEnrolment(device.pub, lower(finger.pub), "alice_1_3", "SN0042", sig).ok());
    EXPECT_EQ(fpkverify::verifyEnrolment(device.pub, finger.pub, "alice_1_4", "SN0042", sig).failed,
              Failed::Signature);
    EXPECT_EQ(fpkverify::verifyEnrolment(finger.pub, finger.pub, "alice_1_3", "SN0042", sig).failed,
              Failed::Signature);
    EXPECT_EQ(fpkverify::verifyEnrolment(device.pub, "04", "alice_1_3", "SN0042", sig).failed,
              Failed::PublicKey);
}

const std::string kGood =
    R"({"type":"fpkey.assert","origin":"https://shop.example","challenge":"Zx9-0123456789abcdef",)"
    R"("text":"Pay \"5\" \\ é / now","user":"al\u001Fice\n","finger":10,"record":"alice_10_3",)"
    R"("serial":"SN0042","shown":"page"})";

TEST(VerifyAssertion, OnlyTheDaemonsExactClientDataForTheExpectedActHolds) {
    const Signer k, other;
    const std::string origin = "https://shop.example", challenge = "Zx9-0123456789abcdef";
    const std::string text = "Pay \"5\" \\ é / now";
    auto verify = [&](const std::string& data, const std::string& o, const std::string& c,
                      const std::string& t, fpkverify::Assertion* a = nullptr) {
        // Each clientData signed, so that only the check named can refuse it.
        return fpkverify::verifyAssertion(k.pub, data, k.keyForm(data), o, c, t, a).failed;
    };
    fpkverify::Assertion a;
    ASSERT_EQ(verify(kGood, origin, challenge, text, &a), Failed::None);
    EXPECT_EQ(
        a.user + "|" + std::to_string(a.finger) + "|" + a.record + "|" + a.serial + "|" + a.shown,
        "al\x1F"
        "ice\n|10|alice_10_3|SN0042|page");
    EXPECT_EQ(verify(kGood, "https://shop.example.evil", challenge, text), Failed::Origin);
    EXPECT_EQ(verify(kGood, origin, "Zx9-0123456789abcdeF", text), Failed::Challenge);
    EXPECT_EQ(verify(kGood, origin, challenge, ""), Failed::Text);
    EXPECT_EQ(
        fpkverify::verifyAssertion(other.pub, kGood, k.keyForm(kGood), origin, challenge, text)
            .failed,
        Failed::Signature);
    // The order of the checks: the signature's form before the clientData's.
    EXPECT_EQ(fpkverify::verifyAssertion(k.pub, "{}", "30", origin, challenge, text).failed,
              Failed::SignatureForm);

    const std::pair<std::string, std::string> notTheDaemons[] = {
        {"fpkey.assert", "fpkey.other"},
        {R"("origin":"https://shop.example","challenge":"Zx9-0123456789abcdef")",
         R"("challenge":"Zx9-0123456789abcdef","origin":"https://shop.example")"},
        {R"("page"})", R"("page","extra":1})"},
        {R"("finger":10)", R"("finger": 10)"},
        {R"("finger":10)", R"("finger":10.0)"},
        {R"("finger":10)", R"("finger":11)"},
        {R"(\u001F)", R"(\u001f)"},
        {" / now", R"( \/ now)"},
        {"\"page\"", "\"phone\""},
        {"\"SN0042\"", "42"},
        {"page\"}", "page\"}\n"},
        {"é", "\xC3"},
        {R"("SN0042")", std::string(20, '[') + std::string(20, ']')},
    };
    for (const auto& change : notTheDaemons) {
        const std::string data = replaced(kGood, change.first, change.second);
        EXPECT_EQ(verify(data, origin, challenge, text), Failed::ClientData) << data;
    }
}

// Runs the program; its exit status, what it wrote on standard error in
// `err`, and whether standard output stayed empty.
int run(const std::vector<std::string>& args, std::string& err, bool* quiet = nullptr) {
    support::TempDir dir;
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>'" + dir.path + "/err'",
                                  FPKEY_VERIFY_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = support::spawn(argv, dir.path + "/out");
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    err = support::readFile(dir.path + "/err");
    if (quiet) *quiet = support::readFile(dir.path + "/out").empty();
    return WEXITSTATUS(status);
}

TEST(VerifyProgram, ExitStatusAndOneLine) {
    const Signer k;
    const support::TempDir dir;
    const std::string file = dir.path + "/client-data";
    FILE* f = fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(kGood.data(), 1, kGood.size(), f);
    fclose(f);
    const std::vector<std::string> args{
        "assertion",           "--public-key",   k.pub,         "--client-data",        file,
        "--signature",         k.keyForm(kGood), "--challenge", "Zx9-0123456789abcdef", "--text",
        "Pay \"5\" \\ é / now"};
    std::string out;
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = args;
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    };
    bool quiet = false;
    EXPECT_EQ(run(with({"--origin", "https://shop.example"}), out, &quiet), 0);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(quiet);
    EXPECT_EQ(run(with({"--origin", "local"}), out, &quiet), 1);
    EXPECT_EQ(out, "fpkey-verify: origin: the client data names another origin\n");
    EXPECT_TRUE(quiet);
    EXPECT_EQ(run(with({"--origin", "local", "--origin", "local"}), out), 2);
    EXPECT_EQ(out.rfind("fpkey-verify: usage: --origin given twice\n", 0), 0u) << out;
    EXPECT_EQ(run(with({}), out), 2);
    EXPECT_EQ(out.rfind("fpkey-verify: usage: --origin is missing\n", 0), 0u) << out;

    const std::string sig = k.keyForm("pay");
    EXPECT_EQ(run({"signature", "--public-key", k.pub, "--signature", sig, "--text", "payee",
                   "--length", "3"},
                  out),
              0);
    EXPECT_EQ(run({"signature", "--public-key", k.pub, "--signature", sig, "--text", "pay",
                   "--length", "4"},
                  out),
              2);
}

// OpenSSL's own verdicts on vectors of another program, some spoiled (a bit
// of the message, r or s flipped, another key), signer IDs of other lengths.
TEST(VerifySignature, AgreesWithOpenSslOnGeneratedVectors) {
    const support::TempDir dir;
    const pid_t pid = support::spawn({FPK_SM2_VECTORS_PATH, "2000", "7"}, dir.path + "/v");
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string text = support::readFile(dir.path + "/v");
    // The members are hex and plain ID characters: nothing JSON escapes.
    auto field = [](const std::string& line, const std::string& name) {
        const size_t at = line.find("\"" + name + "\":\"");
        if (at == std::string::npos) return std::string();
        const size_t from = at + name.size() + 4;
        return line.substr(from, line.find('"', from) - from);
    };
    int seen[2] = {0, 0};
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        const bool valid = line.find("\"valid\":true") != std::string::npos;
        const Bytes msg = support::fromHex(field(line, "message"));
        const fpkverify::Check c =
            fpkverify::verifySignature(field(line, "publicKey"), msg.data(), msg.size(),
                                       field(line, "signature"), field(line, "id"));
        EXPECT_EQ(c.ok(), valid) << line << " " << c.reason;
        ++seen[valid];
    }
    EXPECT_EQ(seen[0] + seen[1], 2000);
    EXPECT_GT(seen[0], 100);
}

}  // namespace
