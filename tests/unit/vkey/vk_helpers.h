// Test side of the virtual key: a small frame and APDU builder of its own and
// OpenSSL-based cryptograms, so the key is checked against an independent
// reading of the formats (never through skf/).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/support.h"
#include "vkey/vkey.h"

namespace vkt {

using Bytes = std::vector<uint8_t>;

struct Resp {
    uint16_t sw = 0;
    Bytes data;
};

// Little-endian field writers for command data.
void le16(Bytes& b, uint16_t v);
void le32(Bytes& b, uint32_t v);
void append(Bytes& b, const Bytes& more);
void append(Bytes& b, const std::string& text);
Bytes fromHex(const std::string& hex);

// Frame helpers of the test (own checksum).
uint16_t fletcher(const uint8_t* p, size_t n);
Bytes makeFrame(uint8_t channel, uint8_t seq, const Bytes& payload);
Bytes makeApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
               uint16_t le = 0);
// Parses a reply frame; false when head, length, checksum or tail is wrong.
bool parseReply(const Bytes& frame, uint8_t& channel, uint8_t& seq, Bytes& payload);

// Module and vault channels (6, 7): command word, data length, data.
Bytes modulePayload(uint16_t cmd, const Bytes& data = {});
// One reply frame of those channels taken apart; ok false when the frame or
// its payload is malformed.
struct ModuleReply {
    bool ok = false;
    uint8_t channel = 0, seq = 0, cont = 0;
    uint16_t status = 0;
    Bytes data;
};
ModuleReply parseModuleReply(const Bytes& frame);

// Keeps every reply frame the key sends.
class Collect : public vkey::FrameSink {
  public:
    void sendFrame(const uint8_t* frame, size_t len) override {
        frames.emplace_back(frame, frame + len);
    }
    std::vector<Bytes> frames;
};

// Anything that takes a request frame and gives the reply frame.
class Port {
  public:
    virtual ~Port() = default;
    // Returns false when no reply came.
    virtual bool exchange(const Bytes& request, Bytes& reply) = 0;
};

// A card client over a Port: sequence numbers, APDUs, and the usual steps.
class Client {
  public:
    explicit Client(Port& port) : m_port(port) {}
    Resp cmd(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, uint16_t le = 0,
             uint8_t cla = 0x80);
    Resp raw(const Bytes& apdu);

    Bytes challenge();
    Resp devAuth(const std::string& key16 = vkey::kDefaultDeviceKey);
    Resp createApp(const std::string& name, const std::string& adminPin, const std::string& userPin,
                   uint32_t tries = 8, uint32_t rights = 0xFF);
    Resp openApp(const std::string& name);
    uint16_t appId(const std::string& name);  // opens it; 0 on failure
    Resp verifyPin(uint16_t app, uint8_t type, const std::string& pin);
    Resp createContainer(uint16_t app, const std::string& name);
    Resp openContainer(uint16_t app, const std::string& name);
    Resp closeContainer(uint16_t app, uint16_t con);
    // Runs a whole multi-reply listing as the host does (drops the final NUL
    // of each partial reply). `replies` counts the commands sent.
    Resp listAll(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, int& replies);
    // A protected PIN command (change or unblock) with its MAC.
    Resp protectedPin(uint8_t ins, uint8_t p2, uint16_t app, const std::string& macPin,
                      const std::string& newPin);

    uint8_t lastSeq = 0;
    uint8_t lastReplySeq = 0;
    uint8_t lastReplyChannel = 0;

  private:
    Port& m_port;
    uint8_t m_seq = 0;
};

// An in-process key.
class EnginePort : public Port {
  public:
    explicit EnginePort(vkey::Key& key) : m_key(key) {}
    bool exchange(const Bytes& request, Bytes& reply) override;

  private:
    vkey::Key& m_key;
};

// Cryptography of the test (OpenSSL).
Bytes sm4Ecb(const Bytes& key, const Bytes& in, bool encrypt);
Bytes pinKey(const std::string& pin);
Bytes pinCryptogram(const std::string& pin, const Bytes& challenge);
Bytes sm4Mac(const Bytes& key, const Bytes& iv, const Bytes& data);
// Encrypted new PIN: len(2) | PIN | 0x80 | zeros, SM4-ECB under key.
Bytes wrapPin(const Bytes& key, const std::string& pin);

struct Sm2Key {
    Bytes x, y, d;  // 32 bytes each
};
Sm2Key sm2NewKey();
bool sm2Verify(const Bytes& x, const Bytes& y, const Bytes& e, const Bytes& r, const Bytes& s);
// Raw C1x | C1y | C3 | C2 of an OpenSSL encryption to (x, y).
Bytes sm2EncryptRaw(const Bytes& x, const Bytes& y, const Bytes& plain);
bool sm2DecryptRaw(const Sm2Key& k, const Bytes& raw, Bytes& plain);
Bytes randomBytes(size_t n);

using support::TempDir;

std::unique_ptr<vkey::Key> openKey(const std::string& dir, vkey::OpenResult* rc = nullptr);

}  // namespace vkt
