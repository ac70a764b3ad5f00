// Nothing in the transport allocates on the exchange path: building a frame,
// sending it and receiving the answer through a link over the virtual port
// makes no heap allocation on the calling thread. operator new is replaced
// and malloc/calloc/realloc are wrapped at link time (--wrap), which covers
// every call made from the transport library's objects.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "tests/unit/transport/fake_key.h"
#include "transport/transport.h"

#include "tests/unit/transport/alloc_count.h"

namespace {

struct Counting {
    Counting() {
        t_allocs = 0;
        t_counting = true;
    }
    ~Counting() { t_counting = false; }
};

TEST(NoAllocation, CountingSeesAllocations) {
    // The counter itself works: an allocation made while counting is seen.
    int seen = 0;
    {
        Counting c;
        void* volatile p = malloc(16);
        char* volatile q = new char[4];
        std::string* volatile s = new std::string(100, 'x');
        seen = t_allocs;
        delete s;
        free(p);
        delete[] q;
    }
    EXPECT_GE(seen, 3);
}

TEST(NoAllocation, LinkExchangeOverVirtualPort) {
    FakeKey key(tempSocketPath("alloc"), 0x2549, "01.03");
    ASSERT_TRUE(key.start());
    const char* paths[] = {key.path().c_str()};
    ASSERT_EQ(PORT_UseVirtualKeys(paths, 1), 0);
    PORT_SETWAITTIME(2000);
    _ST_PORT_PARAM rec;
    PORT_FillParam(&rec, 0, "FingerPrint.Usb.0x2541.0x2549..01.03");
    _ST_DEV_OPT opt;
    ASSERT_EQ(initPortParam(&opt, &rec), 0);
    CLink link;
    link.SetDev(&opt);
    ASSERT_EQ(link.linkf_openDev(), 0);
    static tdLINK_PACK pack;
    int results[3] = {-1, -1, -1};
    int len = 0;
    int allocs = -1;
    {
        Counting c;
        for (int round = 0; round < 20; ++round) {
            pack.length = static_cast<uint32_t>(30 + round * 50);
            memset(pack.frame + FRAME_OFS_PAYLOAD, round, pack.length);
            const uint32_t n = framePackBuild(&pack, FRAME_CH_APDU, FRAME_PLAIN);
            results[0] = link.linkf_txd_buff(PROTOCOL_FRAME, pack.frame, static_cast<int>(n));
            results[1] = link.linkf_rxd_buff(PROTOCOL_FRAME, pack.frame, &len);
            results[2] = frameCheckEx(pack.frame, static_cast<size_t>(len), FRAME_MAX_PAYLOAD);
            if (results[0] != 0 || results[1] != 0 || results[2] != 1) break;
        }
        allocs = t_allocs;
    }
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(results[2], 1);
    EXPECT_EQ(len, 30 + 19 * 50 + 14);
    EXPECT_EQ(allocs, 0);
    link.linkf_closeDev();
    PORT_UseVirtualKeys(nullptr, 0);
    PORT_SETWAITTIME(0);
}

}  // namespace
