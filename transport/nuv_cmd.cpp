// The fingerprint command channel: request builder, one exchange per command
// object, response checks, scoped wait time, and the channel-wide state.
//
// Threads: a worker runs an enrolment or verification and waits in a receive
// while the network thread sends a cancel on the same link, and card-OS
// commands may share that link meanwhile. Each command object owns its pack;
// the link serialises whole frames on the send side and hands each receiver
// the frames of its own channel (the worker waits for channel 6 or 7 only),
// so a cancel never waits for the worker's pending receive. The state shared
// by all commands is therefore all that needs care here: the link pointer,
// the wait time, the sequence counter and the registry hooks are atomics
// (the sequence is taken with one fetch_add, so two requests never share a
// byte), and the share key is copied in and out under a small lock.
#include <atomic>
#include <cstring>
#include <mutex>

#include "crypto/crypto.h"
#include "log/log.h"
#include "transport/nuv_cmd.h"
#include "util/util.h"

namespace {

std::atomic<CLink*> ms_link{nullptr};
std::atomic<int32_t> m_timeout{NUV_DEFAULT_TIMEOUT_MS};
std::atomic<uint8_t> s_sequence{0};
std::atomic<NUV_GETLINK_FN> s_getLink{nullptr};
std::atomic<NUV_FREEDEV_FN> s_freeDev{nullptr};

std::mutex s_keyLock;
uint8_t G_PUB_SHARE_KEY[16];
std::atomic<int> G_IS_CREATE_SHARE_KEY{0};

constexpr uint8_t kZeroIv[kSm4Block] = {};

}  // namespace

// ---------------------------------------------------------------------------
// Channel-wide functions.

void NUV_SetRegistry(NUV_GETLINK_FN getLink, NUV_FREEDEV_FN freeDev) {
    s_getLink = getLink;
    s_freeDev = freeDev;
}

uint32_t NUV_SetLink(CLink* link) {
    ms_link = link;
    return 0;
}

uint32_t NUV_SetTimeOut(int32_t ms) {
    m_timeout = ms;
    return 0;
}

int32_t NUV_GetTimeOut() {
    return m_timeout.load();
}

uint32_t NUV_OpenDevice(void*) {
    return NUV_ERR_NOT_PROVIDED;
}

uint32_t NUV_CloseDevice(void* hDev) {
    _nvlog(">>-%s", "NUV_CloseDevice");
    if (hDev == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    const NUV_FREEDEV_FN freeDev = s_freeDev.load();
    if (freeDev != nullptr) freeDev(hDev);
    return 0;
}

void NUV_ShowErrMsg(void*, void*) {}

void nuvSetShareKey(const uint8_t key[16]) {
    std::lock_guard<std::mutex> g(s_keyLock);
    memcpy(G_PUB_SHARE_KEY, key, sizeof G_PUB_SHARE_KEY);
}

void nuvGetShareKey(uint8_t key[16]) {
    std::lock_guard<std::mutex> g(s_keyLock);
    memcpy(key, G_PUB_SHARE_KEY, sizeof G_PUB_SHARE_KEY);
}

void nuvSetShareKeyCreated(int v) {
    G_IS_CREATE_SHARE_KEY = v;
}

int NUV_PwdIsShareKeyCreated() {
    return G_IS_CREATE_SHARE_KEY.load();
}

uint8_t nuvPeekSequence() {
    return s_sequence.load();
}

void nuvSetSequence(uint8_t seq) {
    s_sequence = seq;
}

// ---------------------------------------------------------------------------
// Scoped wait time.

CNuv_SetTimeOut::CNuv_SetTimeOut(int32_t ms) {
    PORT_SETWAITTIME(ms > 0 ? static_cast<uint32_t>(ms) : 0);
}

CNuv_SetTimeOut::~CNuv_SetTimeOut() {
    m_timeout = NUV_AFTER_SCOPED_MS;
    PORT_SETWAITTIME(NUV_AFTER_SCOPED_MS);
}

// ---------------------------------------------------------------------------
// Payload cipher.

int commFlowEncrypt(uint8_t* input, uint32_t length, uint8_t* output, uint32_t* outLen) {
    if (input == nullptr || output == nullptr || outLen == nullptr ||
        length > static_cast<uint32_t>(INT32_MAX) - kSm4Block)
        return 0;
    const uint32_t pad = kSm4Block - length % kSm4Block;
    memset(input + length, static_cast<int>(pad), pad);
    const uint32_t total = length + pad;
    uint8_t key[16];
    nuvGetShareKey(key);
    sm4_context ctx;
    sm4_setkey_enc(&ctx, key);
    sm4_crypt_cbc(&ctx, static_cast<int>(total), kZeroIv, input, output);
    sm4_clear(&ctx);
    secureWipe(key, sizeof key);
    *outLen = total;
    return 1;
}

int commFlowDecrypt(const uint8_t* input, uint32_t length, uint8_t* output, uint32_t* outLen) {
    if (input == nullptr || output == nullptr || outLen == nullptr || length == 0 ||
        length % kSm4Block != 0 || length > static_cast<uint32_t>(INT32_MAX))
        return 0;
    uint8_t key[16];
    nuvGetShareKey(key);
    sm4_context ctx;
    sm4_setkey_dec(&ctx, key);
    sm4_crypt_cbc(&ctx, static_cast<int>(length), kZeroIv, input, output);
    sm4_clear(&ctx);
    secureWipe(key, sizeof key);
    const uint32_t n = output[length - 1];
    *outLen = n <= kSm4Block ? length - n : 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Request builder.

void nuvBuf::setBuf(uint8_t* pos, uint32_t capacity, uint8_t swap) {
    m_pos = pos;
    m_len = 0;
    m_swap = swap;
    m_cap = capacity;
    m_overflow = false;
}

uint16_t nuvBuf::swapW(uint16_t v) const {
    return m_swap != 0 ? static_cast<uint16_t>((v >> 8) | (v << 8)) : v;
}

uint32_t nuvBuf::swapDw(uint32_t v) const {
    if (m_swap == 0) return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

void nuvBuf::addC(uint8_t v) {
    addBuf(1, &v);
}

void nuvBuf::addW(uint16_t v) {
    uint8_t b[2];
    putLe16(swapW(v), b);
    addBuf(sizeof b, b);
}

void nuvBuf::addDw(uint32_t v) {
    uint8_t b[4];
    putLe32(swapDw(v), b);
    addBuf(sizeof b, b);
}

void nuvBuf::addBuf(uint32_t count, const uint8_t* bytes) {
    if (count == 0) return;
    if (m_overflow || bytes == nullptr || !fitsIn(m_len, count, m_cap)) {
        m_overflow = true;
        return;
    }
    memcpy(m_pos + m_len, bytes, count);
    m_len += count;
}

// ---------------------------------------------------------------------------
// Command object.

NUV_CMD::NUV_CMD(uint32_t command, uint32_t channel, uint32_t cipher)
    : m_link(nullptr),
      m_pack(),
      m_channel(channel),
      m_command(command),
      m_dataLen(0),
      m_buf(),
      m_cipher(cipher),
      m_firstPending(false),
      m_rspValid(false),
      m_rspLen(0) {
    m_buf.setBuf(payload() + NUV_HEAD_LEN, NUV_DATA_MAX, 0);
}

NUV_CMD& NUV_CMD::addC(uint8_t v) {
    m_buf.addC(v);
    m_dataLen = m_buf.getLen();
    return *this;
}

NUV_CMD& NUV_CMD::addW(uint16_t v) {
    m_buf.addW(v);
    m_dataLen = m_buf.getLen();
    return *this;
}

NUV_CMD& NUV_CMD::addDw(uint32_t v) {
    m_buf.addDw(v);
    m_dataLen = m_buf.getLen();
    return *this;
}

NUV_CMD& NUV_CMD::addBuf(const uint8_t* bytes, uint32_t count) {
    m_buf.addBuf(count, bytes);
    m_dataLen = m_buf.getLen();
    return *this;
}

uint32_t NUV_CMD::bind(void* hDev) {
    if (hDev != nullptr) {
        const NUV_GETLINK_FN getLink = s_getLink.load();
        CLink* link = nullptr;
        const uint32_t r = getLink != nullptr ? getLink(hDev, &link) : NUV_ERR_LINK;
        if (r != 0 || link == nullptr) {
            _nvlogstr("get link");
            return r != 0 ? r : NUV_ERR_LINK;
        }
        m_link = link;
        return 0;
    }
    CLink* link = ms_link.load();
    if (link == nullptr) return NUV_ERR_LINK;
    m_link = link;
    return 0;
}

bool NUV_CMD::fillTxdBuf(int mode) {
    if (mode != 0) return false;  // the only request layout there is
    m_pack.sequence = s_sequence.fetch_add(1);
    m_pack.length = m_dataLen + NUV_HEAD_LEN;
    putLe16(static_cast<uint16_t>(m_command), payload());
    putLe16(static_cast<uint16_t>(m_dataLen), payload() + 2);
    return true;
}

// Envelope, optional encipherment, one link send.
uint32_t NUV_CMD::sendFrame(uint8_t* reqSeq) {
    *reqSeq =
        framePackBegin(&m_pack, static_cast<uint8_t>(m_channel), static_cast<uint8_t>(m_cipher));
    if (m_cipher == FRAME_SM4) {
        const uint32_t len = m_pack.length;
        if (!fitsIn(len, kSm4Block - len % kSm4Block, FRAME_MAX_PAYLOAD)) {
            _nvlogstr("request too long");
            return NUV_ERR_REQ_TOO_LONG;
        }
        uint32_t enc = 0;
        commFlowEncrypt(payload(), len, payload(), &enc);
        m_pack.length = enc;
    } else if (m_cipher != FRAME_PLAIN) {
        return NUV_ERR_CIPHER;
    }
    const uint32_t total = framePackSeal(&m_pack);
    if (total == 0) {
        _nvlogstr("request too long");
        return NUV_ERR_REQ_TOO_LONG;
    }
    const int r = m_link->linkf_txd_buff(PROTOCOL_FRAME, m_pack.frame, static_cast<int>(total));
    if (r != 0) {
        _nvlog("send %x", static_cast<unsigned>(r));
        return NUV_ERR_LINK;
    }
    return 0;
}

// One frame of this command's channel into the pack (the whole frame buffer
// is offered, so a frame announcing more than FRAME_MAX_PAYLOAD is refused by
// the port), then the envelope checks. Frames of other channels stay on the
// link for their own receivers.
uint32_t NUV_CMD::receiveFrame() {
    m_rspValid = false;
    int got = 0;
    const int r = m_link->rxdChannel(static_cast<uint8_t>(m_channel), m_pack.frame, &got,
                                     static_cast<int>(sizeof m_pack.frame));
    if (r != 0) {
        _nvlog("recv %x %d", static_cast<unsigned>(r), got);
        return static_cast<uint32_t>(r);
    }
    return checkFrame(static_cast<uint32_t>(got));
}

// The received length must be the whole frame its length field announces,
// within the pack, with head, checksum and tail intact.
uint32_t NUV_CMD::checkFrame(uint32_t got) {
    const uint8_t* f = m_pack.frame;
    if (got < FRAME_ENVELOPE || got > sizeof m_pack.frame || frameTotalLen(f) != got ||
        frameCheckEx(f, got, FRAME_MAX_PAYLOAD) != 1) {
        _nvlog("dss ret frame error %u", got);
        return NUV_ERR_FRAME;
    }
    m_pack.length = got;
    m_rspLen = got - FRAME_ENVELOPE;
    return 0;
}

// Response header: status and data length present, data within the payload.
static uint32_t checkHeader(const uint8_t* payload, uint32_t len) {
    if (len < NUV_HEAD_LEN || !fitsIn(NUV_HEAD_LEN, getLe16(payload + 2), len)) {
        _nvlogstr("dss ret length error");
        return NUV_ERR_RSP_SHORT;
    }
    return 0;
}

uint32_t NUV_CMD::decipherFrame() {
    const uint8_t cipher = m_pack.frame[FRAME_OFS_CIPHER];
    if (cipher == FRAME_SM4) {
        uint32_t plain = 0;
        if (commFlowDecrypt(payload(), m_rspLen, payload(), &plain) != 1) {
            _nvlogstr("dss ret length error");
            return NUV_ERR_RSP_SHORT;
        }
        m_rspLen = plain;
        m_pack.length = plain;
    } else if (cipher != FRAME_PLAIN) {
        return NUV_ERR_CIPHER;
    }
    const uint32_t r = checkHeader(payload(), m_rspLen);
    m_rspValid = r == 0;
    return r;
}

uint32_t NUV_CMD::linkTxdAndRxd(int judge) {
    uint8_t reqSeq = 0;
    uint32_t r = sendFrame(&reqSeq);
    if (r != 0) return r;
    m_firstPending = true;
    constexpr int kMaxFrames = 3;
    for (int i = 1;; ++i) {
        r = receiveFrame();
        if (r != 0) return r;
        const uint8_t rxSeq = m_pack.frame[FRAME_OFS_SEQ];
        if (rxSeq == reqSeq) break;
        _nvlog("seq is error txseq=%d,rxseq=%d, judge=%d", reqSeq, rxSeq, judge);
        if (judge == 0) return NUV_ERR_SEQ;
        if (i == kMaxFrames) break;
    }
    return decipherFrame();
}

uint32_t NUV_CMD::linkTxdOnly() {
    uint8_t reqSeq = 0;
    const uint32_t r = sendFrame(&reqSeq);
    if (r != 0) _nvlogstr("send");
    return r;
}

uint32_t NUV_CMD::nuvTxdAndRxd(int mode, int judge) {
    if (m_link == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    if (m_buf.overflowed()) {
        _nvlogstr("request too long");
        return NUV_ERR_REQ_TOO_LONG;
    }
    if (!fillTxdBuf(mode)) return NUV_ERR_CIPHER;
    const uint32_t r = linkTxdAndRxd(judge);
    if (r != 0) {
        _nvlog("recv %x", r);
        return r;
    }
    return 0;
}

uint32_t NUV_CMD::nuvTxdOnly(int mode) {
    if (m_link == nullptr) {
        _nvlogstr("ptr=NULL");
        return NUV_ERR_NULL;
    }
    if (m_buf.overflowed()) {
        _nvlogstr("request too long");
        return NUV_ERR_REQ_TOO_LONG;
    }
    if (!fillTxdBuf(mode)) return NUV_ERR_CIPHER;
    return linkTxdOnly();
}

uint32_t NUV_CMD::getRet() {
    if (!m_rspValid) return NUV_ERR_RSP_SHORT;
    const uint32_t status = getLe16(payload());
    if (status != 0) {
        _nvlog("RET=0x%X", status);
        return NUV_MODULE_BASE + status;
    }
    return 0;
}

// Copies the response data into `out` (room *len). A room of 0 holds nothing:
// no caller may hand over a buffer without saying how large it is.
uint32_t NUV_CMD::takeData(uint8_t* out, uint32_t* len, bool multiFrame) {
    const uint32_t n = getLe16(payload() + 2);
    if (len == nullptr) return out != nullptr ? NUV_ERR_NULL : 0;
    if (out != nullptr && n > *len) {
        if (multiFrame) {
            _nvlog("rcv buf is not enough, rspLen=%u, revLen=%u", n, *len);
            *len = 0;
        } else {
            _nvlogstr("rcv buf is not enough");
        }
        return NUV_ERR_BUF_SMALL;
    }
    *len = n;
    if (out != nullptr && n != 0) memcpy(out, payload() + NUV_HEAD_LEN, n);
    return 0;
}

uint32_t NUV_CMD::getRsp(uint8_t* out, uint32_t* len) {
    m_firstPending = false;
    const uint32_t r = getRet();
    if (r != 0) return r;
    return takeData(out, len, false);
}

uint32_t NUV_CMD::getRsp(uint8_t* out, uint32_t* len, bool* cont) {
    bool more = false;
    if (cont == nullptr) cont = &more;
    if (m_link == nullptr) {
        *cont = false;
        return NUV_ERR_NULL;
    }
    if (!m_firstPending) {
        // Further frames of the answer: plain, sequence not compared.
        uint32_t r = receiveFrame();
        if (r == 0) {
            r = checkHeader(payload(), m_rspLen);
            m_rspValid = r == 0;
        }
        if (r != 0) {
            _nvlogstr("link recv\n");
            *cont = false;
            return r;
        }
    }
    m_firstPending = false;
    *cont = m_pack.frame[FRAME_OFS_CONT] == 1;
    const uint32_t r = getRet();
    if (r != 0) return r;
    return takeData(out, len, true);
}
