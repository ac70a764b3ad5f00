// The fingerprint channel makes no heap allocation on the calling thread:
// module commands with multi-frame answers, the send-only cancel, an
// enciphered vault exchange, and a card-OS frame parked on the way and taken
// later run while every malloc/calloc/realloc and operator new of this thread
// is counted (wrapped at link time).
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "tests/unit/transport/module_peer.h"
#include "transport/nuv_cmd.h"

#include "tests/unit/transport/alloc_count.h"

namespace {

int s_calls = 0;
int countCalls(int*, void*, int*) {
    ++s_calls;
    return 0;
}

TEST(NuvNoAllocation, ModuleAndVaultCommands) {
    // The counter works at all.
    {
        t_allocs = 0;
        t_counting = true;
        void* volatile p = malloc(8);
        t_counting = false;
        free(p);
        ASSERT_EQ(t_allocs, 1);
    }
    ModulePeer peer;
    uint8_t key[16] = {1, 2, 3};
    nuvSetShareKey(key);
    peer.setScript([&key](ModulePeer& p, const ModuleRequest& r) {
        if (r.channel() == FRAME_CH_PWD) {
            Bytes plain = {0, 0, 2, 0, 0x61, 0x62};
            plain.insert(plain.end(), 10, 10);
            p.sendPayload(r.seq(), oracleSm4Cbc(true, key, plain), 0, FRAME_CH_PWD, FRAME_SM4);
        } else if (r.command() == 0x0000) {
            for (uint8_t i = 1; i <= 5; ++i)
                p.answer(r.seq(), 0, {i}, 1);
            p.answer(r.seq(), 0, {9});
        } else if (r.command() != 0x0020) {
            p.answer(0x44, 0x9000, {0x8B}, 0, FRAME_CH_APDU);  // parked for channel 8
            p.answer(r.seq(), 0, {4, 1, 9, 0, 0, 0});
        }
    });
    NUV_SetLink(&peer.link());
    NUV_SetTimeOut(5000);
    uint32_t results[5] = {1, 1, 1, 1, 1};
    uint8_t apdu[FRAME_BUF_SIZE];
    int apduLen = 0;
    uint8_t num[NUV_FPC_NUM_MAX] = {};
    uint8_t id = 0;
    uint8_t item[NUV_PWD_ITEM_SIZE];
    uint32_t itemLen = sizeof item;
    t_allocs = 0;
    t_counting = true;
    results[0] = NUV_FpcGetNum(nullptr, num);
    results[1] = NUV_FpcEnroll(nullptr, &id, countCalls);
    results[2] = NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL);
    results[3] = NUV_PwdGetItem(nullptr, 1, item, &itemLen);
    results[4] = static_cast<uint32_t>(
        peer.link().rxdChannel(FRAME_CH_APDU, apdu, &apduLen, sizeof apdu, 100));
    t_counting = false;
    const int allocs = t_allocs;
    NUV_SetLink(nullptr);

    for (uint32_t r : results)
        EXPECT_EQ(r, 0u);
    EXPECT_EQ(num[2], 9);
    EXPECT_EQ(id, 9);
    EXPECT_EQ(s_calls, 5);
    EXPECT_EQ(itemLen, 2u);
    EXPECT_EQ(apduLen, 15);
    EXPECT_EQ(apdu[FRAME_OFS_SEQ], 0x44);
    EXPECT_EQ(allocs, 0);
}

}  // namespace
