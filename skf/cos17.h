// One card-OS command and its reply (CCOS17), the byte builder that writes its
// data field (CBuf), and the status-word helpers. Internal to skf/.
#pragma once

#include <cstdint>

#include "skf/skf.h"
#include "transport/transport.h"
#include "util/util.h"

// Byte builder over a caller-owned buffer. Appends past the capacity are
// dropped and remembered, so an over-long command is refused before sending
// instead of running past the buffer.
class CBuf {
  public:
    void setBuf(void* buffer, unsigned char swap, unsigned int capacity);
    unsigned int getLen() const { return m_len; }
    bool overflowed() const { return m_overflow; }

    CBuf& addC(unsigned char v);
    CBuf& addW(unsigned short v);
    CBuf& addDw(unsigned int v);
    CBuf& addBuf(unsigned int len, const void* data);
    CBuf& addLV2(unsigned int len, const void* data);
    CBuf& addLV4(unsigned int len, const void* data);

    void swapW(unsigned short& v) const;
    void swapDw(unsigned int& v) const;

  private:
    bool room(unsigned int n);

    uint8_t* m_cur = nullptr;
    unsigned int m_len = 0;
    unsigned char m_swap = 0;
    unsigned int m_cap = 0;
    bool m_overflow = false;
};

// True exactly for 0x6A9E: success, and the card has more data to send.
inline bool isMoreData(unsigned int sw) {
    return sw == 0x6A9E;
}

class CCOS17 {
  public:
    static constexpr unsigned kHeader = 8;   // CLA INS P1 P2 Lc(2) Le(2)
    static constexpr unsigned kArea = 2048;  // header + data field
    static constexpr unsigned kMaxData = kCosMaxData;
    static constexpr unsigned kReplyHead = 4;  // SW(2) N(2)

    // Note the order: the class byte comes last.
    CCOS17(unsigned int ins, unsigned int p1, unsigned int p2, unsigned int cla);
    // The builder points into this object's own frame buffer.
    CCOS17(const CCOS17&) = delete;
    CCOS17& operator=(const CCOS17&) = delete;

    CCOS17& addC(unsigned char v);
    CCOS17& addW(unsigned short v);
    CCOS17& addDw(unsigned int v);
    CCOS17& addBuf(const void* data, unsigned int len);
    CCOS17& addLV2(const void* data, unsigned int len);
    CCOS17& addLV4(const void* data, unsigned int len);
    // Copies bytes into the data field at `offset`; Lc grows to cover them.
    void setData(const void* data, unsigned int len, unsigned int offset);
    void setWithLe(int le);

    // Takes the next sequence number; in mode 0 also writes the command header.
    void fillbuf(int mode);
    // Copies a complete raw command (header included) for exchange mode 1.
    // Returns false (nothing copied) when it does not fit the command area.
    bool fillbuf(const void* raw, int len);

    // Frames, sends and receives. Returns a result code.
    uint32_t SndRcv(int mode, int type);

    // Status word of the reply (0x6A8A reported as 0x9000).
    unsigned int getRetCode() const;
    // Checks the status and copies the reply data (see cos17.cpp).
    uint32_t getRcv(void* out, int& len, bool copyFirst);
    uint32_t getRcv(void* out, unsigned int& len, bool copyFirst);

    // Reply data and its length, valid after a successful SndRcv.
    const uint8_t* replyData() const { return area() + kReplyHead; }
    unsigned int replyLen() const { return m_rcvDataLen; }

    unsigned int dataLen() const { return m_lc; }
    // Clears the frame buffer; for commands that carried PINs or keys.
    void wipe();
    uint8_t* area() { return m_pack.frame + FRAME_OFS_PAYLOAD; }
    const uint8_t* area() const { return m_pack.frame + FRAME_OFS_PAYLOAD; }
    const tdLINK_PACK& pack() const { return m_pack; }

    CLink* m_link = nullptr;

  private:
    uint32_t linkf_txdRxd_pdu(CLink* link, tdLINK_PACK* pack, int type);
    uint32_t checkReply(uint8_t channel, uint8_t seq);

    tdLINK_PACK m_pack;
    unsigned int m_cla, m_ins, m_p1, m_p2;
    unsigned int m_lc = 0;
    unsigned int m_le = 0;
    unsigned int m_leSet = 0;
    CBuf m_buf;
    bool m_tooLong = false;
    unsigned int m_rcvDataLen = 0;
};

// Test seam: the shared 8-bit APDU sequence counter.
uint8_t cosPeekSeq();
void cosSetSeq(uint8_t seq);
