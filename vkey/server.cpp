// Socket front end of the key: the virtual-port socket (hello, then 64-byte
// transfer units) and the line-oriented control socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "util/util.h"
#include "vkey/card.h"
#include "vkey/crypto_ossl.h"
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
    memcpy(unit, text.data(), text.size() < kUnit ? text.size() : kUnit);
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
    // starting "OK" or "ERR". New commands (touch, lift, faults) go here.
    struct CtlCommand {
        const char* name;
        std::string (Server::*run)(const std::vector<std::string>& args);
    };
    static const CtlCommand kCtlCommands[];

    std::string ctlStatus(const std::vector<std::string>&);
    std::string ctlUnplug(const std::vector<std::string>&);
    std::string ctlPlug(const std::vector<std::string>&);
    std::string control(const std::string& line);

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
    uint8_t m_frame[kMaxFrame + kUnit];
    size_t m_have = 0, m_need = 0;
    DataSink m_sink;
};

const Server::CtlCommand Server::kCtlCommands[] = {
    {"status", &Server::ctlStatus},
    {"unplug", &Server::ctlUnplug},
    {"plug", &Server::ctlPlug},
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
           " port=" + m_opt.portPath + " " + m_key.describe();
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
            m_have = m_need = 0;
        }
    } else {
        keyLog("unknown hello '%s', connection closed", hello.c_str());
        close(fd);
    }
}

void Server::closeData() {
    if (m_data >= 0) close(m_data);
    m_data = -1;
    m_have = m_need = 0;
}

void Server::sendFrame(const uint8_t* frame, size_t n) {
    for (size_t at = 0; at < n; at += kUnit) {
        uint8_t unit[kUnit] = {};
        memcpy(unit, frame + at, n - at < kUnit ? n - at : kUnit);
        if (send(m_data, unit, kUnit, MSG_NOSIGNAL) != static_cast<ssize_t>(kUnit)) {
            keyLog("reply not sent (%s); connection closed", strerror(errno));
            closeData();
            return;
        }
    }
}

void Server::onDataPacket() {
    uint8_t unit[kUnit];
    ssize_t n = recv(m_data, unit, sizeof unit, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        closeData();  // the host went away; the card keeps its session
        return;
    }
    if (static_cast<size_t>(n) != kUnit) {
        keyLog("dropped packet of %zd bytes (transfer units are %zu)", n, kUnit);
        return;
    }
    if (m_have == 0) {
        size_t total = frameSizeFromHead(unit, kUnit);
        if (total == 0) {
            keyLog("dropped packet: no frame head or length beyond %zu", kMaxPayload);
            return;
        }
        m_need = (total + kUnit - 1) / kUnit * kUnit;
    }
    memcpy(m_frame + m_have, unit, kUnit);
    m_have += kUnit;
    if (m_have < m_need) return;
    m_key.receive(m_frame, m_have, m_sink);
    wipe(m_frame, m_have);  // requests may carry PINs or key pairs
    m_have = m_need = 0;
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

    while (!g_stop) {
        std::vector<pollfd> fds;
        fds.push_back({m_listen, POLLIN, 0});
        fds.push_back({m_ctl, POLLIN, 0});
        fds.push_back({m_data, POLLIN, 0});
        for (int fd : m_hello)
            fds.push_back({fd, POLLIN, 0});
        for (const CtlClient& c : m_ctlClients)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            keyLog("poll: %s", strerror(errno));
            break;
        }
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
            if (m_ctlClients[i].fd < 0) m_ctlClients.erase(m_ctlClients.begin() + i);
        if (m_data >= 0 && fds[2].fd == m_data && fds[2].revents != 0) onDataPacket();
        if (fds[1].fd >= 0 && (fds[1].revents & POLLIN)) {
            int fd = accept4(m_ctl, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) m_ctlClients.push_back({fd, std::string()});
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) m_hello.push_back(fd);
        }
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
