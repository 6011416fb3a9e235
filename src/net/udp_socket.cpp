#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/debug_log.h"

namespace {

// recvFromPeer drains until its shared 1 ms budget is spent; this caps a flood that
// would otherwise keep it reading for ever.
constexpr int kMaxDrainRounds = 4096;
// make_tcp_server gives up after this many failed binds, one second apart.
constexpr int kMaxBindFailures = 11;

const char* or_null(const char* text) { return text ? text : "null"; }
bool non_empty(const char* text) { return text && text[0] != '\0'; }

// 0..35 for 0-9, a-z, A-Z; 99 for anything else.
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

sockaddr* as_sockaddr(sockaddr_in* a) { return reinterpret_cast<sockaddr*>(a); }

#define LOG_ERRNO() \
    dbg_printf("%s:%d Error %d:%s\n\r", __func__, __LINE__, errno, std::strerror(errno))

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

int StrAddr2IntAddr(const char* host, in_addr* out) {
    const hostent* entry = gethostbyname(host);
    if (!entry) {
        dbg_printf("%s:%d unknown host '%s'\n", __func__, __LINE__, host);
        return 0;
    }
    if (entry->h_length != 4) {
        dbg_printf("%s:%d h_length %d\n", __func__, __LINE__, entry->h_length);
        return 0;
    }
    std::memcpy(out, entry->h_addr_list[0], 4);
    return entry->h_addrtype;
}

int isMulticastAddr(std::uint32_t addr_net) {
    const std::uint32_t addr = ntohl(addr_net);
    return addr >= 0xE0000100u && addr <= 0xEFFFFFFFu ? 1 : 0;
}

int StrAddr2Octets(const char* text, std::uint8_t* octets) {
    if (!text || text[0] == '.' || text[0] == '\n') return 0;
    int dots = 0;
    std::size_t field = 0;  // index of the current octet's first character
    bool last_was_digit = false;
    for (std::size_t i = 0; text[i] != '\0' && text[i] != '\n'; ++i) {
        const char c = text[i];
        if (c == '.') {
            if (++dots > 3) return 0;
            field = i + 1;
            last_was_digit = false;
            continue;
        }
        if (c < '0' || c > '9') return 0;
        std::uint32_t value = 0;
        if (!strToU32(text + field, &value, 10) || value > 255) return 0;
        octets[dots] = static_cast<std::uint8_t>(value);
        last_was_digit = true;
    }
    return dots == 3 && last_was_digit && octets[0] != 0 ? 1 : 0;
}

int strToU32(const char* text, std::uint32_t* out, int base) {
    if (!text || base < 0 || base == 1 || base > 36) return 0;
    // strtoll converts something exactly when a digit of the base follows the optional
    // blanks and sign (a "0x" prefix starts with the digit 0). Decided here rather than
    // from its end pointer, which glibc leaves unset for a refused base.
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (digit_value(*p) >= (base == 0 ? 10 : base)) return 0;
    const long long value = std::strtoll(text, nullptr, base);
    *out = static_cast<std::uint32_t>(static_cast<unsigned long long>(value));
    return 1;
}

void strCopyN(char* dst, const char* src, std::size_t size) {
    if (size == 0) return;
    std::size_t n = 0;
    if (src)
        while (n + 1 < size && src[n] != '\0') ++n;
    if (n > 0) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

int make_tcp_server(std::uint16_t port) {
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        LOG_ERRNO();
        return -1;
    }
    if (!set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, 1)) {
        LOG_ERRNO();
        return close_failed(sock);
    }
    sockaddr_in local{};
    StrAddr2SockAddr(nullptr, port, &local);
    for (int failures = 1; bind(sock, as_sockaddr(&local), sizeof local) != 0; ++failures) {
        LOG_ERRNO();
        if (failures >= kMaxBindFailures) return close_failed(sock);
        sleep(1);
    }
    if (listen(sock, 1) != 0) {
        LOG_ERRNO();
        return close_failed(sock);
    }
    return sock;
}

int wait_tcp_client(int listen_sock, int* out_sock) {
    if (listen_sock < 0 || listen_sock >= FD_SETSIZE) {
        errno = EBADF;
        LOG_ERRNO();
        return -1;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listen_sock, &readable);
    timeval timeout{1, 0};
    const int ready = select(listen_sock + 1, &readable, nullptr, nullptr, &timeout);
    if (ready == 0) return -1;
    if (ready < 0) {
        if (errno != EINTR) LOG_ERRNO();
        return -1;
    }
    const int client = accept(listen_sock, nullptr, nullptr);
    if (client < 0) {
        dbg_perror("accept");
        return -1;
    }
    *out_sock = client;
    return 0;
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

int tcpConnectHost(const char* host, std::uint16_t port) {
    const hostent* entry = gethostbyname(host);
    if (!entry) {
        dbg_printf("unknown host '%s'\n\r", host);
        std::exit(1);
    }
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        dbg_perror("socket ");
        std::exit(1);
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    std::memcpy(&remote.sin_addr, entry->h_addr_list[0], 4);
    remote.sin_port = htons(port);
    if (connect(sock, as_sockaddr(&remote), sizeof remote) != 0) return close_failed(sock);
    return sock;
}
