#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/util.h"

namespace {
// Every test starts from the service's process-wide setting.
class BytesEx : public ::testing::Test {
  protected:
    void SetUp() override { CBytesEx::s_SetSpace(false, true); }
    void TearDown() override { CBytesEx::s_SetSpace(true, true); }
    static std::string hex(const CBytesEx& v) { return std::string(v.getHexPtr(), v.getLen(1)); }
    static std::string bytes(const CBytesEx& v) {
        return std::string(reinterpret_cast<const char*>(v.getBytesPtr()), v.getLen(0));
    }
};
}  // namespace

TEST_F(BytesEx, BytesToTextFollowsSpaceFlag) {
    const uint8_t b[] = {0x0A, 0xFF};
    CBytesEx v;
    v.setBytes(b, 2, 0);
    EXPECT_EQ(hex(v), "0AFF");
    v.setSpace(true, false);
    v.setBytes(b, 2, 0);
    EXPECT_EQ(hex(v), "0A FF");
    // Binary input never takes the C-array form, and a reallocation clears
    // the flag; update after setting it again does.
    v.setSpace(true, true);
    v.setBytes(b, 2, 0);
    EXPECT_EQ(hex(v), "0A FF");
    EXPECT_EQ(v.update(2), 2);
    EXPECT_EQ(hex(v), "0A FF");
    v.setSpace(true, true);
    EXPECT_EQ(v.update(2), 2);
    EXPECT_EQ(hex(v), "0x0A,0xFF");
}

TEST_F(BytesEx, DefaultsApplyToNewObjects) {
    CBytesEx::s_SetSpace(true, false);
    const uint8_t b[] = {0xAB, 0xCD};
    CBytesEx v(b, 2, 0);
    EXPECT_EQ(hex(v), "ab cd");
}

TEST_F(BytesEx, TextToBytes) {
    CBytesEx v;
    v.setHex("0x0a, 0xff", -1);
    EXPECT_EQ(bytes(v), std::string("\x0a\xff", 2));
    EXPECT_EQ(hex(v), "0x0a, 0xff");  // the text is kept as given
    v.setHex("0AFF", 0);
    EXPECT_EQ(bytes(v), std::string("\x0a\xff", 2));
    v.setHex("A", -1);
    EXPECT_EQ(bytes(v), std::string("\x0a", 1));
    v.setHex("00:4", -1);
    EXPECT_EQ(bytes(v), std::string(4, '\0'));
    v.setHex("7F:1", -1);
    EXPECT_EQ(bytes(v), "\x7f");
    v.setHex("\"ab\"01", -1);
    EXPECT_EQ(bytes(v), "ab\x01");
    v.setStr("1234", 1);
    EXPECT_EQ(bytes(v), "\x12\x34");
    v.setStr("1234", 0);
    EXPECT_EQ(bytes(v), "1234");
    EXPECT_EQ(hex(v), "31323334");
    EXPECT_EQ(v.setStr(nullptr, 0), 0);
    EXPECT_EQ(bytes(v), "1234");
}

TEST_F(BytesEx, RepeatCountsBeyondTheStorageRuleStillFit) {
    CBytesEx v;
    v.setHex("FF:200", -1);
    ASSERT_EQ(v.getLen(0), 200);
    EXPECT_EQ(bytes(v), std::string(200, '\xff'));
    EXPECT_EQ(v.getBytesPtr()[200], 0);
    // An absurd count is cut, not honoured.
    v.setHex("00:4000000000", -1);
    EXPECT_LE(v.getLen(0), 1 << 20);
}

TEST_F(BytesEx, ReuseAndReallocation) {
    uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint8_t big[100] = {0};
    CBytesEx v(ten, 10, 0);
    uint8_t* first = v.getBytesPtr();
    char* firstHex = v.getHexPtr();
    v.Set(ten, 5, 0);
    EXPECT_EQ(v.getBytesPtr(), first);
    EXPECT_EQ(v.getHexPtr(), firstHex);
    EXPECT_EQ(hex(v), "0102030405");
    EXPECT_EQ(firstHex[10], 0);  // the rest of the old text was cleared
    v.Set(big, 100, 0);
    EXPECT_EQ(v.getLen(0), 100);
    EXPECT_EQ(v.getLen(1), 200);
}

TEST_F(BytesEx, EqualityIgnoresTextForm) {
    const uint8_t b[] = {1, 2, 3};
    CBytesEx a(b, 3, 0);
    CBytesEx s;
    s.setSpace(true, false);
    s.Set(b, 3, 0);
    EXPECT_NE(hex(a), hex(s));
    EXPECT_TRUE(a == s);
    CBytesEx shorter(b, 2, 0);
    EXPECT_TRUE(a != shorter);
    CBytesEx e1, e2;
    EXPECT_TRUE(e1 == e2);
}

TEST_F(BytesEx, CopiesTakeValueNotArrays) {
    const uint8_t b[] = {1, 2, 3, 4};
    CBytesEx a(b, 4, 0);
    CBytesEx part(a, 2);
    EXPECT_EQ(hex(part), "0102");
    CBytesEx whole(a);
    EXPECT_EQ(hex(whole), "01020304");
    EXPECT_NE(whole.getBytesPtr(), a.getBytesPtr());
    CBytesEx tooLong(a, 99);  // asks for more than there is: takes what there is
    EXPECT_EQ(tooLong.getLen(0), 4);
    CBytesEx c;
    c = a;
    EXPECT_TRUE(c == a);
    const CBytesEx& same = c;  // self-assignment, through a second name
    c = same;
    EXPECT_EQ(hex(c), "01020304");
    CBytesEx slice;
    slice.Set(a, 2, 1);
    EXPECT_EQ(hex(slice), "0203");
    slice.Set(a, 5, 3);  // clamped to the end
    EXPECT_EQ(hex(slice), "04");
    slice.Set(a, 1, 9);  // offset past the end: empty
    EXPECT_EQ(slice.getLen(0), 0);
}

TEST_F(BytesEx, SetFromItsOwnBytes) {
    CBytesEx v;
    v.setHex("0102030405", -1);
    v.Set(v.getBytesPtr() + 1, 3, 0);
    EXPECT_EQ(hex(v), "020304");
    v.Set(v, 2, 1);
    EXPECT_EQ(hex(v), "0304");
}

TEST_F(BytesEx, ReserveCopyUpdate) {
    CBytesEx v(16);
    EXPECT_EQ(v.getLen(0), 0);
    const uint8_t b[] = {0xDE, 0xAD};
    EXPECT_EQ(v.cp(b, 2, 3), 2);
    EXPECT_EQ(v.getLen(0), 0);  // cp changes no length
    EXPECT_EQ(v.update(5), 5);
    EXPECT_EQ(hex(v), "000000DEAD");
    EXPECT_EQ(v.update(0), 0);
    EXPECT_EQ(hex(v), "000000DEAD");
    EXPECT_EQ(v.cp(b, 2, 100), 0);    // outside the array: refused
    EXPECT_LT(v.update(1000), 1000);  // clamped to the array
}

TEST_F(BytesEx, CArrayTextGrowsItsBuffer) {
    uint8_t b[64];
    for (int i = 0; i < 64; ++i)
        b[i] = static_cast<uint8_t>(i);
    CBytesEx v(b, 64, 0);
    v.setSpace(true, true);
    v.update(64);
    std::string t = hex(v);
    EXPECT_EQ(t.substr(0, 10), "0x00,0x01,");
    EXPECT_EQ(t.substr(t.size() - 4), "0x3F");
    EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 3);
}

TEST_F(BytesEx, GettersAndEmptyObject) {
    CBytesEx e;
    EXPECT_EQ(e.getBytes(nullptr), 0);
    EXPECT_EQ(e.getHex(nullptr), 0);
    EXPECT_STREQ(e.getStrPtr(), "");
    EXPECT_STREQ(e.getHexPtr(), "");
    EXPECT_STREQ(*e, "");

    CBytesEx v;
    v.setHex("41420043", -1);
    char out[16];
    memset(out, '#', sizeof out);
    EXPECT_EQ(v.getBytes(out), 4);
    EXPECT_EQ(memcmp(out, "AB\0C", 4), 0);
    memset(out, '#', sizeof out);
    EXPECT_EQ(v.getHex(out), 8);
    EXPECT_EQ(out[8], '#');
    EXPECT_EQ(v.getStr(out), 2);
    EXPECT_STREQ(out, "AB");
    EXPECT_EQ(v.getLen(1), 8);
    EXPECT_EQ(v.getLen(0), 4);
}
