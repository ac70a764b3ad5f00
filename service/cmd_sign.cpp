// Signing and cipher commands.
#include <cctype>
#include <cstring>

#include "app/app.h"
#include "crypto/crypto.h"
#include "service/handlers.h"
#include "service/params.h"
#include "service/service.h"
#include "util/util.h"

namespace {

// Hex text to bytes into `out`, which holds max + 1 bytes: a text longer
// than max bytes shows as the extra byte. Returns the byte count, or -1
// when the text is longer than max.
int fromHex(const std::string& hex, uint8_t* out, int max) {
    int n = hex2asc(hex.data(), static_cast<int>(hex.size()), out, 0, static_cast<size_t>(max) + 1);
    return n > max ? -1 : n;
}

// Upper-case hex of n bytes.
std::string toHex(const uint8_t* bytes, int n) {
    std::string text(static_cast<size_t>(2 * n) + 1, '\0');
    int written = asc2hex(bytes, n, &text[0], 0);
    text.resize(static_cast<size_t>(written));
    return text;
}

// Base64 of n bytes taken into the scratch arena.
int base64Text(const uint8_t* bytes, int n, std::string& text) {
    int size = Base64EncodeRequireSize(n, false);
    if (size <= 0) return 121;
    // The arena may be short after a large message; a string holds the text.
    text.assign(static_cast<size_t>(size), '\0');
    if (!Base64::encodeBase64Ex(bytes, n, &text[0], &size)) return 121;
    text.resize(static_cast<size_t>(size));
    return 0;
}

// [container name, data in Base64], each null or a string.
bool isNameAndData(const Json::Value& p) {
    return params::isArrayOf(p, 2) && params::isStringOrNull(p[0]) && params::isStringOrNull(p[1]);
}

// Decodes the Base64 data into the scratch arena.
int decodeData(const Json::Value& v, uint8_t** data, int* length) {
    std::string text = v.isString() ? v.asString() : std::string();
    int cap = Base64DecodeRequireSize(static_cast<int>(text.size()));
    if (cap < 0 || static_cast<size_t>(cap) + 1 > cxBuf::kSize) return kBadLength;
    uint8_t* out = cxBuf::init(static_cast<size_t>(cap) + 1);
    int size = cap;
    if (cap > 0 && !Base64::decodeBase64Ex(text.data(), static_cast<int>(text.size()), out, &size))
        return kBadParam;
    *data = out;
    *length = cap > 0 ? size : 0;
    return 0;
}

// Texts only the daemon's own statements begin with: a server that
// requires this prefix knows that no signing command signed the text.
bool reservedText(const uint8_t* data, int length) {
    static const char kPrefix[] = "{\"type\":\"fpkey.";
    const int n = static_cast<int>(sizeof kPrefix - 1);
    return length >= n && memcmp(data, kPrefix, static_cast<size_t>(n)) == 0;
}

// A text shaped like the key's own enrolment record (a public key's 130
// hex digits, a record name, the key's serial), which a page must not have
// the device key sign: the record would no longer be the key's statement.
bool enrolmentShaped(const uint8_t* data, int length) {
    constexpr int kKeyDigits = 2 * kPubKeyLen;
    if (length <= kKeyDigits) return false;
    for (int i = 0; i < kKeyDigits; ++i)
        if (!isxdigit(data[i])) return false;
    char serial[128] = {};
    int serialLength = sizeof serial - 1;
    if (CNvId::getSN(serial, &serialLength) != 0) return true;  // unknown: refuse
    const size_t n = strnlen(serial, sizeof serial);
    return n == 0 || (static_cast<size_t>(length) > kKeyDigits + n &&
                      memcmp(data + length - n, serial, n) == 0);
}

// The container name and the decoded data of a [name, Base64 data] pair.
int nameAndData(const Json::Value& p, std::string& container, uint8_t** data, int* length) {
    if (!isNameAndData(p)) return kBadParams;
    container = p[0].isString() ? p[0].asString() : std::string();
    return decodeData(p[1], data, length);
}

}  // namespace

int SignInfo(const Json::Value& p, std::string& text, int mode) {
    if (!p.isArray() || p.size() == 0 || !p[0].isString()) return kBadParams;
    const char* begin = nullptr;
    const char* end = nullptr;
    p[0].getString(&begin, &end);
    int dataLength = static_cast<int>(end - begin);
    int length = 0;
    if (p.size() > 1) {
        if (!params::isInteger(p[1])) return kBadParams;
        length = p[1].asInt();
    }
    if (length == 0) length = dataLength;
    // Never sign past the end of the data given.
    if (length < 0 || length > dataLength) return kBadLength;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(begin ? begin : "");
    if (reservedText(data, length)) return kBadParam;
    const Client* client = currentClient();
    if (mode == 1 && client && !client->site.empty() && enrolmentShaped(data, length))
        return kBadParam;
    uint8_t* out = cxBuf::init(256);
    int rc;
    if (mode == 0)
        rc = CNvId::FacSign(data, length, out);
    else if (mode == 1)
        rc = CNvId::DevSign(data, length, out);
    else
        rc = CNvId::FpSign(data, length, out);
    if (rc != 0) return rc;
    int n = CNvId::packSign(out);
    text.assign(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
    return 0;
}

int Sm2Decrypt(const Json::Value& p, std::string& text) {
    if (!p.isArray() || p.size() == 0 || !p[0].isString()) return kBadParams;
    // C1 || C3 || C2 with at most 128 plaintext bytes and an optional 04.
    uint8_t cipher[1 + 96 + kSm2PlainMax + 1];
    int n = fromHex(p[0].asString(), cipher, sizeof cipher - 1);
    if (n < 0) return kBadParam;
    uint8_t plain[kSm2PlainMax];
    int plainLength = sizeof plain;
    int rc = CNvId::sm2Decrypt(cipher, n, plain, &plainLength);
    memset(cipher, 0, sizeof cipher);
    if (rc != 0) return rc;
    text = toHex(plain, plainLength);
    memset(plain, 0, sizeof plain);
    return 0;
}

int Sm4Decrypt(const Json::Value& p, std::string& text) {
    if (!params::isArrayOf(p, 2) || !p[0].isString() || !p[1].isString()) return kBadParams;
    uint8_t cipher[1 + kSm4OutMax + 1];
    int n = fromHex(p[0].asString(), cipher, sizeof cipher - 1);
    if (n < 0) return kBadParam;
    uint8_t key[64 + 1];
    int keyLength = fromHex(p[1].asString(), key, sizeof key - 1);
    if (keyLength < 0) return kBadParam;
    // A 16-byte key may come as the hex of its 32-digit hex text.
    if (keyLength == 32) {
        uint8_t inner[32];
        keyLength = hex2asc(reinterpret_cast<const char*>(key), 32, inner, 0, sizeof inner);
        memcpy(key, inner, sizeof inner);
        memset(inner, 0, sizeof inner);
    }
    uint8_t plain[kSm4OutMax + 1];
    int plainLength = sizeof plain;
    int rc = CNvId::sm4Decrypt(cipher, n, key, keyLength, plain, &plainLength);
    memset(key, 0, sizeof key);
    if (rc != 0) return rc;
    if (plainLength == 16)
        text = toHex(plain, 16);
    else
        text.assign(
            reinterpret_cast<const char*>(plain),
            strnlen(reinterpret_cast<const char*>(plain), static_cast<size_t>(plainLength)));
    memset(plain, 0, sizeof plain);
    return 0;
}

int rkLogin(const Json::Value& p, Json::Value& value) {
    if (!p.isArray() || p.size() < 2 || p.size() > 3) return kBadParams;
    for (const Json::Value& e : p)
        if (!params::isStringOrNull(e)) return kBadParams;
    auto text = [&](Json::ArrayIndex i) {
        return p[i].isString() ? p[i].asString() : std::string();
    };
    std::string second = text(1);
    int rc;
    if (p.size() == 3) {
        std::string name = text(0);
        std::string pin = text(2);
        rc = CNvId::rkLogin(name.c_str(), second.c_str(), pin.c_str());
        secureWipe(&pin[0], pin.size());
    } else {
        rc = CNvId::rkLogin(nullptr, second.c_str(), "");
    }
    if (rc != 0) return rc;
    value = Json::Value();
    return 0;
}

int startVerify(const Json::Value& p, Json::Value& value) {
    if (!p.isArray()) return kBadParams;
    if (p.size() > 0 && !params::isStringOrNull(p[0])) return kBadParams;
    std::string name;
    const char* arg = nullptr;
    if (p.size() > 0) {
        name = p[0].isString() ? p[0].asString() : std::string();
        arg = name.c_str();
    }
    int rc = CNvId::startVerify(arg);
    if (rc != 0) return rc;
    value = Json::Value();
    return 0;
}

int rkEnumContainer(const Json::Value&, Json::Value& value) {
    char* list = reinterpret_cast<char*>(cxBuf::init(1024));
    int length = 0;
    int rc = CNvId::rkEnumContainer(list, &length);
    if (rc != 0) return rc;
    if (length > kCotListMax) length = kCotListMax;
    Json::Value names(Json::arrayValue);
    int count = 0;
    int pos = 0;
    while (pos < length && list[pos]) {
        int n = static_cast<int>(strnlen(list + pos, static_cast<size_t>(length - pos)));
        std::string name(list + pos, static_cast<size_t>(n));
        if (name != CNvId::m_nvCotName) {
            names.append(name);
            ++count;
        }
        if (pos + n + 1 >= length) break;
        pos += n + 1;
    }
    value = Json::Value(Json::arrayValue);
    value.append(count);
    value.append(names);
    return 0;
}

int SignDataToPKCS7(const Json::Value& p, std::string& text) {
    std::string container;
    uint8_t* data = nullptr;
    int length = 0;
    int rc = nameAndData(p, container, &data, &length);
    if (rc != 0) return rc;
    if (reservedText(data, length)) return kBadParam;
    uint8_t* message = nullptr;
    int messageLength = 2048;
    rc = CNvId::SignDataToPKCS7(container.c_str(), data, length, &message, &messageLength);
    if (rc != 0) return rc;
    return base64Text(message, messageLength, text);
}

int SignDataNormal(const Json::Value& p, Json::Value& value) {
    std::string container;
    uint8_t* data = nullptr;
    int length = 0;
    int rc = nameAndData(p, container, &data, &length);
    if (rc != 0) return rc;
    if (reservedText(data, length)) return kBadParam;
    uint8_t signature[64];
    uint8_t* cert = nullptr;
    int certLength = 2048;
    rc = CNvId::SignDataNormal(container.c_str(), data, length, signature, &cert, &certLength);
    if (rc != 0) return rc;
    uint8_t der[72];
    int derLength = 0;
    if (makepkcs10(signature, der, &derLength) != 0) return kSignFail;
    std::string sigText, certText;
    rc = base64Text(der, derLength, sigText);
    if (rc == 0) rc = base64Text(cert, certLength, certText);
    if (rc != 0) return rc;
    Json::Value pair(Json::arrayValue);
    pair.append(sigText);
    pair.append(certText);
    value = Json::Value(Json::arrayValue);
    value.append(2);
    value.append(pair);
    return 0;
}
