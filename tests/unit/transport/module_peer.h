// A scripted key side for the fingerprint channel tests. The daemon side is
// a CLink over a port operation table whose send and receive move frames as
// 64-byte units through one end of a SEQPACKET socketpair (separate staging
// per direction, receive bounded by the transfer wait in force, as the real
// ports do). The key side is a thread that reads each request frame, records
// it, and hands it to the test's script, which answers with frames of its
// own making (any sequence, continuation, status, cipher, or malformed).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/transport.h"

using Bytes = std::vector<uint8_t>;

struct ModuleRequest {
    Bytes frame;  // the whole frame as received
    uint8_t channel() const { return frame[3]; }
    uint8_t cipher() const { return frame[4]; }
    uint8_t seq() const { return frame[5]; }
    Bytes payload() const;     // as sent (enciphered when cipher is 1)
    uint16_t command() const;  // of a plain payload
    Bytes data() const;        // of a plain payload
};

class ModulePeer {
  public:
    using Script = std::function<void(ModulePeer&, const ModuleRequest&)>;

    ModulePeer();
    ~ModulePeer();
    ModulePeer(const ModulePeer&) = delete;
    ModulePeer& operator=(const ModulePeer&) = delete;

    // Opened link over the socketpair.
    CLink& link() { return m_link; }
    void setScript(Script s);

    // Key side: one answer frame (payload: status, data length, data).
    void answer(uint8_t seq, uint16_t status, const Bytes& data, uint8_t cont = 0,
                uint8_t channel = FRAME_CH_FPM);
    // Key side: any payload, optionally with a broken checksum.
    void sendPayload(uint8_t seq, const Bytes& payload, uint8_t cont, uint8_t channel,
                     uint8_t cipher, bool badSum = false);
    // Key side: raw bytes, sent as units (for oversize length fields).
    void sendRaw(const Bytes& frame);

    // Requests received so far (copies).
    std::vector<ModuleRequest> requests();
    // Blocks until at least n requests arrived (false after 10 s).
    bool waitRequests(size_t n);
    // Transfer wait in force at each daemon-side receive.
    std::vector<uint32_t> receiveWaits();

    // Port operations (the handle is the peer).
    static int portOpen(uint64_t);
    static int portClose(uint64_t);
    static int portTxd(uint64_t h, const uint8_t* bytes, int len, int* sent);
    static int portRxd(uint64_t h, uint8_t* buf, int capacity, int* received);

  private:
    void keyLoop();

    int m_fd[2] = {-1, -1};  // 0: daemon side, 1: key side
    CLink m_link;
    uint8_t m_txStaging[64];
    uint8_t m_rxStaging[64];
    std::mutex m_mu;
    std::condition_variable m_cv;
    Script m_script;
    std::vector<ModuleRequest> m_requests;
    std::vector<uint32_t> m_waits;
    std::thread m_key;
};

// SM4-CBC with a zero IV through OpenSSL (no padding added or removed).
Bytes oracleSm4Cbc(bool encrypt, const uint8_t key[16], const Bytes& in);
