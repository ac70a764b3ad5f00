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
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const char kDefaultId[] = "1234567812345678";
// Random IDs take these, none of which JSON escapes.
const char kIdChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz@-_.";
constexpr unsigned long kMaxVectors = 1000000;
constexpr size_t kMaxMessage = 300;
constexpr int kVectorsPerKey = 8;

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct SigFree {
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Sig = std::unique_ptr<ECDSA_SIG, SigFree>;

std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(2 * b.size());
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unhex(const char* text, Bytes& out) {
    const size_t n = std::strlen(text);
    if (n % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < n; i += 2) {
        const int hi = hexDigit(text[i]);
        const int lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

Pkey newKey() {
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    if (key && EVP_PKEY_is_a(key.get(), "SM2") != 1) key.reset();
    return key;
}

// "04" || X || Y.
bool publicPoint(EVP_PKEY* key, Bytes& out) {
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
              EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
    out.assign(65, 0x04);
    ok = ok && BN_bn2binpad(x, out.data() + 1, 32) == 32 &&
         BN_bn2binpad(y, out.data() + 33, 32) == 32;
    BN_free(x);
    BN_free(y);
    return ok;
}

// OpenSSL computes Z itself once told the ID; the signature is minimal DER.
bool sign(EVP_PKEY* key, const std::string& id, const Bytes& msg, Bytes& der) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t n = 0;
    bool ok = md != nullptr && pctx != nullptr &&
              EVP_PKEY_CTX_set1_id(pctx, id.data(), static_cast<int>(id.size())) > 0;
    if (ok) {
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        ok = EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
             EVP_DigestSign(md, nullptr, &n, msg.data(), msg.size()) == 1;
    }
    if (ok) {
        der.resize(n);
        ok = EVP_DigestSign(md, der.data(), &n, msg.data(), msg.size()) == 1;
        der.resize(n);
    }
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

Sig parseSig(const Bytes& der) {
    const uint8_t* p = der.data();
    return Sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
}

// DER with each INTEGER kept 32 bytes (0x00 in front only before a high
// bit): the key's form, which OpenSSL's own parser refuses.
bool keyForm(const ECDSA_SIG* sig, Bytes& out) {
    Bytes body;
    for (const BIGNUM* v : {ECDSA_SIG_get0_r(sig), ECDSA_SIG_get0_s(sig)}) {
        uint8_t be[32];
        if (BN_bn2binpad(v, be, sizeof be) != 32) return false;
        const bool pad = (be[0] & 0x80) != 0;
        body.push_back(0x02);
        body.push_back(pad ? 33 : 32);
        if (pad) body.push_back(0x00);
        body.insert(body.end(), be, be + sizeof be);
    }
    out = {0x30, static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return true;
}

// Flips one of the low 256 bits of r or s and writes minimal DER again.
bool flipSigBit(Bytes& der, bool inS, int bit) {
    Sig sig = parseSig(der);
    if (!sig) return false;
    BIGNUM* r = BN_dup(ECDSA_SIG_get0_r(sig.get()));
    BIGNUM* s = BN_dup(ECDSA_SIG_get0_s(sig.get()));
    BIGNUM* v = inS ? s : r;
    bool ok = r != nullptr && s != nullptr &&
              (BN_is_bit_set(v, bit) ? BN_clear_bit(v, bit) : BN_set_bit(v, bit)) == 1 &&
              ECDSA_SIG_set0(sig.get(), r, s) == 1;
    if (!ok) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    const int n = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (n <= 0) return false;
    der.resize(static_cast<size_t>(n));
    uint8_t* p = der.data();
    return i2d_ECDSA_SIG(sig.get(), &p) == n;
}

int vectors(unsigned long count, unsigned long seed) {
    std::mt19937_64 rng(seed);
    auto below = [&rng](uint64_t n) { return static_cast<size_t>(rng() % n); };
    Pkey key;
    Pkey other = newKey();
    Bytes pub;
    Bytes otherPub;
    if (!other || !publicPoint(other.get(), otherPub)) return 1;
    for (unsigned long i = 0; i < count; ++i) {
        if (i % kVectorsPerKey == 0) {
            key = newKey();
            if (!key || !publicPoint(key.get(), pub)) return 1;
        }
        std::string id = kDefaultId;
        if (below(5) == 0) {
            id.clear();
            for (size_t k = below(33); k > 0; --k)
                id += kIdChars[below(sizeof kIdChars - 1)];
        }
        Bytes msg(below(kMaxMessage + 1));
        for (uint8_t& b : msg)
            b = static_cast<uint8_t>(rng());
        Bytes der;
        if (!sign(key.get(), id, msg, der)) return 1;
        const Bytes* shownKey = &pub;
        const bool valid = below(4) != 0;
        if (!valid) {
            switch (below(4)) {
                case 0:
                    if (!msg.empty()) {
                        msg[below(msg.size())] ^= static_cast<uint8_t>(1u << below(8));
                        break;
                    }
                    shownKey = &otherPub;  // nothing to flip in an empty message
                    break;
                case 1:
                case 2:
                    if (!flipSigBit(der, below(2) == 1, static_cast<int>(below(256)))) return 1;
                    break;
                default:
                    shownKey = &otherPub;
            }
        }
        std::printf(
            "{\"publicKey\":\"%s\",\"id\":\"%s\",\"message\":\"%s\",\"signature\":\"%s\","
            "\"valid\":%s}\n",
            hex(*shownKey).c_str(), id.c_str(), hex(msg).c_str(), hex(der).c_str(),
            valid ? "true" : "false");
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int signOne(const Bytes& msg, bool shortInteger) {
    Pkey key = newKey();
    Bytes pub;
    if (!key || !publicPoint(key.get(), pub)) return 1;
    // r or s below 2^247 comes once in about 128 signatures.
    for (int tries = 0; tries < 100000; ++tries) {
        Bytes der;
        Bytes padded;
        if (!sign(key.get(), kDefaultId, msg, der)) return 1;
        Sig sig = parseSig(der);
        if (!sig || !keyForm(sig.get(), padded)) return 1;
        if (shortInteger && BN_num_bits(ECDSA_SIG_get0_r(sig.get())) > 247 &&
            BN_num_bits(ECDSA_SIG_get0_s(sig.get())) > 247)
            continue;
        std::printf("{\"publicKey\":\"%s\",\"signature\":\"%s\",\"keyForm\":\"%s\"}\n",
                    hex(pub).c_str(), hex(der).c_str(), hex(padded).c_str());
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

int usage() {
    std::fputs("usage: fpk-sm2-vectors N SEED | fpk-sm2-vectors --sign HEXMSG [--short]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--sign") == 0) {
        Bytes msg;
        const bool shortInteger = argc == 4 && std::strcmp(argv[3], "--short") == 0;
        if (argc > 4 || (argc == 4 && !shortInteger) || !unhex(argv[2], msg)) return usage();
        return signOne(msg, shortInteger);
    }
    unsigned long count = 0;
    unsigned long seed = 0;
    if (argc != 3 || !number(argv[1], count) || !number(argv[2], seed) || count > kMaxVectors)
        return usage();
    return vectors(count, seed);
}
