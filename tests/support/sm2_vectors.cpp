// fpk-sm2-vectors: SM2 signatures over SM3(Z || M) made by OpenSSL, as JSON
// lines, for verifiers written without OpenSSL (web/verify.mjs) to be held
// against.
//
//   fpk-sm2-vectors N SEED
//       N lines {"publicKey","id","message"(hex),"signature"(DER hex),"valid"}:
//       random keys, messages of 0..300 bytes, mostly the default signer ID;
//       about a quarter spoiled (a bit of the message, r or s flipped, or
//       another key's public key) and marked valid:false. SEED picks the
//       messages, IDs and spoils; OpenSSL's keys and nonces stay random.
//   fpk-sm2-vectors --sign HEXMSG [--short]
//       one line {"publicKey","signature","keyForm"} signing HEXMSG with a
//       fresh key and the default ID; keyForm is the same signature with
//       both integers 32 bytes long, as the key writes them. --short signs
//       until r or s is below 2^247, so that keyForm keeps a zero byte
//       that minimal DER drops.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "tests/support/support.h"

namespace {

using support::Bytes;
using support::Sm2KeyPair;
using support::toHex;

const char kDefaultId[] = "1234567812345678";
// Random IDs take these, none of which JSON escapes.
const char kIdChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz@-_.";
constexpr unsigned long kMaxVectors = 1000000;
constexpr size_t kMaxMessage = 300;
constexpr int kVectorsPerKey = 8;

int vectors(unsigned long count, unsigned long seed) {
    std::mt19937_64 rng(seed);
    auto below = [&rng](uint64_t n) { return static_cast<size_t>(rng() % n); };
    std::unique_ptr<Sm2KeyPair> key;
    const Sm2KeyPair other;
    for (unsigned long i = 0; i < count; ++i) {
        if (i % kVectorsPerKey == 0) key = std::make_unique<Sm2KeyPair>();
        std::string id = kDefaultId;
        if (below(5) == 0) {
            id.clear();
            for (size_t k = below(33); k > 0; --k)
                id += kIdChars[below(sizeof kIdChars - 1)];
        }
        Bytes msg(below(kMaxMessage + 1));
        for (uint8_t& b : msg)
            b = static_cast<uint8_t>(rng());
        Bytes r, s;
        if (!key->sign(msg, r, s, id)) return 1;
        const Sm2KeyPair* shownKey = key.get();
        const bool valid = below(4) != 0;
        if (!valid) {
            switch (below(4)) {
                case 0:
                    if (!msg.empty()) {
                        msg[below(msg.size())] ^= static_cast<uint8_t>(1u << below(8));
                        break;
                    }
                    shownKey = &other;  // nothing to flip in an empty message
                    break;
                case 1:
                case 2: {
                    Bytes& v = below(2) == 1 ? s : r;
                    v[below(32)] ^= static_cast<uint8_t>(1u << below(8));
                    break;
                }
                default:
                    shownKey = &other;
            }
        }
        std::printf(
            "{\"publicKey\":\"%s\",\"id\":\"%s\",\"message\":\"%s\",\"signature\":\"%s\","
            "\"valid\":%s}\n",
            toHex(shownKey->point()).c_str(), id.c_str(), toHex(msg).c_str(),
            toHex(support::sm2SignatureDer(r, s, false)).c_str(), valid ? "true" : "false");
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int signOne(const Bytes& msg, bool shortInteger) {
    const Sm2KeyPair key;
    // r or s below 2^247 comes once in about 128 signatures.
    for (int tries = 0; tries < 100000; ++tries) {
        Bytes r, s;
        if (!key.sign(msg, r, s)) return 1;
        const auto below247 = [](const Bytes& v) { return v[0] == 0 && v[1] < 0x80; };
        if (shortInteger && !below247(r) && !below247(s)) continue;
        std::printf("{\"publicKey\":\"%s\",\"signature\":\"%s\",\"keyForm\":\"%s\"}\n",
                    toHex(key.point()).c_str(),
                    toHex(support::sm2SignatureDer(r, s, false)).c_str(),
                    toHex(support::sm2SignatureDer(r, s, true)).c_str());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    return 1;
}

bool number(const char* text, unsigned long& out) {
    char* end = nullptr;
    if (*text < '0' || *text > '9') return false;
    out = std::strtoul(text, &end, 10);
    return *end == '\0';
}

bool isHex(const char* text) {
    const size_t n = std::strlen(text);
    return n % 2 == 0 && std::strspn(text, "0123456789abcdefABCDEF") == n;
}

int usage() {
    std::fputs("usage: fpk-sm2-vectors N SEED | fpk-sm2-vectors --sign HEXMSG [--short]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--sign") == 0) {
        const bool shortInteger = argc == 4 && std::strcmp(argv[3], "--short") == 0;
        if (argc > 4 || (argc == 4 && !shortInteger) || !isHex(argv[2])) return usage();
        return signOne(support::fromHex(argv[2]), shortInteger);
    }
    unsigned long count = 0;
    unsigned long seed = 0;
    if (argc != 3 || !number(argv[1], count) || !number(argv[2], seed) || count > kMaxVectors)
        return usage();
    return vectors(count, seed);
}
