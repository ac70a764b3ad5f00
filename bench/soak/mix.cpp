// The commands a soak connection sends: information, signatures and
// decryptions in random proportions; every request carries its own
// randomId.
#include <json/writer.h>

#include "bench/soak/soak.h"
#include "tests/integration/keykit/keykit.h"

namespace soak {

namespace {

enum Kind {
    kVersion,
    kDevInfo,
    kClientId,
    kFacPub,
    kDevPub,
    kUserList,
    kEnumDevice,
    kFactorySign,
    kDeviceSign,
    kSm2Decrypt,
    kSm4Decrypt,
};

std::string write(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return Json::writeString(w, v);
}

Json::Value arrayOf(std::initializer_list<Json::Value> items) {
    Json::Value a(Json::arrayValue);
    for (const Json::Value& v : items)
        a.append(v);
    return a;
}

}  // namespace

Mix::Mix(const Reference& ref, const Weights& w, unsigned seed, std::string idPrefix,
         int verifyEvery)
    : ref_(ref),
      rng_(seed),
      prefix_(std::move(idPrefix)),
      pollEvery_(w.pollEvery),
      verifyEvery_(verifyEvery < 1 ? 1 : verifyEvery) {
    const std::pair<int, int> weights[] = {
        {w.version, kVersion},       {w.devInfo, kDevInfo},         {w.clientId, kClientId},
        {w.facPub, kFacPub},         {w.devPub, kDevPub},           {w.userList, kUserList},
        {w.enumDevice, kEnumDevice}, {w.factorySign, kFactorySign}, {w.deviceSign, kDeviceSign},
        {w.sm2Decrypt, kSm2Decrypt}, {w.sm4Decrypt, kSm4Decrypt},
    };
    for (const auto& [weight, kind] : weights) {
        if (weight <= 0) continue;
        total_ += weight;
        table_.emplace_back(total_, kind);
    }
}

bool Mix::nextIsPollCycle() {
    if (pollEvery_ <= 0) return false;
    return rng_() % static_cast<unsigned>(pollEvery_) == 0;
}

int Mix::depth(int maxDepth) {
    if (maxDepth <= 1) return 1;
    return 1 + static_cast<int>(rng_() % static_cast<unsigned>(maxDepth));
}

// Printable ASCII with now and then a two-byte UTF-8 letter, so that byte
// counts and character counts differ.
std::string Mix::text(size_t maxLen) {
    size_t n = 1 + rng_() % maxLen;
    std::string s;
    while (s.size() < n) {
        if (rng_() % 16 == 0)
            s += "\xC3\xA9";
        else
            s += static_cast<char>(' ' + rng_() % 95);
    }
    return s;
}

Pending Mix::make(const std::string& function, const Json::Value& params) {
    Pending p;
    p.id = prefix_ + "-" + std::to_string(++seq_);
    p.function = function;
    Json::Value req(Json::objectValue);
    req["function"] = function;
    req["params"] = params;
    req["randomId"] = p.id;
    p.request = write(req);
    return p;
}

Pending Mix::next() {
    int kind = table_.empty() ? kVersion : table_.back().second;
    if (total_ > 0) {
        const int r = static_cast<int>(rng_() % static_cast<unsigned>(total_));
        for (const auto& [upTo, k] : table_)
            if (r < upTo) {
                kind = k;
                break;
            }
    }
    switch (kind) {
        case kDevInfo: {
            // Levels 1 to 6: below 2 and above 5 are answered as 2 and 5.
            const int level = 1 + static_cast<int>(rng_() % 6);
            Pending p = make("GetDevInfo", arrayOf({level}));
            p.level = level;
            return p;
        }
        case kClientId:
            return make("GetClientID", Json::Value(Json::arrayValue));
        case kFacPub: {
            Pending p = make("GetFacPubKey", Json::Value(Json::arrayValue));
            p.expectText = ref_.facPub;
            return p;
        }
        case kDevPub: {
            Pending p = make("GetDevPubKey", Json::Value(Json::arrayValue));
            p.expectText = ref_.devPub;
            return p;
        }
        case kUserList:
            return make("GetUserList", Json::Value(Json::arrayValue));
        case kEnumDevice:
            return make("EnumDevice", Json::Value(Json::arrayValue));
        case kFactorySign:
        case kDeviceSign: {
            const std::string data = text(200);
            // Now and then only a prefix of the text is signed.
            size_t count = 0;
            if (rng_() % 4 == 0) count = 1 + rng_() % data.size();
            Json::Value params = arrayOf({data});
            if (count) params.append(static_cast<int>(count));
            Pending p = make(kind == kFactorySign ? "FactorySign" : "DeviceSign", params);
            const size_t n = count ? count : data.size();
            p.signedMessage.assign(data.begin(), data.begin() + static_cast<long>(n));
            p.verifySignature = ++signs_ % static_cast<unsigned long>(verifyEvery_) == 0;
            return p;
        }
        case kSm2Decrypt: {
            // Lengths of 1 modulo 4 are left out: a ciphertext that starts
            // with 04 would then be read as carrying the point's prefix.
            size_t n = 1 + rng_() % 128;
            if (n % 4 == 1) ++n;
            keykit::Bytes plain(n);
            for (uint8_t& b : plain)
                b = static_cast<uint8_t>(rng_());
            const keykit::Bytes cipher = keykit::sm2EncryptRaw(keykit::fromHex(ref_.devPub), plain);
            Pending p = make("Sm2Decrypt", arrayOf({keykit::toHex(cipher)}));
            p.expectText = keykit::toHex(plain);
            return p;
        }
        case kSm4Decrypt: {
            keykit::Bytes key(16), block(16);
            for (uint8_t& b : key)
                b = static_cast<uint8_t>(rng_());
            for (uint8_t& b : block)
                b = static_cast<uint8_t>(rng_());
            // A whole padding block after the data: 16 bytes remain, answered as hex.
            keykit::Bytes padded = block;
            padded.insert(padded.end(), 16, 0x10);
            const keykit::Bytes cipher = keykit::sm4EcbEncrypt(key, padded);
            Pending p = make("Sm4Decrypt", arrayOf({keykit::toHex(cipher), keykit::toHex(key)}));
            p.expectText = keykit::toHex(block);
            return p;
        }
        case kVersion:
        default: {
            Pending p = make("GetVersion", Json::Value(Json::objectValue));
            p.expectText = ref_.version;
            return p;
        }
    }
}

}  // namespace soak
