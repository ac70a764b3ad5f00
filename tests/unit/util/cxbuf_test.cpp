#include <gtest/gtest.h>

#include "util/util.h"

TEST(CxBuf, SlicesFollowEachOtherAndRestartWhenFull) {
    uint8_t* base = cxBuf::init(256);
    EXPECT_EQ(cxBuf::left(), cxBuf::kSize - 256);
    uint8_t* a = cxBuf::mal(100);
    EXPECT_EQ(a, base + 256);
    uint8_t* b = cxBuf::mal(0);
    EXPECT_EQ(b, base + 356);
    cxBuf::add(44);
    EXPECT_EQ(cxBuf::mal(0), base + 400);

    unsigned wraps = cxBuf::wraps();
    uint8_t* c = cxBuf::mal(cxBuf::kSize - 100);  // does not fit after 400: restarts
    EXPECT_EQ(c, base);
    EXPECT_EQ(cxBuf::wraps(), wraps + 1);
}

TEST(CxBuf, RefusesWhatCanNeverFit) {
    cxBuf::init(0);
    EXPECT_EQ(cxBuf::mal(cxBuf::kSize + 1), nullptr);
    EXPECT_EQ(cxBuf::tryMal(cxBuf::kSize + 1), nullptr);
    cxBuf::init(cxBuf::kSize - 8);
    EXPECT_EQ(cxBuf::tryMal(9), nullptr);
    EXPECT_NE(cxBuf::tryMal(8), nullptr);
    EXPECT_EQ(cxBuf::left(), 0u);
}

TEST(CxBuf, InitClearsWholeArena) {
    uint8_t* p = cxBuf::init(0);
    memset(p, 0xAB, cxBuf::kSize);
    p = cxBuf::init(0);
    for (size_t i = 0; i < cxBuf::kSize; ++i)
        ASSERT_EQ(p[i], 0) << i;
}
