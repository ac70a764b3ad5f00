#include <gtest/gtest.h>

#include "service/options.h"

namespace {
bool parse(std::vector<const char*> args, const char* port, Options& o, std::string& e) {
    args.insert(args.begin(), "fpkeyd");
    return parseOptions(static_cast<int>(args.size()), args.data(), port, o, e);
}
}  // namespace

TEST(Options, DefaultsAndPortOverride) {
    Options o;
    std::string e;
    ASSERT_TRUE(parse({}, nullptr, o, e));
    EXPECT_EQ(o.port, 11230);
    EXPECT_TRUE(o.virtualKeys.empty());
    ASSERT_TRUE(parse({}, "40001", o, e));
    EXPECT_EQ(o.port, 40001);
    ASSERT_TRUE(parse({}, "", o, e));
    EXPECT_EQ(o.port, 11230);
    EXPECT_FALSE(parse({}, "0", o, e));
    EXPECT_FALSE(parse({}, "65536", o, e));
    EXPECT_FALSE(parse({}, "12ab", o, e));
}

TEST(Options, VirtualKeysRepeat) {
    Options o;
    std::string e;
    ASSERT_TRUE(
        parse({"--virtual-key", "/tmp/a.sock", "--virtual-key=/tmp/b.sock"}, nullptr, o, e));
    EXPECT_EQ(o.virtualKeys, (std::vector<std::string>{"/tmp/a.sock", "/tmp/b.sock"}));
    EXPECT_FALSE(parse({"--virtual-key"}, nullptr, o, e));
    EXPECT_FALSE(parse({"--virtual-key="}, nullptr, o, e));
    EXPECT_FALSE(parse({"--verbose"}, nullptr, o, e));
    EXPECT_NE(e.find("--verbose"), std::string::npos);
}
