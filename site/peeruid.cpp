// Who is at the other end of a loopback connection: the kernel's socket
// table names the uid owning the client's socket. Asked over the socket
// diagnostics netlink (one exact lookup), else read from /proc/net/tcp.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "site/internal.h"

namespace {

long byNetlink(uint32_t peerAddr, uint16_t peerPort, uint32_t ourAddr, uint16_t ourPort) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask;
    memset(&ask, 0, sizeof ask);
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = AF_INET;
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0u;
    // The client's socket: its source is the peer we see, its destination us.
    ask.request.id.idiag_sport = htons(peerPort);
    ask.request.id.idiag_dport = htons(ourPort);
    ask.request.id.idiag_src[0] = htonl(peerAddr);
    ask.request.id.idiag_dst[0] = htonl(ourAddr);
    ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    long uid = -1;
    if (sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof ask)) {
        alignas(nlmsghdr) char answer[1024];
        const ssize_t n = recv(fd, answer, sizeof answer, 0);
        const auto* h = reinterpret_cast<const nlmsghdr*>(answer);
        if (n >= static_cast<ssize_t>(sizeof(nlmsghdr)) && NLMSG_OK(h, static_cast<unsigned>(n)) &&
            h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (m->id.idiag_sport == htons(peerPort) && m->id.idiag_dport == htons(ourPort))
                uid = static_cast<long>(m->idiag_uid);
        }
    }
    close(fd);
    return uid;
}

// Lines of /proc/net/tcp: "sl local rem st tx:rx tr:when retrnsmt uid ...",
// addresses as the hex of the 32-bit value in host order.
long byProcTable(uint32_t peerAddr, uint16_t peerPort, uint32_t ourAddr, uint16_t ourPort) {
    FILE* f = fopen("/proc/net/tcp", "re");
    if (!f) return -1;
    char line[512];
    long uid = -1;
    if (fgets(line, sizeof line, f)) {  // the heading
        while (uid < 0 && fgets(line, sizeof line, f)) {
            unsigned local = 0, localPort = 0, remote = 0, remotePort = 0, state = 0;
            unsigned long owner = 0;
            if (sscanf(line, " %*u: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %lu", &local,
                       &localPort, &remote, &remotePort, &state, &owner) != 6)
                continue;
            if (ntohl(local) == peerAddr && localPort == peerPort && ntohl(remote) == ourAddr &&
                remotePort == ourPort)
                uid = static_cast<long>(owner);
        }
    }
    fclose(f);
    return uid;
}

}  // namespace

long loopbackPeerUid(uint32_t peerAddr, uint16_t peerPort, uint32_t ourAddr, uint16_t ourPort) {
    const long uid = byNetlink(peerAddr, peerPort, ourAddr, ourPort);
    return uid >= 0 ? uid : byProcTable(peerAddr, peerPort, ourAddr, ourPort);
}
