#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/util.h"

namespace {
std::vector<uint8_t> decode(const std::string& text, int flag = 0) {
    std::vector<uint8_t> out(text.size() + 64, 0xEE);
    int n = hex2asc(text.c_str(), static_cast<int>(text.size()), out.data(), flag, out.size());
    out.resize(static_cast<size_t>(n));
    return out;
}
std::string encode(const std::vector<uint8_t>& bytes, int mode) {
    std::string text(bytes.size() * 6 + 8, '#');
    int n = asc2hex(bytes.data(), static_cast<int>(bytes.size()), &text[0], mode);
    EXPECT_EQ(text[static_cast<size_t>(n)], '\0');
    text.resize(static_cast<size_t>(n));
    return text;
}
struct CaseGuard {
    bool capital = CBytesEx::S_bCapital;
    ~CaseGuard() { CBytesEx::S_bCapital = capital; }
};
}  // namespace

TEST(HexDigits, TestValueAndCase) {
    CaseGuard guard;
    for (char c : std::string("0123456789abcdefABCDEF"))
        EXPECT_TRUE(_isHexCh(c)) << c;
    for (char c : std::string("gGxX :/-\"\0", 10))
        EXPECT_FALSE(_isHexCh(c)) << int(c);
    EXPECT_EQ(_c2i('7'), 7);
    EXPECT_EQ(_c2i('b'), 11);
    EXPECT_EQ(_c2i('F'), 15);
    EXPECT_EQ(_c2i('z'), 0);
    CBytesEx::S_bCapital = true;
    EXPECT_EQ(_i2c(0xA5, 0), 'A');
    EXPECT_EQ(_i2c(0xA5, 1), '5');
    CBytesEx::S_bCapital = false;
    EXPECT_EQ(_i2c(0x3C, 1), 'c');
}

TEST(Asc2Hex, ThreeModes) {
    CaseGuard guard;
    CBytesEx::S_bCapital = true;
    EXPECT_EQ(encode({0x0A, 0x1B}, 0), "0A1B");
    EXPECT_EQ(encode({0x0A, 0x1B}, 1), "0A 1B");
    EXPECT_EQ(encode({0x0A, 0x1B}, 2), "0x0A,0x1B");
    CBytesEx::S_bCapital = false;
    EXPECT_EQ(encode({0xAB, 0xCD}, 0), "abcd");
}

TEST(Asc2Hex, CArrayBreaksLineAfterEverySixteenthByte) {
    std::vector<uint8_t> b(17);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<uint8_t>(i);
    std::string t17 = encode(b, 2);
    EXPECT_EQ(t17.substr(t17.size() - 11), "0x0F,\r\n0x10") << t17;
    b.resize(16);
    std::string t16 = encode(b, 2);
    EXPECT_EQ(t16.substr(t16.size() - 5), ",0x0F");
    EXPECT_EQ(t16.find('\r'), std::string::npos);
    b.resize(33);
    std::string t33 = encode(b, 2);
    EXPECT_EQ(std::count(t33.begin(), t33.end(), '\n'), 2);
}

TEST(Asc2Hex, NothingForEmptyOrMissing) {
    char text[8] = "xyz";
    uint8_t b = 1;
    EXPECT_EQ(asc2hex(&b, 0, text, 0), 0);
    EXPECT_EQ(asc2hex(nullptr, 1, text, 0), 0);
    EXPECT_EQ(asc2hex(&b, 1, nullptr, 0), 0);
}

TEST(Hex2Asc, SeparatorsPrefixesAndSingleDigits) {
    EXPECT_EQ(decode("0x0a, 0xff"), (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(decode("0AFF"), (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(decode("0A\r\n-FF;zz"), (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(decode("A"), (std::vector<uint8_t>{0x0A}));
    EXPECT_EQ(decode("A", 1), (std::vector<uint8_t>{0xA0}));
    EXPECT_EQ(decode("1 2 3"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(decode("ABC"), (std::vector<uint8_t>{0xAB, 0x0C}));
}

TEST(Hex2Asc, QuotedTextIsLiteral) {
    EXPECT_EQ(decode("\"ab\"01"), (std::vector<uint8_t>{0x61, 0x62, 0x01}));
    EXPECT_EQ(decode("01\"x y\"02"), (std::vector<uint8_t>{0x01, 'x', ' ', 'y', 0x02}));
}

TEST(Hex2Asc, RepeatCounts) {
    EXPECT_EQ(decode("00:4"), (std::vector<uint8_t>(4, 0)));
    EXPECT_EQ(decode("7F:1"), (std::vector<uint8_t>{0x7F}));
    EXPECT_EQ(decode("7F:0"), (std::vector<uint8_t>{0x7F}));
    EXPECT_EQ(decode("01:3 02"), (std::vector<uint8_t>{1, 1, 1, 2}));
}

TEST(Hex2Asc, NeverWritesPastTheOutput) {
    // A huge repeat count from page input must stop at the buffer's end.
    uint8_t out[10];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(hex2asc("AA:4000000000", 13, out, 0, 8), 8);
    EXPECT_EQ(out[7], 0xAA);
    EXPECT_EQ(out[8], 0xEE);
    // The four-argument form stays within `length` bytes.
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(hex2asc("55:99", 5, out, 0), 5);
    EXPECT_EQ(out[5], 0xEE);
    // Counting only.
    EXPECT_EQ(hex2asc("00:300", 6, nullptr, 0, 1000), 300);
}
