// One link shared by channels and threads, against a scripted key on a
// socketpair: frames of another channel are parked for their own receiver,
// a fingerprint command waiting for its late answer and card-OS exchanges
// on the same link each get their own frames in either arrival order, and
// every receiver keeps its own time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "tests/unit/transport/module_peer.h"
#include "transport/nuv_cmd.h"
#include "transport/usb.h"

namespace {

Bytes payloadOf(const uint8_t* frame, int len) {
    return Bytes(frame + FRAME_OFS_PAYLOAD, frame + len - 3);
}

// Card-OS answer as the scripted key makes it: status 0x9000, then the
// request's data reversed.
Bytes apduAnswerData(const ModuleRequest& r) {
    const Bytes p = r.payload();
    return Bytes(p.rbegin(), p.rend());
}

// What a card-OS exchange does on the link: one channel-8 request, then a
// receive of channel 8. The answer's payload goes to *answer.
int apduExchange(CLink& link, uint8_t seq, const Bytes& body, Bytes* answer, int waitMs = 0) {
    tdLINK_PACK pack{};
    pack.sequence = seq;
    memcpy(pack.frame + FRAME_OFS_PAYLOAD, body.data(), body.size());
    pack.length = static_cast<uint32_t>(body.size());
    const uint32_t n = framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN);
    int r = link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n));
    if (r != 0) return r;
    int len = 0;
    r = link.rxdChannel(FRAME_CH_APDU, pack.frame, &len, sizeof pack.frame, waitMs);
    if (r != 0) return r;
    if (pack.frame[FRAME_OFS_CHANNEL] != FRAME_CH_APDU || pack.frame[FRAME_OFS_SEQ] != seq)
        return -1000;
    *answer = payloadOf(pack.frame, len);
    return 0;
}

Bytes statusAnswer(uint16_t status, const Bytes& data) {
    // Sized once: gcc 12 at -O2 reports a range insert into a short vector as
    // an overflow inside libstdc++ (a false positive that -Werror would stop).
    Bytes p(4 + data.size());
    putLe16(status, p.data());
    putLe16(static_cast<uint16_t>(data.size()), p.data() + 2);
    std::copy(data.begin(), data.end(), p.begin() + 4);
    return p;
}

// The port has begun its n-th read (the peer records each read's wait).
void waitPortReads(ModulePeer& peer, size_t n) {
    for (int i = 0; i < 10000 && peer.receiveWaits().size() < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(peer.receiveWaits().size(), n);
}

class LinkShare : public ::testing::Test {
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

// Single thread: a frame of another channel read on the way is kept for its
// channel (the latest one when two arrive unclaimed), taken without reading
// the port, and dropped when the link is opened anew. A frame whose
// envelope is broken cannot be routed and goes to the receiver that read it.
TEST_F(LinkShare, FramesOfOtherChannelsAreParkedForTheirOwn) {
    CLink& link = peer.link();
    PORT_SETWAITTIME(200);  // the length of a port read that finds nothing
    uint8_t buf[FRAME_BUF_SIZE];
    int len = 0;

    peer.answer(1, 0, {0x71}, 0, FRAME_CH_PWD);
    peer.answer(2, 0, {0x72, 0x72}, 0, FRAME_CH_PWD);  // replaces the first
    peer.answer(3, 0, {0x61}, 0, FRAME_CH_FPM);
    ASSERT_EQ(link.rxdChannel(FRAME_CH_FPM, buf, &len, sizeof buf), 0);
    EXPECT_EQ(buf[FRAME_OFS_CHANNEL], FRAME_CH_FPM);
    EXPECT_EQ(payloadOf(buf, len), statusAnswer(0, {0x61}));
    EXPECT_EQ(link.parkedFrames(FRAME_CH_PWD), 1);
    EXPECT_EQ(link.parkedFrames(FRAME_CH_FPM), 0);

    const size_t reads = peer.receiveWaits().size();
    memset(buf, 0, sizeof buf);
    ASSERT_EQ(link.rxdChannel(FRAME_CH_PWD, buf, &len, sizeof buf), 0);
    EXPECT_EQ(peer.receiveWaits().size(), reads);  // the port was not read
    EXPECT_EQ(buf[FRAME_OFS_SEQ], 2);
    EXPECT_EQ(payloadOf(buf, len), statusAnswer(0, {0x72, 0x72}));
    EXPECT_EQ(link.rxdLength(), len);
    EXPECT_EQ(link.parkedFrames(FRAME_CH_PWD), 0);
    EXPECT_EQ(link.rxdChannel(FRAME_CH_PWD, buf, &len, sizeof buf, 100), SS_ERR_TIMEOUT);

    // A receiver with little room: a large frame of another channel is still
    // parked whole; its own frame larger than its room is refused.
    uint8_t small[40];
    peer.answer(4, 0, Bytes(300, 0x5A), 0, FRAME_CH_APDU);
    peer.answer(5, 0, {0x62}, 0, FRAME_CH_FPM);
    ASSERT_EQ(link.rxdChannel(FRAME_CH_FPM, small, &len, sizeof small), 0);
    EXPECT_EQ(payloadOf(small, len), statusAnswer(0, {0x62}));
    EXPECT_EQ(link.rxdChannel(FRAME_CH_APDU, small, &len, sizeof small), SS_ERR_TOO_LONG);
    EXPECT_EQ(link.parkedFrames(FRAME_CH_APDU), 0);  // refused means dropped
    peer.answer(6, 0, Bytes(300, 0x5B), 0, FRAME_CH_FPM);
    EXPECT_EQ(link.rxdChannel(FRAME_CH_FPM, small, &len, sizeof small), SS_ERR_TOO_LONG);
    peer.answer(7, 0, Bytes(300, 0x5C), 0, FRAME_CH_APDU);
    peer.answer(8, 0, {}, 0, FRAME_CH_FPM);
    ASSERT_EQ(link.rxdChannel(FRAME_CH_FPM, small, &len, sizeof small), 0);
    ASSERT_EQ(link.rxdChannel(FRAME_CH_APDU, buf, &len, sizeof buf), 0);
    EXPECT_EQ(payloadOf(buf, len), statusAnswer(0, Bytes(300, 0x5C)));

    // A channel-7 frame with a broken checksum is the channel-6 receiver's.
    peer.sendPayload(9, statusAnswer(0, {0x73}), 0, FRAME_CH_PWD, FRAME_PLAIN, true);
    ASSERT_EQ(link.rxdChannel(FRAME_CH_FPM, buf, &len, sizeof buf), 0);
    EXPECT_EQ(buf[FRAME_OFS_CHANNEL], FRAME_CH_PWD);
    EXPECT_EQ(frameCheckEx(buf, static_cast<size_t>(len), FRAME_MAX_PAYLOAD), 0);
    EXPECT_EQ(link.parkedFrames(FRAME_CH_PWD), 0);

    // The plain receive takes the next frame from the port, whatever its
    // channel, and leaves parked frames alone.
    peer.answer(10, 0, {0x74}, 0, FRAME_CH_PWD);
    peer.answer(11, 0, {0x63}, 0, FRAME_CH_FPM);
    peer.answer(12, 0, {0x81}, 0, FRAME_CH_APDU);
    ASSERT_EQ(link.rxdChannel(FRAME_CH_FPM, buf, &len, sizeof buf), 0);
    ASSERT_EQ(link.linkf_rxd_buff(PROTOCOL_FRAME, buf, &len), 0);
    EXPECT_EQ(buf[FRAME_OFS_CHANNEL], FRAME_CH_APDU);
    EXPECT_EQ(link.parkedFrames(FRAME_CH_PWD), 1);

    // A new connection starts without frames of the old one.
    ASSERT_EQ(link.linkf_closeDev(), 0);
    ASSERT_EQ(link.linkf_openDev(), 0);
    EXPECT_EQ(link.parkedFrames(FRAME_CH_PWD), 0);
    EXPECT_EQ(link.rxdChannel(FRAME_CH_PWD, buf, &len, sizeof buf, 100), SS_ERR_TIMEOUT);
}

// Two threads sending frames of several units on two channels at once: the
// key receives every frame whole, each with its own bytes.
TEST_F(LinkShare, SendsOfTwoChannelsNeverInterleave) {
    CLink& link = peer.link();
    constexpr int kFrames = 150;
    auto sender = [&link](uint8_t channel, size_t payloadLen, std::atomic<int>* failures) {
        for (int i = 0; i < kFrames; ++i) {
            tdLINK_PACK pack{};
            pack.sequence = static_cast<uint32_t>(i);
            memset(pack.frame + FRAME_OFS_PAYLOAD, channel + i, payloadLen);
            pack.length = static_cast<uint32_t>(payloadLen);
            const uint32_t n = framePackBuild(&pack, channel, FRAME_PLAIN);
            if (link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n)) != 0)
                ++*failures;
        }
    };
    std::atomic<int> failures{0};
    std::thread a(sender, FRAME_CH_FPM, 150, &failures);
    std::thread b(sender, FRAME_CH_APDU, 200, &failures);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(peer.waitRequests(size_t{2} * kFrames));
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 2u * kFrames);
    int next[2] = {0, 0};
    for (const ModuleRequest& r : req) {
        ASSERT_EQ(frameCheckEx(r.frame.data(), r.frame.size(), FRAME_MAX_PAYLOAD), 1);
        const int k = r.channel() == FRAME_CH_FPM ? 0 : 1;
        ASSERT_TRUE(r.channel() == FRAME_CH_FPM || r.channel() == FRAME_CH_APDU);
        EXPECT_EQ(r.seq(), next[k]);
        const Bytes p = r.payload();
        EXPECT_EQ(p.size(), k == 0 ? 150u : 200u);
        EXPECT_EQ(p, Bytes(p.size(), static_cast<uint8_t>(r.channel() + next[k])));
        ++next[k];
    }
}

// Many rounds of a fingerprint count (channel 6) on one thread and a
// card-OS exchange (channel 8) on another, on one link. The key holds both
// requests and answers them in the round's order, or answers channel 8 at
// once and channel 6 only after the card-OS exchange has finished. Each
// side must get its own answer intact every time.
TEST_F(LinkShare, FingerprintAndCardOsThreadsEachGetTheirOwnFrames) {
    struct Round {
        std::mutex mu;
        std::condition_variable cv;
        int order = 0;  // 0: 6 then 8; 1: 8 then 6; 2: 8 at once, 6 later
        bool have6 = false, have8 = false;
        ModuleRequest req6, req8;
        Bytes table;
    } round;
    peer.setScript([&round](ModulePeer& p, const ModuleRequest& r) {
        std::lock_guard<std::mutex> g(round.mu);
        if (r.channel() == FRAME_CH_FPM) {
            round.req6 = r;
            round.have6 = true;
            round.cv.notify_all();
        } else {
            round.req8 = r;
            round.have8 = true;
            if (round.order == 2) p.answer(r.seq(), 0x9000, apduAnswerData(r), 0, FRAME_CH_APDU);
        }
        if (!round.have6 || !round.have8 || round.order == 2) return;
        if (round.order == 0) p.answer(round.req6.seq(), 0, round.table);
        p.answer(round.req8.seq(), 0x9000, apduAnswerData(round.req8), 0, FRAME_CH_APDU);
        if (round.order == 1) p.answer(round.req6.seq(), 0, round.table);
    });

    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds; ++i) {
        {
            std::lock_guard<std::mutex> g(round.mu);
            round.order = i % 3;
            round.have6 = round.have8 = false;
            round.table = {8, 2, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(i >> 8)};
        }
        const Bytes table = round.table;
        const Bytes body = {0x80, 0xCA, static_cast<uint8_t>(i), 0x00, 0x01, 0x02};
        uint8_t out[NUV_FPC_NUM_MAX] = {};
        std::atomic<uint32_t> fpResult{0xFFFFFFFF};
        std::thread worker([&] { fpResult = NUV_FpcGetNum(nullptr, out); });
        Bytes answer;
        const int apduResult = apduExchange(peer.link(), static_cast<uint8_t>(i), body, &answer);
        if (i % 3 == 2) {
            // Left unanswered, the count ends with its time-out and fails below.
            std::unique_lock<std::mutex> g(round.mu);
            if (round.cv.wait_for(g, std::chrono::seconds(10), [&] { return round.have6; }))
                peer.answer(round.req6.seq(), 0, table);
        }
        worker.join();
        ASSERT_EQ(apduResult, 0) << "round " << i;
        ASSERT_EQ(answer, statusAnswer(0x9000, Bytes(body.rbegin(), body.rend()))) << i;
        ASSERT_EQ(fpResult.load(), 0u) << "round " << i;
        ASSERT_EQ(Bytes(out, out + table.size()), table) << i;
    }
    EXPECT_EQ(peer.link().parkedFrames(FRAME_CH_FPM), 0);
    EXPECT_EQ(peer.link().parkedFrames(FRAME_CH_APDU), 0);
}

// A receiver that waits while another thread reads the port gives up at its
// own time-out, and the reader still gets its frame afterwards. A reader
// that times out hands the port to a receiver that waits longer.
TEST_F(LinkShare, EachReceiverKeepsItsOwnTimeOut) {
    CLink& link = peer.link();
    PORT_SETWAITTIME(10000);
    {
        uint8_t bufA[FRAME_BUF_SIZE], bufB[FRAME_BUF_SIZE];
        int lenA = 0, lenB = 0;
        std::atomic<int> ra{1};
        const size_t reads = peer.receiveWaits().size();
        std::thread a([&] { ra = link.rxdChannel(FRAME_CH_FPM, bufA, &lenA, sizeof bufA); });
        waitPortReads(peer, reads + 1);  // a holds the read side
        const int rb = link.rxdChannel(FRAME_CH_APDU, bufB, &lenB, sizeof bufB, 200);
        EXPECT_EQ(rb, SS_ERR_TIMEOUT);
        EXPECT_EQ(ra.load(), 1);  // still waiting
        peer.answer(0x31, 0, {0x6A}, 0, FRAME_CH_FPM);
        a.join();
        ASSERT_EQ(ra.load(), 0);
        EXPECT_EQ(payloadOf(bufA, lenA), statusAnswer(0, {0x6A}));
    }
    {
        PORT_SETWAITTIME(150);
        uint8_t bufA[FRAME_BUF_SIZE], bufB[FRAME_BUF_SIZE];
        int lenA = 0, lenB = 0;
        std::atomic<int> rb{1};
        const size_t reads = peer.receiveWaits().size();
        std::thread a([&] {
            EXPECT_EQ(link.rxdChannel(FRAME_CH_FPM, bufA, &lenA, sizeof bufA), SS_ERR_TIMEOUT);
        });
        waitPortReads(peer, reads + 1);
        std::thread b(
            [&] { rb = link.rxdChannel(FRAME_CH_APDU, bufB, &lenB, sizeof bufB, 10000); });
        a.join();
        peer.answer(0x32, 0x9000, {0x8A}, 0, FRAME_CH_APDU);
        b.join();
        ASSERT_EQ(rb.load(), 0);
        EXPECT_EQ(payloadOf(bufB, lenB), statusAnswer(0x9000, {0x8A}));
    }
}

// Frames of both channels interleaved on the wire while two receivers wait
// at once: whichever thread reads the port, each takes only its own, in the
// order the key sent them.
TEST_F(LinkShare, InterleavedStreamsKeepTheirOrderPerChannel) {
    CLink& link = peer.link();
    PORT_SETWAITTIME(5000);
    constexpr int kFrames = 200;
    struct Stream {
        uint8_t channel;
        std::atomic<int> taken{0};
        int values[kFrames] = {};
    } s6{FRAME_CH_FPM}, s8{FRAME_CH_APDU};
    auto drain = [&link](Stream* st) {
        uint8_t buf[FRAME_BUF_SIZE];
        for (int i = 0; i < kFrames; ++i) {
            int len = 0;
            if (link.rxdChannel(st->channel, buf, &len, sizeof buf) != 0) return;
            st->values[i] = buf[FRAME_OFS_CHANNEL] == st->channel
                                ? getLe16(buf + FRAME_OFS_PAYLOAD + NUV_HEAD_LEN)
                                : -1;
            st->taken = i + 1;
        }
    };
    std::thread t6(drain, &s6);
    std::thread t8(drain, &s8);
    // A channel's next frame goes out once its previous one was taken (one
    // slot per channel); the two channels interleave freely.
    int sent6 = 0, sent8 = 0;
    uint32_t rng = 7;
    while (sent6 < kFrames || sent8 < kFrames) {
        rng = rng * 1103515245u + 12345u;
        const bool six = sent8 == kFrames || (sent6 < kFrames && ((rng >> 16) & 1) != 0);
        int& sent = six ? sent6 : sent8;
        Stream& st = six ? s6 : s8;
        for (int k = 0; k < 100000 && st.taken.load() < sent; ++k)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (st.taken.load() != sent) {
            ADD_FAILURE() << "channel " << int(st.channel) << " stuck at " << sent;
            break;
        }
        Bytes d(2);
        putLe16(static_cast<uint16_t>(sent), d.data());
        peer.answer(static_cast<uint8_t>(sent), 0, d, 0, st.channel);
        ++sent;
    }
    t6.join();
    t8.join();
    ASSERT_EQ(s6.taken.load(), kFrames);
    ASSERT_EQ(s8.taken.load(), kFrames);
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(s6.values[i], i);
        EXPECT_EQ(s8.values[i], i);
    }
}

}  // namespace
