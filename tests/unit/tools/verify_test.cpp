// fpkverify against signatures OpenSSL makes: the key's 32-byte DER form and
// the minimal one, the enrolment record, the assertion's exact clientData,
// and the program's lines and usage errors. (The finger suite runs the
// program and the Node verifier side by side on the key's own signatures.)
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "tests/support/support.h"
#include "tools/verify/verify.h"

namespace {

using fpkverify::Failed;
using support::Bytes;

// An SM2 key of OpenSSL's, its public key in hex and its signatures as
// text, in the key's form unless asked for minimal DER.
struct Signer : support::Sm2KeyPair {
    std::string pub = support::toHex(point());
    std::string keyForm(const std::string& msg) const {
        Bytes r, s;
        sign(support::bytesOf(msg), r, s);
        return derOf(r, s, false);
    }
    static std::string derOf(const Bytes& r, const Bytes& s, bool minimal) {
        return support::toHex(support::sm2SignatureDer(r, s, !minimal));
    }
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
        k.sign(support::bytesOf(msg), r, s);
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
    // What the finger suite's runs of both verifiers do not look at: the
    // line itself, a quiet standard output, and the usage errors.
    bool quiet = false;
    EXPECT_EQ(run(with({"--origin", "local"}), out, &quiet), 1);
    EXPECT_EQ(out, "fpkey-verify: origin: the client data names another origin\n");
    EXPECT_TRUE(quiet);
    EXPECT_EQ(run(with({"--origin", "local", "--origin", "local"}), out), 2);
    EXPECT_EQ(out.rfind("fpkey-verify: usage: --origin given twice\n", 0), 0u) << out;
    EXPECT_EQ(run(with({}), out), 2);
    EXPECT_EQ(out.rfind("fpkey-verify: usage: --origin is missing\n", 0), 0u) << out;
    EXPECT_EQ(run({"signature", "--public-key", k.pub, "--signature", k.keyForm("pay"), "--text",
                   "pay", "--length", "4"},
                  out),
              2);
}

}  // namespace
