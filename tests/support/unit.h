// What the unit tests share. Every unit test case runs inside its own appliance-sandbox
// (see tests/CMakeLists.txt), so key 1005, the mailboxes, the ports, /tmp, /dev/mem and
// the processes found by name are the case's own: a test creates what it needs freely.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// True under a user-mode emulator (the appliance build, qemu-ppc): the kernel underneath
// is the host's, with the host's byte order in /proc.
inline constexpr bool kUnderEmulator = sizeof(AUDIO_EMULATOR) > 1;

// Runs a shell command; true when it exits with status 0.
inline bool run_shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

// Everything a shell command prints on standard output.
inline std::string shell_output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buf[512];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
        pclose(pipe);
    }
    return out;
}

// Where a connected socket sends to, "a.b.c.d:port"; "none" when it is not connected.
inline std::string peer_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "none";
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// A real process named `name` for pidof (a link of that name in dir to /bin/sleep), started
// to sleep `seconds`; returns once the program has replaced the child, or -1.
inline pid_t start_named_process(const std::string& dir, const std::string& name,
                                 int seconds = 60) {
    const std::string path = dir + "/" + name, duration = std::to_string(seconds);
    int ready[2];
    if ((symlink("/bin/sleep", path.c_str()) != 0 && errno != EEXIST) || pipe2(ready, O_CLOEXEC))
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        execl(path.c_str(), name.c_str(), duration.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);  // the child's copy closes at its exec: end of file then
    char byte;
    while (pid > 0 && read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    return pid;
}

// The child's wait status once it has ended, or -1 when it still runs after timeout_ms.
inline int wait_for_exit(pid_t pid, int timeout_ms = 5000) {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        usleep(10000);
    }
    return -1;
}

inline bool killed_by_sigkill(int status) {
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}
