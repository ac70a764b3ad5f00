// Vault and configuration commands against a scripted key: the share-key
// handshake, list queries, and item payloads enciphered under the share key
// (checked with OpenSSL's SM4 on the key side).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "tests/unit/transport/module_peer.h"
#include "transport/nuv_cmd.h"

namespace {

class NuvPwd : public ::testing::Test {
  protected:
    void SetUp() override {
        NUV_SetLink(&peer.link());
        NUV_SetRegistry(nullptr, nullptr);
        PORT_SETWAITTIME(2000);
    }
    void TearDown() override { NUV_SetLink(nullptr); }
    ModulePeer peer;
};

Bytes shareKey() {
    uint8_t k[16];
    nuvGetShareKey(k);
    return Bytes(k, k + 16);
}

// Key side of an enciphered exchange: the plain request payload, and an
// enciphered answer.
Bytes decipherRequest(const ModuleRequest& r) {
    const Bytes key = shareKey();
    Bytes p = oracleSm4Cbc(false, key.data(), r.payload());
    if (!p.empty() && p.back() >= 1 && p.back() <= 16) p.resize(p.size() - p.back());
    return p;
}
void answerEnciphered(ModulePeer& peer, uint8_t seq, uint16_t status, const Bytes& data) {
    // Sized once and filled in place: GCC 12 at -O3 takes a range insert
    // into the 4-byte head for an out-of-bounds copy (-Warray-bounds).
    const size_t plain = 4 + data.size();
    const uint8_t pad = static_cast<uint8_t>(16 - plain % 16);
    Bytes p(plain + pad, pad);
    putLe16(status, p.data());
    putLe16(static_cast<uint16_t>(data.size()), p.data() + 2);
    std::copy(data.begin(), data.end(), p.begin() + 4);
    const Bytes key = shareKey();
    peer.sendPayload(seq, oracleSm4Cbc(true, key.data(), p), 0, FRAME_CH_PWD, FRAME_SM4);
}

TEST_F(NuvPwd, ShareKeyHandshake) {
    uint16_t answerLen = 68;
    peer.setScript([&](ModulePeer& p, const ModuleRequest& r) {
        p.answer(r.seq(), 0, r.command() == 0x0014 ? Bytes(answerLen, 0x04) : Bytes{}, 0,
                 FRAME_CH_PWD);
    });
    // An answer of the wrong size stops before the block is sent.
    answerLen = 67;
    EXPECT_EQ(NUV_PwdCreateShareKey(nullptr, 0x0102, 0x0304), NUV_ERR_RSP_SIZE);
    EXPECT_EQ(NUV_PwdIsShareKeyCreated(), 0);
    EXPECT_EQ(peer.requests().size(), 1u);
    const Bytes first = shareKey();

    answerLen = 68;
    ASSERT_EQ(NUV_PwdCreateShareKey(nullptr, 0x0102, 0x0304), 0u);
    EXPECT_EQ(NUV_PwdIsShareKeyCreated(), 1);
    const auto req = peer.requests();
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(req[1].channel(), FRAME_CH_PWD);
    EXPECT_EQ(req[1].payload(), (Bytes{0x14, 0, 4, 0, 0x02, 0x01, 0x04, 0x03}));
    Bytes block = {0x15, 0, 132, 0, 0x02, 0x01, 0x04, 0x03};
    block.insert(block.end(), 128, 0);
    EXPECT_EQ(req[2].payload(), block);
    // Each handshake makes a fresh key.
    EXPECT_NE(shareKey(), first);
    EXPECT_NE(shareKey(), Bytes(16, 0));
}

TEST_F(NuvPwd, ItemsTravelEncipheredUnderTheShareKey) {
    uint8_t key[16];
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<uint8_t>(0xA0 + i);
    nuvSetShareKey(key);
    Bytes item(NUV_PWD_ITEM_SIZE);
    for (size_t i = 0; i < item.size(); ++i)
        item[i] = static_cast<uint8_t>(i * 7);
    std::mutex mu;  // the key thread writes, the test thread reads
    std::vector<Bytes> plainRequests;
    peer.setScript([&](ModulePeer& p, const ModuleRequest& r) {
        ASSERT_EQ(r.cipher(), FRAME_SM4);
        const Bytes plain = decipherRequest(r);
        {
            std::lock_guard<std::mutex> g(mu);
            plainRequests.push_back(plain);
        }
        const uint16_t cmd = getLe16(plain.data());
        answerEnciphered(p, r.seq(), 0, cmd == 0x0008 ? Bytes{} : item);
    });
    uint8_t out[NUV_PWD_ITEM_SIZE + 4];
    uint32_t len = sizeof out;
    ASSERT_EQ(NUV_PwdGetItem(nullptr, 0x01020304, out, &len), 0u);
    EXPECT_EQ(Bytes(out, out + len), item);
    len = sizeof out;
    ASSERT_EQ(NUV_CfgGetItem(nullptr, 9, out, &len), 0u);
    EXPECT_EQ(len, NUV_PWD_ITEM_SIZE);
    ASSERT_EQ(NUV_PwdUpdateItem(nullptr, 5, item.data()), 0u);
    len = 100;  // room smaller than the item
    EXPECT_EQ(NUV_PwdGetItem(nullptr, 1, out, &len), NUV_ERR_BUF_SMALL);

    std::lock_guard<std::mutex> g(mu);
    ASSERT_EQ(plainRequests.size(), 4u);
    EXPECT_EQ(plainRequests[0], (Bytes{0x01, 0, 4, 0, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(plainRequests[1], (Bytes{0x11, 0, 4, 0, 9, 0, 0, 0}));
    Bytes update = {0x08, 0, 0x04, 0x02, 5, 0, 0, 0};
    update.insert(update.end(), item.begin(), item.end());
    EXPECT_EQ(plainRequests[2], update);
    // 520 bytes padded to 528 on the wire.
    EXPECT_EQ(peer.requests()[2].payload().size(), 528u);
    EXPECT_EQ(NUV_PwdUpdateItem(nullptr, 5, nullptr), NUV_ERR_NULL);
}

TEST_F(NuvPwd, ListsCapacityAndAuthorisation) {
    peer.setScript([](ModulePeer& p, const ModuleRequest& r) {
        switch (r.command()) {
            case 0x0000:
            case 0x0010:
                p.answer(r.seq(), 0, {1, 0, 0, 0, 2, 0, 0, 0}, 0, FRAME_CH_PWD);
                break;
            case 0x0007:
                p.answer(r.seq(), 0, {0x10, 0, 0, 0, 0x20, 0, 0, 0}, 0, FRAME_CH_PWD);
                break;
            case 0x000A:
                p.answer(r.seq(), 0xE101, {}, 0, FRAME_CH_PWD);
                break;
            default:
                p.answer(r.seq(), 0, {0x33}, 0, FRAME_CH_PWD);
        }
    });
    uint8_t list[16];
    uint32_t count = 4;
    ASSERT_EQ(NUV_PwdGetListS(nullptr, 3, &count, list), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(list[4], 2);
    Bytes query = {0x00, 0, 32, 0, 0x5A};
    query.insert(query.end(), 15, 0);
    const Bytes words = {0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
    query.insert(query.end(), words.begin(), words.end());
    EXPECT_EQ(peer.requests()[0].payload(), query);
    count = 1;  // room for one entry, two arrive
    EXPECT_EQ(NUV_PwdGetListS(nullptr, 0, &count, list), NUV_ERR_BUF_SMALL);
    count = 2;
    ASSERT_EQ(NUV_CfgGetList(nullptr, &count, list), 0u);
    const Bytes cfg = peer.requests()[2].payload();
    EXPECT_EQ(getLe16(cfg.data()), 0x0010);
    EXPECT_EQ(getLe32(cfg.data() + 4 + 24), 0u);  // start index
    EXPECT_EQ(getLe32(cfg.data() + 4 + 28), 2u);  // entries wanted

    uint32_t a = 0, b = 0;
    ASSERT_EQ(NUV_PwdGetCap(nullptr, &a, &b), 0u);
    EXPECT_EQ(a, 0x10u);
    EXPECT_EQ(b, 0x20u);
    uint8_t auth = 7;
    EXPECT_EQ(NUV_PwdGetIsAuth(nullptr, &auth), 0u);
    EXPECT_EQ(auth, 0);
    EXPECT_EQ(NUV_PwdDelete(nullptr, 0x0A0B), 0u);
    EXPECT_EQ(peer.requests().back().payload(), (Bytes{0x04, 0, 4, 0, 0x0B, 0x0A, 0, 0}));

    // The whole list: entries, container, authorisation. The container
    // query shares its command with the capacity query, whose 8-byte answer
    // gives the container its first 4 bytes.
    uint8_t container[4] = {};
    uint32_t containerLen = sizeof container;
    count = 4;
    auth = 7;
    EXPECT_EQ(NUV_PwdGetList(nullptr, 0, &count, list, container, &containerLen, &auth), 0u);
    EXPECT_EQ(containerLen, 4u);
    EXPECT_EQ(Bytes(container, container + 4), (Bytes{0x10, 0, 0, 0}));
    EXPECT_EQ(auth, 0);  // reached the authorisation query
}

TEST_F(NuvPwd, ContainerTakesAtMostFourBytesAndTheCallersRoom) {
    const Bytes answer = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8};
    Bytes reply = answer;
    peer.setScript([&](ModulePeer& p, const ModuleRequest& r) {
        p.answer(r.seq(), 0, reply, 0, FRAME_CH_PWD);
    });
    // Guard bytes after the room given show that nothing is written past it.
    uint8_t out[8];
    memset(out, 0xEE, sizeof out);
    uint32_t len = 8;
    ASSERT_EQ(NUV_PwdGetListContainer(nullptr, out, &len), 0u);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0xC1, 0xC2, 0xC3, 0xC4, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(getLe16(peer.requests().back().payload().data()), 0x0007);

    memset(out, 0xEE, sizeof out);
    len = 2;
    ASSERT_EQ(NUV_PwdGetListContainer(nullptr, out, &len), 0u);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xC1, 0xC2, 0xEE, 0xEE}));

    // A shorter answer gives what there is.
    reply = {0xA1, 0xA2, 0xA3};
    memset(out, 0xEE, sizeof out);
    len = 4;
    ASSERT_EQ(NUV_PwdGetListContainer(nullptr, out, &len), 0u);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xA1, 0xA2, 0xA3, 0xEE}));

    len = 0;
    ASSERT_EQ(NUV_PwdGetListContainer(nullptr, out, &len), 0u);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(NUV_PwdGetListContainer(nullptr, nullptr, &len), NUV_ERR_NULL);
    EXPECT_EQ(NUV_PwdGetListContainer(nullptr, out, nullptr), NUV_ERR_NULL);

    // A module refusal passes up unchanged.
    peer.setScript([&](ModulePeer& p, const ModuleRequest& r) {
        p.answer(r.seq(), 0xE1CC, Bytes{}, 0, FRAME_CH_PWD);
    });
    len = 4;
    EXPECT_EQ(NUV_PwdGetListContainer(nullptr, out, &len), NUV_MODULE_BASE + 0xE1CC);
}

}  // namespace
