// One key: request frames in, reply frames out, state saved before a reply
// acknowledges a change.
#include <cstddef>
#include <cstring>

#include "util/util.h"
#include "vkey/card.h"
#include "vkey/crypto_ossl.h"
#include "vkey/finger.h"
#include "vkey/link.h"
#include "vkey/store.h"

namespace vkey {

// The module's and the vault's way to the state file and to the host. The
// sink is the one of the call in progress (request, touch or tick).
class Key::Host : public ModuleHost {
  public:
    explicit Host(Key& key) : m_key(key) {}
    FrameSink* sink = nullptr;

    bool saveState() override {
        std::string err;
        if (m_key.save(err)) return true;
        keyLog("%s", err.c_str());
        return false;
    }

    void reply(uint8_t channel, uint8_t seq, bool more, uint16_t status, const uint8_t* data,
               size_t n) override {
        uint8_t* frame = m_key.m_out.get();
        const size_t len =
            modulePayload(status, data, n, frame + kFrameHeader, kMaxReplyFrame - kFrameEnvelope);
        if (len == 0) return;
        const size_t total =
            frameBuild(frame, kMaxReplyFrame, len, channel, FRAME_PLAIN, seq, more ? 1 : 0);
        if (m_key.m_verbose)
            keyLog("channel %u seq %u: status %04X, %zu bytes%s", channel, seq, status, n,
                   more ? ", more follow" : "");
        if (total > 0 && sink != nullptr) sink->sendFrame(frame, total);
        wipe(frame, total);
    }

  private:
    Key& m_key;
};

Key::Key()
    : m_card(new Card),
      m_module(new FingerModule),
      m_vault(new Vault),
      m_host(new Host(*this)),
      m_store(new Store),
      m_reply(new Reply),
      m_out(new uint8_t[kMaxFrame]) {}
Key::~Key() {
    m_vault->key.wipe();
}

bool Key::save(std::string& err) {
    return m_store->save(*m_card, *m_module, *m_vault, err);
}

OpenResult Key::open(const std::string& stateDir, const uint8_t* deviceKey,
                     std::unique_ptr<Key>& out, std::string& err) {
    std::unique_ptr<Key> key(new Key);
    OpenResult rc = key->m_store->open(stateDir, err);
    if (rc != OpenResult::ok) return rc;
    if (key->m_store->exists()) {
        rc = key->m_store->load(*key->m_card, *key->m_module, *key->m_vault, err);
        if (rc != OpenResult::ok) return rc;
        if (!key->m_vault->key.present) {
            // A state written before the vault existed gets its key now.
            if (!sm2Generate(key->m_vault->key)) {
                err = "cannot generate the vault key";
                return OpenResult::io;
            }
            if (!key->save(err)) return OpenResult::io;
        }
    } else {
        uint8_t factory[16];
        memcpy(
            factory,
            deviceKey != nullptr ? deviceKey : reinterpret_cast<const uint8_t*>(kDefaultDeviceKey),
            16);
        key->m_card->factoryReset(factory);
        if (!sm2Generate(key->m_vault->key)) {
            err = "cannot generate the vault key";
            return OpenResult::io;
        }
        if (!key->save(err)) return OpenResult::io;
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
    m_module->abandon();
    m_vault->shared = false;
}

void Key::hostGone() {
    m_module->abandon();
}

bool Key::touch(const std::string& finger, FrameSink& out) {
    if (!validFingerName(finger)) return false;
    m_host->sink = &out;
    m_module->touch(finger, *m_host);
    m_host->sink = nullptr;
    return true;
}

void Key::lift() {
    m_module->lift();
}

void Key::tick(FrameSink& out) {
    m_host->sink = &out;
    m_module->tick(steadyMs(), *m_host);
    m_host->sink = nullptr;
}

long Key::msToDeadline() const {
    return m_module->msToDeadline(steadyMs());
}

uint32_t Key::moduleWaitSerial() const {
    return m_module->waitSerial();
}

void Key::setFingerWait(unsigned ms) {
    m_module->fingerWaitMs = ms;
}

bool Key::vaultPut(uint32_t index, const uint8_t* pub, size_t n, std::string& err) {
    std::vector<uint8_t> kept;
    bool existed = false;
    if (VaultItem* it = m_vault->find(index)) {
        kept = it->pub;
        existed = true;
    }
    if (!m_vault->put(index, std::vector<uint8_t>(pub, pub + n))) {
        err = "vault full or item larger than " + std::to_string(kVaultPubMax) + " bytes";
        return false;
    }
    if (save(err)) return true;
    if (existed) {
        m_vault->find(index)->pub = kept;
    } else {
        for (size_t i = 0; i < m_vault->items.size(); ++i)
            if (m_vault->items[i].index == index)
                m_vault->items.erase(m_vault->items.begin() + static_cast<long>(i));
    }
    return false;
}

std::string Key::describe() const {
    const CardState& s = m_card->state;
    std::string serial(s.serial.begin(), s.serial.end());
    return "serial=" + serial + " apps=" + std::to_string(s.apps.size()) +
           " devauth=" + (m_card->session.devAuthed ? "1" : "0") +
           " open=" + std::to_string(m_card->session.open.size()) + " " + m_module->describe() +
           " vault=" + std::to_string(m_vault->items.size()) + (m_vault->shared ? " shared" : "");
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
        if (!save(err)) {
            // Nothing unsaved may be acknowledged: back to the last saved state.
            keyLog("%s", err.c_str());
            std::string ignored;
            m_store->load(*m_card, *m_module, *m_vault, ignored);
            auto& open = m_card->session.open;
            for (size_t i = open.size(); i-- > 0;)
                if (m_card->appById(open[i].appId) == nullptr)
                    open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
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
        case kChannelFinger:
        case kChannelVault:
            m_host->sink = &out;
            if (f.channel == kChannelFinger)
                m_module->request(f, *m_host);
            else
                m_vault->request(f, *m_host);
            m_host->sink = nullptr;
            return;
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
    size_t total = frameBuild(reply, kMaxReplyFrame, n, f.channel, FRAME_PLAIN, f.seq, 0);
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
