#include <gtest/gtest.h>

#include <string>

#include "util/util.h"

TEST(Str2i, DecimalHexAndEndOfNumber) {
    EXPECT_EQ(str2i("12", false, true, 0), 12u);
    EXPECT_EQ(str2i("0x10", false, true, 0), 16u);
    EXPECT_EQ(str2i("0x1F", false, false, 0), 31u);
    EXPECT_EQ(str2i("ff", true, true, 0), 255u);
    EXPECT_EQ(str2i("12ab", false, true, 0), 12u);  // decimal: a letter ends the number
    EXPECT_EQ(str2i("12345", false, true, 3), 123u);
    EXPECT_EQ(str2i("4294967297", false, true, 0), 1u);  // wraps modulo 2^32
    EXPECT_EQ(str2i("", false, true, 0), 0u);
    EXPECT_EQ(str2i(nullptr, false, true, 0), 0u);
}

TEST(Str2i, ExpressionsOnlyWhenNotStrict) {
    EXPECT_EQ(str2i("10*3/2", false, false, 0), 15u);
    EXPECT_EQ(str2i(" 1 0 * 4", false, false, 0), 40u);
    EXPECT_EQ(str2i("10*3/2", false, true, 0), 10u);
    EXPECT_EQ(str2i(" 7", false, true, 0), 0u);
    EXPECT_EQ(str2i("9/0", false, false, 0), 0u);  // no trap on a zero divisor
}

TEST(I2str, DigitsMostSignificantFirst) {
    char t[16];
    EXPECT_EQ(i2str(0, t, false), 1);
    EXPECT_STREQ(t, "0");
    EXPECT_EQ(i2str(4294967295u, t, false), 10);
    EXPECT_STREQ(t, "4294967295");
    EXPECT_EQ(i2str(0xBEEF, t, true), 4);
    EXPECT_STREQ(t, "BEEF");
    EXPECT_EQ(i2str(5, nullptr, false), 0);
}

TEST(Dec2asc, RunsBecomeBytes) {
    uint8_t out[8] = {0};
    EXPECT_EQ(dec2asc("1, 2,255 -1 x-16", out), 5);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(out[2], 255);
    EXPECT_EQ(out[3], 255);
    EXPECT_EQ(out[4], 240);
    EXPECT_EQ(dec2asc("none", out), 0);
}

TEST(BcdToStr, NibblesAsDigits) {
    const uint8_t bcd[] = {0x20, 0x26, 0x12, 0x9A};
    char out[9];
    memset(out, '#', sizeof out);
    EXPECT_EQ(BcdToStr(bcd, 4, out), 8);
    EXPECT_EQ(std::string(out, 8), "2026129:");
    EXPECT_EQ(out[8], '#');  // no terminator
}
