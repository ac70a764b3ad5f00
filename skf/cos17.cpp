#include "skf/cos17.h"

#include <cstring>

#include "log/log.h"

namespace {
// One counter for every APDU of the process; its value only labels frames.
uint8_t s_seq = 0;
// A late reply to an earlier, timed-out command may still be in the pipe;
// a few such frames are dropped before the exchange gives up.
constexpr int kMaxStaleReplies = 4;
}  // namespace

uint8_t cosPeekSeq() {
    return s_seq;
}
void cosSetSeq(uint8_t seq) {
    s_seq = seq;
}

CCOS17::CCOS17(unsigned int ins, unsigned int p1, unsigned int p2, unsigned int cla)
    : m_cla(cla), m_ins(ins), m_p1(p1), m_p2(p2) {
    m_pack.sequence = 0;
    m_pack.length = 0;
    memset(m_pack.frame, 0, sizeof m_pack.frame);
    m_buf.setBuf(area() + kHeader, 0, kMaxData);
}

CCOS17& CCOS17::addC(unsigned char v) {
    m_buf.addC(v);
    m_lc = m_buf.getLen();
    return *this;
}

CCOS17& CCOS17::addW(unsigned short v) {
    m_buf.addW(v);
    m_lc = m_buf.getLen();
    return *this;
}

CCOS17& CCOS17::addDw(unsigned int v) {
    m_buf.addDw(v);
    m_lc = m_buf.getLen();
    return *this;
}

CCOS17& CCOS17::addBuf(const void* data, unsigned int len) {
    m_buf.addBuf(len, data);
    m_lc = m_buf.getLen();
    return *this;
}

CCOS17& CCOS17::addLV2(const void* data, unsigned int len) {
    m_buf.addLV2(len, data);
    m_lc = m_buf.getLen();
    return *this;
}

CCOS17& CCOS17::addLV4(const void* data, unsigned int len) {
    m_buf.addLV4(len, data);
    m_lc = m_buf.getLen();
    return *this;
}

void CCOS17::setData(const void* data, unsigned int len, unsigned int offset) {
    if (!fitsIn(offset, len, kMaxData) || (len && !data)) {
        m_tooLong = true;
        return;
    }
    if (len) memcpy(area() + kHeader + offset, data, len);
    if (offset + len > m_lc) m_lc = offset + len;
}

void CCOS17::wipe() {
    secureWipe(m_pack.frame, sizeof m_pack.frame);
}

void CCOS17::setWithLe(int le) {
    m_le = static_cast<unsigned int>(le);
    m_leSet = 1;
}

void CCOS17::fillbuf(int mode) {
    m_pack.sequence = s_seq++;
    if (mode != 0) return;
    m_pack.length = m_lc + kHeader;
    uint8_t* a = area();
    a[0] = static_cast<uint8_t>(m_cla);
    a[1] = static_cast<uint8_t>(m_ins);
    a[2] = static_cast<uint8_t>(m_p1);
    a[3] = static_cast<uint8_t>(m_p2);
    putLe16(static_cast<uint16_t>(m_lc), a + 4);
    putLe16(static_cast<uint16_t>(m_le), a + 6);
}

bool CCOS17::fillbuf(const void* raw, int len) {
    if (!raw || len < static_cast<int>(kHeader) ||
        !fitsIn(0, static_cast<size_t>(len), kHeader + kMaxData)) {
        m_tooLong = true;
        return false;
    }
    memcpy(area(), raw, static_cast<size_t>(len));
    m_pack.length = static_cast<uint32_t>(len);
    return true;
}

uint32_t CCOS17::SndRcv(int mode, int type) {
    if (!m_link) {
        _nvlogstr("ptr=NULL");
        return SAR_INVALIDHANDLEERR;
    }
    // A command that does not fit the data field is refused before anything
    // leaves, so the card never sees a truncated command.
    if (m_tooLong || m_buf.overflowed() || m_lc > kMaxData) {
        _nvlog("data too long, lc=%u", m_lc);
        return SAR_INDATALENERR;
    }
    fillbuf(mode);
    uint32_t r = linkf_txdRxd_pdu(m_link, &m_pack, type);
    if (r != SAR_OK) {
        _nvlogstr("recv");
        return r;
    }
    return SAR_OK;
}

uint32_t CCOS17::linkf_txdRxd_pdu(CLink* link, tdLINK_PACK* pack, int type) {
    const uint8_t channel =
        type == -1 ? static_cast<uint8_t>(FRAME_CH_APDU) : static_cast<uint8_t>(type);
    const uint8_t seq = framePackBegin(pack, channel, FRAME_PLAIN);
    const uint32_t total = framePackSeal(pack);
    if (total == 0) {
        _nvlog("data too long, lc=%u", m_lc);
        return SAR_INDATALENERR;
    }
    m_rcvDataLen = 0;
    if (link->linkf_txd_buff(PROTOCOL_FRAME, pack->frame, static_cast<int>(total)) != 0) {
        _nvlogstr("send");
        return SAR_LINK_SEND;
    }
    for (int stale = 0;; ++stale) {
        int got = 0;
        if (link->rxdChannel(channel, pack->frame, &got, sizeof pack->frame) != 0) {
            _nvlogstr("recv");
            return SAR_FAIL;
        }
        pack->length = static_cast<uint32_t>(got);
        const uint32_t r = checkReply(channel, seq);
        if (r != SAR_COS_UNKNOWN_BASE) return r;
        if (stale >= kMaxStaleReplies) {
            _nvlogstr("recv");
            return SAR_FAIL;
        }
    }
}

// Validates the received frame before anything reads its body. Returns 0 for
// a good reply, SAR_FAIL for a malformed one, and SAR_COS_UNKNOWN_BASE (used
// here only as a marker) for a well-formed reply to another command.
uint32_t CCOS17::checkReply(uint8_t channel, uint8_t seq) {
    const uint32_t got = m_pack.length;
    if (got < FRAME_OFS_PAYLOAD + kReplyHead || got > sizeof m_pack.frame) {
        _nvlogstr("dss ret length error");
        return SAR_FAIL;
    }
    const uint32_t payload = framePayloadLen(m_pack.frame);
    if (payload < kReplyHead || !fitsIn(0, payload + FRAME_ENVELOPE, got)) {
        _nvlogstr("dss ret length error");
        return SAR_FAIL;
    }
    const uint16_t sum = PACKED16(m_pack.frame + FRAME_OFS_PAYLOAD + payload);
    if (m_pack.frame[0] != FRAME_HEAD ||
        m_pack.frame[FRAME_OFS_PAYLOAD + payload + 2] != FRAME_TAIL ||
        verify_checksum(m_pack.frame + FRAME_OFS_LEN, static_cast<uint16_t>(payload + 6), sum) !=
            0) {
        _nvlogstr("dss ret frame error");
        return SAR_FAIL;
    }
    const uint32_t n = getLe16(area() + 2);
    if (!fitsIn(kReplyHead, n, payload)) {
        _nvlogstr("dss ret length error");
        return SAR_FAIL;
    }
    // Another channel's frame, or a late reply to an earlier command.
    if (m_pack.frame[FRAME_OFS_SEQ] != seq || m_pack.frame[FRAME_OFS_CHANNEL] != channel) {
        _nvlog("stale reply ch=%u seq=%u want=%u", m_pack.frame[FRAME_OFS_CHANNEL],
               m_pack.frame[FRAME_OFS_SEQ], seq);
        return SAR_COS_UNKNOWN_BASE;
    }
    m_rcvDataLen = n;
    return SAR_OK;
}

unsigned int CCOS17::getRetCode() const {
    const unsigned int sw = getLe16(area());
    if (sw != 0x9000) _nvlog("SW=0x%X", sw);
    return sw == 0x6A8A ? 0x9000 : sw;
}

uint32_t CCOS17::getRcv(void* out, unsigned int& len, bool copyFirst) {
    const unsigned int sw = getRetCode();
    const bool failed = sw != 0x9000 && !isMoreData(sw);
    if (!copyFirst && failed) return cvtCosErr17Code(sw, nullptr);
    const unsigned int n = m_rcvDataLen;
    if (out && len != 0 && len < n) {
        _nvlog("rcv buf is not enough %d", static_cast<int>(len));
        return SAR_BUFFER_TOO_SMALL;
    }
    len = n;
    if (out && n > 0) memcpy(out, replyData(), n);
    if (failed) return cvtCosErr17Code(sw, nullptr);
    return isMoreData(sw) ? 0x6A9E : SAR_OK;
}

uint32_t CCOS17::getRcv(void* out, int& len, bool copyFirst) {
    unsigned int u = len < 0 ? 0 : static_cast<unsigned int>(len);
    const uint32_t r = getRcv(out, u, copyFirst);
    len = static_cast<int>(u);
    return r;
}
