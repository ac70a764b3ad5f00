// The fingerprint module: template slots, enrolment and verification driven
// by touches, the module's own wait for a finger, cancel and the small
// commands.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "util/util.h"
#include "vkey/finger.h"

namespace vkey {

namespace {

enum FpCommand : uint16_t {
    FPC_ENROLL = 0x0000,
    FPC_VERIFY = 0x0001,
    FPC_DELETE = 0x0004,
    FPC_COUNT = 0x000A,
    FPC_LOGOUT = 0x000B,
    FPC_ENROLL_EX = 0x000F,
    FPC_READ_FLASH = 0x0010,
    FPC_CHIP = 0x0020,
};

constexpr uint8_t kSubBase = 0x20;
constexpr uint8_t kSubAck = kSubBase + 24;
constexpr uint8_t kSubCancel = kSubBase + 31;
constexpr uint8_t kAckData = 7;

}  // namespace

uint64_t steadyMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool validFingerName(const std::string& name) {
    if (name.empty() || name.size() > kFingerNameMax) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            return false;
    return true;
}

size_t FingerModule::used() const {
    size_t n = 0;
    for (const FingerSlot& s : slots)
        if (s.number != 0) ++n;
    return n;
}

void FingerModule::clearTemplates() {
    for (FingerSlot& s : slots)
        s = FingerSlot();
}

FingerSlot* FingerModule::byFinger(const std::string& finger) {
    for (FingerSlot& s : slots)
        if (s.number != 0 && s.finger == finger) return &s;
    return nullptr;
}

FingerSlot* FingerModule::byNumber(uint8_t number) {
    for (FingerSlot& s : slots)
        if (number != 0 && s.number == number) return &s;
    return nullptr;
}

void FingerModule::flashImage(uint8_t* out) const {
    memset(out, 0xFF, kFlashSize);
    for (size_t i = 0; i < kFingerSlots; ++i) {
        if (slots[i].number == 0) continue;
        uint8_t* rec = out + i * kFlashRecord;
        rec[0] = slots[i].number;
        // Names are at most kFingerNameMax; the copy is held to the record anyway.
        const size_t n = std::min(slots[i].finger.size(), kFlashRecord - 2);
        rec[1] = static_cast<uint8_t>(n);
        std::copy_n(slots[i].finger.begin(), n, rec + 2);
    }
}

std::string FingerModule::describe() const {
    std::string s = "templates=" + std::to_string(used()) + "/" + std::to_string(kFingerSlots);
    switch (m_op) {
        case Op::none:
            s += " module=idle";
            break;
        case Op::enrol:
            s += " module=enrolling(" + std::to_string(m_captures) + "/" +
                 std::to_string(kEnrolCaptures) + ")";
            break;
        case Op::verify:
            s += " module=verifying";
            break;
    }
    s += " sensor=" + (m_onSensor.empty() ? std::string("empty") : m_onSensor);
    return s;
}

void FingerModule::abandon() {
    m_op = Op::none;
    m_captures = 0;
    m_first.clear();
}

void FingerModule::startWait() {
    m_deadline = steadyMs() + fingerWaitMs;
    ++m_waitSerial;
}

long FingerModule::msToDeadline(uint64_t nowMs) const {
    if (m_op == Op::none) return -1;
    return m_deadline > nowMs ? static_cast<long>(m_deadline - nowMs) : 0;
}

void FingerModule::finish(ModuleHost& host, uint16_t status, const uint8_t* data, size_t n) {
    const uint8_t seq = m_seq;
    abandon();
    host.reply(kChannelFinger, seq, false, status, data, n);
}

void FingerModule::tick(uint64_t nowMs, ModuleHost& host) {
    if (m_op != Op::none && nowMs >= m_deadline) {
        keyLog("module: no finger within %u ms", fingerWaitMs);
        finish(host, FP_WAIT_TIMEOUT, nullptr, 0);
    }
}

void FingerModule::touch(const std::string& finger, ModuleHost& host) {
    m_onSensor = finger;
    if (m_op != Op::none) {
        m_onSensor.clear();
        capture(finger, host);
    }
}

void FingerModule::lift() {
    m_onSensor.clear();
}

void FingerModule::capture(const std::string& finger, ModuleHost& host) {
    if (m_op == Op::enrol) {
        enrolCapture(finger, host);
        return;
    }
    FingerSlot* s = byFinger(finger);
    if (s == nullptr) {
        finish(host, FP_MISMATCH, nullptr, 0);
        return;
    }
    const uint8_t number = s->number;
    finish(host, FP_OK, &number, 1);
}

void FingerModule::enrolCapture(const std::string& finger, ModuleHost& host) {
    if (m_captures == 0) {
        if (byFinger(finger) != nullptr) {
            finish(host, FP_ALREADY_ENROLLED, nullptr, 0);
            return;
        }
        m_first = finger;
    } else if (finger != m_first) {
        const uint8_t left = static_cast<uint8_t>(kEnrolCaptures - m_captures);
        host.reply(kChannelFinger, m_seq, true, FP_OTHER_FINGER, &left, 1);
        startWait();
        return;
    }
    ++m_captures;
    if (m_captures < kEnrolCaptures) {
        const uint8_t left = static_cast<uint8_t>(kEnrolCaptures - m_captures);
        host.reply(kChannelFinger, m_seq, true, FP_OK, &left, 1);
        startWait();
        return;
    }
    FingerSlot* free = nullptr;
    for (FingerSlot& s : slots)
        if (s.number == 0) {
            free = &s;
            break;
        }
    if (free == nullptr) {
        finish(host, FP_FULL, nullptr, 0);
        return;
    }
    uint8_t number = 1;
    while (byNumber(number) != nullptr)
        ++number;  // at most 64 are used, so one of 1..65 is free
    free->number = number;
    free->finger = m_first;
    if (!host.saveState()) {
        *free = FingerSlot();
        finish(host, FP_STORE_FAILED, nullptr, 0);
        return;
    }
    keyLog("module: template %u enrolled", number);
    finish(host, FP_OK, &number, 1);
}

void FingerModule::request(const FrameView& f, ModuleHost& host) {
    auto answer = [&](uint16_t status, const uint8_t* data, size_t n) {
        host.reply(kChannelFinger, f.seq, false, status, data, n);
    };
    if (f.length < 4 || 4 + static_cast<size_t>(getLe16(f.payload + 2)) != f.length) {
        answer(FP_BAD_PARAM, nullptr, 0);
        return;
    }
    const uint16_t cmd = getLe16(f.payload);
    const uint8_t* data = f.payload + 4;
    const size_t n = f.length - 4;
    if (f.cipher != FRAME_PLAIN) {
        answer(FP_UNSUPPORTED, nullptr, 0);
        return;
    }
    switch (cmd) {
        case FPC_COUNT: {
            uint8_t out[2 + kFingerSlots];
            out[0] = static_cast<uint8_t>(kFingerSlots);
            out[1] = static_cast<uint8_t>(used());
            for (size_t i = 0; i < kFingerSlots; ++i)
                out[2 + i] = slots[i].number;
            answer(FP_OK, out, sizeof out);
            return;
        }
        case FPC_ENROLL:
        case FPC_ENROLL_EX:
        case FPC_VERIFY: {
            // A new command replaces one its host has given up on.
            if (m_op != Op::none) keyLog("module: pending command replaced");
            abandon();
            m_seq = f.seq;
            if (cmd == FPC_VERIFY && used() == 0) {
                answer(FP_NO_TEMPLATE, nullptr, 0);
                return;
            }
            if (cmd != FPC_VERIFY && used() == kFingerSlots) {
                answer(FP_FULL, nullptr, 0);
                return;
            }
            m_op = cmd == FPC_VERIFY ? Op::verify : Op::enrol;
            startWait();
            if (!m_onSensor.empty()) {
                std::string finger;
                finger.swap(m_onSensor);
                capture(finger, host);
            }
            return;
        }
        case FPC_DELETE: {
            if (n != 1) break;
            FingerSlot* s = byNumber(data[0]);
            if (s == nullptr) {
                answer(FP_BAD_PARAM, nullptr, 0);
                return;
            }
            const FingerSlot kept = *s;
            *s = FingerSlot();
            if (!host.saveState()) {
                *s = kept;
                answer(FP_FLASH_ERROR, nullptr, 0);
                return;
            }
            answer(FP_OK, nullptr, 0);
            return;
        }
        case FPC_LOGOUT:
            if (n != 1 || data[0] > 1) break;
            answer(FP_OK, nullptr, 0);
            return;
        case FPC_READ_FLASH: {
            if (n != 8) break;
            const uint32_t pos = getLe32(data), count = getLe32(data + 4);
            if (count > kModuleReplyData) break;
            if (!fitsIn(pos, count, kFlashSize)) {
                answer(FP_FLASH_ERROR, nullptr, 0);
                return;
            }
            uint8_t image[kFlashSize];
            flashImage(image);
            answer(FP_OK, image + pos, count);
            return;
        }
        case FPC_CHIP: {
            if (n < 1) break;
            if (data[0] == kSubCancel) {
                // Send-only: the answer is the pending command's last frame.
                if (m_op != Op::none) finish(host, FP_CANCELLED, nullptr, 0);
                return;
            }
            if (data[0] == kSubAck) {
                if (n != 2 || data[1] != kAckData) break;
                answer(FP_OK, data, 1);
                return;
            }
            answer(FP_UNSUPPORTED, nullptr, 0);
            return;
        }
        default:
            answer(FP_UNSUPPORTED, nullptr, 0);
            return;
    }
    answer(FP_BAD_PARAM, nullptr, 0);
}

}  // namespace vkey
