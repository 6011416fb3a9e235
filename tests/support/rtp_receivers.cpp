#include "support/rtp_receivers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "rtp/client_table.h"
#include "support/isolation.h"

bool create_test_shm_block(std::uint8_t seed_hi, std::uint8_t seed_mid, std::uint8_t seed_lo) {
    const int id = shmget(kShmKey, kShmStandardSize, IPC_CREAT | 0600);
    if (id < 0 || !shm_attach()) return false;
    ShmConfig& c = *shm_config;
    c.ssrc_seed_hi = seed_hi;
    c.ssrc_seed_mid = seed_mid;
    c.ssrc_seed_lo = seed_lo;
    c.multicast_ttl = 4;
    c.mtu = 1500;
    c.audio_output_mode = 1;
    c.audio_enable = 1;
    c.audio_channel_mode = 1;
    return true;
}

LoopbackReceiver::LoopbackReceiver(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
    port_ = ntohs(a.sin_port);
}

LoopbackReceiver::~LoopbackReceiver() {
    if (fd_ >= 0) close(fd_);
}

std::vector<std::uint8_t> LoopbackReceiver::receive(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return {};
    std::vector<std::uint8_t> buf(65536);
    const ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
}

bool LoopbackReceiver::pending() {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

std::uint16_t unused_loopback_port() {
    LoopbackReceiver probe;
    return probe.port();
}

bool wait_socket_error(int fd, int timeout_ms) {
    pollfd p{fd, 0, 0};  // POLLERR is reported whatever the requested events
    return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLERR);
}

std::uint16_t be16_at(const std::vector<std::uint8_t>& d, std::size_t at) {
    return static_cast<std::uint16_t>(d.at(at) << 8 | d.at(at + 1));
}

std::uint32_t be32_at(const std::vector<std::uint8_t>& d, std::size_t at) {
    return static_cast<std::uint32_t>(be16_at(d, at)) << 16 | be16_at(d, at + 2);
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string peer_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "none";
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool start_receiver_table_test() {
    if (!enter_private_ipc_and_net() || !create_test_shm_block(0x12, 0x34, 0x56)) return false;
    dbg_to_screen();
    Init_ARClist();
    return true;
}
