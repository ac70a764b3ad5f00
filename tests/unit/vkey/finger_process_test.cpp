// The fingerprint module of the real process: touches on the control socket,
// the module's wait, a cancel sent from a second thread, auto-touch, and
// every fault kind as the host sees it in transfer units.
#include <poll.h>

#include "tests/unit/vkey/vk_process.h"

using namespace vkt;

namespace {

constexpr uint16_t kEnroll = 0x0000, kVerify = 0x0001, kCount = 0x000A, kChip = 0x0020;

// Every unit that arrives, the first within `firstMs`, each further one
// within `quietMs` of the one before.
std::vector<Bytes> units(int fd, int firstMs = 5000, int quietMs = 300) {
    std::vector<Bytes> out;
    for (int wait = firstMs;; wait = quietMs) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0) return out;
        Bytes u(64);
        if (recv(fd, u.data(), u.size(), 0) != 64) return out;
        out.push_back(u);
    }
}

Bytes joined(const std::vector<Bytes>& us) {
    Bytes b;
    for (const Bytes& u : us)
        append(b, u);
    return b;
}

bool sendFrame(int fd, const Bytes& frame) {
    for (size_t at = 0; at < frame.size(); at += 64)
        if (!sendUnit(fd,
                      Bytes(frame.begin() + static_cast<long>(at),
                            frame.begin() + static_cast<long>(std::min(at + 64, frame.size())))))
            return false;
    return true;
}

bool sendFp(int fd, uint8_t seq, uint16_t cmd, const Bytes& data = {}) {
    return sendFrame(fd, makeFrame(6, seq, modulePayload(cmd, data)));
}

// The next reply frame, complete by its length field.
ModuleReply nextReply(int fd) {
    std::vector<Bytes> us;
    Bytes f;
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return ModuleReply();
        Bytes u(64);
        if (recv(fd, u.data(), u.size(), 0) != 64) return ModuleReply();
        append(f, u);
        if (f.size() >= (static_cast<size_t>(f[1]) << 8 | f[2]) + 10) break;
    }
    return parseModuleReply(f);
}

class VkeyFingerProcess : public VkeyProcess {
  protected:
    std::string ctlLine(const std::string& line) {
        std::string reply;
        vkey::runControlClient(ctl, line, reply);
        return reply;
    }
    // Enrols `finger` with control-socket touches; the template number.
    int enrol(int fd, const std::string& finger, uint8_t seq) {
        if (!sendFp(fd, seq, kEnroll)) return -1;
        ModuleReply r;
        for (int i = 0; i < 6; ++i) {
            if (ctlLine("touch " + finger) != "OK touched " + finger) return -1;
            r = nextReply(fd);
            if (!r.ok || r.seq != seq || r.status != 0 || r.cont != (i < 5 ? 1 : 0)) return -1;
        }
        return r.data.size() == 1 ? r.data[0] : -1;
    }
    // Waits until the status line shows `what`.
    bool statusShows(const std::string& what) {
        for (int i = 0; i < 250; ++i) {
            if (ctlLine("status").find(what) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

TEST_F(VkeyFingerProcess, EnrolAndVerifyWithTouchesAndTheTemplateSurvivesAKill) {
    ASSERT_TRUE(start());
    int fd = openData();
    ASSERT_TRUE(sendFp(fd, 3, kEnroll));
    ASSERT_TRUE(statusShows("module=enrolling(0/6)"));
    for (uint8_t left = 5; left >= 1; --left) {
        EXPECT_EQ(ctlLine("touch alice"), "OK touched alice");
        ModuleReply r = nextReply(fd);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.seq, 3);
        EXPECT_EQ(r.cont, 1);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.data, Bytes{left});
    }
    EXPECT_EQ(ctlLine("touch alice"), "OK touched alice");
    ModuleReply done = nextReply(fd);
    ASSERT_TRUE(done.ok);
    EXPECT_EQ(done.cont, 0);
    ASSERT_EQ(done.data.size(), 1u);
    const uint8_t number = done.data[0];
    EXPECT_NE(ctlLine("status").find("templates=1/64 module=idle"), std::string::npos);

    ASSERT_TRUE(sendFp(fd, 4, kVerify));
    ASSERT_TRUE(statusShows("module=verifying"));
    ctlLine("touch bob");
    ModuleReply miss = nextReply(fd);
    EXPECT_EQ(miss.seq, 4);
    EXPECT_EQ(miss.status, 0xE102);
    ASSERT_TRUE(sendFp(fd, 5, kVerify));
    ctlLine("touch alice");
    ModuleReply hit = nextReply(fd);
    EXPECT_EQ(hit.seq, 5);
    EXPECT_EQ(hit.status, 0);
    EXPECT_EQ(hit.data, Bytes{number});

    stop(SIGKILL);
    close(fd);
    ASSERT_TRUE(start());
    fd = openData();
    ASSERT_TRUE(sendFp(fd, 6, kCount));
    ModuleReply c = nextReply(fd);
    ASSERT_EQ(c.data.size(), 66u);
    EXPECT_EQ(c.data[1], 1);
    EXPECT_EQ(c.data[2], number);
    close(fd);
}

TEST_F(VkeyFingerProcess, TheModuleGivesUpWaitingAfterFingerWait) {
    ASSERT_TRUE(start({"--finger-wait", "300"}));
    int fd = openData();
    ASSERT_GT(enrol(fd, "alice", 1), 0);
    ASSERT_TRUE(sendFp(fd, 2, kVerify));
    ModuleReply r = nextReply(fd);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.seq, 2);
    EXPECT_EQ(r.cont, 0);
    EXPECT_EQ(r.status, 0xE118);
    // An enrolment waits for each capture anew.
    ASSERT_TRUE(sendFp(fd, 3, kEnroll));
    ctlLine("touch alice2");
    EXPECT_EQ(nextReply(fd).cont, 1);
    ModuleReply late = nextReply(fd);
    EXPECT_EQ(late.seq, 3);
    EXPECT_EQ(late.status, 0xE118);
    EXPECT_NE(ctlLine("status").find("module=idle"), std::string::npos);
    close(fd);
}

TEST_F(VkeyFingerProcess, ACancelFromASecondThreadEndsTheWaitOfTheFirst) {
    ASSERT_TRUE(start());
    int fd = openData();
    ASSERT_GT(enrol(fd, "alice", 1), 0);
    ModuleReply seen;
    std::thread waiter([&] {
        sendFp(fd, 40, kVerify);
        seen = nextReply(fd);  // blocks until the module answers
    });
    ASSERT_TRUE(statusShows("module=verifying"));
    ASSERT_TRUE(sendFp(fd, 41, kChip, {0x3F}));  // send only, never answered itself
    waiter.join();
    ASSERT_TRUE(seen.ok);
    EXPECT_EQ(seen.seq, 40);
    EXPECT_EQ(seen.cont, 0);
    EXPECT_EQ(seen.status, 0xE117);
    EXPECT_TRUE(units(fd, 300).empty());
    // The same while an enrolment waits between captures.
    std::thread enroller([&] {
        sendFp(fd, 42, kEnroll);
        seen = nextReply(fd);
        if (seen.cont == 1) seen = nextReply(fd);
    });
    ASSERT_TRUE(statusShows("module=enrolling(0/6)"));
    ctlLine("touch bob");
    ASSERT_TRUE(statusShows("module=enrolling(1/6)"));
    ASSERT_TRUE(sendFp(fd, 43, kChip, {0x3F}));
    enroller.join();
    EXPECT_EQ(seen.seq, 42);
    EXPECT_EQ(seen.status, 0xE117);
    EXPECT_NE(ctlLine("status").find("templates=1/64"), std::string::npos);
    close(fd);
}

TEST_F(VkeyFingerProcess, AutoTouchAnswersEveryWait) {
    ASSERT_TRUE(start({"--auto-touch", "demo-finger:20"}));
    int fd = openData();
    ASSERT_TRUE(sendFp(fd, 1, kEnroll));
    for (uint8_t left = 5; left >= 1; --left)
        EXPECT_EQ(nextReply(fd).data, Bytes{left});
    ModuleReply done = nextReply(fd);
    EXPECT_EQ(done.cont, 0);
    EXPECT_EQ(done.status, 0);
    ASSERT_EQ(done.data.size(), 1u);
    ASSERT_TRUE(sendFp(fd, 2, kVerify));
    ModuleReply hit = nextReply(fd);
    EXPECT_EQ(hit.status, 0);
    EXPECT_EQ(hit.data, done.data);
    close(fd);
}

TEST_F(VkeyFingerProcess, EveryFaultKindAsSeenOnTheWire) {
    ASSERT_TRUE(start());
    int fd = openData();
    // The count reply: 66 data bytes, 76-byte frame, two units.
    ASSERT_TRUE(sendFp(fd, 1, kCount));
    const Bytes clean = joined(units(fd));
    ASSERT_EQ(clean.size(), 128u);
    ASSERT_TRUE(parseModuleReply(clean).ok);
    auto ask = [&](uint8_t seq) {
        sendFp(fd, seq, kCount);
        return joined(units(fd, 2000));
    };
    auto withSeq = [&](Bytes f, uint8_t seq) {
        f[5] = seq;
        uint16_t sum = fletcher(f.data() + 1, 6 + 70);
        f[77] = static_cast<uint8_t>(sum >> 8);
        f[78] = static_cast<uint8_t>(sum);
        return f;
    };

    // drop N: the next N replies never come; then they do again.
    EXPECT_EQ(ctlLine("fault drop 2"), "OK faults=drop:2");
    EXPECT_NE(ctlLine("status").find("faults=drop:2"), std::string::npos);
    EXPECT_TRUE(ask(2).empty());
    EXPECT_TRUE(ask(3).empty());
    EXPECT_EQ(ask(4), withSeq(clean, 4));

    // stale-seq: the sequence byte of the request before, checksum intact.
    EXPECT_EQ(ctlLine("fault stale-seq"), "OK faults=stale-seq:1");
    Bytes stale = ask(10);
    ASSERT_EQ(stale.size(), 128u);
    ModuleReply s = parseModuleReply(stale);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.seq, 9);
    EXPECT_EQ(parseModuleReply(ask(11)).seq, 11);

    // bad-checksum N: both checksum bytes wrong, everything else as it was.
    EXPECT_EQ(ctlLine("fault bad-checksum 2"), "OK faults=bad-checksum:2");
    for (uint8_t seq : {12, 13}) {
        Bytes bad = ask(seq), want = withSeq(clean, seq);
        EXPECT_FALSE(parseModuleReply(bad).ok);
        ASSERT_EQ(bad.size(), want.size());
        EXPECT_EQ(bad[77], static_cast<uint8_t>(want[77] ^ 0xFF));
        EXPECT_EQ(bad[78], static_cast<uint8_t>(want[78] ^ 0xFF));
        bad[77] = want[77];
        bad[78] = want[78];
        EXPECT_EQ(bad, want);
    }
    EXPECT_TRUE(parseModuleReply(ask(14)).ok);

    // truncate: the length field promises 76 bytes, one unit with the first
    // 38 comes, and nothing after it.
    EXPECT_EQ(ctlLine("fault truncate"), "OK faults=truncate:1");
    Bytes cut = ask(15), want = withSeq(clean, 15);
    ASSERT_EQ(cut.size(), 64u);
    EXPECT_EQ(Bytes(cut.begin(), cut.begin() + 38), Bytes(want.begin(), want.begin() + 38));
    EXPECT_EQ(Bytes(cut.begin() + 38, cut.end()), Bytes(26, 0));
    EXPECT_TRUE(parseModuleReply(ask(16)).ok);

    // oversize: a length field beyond any buffer on an otherwise whole frame.
    EXPECT_EQ(ctlLine("fault oversize"), "OK faults=oversize:1");
    Bytes big = ask(17);
    want = withSeq(clean, 17);
    ASSERT_EQ(big.size(), 128u);
    EXPECT_EQ(big[1], 0xFF);
    EXPECT_EQ(big[2], 0xFF);
    big[1] = want[1];
    big[2] = want[2];
    EXPECT_EQ(big, want);

    // delay: held back, then delivered whole; the frame behind it waits too.
    EXPECT_EQ(ctlLine("fault delay 1500"), "OK faults=delay:1500msx1");
    sendFp(fd, 18, kCount);
    sendFp(fd, 19, kCount);
    pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 200), 0);  // nothing yet
    ModuleReply held = nextReply(fd);
    EXPECT_TRUE(held.ok);
    EXPECT_EQ(held.seq, 18);
    EXPECT_EQ(nextReply(fd).seq, 19);

    // Faults hit every channel: a card reply with a stale sequence byte.
    EXPECT_EQ(ctlLine("fault stale-seq"), "OK faults=stale-seq:1");
    SocketPort port(fd);
    Client c(port);
    c.cmd(0x50, 0, 0, {}, 8);
    EXPECT_EQ(c.lastReplySeq, static_cast<uint8_t>(c.lastSeq - 1));

    // clear forgets what is pending.
    EXPECT_EQ(ctlLine("fault drop 5"), "OK faults=drop:5");
    EXPECT_EQ(ctlLine("fault clear"), "OK faults=none");
    EXPECT_EQ(ask(20), withSeq(clean, 20));
    close(fd);
}

TEST_F(VkeyFingerProcess, ControlCommandsRefuseBadArguments) {
    ASSERT_TRUE(start());
    for (const char* bad :
         {"fault", "fault bogus", "fault drop 0", "fault drop x", "fault delay", "fault clear 3",
          "fault drop 1 2", "touch", "touch bad/name", "item", "item 1 zz", "item x 00"})
        EXPECT_EQ(ctlLine(bad).rfind("ERR", 0), 0u) << bad;
    EXPECT_EQ(ctlLine("lift"), "OK lifted");
    // A vault item put here is what the vault channel lists and gives out.
    EXPECT_EQ(ctlLine("item 5 616263"), "OK item 5");
    int fd = openData();
    sendFrame(fd, makeFrame(7, 1, modulePayload(0x0005, {5, 0, 0, 0})));
    ModuleReply r = nextReply(fd);
    EXPECT_EQ(r.channel, 7);
    EXPECT_EQ(r.data, (Bytes{'a', 'b', 'c'}));
    EXPECT_NE(ctlLine("status").find("vault=1"), std::string::npos);
    // Touches while unplugged are refused.
    EXPECT_EQ(ctlLine("unplug"), "OK unplugged");
    EXPECT_EQ(ctlLine("touch alice"), "ERR unplugged");
    close(fd);
}

}  // namespace
