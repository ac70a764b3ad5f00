// Vault and configuration commands (frame channel 7). Commands that move
// protected item contents use payload cipher 1 (SM4-CBC under the share key).
#include <sys/random.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log/log.h"
#include "transport/nuv_cmd.h"
#include "util/util.h"

namespace {

enum : uint32_t {
    PWD_GET_LIST = 0x0000,
    PWD_GET_ITEM = 0x0001,
    PWD_DELETE = 0x0004,
    PWD_GET_PUB_ITEM = 0x0005,
    PWD_GET_CAP = 0x0007,
    PWD_UPDATE_ITEM = 0x0008,
    PWD_IS_AUTH = 0x000A,
    CFG_GET_LIST = 0x0010,
    CFG_GET_ITEM = 0x0011,
    PWD_SHARE_ASK = 0x0014,
    PWD_SHARE_SEND = 0x0015,
};

constexpr uint32_t kListEntry = 4;
constexpr uint32_t kContainerMax = 4;
constexpr uint32_t kCapAnswer = 8;
constexpr uint32_t kShareBlock = 128;
constexpr uint8_t kListMark = 0x5A;

// Binds, exchanges with judge 1, and checks the module status.
uint32_t run(NUV_CMD& cmd, void* hDev) {
    uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    r = cmd.nuvTxdAndRxd(0, 1);
    if (r != 0) return r;
    r = cmd.getRet();
    if (r != 0) _nvlog("ret=0x%X", r);
    return r;
}

// Data of the answer into `out`, room min(*len, most).
uint32_t take(NUV_CMD& cmd, uint8_t* out, uint32_t* len, uint32_t most) {
    if (out == nullptr || len == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    uint32_t room = *len < most ? *len : most;
    const uint32_t r = cmd.getRsp(out, &room);
    if (r != 0) {
        _nvlog("ret=0x%X", r);
        return r;
    }
    *len = room;
    return 0;
}

// The 32-byte list query: mark, 15 zero bytes, then 0, 1, start, count.
void addListQuery(NUV_CMD& cmd, uint32_t start, uint32_t count) {
    uint8_t head[16] = {kListMark};
    cmd.addBuf(head, sizeof head).addDw(0).addDw(1).addDw(start).addDw(count);
}

uint32_t getList(uint32_t command, void* hDev, uint32_t start, uint32_t* count, uint8_t* out) {
    if (count == nullptr || out == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    NUV_PWD cmd(command, FRAME_PLAIN);
    addListQuery(cmd, start, *count);
    uint32_t r = run(cmd, hDev);
    if (r != 0) return r;
    constexpr uint32_t kMostEntries = UINT32_MAX / kListEntry;
    uint32_t len = (*count < kMostEntries ? *count : kMostEntries) * kListEntry;
    r = take(cmd, out, &len, UINT32_MAX);
    if (r != 0) return r;
    *count = len / kListEntry;
    return 0;
}

uint32_t getItem(uint32_t command, uint32_t cipher, void* hDev, uint32_t index, uint8_t* out,
                 uint32_t* len, uint32_t most) {
    NUV_PWD cmd(command, cipher);
    cmd.addDw(index);
    const uint32_t r = run(cmd, hDev);
    return r != 0 ? r : take(cmd, out, len, most);
}

uint32_t updateItem(void* hDev, uint32_t index, const uint8_t* item) {
    if (item == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    NUV_PWD cmd(PWD_UPDATE_ITEM, FRAME_SM4);
    cmd.addDw(index).addBuf(item, NUV_PWD_ITEM_SIZE);
    return run(cmd, hDev);
}

// 16 bytes from the kernel's generator; the process's rand() only when that
// is unavailable.
void newShareKey(uint8_t key[16]) {
    if (getrandom(key, 16, 0) == 16) return;
    srand(static_cast<unsigned>(time(nullptr)) + static_cast<unsigned>(rand()));
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<uint8_t>(rand());
}

}  // namespace

uint32_t NUV_PwdCreateShareKey(void* hDev, uint16_t a, uint16_t b) {
    _nvlog(">>-%s", "NUV_PwdCreateShareKey");
    uint8_t key[16];
    newShareKey(key);
    nuvSetShareKey(key);
    secureWipe(key, sizeof key);

    NUV_PWD ask(PWD_SHARE_ASK, FRAME_PLAIN);
    ask.addW(a).addW(b);
    uint32_t r = run(ask, hDev);
    if (r != 0) return r;
    if (ask.rspDataLen() != NUV_PWD_SHARE_ANSWER) {
        _nvlog("ret=0x%X", NUV_ERR_RSP_SIZE);
        return NUV_ERR_RSP_SIZE;
    }
    _nvlogstr("soft SM2\xBC\xD3\xC3\xDC\n");
    // The block is meant to carry the share key enciphered for the key; it
    // is sent as zeros, as the key expects today.
    const uint8_t block[kShareBlock] = {};
    NUV_PWD send(PWD_SHARE_SEND, FRAME_PLAIN);
    send.addW(a).addW(b).addBuf(block, sizeof block);
    r = run(send, hDev);
    if (r != 0) return r;
    nuvSetShareKeyCreated(1);
    return 0;
}

uint32_t NUV_PwdGetListContainer(void* hDev, uint8_t* out, uint32_t* len) {
    _nvlog(">>-%s", "NUV_PwdGetListContainer");
    NUV_PWD cmd(PWD_GET_CAP, FRAME_PLAIN);
    uint32_t r = run(cmd, hDev);
    if (r != 0) return r;
    if (out == nullptr || len == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    // The module answers this command with its whole capacity record (two
    // 32-bit values); the container part is its first bytes, never more than
    // four and never more than the caller has room for.
    uint8_t data[FRAME_BUF_SIZE];
    uint32_t got = sizeof data;
    r = cmd.getRsp(data, &got);
    if (r != 0) {
        _nvlog("ret=0x%X", r);
        return r;
    }
    uint32_t n = got < kContainerMax ? got : kContainerMax;
    if (n > *len) n = *len;
    memcpy(out, data, n);
    *len = n;
    return 0;
}

uint32_t NUV_PwdGetCap(void* hDev, uint32_t* first, uint32_t* second) {
    _nvlog(">>-%s", "NUV_PwdGetCap");
    NUV_PWD cmd(PWD_GET_CAP, FRAME_PLAIN);
    uint32_t r = run(cmd, hDev);
    if (r != 0) return r;
    uint8_t data[kCapAnswer];
    uint32_t len = sizeof data;
    r = cmd.getRsp(data, &len);
    if (r != 0) return r;
    if (len != kCapAnswer) {
        _nvlog("ret=0x%X", NUV_ERR_RSP_SIZE);
        return NUV_ERR_RSP_SIZE;
    }
    if (first != nullptr) *first = getLe32(data);
    if (second != nullptr) *second = getLe32(data + 4);
    return 0;
}

uint32_t NUV_PwdGetIsAuth(void* hDev, uint8_t* out) {
    _nvlog(">>-%s", "NUV_PwdGetIsAuth");
    NUV_PWD cmd(PWD_IS_AUTH, FRAME_PLAIN);
    uint32_t r = cmd.bind(hDev);
    if (r != 0) return r;
    r = cmd.nuvTxdAndRxd(0, 1);
    if (r != 0) return r;
    if (out != nullptr) *out = cmd.getRet() == 0 ? 1 : 0;
    return 0;
}

uint32_t NUV_PwdDelete(void* hDev, uint32_t index) {
    _nvlog(">>-%s", "NUV_PwdDelete");
    NUV_PWD cmd(PWD_DELETE, FRAME_PLAIN);
    cmd.addDw(index);
    return run(cmd, hDev);
}

uint32_t NUV_PwdGetListS(void* hDev, uint32_t start, uint32_t* count, uint8_t* out) {
    _nvlog(">>-%s", "NUV_PwdGetListS");
    return getList(PWD_GET_LIST, hDev, start, count, out);
}

uint32_t NUV_PwdGetList(void* hDev, uint32_t start, uint32_t* count, uint8_t* out,
                        uint8_t* container, uint32_t* containerLen, uint8_t* isAuth) {
    _nvlog(">>-%s", "NUV_PwdGetList");
    uint32_t r = NUV_PwdGetListS(hDev, start, count, out);
    if (r == 0) r = NUV_PwdGetListContainer(hDev, container, containerLen);
    if (r == 0) r = NUV_PwdGetIsAuth(hDev, isAuth);
    return r;
}

uint32_t NUV_PwdGetItem(void* hDev, uint32_t index, uint8_t* out, uint32_t* len) {
    _nvlog(">>-%s", "NUV_PwdGetItem");
    return getItem(PWD_GET_ITEM, FRAME_SM4, hDev, index, out, len, NUV_PWD_ITEM_SIZE);
}

uint32_t NUV_PwdGetPubItem(void* hDev, uint32_t index, uint8_t* out, uint32_t* len) {
    _nvlog(">>-%s", "NUV_PwdGetPubItem");
    return getItem(PWD_GET_PUB_ITEM, FRAME_PLAIN, hDev, index, out, len, NUV_PWD_PUB_ITEM_MAX);
}

uint32_t NUV_PwdUpdateItem(void* hDev, uint32_t index, const uint8_t* item) {
    _nvlog(">>-%s", "NUV_PwdUpdateItem");
    return updateItem(hDev, index, item);
}

uint32_t NUV_CfgGetList(void* hDev, uint32_t* count, uint8_t* out) {
    _nvlog(">>-%s", "NUV_CfgGetList");
    return getList(CFG_GET_LIST, hDev, 0, count, out);
}

uint32_t NUV_CfgGetItem(void* hDev, uint32_t index, uint8_t* out, uint32_t* len) {
    _nvlog(">>-%s", "NUV_CfgGetItem");
    return getItem(CFG_GET_ITEM, FRAME_SM4, hDev, index, out, len, NUV_PWD_ITEM_SIZE);
}

uint32_t NUV_CfgUpdateItem(void* hDev, uint32_t index, const uint8_t* item) {
    _nvlog(">>-%s", "NUV_CfgUpdateItem");
    return updateItem(hDev, index, item);
}
