// The fingerprint module and the vault at frame level, in process: the
// test's own frame builder in, every reply frame the key sends out.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/unit/vkey/vk_helpers.h"

using namespace vkt;

namespace {

constexpr uint16_t kEnroll = 0x0000, kVerify = 0x0001, kDelete = 0x0004, kCount = 0x000A,
                   kLogout = 0x000B, kEnrollEx = 0x000F, kFlash = 0x0010, kChip = 0x0020;

// One key and everything it sends.
struct Module {
    explicit Module(const std::string& dir) : key(openKey(dir)) {}
    std::unique_ptr<vkey::Key> key;
    Collect out;

    // Sends one request; returns the frames it caused.
    std::vector<ModuleReply> send(uint8_t channel, uint8_t seq, const Bytes& payload,
                                  uint8_t cipher = 0) {
        Bytes f = makeFrame(channel, seq, payload);
        if (cipher != 0) {
            f[4] = cipher;
            uint16_t sum = fletcher(f.data() + 1, f.size() - 4);
            f[f.size() - 3] = static_cast<uint8_t>(sum >> 8);
            f[f.size() - 2] = static_cast<uint8_t>(sum);
        }
        return collect([&] { key->receive(f.data(), f.size(), out); });
    }
    std::vector<ModuleReply> fp(uint8_t seq, uint16_t cmd, const Bytes& data = {}) {
        return send(6, seq, modulePayload(cmd, data));
    }
    std::vector<ModuleReply> touch(const std::string& finger) {
        return collect([&] { EXPECT_TRUE(key->touch(finger, out)); });
    }
    template <class F>
    std::vector<ModuleReply> collect(F f) {
        out.frames.clear();
        f();
        std::vector<ModuleReply> r;
        for (const Bytes& b : out.frames)
            r.push_back(parseModuleReply(b));
        return r;
    }
    // One whole enrolment of `finger`; the template number, or -1.
    int enrol(const std::string& finger, uint8_t seq = 1) {
        if (!fp(seq, kEnroll).empty()) return -1;
        std::vector<ModuleReply> last;
        for (int i = 0; i < 6; ++i)
            last = touch(finger);
        if (last.size() != 1 || last[0].cont != 0 || last[0].status != 0 ||
            last[0].data.size() != 1)
            return -1;
        return last[0].data[0];
    }
    Bytes count() {
        auto r = fp(9, kCount);
        return r.size() == 1 && r[0].status == 0 ? r[0].data : Bytes();
    }
};

TEST(VkeyFinger, EnrolmentReportsFiveStepsThenTheTemplate) {
    TempDir dir;
    Module m(dir.path + "/s");
    Bytes blank = m.count();
    ASSERT_EQ(blank.size(), 66u);
    EXPECT_EQ(blank[0], 64);
    EXPECT_EQ(blank[1], 0);
    EXPECT_EQ(Bytes(blank.begin() + 2, blank.end()), Bytes(64, 0));

    EXPECT_TRUE(m.fp(42, kEnroll).empty());  // the module waits for a finger
    for (uint8_t left = 5; left >= 1; --left) {
        auto r = m.touch("alice-thumb");
        ASSERT_EQ(r.size(), 1u);
        EXPECT_TRUE(r[0].ok);
        EXPECT_EQ(r[0].channel, 6);
        EXPECT_EQ(r[0].seq, 42);  // every frame answers the enrol request
        EXPECT_EQ(r[0].cont, 1);
        EXPECT_EQ(r[0].status, 0);
        EXPECT_EQ(r[0].data, Bytes{left});
    }
    auto last = m.touch("alice-thumb");
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].seq, 42);
    EXPECT_EQ(last[0].cont, 0);
    EXPECT_EQ(last[0].status, 0);
    ASSERT_EQ(last[0].data.size(), 1u);
    const uint8_t number = last[0].data[0];
    EXPECT_GE(number, 1);

    Bytes c = m.count();
    ASSERT_EQ(c.size(), 66u);
    EXPECT_EQ(c[1], 1);
    EXPECT_EQ(c[2], number);
    // No wait is left behind: a touch now answers nothing.
    EXPECT_TRUE(m.touch("alice-thumb").empty());
    m.key->lift();

    // The extended enrolment command enrols the same way.
    EXPECT_TRUE(m.fp(43, kEnrollEx).empty());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(m.touch("bob").at(0).cont, 1);
    auto second = m.touch("bob");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].status, 0);
    EXPECT_NE(second[0].data, Bytes{number});  // template numbers are unique
}

TEST(VkeyFinger, EnrolmentRefusals) {
    TempDir dir;
    Module m(dir.path + "/s");
    ASSERT_GT(m.enrol("alice"), 0);

    // Another finger in the middle is reported and does not count.
    EXPECT_TRUE(m.fp(7, kEnroll).empty());
    EXPECT_EQ(m.touch("carol").at(0).data, Bytes{5});
    auto other = m.touch("dave");
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].cont, 1);
    EXPECT_EQ(other[0].status, 0xE109);
    EXPECT_EQ(other[0].data, Bytes{5});
    for (uint8_t left = 4; left >= 1; --left)
        EXPECT_EQ(m.touch("carol").at(0).data, Bytes{left});
    auto done = m.touch("carol");
    EXPECT_EQ(done.at(0).cont, 0);
    EXPECT_EQ(done.at(0).status, 0);

    // A finger that already has a template ends the enrolment.
    EXPECT_TRUE(m.fp(8, kEnroll).empty());
    auto dup = m.touch("alice");
    ASSERT_EQ(dup.size(), 1u);
    EXPECT_EQ(dup[0].seq, 8);
    EXPECT_EQ(dup[0].cont, 0);
    EXPECT_EQ(dup[0].status, 0xE107);
    EXPECT_EQ(m.count()[1], 2);

    // Bad names never reach the module.
    vkt::Collect sink;
    EXPECT_FALSE(m.key->touch("", sink));
    EXPECT_FALSE(m.key->touch("two words", sink));
    EXPECT_FALSE(m.key->touch(std::string(33, 'a'), sink));
}

TEST(VkeyFinger, AFullModuleRefusesEnrolmentAndNumbersStayInRange) {
    TempDir dir;
    Module m(dir.path + "/s");
    std::set<int> numbers;
    for (int i = 0; i < 64; ++i) {
        int n = m.enrol("f" + std::to_string(i), static_cast<uint8_t>(i));
        ASSERT_GE(n, 1) << i;
        ASSERT_LE(n, 255);
        numbers.insert(n);
    }
    EXPECT_EQ(numbers.size(), 64u);
    Bytes c = m.count();
    EXPECT_EQ(c[1], 64);
    auto full = m.fp(99, kEnroll);
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0].seq, 99);
    EXPECT_EQ(full[0].status, 0xE116);
    EXPECT_TRUE(m.touch("late").empty());  // nothing waits
    m.key->lift();

    // A freed slot takes the next enrolment; the freed number is reused.
    auto del = m.fp(100, kDelete, {c[2 + 10]});
    ASSERT_EQ(del.size(), 1u);
    EXPECT_EQ(del[0].status, 0);
    EXPECT_EQ(m.enrol("late"), c[2 + 10]);
}

TEST(VkeyFinger, VerificationOutcomes) {
    TempDir dir;
    Module m(dir.path + "/s");
    // No template at all: answered at once.
    auto none = m.fp(3, kVerify);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].seq, 3);
    EXPECT_EQ(none[0].status, 0xE103);

    const int alice = m.enrol("alice");
    const int bob = m.enrol("bob");
    ASSERT_GT(alice, 0);
    ASSERT_GT(bob, 0);

    EXPECT_TRUE(m.fp(4, kVerify).empty());
    auto hit = m.touch("bob");
    ASSERT_EQ(hit.size(), 1u);
    EXPECT_EQ(hit[0].seq, 4);
    EXPECT_EQ(hit[0].cont, 0);
    EXPECT_EQ(hit[0].status, 0);
    EXPECT_EQ(hit[0].data, Bytes{static_cast<uint8_t>(bob)});

    EXPECT_TRUE(m.fp(5, kVerify).empty());
    auto miss = m.touch("mallory");
    ASSERT_EQ(miss.size(), 1u);
    EXPECT_EQ(miss[0].status, 0xE102);
    EXPECT_TRUE(miss[0].data.empty());

    // A finger already on the sensor is captured when the wait starts; a
    // lifted one is not.
    EXPECT_TRUE(m.touch("alice").empty());
    auto early = m.fp(6, kVerify);
    ASSERT_EQ(early.size(), 1u);
    EXPECT_EQ(early[0].data, Bytes{static_cast<uint8_t>(alice)});
    EXPECT_TRUE(m.touch("alice").empty());
    m.key->lift();
    EXPECT_TRUE(m.fp(7, kVerify).empty());
    EXPECT_EQ(m.touch("alice").at(0).status, 0);
}

TEST(VkeyFinger, CancelEndsThePendingCommandOnly) {
    TempDir dir;
    Module m(dir.path + "/s");
    ASSERT_GT(m.enrol("alice"), 0);
    // Nothing pending: the send-only cancel is never answered.
    EXPECT_TRUE(m.fp(10, kChip, {0x3F}).empty());

    EXPECT_TRUE(m.fp(11, kVerify).empty());
    auto c = m.fp(12, kChip, {0x3F});
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].seq, 11);  // the frame ends the verification
    EXPECT_EQ(c[0].cont, 0);
    EXPECT_EQ(c[0].status, 0xE117);
    EXPECT_TRUE(m.touch("alice").empty());
    m.key->lift();

    // In the middle of an enrolment.
    EXPECT_TRUE(m.fp(13, kEnroll).empty());
    EXPECT_EQ(m.touch("bob").at(0).cont, 1);
    EXPECT_EQ(m.touch("bob").at(0).cont, 1);
    auto e = m.fp(14, kChip, {0x3F});
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].seq, 13);
    EXPECT_EQ(e[0].status, 0xE117);
    EXPECT_EQ(m.count()[1], 1);  // nothing was stored

    // The acknowledgement after a verification echoes its byte.
    auto ack = m.fp(15, kChip, {0x38, 0x07});
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].seq, 15);
    EXPECT_EQ(ack[0].status, 0);
    EXPECT_EQ(ack[0].data, Bytes{0x38});
    EXPECT_EQ(m.fp(16, kChip, {0x38, 0x06}).at(0).status, 0xE110);
    EXPECT_EQ(m.fp(17, kChip, {0x21}).at(0).status, 0xE1CC);
    EXPECT_EQ(m.fp(18, kChip).at(0).status, 0xE110);
}

TEST(VkeyFinger, TheModulesOwnWaitEndsWithATimeOut) {
    TempDir dir;
    Module m(dir.path + "/s");
    ASSERT_GT(m.enrol("alice"), 0);
    m.key->setFingerWait(20);
    EXPECT_EQ(m.key->msToDeadline(), -1);
    const uint32_t serial = m.key->moduleWaitSerial();
    EXPECT_TRUE(m.fp(20, kVerify).empty());
    EXPECT_NE(m.key->moduleWaitSerial(), serial);
    EXPECT_GE(m.key->msToDeadline(), 0);
    std::vector<ModuleReply> r;
    while (r.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        r = m.collect([&] { m.key->tick(m.out); });
    }
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].seq, 20);
    EXPECT_EQ(r[0].status, 0xE118);
    EXPECT_EQ(m.key->msToDeadline(), -1);

    // Each capture of an enrolment starts a new wait.
    m.key->setFingerWait(60000);
    EXPECT_TRUE(m.fp(21, kEnroll).empty());
    const uint32_t before = m.key->moduleWaitSerial();
    m.touch("bob");
    EXPECT_EQ(m.key->moduleWaitSerial(), before + 1);
    // Power loss forgets the pending command without an answer.
    m.key->powerCycle();
    EXPECT_EQ(m.key->msToDeadline(), -1);
    EXPECT_TRUE(m.touch("bob").empty());
}

TEST(VkeyFinger, CardCommandsAreServedWhileTheModuleWaits) {
    TempDir dir;
    Module m(dir.path + "/s");
    ASSERT_GT(m.enrol("alice"), 0);
    EXPECT_TRUE(m.fp(30, kVerify).empty());
    EnginePort port(*m.key);
    Client c(port);
    EXPECT_EQ(c.devAuth().sw, 0x9000);
    Bytes n = m.count();  // module commands too
    EXPECT_EQ(n[1], 1);
    auto r = m.touch("alice");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].seq, 30);
    EXPECT_EQ(r[0].status, 0);
}

TEST(VkeyFinger, DeleteLogoutFlashAndMalformedCommands) {
    TempDir dir;
    Module m(dir.path + "/s");
    const int alice = m.enrol("alice");
    ASSERT_GT(alice, 0);

    auto flash = m.fp(40, kFlash, {0, 0, 0, 0, 64, 0, 0, 0});
    ASSERT_EQ(flash.size(), 1u);
    ASSERT_EQ(flash[0].status, 0);
    Bytes want = {static_cast<uint8_t>(alice), 5, 'a', 'l', 'i', 'c', 'e'};
    want.resize(64, 0xFF);
    EXPECT_EQ(flash[0].data, want);
    EXPECT_EQ(m.fp(41, kFlash, {0, 0x10, 0, 0, 0, 0, 0, 0}).at(0).data, Bytes());  // at the end
    EXPECT_EQ(m.fp(42, kFlash, {0xFF, 0x0F, 0, 0, 2, 0, 0, 0}).at(0).status, 0xE120);
    EXPECT_EQ(m.fp(43, kFlash, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}).at(0).status, 0xE110);
    EXPECT_EQ(m.fp(44, kFlash, {0, 0, 0, 0}).at(0).status, 0xE110);

    EXPECT_EQ(m.fp(45, kLogout, {1}).at(0).status, 0);
    EXPECT_EQ(m.fp(46, kLogout, {0}).at(0).status, 0);
    EXPECT_EQ(m.fp(47, kLogout, {}).at(0).status, 0xE110);

    EXPECT_EQ(m.fp(48, kDelete, {static_cast<uint8_t>(alice + 1)}).at(0).status, 0xE110);
    EXPECT_EQ(m.fp(49, kDelete, {0}).at(0).status, 0xE110);
    auto del = m.fp(50, kDelete, {static_cast<uint8_t>(alice)});
    EXPECT_EQ(del.at(0).status, 0);
    EXPECT_EQ(del.at(0).seq, 50);
    EXPECT_EQ(m.count()[1], 0);
    EXPECT_EQ(m.fp(51, kVerify).at(0).status, 0xE103);

    // A data length that disagrees with the frame, unknown commands, and
    // enciphered payloads.
    Bytes lying = modulePayload(kCount);
    lying[2] = 3;
    EXPECT_EQ(m.send(6, 52, lying).at(0).status, 0xE110);
    EXPECT_EQ(m.send(6, 53, {0x0A, 0x00}).at(0).status, 0xE110);
    EXPECT_EQ(m.fp(54, 0x0033).at(0).status, 0xE1CC);
    EXPECT_EQ(m.send(6, 55, modulePayload(kCount), 1).at(0).status, 0xE1CC);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string sha256Hex(const std::string& text) {
    unsigned char md[32];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), md, &n, EVP_sha256(), nullptr);
    char hex[65];
    for (size_t i = 0; i < sizeof md; ++i)
        snprintf(hex + 2 * i, 3, "%02x", md[i]);
    return hex;
}

TEST(VkeyFinger, TemplatesAndVaultItemsSurviveARestartAndOldStatesLoad) {
    TempDir dir;
    const std::string st = dir.path + "/s";
    int alice = 0;
    Bytes shareKey;
    {
        Module m(st);
        alice = m.enrol("alice");
        ASSERT_GT(alice, 0);
        std::string err;
        const uint8_t pub[] = {'w', 'e', 'b'};
        ASSERT_TRUE(m.key->vaultPut(7, pub, sizeof pub, err)) << err;
        shareKey = m.send(7, 1, modulePayload(0x0014, {1, 0, 2, 0})).at(0).data;
        ASSERT_EQ(shareKey.size(), 68u);
        // A restart in the middle of an enrolment keeps only finished ones.
        EXPECT_TRUE(m.fp(2, kEnroll).empty());
        m.touch("bob");
    }
    {
        Module m(st);
        Bytes c = m.count();
        EXPECT_EQ(c[1], 1);
        EXPECT_EQ(c[2], alice);
        EXPECT_TRUE(m.fp(3, kVerify).empty());
        EXPECT_EQ(m.touch("alice").at(0).data, Bytes{static_cast<uint8_t>(alice)});
        EXPECT_EQ(m.send(7, 4, modulePayload(0x0005, {7, 0, 0, 0})).at(0).data,
                  (Bytes{'w', 'e', 'b'}));
        EXPECT_EQ(m.send(7, 5, modulePayload(0x0014, {1, 0, 2, 0})).at(0).data, shareKey);
    }
    // A state written before the module and the vault existed (format 1).
    std::string text = readFile(st + "/key.state");
    std::istringstream in(text);
    std::string old, line;
    while (std::getline(in, line)) {
        if (line.rfind("fpkey-vkey-state ", 0) == 0) line = "fpkey-vkey-state 1";
        if (line.rfind("fp ", 0) == 0 || line.rfind("key v ", 0) == 0 ||
            line.rfind("item ", 0) == 0 || line.rfind("sum ", 0) == 0)
            continue;
        old += line + "\n";
    }
    old += "sum " + sha256Hex(old) + "\n";
    {
        std::ofstream f(st + "/key.state", std::ios::trunc);
        f << old;
    }
    vkey::OpenResult rc;
    {
        auto key = openKey(st, &rc);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(rc, vkey::OpenResult::ok);
        EnginePort port(*key);
        Client c(port);
        EXPECT_EQ(c.devAuth().sw, 0x9000);  // the card part is all there
        Collect out;
        Bytes f = makeFrame(6, 1, modulePayload(kCount));
        key->receive(f.data(), f.size(), out);
        ASSERT_EQ(out.frames.size(), 1u);
        EXPECT_EQ(parseModuleReply(out.frames[0]).data[1], 0);
    }
    // It was rewritten in the current format, with a vault key.
    text = readFile(st + "/key.state");
    EXPECT_EQ(text.rfind("fpkey-vkey-state 2\n", 0), 0u);
    EXPECT_NE(text.find("\nkey v "), std::string::npos);
}

TEST(VkeyVault, PlainCommandsAndRefusedCipher) {
    TempDir dir;
    Module m(dir.path + "/s");
    auto pwd = [&](uint8_t seq, uint16_t cmd, const Bytes& data = {}, uint8_t cipher = 0) {
        auto r = m.send(7, seq, modulePayload(cmd, data), cipher);
        EXPECT_EQ(r.size(), 1u);
        EXPECT_EQ(r.at(0).channel, 7);
        EXPECT_EQ(r.at(0).seq, seq);
        return r.at(0);
    };
    auto query = [](uint32_t start, uint32_t count) {
        Bytes q(16, 0);
        q[0] = 0x5A;
        le32(q, 0);
        le32(q, 1);
        le32(q, start);
        le32(q, count);
        return q;
    };
    // Share-key handshake: the 68-byte answer, then the 128-byte block.
    EXPECT_EQ(pwd(1, 0x000A).status, 0xE102);
    auto ask = pwd(2, 0x0014, {1, 0, 2, 0});
    EXPECT_EQ(ask.status, 0);
    ASSERT_EQ(ask.data.size(), 68u);
    EXPECT_EQ(Bytes(ask.data.begin(), ask.data.begin() + 4), (Bytes{0, 1, 0, 0}));
    Bytes x(ask.data.begin() + 4, ask.data.begin() + 36), y(ask.data.begin() + 36, ask.data.end());
    EXPECT_NE(x, Bytes(32, 0));
    // The public key takes an SM2 encipherment (OpenSSL checks the point).
    EXPECT_FALSE(sm2EncryptRaw(x, y, {1, 2, 3}).empty());
    EXPECT_EQ(pwd(3, 0x0015, {1, 0, 2, 0}).status, 0xE110);
    Bytes block = {1, 0, 2, 0};
    block.resize(4 + 128, 0);
    EXPECT_EQ(pwd(4, 0x0015, block).status, 0);
    EXPECT_EQ(pwd(5, 0x000A).status, 0);

    // Items: capacity, list, public part, delete.
    std::string err;
    for (uint32_t i : {30u, 10u, 20u}) {
        Bytes pub(i, static_cast<uint8_t>(i));
        ASSERT_TRUE(m.key->vaultPut(i, pub.data(), pub.size(), err)) << err;
    }
    Bytes tooBig(473, 1);
    EXPECT_FALSE(m.key->vaultPut(1, tooBig.data(), tooBig.size(), err));
    EXPECT_EQ(pwd(6, 0x0007).data, (Bytes{32, 0, 0, 0, 3, 0, 0, 0}));
    EXPECT_EQ(pwd(7, 0x0000, query(0, 10)).data, (Bytes{10, 0, 0, 0, 20, 0, 0, 0, 30, 0, 0, 0}));
    EXPECT_EQ(pwd(8, 0x0000, query(1, 1)).data, (Bytes{20, 0, 0, 0}));
    EXPECT_EQ(pwd(9, 0x0000, query(5, 1)).data, Bytes());
    Bytes badQuery = query(0, 1);
    badQuery[0] = 0x5B;
    EXPECT_EQ(pwd(10, 0x0000, badQuery).status, 0xE110);
    EXPECT_EQ(pwd(11, 0x0010, query(0, 4)).data, Bytes());  // no configuration items
    EXPECT_EQ(pwd(12, 0x0005, {20, 0, 0, 0}).data, Bytes(20, 20));
    EXPECT_EQ(pwd(13, 0x0005, {21, 0, 0, 0}).status, 0xE110);
    EXPECT_EQ(pwd(14, 0x0004, {20, 0, 0, 0}).status, 0);
    EXPECT_EQ(pwd(15, 0x0004, {20, 0, 0, 0}).status, 0xE110);
    EXPECT_EQ(pwd(16, 0x0007).data, (Bytes{32, 0, 0, 0, 2, 0, 0, 0}));

    // Enciphered payloads cannot be read; the enciphered-only commands are
    // refused in plain too.
    EXPECT_EQ(pwd(17, 0x0001, Bytes(16, 0), 1).status, 0xE1CC);
    EXPECT_EQ(pwd(18, 0x0001, {10, 0, 0, 0}).status, 0xE1CC);
    EXPECT_EQ(pwd(19, 0x0008, Bytes(516, 0)).status, 0xE1CC);
    EXPECT_EQ(pwd(20, 0x0011, {0, 0, 0, 0}).status, 0xE1CC);
    EXPECT_EQ(pwd(21, 0x0099).status, 0xE1CC);

    // The share key is session state: gone with power.
    m.key->powerCycle();
    EXPECT_EQ(pwd(22, 0x000A).status, 0xE102);
}

TEST(VkeyFinger, RandomModuleAndVaultCommandsNeverBreakTheKey) {
    TempDir dir;
    const std::string st = dir.path + "/s";
    std::mt19937 rng(61209);
    {
        Module m(st);
        ASSERT_GT(m.enrol("alice"), 0);
        const std::vector<std::pair<uint8_t, Bytes>> templates = {
            {6, modulePayload(kCount)},
            {6, modulePayload(kEnroll)},
            {6, modulePayload(kVerify)},
            {6, modulePayload(kDelete, {1})},
            {6, modulePayload(kLogout, {1})},
            {6, modulePayload(kFlash, {0, 0, 0, 0, 16, 0, 0, 0})},
            {6, modulePayload(kChip, {0x38, 7})},
            {6, modulePayload(kChip, {0x3F})},
            {7, modulePayload(0x0014, {1, 0, 2, 0})},
            {7, modulePayload(0x0007)},
            {7, modulePayload(0x0005, {1, 0, 0, 0})},
            {7, modulePayload(0x0004, {1, 0, 0, 0})},
            {7, modulePayload(0x0000, Bytes(32, 0x5A))},
        };
        size_t replies = 0;
        for (int i = 0; i < 3000; ++i) {
            auto t = templates[rng() % templates.size()];
            Bytes p = t.second;
            if (rng() % 2)
                for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k)
                    p[rng() % p.size()] = static_cast<uint8_t>(rng());
            if (rng() % 4 == 0) p.resize(rng() % (p.size() + 8), static_cast<uint8_t>(rng()));
            auto got = m.send(t.first, static_cast<uint8_t>(i), p);
            if (t.first == 7) {
                ASSERT_EQ(got.size(), 1u);  // the vault answers every request
            }
            for (const ModuleReply& r : got) {
                ASSERT_TRUE(r.ok);
                ASSERT_EQ(r.channel, t.first);
                ++replies;
            }
            if (rng() % 8 == 0) {
                for (const ModuleReply& r : m.touch(rng() % 2 ? "alice" : "bob"))
                    ASSERT_TRUE(r.ok);
            }
        }
        EXPECT_GT(replies, 2000u);
    }
    vkey::OpenResult rc;
    EXPECT_NE(openKey(st, &rc), nullptr);
    EXPECT_EQ(rc, vkey::OpenResult::ok);
}

}  // namespace
