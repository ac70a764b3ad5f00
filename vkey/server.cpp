// Socket front end of the key: the virtual-port socket (hello, then 64-byte
// transfer units) and the line-oriented control socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "transport/units.h"
#include "util/util.h"
#include "vkey/card.h"
#include "vkey/crypto_ossl.h"
#include "vkey/finger.h"
#include "vkey/link.h"
#include "vkey/vkey.h"

namespace vkey {

namespace {

volatile sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}

bool makeAddr(const std::string& path, sockaddr_un& sa) {
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path) return false;
    memcpy(sa.sun_path, path.data(), path.size());
    return true;
}

int listenOn(const std::string& path, int type) {
    sockaddr_un sa;
    if (!makeAddr(path, sa)) return -1;
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A socket file nobody listens on is left from an earlier run; one that
    // answers belongs to a running key and is not taken over.
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        close(fd);
        errno = EADDRINUSE;
        return -1;
    }
    close(fd);
    fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendText(int fd, const std::string& text) {
    uint8_t unit[kUnit] = {};
    // One zero-padded unit, not a C string: a text of kUnit bytes fills it.
    std::copy_n(text.begin(), std::min(text.size(), kUnit), unit);
    if (send(fd, unit, kUnit, MSG_NOSIGNAL) != static_cast<ssize_t>(kUnit))
        keyLog("hello reply not sent: %s", strerror(errno));
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    return w;
}

// A whole decimal number of at most `max`.
bool parseCount(const std::string& s, unsigned long max, unsigned long& v) {
    if (s.empty() || s.size() > 9) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    return v <= max;
}

bool parseHex(const std::string& s, std::vector<uint8_t>& out) {
    out.clear();
    if (s == "-") return true;
    if (s.size() % 2 != 0) return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char c = s[k];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return false;
            v = v << 4 | d;
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// Faults put on the next reply frames of any channel, as the host sees them
// on the wire. Each kind counts its own frames down.
struct Faults {
    unsigned long drop = 0;      // not sent at all
    unsigned long stale = 0;     // sequence byte of the request before
    unsigned long badSum = 0;    // checksum bytes inverted
    unsigned long truncate = 0;  // only the first half of the frame is sent
    unsigned long oversize = 0;  // length field 0xFFFF, beyond any buffer
    unsigned long delay = 0;     // held back delayMs each
    unsigned long delayMs = 0;

    std::string describe() const {
        std::string s;
        auto add = [&](const char* name, unsigned long n) {
            if (n == 0) return;
            s += std::string(s.empty() ? "" : ",") + name + ":" + std::to_string(n);
        };
        add("drop", drop);
        add("stale-seq", stale);
        add("bad-checksum", badSum);
        add("truncate", truncate);
        add("oversize", oversize);
        if (delay != 0)
            s += std::string(s.empty() ? "" : ",") + "delay:" + std::to_string(delayMs) + "msx" +
                 std::to_string(delay);
        return s.empty() ? "none" : s;
    }
};

// One reply frame waiting for its time (a delay fault holds back it and
// every frame after it, as a slow link would).
struct Outgoing {
    std::vector<uint8_t> bytes;
    uint64_t due = 0;
};

constexpr int kUnitWaitMs = 1000;  // between the units of one request frame

class Server {
  public:
    Server(Key& key, const ServerOptions& opt) : m_key(key), m_opt(opt), m_sink(*this) {}
    int run();

  private:
    // Reply frames of the key go out on the data connection, if any.
    struct DataSink : FrameSink {
        explicit DataSink(Server& s) : server(s) {}
        void sendFrame(const uint8_t* frame, size_t len) override {
            if (server.m_data >= 0) server.sendFrame(frame, len);
        }
        Server& server;
    };
    struct CtlClient {
        int fd;
        std::string in;
    };
    // One control command: name, and the member that answers it with a line
    // starting "OK" or "ERR".
    struct CtlCommand {
        const char* name;
        std::string (Server::*run)(const std::vector<std::string>& args);
    };
    static const CtlCommand kCtlCommands[];

    std::string ctlStatus(const std::vector<std::string>&);
    std::string ctlUnplug(const std::vector<std::string>&);
    std::string ctlPlug(const std::vector<std::string>&);
    std::string ctlTouch(const std::vector<std::string>&);
    std::string ctlLift(const std::vector<std::string>&);
    std::string ctlFault(const std::vector<std::string>&);
    std::string ctlItem(const std::vector<std::string>&);
    std::string control(const std::string& line);

    static int readUnit(void* ctx, uint8_t* unit, size_t unitLen, size_t* got);
    static int writeUnit(void* ctx, const uint8_t* unit, size_t unitLen);
    void queueReply(const uint8_t* frame, size_t n);
    void flushReplies();
    int pollTimeout() const;
    void onTimers();

    std::string okLine() const;
    void onHello(int fd);
    void onDataPacket();
    void closeData();
    void sendFrame(const uint8_t* frame, size_t n);
    void onControlReadable(size_t i);

    Key& m_key;
    const ServerOptions& m_opt;
    bool m_plugged = true;
    int m_listen = -1;
    int m_ctl = -1;
    std::vector<int> m_hello;
    std::vector<CtlClient> m_ctlClients;
    int m_data = -1;
    uint8_t m_frame[kMaxFrame];
    uint8_t m_rxUnit[kUnit];
    uint8_t m_txUnit[kUnit];
    DataSink m_sink;
    Faults m_faults;
    std::deque<Outgoing> m_replies;
    uint32_t m_autoSerial = 0;  // the module wait an auto-touch was planned for
    uint64_t m_autoDue = 0;     // 0: none planned
};

const Server::CtlCommand Server::kCtlCommands[] = {
    {"status", &Server::ctlStatus}, {"unplug", &Server::ctlUnplug}, {"plug", &Server::ctlPlug},
    {"touch", &Server::ctlTouch},   {"lift", &Server::ctlLift},     {"fault", &Server::ctlFault},
    {"item", &Server::ctlItem},
};

std::string Server::okLine() const {
    char text[64];
    snprintf(text, sizeof text, "FPKV OK 0x%04X %s", m_opt.product, m_opt.portPath.c_str());
    return text;
}

std::string Server::ctlStatus(const std::vector<std::string>&) {
    char text[64];
    snprintf(text, sizeof text, "0x%04X", m_opt.product);
    return std::string("OK plugged=") + (m_plugged ? "1" : "0") +
           " connected=" + (m_data >= 0 ? "1" : "0") + " product=" + text +
           " port=" + m_opt.portPath + " " + m_key.describe() + " faults=" + m_faults.describe();
}

std::string Server::ctlTouch(const std::vector<std::string>& w) {
    if (w.size() != 2) return "ERR usage: touch FINGER";
    if (!m_plugged) return "ERR unplugged";
    if (!m_key.touch(w[1], m_sink))
        return "ERR finger names are 1 to 32 letters, digits, '.', '_' or '-'";
    flushReplies();
    return "OK touched " + w[1];
}

std::string Server::ctlLift(const std::vector<std::string>&) {
    m_key.lift();
    return "OK lifted";
}

std::string Server::ctlFault(const std::vector<std::string>& w) {
    const char* usage =
        "ERR usage: fault drop|stale-seq|bad-checksum|truncate|oversize [N], fault delay MS [N], "
        "fault clear";
    if (w.size() < 2) return usage;
    const std::string& kind = w[1];
    if (kind == "clear") {
        if (w.size() != 2) return usage;
        m_faults = Faults();
        return "OK faults=none";
    }
    unsigned long n = 1, ms = 0;
    size_t countAt = 2;
    if (kind == "delay") {
        if (w.size() < 3 || !parseCount(w[2], 600000, ms)) return "ERR fault delay needs MS";
        countAt = 3;
    }
    if (w.size() > countAt + 1) return usage;
    if (w.size() == countAt + 1 && (!parseCount(w[countAt], 1000000, n) || n == 0))
        return "ERR N must be a positive number";
    if (kind == "drop") {
        m_faults.drop = n;
    } else if (kind == "stale-seq") {
        m_faults.stale = n;
    } else if (kind == "bad-checksum") {
        m_faults.badSum = n;
    } else if (kind == "truncate") {
        m_faults.truncate = n;
    } else if (kind == "oversize") {
        m_faults.oversize = n;
    } else if (kind == "delay") {
        m_faults.delay = n;
        m_faults.delayMs = ms;
    } else {
        return usage;
    }
    return "OK faults=" + m_faults.describe();
}

std::string Server::ctlItem(const std::vector<std::string>& w) {
    unsigned long index = 0;
    std::vector<uint8_t> pub;
    if (w.size() != 3 || !parseCount(w[1], 999999999, index) || !parseHex(w[2], pub))
        return "ERR usage: item INDEX HEX (public part of a vault item; '-' for none)";
    std::string err;
    if (!m_key.vaultPut(static_cast<uint32_t>(index), pub.data(), pub.size(), err))
        return "ERR " + err;
    return "OK item " + w[1];
}

std::string Server::ctlUnplug(const std::vector<std::string>&) {
    if (!m_plugged) return "OK unplugged";
    m_plugged = false;
    closeData();
    for (int fd : m_hello)
        close(fd);
    m_hello.clear();
    m_key.powerCycle();  // power is gone with the plug
    keyLog("unplugged");
    return "OK unplugged";
}

std::string Server::ctlPlug(const std::vector<std::string>&) {
    if (!m_plugged) keyLog("plugged");
    m_plugged = true;
    return "OK plugged";
}

std::string Server::control(const std::string& line) {
    std::vector<std::string> w = words(line);
    if (w.empty()) return "ERR empty command";
    for (const CtlCommand& c : kCtlCommands)
        if (w[0] == c.name) return (this->*c.run)(w);
    std::string known;
    for (const CtlCommand& c : kCtlCommands)
        known += std::string(known.empty() ? "" : ", ") + c.name;
    return "ERR unknown command '" + w[0] + "' (known: " + known + ")";
}

void Server::onHello(int fd) {
    char text[kUnit + 1] = {};
    ssize_t n = recv(fd, text, kUnit, MSG_DONTWAIT);
    if (n <= 0) {
        close(fd);
        return;
    }
    std::string hello(text, strnlen(text, static_cast<size_t>(n)));
    if (hello == "FPKV INFO") {
        sendText(fd, m_plugged ? okLine() : "FPKV ABSENT");
        close(fd);
    } else if (hello == "FPKV OPEN") {
        if (!m_plugged) {
            sendText(fd, "FPKV ABSENT");
            close(fd);
        } else if (m_data >= 0) {
            sendText(fd, "FPKV BUSY");
            close(fd);
        } else {
            sendText(fd, okLine());
            m_data = fd;
        }
    } else {
        keyLog("unknown hello '%s', connection closed", hello.c_str());
        close(fd);
    }
}

void Server::closeData() {
    if (m_data >= 0) close(m_data);
    m_data = -1;
    m_replies.clear();
    m_key.hostGone();  // whoever waited for the module is gone
}

int Server::writeUnit(void* ctx, const uint8_t* unit, size_t unitLen) {
    Server& s = *static_cast<Server*>(ctx);
    return send(s.m_data, unit, unitLen, MSG_NOSIGNAL) == static_cast<ssize_t>(unitLen)
               ? 0
               : SS_ERR_TXD;
}

int Server::readUnit(void* ctx, uint8_t* unit, size_t unitLen, size_t* got) {
    Server& s = *static_cast<Server*>(ctx);
    pollfd p = {s.m_data, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, kUnitWaitMs)) < 0 && errno == EINTR) {
    }
    if (r == 0) return SS_ERR_TIMEOUT;
    if (r < 0) return SS_ERR_RXD;
    ssize_t n = recv(s.m_data, unit, unitLen, MSG_DONTWAIT);
    if (n <= 0) return SS_ERR_RXD;
    *got = static_cast<size_t>(n);
    return 0;
}

void Server::sendFrame(const uint8_t* frame, size_t n) {
    queueReply(frame, n);
    flushReplies();
}

void Server::queueReply(const uint8_t* frame, size_t n) {
    Faults& f = m_faults;
    if (f.drop > 0) {
        --f.drop;
        keyLog("fault: reply dropped");
        return;
    }
    Outgoing o;
    o.bytes.assign(frame, frame + n);
    uint8_t* p = o.bytes.data();
    const size_t payload = n - kFrameEnvelope;
    if (f.stale > 0) {
        --f.stale;
        p[FRAME_OFS_SEQ] = static_cast<uint8_t>(p[FRAME_OFS_SEQ] - 1);
        frameSeal(p, n, payload);
    }
    if (f.badSum > 0) {
        --f.badSum;
        p[kFrameHeader + payload] ^= 0xFF;
        p[kFrameHeader + payload + 1] ^= 0xFF;
    }
    if (f.oversize > 0) {
        --f.oversize;
        UNPACKED16(0xFFFF, p + FRAME_OFS_LEN);
    }
    if (f.truncate > 0) {
        --f.truncate;
        o.bytes.resize(n / 2);
    }
    o.due = steadyMs();
    if (f.delay > 0) {
        --f.delay;
        o.due += f.delayMs;
    }
    // Frames leave in order: one held back holds back those behind it.
    if (!m_replies.empty() && m_replies.back().due > o.due) o.due = m_replies.back().due;
    m_replies.push_back(std::move(o));
}

void Server::flushReplies() {
    const uint64_t now = steadyMs();
    while (!m_replies.empty() && m_replies.front().due <= now && m_data >= 0) {
        Outgoing o = std::move(m_replies.front());
        m_replies.pop_front();
        if (unitsSend(writeUnit, this, m_txUnit, kUnit, o.bytes.data(), o.bytes.size()) != 0) {
            keyLog("reply not sent (%s); connection closed", strerror(errno));
            closeData();
        }
        wipe(o.bytes.data(), o.bytes.size());
    }
}

void Server::onDataPacket() {
    uint8_t unit[kUnit];
    ssize_t n = recv(m_data, unit, sizeof unit, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        closeData();  // the host went away; the card keeps its session
        return;
    }
    if (static_cast<size_t>(n) != kUnit || unit[0] != FRAME_HEAD) {
        recv(m_data, unit, sizeof unit, MSG_DONTWAIT);
        keyLog("dropped packet of %zd bytes: not the first unit of a frame", n);
        return;
    }
    uint32_t len = 0;
    int r = unitsReceive(readUnit, this, m_rxUnit, kUnit, m_frame, sizeof m_frame, &len);
    if (r == SS_ERR_TOO_LONG) {
        keyLog("dropped request: length field beyond %zu bytes", kMaxPayload);
    } else if (r == SS_ERR_TIMEOUT) {
        keyLog("dropped request: its units stopped coming");
    } else if (r != 0) {
        closeData();
    } else {
        m_key.receive(m_frame, len, m_sink);
    }
    wipe(m_frame, sizeof m_frame);  // requests may carry PINs or key pairs
    wipe(m_rxUnit, sizeof m_rxUnit);
}

int Server::pollTimeout() const {
    long t = m_key.msToDeadline();
    auto earlier = [&](long ms) {
        if (ms >= 0 && (t < 0 || ms < t)) t = ms;
    };
    const uint64_t now = steadyMs();
    if (!m_replies.empty())
        earlier(m_replies.front().due > now ? static_cast<long>(m_replies.front().due - now) : 0);
    if (m_autoDue != 0) earlier(m_autoDue > now ? static_cast<long>(m_autoDue - now) : 0);
    return t > 60000 ? 60000 : static_cast<int>(t);
}

void Server::onTimers() {
    flushReplies();
    if (m_key.msToDeadline() == 0) {
        m_key.tick(m_sink);
        flushReplies();
    }
    if (m_opt.autoTouch.empty() || !m_plugged) return;
    const bool waits = m_key.msToDeadline() >= 0;
    if (waits && m_key.moduleWaitSerial() != m_autoSerial) {
        m_autoSerial = m_key.moduleWaitSerial();
        m_autoDue = steadyMs() + m_opt.autoTouchDelayMs;
    }
    if (m_autoDue != 0 && (!waits || m_key.moduleWaitSerial() != m_autoSerial)) m_autoDue = 0;
    if (m_autoDue != 0 && steadyMs() >= m_autoDue) {
        m_autoDue = 0;
        m_key.touch(m_opt.autoTouch, m_sink);
        flushReplies();
        onTimers();  // the touch may have started the next wait
    }
}

void Server::onControlReadable(size_t i) {
    char buf[512];
    ssize_t n = recv(m_ctlClients[i].fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) {
        close(m_ctlClients[i].fd);
        m_ctlClients[i].fd = -1;
        return;
    }
    std::string& in = m_ctlClients[i].in;
    in.append(buf, static_cast<size_t>(n));
    size_t eol;
    while ((eol = in.find('\n')) != std::string::npos) {
        std::string reply = control(in.substr(0, eol)) + "\n";
        in.erase(0, eol + 1);
        if (m_ctlClients[i].fd < 0) break;
        if (send(m_ctlClients[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
            close(m_ctlClients[i].fd);
            m_ctlClients[i].fd = -1;
            return;
        }
    }
    if (in.size() > 4096) {
        close(m_ctlClients[i].fd);
        m_ctlClients[i].fd = -1;
    }
}

int Server::run() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The stop signals are taken only inside ppoll: one that came between
    // the loop's check and an unbounded wait would otherwise be missed.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);

    m_listen = listenOn(m_opt.socketPath, SOCK_SEQPACKET);
    if (m_listen < 0) {
        keyLog("cannot listen on %s: %s", m_opt.socketPath.c_str(), strerror(errno));
        return 1;
    }
    if (!m_opt.controlPath.empty()) {
        m_ctl = listenOn(m_opt.controlPath, SOCK_STREAM);
        if (m_ctl < 0) {
            keyLog("cannot listen on %s: %s", m_opt.controlPath.c_str(), strerror(errno));
            close(m_listen);
            unlink(m_opt.socketPath.c_str());
            return 1;
        }
    }
    keyLog("key ready on %s (state %s)", m_opt.socketPath.c_str(), m_key.stateDir().c_str());
    m_key.setFingerWait(m_opt.fingerWaitMs);

    while (!g_stop) {
        std::vector<pollfd> fds;
        fds.push_back({m_listen, POLLIN, 0});
        fds.push_back({m_ctl, POLLIN, 0});
        fds.push_back({m_data, POLLIN, 0});
        for (int fd : m_hello)
            fds.push_back({fd, POLLIN, 0});
        for (const CtlClient& c : m_ctlClients)
            fds.push_back({c.fd, POLLIN, 0});
        const int wait = pollTimeout();
        timespec ts = {wait / 1000, (wait % 1000) * 1000000L};
        if (ppoll(fds.data(), fds.size(), wait < 0 ? nullptr : &ts, &waitMask) < 0) {
            if (errno == EINTR) continue;
            keyLog("poll: %s", strerror(errno));
            break;
        }
        onTimers();
        size_t k = 3;
        std::vector<int> hello;
        hello.swap(m_hello);
        for (int fd : hello) {
            if (fds[k++].revents != 0)
                onHello(fd);
            else
                m_hello.push_back(fd);
        }
        for (size_t i = 0; i < m_ctlClients.size(); ++i, ++k)
            if (fds[k].revents != 0) onControlReadable(i);
        for (size_t i = m_ctlClients.size(); i-- > 0;)
            if (m_ctlClients[i].fd < 0)
                m_ctlClients.erase(m_ctlClients.begin() + static_cast<std::ptrdiff_t>(i));
        if (m_data >= 0 && fds[2].fd == m_data && fds[2].revents != 0) onDataPacket();
        if (fds[1].fd >= 0 && (fds[1].revents & POLLIN)) {
            int fd = accept4(m_ctl, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) m_ctlClients.push_back({fd, std::string()});
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) m_hello.push_back(fd);
        }
        onTimers();
    }
    closeData();
    for (int fd : m_hello)
        close(fd);
    for (const CtlClient& c : m_ctlClients)
        close(c.fd);
    close(m_listen);
    unlink(m_opt.socketPath.c_str());
    if (m_ctl >= 0) {
        close(m_ctl);
        unlink(m_opt.controlPath.c_str());
    }
    keyLog("stopped");
    return 0;
}

}  // namespace

int runServer(Key& key, const ServerOptions& opt) {
    Server s(key, opt);
    return s.run();
}

int runControlClient(const std::string& path, const std::string& line, std::string& reply) {
    sockaddr_un sa;
    reply.clear();
    if (!makeAddr(path, sa)) return 2;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 2;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return 2;
    }
    std::string out = line + "\n";
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
        close(fd);
        return 2;
    }
    char c;
    ssize_t n;
    while ((n = recv(fd, &c, 1, 0)) == 1 && c != '\n')
        reply.push_back(c);
    close(fd);
    if (n < 0 || (n == 0 && reply.empty())) return 2;
    return reply.compare(0, 2, "OK") == 0 ? 0 : 1;
}

}  // namespace vkey
