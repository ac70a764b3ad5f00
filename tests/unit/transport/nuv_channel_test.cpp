// The fingerprint command channel: request bytes, sequence handling with
// both judges, response checks, the payload cipher, the scoped wait time and
// the link binding rules, against a scripted key on a socketpair.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/unit/transport/module_peer.h"
#include "transport/nuv_cmd.h"
#include "transport/usb.h"

namespace {

class NuvChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        NUV_SetLink(&peer.link());
        NUV_SetRegistry(nullptr, nullptr);
        NUV_SetTimeOut(NUV_DEFAULT_TIMEOUT_MS);
        PORT_SETWAITTIME(2000);
    }
    void TearDown() override { NUV_SetLink(nullptr); }
    ModulePeer peer;
};

// Answers every request with status 0 and no data, echoing its sequence.
void okToAll(ModulePeer& p, const ModuleRequest& r) {
    p.answer(r.seq(), 0, {});
}

TEST_F(NuvChannel, CountRequestIsTheFourteenByteFrame) {
    peer.setScript(okToAll);
    nuvSetSequence(5);
    EXPECT_EQ(NUV_FpcGetNum(nullptr, nullptr), 0u);
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 1u);
    const Bytes expected = {0xAA, 0x00, 0x04, 0x06, 0x00, 0x05, 0x00,
                            0x0A, 0x00, 0x00, 0x00, 0x00, 0x9A, 0x55};
    EXPECT_EQ(req[0].frame, expected);

    // One sequence byte per request, wrapping from 255 to 0.
    nuvSetSequence(255);
    EXPECT_EQ(NUV_FpcDelete(nullptr, 1), 0u);
    EXPECT_EQ(NUV_FpcDelete(nullptr, 2), 0u);
    const auto all = peer.requests();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].seq(), 255);
    EXPECT_EQ(all[2].seq(), 0);
}

TEST_F(NuvChannel, BuilderWritesLittleEndianBehindTheHeader) {
    peer.setScript(okToAll);
    NUV_FPM cmd(0x0123);
    cmd.setLink(&peer.link());
    const uint8_t tail[] = {0xDE, 0xAD};
    cmd.addW(0x1234).addDw(0x01020304).addC(0x99).addBuf(tail, 2);
    EXPECT_EQ(cmd.dataLen(), 9u);
    ASSERT_EQ(cmd.nuvTxdAndRxd(0, 0), 0u);
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 1u);
    const Bytes payload = {0x23, 0x01, 0x09, 0x00, 0x34, 0x12, 0x04,
                           0x03, 0x02, 0x01, 0x99, 0xDE, 0xAD};
    EXPECT_EQ(req[0].payload(), payload);
    EXPECT_EQ(req[0].channel(), FRAME_CH_FPM);
    EXPECT_EQ(req[0].cipher(), FRAME_PLAIN);
    EXPECT_EQ(req[0].frame[FRAME_OFS_CONT], 0);

    // The swap flag turns the same values big-endian.
    uint8_t area[8] = {};
    nuvBuf b;
    b.setBuf(area, sizeof area, 1);
    b.addW(0x1234);
    b.addDw(0x01020304);
    const uint8_t be[] = {0x12, 0x34, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(memcmp(area, be, sizeof be), 0);
    EXPECT_EQ(b.getLen(), 6u);
    b.addC(1);
    b.addC(2);
    b.addC(3);  // one past the area: refused, nothing written
    EXPECT_TRUE(b.overflowed());
    EXPECT_EQ(b.getLen(), 8u);
}

TEST_F(NuvChannel, RequestDataBeyondOneFrameIsRefusedUnsent) {
    peer.setScript(okToAll);
    static uint8_t big[NUV_DATA_MAX + 1];
    {
        NUV_FPM cmd(0x0010);
        cmd.setLink(&peer.link());
        cmd.addBuf(big, NUV_DATA_MAX);  // exactly a full frame
        EXPECT_EQ(cmd.nuvTxdAndRxd(0, 1), 0u);
    }
    {
        NUV_FPM cmd(0x0010);
        cmd.setLink(&peer.link());
        cmd.addBuf(big, NUV_DATA_MAX + 1);
        EXPECT_EQ(cmd.nuvTxdAndRxd(0, 1), NUV_ERR_REQ_TOO_LONG);
        EXPECT_EQ(cmd.nuvTxdOnly(0), NUV_ERR_REQ_TOO_LONG);
    }
    // The caller's data of a sub-command count too (one echo byte before it).
    EXPECT_EQ(NUV_FpcChip592CmdEx(nullptr, nullptr, 24, big, NUV_DATA_MAX), NUV_ERR_REQ_TOO_LONG);
    ASSERT_TRUE(peer.waitRequests(1));
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].frame.size(), FRAME_BUF_SIZE);
    // Only mode 0 exists.
    NUV_FPM cmd(0x000A);
    cmd.setLink(&peer.link());
    EXPECT_EQ(cmd.nuvTxdAndRxd(1, 1), NUV_ERR_CIPHER);
}

TEST_F(NuvChannel, StaleSequenceFailsWithJudgeZeroAndIsSkippedWithJudgeOne) {
    // The key first answers an older request, then the current one.
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) {
        p.answer(static_cast<uint8_t>(r.seq() - 1), 0xE101, {});
        p.answer(r.seq(), 0, {0x42});
    });
    {
        NUV_FPM cmd(0x0001);
        cmd.setLink(&peer.link());
        EXPECT_EQ(cmd.nuvTxdAndRxd(0, 0), NUV_ERR_SEQ);
    }
    {
        // The answer left over from the first command is stale here too.
        NUV_FPM cmd(0x0001);
        cmd.setLink(&peer.link());
        ASSERT_EQ(cmd.nuvTxdAndRxd(0, 1), 0u);
        uint8_t out[4] = {};
        uint32_t len = sizeof out;
        EXPECT_EQ(cmd.getRsp(out, &len), 0u);
        EXPECT_EQ(len, 1u);
        EXPECT_EQ(out[0], 0x42);
    }
}

TEST_F(NuvChannel, AfterThreeStaleFramesTheThirdIsUsed) {
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) {
        const uint8_t old = static_cast<uint8_t>(r.seq() + 100);
        p.answer(old, 0xE101, {});
        p.answer(old, 0xE102, {});
        p.answer(old, 0xE103, {});
        p.answer(r.seq(), 0, {});
    });
    EXPECT_EQ(NUV_FpcDelete(nullptr, 1), 0x1E103u);
    // Exactly three frames were read: the fourth (the right answer) is read
    // first by the next command, as stale, and its third frame is E102.
    EXPECT_EQ(NUV_FpcDelete(nullptr, 1), 0x1E102u);
}

TEST_F(NuvChannel, MalformedAnswersAreRefused) {
    struct Case {
        const char* what;
        Bytes payload;
        uint8_t cipher;
        bool badSum;
        uint32_t expected;
    };
    const Case cases[] = {
        {"module status", {0x0A, 0xE1, 0, 0}, 0, false, 0x1E10A},
        {"payload shorter than the header", {0, 0, 0}, 0, false, NUV_ERR_RSP_SHORT},
        {"data length past the payload", {0, 0, 3, 0, 1, 2}, 0, false, NUV_ERR_RSP_SHORT},
        {"checksum", {0, 0, 0, 0}, 0, true, NUV_ERR_FRAME},
        {"cipher byte 2", {0, 0, 0, 0}, 2, false, NUV_ERR_CIPHER},
        {"cipher 1, not whole blocks", {0, 0, 0, 0}, 1, false, NUV_ERR_RSP_SHORT},
    };
    for (const Case& c : cases) {
        peer.setScript([&c](ModulePeer& p, const ModuleRequest& r) {
            p.sendPayload(r.seq(), c.payload, 0, FRAME_CH_FPM, c.cipher, c.badSum);
        });
        EXPECT_EQ(NUV_FpcLogout(nullptr, 0), c.expected) << c.what;
    }
    // A response larger than the caller's buffer.
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) { p.answer(r.seq(), 0, Bytes(67)); });
    uint8_t num[NUV_FPC_NUM_MAX + 8];
    memset(num, 0xCC, sizeof num);
    EXPECT_EQ(NUV_FpcGetNum(nullptr, num), NUV_ERR_BUF_SMALL);
    EXPECT_EQ(num[0], 0xCC);
}

// A frame announcing more payload than a frame buffer holds is drained and
// refused by the receive; nothing lands past the pack and the next exchange
// starts on a frame boundary.
TEST_F(NuvChannel, OversizeAnnouncedPayloadIsRefused) {
    static const size_t sizes[] = {FRAME_MAX_PAYLOAD, FRAME_MAX_PAYLOAD + 1, 0xFFFF};
    for (size_t payload : sizes) {
        peer.setScript([payload](ModulePeer& p, const ModuleRequest& r) {
            if (r.command() == 0x0010) {
                // Status 0 and a data length that fills whatever is announced.
                Bytes pl(payload, 0x5A);
                putLe16(0, pl.data());
                putLe16(static_cast<uint16_t>(payload - 4), pl.data() + 2);
                p.sendPayload(r.seq(), pl, 0, FRAME_CH_FPM, FRAME_PLAIN);
            } else {
                p.answer(r.seq(), 0, {});
            }
        });
        struct {
            uint8_t out[NUV_DATA_MAX];
            uint8_t guard[64];
        } room;
        memset(room.guard, 0xC3, sizeof room.guard);
        uint32_t len = sizeof room.out;
        const uint32_t r = NUV_FpcReadFlash(nullptr, 0, 0, room.out, &len);
        if (payload <= FRAME_MAX_PAYLOAD) {
            EXPECT_EQ(r, 0u);
            EXPECT_EQ(len, payload - 4);
            EXPECT_EQ(room.out[len - 1], 0x5A);
        } else {
            EXPECT_EQ(r, static_cast<uint32_t>(SS_ERR_TOO_LONG)) << payload;
        }
        for (uint8_t g : room.guard)
            ASSERT_EQ(g, 0xC3);
        EXPECT_EQ(NUV_FpcLogout(nullptr, 1), 0u) << "next exchange after " << payload;
    }
}

// A port that claims more bytes than it was offered.
int liarRxd(uint64_t, uint8_t* buf, int capacity, int* received) {
    memset(buf, 0, 16);
    buf[0] = FRAME_HEAD;
    UNPACKED16(0xFFF0, buf + 1);
    *received = capacity + 100;
    return 0;
}
int okTxd(uint64_t, const uint8_t*, int len, int* sent) {
    *sent = len;
    return 0;
}
int okOpen(uint64_t) {
    return 0;
}

TEST_F(NuvChannel, ReceivedLengthBeyondThePackIsRefused) {
    _ST_DEV_OPT opt{};
    opt.openDev = okOpen;
    opt.txdPkg = okTxd;
    opt.rxdPkg = liarRxd;
    CLink link;
    link.SetDev(&opt);
    ASSERT_EQ(link.linkf_openDev(), 0);
    NUV_SetLink(&link);
    EXPECT_EQ(NUV_FpcLogout(nullptr, 1), NUV_ERR_FRAME);
}

// Answers made of mutated frames: whatever arrives, the count either fails
// or succeeds exactly when the frame obeys every rule, and nothing is written
// outside the caller's 66 bytes.
struct Replay {
    uint8_t seq = 0;
    Bytes answer;
};
Replay g_replay;
int replayTxd(uint64_t, const uint8_t* bytes, int len, int* sent) {
    g_replay.seq = bytes[FRAME_OFS_SEQ];
    *sent = len;
    return 0;
}
int replayRxd(uint64_t, uint8_t* buf, int capacity, int* received) {
    const Bytes& a = g_replay.answer;
    if (a.size() > static_cast<size_t>(capacity)) return SS_ERR_TOO_LONG;
    memcpy(buf, a.data(), a.size());
    *received = static_cast<int>(a.size());
    return 0;
}

TEST_F(NuvChannel, MutatedAnswersNeverOverrunOrPassAsSuccess) {
    _ST_DEV_OPT opt{};
    opt.openDev = okOpen;
    opt.txdPkg = replayTxd;
    opt.rxdPkg = replayRxd;
    CLink link;
    link.SetDev(&opt);
    ASSERT_EQ(link.linkf_openDev(), 0);
    NUV_SetLink(&link);
    uint32_t rng = 12345;
    auto next = [&rng](uint32_t n) {
        rng = rng * 1103515245u + 12345u;
        return (rng >> 8) % n;
    };
    int successes = 0;
    for (int i = 0; i < 3000; ++i) {
        // A well-formed answer for the next request ...
        const uint32_t payloadLen = next(90);
        Bytes f(payloadLen + FRAME_ENVELOPE);
        for (size_t k = FRAME_OFS_PAYLOAD; k < FRAME_OFS_PAYLOAD + payloadLen; ++k)
            f[k] = static_cast<uint8_t>(next(256));
        if (payloadLen >= 4) {
            putLe16(next(4) == 0 ? 0xE101 : 0, f.data() + FRAME_OFS_PAYLOAD);
            putLe16(static_cast<uint16_t>(next(payloadLen)), f.data() + FRAME_OFS_PAYLOAD + 2);
        }
        frameBuild(f.data(), f.size(), payloadLen, FRAME_CH_FPM, 0, nuvPeekSequence(), 0);
        // ... then damaged in one of several ways.
        switch (next(4)) {
            case 0:
                f[next(static_cast<uint32_t>(f.size()))] ^= static_cast<uint8_t>(1 + next(255));
                break;
            case 1:
                f.resize(next(static_cast<uint32_t>(f.size()) + 8));
                break;
            case 2:
                UNPACKED16(static_cast<uint16_t>(next(0x900)), f.data() + FRAME_OFS_LEN);
                break;
            default:
                break;
        }
        g_replay.answer = f;

        struct {
            uint8_t out[NUV_FPC_NUM_MAX];
            uint8_t guard[16];
        } room;
        memset(&room, 0xC3, sizeof room);
        const uint32_t r = NUV_FpcGetNum(nullptr, room.out);
        for (uint8_t g : room.guard)
            ASSERT_EQ(g, 0xC3) << i;

        // The rules, stated independently of the channel code.
        const size_t got = f.size();
        bool wellFormed = got >= FRAME_ENVELOPE && f[0] == FRAME_HEAD &&
                          framePayloadLen(f.data()) + FRAME_ENVELOPE == got &&
                          f[got - 1] == FRAME_TAIL && f[FRAME_OFS_CIPHER] == 0;
        if (wellFormed) {
            const size_t L = got - FRAME_ENVELOPE;
            wellFormed = get_checksum(f.data() + 1, static_cast<uint16_t>(L + 6)) ==
                         PACKED16(f.data() + FRAME_OFS_PAYLOAD + L);
        }
        if (!wellFormed) {
            if (f.size() > FRAME_OFS_CIPHER && f[FRAME_OFS_CIPHER] != 0) continue;
            EXPECT_NE(r, 0u) << i;
            continue;
        }
        const uint8_t* p = f.data() + FRAME_OFS_PAYLOAD;
        const size_t L = got - FRAME_ENVELOPE;
        if (L < 4 || getLe16(p + 2) > L - 4) {
            EXPECT_EQ(r, NUV_ERR_RSP_SHORT) << i;
        } else if (getLe16(p) != 0) {
            EXPECT_EQ(r, NUV_MODULE_BASE + getLe16(p)) << i;
        } else if (getLe16(p + 2) > NUV_FPC_NUM_MAX) {
            EXPECT_EQ(r, NUV_ERR_BUF_SMALL) << i;
        } else {
            ASSERT_EQ(r, 0u) << i;
            EXPECT_EQ(memcmp(room.out, p + 4, getLe16(p + 2)), 0) << i;
            ++successes;
        }
    }
    EXPECT_GT(successes, 100);  // the damage left enough frames intact
}

TEST_F(NuvChannel, PayloadCipherAgainstOpenSsl) {
    uint8_t key[16];
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<uint8_t>(0x10 * i + 1);
    nuvSetShareKey(key);

    // 0 bytes: one block of padding. 16 bytes: a whole extra block.
    uint8_t buf[64];
    uint32_t n = 0;
    ASSERT_EQ(commFlowEncrypt(buf, 0, buf, &n), 1);
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(Bytes(buf, buf + 16), oracleSm4Cbc(true, key, Bytes(16, 0x10)));

    Bytes plain(16);
    for (int i = 0; i < 16; ++i)
        plain[i] = static_cast<uint8_t>(i);
    memcpy(buf, plain.data(), 16);
    uint8_t out[64];
    ASSERT_EQ(commFlowEncrypt(buf, 16, out, &n), 1);
    EXPECT_EQ(n, 32u);
    Bytes padded = plain;
    padded.insert(padded.end(), 16, 0x10);
    EXPECT_EQ(Bytes(out, out + 32), oracleSm4Cbc(true, key, padded));

    // Deciphering drops the padding the last byte names; more than 16 is
    // not padding, and the length becomes 0.
    Bytes c = oracleSm4Cbc(true, key, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 3, 3, 3});
    ASSERT_EQ(commFlowDecrypt(c.data(), 16, out, &n), 1);
    EXPECT_EQ(n, 13u);
    EXPECT_EQ(out[12], 13);
    c = oracleSm4Cbc(true, key, Bytes(16, 0x11));
    ASSERT_EQ(commFlowDecrypt(c.data(), 16, out, &n), 1);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(commFlowDecrypt(c.data(), 15, out, &n), 0);
    EXPECT_EQ(commFlowDecrypt(c.data(), 0, out, &n), 0);
}

TEST_F(NuvChannel, ScopedWaitTimeAndItsAftermath) {
    PORT_SETWAITTIME(7777);
    {
        CNuv_SetTimeOut wait(12345);
        EXPECT_EQ(ssUsbGetTimeout(), 12345u);
        EXPECT_EQ(NUV_GetTimeOut(), NUV_DEFAULT_TIMEOUT_MS);
    }
    EXPECT_EQ(ssUsbGetTimeout(), 2000u);
    EXPECT_EQ(NUV_GetTimeOut(), 2000);

    // Scoped commands: the count runs with m_timeout and leaves 2000 behind;
    // a plain command runs with whatever wait is in force.
    peer.setScript(okToAll);
    NUV_SetTimeOut(25000);
    EXPECT_EQ(NUV_FpcGetNum(nullptr, nullptr), 0u);
    EXPECT_EQ(NUV_GetTimeOut(), 2000);
    PORT_SETWAITTIME(4321);
    NUV_SetTimeOut(9999);
    EXPECT_EQ(NUV_FpcDelete(nullptr, 3), 0u);
    EXPECT_EQ(NUV_GetTimeOut(), 9999);
    EXPECT_EQ(ssUsbGetTimeout(), 4321u);
    const std::vector<uint32_t> waits = {25000, 4321};
    EXPECT_EQ(peer.receiveWaits(), waits);
}

uint32_t s_lookups = 0;
void* s_lookedUp = nullptr;
CLink* s_registryLink = nullptr;
uint32_t lookup(void* h, CLink** link) {
    ++s_lookups;
    s_lookedUp = h;
    if (s_registryLink == nullptr) return 0x0A000040;
    *link = s_registryLink;
    return 0;
}
int s_freed = 0;
int freeDev(void* h) {
    s_lookedUp = h;
    ++s_freed;
    return 1;
}

TEST_F(NuvChannel, LinkBindingAndDeviceFunctions) {
    peer.setScript(okToAll);
    int slot = 0;
    // No link set and no handle.
    NUV_SetLink(nullptr);
    EXPECT_EQ(NUV_FpcGetNum(nullptr, nullptr), NUV_ERR_LINK);
    EXPECT_EQ(NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL), NUV_ERR_LINK);
    EXPECT_EQ(NUV_PwdDelete(nullptr, 1), NUV_ERR_LINK);
    // A handle without a registry, and with one that does not know it.
    EXPECT_EQ(NUV_FpcDelete(&slot, 1), NUV_ERR_LINK);
    NUV_SetRegistry(lookup, freeDev);
    s_registryLink = nullptr;
    EXPECT_EQ(NUV_FpcDelete(&slot, 1), 0x0A000040u);
    // The handle's link is used even when another link is set.
    s_registryLink = &peer.link();
    CLink other;
    NUV_SetLink(&other);
    EXPECT_EQ(NUV_FpcDelete(&slot, 1), 0u);
    EXPECT_EQ(s_lookedUp, &slot);
    EXPECT_EQ(peer.requests().size(), 1u);
    // A command never bound to a link.
    NUV_FPM cmd(0x000A);
    EXPECT_EQ(cmd.nuvTxdAndRxd(0, 1), NUV_ERR_NULL);
    EXPECT_EQ(cmd.nuvTxdOnly(0), NUV_ERR_NULL);
    // A link that cannot send: the key is lost.
    NUV_SetLink(&other);
    EXPECT_EQ(NUV_FpcLogout(nullptr, 0), NUV_ERR_LINK);

    EXPECT_EQ(NUV_OpenDevice(nullptr), NUV_ERR_NOT_PROVIDED);
    EXPECT_EQ(NUV_CloseDevice(nullptr), NUV_ERR_NULL);
    EXPECT_EQ(s_freed, 0);
    EXPECT_EQ(NUV_CloseDevice(&slot), 0u);
    EXPECT_EQ(s_freed, 1);
    EXPECT_EQ(s_lookedUp, &slot);
    NUV_SetRegistry(nullptr, nullptr);
}

}  // namespace
