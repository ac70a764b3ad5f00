// Fingerprint module of the key (channel 6) and the vault (channel 7).
//
// Wire formats the key fixes where the module's firmware leaves them open:
//   count (0x000A): capacity, used, then one byte per slot (template or 0)
//   enrolment (0x0000/0x000F): six captures of one finger; after each of the
//     first five an intermediate frame (continuation 1) with the captures
//     still needed; a capture of another finger gets an intermediate frame
//     with status 0xE109 and does not count; the last frame carries the new
//     template number (the lowest unused of 1..255)
//   verification (0x0001): one final frame, no intermediate ones; with no
//     template at all it is answered at once (0xE103)
//   a new enrolment or verification replaces a pending one unanswered (its
//     host has given up on it); closing the data connection or power loss
//     forgets it too
//   a finger touched while nothing waits stays on the sensor and is the
//     first capture of the next wait (unless lifted)
//   flash (0x0010): 64 records of 64 bytes, one per slot: template number,
//     name length, finger name, 0xFF up to the record's end (empty: all 0xFF)
//   sub-command 0x20+24 (acknowledgement) takes the data byte 7 and is
//     answered with its echo; 0x20+31 (cancel) is never answered itself
//   vault share key (0x0014): 256 as a 32-bit value, then X and Y of the
//     vault's SM2 key (68 bytes); capacity (0x0007): capacity and items used
//     (two 32-bit values); list entries are 32-bit item indexes
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vkey/card.h"
#include "vkey/link.h"

namespace vkey {

// Module statuses the key answers.
enum ModuleStatus : uint16_t {
    FP_OK = 0,
    FP_MISMATCH = 0xE102,
    FP_NO_TEMPLATE = 0xE103,
    FP_ALREADY_ENROLLED = 0xE107,
    FP_OTHER_FINGER = 0xE109,  // capture does not match the earlier ones
    FP_BAD_PARAM = 0xE110,
    FP_STORE_FAILED = 0xE111,  // the new template could not be kept
    FP_FULL = 0xE116,
    FP_CANCELLED = 0xE117,
    FP_WAIT_TIMEOUT = 0xE118,
    FP_FLASH_ERROR = 0xE120,
    FP_UNSUPPORTED = 0xE1CC,
};

constexpr size_t kFingerSlots = 64;
constexpr size_t kEnrolCaptures = 6;
constexpr size_t kFingerNameMax = 32;
constexpr size_t kFlashRecord = 64;
constexpr size_t kFlashSize = kFingerSlots * kFlashRecord;
constexpr unsigned kDefaultFingerWaitMs = 10000;
constexpr size_t kVaultItems = 32;
constexpr size_t kVaultPubMax = 472;
// Data bytes of one module reply that still fit a frame the host accepts.
constexpr size_t kModuleReplyData = kMaxReplyFrame - kFrameEnvelope - 4;

// Letters, digits, '.', '_' and '-'; 1 to kFingerNameMax characters.
bool validFingerName(const std::string& name);

// What the module and the vault need from their key: persistence and the
// way out for reply frames (possibly later than the request).
class ModuleHost {
  public:
    virtual ~ModuleHost() = default;
    // Saves the whole key state; false when it could not be saved.
    virtual bool saveState() = 0;
    virtual void reply(uint8_t channel, uint8_t seq, bool more, uint16_t status,
                       const uint8_t* data, size_t n) = 0;
};

struct FingerSlot {
    uint8_t number = 0;  // 0: empty
    std::string finger;
};

class FingerModule {
  public:
    FingerSlot slots[kFingerSlots];  // persistent
    unsigned fingerWaitMs = kDefaultFingerWaitMs;

    void request(const FrameView& f, ModuleHost& host);
    // A finger placed on the sensor: captured at once when the module waits,
    // else by the next wait.
    void touch(const std::string& finger, ModuleHost& host);
    void lift();
    // Ends a wait whose time is up. `nowMs` on the steady clock.
    void tick(uint64_t nowMs, ModuleHost& host);
    // Milliseconds until the pending wait ends, or -1 when nothing waits.
    long msToDeadline(uint64_t nowMs) const;
    // Power or host gone: the pending command is forgotten unanswered.
    void abandon();
    // Counts every new wait for a finger (auto-touch follows it).
    uint32_t waitSerial() const { return m_waitSerial; }
    bool waiting() const { return m_op != Op::none; }
    size_t used() const;
    std::string describe() const;
    void clearTemplates();

  private:
    enum class Op { none, enrol, verify };
    void startWait();
    void capture(const std::string& finger, ModuleHost& host);
    void finish(ModuleHost& host, uint16_t status, const uint8_t* data, size_t n);
    void enrolCapture(const std::string& finger, ModuleHost& host);
    FingerSlot* byFinger(const std::string& finger);
    FingerSlot* byNumber(uint8_t number);
    void flashImage(uint8_t* out) const;

    Op m_op = Op::none;
    uint8_t m_seq = 0;
    size_t m_captures = 0;
    std::string m_first;
    uint64_t m_deadline = 0;
    uint32_t m_waitSerial = 0;
    std::string m_onSensor;  // placed and not yet captured
};

struct VaultItem {
    uint32_t index = 0;
    std::vector<uint8_t> pub;
};

class Vault {
  public:
    // Persistent.
    KeyPair key;
    std::vector<VaultItem> items;
    // Session (lost with power).
    bool shared = false;

    void request(const FrameView& f, ModuleHost& host);
    // Stores the public part of an item (control interface); false when the
    // vault is full or the part too large.
    bool put(uint32_t index, const std::vector<uint8_t>& pub);
    VaultItem* find(uint32_t index);
};

uint64_t steadyMs();

}  // namespace vkey
