// Frame checksum vectors, a failing save, and random input that must never
// break the key or its state file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>

#include "tests/unit/vkey/vk_helpers.h"
#include "vkey/link.h"

using namespace vkt;

namespace {

TEST(VkeyLink, ThePublishedFrameAndTheRequestRule) {
    // A fingerprint count request, channel 6, sequence 5.
    const Bytes frame = {0xAA, 0x00, 0x04, 0x06, 0x00, 0x05, 0x00,
                         0x0A, 0x00, 0x00, 0x00, 0x00, 0x9A, 0x55};
    vkey::FrameView f;
    ASSERT_EQ(vkey::checkRequestFrame(frame.data(), frame.size(), f), nullptr);
    EXPECT_EQ(f.channel, 6);
    EXPECT_EQ(f.seq, 5);
    EXPECT_EQ(f.length, 4u);
    // Padding after the tail is allowed; a frame cut before it is not.
    Bytes padded = frame;
    padded.resize(64, 0);
    EXPECT_EQ(vkey::checkRequestFrame(padded.data(), padded.size(), f), nullptr);
    EXPECT_STREQ(vkey::checkRequestFrame(frame.data(), 13, f), "shorter than its length field");
    // 2047 bytes of payload: beyond any frame, whatever follows.
    Bytes big = {0xAA, 0x07, 0xFF, 6, 0, 0, 0};
    big.resize(2100, 0);
    EXPECT_STREQ(vkey::checkRequestFrame(big.data(), big.size(), f), "length field too large");
    Bytes bad = frame;
    bad[12] ^= 1;
    EXPECT_STREQ(vkey::checkRequestFrame(bad.data(), bad.size(), f), "bad checksum");
    bad = frame;
    bad[13] = 0x56;
    EXPECT_STREQ(vkey::checkRequestFrame(bad.data(), bad.size(), f), "bad tail");

    TempDir dir;
    auto key = openKey(dir.path + "/s");
    EnginePort port(*key);
    Bytes reply;
    ASSERT_TRUE(port.exchange(frame, reply));
    uint8_t ch = 0, seq = 0;
    Bytes payload;
    ASSERT_TRUE(parseReply(reply, ch, seq, payload));
    EXPECT_EQ(ch, 6);
    EXPECT_EQ(seq, 5);
}

TEST(VkeyRobust, AFailedSaveIsNeitherAcknowledgedNorKept) {
    TempDir dir;
    const std::string st = dir.path + "/s";
    auto key = openKey(st);
    EnginePort port(*key);
    Client c(port);
    ASSERT_EQ(c.devAuth().sw, 0x9000);
    // The temporary file cannot be created while a directory has its name.
    ASSERT_EQ(mkdir((st + "/key.state.tmp").c_str(), 0700), 0);
    EXPECT_EQ(c.createApp("lost", "a", "u").sw, 0x6581);
    EXPECT_EQ(c.openApp("lost").sw, 0x6A8B);
    EXPECT_EQ(c.cmd(0x22, 0, 0, {}).data, (Bytes{0}));
    ASSERT_EQ(rmdir((st + "/key.state.tmp").c_str()), 0);
    // The device session survives; the identifier was not used up.
    Resp r = c.createApp("kept", "a", "u");
    EXPECT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, (Bytes{0x00, 0x3F}));
}

TEST(VkeyRobust, RandomCommandsNeverBreakTheKeyOrItsState) {
    TempDir dir;
    const std::string st = dir.path + "/s";
    std::mt19937 rng(20261209);
    auto byte = [&] { return static_cast<uint8_t>(rng() & 0xFF); };
    {
        auto key = openKey(st);
        EnginePort port(*key);
        Client c(port);
        ASSERT_EQ(c.devAuth().sw, 0x9000);
        Resp app = c.createApp("app", "admin", "314159", 15);
        ASSERT_EQ(app.sw, 0x9000);
        uint16_t appId = static_cast<uint16_t>(app.data[0] | app.data[1] << 8);
        ASSERT_EQ(c.verifyPin(appId, 1, "314159").sw, 0x9000);
        Resp con = c.createContainer(appId, "c");
        ASSERT_EQ(con.sw, 0x9000);

        // Well-formed commands of every family, then mutated at random.
        Bytes ids = {app.data[0], app.data[1], con.data[0], con.data[1]};
        Bytes appOnly = {app.data[0], app.data[1]};
        Sm2Key outside = sm2NewKey();
        auto with = [](Bytes a, const Bytes& b) {
            append(a, b);
            return a;
        };
        Bytes lv16 = {16, 0, 0, 0};
        append(lv16, std::string("1234567812345678"));
        Bytes point = with(outside.x, outside.y);
        const std::vector<Bytes> templates = {
            makeApdu(0x80, 0x04, 0, 0, {}),
            makeApdu(0x80, 0x04, 3, 0, {}),
            makeApdu(0x80, 0x02, 0, 0, {'l', 'b', 'l'}),
            makeApdu(0x80, 0x50, 0, 0, {}, 8),
            makeApdu(0x80, 0x10, 0, 0, randomBytes(16)),
            makeApdu(0x80, 0x14, 0, 1, appOnly, 3),
            makeApdu(0x80, 0x18, 0, 1, with(appOnly, randomBytes(16))),
            makeApdu(0x84, 0x16, 0, 1, with(appOnly, randomBytes(20))),
            makeApdu(0x84, 0x1A, 0, 0, with(appOnly, randomBytes(36))),
            makeApdu(0x84, 0x12, 0, 0, randomBytes(20)),
            makeApdu(0x80, 0x1C, 0, 0, appOnly),
            makeApdu(0x80, 0x22, 0, 0, {}),
            makeApdu(0x80, 0x26, 0, 0, {'a', 'p', 'p'}, 10),
            makeApdu(0x80, 0x40, 0, 0, with(appOnly, {'x'}), 2),
            makeApdu(0x80, 0x42, 0, 0, with(appOnly, {'c'}), 2),
            makeApdu(0x80, 0x46, 0, 0, appOnly),
            makeApdu(0x80, 0x4A, 0, 0, with(appOnly, {'c'}), 11),
            makeApdu(0x80, 0x4C, 0, 0, with(ids, {1, 3, 0, 0, 0, 'a', 'b', 'c'})),
            makeApdu(0x80, 0x4E, 1, 0, ids),
            makeApdu(0x80, 0x70, 0, 0, with(ids, {0x00, 0x01, 0, 0}), 64),
            makeApdu(0x80, 0x71, 0, 0, with(ids, {0x00, 0x01, 0, 0}), 64),
            makeApdu(0x80, 0x73, 1, 0, with(ids, randomBytes(96))),
            makeApdu(0x80, 0x74, 2, 0, with(with(ids, lv16), randomBytes(32))),
            makeApdu(0x80, 0x7A, 0, 0,
                     with(with(Bytes{0x00, 0x01, 0, 0}, point), {4, 0, 0, 0, 1, 2, 3, 4})),
            makeApdu(0x80, 0x7B, 0, 0,
                     with(with(ids, sm2EncryptRaw(outside.x, outside.y, {1, 2, 3})), {})),
            makeApdu(0x80, 0x88, 0, 0, ids),
            makeApdu(0x80, 0x30, app.data[0], app.data[1],
                     {2, 0, 'f', '1', 8, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0}),
            makeApdu(0x80, 0x34, app.data[0], app.data[1], {}),
            makeApdu(0x80, 0x3A, 0, 0,
                     with(appOnly, {2, 0, 'f', '1', 0, 0, 0, 0, 2, 0, 0, 0, 7, 7})),
            makeApdu(0x80, 0x38, 0, 0, with(appOnly, {2, 0, 'f', '1', 0, 0, 0, 0, 8, 0, 0, 0})),
            makeApdu(0x80, 0xD4, 0, 0, {0x51, 0x08, 0, 0, 0, 4}, 1024),
            makeApdu(0x80, 0xD6, 0, 0, with({0x50, 0x88, 0, 0, 4, 0}, {1, 2, 3, 4})),
        };
        std::set<uint16_t> seen;
        for (int i = 0; i < 4000; ++i) {
            Bytes apdu = templates[rng() % templates.size()];
            switch (rng() % 4) {
                case 0:
                    break;  // as it is
                case 1:     // a few bytes changed anywhere
                    for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k)
                        apdu[rng() % apdu.size()] = byte();
                    break;
                case 2: {  // data cut or extended, Lc kept consistent or not
                    size_t n = rng() % (apdu.size() + 40);
                    apdu.resize(n < 8 ? 8 : n, byte());
                    if (rng() % 2) {
                        apdu[4] = static_cast<uint8_t>(apdu.size() - 8);
                        apdu[5] = static_cast<uint8_t>((apdu.size() - 8) >> 8);
                    }
                    break;
                }
                default:  // data bytes changed, header kept
                    if (apdu.size() > 8)
                        for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k)
                            apdu[8 + rng() % (apdu.size() - 8)] = byte();
                    break;
            }
            Resp r = c.raw(apdu);
            ASSERT_NE(r.sw, 0) << "no well-formed reply to INS " << int(apdu[1]);
            seen.insert(r.sw);
            if (r.sw != 0x9000 && r.sw != 0x6A9E) {
                ASSERT_TRUE(r.data.empty());
            }
        }
        for (uint16_t sw : seen)
            printf("%04X ", sw);
        printf("\n");
        // The storm reached past the length checks into many handlers.
        EXPECT_TRUE(seen.count(0x9000));
        EXPECT_GE(seen.size(), 20u);
        // Random frames: never a crash, and either silence or a valid reply.
        for (int i = 0; i < 2000; ++i) {
            Bytes f(rng() % 300, 0);
            for (uint8_t& b : f)
                b = byte();
            if (!f.empty() && rng() % 2) f[0] = 0xAA;
            Bytes reply;
            if (port.exchange(f, reply)) {
                uint8_t ch, seq;
                Bytes payload;
                ASSERT_TRUE(parseReply(reply, ch, seq, payload));
            }
        }
    }
    vkey::OpenResult rc;
    auto again = openKey(st, &rc);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(rc, vkey::OpenResult::ok);
}

}  // namespace
