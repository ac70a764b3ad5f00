// CLink: a frame link over one port's operation table, shared by channels
// and threads (see transport.h for the rules).
#include <chrono>
#include <cstring>

#include "log/log.h"
#include "transport/transport.h"
#include "transport/usb.h"

namespace {

using Clock = std::chrono::steady_clock;

// A frame whose channel byte can be trusted: whole, as long as its length
// field says, with head, checksum and tail intact.
bool routable(const uint8_t* frame, uint32_t got) {
    return got >= FRAME_ENVELOPE && got <= FRAME_BUF_SIZE && frameTotalLen(frame) == got &&
           frameCheckEx(frame, got, FRAME_MAX_PAYLOAD) == 1;
}

}  // namespace

CLink::CLink()
    : m_state(1),
      m_mode(0),
      m_opened(false),
      m_devOpt(),
      m_txdBuf(nullptr),
      m_txdLen(0),
      m_sentLen(0),
      m_reading(false),
      m_rxdBuf(nullptr),
      m_rxdLen(0),
      m_box(),
      m_rxFrame() {}

CLink::~CLink() {
    releaseDev();
}

void CLink::releaseDev() {
    // A link that is not open does not close the port: with one port handle
    // per device, the port may be open through another link.
    if (m_opened && m_devOpt.closeDev != nullptr) m_devOpt.closeDev(m_devOpt.handle);
    memset(&m_devOpt, 0, sizeof(m_devOpt));
    m_state = 0;
    m_opened = false;
    dropParked();
}

int CLink::SetDev(const _ST_DEV_OPT* opt) {
    if (opt != nullptr) m_devOpt = *opt;
    return 0;
}

int CLink::linkf_openDev() {
    _nvlog(">>-%s", __func__);
    m_state = 1;
    m_mode = static_cast<int32_t>(m_devOpt.param.word[PORT_PARAM_MODE]);
    m_opened = true;
    {
        std::lock_guard<std::mutex> g(m_txLock);
        m_txdLen = 0;
        m_sentLen = 0;
    }
    m_rxdLen = 0;
    dropParked();
    const int r = m_devOpt.openDev != nullptr ? m_devOpt.openDev(m_devOpt.handle) : SS_ERR_TXD;
    if (r != 0) {
        _nvlog("linkf_openDev: this->devOpt.openDev FAILED=%08X", r);
        m_opened = false;
        return r;
    }
    return 0;
}

int CLink::linkf_closeDev() {
    _nvlog(">>-%s", __func__);
    if (!m_opened) return LINK_ERR_NOT_OPEN;
    if (m_devOpt.closeDev != nullptr) m_devOpt.closeDev(m_devOpt.handle);
    m_opened = false;
    dropParked();
    return 0;
}

int CLink::linkf_txd_buff(_protocol_type_ type, const uint8_t* bytes, int len) {
    if (bytes == nullptr || len < 1 || !m_opened || m_devOpt.txdPkg == nullptr) {
        _nvlogstr("linkf_txd_buff: input param error");
        return LINK_ERR_PARAM;
    }
    if (type != PROTOCOL_FRAME) {
        _nvlogstr("parmate error\n");
        return LINK_ERR_TYPE;
    }
    // One port has one staging unit per direction: a whole frame goes out
    // before another thread's frame may start.
    std::lock_guard<std::mutex> g(m_txLock);
    m_txdBuf = bytes;
    m_txdLen = len;
    int sent = 0;
    const int r = m_devOpt.txdPkg(m_devOpt.handle, bytes, len, &sent);
    m_sentLen = sent;
    if (r != 0) {
        _nvlog("this->devOpt.txdPkg ret =%04X\n", r);
        return r;
    }
    return 0;
}

int CLink::linkf_rxd_buff(_protocol_type_ type, uint8_t* buf, int* len, int capacity) {
    if (buf == nullptr || len == nullptr || capacity < 1 || !m_opened ||
        m_devOpt.rxdPkg == nullptr) {
        _nvlogstr("linkf_rxd_buff: input param error");
        return LINK_ERR_PARAM;
    }
    if (type != PROTOCOL_FRAME) {
        _nvlogstr("parmate error\n");
        return LINK_ERR_TYPE;
    }
    return receive(kAnyChannel, buf, len, capacity, 0);
}

int CLink::rxdChannel(uint8_t channel, uint8_t* buf, int* len, int capacity, int waitMs) {
    if (buf == nullptr || len == nullptr || capacity < 1 || !m_opened ||
        m_devOpt.rxdPkg == nullptr) {
        _nvlogstr("rxdChannel: input param error");
        return LINK_ERR_PARAM;
    }
    return receive(channel, buf, len, capacity, waitMs);
}

int CLink::linkf_txdAndRxd_buff(_protocol_type_, const uint8_t*, int, uint8_t*, int*) {
    return 0;
}

int CLink::parkedFrames(uint8_t channel) {
    std::lock_guard<std::mutex> g(m_rxLock);
    for (const LinkMailbox& b : m_box) {
        if (b.full && b.channel == channel) return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Receive side. m_rxLock guards the mailboxes and the read-side flag; the
// port itself is read without the lock, by the one thread holding the read
// side, so a receiver whose frame gets parked can take it meanwhile.

void CLink::dropParked() {
    std::lock_guard<std::mutex> g(m_rxLock);
    for (LinkMailbox& b : m_box) {
        if (b.full) memset(b.frame, 0, b.length);
        b.full = false;
    }
    m_rxCv.notify_all();
}

// Under m_rxLock. Moves the parked frame of `channel` into `buf`: 0,
// SS_ERR_TOO_LONG (frame dropped), or 1 when none is parked.
int CLink::takeParked(int channel, uint8_t* buf, int* len, int capacity) {
    for (LinkMailbox& b : m_box) {
        if (!b.full || b.channel != channel) continue;
        b.full = false;
        int r = 0;
        if (b.length > static_cast<uint32_t>(capacity)) {
            _nvlog("ssUsbRxd: frame longer than %d bytes refused\n", capacity);
            r = SS_ERR_TOO_LONG;
        } else {
            memcpy(buf, b.frame, b.length);
            *len = static_cast<int>(b.length);
            m_rxdBuf = buf;
            m_rxdLen = *len;
        }
        memset(b.frame, 0, b.length);  // frames may carry secrets
        return r;
    }
    return 1;
}

// Under m_rxLock. Keeps a routable frame for its channel; an unclaimed
// earlier frame of that channel is replaced.
void CLink::park(const uint8_t* frame, uint32_t len) {
    const uint8_t ch = frame[FRAME_OFS_CHANNEL];
    LinkMailbox* slot = nullptr;
    for (LinkMailbox& b : m_box) {
        if (b.full && b.channel == ch) {
            _nvlog("link: unclaimed frame of channel %u replaced", ch);
            memset(b.frame, 0, b.length);
            slot = &b;
            break;
        }
        if (!b.full && slot == nullptr) slot = &b;
    }
    if (slot == nullptr) {
        _nvlog("link: no mailbox for channel %u, frame dropped", ch);
        return;
    }
    memcpy(slot->frame, frame, len);
    slot->length = len;
    slot->channel = ch;
    slot->full = true;
}

int CLink::receive(int channel, uint8_t* buf, int* len, int capacity, int waitMs) {
    const uint32_t wait = waitMs > 0 ? static_cast<uint32_t>(waitMs) : ssUsbGetTimeout();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait);
    // The port reads straight into the caller's buffer when every frame it
    // reads is the caller's, or when that buffer holds any frame a mailbox
    // could; otherwise into the link's, so that a frame of another channel is
    // not refused for the caller's smaller room.
    const bool direct = channel == kAnyChannel || capacity >= static_cast<int>(FRAME_BUF_SIZE);
    uint8_t* frame = direct ? buf : m_rxFrame;
    const int room = direct ? capacity : static_cast<int>(sizeof m_rxFrame);

    std::unique_lock<std::mutex> lk(m_rxLock);
    for (;;) {
        if (channel != kAnyChannel) {
            const int r = takeParked(channel, buf, len, capacity);
            if (r != 1) return r;
        }
        if (Clock::now() >= deadline) return SS_ERR_TIMEOUT;
        if (m_reading) {
            m_rxCv.wait_until(lk, deadline);
            continue;
        }
        // A receiver that waited may find the link closed or unbound since.
        const PORT_RXD_FN rxd = m_devOpt.rxdPkg;
        const uint64_t handle = m_devOpt.handle;
        if (!m_opened || rxd == nullptr) return LINK_ERR_PARAM;
        m_reading = true;
        lk.unlock();
        int got = 0;
        const int r = rxd(handle, frame, room, &got);
        lk.lock();
        m_reading = false;
        m_rxCv.notify_all();
        // With a wait of its own the receiver reads on past the port's
        // time-outs until that wait is over; otherwise the port's time-out
        // is the receiver's, as it always was.
        if (r == SS_ERR_TIMEOUT && waitMs > 0 && Clock::now() < deadline) continue;
        if (r != 0) {
            _nvlog("this->devOpt.rxdPkg ret =%04X\n", r);
            return r;
        }
        if (got < 0 || got > room) got = got < 0 ? 0 : room;  // a port never says more
        const uint32_t n = static_cast<uint32_t>(got);
        const bool ok = routable(frame, n);
        if (channel == kAnyChannel || !ok || frame[FRAME_OFS_CHANNEL] == channel) {
            int rc = 0;
            if (!direct) {
                if (got > capacity) {
                    _nvlog("ssUsbRxd: frame longer than %d bytes refused\n", capacity);
                    rc = SS_ERR_TOO_LONG;
                } else {
                    memcpy(buf, frame, n);
                }
                memset(frame, 0, n);
            }
            if (rc != 0) return rc;
            m_rxdBuf = buf;
            m_rxdLen = got;
            *len = got;
            return 0;
        }
        park(frame, n);
        memset(frame, 0, n);
    }
}
