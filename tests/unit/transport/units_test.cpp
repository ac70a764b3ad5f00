// Frames as transfer units: padding on send, completion from the length
// field on receive, short and empty units, oversize frames, read failures.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "transport/frame.h"
#include "transport/units.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Scripted peer: each read hands out the next queued unit (or a result code).
struct Script {
    struct Step {
        Bytes unit;
        int result;
    };
    std::deque<Step> steps;
    std::vector<Bytes> written;
    int reads = 0;
    int writeResult = 0;

    void unit(const Bytes& b) { steps.push_back({b, 0}); }
    void fail(int code) { steps.push_back({{}, code}); }

    static int read(void* ctx, uint8_t* out, size_t unitLen, size_t* got) {
        auto* s = static_cast<Script*>(ctx);
        s->reads++;
        if (s->steps.empty()) return SS_ERR_TIMEOUT;
        Step st = s->steps.front();
        s->steps.pop_front();
        if (st.result != 0) return st.result;
        size_t n = st.unit.size() < unitLen ? st.unit.size() : unitLen;
        if (n > 0) memcpy(out, st.unit.data(), n);
        *got = n;
        return 0;
    }
    static int write(void* ctx, const uint8_t* unit, size_t unitLen) {
        auto* s = static_cast<Script*>(ctx);
        if (s->writeResult != 0) return s->writeResult;
        s->written.emplace_back(unit, unit + unitLen);
        return 0;
    }
};

// A valid frame of `payload` bytes (payload byte i = i + 1), total payload+10.
Bytes makeFrame(size_t payload, uint8_t seq = 1) {
    Bytes f(payload + FRAME_ENVELOPE);
    for (size_t i = 0; i < payload; ++i)
        f[FRAME_OFS_PAYLOAD + i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(frameBuild(f.data(), f.size(), payload, FRAME_CH_APDU, 0, seq, 0), f.size());
    return f;
}

// Splits bytes into units of `unit`, zero-padding the last, plus `trailing`
// garbage instead of zeros when asked.
void queueUnits(Script& s, const Bytes& frame, size_t unit, uint8_t pad = 0) {
    for (size_t at = 0; at < frame.size(); at += unit) {
        Bytes u(unit, pad);
        size_t n = frame.size() - at < unit ? frame.size() - at : unit;
        memcpy(u.data(), frame.data() + at, n);
        s.unit(u);
    }
}

TEST(UnitsSend, WholeZeroPaddedUnits) {
    struct Case {
        size_t len;
        size_t units;
    } cases[] = {{5, 1}, {64, 1}, {65, 2}, {128, 2}, {310, 5}};
    for (const auto& c : cases) {
        Script s;
        uint8_t staging[64];
        memset(staging, 0xCC, sizeof(staging));
        Bytes data(c.len);
        for (size_t i = 0; i < c.len; ++i)
            data[i] = static_cast<uint8_t>(0x80 | i);
        ASSERT_EQ(unitsSend(Script::write, &s, staging, 64, data.data(), c.len), 0);
        ASSERT_EQ(s.written.size(), c.units) << c.len;
        Bytes joined;
        for (const auto& u : s.written) {
            EXPECT_EQ(u.size(), 64u);
            joined.insert(joined.end(), u.begin(), u.end());
        }
        EXPECT_TRUE(std::equal(data.begin(), data.end(), joined.begin()));
        for (size_t i = c.len; i < joined.size(); ++i)
            EXPECT_EQ(joined[i], 0) << i;
    }
}

TEST(UnitsSend, NothingForEmptyAndFirstFailureStops) {
    Script s;
    uint8_t staging[64];
    uint8_t b[200] = {};
    EXPECT_EQ(unitsSend(Script::write, &s, staging, 64, b, 0), 0);
    EXPECT_TRUE(s.written.empty());
    s.writeResult = SS_ERR_TXD;
    EXPECT_EQ(unitsSend(Script::write, &s, staging, 64, b, sizeof(b)), SS_ERR_TXD);
    EXPECT_TRUE(s.written.empty());
}

TEST(UnitsReceive, SeventyByteFrameFromTwoUnits) {
    const Bytes frame = makeFrame(60);
    ASSERT_EQ(frame[1], 0x00);
    ASSERT_EQ(frame[2], 0x3C);
    Script s;
    queueUnits(s, frame, 64, 0xE7);  // the last 58 bytes of unit 2 are garbage
    s.unit(makeFrame(4));            // must not be touched by this receive
    uint8_t staging[64];
    uint8_t out[100];
    memset(out, 0x5A, sizeof(out));
    uint32_t len = 0;
    ASSERT_EQ(unitsReceive(Script::read, &s, staging, 64, out, sizeof(out), &len), 0);
    EXPECT_EQ(len, 70u);
    EXPECT_EQ(s.reads, 2);
    EXPECT_EQ(0, memcmp(out, frame.data(), 70));
    for (size_t i = 70; i < sizeof(out); ++i)
        ASSERT_EQ(out[i], 0x5A) << i;
    EXPECT_EQ(s.steps.size(), 1u);
}

TEST(UnitsReceive, ShortReadsSplitTheLengthField) {
    const Bytes frame = makeFrame(100);
    Script s;
    // 1 byte, then 1 byte (length high), then the rest in odd pieces.
    size_t cuts[] = {1, 1, 7, 50, 3, 64};
    size_t at = 0;
    for (size_t c : cuts) {
        if (at >= frame.size()) break;
        size_t n = frame.size() - at < c ? frame.size() - at : c;
        s.unit(Bytes(frame.data() + at, frame.data() + at + n));
        at += n;
    }
    ASSERT_EQ(at, frame.size());
    uint8_t staging[64];
    uint8_t out[2048];
    uint32_t len = 0;
    ASSERT_EQ(unitsReceive(Script::read, &s, staging, 64, out, sizeof(out), &len), 0);
    EXPECT_EQ(len, frame.size());
    EXPECT_EQ(0, memcmp(out, frame.data(), frame.size()));
    EXPECT_EQ(frameCheck(out, len), 1);
}

TEST(UnitsReceive, OversizeFrameIsRefusedAndDrained) {
    struct Case {
        uint16_t announced;
        size_t capacity;
    } cases[] = {{2039, 2048}, {2046, 2048}, {0xFFFF, 2048}, {60, 69}, {0, 9}};
    for (const auto& c : cases) {
        const size_t total = size_t(c.announced) + 10;
        Bytes big(total, 0x11);
        big[0] = FRAME_HEAD;
        UNPACKED16(c.announced, big.data() + 1);
        Script s;
        queueUnits(s, big, 64);
        const Bytes next = makeFrame(20, 7);
        queueUnits(s, next, 64);
        uint8_t staging[64];
        Bytes out(c.capacity + 16, 0x5A);
        uint32_t len = 1234;
        EXPECT_EQ(unitsReceive(Script::read, &s, staging, 64, out.data(), c.capacity, &len),
                  SS_ERR_TOO_LONG)
            << c.announced;
        EXPECT_EQ(len, 1234u);
        // Nothing written, not even the head: the caller's buffer is untouched.
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0x5A) << i;
        // The whole oversize frame was consumed (no 16-bit wrap of its length).
        EXPECT_EQ(size_t(s.reads), (total + 63) / 64);
        // The next exchange starts on the next frame.
        uint8_t out2[64];
        ASSERT_EQ(unitsReceive(Script::read, &s, staging, 64, out2, sizeof(out2), &len), 0);
        EXPECT_EQ(len, 30u);
        EXPECT_EQ(0, memcmp(out2, next.data(), 30));
    }
}

TEST(UnitsReceive, FrameThatExactlyFillsTheBuffer) {
    const Bytes frame = makeFrame(2038);  // 2048 bytes
    Script s;
    queueUnits(s, frame, 64);
    uint8_t staging[64];
    Bytes out(2048 + 8, 0x5A);
    uint32_t len = 0;
    ASSERT_EQ(unitsReceive(Script::read, &s, staging, 64, out.data(), 2048, &len), 0);
    EXPECT_EQ(len, 2048u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), out.begin()));
    for (size_t i = 2048; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0x5A);
}

TEST(UnitsReceive, LargeUnitsAndNoOutputBuffer) {
    const Bytes frame = makeFrame(1500);
    Script s;
    queueUnits(s, frame, 1024);
    uint8_t staging[1024];
    uint32_t len = 0;
    ASSERT_EQ(unitsReceive(Script::read, &s, staging, 1024, nullptr, 0, &len), 0);
    EXPECT_EQ(len, 1510u);
    EXPECT_EQ(s.reads, 2);
}

TEST(UnitsReceive, FailuresKeepTheirCode) {
    const Bytes frame = makeFrame(100);
    uint8_t staging[64];
    uint8_t out[256];
    // Time-out in the middle of a frame: code passed up, no length stored.
    {
        Script s;
        s.unit(Bytes(frame.begin(), frame.begin() + 64));
        s.fail(SS_ERR_TIMEOUT);
        uint32_t len = 99;
        EXPECT_EQ(unitsReceive(Script::read, &s, staging, 64, out, sizeof(out), &len),
                  SS_ERR_TIMEOUT);
        EXPECT_EQ(len, 99u);
        EXPECT_EQ(0, memcmp(out, frame.data(), 64));  // bytes already taken stay
    }
    // A device that keeps answering empty units is given up on.
    {
        Script s;
        for (int i = 0; i <= UNIT_MAX_EMPTY; ++i)
            s.unit({});
        s.unit(frame);
        uint32_t len = 0;
        EXPECT_EQ(unitsReceive(Script::read, &s, staging, 64, out, sizeof(out), &len), SS_ERR_RXD);
    }
    // A few empty units are skipped.
    {
        Script s;
        s.unit({});
        s.unit({});
        queueUnits(s, frame, 64);
        uint32_t len = 0;
        EXPECT_EQ(unitsReceive(Script::read, &s, staging, 64, out, sizeof(out), &len), 0);
        EXPECT_EQ(len, 110u);
    }
    // Other codes, as the port gives them.
    {
        Script s;
        s.fail(SS_ERR_RXD);
        uint32_t len = 0;
        EXPECT_EQ(unitsReceive(Script::read, &s, staging, 64, out, sizeof(out), &len), SS_ERR_RXD);
    }
}

}  // namespace
