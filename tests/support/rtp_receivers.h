// Test support for the RTP output: a real shared configuration block created by the test
// (key 1005, inside the test's private IPC namespace) and loopback UDP receivers that play
// the RTP and RTCP receivers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Creates the block (IPC_CREAT) with sensible RTP defaults, attaches it through the
// service's own shm_attach, and sets the SSRC seeds. False when any step fails.
bool create_test_shm_block(std::uint8_t seed_hi = 0x12, std::uint8_t seed_mid = 0x34,
                           std::uint8_t seed_lo = 0x56);

// The common start of a receiver-table test: private IPC and network namespaces, a block
// with SSRC seeds 12 34 56, the log on stdout, an empty table. False when a step fails.
bool start_receiver_table_test();

// A UDP socket bound to 127.0.0.1 on a port the kernel chose (or the given one).
class LoopbackReceiver {
  public:
    explicit LoopbackReceiver(std::uint16_t port = 0);
    ~LoopbackReceiver();
    LoopbackReceiver(const LoopbackReceiver&) = delete;
    LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

    bool ok() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }
    // One datagram, waiting at most timeout_ms; empty when none came.
    std::vector<std::uint8_t> receive(int timeout_ms = 2000);
    // Whether a datagram is waiting right now (not consumed).
    bool pending();

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A loopback port with nobody listening: bound once to learn a free port, then closed.
std::uint16_t unused_loopback_port();

// Waits (at most timeout_ms) until the connected socket has a pending error, such as the
// ICMP port unreachable that follows a datagram to a port nobody listens on. The error is
// left pending.
bool wait_socket_error(int fd, int timeout_ms = 2000);

std::uint16_t be16_at(const std::vector<std::uint8_t>& d, std::size_t at);
std::uint32_t be32_at(const std::vector<std::uint8_t>& d, std::size_t at);

// Where a connected socket sends to, as "a.b.c.d:port"; "none" when not connected.
std::string peer_of(int fd);

// Lines of a captured text, each with its newline removed.
std::vector<std::string> split_lines(const std::string& text);
