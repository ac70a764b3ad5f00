#include "tests/unit/skf/oracle.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <stdexcept>

Bytes osslSha1(const Bytes& in) {
    Bytes out(20);
    SHA1(in.data(), in.size(), out.data());
    return out;
}

namespace {
Bytes sm4(const EVP_CIPHER* cipher, const Bytes& key, const uint8_t* iv, const Bytes& in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int n = 0, m = 0;
    if (EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
        EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx, out.data() + n, &m) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        throw std::runtime_error("openssl sm4");
    }
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n) + static_cast<size_t>(m));
    return out;
}
}  // namespace

Bytes osslSm4Ecb(const Bytes& key, const Bytes& in) {
    return sm4(EVP_sm4_ecb(), key, nullptr, in);
}

Bytes osslSm4Cbc(const Bytes& key, const Bytes& iv, const Bytes& in) {
    return sm4(EVP_sm4_cbc(), key, iv.data(), in);
}
