#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "service/event.h"
#include "service/service.h"

namespace {
struct Seen {
    int event, arg1, arg2;
};
std::mutex s_lock;
std::vector<Seen> s_seen;

size_t seenCount() {
    std::lock_guard<std::mutex> g(s_lock);
    return s_seen.size();
}
}  // namespace

// One test: the queue and its thread live for the rest of the process.
TEST(EventQueue, RecordsFromAnyThreadArriveWholeAndInOrder) {
    setEventSink([](int event, int arg1, int arg2) {
        std::lock_guard<std::mutex> g(s_lock);
        s_seen.push_back({event, arg1, arg2});
    });
    nvackExec();
    int id = nvackQueueId();
    ASSERT_GE(id, 0);
    struct msqid_ds info {};
    ASSERT_EQ(msgctl(id, IPC_STAT, &info), 0);
    EXPECT_EQ(info.msg_perm.mode & 0777, 0600);  // owner only, usable without privileges

    const int perThread = 200;
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([t] {
            for (int i = 0; i < perThread; ++i)
                EXPECT_EQ(postMsgAck(0, 100 + t, i, -t), 0);
        });
    EXPECT_EQ(postMsgAck(12345, -7, 0x7FFFFFFF, -2147483647 - 1), 0);  // any number, any values
    for (auto& p : posters)
        p.join();
    for (int i = 0; i < 1000 && seenCount() < 3 * perThread + 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::lock_guard<std::mutex> g(s_lock);
    ASSERT_EQ(s_seen.size(), 3u * perThread + 1);
    int next[3] = {0, 0, 0};
    int odd = 0;
    for (const Seen& s : s_seen) {
        if (s.event == -7) {
            EXPECT_EQ(s.arg1, 0x7FFFFFFF);
            EXPECT_EQ(s.arg2, -2147483647 - 1);
            ++odd;
            continue;
        }
        int t = s.event - 100;
        ASSERT_TRUE(t >= 0 && t < 3) << s.event;
        EXPECT_EQ(s.arg1, next[t]++);  // each poster's records in its order
        EXPECT_EQ(s.arg2, -t);
    }
    EXPECT_EQ(odd, 1);

    nvackClose();
    EXPECT_EQ(nvackQueueId(), -1);
    EXPECT_NE(msgctl(id, IPC_STAT, &info), 0);  // removed
    EXPECT_EQ(postMsgAck(0, 4, 1, 0), -1);
    setEventSink(nullptr);
}
