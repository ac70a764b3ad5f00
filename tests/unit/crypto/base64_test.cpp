#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <climits>

#include "crypto/crypto.h"
#include "tests/unit/crypto/testutil.h"

namespace {

std::string enc(const Bytes& in, bool lineBreaks = false, bool urlSafe = false) {
    int size = Base64EncodeRequireSize(static_cast<int>(in.size()), lineBreaks);
    std::string out(static_cast<size_t>(size) + 1, '#');
    const uint8_t dummy = 0;
    EXPECT_TRUE(Base64Encode(in.empty() ? &dummy : in.data(), static_cast<int>(in.size()), &out[0],
                             &size, lineBreaks, urlSafe));
    EXPECT_EQ(out.back(), '#') << "wrote past the required size";
    out.resize(static_cast<size_t>(size));
    return out;
}

bool dec(const std::string& text, Bytes& out, int capacity = 4096) {
    out.assign(static_cast<size_t>(capacity), 0);
    int size = capacity;
    bool ok = Base64Decode(text.data(), static_cast<int>(text.size()), out.data(), &size);
    if (ok) out.resize(static_cast<size_t>(size));
    return ok;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(enc(text(v.first)), v.second);
        Bytes out;
        ASSERT_TRUE(dec(v.second, out));
        EXPECT_EQ(out, text(v.first));
    }
}

TEST(Base64, RequiredSizes) {
    EXPECT_EQ(Base64EncodeRequireSize(1, false), 4);
    EXPECT_EQ(Base64EncodeRequireSize(3, false), 4);
    EXPECT_EQ(Base64EncodeRequireSize(4, false), 8);
    EXPECT_EQ(Base64EncodeRequireSize(57, true), 80);
    EXPECT_EQ(Base64EncodeRequireSize(0, true), 0);
    EXPECT_EQ(Base64EncodeRequireSize(INT_MAX, false), -1);  // beyond int: refused
    EXPECT_EQ(Base64EncodeRequireSize(1610612733, false), 2147483644);
    EXPECT_EQ(Base64DecodeRequireSize(5), 6);
    EXPECT_EQ(Base64DecodeRequireSize(8), 6);
}

TEST(Base64, LineBreaksAfterEveryFullLine) {
    Bytes b57(57, 0xAB), b58(58, 0xAB), b114(114, 0x01), b3(3, 0x00);
    std::string e57 = enc(b57, true);
    ASSERT_EQ(e57.size(), 78u);
    EXPECT_EQ(e57.substr(76), "\r\n");
    EXPECT_EQ(e57.substr(0, 76), enc(b57));
    std::string e58 = enc(b58, true);
    ASSERT_EQ(e58.size(), 82u);
    EXPECT_EQ(e58.substr(76, 2), "\r\n");
    EXPECT_EQ(e58.substr(80), "==");
    std::string e114 = enc(b114, true);
    EXPECT_EQ(e114.size(), 156u);
    EXPECT_EQ(e114.substr(76, 2), "\r\n");
    EXPECT_EQ(e114.substr(154), "\r\n");
    EXPECT_EQ(enc(b3, true), "AAAA");
    // 60 bytes: one full line, then a short last line without a break.
    std::string e60 = enc(Bytes(60, 0xFF), true);
    EXPECT_EQ(e60.size(), 82u);
    EXPECT_EQ(e60.find("\r\n"), 76u);
    EXPECT_EQ(e60.rfind("\r\n"), 76u);
}

TEST(Base64, UrlSafeAlphabet) {
    EXPECT_EQ(enc({0xFB, 0xFF}), "+/8=");
    EXPECT_EQ(enc({0xFB, 0xFF}, false, true), "-_8=");
    EXPECT_EQ(enc({0xFB, 0xEF, 0xBE}, false, true), "----");
    Bytes out;
    ASSERT_TRUE(dec("-_8=", out));
    EXPECT_EQ(out, Bytes({0xFB, 0xFF}));
}

TEST(Base64, TolerantDecoding) {
    Bytes out;
    ASSERT_TRUE(dec("Zm9v\r\nYmFy", out));
    EXPECT_EQ(out, text("foobar"));
    ASSERT_TRUE(dec(" Z m 9 v Y g", out));  // unpadded final pair
    EXPECT_EQ(out, text("foob"));
    ASSERT_TRUE(dec("Zm9vYmE", out));
    EXPECT_EQ(out, text("fooba"));
    ASSERT_TRUE(dec("Zm9vY", out));  // a lone final symbol yields nothing
    EXPECT_EQ(out, text("foo"));
    ASSERT_TRUE(dec(std::string("Zm9v\0YmFy", 9), out));  // zero byte ends the text
    EXPECT_EQ(out, text("foo"));
}

// Every byte in neither alphabet ('=' and the controls, space and bytes
// above 0x7F too) is skipped inside a group and between groups: taken as a
// digit it would change the bytes a page asked to have signed. A zero byte
// between groups is the one documented exception: it ends the text.
TEST(Base64, EveryByteOutsideBothAlphabetsIsSkipped) {
    const std::string alphabets =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/-_";
    int foreign = 0;
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        if (alphabets.find(c) != std::string::npos) continue;
        ++foreign;
        const std::string in = std::string("Z") + c + "m9v" + c + "Ym" + c + "Fy";
        Bytes out;
        ASSERT_TRUE(dec(in, out)) << b;
        EXPECT_EQ(out, text(b == 0 ? "foo" : "foobar")) << "byte " << b;
    }
    EXPECT_EQ(foreign, 256 - 66);
}

TEST(Base64, DecodeCapacityAndArguments) {
    Bytes out(8, 0x77);
    int size = 5;
    EXPECT_FALSE(Base64Decode("Zm9vYmFy", 8, out.data(), &size));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), text("foo"));  // first group stays
    EXPECT_EQ(out[3], 0x77);
    size = 6;
    EXPECT_TRUE(Base64Decode("Zm9vYmFy", 8, out.data(), &size));
    EXPECT_EQ(size, 6);
    EXPECT_FALSE(Base64Decode(nullptr, 8, out.data(), &size));
    EXPECT_FALSE(Base64Decode("Zm9v", 4, nullptr, &size));

    int needed = 0;
    EXPECT_FALSE(Base64::decodeBase64("Zm9vYmFy", out.data(), &(needed = 2)));
    EXPECT_EQ(needed, 6);
    EXPECT_FALSE(Base64::decodeBase64Ex("Zm9vYmF", 7, out.data(), &(needed = 2)));
    EXPECT_EQ(needed, 6);
}

TEST(Base64, EncodeCapacityAndWrappers) {
    Bytes in = text("foobar!");
    char out[16];
    int size = 11;  // required: 12
    memset(out, '#', sizeof out);
    EXPECT_FALSE(Base64Encode(in.data(), 7, out, &size, false, false));
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(Base64::encodeBase64(in.data(), 7), "Zm9vYmFyIQ==");
    EXPECT_EQ(Base64::encodeBase64(in.data(), 0), "");
    size = -1;
    EXPECT_FALSE(Base64::encodeBase64Ex(in.data(), 0, out, &size));
    EXPECT_EQ(size, 0);
    ASSERT_TRUE(Base64::encodeBase64Ex(in.data(), 7, out, &size));
    EXPECT_EQ(std::string(out, static_cast<size_t>(size)), "Zm9vYmFyIQ==");
}

TEST(Base64, RandomInputsMatchOpenSslAndRoundTrip) {
    std::mt19937 rng(40);
    for (size_t n = 1; n <= 2048; ++n) {
        Bytes in = randomBytes(rng, n);
        std::string ossl(4 * ((n + 2) / 3) + 1, '\0');
        int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&ossl[0]), in.data(),
                                  static_cast<int>(n));
        ossl.resize(static_cast<size_t>(len));
        ASSERT_EQ(enc(in), ossl) << n;
        Bytes back;
        ASSERT_TRUE(dec(enc(in, true, (n & 1) != 0), back)) << n;
        ASSERT_EQ(back, in) << n;
    }
}
