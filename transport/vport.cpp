// The virtual port: frames to and from virtual keys over SOCK_SEQPACKET
// sockets, through the same unit code as USB.
#include "transport/vport.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "transport/usb.h"

namespace {

struct VKey {
    char path[sizeof(sockaddr_un::sun_path)];
    char name[USB_NAME_MAX];  // from the last FPKV INFO; empty when not present
    uint16_t pid;
    VKeyConn conn;  // the data connection of the open link
};

VKey s_keys[PORT_MAX_DEVICES];
int s_keyCount = 0;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A key answers its hello at once; a long transfer wait set for a
// fingerprint command must not stall a listing.
constexpr uint32_t kHelloWaitMs = 3000;

uint32_t helloWait() {
    const uint32_t w = ssUsbGetTimeout();
    return w < kHelloWaitMs ? w : kHelloWaitMs;
}

// Waits up to `ms` for `events` on fd: 0 ready, else a code.
int waitFor(int fd, short events, int timeoutCode, uint32_t ms) {
    if (fd < 0) return SS_ERR_RXD;
    pollfd p{fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, static_cast<int>(ms));
    } while (r < 0 && errno == EINTR);
    if (r == 0) return timeoutCode;
    if (r < 0 || (p.revents & POLLNVAL) != 0) return SS_ERR_RXD;
    // POLLHUP/POLLERR: the read or write that follows reports it.
    return 0;
}

int sockWriteUnit(void* ctx, const uint8_t* unit, size_t len) {
    const int fd = static_cast<VKeyConn*>(ctx)->fd.load();
    if (waitFor(fd, POLLOUT, SS_ERR_TXD, ssUsbGetTimeout()) != 0) return SS_ERR_TXD;
    const ssize_t n = send(fd, unit, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(len)) {
        _nvlog("write error!%x-%x %d\n", 0, static_cast<unsigned>(len), n < 0 ? -errno : 0);
        return SS_ERR_TXD;
    }
    return 0;
}

int sockReadUnit(void* ctx, uint8_t* unit, size_t len, size_t* got) {
    const int fd = static_cast<VKeyConn*>(ctx)->fd.load();
    // In slices, so that a shorter wait set meanwhile ends the wait.
    const uint64_t start = ssUsbNowMs();
    const uint32_t wait = ssUsbGetTimeout();
    int w = SS_ERR_TIMEOUT;
    for (uint32_t left = wait; left > 0 && w == SS_ERR_TIMEOUT; left = ssUsbWaitLeft(start, wait))
        w = waitFor(fd, POLLIN, SS_ERR_TIMEOUT, left < SS_WAIT_SLICE_MS ? left : SS_WAIT_SLICE_MS);
    if (w != 0) {
        _nvlogstr("failed to read \n");
        return w;
    }
    const ssize_t n = recv(fd, unit, len, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        *got = 0;  // woken without a packet; counted as an empty unit
        return 0;
    }
    if (n <= 0) {
        // End of file or reset: the key was unplugged.
        _nvlogstr("failed to read \n");
        return SS_ERR_RXD;
    }
    _nvlog("ssUsbRxd = %d", static_cast<int>(n));
    *got = static_cast<size_t>(n);
    return 0;
}

// Connects to a key, sends the hello, reads the one-packet answer into
// `answer` (zero-terminated). Returns the connected fd, or -1.
int hello(const char* path, const char* text, char* answer, size_t answerSize) {
    answer[0] = 0;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        // ECONNREFUSED / ENOENT: nobody listens, the key is not present.
        close(fd);
        return -1;
    }
    uint8_t unit[VPORT_UNIT] = {};
    snprintf(reinterpret_cast<char*>(unit), sizeof(unit), "%s", text);
    if (waitFor(fd, POLLOUT, SS_ERR_TXD, helloWait()) != 0 ||
        send(fd, unit, sizeof(unit), MSG_NOSIGNAL | MSG_DONTWAIT) != sizeof(unit) ||
        waitFor(fd, POLLIN, SS_ERR_TIMEOUT, helloWait()) != 0) {
        close(fd);
        return -1;
    }
    memset(unit, 0, sizeof(unit));
    const ssize_t n = recv(fd, unit, sizeof(unit), MSG_DONTWAIT);
    if (n <= 0) {
        close(fd);
        return -1;
    }
    const size_t keep =
        static_cast<size_t>(n) < answerSize - 1 ? static_cast<size_t>(n) : answerSize - 1;
    memcpy(answer, unit, keep);
    answer[keep] = 0;
    return fd;
}

VKeyAnswer classify(const char* answer, uint16_t* pid, uint8_t* ports, int* nports) {
    if (vkeyParseOk(answer, pid, ports, nports)) return VKEY_OK;
    if (strcmp(answer, "FPKV ABSENT") == 0) return VKEY_ABSENT;
    if (strcmp(answer, "FPKV BUSY") == 0) return VKEY_BUSY;
    return VKEY_BAD;
}

// Asks the key at `path` for its identity: true with its name and product id
// when it is plugged in, false (name empty) when it is absent or silent.
bool probeKey(const char* path, char* name, size_t cap, uint16_t* pid) {
    char answer[VPORT_UNIT + 1];
    name[0] = 0;
    const int fd = hello(path, "FPKV INFO", answer, sizeof(answer));
    if (fd < 0) return false;
    close(fd);
    uint8_t ports[USB_MAX_PORTS];
    int nports = 0;
    if (classify(answer, pid, ports, &nports) != VKEY_OK) return false;
    return _makeUsbName(name, cap, ports, nports, *pid) >= 0;
}

// Asks one key for its identity and renames it (empty name when absent).
void refreshKey(VKey* k) {
    uint16_t pid = 0;
    if (probeKey(k->path, k->name, sizeof(k->name), &pid)) k->pid = pid;
}

VKey* keyOf(uint64_t handle) {
    if (handle < VPORT_HANDLE_BASE) return nullptr;
    const uint64_t i = handle - VPORT_HANDLE_BASE;
    return i < static_cast<uint64_t>(s_keyCount) ? &s_keys[i] : nullptr;
}

}  // namespace

bool vkeyParseOk(const char* text, uint16_t* pid, uint8_t* ports, int* nports) {
    static const char kPrefix[] = "FPKV OK 0x";
    if (strncmp(text, kPrefix, sizeof(kPrefix) - 1) != 0) return false;
    const char* p = text + sizeof(kPrefix) - 1;
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hexDigit(p[i]);
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    p += 4;
    int n = 0;
    if (*p == ' ') {
        ++p;
        // Port numbers: one or two hex digits each, separated by dots.
        while (*p != 0) {
            const int hi = hexDigit(p[0]);
            if (hi < 0 || n == USB_MAX_PORTS) return false;
            int value = hi;
            int used = 1;
            const int lo = hexDigit(p[1]);
            if (lo >= 0) {
                value = hi * 16 + lo;
                used = 2;
            }
            ports[n++] = static_cast<uint8_t>(value);
            p += used;
            if (*p == '.') {
                ++p;
                if (*p == 0) return false;
            } else if (*p != 0) {
                return false;
            }
        }
    } else if (*p != 0) {
        return false;
    }
    *pid = static_cast<uint16_t>(v);
    *nports = n;
    return true;
}

int vconnSend(VKeyConn* c, const uint8_t* bytes, size_t len) {
    return unitsSend(sockWriteUnit, c, c->txdUnit, VPORT_UNIT, bytes, len);
}

int vconnReceive(VKeyConn* c, uint8_t* out, size_t capacity, uint32_t* outLen) {
    const int r = unitsReceive(sockReadUnit, c, c->rxdUnit, VPORT_UNIT, out, capacity, outLen);
    if (r == SS_ERR_TOO_LONG)
        _nvlog("ssUsbRxd: frame longer than %d bytes refused\n", static_cast<int>(capacity));
    return r;
}

void vconnClose(VKeyConn* c) {
    const int fd = c->fd.exchange(-1);
    if (fd < 0) return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

int VPORT_Configure(const char* const* paths, int count) {
    if (count < 0 || count > PORT_MAX_DEVICES || (count > 0 && paths == nullptr)) return -1;
    for (int i = 0; i < count; ++i) {
        if (paths[i] == nullptr || paths[i][0] == 0 || strlen(paths[i]) >= sizeof(s_keys[0].path))
            return -1;
    }
    for (int i = 0; i < s_keyCount; ++i)
        vconnClose(&s_keys[i].conn);
    for (int i = 0; i < count; ++i) {
        snprintf(s_keys[i].path, sizeof(s_keys[i].path), "%s", paths[i]);
        s_keys[i].name[0] = 0;
        s_keys[i].pid = 0;
    }
    s_keyCount = count;
    return 0;
}

bool VPORT_Probe(int index, char* name, size_t cap, uint16_t* pid) {
    if (index < 0 || index >= s_keyCount || name == nullptr || cap == 0 || pid == nullptr)
        return false;
    return probeKey(s_keys[index].path, name, cap, pid);
}

int VPORT_Count() {
    return s_keyCount;
}

void VPORT_Refresh() {
    for (int i = 0; i < s_keyCount; ++i)
        refreshKey(&s_keys[i]);
}

int VPORT_List(char* names, size_t capacity, uint32_t vid, uint32_t pid) {
    if (vid == 0) vid = SS_VID;
    if (pid == 0) pid = SS_DEFAULT_PID;
    int found = 0;
    size_t used = 0;
    for (int i = 0; i < s_keyCount; ++i) {
        const VKey& k = s_keys[i];
        if (k.name[0] == 0 || vid != SS_VID || k.pid != pid) continue;
        ++found;
        const size_t n = strlen(k.name) + 1;
        if (names != nullptr && used + n < capacity) {
            memcpy(names + used, k.name, n);
            used += n;
        }
    }
    if (names != nullptr && capacity > 0) names[used] = 0;
    return found;
}

uint64_t VPORT_HandleFor(const char* name) {
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < s_keyCount; ++i) {
            if (s_keys[i].name[0] != 0 && strcmp(s_keys[i].name, name) == 0)
                return VPORT_HANDLE_BASE + static_cast<uint64_t>(i);
        }
        if (pass == 0) VPORT_Refresh();
    }
    return 0;
}

int VPORT_Open(uint64_t handle) {
    _nvlog(">>-%s", __func__);
    VKey* k = keyOf(handle);
    if (k == nullptr) {
        _nvlog("Cannot open device %x/%x\n", SS_VID, 0u);
        return SS_ERR_TXD;
    }
    // A second open replaces the first connection.
    vconnClose(&k->conn);
    char answer[VPORT_UNIT + 1];
    const int fd = hello(k->path, "FPKV OPEN", answer, sizeof(answer));
    uint16_t pid = 0;
    uint8_t ports[USB_MAX_PORTS];
    int nports = 0;
    const VKeyAnswer a = fd < 0 ? VKEY_ABSENT : classify(answer, &pid, ports, &nports);
    if (a == VKEY_OK) {
        k->conn.fd = fd;
        _nvlogstr("Device Opened\n");
        return 0;
    }
    if (fd >= 0) close(fd);
    if (a == VKEY_BUSY) {
        _nvlog("Cannot Claim Interface %d=%d\n", 0, -6);
        return SS_ERR_CLAIM;
    }
    _nvlog("Cannot open device %x/%x\n", SS_VID, static_cast<unsigned>(k->pid));
    return SS_ERR_TXD;
}

int VPORT_Close(uint64_t handle) {
    _nvlog(">>-%s", __func__);
    VKey* k = keyOf(handle);
    if (k == nullptr || k->conn.fd.load() < 0) return -1;
    vconnClose(&k->conn);
    return 0;
}

int VPORT_txd(uint64_t handle, const uint8_t* bytes, int len, int* sent) {
    VKey* k = keyOf(handle);
    int r = 0;
    if (len > 0)
        r = (k == nullptr || bytes == nullptr)
                ? SS_ERR_TXD
                : vconnSend(&k->conn, bytes, static_cast<size_t>(len));
    if (sent != nullptr) *sent = r == 0 ? len : 0;
    return r;
}

int VPORT_rxd(uint64_t handle, uint8_t* buf, int capacity, int* received) {
    VKey* k = keyOf(handle);
    if (k == nullptr) return SS_ERR_RXD;
    uint32_t len = 0;
    const int r =
        vconnReceive(&k->conn, buf, capacity > 0 ? static_cast<size_t>(capacity) : 0, &len);
    if (r == 0 && received != nullptr) *received = static_cast<int>(len);
    return r;
}
