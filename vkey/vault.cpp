// The vault of stored items (channel 7): the share-key handshake and the
// plain item commands. Enciphered payloads are refused: the share-key block
// the host sends carries no key to decipher them with.
#include <algorithm>
#include <cstring>

#include "util/util.h"
#include "vkey/finger.h"

namespace vkey {

namespace {

enum PwdCommand : uint16_t {
    PWD_LIST = 0x0000,
    PWD_GET_ITEM = 0x0001,
    PWD_DELETE = 0x0004,
    PWD_PUB_ITEM = 0x0005,
    PWD_CAP = 0x0007,
    PWD_UPDATE_ITEM = 0x0008,
    PWD_IS_AUTH = 0x000A,
    CFG_LIST = 0x0010,
    CFG_GET_ITEM = 0x0011,
    PWD_SHARE_ASK = 0x0014,
    PWD_SHARE_SEND = 0x0015,
};

constexpr size_t kQueryBlock = 32;
constexpr uint8_t kQueryMark = 0x5A;
constexpr size_t kShareBlock = 128;
constexpr size_t kShareAnswer = 68;

}  // namespace

VaultItem* Vault::find(uint32_t index) {
    for (VaultItem& it : items)
        if (it.index == index) return &it;
    return nullptr;
}

bool Vault::put(uint32_t index, const std::vector<uint8_t>& pub) {
    if (pub.size() > kVaultPubMax) return false;
    if (VaultItem* it = find(index)) {
        it->pub = pub;
        return true;
    }
    if (items.size() >= kVaultItems) return false;
    items.push_back(VaultItem{index, pub});
    std::sort(items.begin(), items.end(),
              [](const VaultItem& a, const VaultItem& b) { return a.index < b.index; });
    return true;
}

void Vault::request(const FrameView& f, ModuleHost& host) {
    auto answer = [&](uint16_t status, const uint8_t* data, size_t n) {
        host.reply(kChannelVault, f.seq, false, status, data, n);
    };
    if (f.cipher != FRAME_PLAIN) {
        answer(FP_UNSUPPORTED, nullptr, 0);
        return;
    }
    if (f.length < 4 || 4 + static_cast<size_t>(getLe16(f.payload + 2)) != f.length) {
        answer(FP_BAD_PARAM, nullptr, 0);
        return;
    }
    const uint16_t cmd = getLe16(f.payload);
    const uint8_t* data = f.payload + 4;
    const size_t n = f.length - 4;
    switch (cmd) {
        case PWD_SHARE_ASK: {
            if (n != 4) break;
            uint8_t out[kShareAnswer];
            putLe32(256, out);
            memcpy(out + 4, key.x, 32);
            memcpy(out + 36, key.y, 32);
            answer(FP_OK, out, sizeof out);
            return;
        }
        case PWD_SHARE_SEND:
            if (n != 4 + kShareBlock) break;
            shared = true;
            answer(FP_OK, nullptr, 0);
            return;
        case PWD_IS_AUTH:
            if (n != 0) break;
            answer(shared ? FP_OK : FP_MISMATCH, nullptr, 0);
            return;
        case PWD_CAP: {
            if (n != 0) break;
            uint8_t out[8];
            putLe32(static_cast<uint32_t>(kVaultItems), out);
            putLe32(static_cast<uint32_t>(items.size()), out + 4);
            answer(FP_OK, out, sizeof out);
            return;
        }
        case PWD_LIST:
        case CFG_LIST: {
            if (n != kQueryBlock || data[0] != kQueryMark) break;
            const uint32_t start = getLe32(data + 24), count = getLe32(data + 28);
            uint8_t out[4 * kVaultItems];
            size_t len = 0;
            // The key keeps no configuration items: that list is always empty.
            if (cmd == PWD_LIST)
                for (size_t i = start; i < items.size() && len / 4 < count; ++i, len += 4)
                    putLe32(items[i].index, out + len);
            answer(FP_OK, out, len);
            return;
        }
        case PWD_PUB_ITEM: {
            if (n != 4) break;
            const VaultItem* it = find(getLe32(data));
            if (it == nullptr) {
                answer(FP_BAD_PARAM, nullptr, 0);
                return;
            }
            answer(FP_OK, it->pub.data(), it->pub.size());
            return;
        }
        case PWD_DELETE: {
            if (n != 4) break;
            const uint32_t index = getLe32(data);
            auto at = std::find_if(items.begin(), items.end(),
                                   [&](const VaultItem& it) { return it.index == index; });
            if (at == items.end()) {
                answer(FP_BAD_PARAM, nullptr, 0);
                return;
            }
            const VaultItem kept = *at;
            const size_t pos = static_cast<size_t>(at - items.begin());
            items.erase(at);
            if (!host.saveState()) {
                items.insert(items.begin() + static_cast<long>(pos), kept);
                answer(FP_FLASH_ERROR, nullptr, 0);
                return;
            }
            answer(FP_OK, nullptr, 0);
            return;
        }
        case PWD_GET_ITEM:
        case PWD_UPDATE_ITEM:
        case CFG_GET_ITEM:
            // Only ever enciphered; without a share key there is no cipher.
        default:
            answer(FP_UNSUPPORTED, nullptr, 0);
            return;
    }
    answer(FP_BAD_PARAM, nullptr, 0);
}

}  // namespace vkey
