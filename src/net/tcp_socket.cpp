#include "net/tcp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/debug_log.h"

namespace {

// make_tcp_server gives up after this many failed binds, one second apart.
constexpr int kMaxBindFailures = 11;
constexpr int kOn = 1;

sockaddr* as_sockaddr(sockaddr_in* a) { return reinterpret_cast<sockaddr*>(a); }

#define LOG_ERRNO() \
    dbg_printf("%s:%d Error %d:%s\n\r", __func__, __LINE__, errno, std::strerror(errno))

// Closes a socket whose set-up failed; errno was already reported.
int close_failed(int sock) {
    close(sock);
    return -1;
}

}  // namespace

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

int make_tcp_server(std::uint16_t port) {
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        LOG_ERRNO();
        return -1;
    }
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &kOn, sizeof kOn) != 0) {
        LOG_ERRNO();
        return close_failed(sock);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
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
