#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "service/options.h"
#include "site/site.h"

namespace {
std::string slurp(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

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

// The user's file is the daemon's to write, so an odd line in it costs only
// itself: its other sites stay allowed, and no rewrite loses the user's lines.
TEST(Options, UserFileKeepsEveryLineItWasGiven) {
    setenv("FPKEYD_LOG_CFG", "/nonexistent/fpkeyd-test/nuvolog.cfg", 1);
    char dir[] = "/tmp/fpkeyd-sites-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    OriginPolicy policy;
    policy.userFile = std::string(dir) + "/origins";
    const std::string sites =
        "# my sites\nhttps://a.example\nhttps://b.example  # the bank\n\nhttps://c.example\n";
    const std::string odd = sites + "https://caf\xc3\xa9.example\nhttps://d.example";
    std::ofstream(policy.userFile) << odd;
    setOriginPolicy(policy);
    testing::internal::CaptureStderr();
    for (const char* site :
         {"https://a.example", "https://b.example", "https://c.example", "https://d.example"})
        EXPECT_EQ(judgeSite(site), SiteVerdict::allowed) << site;
    EXPECT_EQ(judgeSite("https://new.example"), SiteVerdict::ask);
    rememberSite("https://new.example");
    EXPECT_EQ(slurp(policy.userFile), odd);
    EXPECT_EQ(judgeSite("https://new.example"), SiteVerdict::allowed);
    EXPECT_NE(revokeSite(policy, "https://a.example"), 0);
    EXPECT_EQ(slurp(policy.userFile), odd);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(policy.userFile + ":6: not an origin: https://caf\\xc3\\xa9.example"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("xn--"), std::string::npos) << said;
    EXPECT_EQ(said.find("skipped"), said.rfind("skipped")) << "once per change of the file";

    // Mended, the file gains the next site after every line it had.
    std::ofstream(policy.userFile) << sites;
    rememberSite("https://e.example");
    EXPECT_EQ(slurp(policy.userFile), sites + "https://e.example\n");
    EXPECT_EQ(revokeSite(policy, "https://b.example"), 0);
    EXPECT_EQ(slurp(policy.userFile),
              "# my sites\nhttps://a.example\n\nhttps://c.example\nhttps://e.example\n");
    setOriginPolicy(OriginPolicy());
    EXPECT_EQ(system((std::string("rm -rf '") + dir + "'").c_str()), 0);
}

// A default port goes only with its own scheme: allowing
// http://a.example:443 must not allow http://a.example.
TEST(Options, DefaultPortGoesOnlyWithItsScheme) {
    for (const char* origin : {"http://a.example:443", "https://a.example:80", "ws://a.example:443",
                               "wss://a.example:80"}) {
        std::string site;
        ASSERT_TRUE(normaliseOrigin(origin, site)) << origin;
        EXPECT_EQ(site, origin);
    }
}
