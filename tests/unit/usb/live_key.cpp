#include "tests/unit/usb/live_key.h"

#include <cstring>

#include "transport/frame.h"

// Reply frames of the engine, cut into zero-padded transfer units.
struct LiveKey::Collect : vkey::FrameSink {
    Collect(Units& units, size_t unit) : out(units), unitLen(unit) {}
    void sendFrame(const uint8_t* frame, size_t len) override {
        for (size_t at = 0; at < len; at += unitLen) {
            std::vector<uint8_t> u(unitLen, 0);
            const size_t n = len - at < unitLen ? len - at : unitLen;
            memcpy(u.data(), frame + at, n);
            out.push_back(std::move(u));
        }
    }
    Units& out;
    size_t unitLen;
};

LiveKey::LiveKey(const std::string& stateDir, size_t unit) : m_unit(unit) {
    const vkey::OpenResult r = vkey::Key::open(stateDir, nullptr, m_key, m_error);
    if (r != vkey::OpenResult::ok && r != vkey::OpenResult::created) m_key.reset();
    m_frame.reserve(vkey::kMaxFrame);
}

LiveKey::~LiveKey() = default;

int LiveKey::plugInto(const UsbEmuDevice& device) {
    m_dev = UsbEmu::add(device);
    if (m_dev >= 0) UsbEmu::attach(m_dev, this);
    return m_dev;
}

void LiveKey::onOut(const uint8_t* unit, size_t len, Units& in) {
    std::lock_guard<std::mutex> g(m_mu);
    if (len != m_unit) ++m_shortUnits;
    if (m_want == 0) {
        // A frame starts with its head byte and announces its length.
        if (len < FRAME_OFS_CHANNEL || unit[0] != FRAME_HEAD ||
            frameTotalLen(unit) > vkey::kMaxFrame) {
            ++m_dropped;
            return;
        }
        m_want = frameTotalLen(unit);
        m_frame.clear();
    }
    const size_t take = len < m_want - m_frame.size() ? len : m_want - m_frame.size();
    m_frame.insert(m_frame.end(), unit, unit + take);
    for (size_t i = take; i < len; ++i)
        if (unit[i] != 0) {
            ++m_dirtyPad;
            break;
        }
    if (m_frame.size() == m_want) completeFrame(in);
}

void LiveKey::completeFrame(Units& in) {
    // A frame whose units went missing carries the next frame's bytes in its
    // tail; the engine drops it, and so does any real key.
    if (frameCheckEx(m_frame.data(), m_frame.size(), vkey::kMaxFrame - FRAME_ENVELOPE) != 1)
        ++m_dropped;
    ++m_framesIn;
    Units replies;
    Collect sink(replies, m_unit);
    if (m_key) m_key->receive(m_frame.data(), m_frame.size(), sink);
    if (!m_mute) {
        m_unitsOut += static_cast<int>(replies.size());
        for (auto& u : replies)
            in.push_back(std::move(u));
    }
    memset(m_frame.data(), 0, m_frame.size());  // requests may carry PINs
    m_frame.clear();
    m_want = 0;
}

void LiveKey::onIdle(Units& in) {
    std::lock_guard<std::mutex> g(m_mu);
    if (!m_key || m_key->msToDeadline() != 0) return;
    const size_t before = in.size();
    Collect sink(in, m_unit);
    m_key->tick(sink);
    m_unitsOut += static_cast<int>(in.size() - before);
}

void LiveKey::setMute(bool mute) {
    std::lock_guard<std::mutex> g(m_mu);
    m_mute = mute;
}

void LiveKey::setFingerWait(unsigned ms) {
    std::lock_guard<std::mutex> g(m_mu);
    if (m_key) m_key->setFingerWait(ms);
}

bool LiveKey::touch(const std::string& finger) {
    Units out;
    bool ok = false;
    {
        std::lock_guard<std::mutex> g(m_mu);
        Collect sink(out, m_unit);
        ok = m_key && m_key->touch(finger, sink);
        m_unitsOut += static_cast<int>(out.size());
    }
    // Queued outside the key's lock: the handler thread takes the
    // emulation's lock first and the key's second.
    for (auto& u : out)
        UsbEmu::queueIn(m_dev, u);
    return ok;
}

int LiveKey::framesIn() const {
    std::lock_guard<std::mutex> g(m_mu);
    return m_framesIn;
}
int LiveKey::shortUnits() const {
    std::lock_guard<std::mutex> g(m_mu);
    return m_shortUnits;
}
int LiveKey::droppedFrames() const {
    std::lock_guard<std::mutex> g(m_mu);
    return m_dropped;
}
int LiveKey::dirtyPadding() const {
    std::lock_guard<std::mutex> g(m_mu);
    return m_dirtyPad;
}
int LiveKey::unitsOut() const {
    std::lock_guard<std::mutex> g(m_mu);
    return m_unitsOut;
}
std::string LiveKey::describe() const {
    std::lock_guard<std::mutex> g(m_mu);
    return m_key ? m_key->describe() : std::string();
}
