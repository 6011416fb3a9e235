// What the unit tests share. Every unit test case runs inside its own appliance-sandbox
// (see tests/CMakeLists.txt), so key 1005, the mailboxes, the ports, /tmp, /dev/mem and
// the processes found by name are the case's own: a test creates what it needs freely.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "mgmt_block.h"

using Bytes = std::vector<std::uint8_t>;

// What `call` writes to the debug log, which goes to the screen for the test.
template <typename F>
std::string log_of(F call) {
    dbg_to_screen();
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}

// The block as the management process makes it (key 1005, its defaults, then the
// assignments "field=value"), attached as the service attaches it: shm_config is set.
inline ShmConfig* make_block(std::initializer_list<const char*> assignments = {},
                             std::size_t size = kShmStandardSize) {
    const std::string error = mgmt::create_block(size);
    EXPECT_EQ(error, "");
    for (const char* a : assignments) EXPECT_EQ(mgmt::set_field(a), "") << a;
    return error.empty() ? shm_config : nullptr;
}

// A UDP socket bound to 127.0.0.1 on a port the kernel chose.
class Loopback {
  public:
    Loopback() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
        port_ = ntohs(a.sin_port);
    }
    ~Loopback() { close(fd_); }
    Loopback(const Loopback&) = delete;
    Loopback& operator=(const Loopback&) = delete;

    std::uint16_t port() const { return port_; }
    // The next datagram, or nothing when none comes within timeout_ms.
    Bytes receive(int timeout_ms = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return {};
        Bytes buf(65536);
        const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

inline std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
