// CLink: a frame link over one port's operation table.
#include <cstring>

#include "log/log.h"
#include "transport/transport.h"

CLink::CLink()
    : m_state(1),
      m_mode(0),
      m_opened(false),
      m_devOpt(),
      m_txdBuf(nullptr),
      m_txdLen(0),
      m_sentLen(0),
      m_rxdBuf(nullptr),
      m_rxdLen(0) {}

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
    m_txdLen = 0;
    m_rxdLen = 0;
    m_sentLen = 0;
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
    m_rxdBuf = buf;
    int received = 0;
    const int r = m_devOpt.rxdPkg(m_devOpt.handle, buf, capacity, &received);
    if (r != 0) {
        _nvlog("this->devOpt.rxdPkg ret =%04X\n", r);
        return r;
    }
    m_rxdLen = received;
    *len = received;
    return 0;
}

int CLink::linkf_txdAndRxd_buff(_protocol_type_, const uint8_t*, int, uint8_t*, int*) {
    return 0;
}
