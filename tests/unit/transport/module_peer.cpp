#include "tests/unit/transport/module_peer.h"

#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "tests/unit/transport/fake_key.h"
#include "transport/usb.h"

namespace {

struct RxdCtx {
    int fd;
    uint32_t waitMs;
};

int writeUnit(void* ctx, const uint8_t* unit, size_t len) {
    return send(*static_cast<int*>(ctx), unit, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len)
               ? 0
               : SS_ERR_TXD;
}

int readUnit(void* ctx, uint8_t* unit, size_t len, size_t* got) {
    const RxdCtx* c = static_cast<RxdCtx*>(ctx);
    pollfd p{c->fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(c->waitMs));
    if (r == 0) return SS_ERR_TIMEOUT;
    const ssize_t n = recv(c->fd, unit, len, MSG_DONTWAIT);
    if (r < 0 || n <= 0) return SS_ERR_RXD;
    *got = static_cast<size_t>(n);
    return 0;
}

}  // namespace

Bytes ModuleRequest::payload() const {
    const size_t len = framePayloadLen(frame.data());
    return Bytes(frame.data() + FRAME_OFS_PAYLOAD, frame.data() + FRAME_OFS_PAYLOAD + len);
}

uint16_t ModuleRequest::command() const {
    return getLe16(frame.data() + FRAME_OFS_PAYLOAD);
}

Bytes ModuleRequest::data() const {
    const Bytes p = payload();
    return Bytes(p.begin() + 4, p.end());
}

ModulePeer::ModulePeer() {
    m_waits.reserve(4096);  // the daemon-side receive must not allocate
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, m_fd);
    _ST_DEV_OPT opt{};
    opt.handle = reinterpret_cast<uint64_t>(this);
    opt.openDev = portOpen;
    opt.closeDev = portClose;
    opt.txdPkg = portTxd;
    opt.rxdPkg = portRxd;
    m_link.SetDev(&opt);
    m_link.linkf_openDev();
    m_key = std::thread([this] { keyLoop(); });
}

ModulePeer::~ModulePeer() {
    // The key thread's blocking read ends when the daemon side goes away.
    shutdown(m_fd[0], SHUT_RDWR);
    m_key.join();
    close(m_fd[0]);
    close(m_fd[1]);
}

void ModulePeer::setScript(Script s) {
    std::lock_guard<std::mutex> g(m_mu);
    m_script = std::move(s);
}

void ModulePeer::keyLoop() {
    static thread_local uint8_t frame[0x10000 + FRAME_ENVELOPE];
    for (;;) {
        uint32_t len = 0;
        if (keyReadFrame(m_fd[1], frame, sizeof frame, &len) != 0) return;
        ModuleRequest req{Bytes(frame, frame + len)};
        Script script;
        {
            std::lock_guard<std::mutex> g(m_mu);
            m_requests.push_back(req);
            script = m_script;
        }
        m_cv.notify_all();
        if (script) script(*this, req);
    }
}

void ModulePeer::sendPayload(uint8_t seq, const Bytes& payload, uint8_t cont, uint8_t channel,
                             uint8_t cipher, bool badSum) {
    Bytes f(payload.size() + FRAME_ENVELOPE);
    memcpy(f.data() + FRAME_OFS_PAYLOAD, payload.data(), payload.size());
    if (frameBuild(f.data(), f.size(), payload.size(), channel, cipher, seq, cont) == 0) {
        // More than a frame may carry: the envelope by hand (sum not needed).
        f[0] = FRAME_HEAD;
        UNPACKED16(static_cast<uint16_t>(payload.size()), f.data() + FRAME_OFS_LEN);
        f[FRAME_OFS_CHANNEL] = channel;
        f[FRAME_OFS_CIPHER] = cipher;
        f[FRAME_OFS_SEQ] = seq;
        f[FRAME_OFS_CONT] = cont;
        f.back() = FRAME_TAIL;
    }
    if (badSum) f[FRAME_OFS_PAYLOAD + payload.size()] ^= 0x01;
    keyWriteFrame(m_fd[1], f.data(), f.size());
}

void ModulePeer::answer(uint8_t seq, uint16_t status, const Bytes& data, uint8_t cont,
                        uint8_t channel) {
    Bytes p(4 + data.size());
    putLe16(status, p.data());
    putLe16(static_cast<uint16_t>(data.size()), p.data() + 2);
    std::copy(data.begin(), data.end(), p.begin() + 4);
    sendPayload(seq, p, cont, channel, FRAME_PLAIN);
}

void ModulePeer::sendRaw(const Bytes& frame) {
    keyWriteFrame(m_fd[1], frame.data(), frame.size());
}

std::vector<ModuleRequest> ModulePeer::requests() {
    std::lock_guard<std::mutex> g(m_mu);
    return m_requests;
}

bool ModulePeer::waitRequests(size_t n) {
    std::unique_lock<std::mutex> g(m_mu);
    return m_cv.wait_for(g, std::chrono::seconds(10), [&] { return m_requests.size() >= n; });
}

std::vector<uint32_t> ModulePeer::receiveWaits() {
    std::lock_guard<std::mutex> g(m_mu);
    return m_waits;
}

int ModulePeer::portOpen(uint64_t) {
    return 0;
}

int ModulePeer::portClose(uint64_t) {
    return 0;
}

int ModulePeer::portTxd(uint64_t h, const uint8_t* bytes, int len, int* sent) {
    ModulePeer* p = reinterpret_cast<ModulePeer*>(h);
    const int r = unitsSend(writeUnit, &p->m_fd[0], p->m_txStaging, sizeof p->m_txStaging, bytes,
                            static_cast<size_t>(len));
    *sent = r == 0 ? len : 0;
    return r;
}

int ModulePeer::portRxd(uint64_t h, uint8_t* buf, int capacity, int* received) {
    ModulePeer* p = reinterpret_cast<ModulePeer*>(h);
    RxdCtx ctx{p->m_fd[0], ssUsbGetTimeout()};
    {
        std::lock_guard<std::mutex> g(p->m_mu);
        p->m_waits.push_back(ctx.waitMs);
    }
    uint32_t got = 0;
    const int r = unitsReceive(readUnit, &ctx, p->m_rxStaging, sizeof p->m_rxStaging, buf,
                               static_cast<size_t>(capacity), &got);
    if (r == 0) *received = static_cast<int>(got);
    return r;
}

Bytes oracleSm4Cbc(bool encrypt, const uint8_t key[16], const Bytes& in) {
    const uint8_t iv[16] = {};
    Bytes out(in.size() + 16);
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(c, EVP_sm4_cbc(), nullptr, key, iv, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(c, 0);
    int n = 0, m = 0;
    EVP_CipherUpdate(c, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(c, out.data() + n, &m);
    EVP_CIPHER_CTX_free(c);
    out.resize(static_cast<size_t>(n) + static_cast<size_t>(m));
    return out;
}
