#include "tests/unit/transport/fake_key.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/frame.h"
#include "transport/units.h"

namespace {

int readUnit(void* ctx, uint8_t* unit, size_t len, size_t* got) {
    const ssize_t n = recv(*static_cast<int*>(ctx), unit, len, 0);
    if (n <= 0) return SS_ERR_RXD;
    *got = static_cast<size_t>(n);
    return 0;
}

int writeUnit(void* ctx, const uint8_t* unit, size_t len) {
    return send(*static_cast<int*>(ctx), unit, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len)
               ? 0
               : SS_ERR_TXD;
}

void sendText(int fd, const std::string& text) {
    uint8_t unit[64] = {};
    // One zero-padded unit, not a C string: a 64-byte text fills it.
    std::copy_n(text.begin(), std::min(text.size(), sizeof unit), unit);
    send(fd, unit, sizeof(unit), MSG_NOSIGNAL);
}

}  // namespace

int keyReadFrame(int fd, uint8_t* out, size_t capacity, uint32_t* len) {
    uint8_t staging[64];
    return unitsReceive(readUnit, &fd, staging, sizeof(staging), out, capacity, len);
}

int keyWriteFrame(int fd, const uint8_t* frame, size_t len) {
    uint8_t staging[64];
    return unitsSend(writeUnit, &fd, staging, sizeof(staging), frame, len);
}

std::string tempSocketPath(const char* tag) {
    static std::atomic<int> counter{0};
    const char* dir = getenv("TMPDIR");
    char buf[100];
    snprintf(buf, sizeof(buf), "%s/fpk-%s-%d-%d.sock", dir != nullptr ? dir : "/tmp", tag,
             static_cast<int>(getpid()), counter++);
    return buf;
}

FakeKey::FakeKey(std::string path, uint16_t pid, std::string portPath)
    : m_path(std::move(path)), m_pid(pid), m_portPath(std::move(portPath)) {}

FakeKey::~FakeKey() {
    stop();
}

bool FakeKey::start() {
    unlink(m_path.c_str());
    m_listen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", m_path.c_str());
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(m_listen, 8) != 0)
        return false;
    m_acceptor = std::thread([this] { acceptLoop(); });
    return true;
}

void FakeKey::stop() {
    if (m_listen >= 0) {
        shutdown(m_listen, SHUT_RDWR);
        if (m_acceptor.joinable()) m_acceptor.join();
        close(m_listen);
        m_listen = -1;
        unlink(m_path.c_str());
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> g(m_mu);
        for (int fd : m_fds)
            shutdown(fd, SHUT_RDWR);
        workers.swap(m_workers);
    }
    for (auto& t : workers)
        t.join();
    std::lock_guard<std::mutex> g(m_mu);
    for (int fd : m_fds)
        close(fd);
    m_fds.clear();
}

void FakeKey::unplug() {
    std::unique_lock<std::mutex> g(m_mu);
    m_plugged = false;
    for (int fd : m_fds)
        shutdown(fd, SHUT_RDWR);
    // Like a real key, an unplugged one keeps no session: the data loop has
    // seen its shutdown before unplug() returns, so an open after plug()
    // is never answered BUSY by the connection that was cut.
    m_dataEnded.wait(g, [this] { return !m_dataOpen; });
}

void FakeKey::acceptLoop() {
    for (;;) {
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::lock_guard<std::mutex> g(m_mu);
        m_fds.push_back(fd);
        m_workers.emplace_back([this, fd] { serve(fd); });
    }
}

void FakeKey::serve(int fd) {
    char hello[65] = {};
    if (recv(fd, hello, 64, 0) <= 0) return;
    char ok[64];
    snprintf(ok, sizeof(ok), "FPKV OK 0x%04X %s", m_pid, m_portPath.c_str());
    const bool open = strcmp(hello, "FPKV OPEN") == 0;
    const char* answer = nullptr;
    bool data = false;
    {
        // Presence and the data slot are decided together, under the lock
        // unplug() takes.
        std::lock_guard<std::mutex> g(m_mu);
        if (!m_plugged) {
            answer = "FPKV ABSENT";
        } else if (strcmp(hello, "FPKV INFO") == 0) {
            answer = ok;
        } else if (open && m_dataOpen) {
            answer = "FPKV BUSY";
        } else if (open) {
            answer = ok;
            m_dataOpen = data = true;
        }
    }
    if (answer != nullptr) sendText(fd, answer);
    if (!data) {
        shutdown(fd, SHUT_RDWR);
        return;
    }
    dataLoop(fd);
    {
        std::lock_guard<std::mutex> g(m_mu);
        m_dataOpen = false;
    }
    m_dataEnded.notify_all();
}

void FakeKey::dataLoop(int fd) {
    uint8_t req[FRAME_BUF_SIZE];
    uint8_t rsp[FRAME_BUF_SIZE];
    for (;;) {
        uint32_t len = 0;
        if (keyReadFrame(fd, req, sizeof(req), &len) != 0) return;
        m_requests++;
        const uint16_t oversize = m_oversize.exchange(0);
        if (oversize != 0) {
            // Announces more than it should; the units still carry it whole.
            static uint8_t big[0x10000 + 16];
            memset(big, 0x33, sizeof(big));
            big[0] = FRAME_HEAD;
            UNPACKED16(oversize, big + 1);
            keyWriteFrame(fd, big, size_t(oversize) + FRAME_ENVELOPE);
            continue;
        }
        const size_t pl = framePayloadLen(req);
        putLe16(0x9000, rsp + 7);
        putLe16(static_cast<uint16_t>(pl), rsp + 9);
        for (size_t i = 0; i < pl; ++i)
            rsp[11 + i] = req[7 + pl - 1 - i];
        const size_t n =
            frameBuild(rsp, sizeof(rsp), pl + 4, FRAME_CH_APDU, 0, req[FRAME_OFS_SEQ], 0);
        if (n == 0 || keyWriteFrame(fd, rsp, n) != 0) return;
    }
}
