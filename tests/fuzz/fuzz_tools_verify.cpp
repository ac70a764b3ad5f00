// What a relying party reads from outside: the clientData and the signature
// text through fpkverify's checks. The input is clientData, a zero byte, then
// the signature text; the key is the curve's base point (a valid key whose
// signatures no input here can make).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/verify/verify.h"

namespace {
const char kBasePoint[] =
    "0432C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
    "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";

void mustBeSane(const fpkverify::Check& c) {
    // A failure always names its check in one line; nothing signed by the
    // base point's key reaches here.
    if (c.ok() || *c.name() == '\0' || c.reason.find('\n') != std::string::npos) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    const auto* zero = static_cast<const char*>(memchr(p, 0, size));
    const std::string clientData(p, zero ? static_cast<size_t>(zero - p) : size);
    const std::string signature = zero ? std::string(zero + 1, p + size) : std::string();
    fpkverify::Assertion out;
    mustBeSane(fpkverify::verifyAssertion(kBasePoint, clientData, signature, "https://a.example",
                                          "c2VydmVyLWNoYWxsZW5nZS0x", "", &out));
    mustBeSane(fpkverify::verifySignature(kBasePoint, data, size, signature));
    // The same text as a public key: anything but a point is refused.
    std::string pem;
    fpkverify::publicKeyPem(clientData, pem);
    return 0;
}
