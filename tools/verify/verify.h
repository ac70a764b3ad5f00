// What a relying party checks of the key's signatures: SM2 over
// SM3(Z || M) with OpenSSL underneath (the daemon never links it), the
// enrolment record, and the assertion's exact clientData. Result codes
// only; every input is text from outside and is checked before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fpkverify {

// Which check failed, in the order an assertion is checked.
enum class Failed {
    None,
    PublicKey,      // not 04 || X || Y in hex, or not a point of the SM2 curve
    SignatureForm,  // not a well-formed signature text
    ClientData,     // not the daemon's exact clientData
    Origin,
    Challenge,
    Text,
    Signature,  // the SM2 check itself
};

// The check's name as fpkey-verify prints it ("public key", "signature
// form", ...); "" for None.
const char* checkName(Failed failed);

struct Check {
    Failed failed = Failed::None;
    std::string reason;  // one line, never a copy of the input
    bool ok() const { return failed == Failed::None; }
    const char* name() const { return checkName(failed); }
};

// The GM/T 0009 default signer ID, the one the key signs with.
constexpr char kDefaultSignerId[] = "1234567812345678";
// Longest clientData taken; the daemon's are well below.
constexpr size_t kClientDataMax = 4096;

// SM2 signature of `msg` by the key `publicKeyHex` (130 hex digits,
// 04 || X || Y, either case). The signature text is DER
// SEQUENCE { INTEGER r, INTEGER s } in hex, in the key's form (both
// integers kept at 32 bytes, leading zero bytes and all) or minimal DER.
Check verifySignature(const std::string& publicKeyHex, const uint8_t* msg, size_t n,
                      const std::string& signatureHex,
                      const std::string& signerId = kDefaultSignerId);

// The enrolment record: the device key's signature over the finger's
// public key as upper-case hex text || record name || the key's serial.
Check verifyEnrolment(const std::string& deviceKeyHex, const std::string& publicKeyHex,
                      const std::string& record, const std::string& serial,
                      const std::string& signinfoHex);

// What an assertion tells besides what the server asked for.
struct Assertion {
    std::string user;
    int finger = 0;  // 1..10
    std::string record;
    std::string serial;
    std::string shown;  // "desktop" or "page"
};

// FingerAssert's result: `clientData` must be exactly what the daemon
// writes, name `origin`, `challenge` and `text` byte for byte, and be
// signed by `publicKeyHex` (the key the server stored at enrolment).
// `out`, when given, is filled only when every check holds.
Check verifyAssertion(const std::string& publicKeyHex, const std::string& clientData,
                      const std::string& signatureHex, const std::string& origin,
                      const std::string& challenge, const std::string& text,
                      Assertion* out = nullptr);

// The SubjectPublicKeyInfo PEM (id-ecPublicKey, curve SM2) of a public key
// in hex; false when it is no point of the curve.
bool publicKeyPem(const std::string& publicKeyHex, std::string& pem);

}  // namespace fpkverify
