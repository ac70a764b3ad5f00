// Status word to result code: every row of the conversion table and the
// special ranges.
#include <gtest/gtest.h>

#include "skf/skf.h"

namespace {

struct Row {
    unsigned int sw;
    uint32_t sar;
};

TEST(CosErrTest, ConversionTable) {
    const Row rows[] = {
        {0x9000, 0x00000000},
        {0x6700, 0x0A000010},
        {0x6982, 0x0A00002D},
        {0x6983, 0x0A000025},
        {0x6984, 0x0A000011},
        {0x6985, 0x0A000003},
        {0x6986, 0x0A000003},
        {0x6988, 0x0A000006},
        {0x698A, 0x0A00002E},
        {0x6A80, 0x0A000006},
        {0x6A81, 0x0A000003},
        {0x6A82, 0x0A000031},
        {0x6A84, 0x0A000030},
        {0x6A86, 0x0A000006},
        {0x6A88, 0x0A000011},
        {0x6A89, 0x0A00002C},
        {0x6A8A, 0x0A00002C},
        {0x6A8B, 0x0A00002E},
        {0x6A8C, 0x0A000021},
        {0x6A8D, 0x0A000011},
        {0x6A90, 0x0A00000D},
        {0x6A91, 0x0A00000D},
        {0x6A92, 0x0A00002F},
        {0x6A93, 0x0A000031},
        {0x6A94, 0x0A000011},
        {0x6A95, 0x0A00001B},
        {0x6A96, 0x0A00001C},
        {0x6A97, 0x0A000008},
        {0x6A99, 0x0A000021},
        {0x6A9A, 0x0A000018},
        {0x6A9B, 0x0A000019},
        {0x6A9D, 0x0A000013},
        {0x6A9F, 0x0A00001B},
        {0x6B00, 0x0A000010},
        {0x6E00, 0x0A000003},
        {0x6E01, 0x0A000020},
        {0x6E02, 0x0A00000D},
        // Ranges and unknown words.
        {0x9303, 0x0A000025},
        {0x6C10, 0x0A000010},
        {0x6C00, 0x0A000010},
        {0x6CFF, 0x0A000010},
        {0x6D00, 0x0C006D00},
        {0x6A9E, 0x0C006A9E},
        {0x6A98, 0x0C006A98},
        {0x0000, 0x0C000000},
    };
    for (const Row& r : rows) {
        unsigned int retry = 77;
        EXPECT_EQ(cvtCosErr17Code(r.sw, &retry), r.sar) << std::hex << r.sw;
        EXPECT_EQ(retry, 0u) << std::hex << r.sw;
        EXPECT_EQ(cvtCosErr17Code(r.sw, nullptr), r.sar) << std::hex << r.sw;
    }
}

TEST(CosErrTest, WrongPinCarriesRetriesLeft) {
    const struct {
        unsigned int sw, retries;
    } cases[] = {{0x63C3, 3}, {0x63C0, 0}, {0x63CF, 15}, {0x63FF, 63}};
    for (const auto& c : cases) {
        unsigned int retry = 99;
        EXPECT_EQ(cvtCosErr17Code(c.sw, &retry), SAR_PIN_INCORRECT);
        EXPECT_EQ(retry, c.retries);
    }
    EXPECT_EQ(cvtCosErr17Code(0x63BF, nullptr), 0x0C0063BFu);
}

}  // namespace
