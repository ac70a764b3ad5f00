#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "util/util.h"

namespace {
std::vector<uint8_t> seq(int n) {
    std::vector<uint8_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] = static_cast<uint8_t>(i + 1);
    return v;
}
}  // namespace

TEST(SwapFlow, ReverseWhole) {
    auto v = seq(5);
    swapFlow(v.data(), 5);
    EXPECT_EQ(v, (std::vector<uint8_t>{5, 4, 3, 2, 1}));
    auto w = seq(6);
    EXPECT_EQ(cvtflow(w.data(), 6), 3);
    EXPECT_EQ(w, (std::vector<uint8_t>{6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(convertFlow(w.data(), 5), 2);
    EXPECT_EQ(w, (std::vector<uint8_t>{2, 3, 4, 5, 6, 1}));
}

TEST(SwapFlow, Groups) {
    // Positive group: each group reversed, then everything: group order flips.
    auto v = seq(7);
    swapFlow(v.data(), 7, 2);
    EXPECT_EQ(v, (std::vector<uint8_t>{7, 5, 6, 3, 4, 1, 2}));
    // Negative group: the leading remainder then whole groups.
    auto w = seq(7);
    swapFlow(w.data(), 7, -2);
    EXPECT_EQ(w, (std::vector<uint8_t>{6, 7, 4, 5, 2, 3, 1}));
    auto u = seq(4);
    swapFlow(u.data(), 4, 0);
    EXPECT_EQ(u, seq(4));
}

TEST(SwapFlow, ExchangeTwoBuffers) {
    auto a = seq(3);
    std::vector<uint8_t> b{9, 9, 9};
    swapFlow(a.data(), b.data(), 3);
    EXPECT_EQ(a, (std::vector<uint8_t>{9, 9, 9}));
    EXPECT_EQ(b, seq(3));
}

TEST(Asciiget, DropsLineBreaks) {
    char out[16];
    EXPECT_EQ(asciiget("ab\r\ncd\n", 7, out), 4);
    EXPECT_STREQ(out, "abcd");
}

TEST(Mixmemcpy, OverlapBothWays) {
    char buf[] = "abcdefgh";
    EXPECT_EQ(mixmemcpy(buf + 2, buf, 5), buf + 2);
    EXPECT_STREQ(buf, "ababcdeh");
    char buf2[] = "abcdefgh";
    mixmemcpy(buf2, buf2 + 3, 5);
    EXPECT_STREQ(buf2, "defghfgh");
    EXPECT_EQ(mixmemcpy(nullptr, buf, 1), nullptr);
    EXPECT_EQ(mixmemcpy(buf, nullptr, 1), nullptr);
}

TEST(Compare, PwdBytecmpAndMembership) {
    const uint8_t a[] = {1, 2, 3, 4};
    const uint8_t b[] = {1, 2, 3, 5};
    EXPECT_EQ(pwdcmp(a, b, 3), 0);
    EXPECT_EQ(pwdcmp(a, b, 4), 1);
    EXPECT_EQ(pwdcmp(a, a, 0), 0);
    const uint8_t z[] = {0, 0, 0, 7};
    EXPECT_EQ(bytecmp(z, 0, 3), 0);
    EXPECT_EQ(bytecmp(z, 0, 4), 1);
    EXPECT_EQ(IsCharacterInBuffer(z, 7, 4), 1);
    EXPECT_EQ(IsCharacterInBuffer(z, 7, 3), 0);
    EXPECT_EQ(IsCharacterInBuffer(nullptr, 7, 3), 0);
}

TEST(Bounds, FitsIn) {
    EXPECT_TRUE(fitsIn(0, 10, 10));
    EXPECT_TRUE(fitsIn(10, 0, 10));
    EXPECT_FALSE(fitsIn(1, 10, 10));
    EXPECT_FALSE(fitsIn(11, 0, 10));
    EXPECT_FALSE(fitsIn(5, SIZE_MAX, 10));  // no wrap-around
}
