#include <gtest/gtest.h>

#include <string>

#include "service/service.h"

TEST(ResultCodes, MessagesOfEachGroup) {
    EXPECT_STREQ(nvGetErrMsg(110), "json is not mine");
    EXPECT_STREQ(nvGetErrMsg(111), "json params is not mine");
    EXPECT_STREQ(nvGetErrMsg(164), "not find this function");
    EXPECT_STREQ(nvGetErrMsg(102), "can not open device");
    EXPECT_STREQ(nvGetErrMsg(105), "invalid length");
    EXPECT_STREQ(nvGetErrMsg(14), "Sm4 Encrypt Error");
    EXPECT_STREQ(nvGetErrMsg(200), "just for test, not surport");
    EXPECT_STREQ(nvGetErrMsg(122), "App user locked");
    EXPECT_STREQ(nvGetErrMsg(201), "this dev is not for you");
    EXPECT_STREQ(nvGetErrMsg(0xE102), "No permission | Matching failed");
    EXPECT_STREQ(nvGetErrMsg(0xE1DD), "This product is for PC");
}

TEST(ResultCodes, SimilarTextsStayApart) {
    EXPECT_STREQ(nvGetErrMsg(5), "user canceled");
    EXPECT_STREQ(nvGetErrMsg(57623), "User Canceled");
    EXPECT_STREQ(nvGetErrMsg(10), "Enter the same fingerprint");
    EXPECT_STREQ(nvGetErrMsg(57607), "Enter the same fingerprint");
}

TEST(ResultCodes, UnknownCodes) {
    EXPECT_STREQ(nvGetErrMsg(0), "not find this err");
    EXPECT_STREQ(nvGetErrMsg(static_cast<uint32_t>(-63)), "not find this err");
    EXPECT_STREQ(nvGetErrMsg(8), "not find this err");
    EXPECT_STREQ(nvGetErrMsg(0x1E102), "not find this err");  // the whole code counts here
}

TEST(ResultCodes, EveryCodeHasItsOwnRecord) {
    const int codes[] = {110,    111,    164,    102,    103,    104,    105,    1,      2,
                         3,      4,      5,      6,      7,      10,     11,     12,     13,
                         14,     200,    106,    107,    108,    109,    121,    122,    201,
                         0xE101, 0xE102, 0xE103, 0xE104, 0xE105, 0xE106, 0xE107, 0xE108, 0xE109,
                         0xE10A, 0xE110, 0xE111, 0xE112, 0xE113, 0xE114, 0xE115, 0xE116, 0xE117,
                         0xE118, 0xE119, 0xE120, 0xE1CC, 0xE1DD};
    EXPECT_EQ(sizeof codes / sizeof codes[0], 50u);
    for (int c : codes) {
        std::string m = nvGetErrMsg(static_cast<uint32_t>(c));
        EXPECT_NE(m, "not find this err") << c;
        EXPECT_FALSE(m.empty()) << c;
    }
}

TEST(FingerprintTexts, LowSixteenBitsAndFallback) {
    EXPECT_STREQ(getfpErr(57619), "RET_FAIL_CUT_BLANK");
    EXPECT_STREQ(getfpErr(0x2E113), "RET_FAIL_CUT_BLANK");
    EXPECT_STREQ(getfpErr(1), "录入失败");
    EXPECT_STREQ(getfpErr(0xE117), "用户取消");
    EXPECT_STREQ(getfpErr(0xE104), "图像面积太小,可能手指按偏了");
    EXPECT_STREQ(getfpErr(0xE120), "读取flash出错");
    EXPECT_STREQ(getfpErr(0x1E1DD), "PC侧应用");
}
