// One key: request frames in, reply frames out, state saved before a reply
// acknowledges a change.
#include <cstring>

#include "util/util.h"
#include "vkey/card.h"
#include "vkey/crypto_ossl.h"
#include "vkey/link.h"
#include "vkey/store.h"

namespace vkey {

Key::Key()
    : m_card(new Card), m_store(new Store), m_reply(new Reply), m_out(new uint8_t[kMaxFrame]) {}
Key::~Key() = default;

OpenResult Key::open(const std::string& stateDir, const uint8_t* deviceKey,
                     std::unique_ptr<Key>& out, std::string& err) {
    std::unique_ptr<Key> key(new Key);
    OpenResult rc = key->m_store->open(stateDir, err);
    if (rc != OpenResult::ok) return rc;
    if (key->m_store->exists()) {
        rc = key->m_store->load(*key->m_card, err);
        if (rc != OpenResult::ok) return rc;
    } else {
        uint8_t factory[16];
        memcpy(
            factory,
            deviceKey != nullptr ? deviceKey : reinterpret_cast<const uint8_t*>(kDefaultDeviceKey),
            16);
        key->m_card->factoryReset(factory);
        if (!key->m_store->save(*key->m_card, err)) return OpenResult::io;
        rc = OpenResult::created;
    }
    out = std::move(key);
    return rc;
}

const std::string& Key::stateDir() const {
    return m_store->dir();
}

void Key::powerCycle() {
    m_card->powerCycle();
}

std::string Key::describe() const {
    const CardState& s = m_card->state;
    std::string serial(s.serial.begin(), s.serial.end());
    return "serial=" + serial + " apps=" + std::to_string(s.apps.size()) +
           " devauth=" + (m_card->session.devAuthed ? "1" : "0") +
           " open=" + std::to_string(m_card->session.open.size());
}

size_t Key::cardCommand(const uint8_t* apdu, size_t len, uint8_t* out, size_t cap) {
    Reply& r = *m_reply;
    r.len = 0;
    r.changed = false;
    uint16_t sw;
    if (len < 8) {
        sw = SW_WRONG_LENGTH;
    } else {
        Apdu a;
        a.cla = apdu[0];
        a.ins = apdu[1];
        a.p1 = apdu[2];
        a.p2 = apdu[3];
        a.lc = static_cast<uint16_t>(apdu[4] | (apdu[5] << 8));
        a.le = static_cast<uint16_t>(apdu[6] | (apdu[7] << 8));
        a.data = apdu + 8;
        a.raw = apdu;
        if (8 + static_cast<size_t>(a.lc) != len) {
            sw = SW_WRONG_LENGTH;
            m_card->session.list = ListCursor();
        } else if (a.cla != 0x80 && a.cla != 0x84) {
            sw = SW_BAD_CLA;
            m_card->session.list = ListCursor();
        } else {
            sw = m_card->execute(a, r);
        }
    }
    if (r.changed) {
        std::string err;
        if (!m_store->save(*m_card, err)) {
            // Nothing unsaved may be acknowledged: back to the last saved state.
            keyLog("%s", err.c_str());
            std::string ignored;
            m_store->load(*m_card, ignored);
            auto& open = m_card->session.open;
            for (size_t i = open.size(); i-- > 0;)
                if (m_card->appById(open[i].appId) == nullptr) open.erase(open.begin() + i);
            sw = SW_STORE_FAILED;
            r.len = 0;
        }
    }
    if (sw != SW_OK && sw != SW_MORE) r.len = 0;
    if (!fitsIn(0, 4 + r.len, cap)) return 0;
    out[0] = static_cast<uint8_t>(sw);
    out[1] = static_cast<uint8_t>(sw >> 8);
    out[2] = static_cast<uint8_t>(r.len);
    out[3] = static_cast<uint8_t>(r.len >> 8);
    memcpy(out + 4, r.data, r.len);
    wipe(r.data, r.len);
    return 4 + r.len;
}

void Key::receive(const uint8_t* frame, size_t len, FrameSink& out) {
    FrameView f;
    const char* why = checkRequestFrame(frame, len, f);
    if (why != nullptr) {
        keyLog("dropped request frame: %s (%zu bytes)", why, len);
        return;
    }
    uint8_t* reply = m_out.get();
    uint8_t* payload = reply + kFrameHeader;
    const size_t room = kMaxReplyFrame - kFrameEnvelope;
    size_t n = 0;
    switch (f.channel) {
        case kChannelCard:
            if (f.cipher != 0) {
                n = statusOnly(SW_BAD_MAC, payload, room);
            } else {
                n = cardCommand(f.payload, f.length, payload, room);
            }
            break;
        // The fingerprint module (6) and the vault (7) join here.
        default:
            keyLog("request on channel %u, which this key does not serve", f.channel);
            n = statusOnly(SW_BAD_CLA, payload, room);
            break;
    }
    if (n == 0) return;
    if (m_verbose && f.channel == kChannelCard && f.length >= 8)
        keyLog("seq %u: %02X %02X %02X %02X lc %u -> %02X%02X, %zu bytes", f.seq, f.payload[0],
               f.payload[1], f.payload[2], f.payload[3], f.payload[4] | f.payload[5] << 8,
               payload[1], payload[0], n - 4);
    size_t total = buildReplyFrame(reply, kMaxReplyFrame, n, f.channel, f.seq);
    if (total > 0) out.sendFrame(reply, total);
    wipe(reply, total);
}

namespace {

// Keeps the first reply frame in a caller's buffer.
class BufferSink : public FrameSink {
  public:
    BufferSink(uint8_t* buf, size_t cap) : m_buf(buf), m_cap(cap) {}
    void sendFrame(const uint8_t* frame, size_t len) override {
        if (m_len != 0 || !fitsIn(0, len, m_cap)) return;
        memcpy(m_buf, frame, len);
        m_len = len;
    }
    size_t length() const { return m_len; }

  private:
    uint8_t* m_buf;
    size_t m_cap;
    size_t m_len = 0;
};

}  // namespace

size_t Key::handleFrame(const uint8_t* frame, size_t len, uint8_t* reply, size_t cap) {
    BufferSink sink(reply, cap);
    receive(frame, len, sink);
    return sink.length();
}

}  // namespace vkey
