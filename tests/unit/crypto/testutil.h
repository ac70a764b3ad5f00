// Helpers shared by the crypto tests: hex text, seeded random bytes and thin
// wrappers over OpenSSL, the independent implementation we compare against.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string toHex(const Bytes& b) {
    return toHex(b.data(), b.size());
}

inline Bytes randomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// Digest with OpenSSL (EVP_sm3(), EVP_sha1()).
inline Bytes osslDigest(const EVP_MD* md, const uint8_t* p, size_t n) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    if (EVP_Digest(p, n, out.data(), &len, md, nullptr) != 1) return {};
    out.resize(len);
    return out;
}

// Cipher without padding with OpenSSL; empty result on failure.
inline Bytes osslCipher(const EVP_CIPHER* c, bool encrypt, const uint8_t* key, const uint8_t* iv,
                        const Bytes& in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    bool ok = EVP_CipherInit_ex(ctx, c, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return {};
    out.resize(static_cast<size_t>(n1) + static_cast<size_t>(n2));
    return out;
}

// Guard bytes around a buffer: writes past either end are detected.
struct Guarded {
    static constexpr size_t kGuard = 32;
    static constexpr uint8_t kByte = 0xA5;
    Bytes raw;
    size_t n;
    explicit Guarded(size_t size) : raw(size + 2 * kGuard, kByte), n(size) {}
    uint8_t* data() { return raw.data() + kGuard; }
    bool intact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (raw[i] != kByte || raw[kGuard + n + i] != kByte) return false;
        return true;
    }
    Bytes bytes() const { return Bytes(raw.data() + kGuard, raw.data() + kGuard + n); }
};
