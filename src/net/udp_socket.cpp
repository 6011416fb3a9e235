#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/debug_log.h"
#include "util/text_utils.h"

namespace {

// recvFromPeer drains until its shared 1 ms budget is spent; this caps a flood that
// would otherwise keep it reading for ever.
constexpr int kMaxDrainRounds = 4096;

const char* or_null(const char* text) { return text ? text : "null"; }
bool non_empty(const char* text) { return text && text[0] != '\0'; }

sockaddr* as_sockaddr(sockaddr_in* a) { return reinterpret_cast<sockaddr*>(a); }

// Closes a socket whose set-up failed; errno was already reported.
int close_failed(int sock) {
    close(sock);
    return -1;
}

int new_udp_socket() {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        dbg_perror("socket");
        return -1;
    }
    // Shell commands run by the service must not inherit its sockets.
    fcntl(sock, F_SETFD, FD_CLOEXEC);
    return sock;
}

bool set_int_option(int sock, int level, int name, int value) {
    return setsockopt(sock, level, name, &value, sizeof value) == 0;
}

bool apply_receive_options(int sock) {
    if (!set_int_option(sock, SOL_SOCKET, SO_RCVBUF, kSockBufferBytes)) {
        dbg_perror("setsockopt(SO_RCVBUF) failed");
        return false;
    }
    const timeval timeout{kSockRecvTimeoutSec, 0};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        dbg_perror("setsockopt(SO_RCVTIMEO) failed");
        return false;
    }
    return true;
}

bool apply_send_options(int sock, const char* mcast_if_addr, const char* remote_addr,
                        std::uint16_t remote_port, sockaddr_in* out_remote, int mcast_ttl) {
    if (!set_int_option(sock, SOL_SOCKET, SO_SNDBUF, kSockBufferBytes)) {
        dbg_perror("setsockopt(SO_SNDBUF) failed");
        return false;
    }
    // Datagrams leave without the don't-fragment flag: receivers behind small-MTU links
    // still get the audio.
    if (!set_int_option(sock, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DONT)) {
        dbg_printf("setsockopt IP_DONTFRAG");
        return false;
    }
    if (non_empty(remote_addr) && isMulticastAddr(inet_addr(remote_addr))) {
        const unsigned char loop = 0;
        if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
            dbg_printf("setsockopt IP_MULTICAST_LOOP");
            return false;
        }
        if (!set_int_option(sock, IPPROTO_IP, IP_MULTICAST_TTL, mcast_ttl)) {
            dbg_printf("setsockopt IP_MULTICAST_TTL");
            return false;
        }
        if (non_empty(mcast_if_addr)) {
            in_addr outgoing{};
            outgoing.s_addr = inet_addr(mcast_if_addr);
            if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0) {
                const int err = errno;
                dbg_printf("fail to setsockopt IP_MULTICAST_IF\n");
                errno = err;
                dbg_perror("");
                return false;
            }
        }
    }
    if (remote_addr && out_remote) StrAddr2SockAddr(remote_addr, remote_port, out_remote);
    return true;
}

bool reuse_and_bind(int sock, const char* local_addr, std::uint16_t local_port) {
    if (!set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, 1)) {
        dbg_perror("Reusing ADDR failed");
        return false;
    }
    // A local address without a local port is deliberately not bound.
    if (local_port == 0) return true;
    sockaddr_in local{};
    StrAddr2SockAddr(local_addr, local_port, &local);
    if (bind(sock, as_sockaddr(&local), sizeof local) != 0) {
        dbg_perror("bind");
        return false;
    }
    return true;
}

}  // namespace

int sockTxOpen(const char* local_addr, std::uint16_t local_port, const char* mcast_if_addr,
               const char* remote_addr, std::uint16_t remote_port, int* out_sock,
               sockaddr_in* out_remote, int mcast_ttl) {
    DBG_TRACE();
    dbg_printf("MY-%s:%d at-%s from-%s:%d\n", or_null(local_addr), local_port,
               or_null(mcast_if_addr), or_null(remote_addr), remote_port);
    const int sock = new_udp_socket();
    if (sock < 0) return -1;
    if (remote_port != 0 &&
        !apply_send_options(sock, mcast_if_addr, remote_addr, remote_port, out_remote, mcast_ttl))
        return close_failed(sock);
    if (!reuse_and_bind(sock, local_addr, local_port)) return close_failed(sock);
    if (remote_addr && !sockConnect(sock, remote_addr, remote_port)) {
        DBG_TRACE_LINE();
        return close_failed(sock);
    }
    if (out_sock) *out_sock = sock;
    return sock;
}

int sockRxOpen(const char* local_addr, std::uint16_t local_port, const char* if_addr,
               const char* remote_addr, std::uint16_t remote_port, int* out_sock) {
    DBG_TRACE();
    dbg_printf("RX-%s:%d at-%s from-%s:%d\n", or_null(local_addr), local_port, or_null(if_addr),
               or_null(remote_addr), remote_port);
    const int sock = new_udp_socket();
    if (sock < 0) return -1;
    if (local_port != 0 && !apply_receive_options(sock)) return close_failed(sock);
    if (!reuse_and_bind(sock, local_addr, local_port)) return close_failed(sock);
    // A multicast source is neither connected nor joined: no group membership is taken.
    if (non_empty(remote_addr) && !isMulticastAddr(inet_addr(remote_addr)) &&
        !sockConnect(sock, remote_addr, remote_port)) {
        DBG_TRACE_LINE();
        return close_failed(sock);
    }
    if (out_sock) *out_sock = sock;
    return sock;
}

int sockTRxOpen(const char* local_addr, std::uint16_t local_port, const char* mcast_if_addr,
                const char* remote_addr, std::uint16_t remote_port, int* out_sock,
                sockaddr_in* out_remote, int mcast_ttl) {
    const int sock = new_udp_socket();
    if (sock < 0) return -1;
    if (local_port != 0 && !apply_receive_options(sock)) return close_failed(sock);
    if (remote_port != 0 &&
        !apply_send_options(sock, mcast_if_addr, remote_addr, remote_port, out_remote, mcast_ttl))
        return close_failed(sock);
    if (!reuse_and_bind(sock, local_addr, local_port)) return close_failed(sock);
    if (non_empty(remote_addr) && !sockConnect(sock, remote_addr, remote_port)) {
        DBG_TRACE_LINE();
        return close_failed(sock);
    }
    if (out_sock) *out_sock = sock;
    return sock;
}

int sockConnect(int sock, const char* addr, std::uint16_t port) {
    sockaddr_in remote{};
    StrAddr2SockAddr(addr, port, &remote);
    if (connect(sock, as_sockaddr(&remote), sizeof remote) != 0) {
        dbg_perror("connect");
        return 0;
    }
    return 1;
}

int sockMcastClose(int sock, const char* group_addr, const char* if_addr) {
    if (group_addr && isMulticastAddr(inet_addr(group_addr))) {
        ip_mreq request{};
        request.imr_multiaddr.s_addr = inet_addr(group_addr);
        if (non_empty(if_addr)) {
            request.imr_interface.s_addr = inet_addr(if_addr);
            dbg_printf("IP_DROP_MEMBERSHIP for multiaddr-%s interface-%s\n", group_addr, if_addr);
        } else {
            request.imr_interface.s_addr = htonl(INADDR_ANY);
            dbg_printf("IP_DROP_MEMBERSHIP for multiaddr-%s interface-INADDR_ANY\n", group_addr);
        }
        if (setsockopt(sock, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request) != 0) {
            dbg_perror("setsockopt");
            return -1;
        }
    }
    close(sock);
    return 0;
}

void sockClose(int sock) { close(sock); }

int StrAddr2SockAddr(const char* addr, std::uint16_t port, sockaddr_in* out) {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_addr.s_addr = non_empty(addr) ? inet_addr(addr) : htonl(INADDR_ANY);
    out->sin_port = htons(port);
    return 1;
}

int recv_data(int sock, void* buf, int len, sockaddr_in* from) {
    char chunk[kSockRecvChunkBytes];
    const auto want = static_cast<std::size_t>(std::clamp(len, 0, kSockRecvChunkBytes));
    sockaddr_in sender{};
    socklen_t sender_len = sizeof sender;
    const ssize_t got = recvfrom(sock, chunk, want, 0, as_sockaddr(&sender), &sender_len);
    if (got <= 0) {
        if (errno != EAGAIN && errno != ECONNREFUSED) dbg_perror("recvfrom");
        return static_cast<int>(got);
    }
    std::memcpy(buf, chunk, static_cast<std::size_t>(got));
    if (from) *from = sender;
    return static_cast<int>(got);
}

int recvFromPeer(int sock, void* buf, int len, std::uint32_t peer_addr_net) {
    if (sock < 0 || sock >= FD_SETSIZE) {
        errno = EBADF;
        dbg_perror("select");
        return -1;
    }
    const auto want = static_cast<std::size_t>(std::clamp(len, 0, kSockRecvChunkBytes));
    // One budget for all the waits: Linux's select counts the time-out down.
    timeval budget{0, 1000};
    int found = 0;
    for (int round = 0; round < kMaxDrainRounds; ++round) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(sock, &readable);
        const int ready = select(sock + 1, &readable, nullptr, nullptr, &budget);
        if (ready == 0) return found;
        if (ready < 0) {
            if (errno == EINTR) continue;
            dbg_perror("select");
            return -1;
        }
        char chunk[kSockRecvChunkBytes];
        sockaddr_in sender{};
        socklen_t sender_len = sizeof sender;
        const ssize_t got = recvfrom(sock, chunk, want, 0, as_sockaddr(&sender), &sender_len);
        if (got <= 0) {
            dbg_perror("recv");
            return -1;
        }
        if (sender.sin_addr.s_addr != peer_addr_net) continue;
        std::memcpy(buf, chunk, static_cast<std::size_t>(got));
        found = 1;
    }
    return found;
}
