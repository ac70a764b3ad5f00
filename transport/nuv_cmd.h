// The fingerprint command channel inside the transport layer: the request
// builder, the command object that exchanges one request on a link, the
// scoped wait time, and the payload cipher. The command functions
// (nuv_fpc.cpp, nuv_pwd.cpp) and the tests use it; the layers above see only
// the NUV_* functions of transport.h.
//
// Payload of channels 6 and 7 (little-endian fields):
//   request:  command(2) | data length(2) | data
//   response: status(2)  | data length(2) | data
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/transport.h"

constexpr uint32_t NUV_HEAD_LEN = 4;
// Data bytes one frame can carry behind the payload header.
constexpr uint32_t NUV_DATA_MAX = FRAME_MAX_PAYLOAD - NUV_HEAD_LEN;

// Append-only byte writer over a fixed area. Multi-byte values go in
// little-endian order unless the swap flag asks for big-endian. An append
// that would pass the end writes nothing and marks the writer overflowed.
class nuvBuf {
  public:
    void setBuf(uint8_t* pos, uint32_t capacity, uint8_t swap);
    void addC(uint8_t v);
    void addW(uint16_t v);
    void addDw(uint32_t v);
    void addBuf(uint32_t count, const uint8_t* bytes);
    uint32_t getLen() const { return m_len; }
    bool overflowed() const { return m_overflow; }
    uint16_t swapW(uint16_t v) const;
    uint32_t swapDw(uint32_t v) const;

  private:
    uint8_t* m_pos = nullptr;
    uint32_t m_len = 0;
    uint8_t m_swap = 0;
    uint32_t m_cap = 0;
    bool m_overflow = false;
};

// One request and its answer. Lives on the stack of the thread that runs it.
class NUV_CMD {
  public:
    NUV_CMD(const NUV_CMD&) = delete;
    NUV_CMD& operator=(const NUV_CMD&) = delete;

    NUV_CMD& addC(uint8_t v);
    NUV_CMD& addW(uint16_t v);
    NUV_CMD& addDw(uint32_t v);
    NUV_CMD& addBuf(const uint8_t* bytes, uint32_t count);

    // Binds to the handle's link (registry hook) or, without a handle, to
    // the link of NUV_SetLink: 0, the registry's error or NUV_ERR_LINK.
    uint32_t bind(void* hDev);
    void setLink(CLink* link) { m_link = link; }

    // Sends the request and receives the first response frame. With judge 0
    // a stale sequence byte fails with NUV_ERR_SEQ; otherwise up to three
    // frames are read and the first one with the right sequence (else the
    // third) is used.
    uint32_t nuvTxdAndRxd(int mode, int judge);
    // Sends the request without receiving.
    uint32_t nuvTxdOnly(int mode);
    // Takes the received response apart: *len is the room in `out` in (0:
    // no room), the data length out.
    uint32_t getRsp(uint8_t* out, uint32_t* len);
    // Receives the next frame of a multi-frame answer (the first call uses
    // the frame the exchange received) and takes it apart; *cont is true
    // when the module sends another frame for this request.
    uint32_t getRsp(uint8_t* out, uint32_t* len, bool* cont);
    // 0, or NUV_MODULE_BASE + the module's status.
    uint32_t getRet();

    // Inspection (tests, logs).
    const tdLINK_PACK& pack() const { return m_pack; }
    uint32_t dataLen() const { return m_dataLen; }
    uint32_t rspDataLen() const { return m_rspValid ? getLe16(payload() + 2) : 0; }

  protected:
    NUV_CMD(uint32_t command, uint32_t channel, uint32_t cipher);

  private:
    uint8_t* payload() { return m_pack.frame + FRAME_OFS_PAYLOAD; }
    const uint8_t* payload() const { return m_pack.frame + FRAME_OFS_PAYLOAD; }
    bool fillTxdBuf(int mode);
    uint32_t linkTxdOnly();
    uint32_t linkTxdAndRxd(int judge);
    uint32_t sendFrame(uint8_t* reqSeq);
    uint32_t receiveFrame();
    uint32_t checkFrame(uint32_t got);
    uint32_t decipherFrame();
    uint32_t takeData(uint8_t* out, uint32_t* len, bool multiFrame);

    CLink* m_link;
    tdLINK_PACK m_pack;
    uint32_t m_channel;
    uint32_t m_command;
    uint32_t m_dataLen;
    nuvBuf m_buf;
    uint32_t m_cipher;
    bool m_firstPending;
    bool m_rspValid;    // a response frame passed the checks
    uint32_t m_rspLen;  // its payload length (after deciphering)
};

// Fingerprint module command (channel 6, plain payload).
class NUV_FPM : public NUV_CMD {
  public:
    explicit NUV_FPM(uint32_t command) : NUV_CMD(command, FRAME_CH_FPM, FRAME_PLAIN) {}
};

// Vault and configuration command (channel 7, plain or SM4 payload).
class NUV_PWD : public NUV_CMD {
  public:
    NUV_PWD(uint32_t command, uint32_t cipher) : NUV_CMD(command, FRAME_CH_PWD, cipher) {}
};

// Wait time of one command: sets the transfer wait now; when the command
// ends, m_timeout and the transfer wait both become NUV_AFTER_SCOPED_MS.
class CNuv_SetTimeOut {
  public:
    explicit CNuv_SetTimeOut(int32_t ms);
    ~CNuv_SetTimeOut();
    CNuv_SetTimeOut(const CNuv_SetTimeOut&) = delete;
    CNuv_SetTimeOut& operator=(const CNuv_SetTimeOut&) = delete;
};

// SM4-CBC under the share key, zero IV. Encrypt pads the input in place with
// n = 16 - length % 16 bytes of value n, so `input` needs room for
// length + 16 bytes; *outLen is the padded length. Decrypt takes a whole
// number of blocks and sets *outLen to length - n (0 when n > 16). Both
// return 1, or 0 (nothing written) for a null argument or, for decrypt, a
// length that is 0 or not a multiple of 16. input and output may coincide.
int commFlowEncrypt(uint8_t* input, uint32_t length, uint8_t* output, uint32_t* outLen);
int commFlowDecrypt(const uint8_t* input, uint32_t length, uint8_t* output, uint32_t* outLen);

// Channel-wide state reachable from the command files and the tests.
void nuvSetShareKey(const uint8_t key[16]);
void nuvGetShareKey(uint8_t key[16]);  // the caller wipes its copy
void nuvSetShareKeyCreated(int v);
uint8_t nuvPeekSequence();
void nuvSetSequence(uint8_t seq);
