#include <gtest/gtest.h>

#include <json/reader.h>

#include <memory>
#include <random>
#include <string>

#include "service/service.h"
#include "service/writer.h"
#include "util/util.h"

namespace {
std::string text(const Json::Value& v) {
    std::string out;
    replywriter::write(v, out);
    return out;
}
Json::Value strings(int n, const std::string& s) {
    Json::Value a(Json::arrayValue);
    for (int i = 0; i < n; ++i)
        a.append(s);
    return a;
}
}  // namespace

TEST(ReplyWriter, EnvelopeOrderAndForm) {
    std::string r;
    makeJsonStr(r, "1.0.1.32 MEBO", "GetVersion", "42");
    EXPECT_EQ(r,
              R"({"function":"GetVersion","randomId":"42","result":"1.0.1.32 MEBO","reterr":0})");
    makeJsonErr(r, 164, "Foo", "");
    EXPECT_EQ(r, R"({"function":"Foo","result":"not find this function","reterr":164})");
    makeJsonErr(r, -63, "LoopVerify", "x");
    EXPECT_EQ(
        r, R"({"function":"LoopVerify","randomId":"x","result":"not find this err","reterr":-63})");
    makeJsonInt(r, 7, "f", "");
    EXPECT_EQ(r, R"({"function":"f","result":7,"reterr":0})");
    makeJsonJV(r, Json::Value(), "closeDevice", "");
    EXPECT_EQ(r, R"({"function":"closeDevice","result":null,"reterr":0})");
}

TEST(ReplyWriter, ShortArraysOnOneLineWithSpaces) {
    Json::Value two = strings(2, "ab");
    EXPECT_EQ(text(two), R"([ "ab", "ab" ])");
    std::string compact25 = "[";
    for (int i = 0; i < 25; ++i)
        compact25 += i ? R"(,"a")" : R"("a")";
    EXPECT_EQ(text(strings(25, "a")), compact25 + "]");
    Json::Value ones(Json::arrayValue);
    for (int i = 0; i < 23; ++i)
        ones.append(1);
    EXPECT_EQ(text(ones).substr(0, 7), "[ 1, 1,");  // 23 + 2 * 24 = 71 wide
    ones.append(1);
    EXPECT_EQ(text(ones).substr(0, 5), "[1,1,");  // 24 + 2 * 25 = 74 wide
    Json::Value empty(Json::arrayValue);
    EXPECT_EQ(text(empty), "[]");
    EXPECT_EQ(text(Json::Value(Json::objectValue)), "{}");
}

TEST(ReplyWriter, WidthRuleAtTheMargin) {
    // One string element: the line is its text plus four characters.
    Json::Value a(Json::arrayValue);
    a.append(std::string(68, 'x'));  // 68 + 2 + 4 = 74: not below the margin
    EXPECT_EQ(text(a), "[\"" + std::string(68, 'x') + "\"]");
    Json::Value b(Json::arrayValue);
    b.append(std::string(67, 'x'));  // 73: below
    EXPECT_EQ(text(b), "[ \"" + std::string(67, 'x') + "\" ]");
    // Escapes count with their written length.
    Json::Value c(Json::arrayValue);
    c.append(std::string(33, '\n'));  // 66 written characters + 2 + 4 = 72
    EXPECT_EQ(text(c).substr(0, 3), "[ \"");
    Json::Value d(Json::arrayValue);
    d.append(std::string(35, '\n'));  // 70 + 6 = 76
    EXPECT_EQ(text(d).substr(0, 2), "[\"");
}

TEST(ReplyWriter, NestedContainersForceCompactForm) {
    Json::Value names(Json::arrayValue);
    names.append("FingerPrint.Usb.0x2541.0x2549..01.03");
    Json::Value outer(Json::arrayValue);
    outer.append(1);
    outer.append(names);
    EXPECT_EQ(text(outer), R"([1,[ "FingerPrint.Usb.0x2541.0x2549..01.03" ]])");
    Json::Value withEmpty(Json::arrayValue);
    withEmpty.append(1);
    withEmpty.append(Json::Value(Json::arrayValue));
    withEmpty.append(Json::Value(Json::objectValue));
    EXPECT_EQ(text(withEmpty), "[ 1, [], {} ]");
    Json::Value obj(Json::objectValue);
    obj["b"] = 2;
    obj["a"] = Json::Value(Json::arrayValue);
    obj["a"].append(true);
    obj["a"].append(Json::Value());
    Json::Value arr(Json::arrayValue);
    arr.append(obj);
    EXPECT_EQ(text(arr), R"([{"a":[ true, null ],"b":2}])");
}

TEST(ReplyWriter, Escapes) {
    std::string s = "q\"b\\s/\b\f\n\r\t";
    s += '\x01';
    s += '\x1f';
    s += '\0';
    s += "\x7f\xe4\xb8\xad";
    EXPECT_EQ(text(Json::Value(s)),
              "\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001F\\u0000\x7f\xe4\xb8\xad\"");
}

// Valid UTF-8 goes out as it is; a string with any byte that breaks it goes
// out one character per byte, so the frame stays valid UTF-8.
TEST(ReplyWriter, BytesThatAreNotUtf8) {
    EXPECT_EQ(text(Json::Value("\xf0\x9f\x98\x80\xef\xbf\xbf")),
              "\"\xf0\x9f\x98\x80\xef\xbf\xbf\"");
    EXPECT_EQ(text(Json::Value("\xe4\xb8\xad\xff\n")), "\"\\u00E4\\u00B8\\u00AD\\u00FF\\n\"");
    // Overlong, surrogate, above U+10FFFF, cut short, a last byte that is
    // no continuation byte.
    for (const char* bad : {"\xc0\x80", "\xed\xb0\x80", "\xf4\x90\x80\x80", "\xe4\xb8",
                            "\xe4\xb8\x41", "\xf0\x9f\x98\x41"})
        EXPECT_EQ(text(Json::Value(bad)).find('\\'), 1u) << bad;
}

TEST(ReplyWriter, Numbers) {
    EXPECT_EQ(text(Json::Value(-2147483647 - 1)), "-2147483648");
    EXPECT_EQ(text(Json::Value(Json::UInt64(18446744073709551615ull))), "18446744073709551615");
    EXPECT_EQ(text(Json::Value(1.5)), "1.5");
    EXPECT_EQ(text(Json::Value(2.0)), "2.0");
    EXPECT_EQ(text(Json::Value(false)), "false");
}

// Every byte value survives the trip: a page's text goes in through the
// parser and comes back through the writer as the same bytes.
TEST(ReplyWriter, AnyBytesRoundTrip) {
    std::mt19937 rng(7);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (int round = 0; round < 2000; ++round) {
        std::string s;
        int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i)
            s += static_cast<char>(rng() % 256);
        std::string reply;
        makeJsonErr(reply, static_cast<int>(rng()), s, s.empty() ? "" : s + "#");
        ASSERT_EQ(reply.find('\n'), std::string::npos);
        Json::Value back;
        std::string errors;
        ASSERT_TRUE(reader->parse(reply.data(), reply.data() + reply.size(), &back, &errors))
            << errors << " in " << reply;
        const char* b = nullptr;
        const char* e = nullptr;
        ASSERT_TRUE(back["function"].getString(&b, &e));
        // What is not UTF-8 comes back one character per byte.
        auto expected = [](const std::string& t) {
            if (isUtf8(t.data(), t.size())) return t;
            std::string u;
            for (unsigned char c : t)
                u += c < 0x80 ? std::string(1, static_cast<char>(c))
                              : std::string{static_cast<char>(0xC0 | c >> 6),
                                            static_cast<char>(0x80 | (c & 0x3F))};
            return u;
        };
        ASSERT_EQ(std::string(b, e), expected(s));
        if (!s.empty()) {
            EXPECT_EQ(back["randomId"].asString(), expected(s + "#"));
        }
    }
}
