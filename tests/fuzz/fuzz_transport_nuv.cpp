// Fingerprint-channel answers into NUV_CMD: every fingerprint-module and
// vault command receives its answer frames from the fuzz input (see
// fuzz_port.h for the reply stream). Output buffers have exactly the room
// the caller declares, so AddressSanitizer sees any copy past it; reported
// lengths must stay within that room.
//
// Input: byte 0 = command, then the reply stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/fuzz/fuzz_port.h"
#include "transport/nuv_cmd.h"
#include "transport/transport.h"

namespace {

int onProgress(int*, void*, int*) {
    return 0;
}

void within(uint32_t r, uint32_t len, uint32_t room) {
    if (r == 0 && len > room) abort();
}

void run(uint8_t which) {
    switch (which % 19) {
        case 0: {
            std::vector<uint8_t> out(NUV_FPC_NUM_MAX);
            NUV_FpcGetNum(nullptr, out.data());
            NUV_FpcGetNum(nullptr, nullptr);
            break;
        }
        case 1: {
            uint8_t id = 0;
            NUV_FpcEnroll(nullptr, &id, onProgress);
            break;
        }
        case 2: {
            uint8_t id = 0;
            NUV_FpcEnrollEx(nullptr, &id, nullptr, 1);
            break;
        }
        case 3: {
            uint8_t id = 0;
            NUV_FpcVerify(nullptr, &id, onProgress);
            NUV_FpcVerify(nullptr, nullptr, nullptr);
            break;
        }
        case 4:
            NUV_FpcDelete(nullptr, 3);
            NUV_FpcLogout(nullptr, 1);
            break;
        case 5: {
            std::vector<uint8_t> out(100);
            uint32_t len = 100;
            within(NUV_FpcReadFlash(nullptr, 0, 100, out.data(), &len), len, 100);
            break;
        }
        case 6: {
            std::vector<uint8_t> out(NUV_FPC_CHIP_RSP_MAX);
            NUV_FpcChip592Cmd(nullptr, out.data(), NUV_FPC_SUB_ACK);
            break;
        }
        case 7: {
            std::vector<uint8_t> out(8);
            const uint8_t arg[3] = {1, 2, 3};
            NUV_FpcChip592CmdEx(nullptr, out.data(), 5, arg, 3, 8);
            break;
        }
        case 8:
            NUV_PwdCreateShareKey(nullptr, 1, 2);
            break;
        case 9: {
            std::vector<uint8_t> out(4);
            uint32_t len = 4;
            within(NUV_PwdGetListContainer(nullptr, out.data(), &len), len, 4);
            break;
        }
        case 10: {
            uint32_t a = 0, b = 0;
            NUV_PwdGetCap(nullptr, &a, &b);
            uint8_t auth = 0;
            NUV_PwdGetIsAuth(nullptr, &auth);
            break;
        }
        case 11: {
            uint32_t count = 5;
            std::vector<uint8_t> out(size_t{4} * count);
            within(NUV_PwdGetListS(nullptr, 0, &count, out.data()), count, 5);
            break;
        }
        case 12: {
            uint32_t count = 3, clen = 4;
            std::vector<uint8_t> out(size_t{4} * count), con(4);
            uint8_t auth = 0;
            NUV_PwdGetList(nullptr, 0, &count, out.data(), con.data(), &clen, &auth);
            break;
        }
        case 13: {
            std::vector<uint8_t> out(NUV_PWD_ITEM_SIZE);
            uint32_t len = NUV_PWD_ITEM_SIZE;
            within(NUV_PwdGetItem(nullptr, 1, out.data(), &len), len, NUV_PWD_ITEM_SIZE);
            break;
        }
        case 14: {
            std::vector<uint8_t> out(40);  // less than a whole item
            uint32_t len = 40;
            within(NUV_PwdGetPubItem(nullptr, 1, out.data(), &len), len, 40);
            break;
        }
        case 15: {
            std::vector<uint8_t> item(NUV_PWD_ITEM_SIZE, 0x41);
            NUV_PwdUpdateItem(nullptr, 2, item.data());
            NUV_PwdDelete(nullptr, 2);
            break;
        }
        case 16: {
            uint32_t count = 2;
            std::vector<uint8_t> out(size_t{4} * count);
            within(NUV_CfgGetList(nullptr, &count, out.data()), count, 2);
            break;
        }
        case 17: {
            std::vector<uint8_t> out(16);
            uint32_t len = 16;
            within(NUV_CfgGetItem(nullptr, 0, out.data(), &len), len, 16);
            break;
        }
        default: {
            std::vector<uint8_t> item(NUV_PWD_ITEM_SIZE, 0x42);
            NUV_CfgUpdateItem(nullptr, 0, item.data());
            NUV_FpcChip592Cmd(nullptr, nullptr, NUV_FPC_SUB_CANCEL);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 32768) return 0;
    static CLink link;
    // A fresh connection per input: nothing parked by the previous one.
    link.linkf_closeDev();
    fuzzport::attach(link);
    NUV_SetLink(&link);
    // A share key, so enciphered answers are deciphered (into garbage).
    static const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    nuvSetShareKey(key);
    nuvSetShareKeyCreated(1);
    fuzzport::reset(data + 1, size - 1);
    run(data[0]);
    return 0;
}
