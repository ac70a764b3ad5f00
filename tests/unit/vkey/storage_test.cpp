// The key's state on disk: saved before the reply, complete after a reopen,
// refused (never replaced) when damaged.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "tests/unit/vkey/vk_helpers.h"

using namespace vkt;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct Opened {
    explicit Opened(const std::string& dir) : key(openKey(dir)), port(*key), c(port) {}
    std::unique_ptr<vkey::Key> key;
    EnginePort port;
    Client c;
};

TEST(VkeyStorage, EverythingAcknowledgedSurvivesAReopen) {
    TempDir dir;
    const std::string st = dir.path + "/state";
    Sm2Key k = sm2NewKey();
    Bytes cert = randomBytes(700), ef = randomBytes(64), fileData = randomBytes(20);
    uint16_t app = 0, con = 0;
    Bytes label = {'s', 'a', 'v', 'e', 'd'};
    {
        Opened o(st);
        Client& c = o.c;
        ASSERT_EQ(c.devAuth().sw, 0x9000);
        ASSERT_EQ(c.cmd(0x02, 0, 0, label).sw, 0x9000);
        Resp r = c.createApp("meboBaseApp", "admin", "314159", 8, 0xFF);
        ASSERT_EQ(r.sw, 0x9000);
        app = static_cast<uint16_t>(r.data[0] | r.data[1] << 8);
        ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
        r = c.createContainer(app, "axBaseCot");
        con = static_cast<uint16_t>(r.data[0] | r.data[1] << 8);
        Bytes d;
        le16(d, app);
        le16(d, con);
        Bytes imp = d;
        append(imp, k.x);
        append(imp, k.y);
        append(imp, k.d);
        ASSERT_EQ(c.cmd(0x73, 0, 0, imp).sw, 0x9000);
        Bytes ic = d;
        ic.push_back(1);
        le32(ic, static_cast<uint32_t>(cert.size()));
        append(ic, cert);
        ASSERT_EQ(c.cmd(0x4C, 0, 0, ic).sw, 0x9000);
        Bytes we = {0x51, 0x08, 0, 0, 64, 0};
        append(we, ef);
        ASSERT_EQ(c.cmd(0xD6, 0, 0, we).sw, 0x9000);
        Bytes cf;
        le16(cf, 2);
        append(cf, std::string("42"));
        le32(cf, 20);
        le32(cf, 0xFF);
        le32(cf, 0xFF);
        ASSERT_EQ(c.cmd(0x30, app & 0xFF, app >> 8, cf).sw, 0x9000);
        Bytes wf;
        le16(wf, app);
        le16(wf, 2);
        append(wf, std::string("42"));
        le32(wf, 0);
        le32(wf, 20);
        append(wf, fileData);
        ASSERT_EQ(c.cmd(0x3A, 0, 0, wf).sw, 0x9000);
        ASSERT_EQ(c.verifyPin(app, 1, "wrong").sw, 0x63C7);
    }
    Opened o(st);
    Client& c = o.c;
    EXPECT_EQ(c.cmd(0x04, 3, 0, {}).data, label);
    // The session is new: nothing open, nobody logged in.
    Bytes d;
    le16(d, app);
    le16(d, con);
    EXPECT_EQ(c.cmd(0x88, 0, 0, d).sw, 0x6A8B);
    ASSERT_EQ(c.appId("meboBaseApp"), app);
    Bytes pin;
    le16(pin, app);
    EXPECT_EQ(c.cmd(0x14, 0, 1, pin, 3).data, (Bytes{8, 7, 1}));
    ASSERT_EQ(c.openContainer(app, "axBaseCot").sw, 0x9000);
    Resp pub = c.cmd(0x88, 0, 0, d);
    ASSERT_EQ(pub.sw, 0x9000);
    EXPECT_EQ(Bytes(pub.data.begin() + 4, pub.data.begin() + 36), k.x);
    Bytes e = randomBytes(32);
    Bytes sd = d;
    le32(sd, 16);
    append(sd, std::string("1234567812345678"));
    append(sd, e);
    EXPECT_EQ(c.cmd(0x74, 2, 0, sd).sw, 0x6982);
    ASSERT_EQ(c.verifyPin(app, 1, "314159").sw, 0x9000);
    Resp s = c.cmd(0x74, 2, 0, sd);
    ASSERT_EQ(s.sw, 0x9000);
    EXPECT_TRUE(sm2Verify(k.x, k.y, e, Bytes(s.data.begin() + 4, s.data.begin() + 36),
                          Bytes(s.data.begin() + 36, s.data.end())));
    EXPECT_EQ(c.cmd(0x4E, 1, 0, d).data, cert);
    Resp re = c.cmd(0xD4, 0, 0, {0x51, 0x08, 0, 0, 0, 4}, 1024);
    EXPECT_EQ(Bytes(re.data.begin() + 2, re.data.end()), ef);
    Bytes rf;
    le16(rf, app);
    le16(rf, 2);
    append(rf, std::string("42"));
    le32(rf, 0);
    le32(rf, 20);
    EXPECT_EQ(c.cmd(0x38, 0, 0, rf).data, fileData);
}

TEST(VkeyStorage, ChangesReachTheDiskBeforeTheReply) {
    TempDir dir;
    const std::string st = dir.path + "/state";
    Opened o(st);
    ASSERT_EQ(o.c.devAuth().sw, 0x9000);
    Resp r = o.c.createApp("durable", "admin", "314159");
    ASSERT_EQ(r.sw, 0x9000);
    uint16_t app = static_cast<uint16_t>(r.data[0] | r.data[1] << 8);
    ASSERT_EQ(o.c.verifyPin(app, 1, "nope").sw, 0x63C7);
    // A copy of the file as it is right after the reply, opened as a key of
    // its own, already holds both changes.
    TempDir copy;
    const std::string st2 = copy.path + "/state";
    ASSERT_EQ(mkdir(st2.c_str(), 0700), 0);
    writeFile(st2 + "/key.state", readFile(st + "/key.state"));
    Opened o2(st2);
    ASSERT_EQ(o2.c.appId("durable"), app);
    Bytes pin;
    le16(pin, app);
    EXPECT_EQ(o2.c.cmd(0x14, 0, 1, pin, 3).data, (Bytes{8, 7, 1}));
    // Commands that change nothing leave the file as it is.
    std::string before = readFile(st + "/key.state");
    o.c.cmd(0x04, 0, 0, {});
    o.c.cmd(0x22, 0, 0, {});
    EXPECT_EQ(readFile(st + "/key.state"), before);
}

TEST(VkeyStorage, DamagedStateIsRefusedAndKept) {
    TempDir dir;
    const std::string st = dir.path + "/state";
    {
        Opened o(st);
        ASSERT_EQ(o.c.devAuth().sw, 0x9000);
        ASSERT_EQ(o.c.createApp("app", "a", "u").sw, 0x9000);
    }
    const std::string file = st + "/key.state";
    const std::string good = readFile(file);
    ASSERT_FALSE(good.empty());

    std::string flipped = good;
    size_t at = flipped.find("app ");
    ASSERT_NE(at, std::string::npos);
    flipped[at + 4] = flipped[at + 4] == '1' ? '2' : '1';
    std::string truncated = good.substr(0, good.size() / 2);
    std::string newer = good;
    newer.replace(0, newer.find('\n'), "fpkey-vkey-state 99");
    std::string foreign = "hello\n";

    for (const std::string& bad : {flipped, truncated, newer, foreign, std::string()}) {
        writeFile(file, bad);
        std::unique_ptr<vkey::Key> key;
        std::string err;
        vkey::OpenResult rc = vkey::Key::open(st, nullptr, key, err);
        EXPECT_EQ(rc, vkey::OpenResult::corrupt) << err;
        EXPECT_EQ(key, nullptr);
        EXPECT_NE(err.find("refusing"), std::string::npos) << err;
        EXPECT_EQ(readFile(file), bad);  // never replaced
    }
    writeFile(file, newer);
    std::unique_ptr<vkey::Key> key;
    std::string err;
    vkey::Key::open(st, nullptr, key, err);
    EXPECT_NE(err.find("newer"), std::string::npos) << err;

    writeFile(file, good);
    vkey::OpenResult rc;
    EXPECT_NE(openKey(st, &rc), nullptr);
    EXPECT_EQ(rc, vkey::OpenResult::ok);
}

TEST(VkeyStorage, OneKeyPerStateDirectoryAndFactoryDeviceKey) {
    TempDir dir;
    const std::string st = dir.path + "/state";
    vkey::OpenResult rc;
    auto first = openKey(st, &rc);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(rc, vkey::OpenResult::created);
    std::unique_ptr<vkey::Key> second;
    std::string err;
    EXPECT_EQ(vkey::Key::open(st, nullptr, second, err), vkey::OpenResult::busy);
    first.reset();

    // A blank key made with another device key answers to that key only.
    TempDir other;
    const uint8_t custom[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::unique_ptr<vkey::Key> key;
    ASSERT_EQ(vkey::Key::open(other.path + "/s", custom, key, err), vkey::OpenResult::created);
    EnginePort port(*key);
    Client c(port);
    EXPECT_EQ(c.devAuth().sw, 0x6300);
    EXPECT_EQ(c.devAuth(std::string(reinterpret_cast<const char*>(custom), 16)).sw, 0x9000);
}

}  // namespace
