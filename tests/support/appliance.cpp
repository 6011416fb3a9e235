#include "support/appliance.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The emulator's words, then the program and its arguments.
std::vector<std::string> command_line(const std::string& path,
                                      const std::vector<std::string>& args) {
    std::vector<std::string> argv = split_words(AUDIO_EMULATOR);
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Starts argv with stdin from /dev/null and stdout + stderr on `out_fd`; -1 on failure.
pid_t spawn(const std::vector<std::string>& argv, int out_fd) {
    std::vector<char*> cargv;
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", cargv[0], std::strerror(rc));
        return -1;
    }
    return pid;
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// Reaps `pid` if it ends before `deadline`.
std::optional<int> reap_until(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int raw = 0;
        const pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid) return decode_status(raw);
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

sockaddr_in ipv4(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

std::uint16_t bound_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

}  // namespace

std::string service_path(const std::string& name) {
    return std::string(AUDIO_BIN_DIR) + "/" + name;
}
std::string standin_path(const std::string& name) {
    return std::string(AUDIO_SIM_DIR) + "/" + name;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
}

bool contains_regex(const std::string& text, const std::string& regex) {
    return std::regex_search(text, std::regex(regex));
}

bool wait_for_file_regex(const std::string& path, const std::string& regex,
                         std::chrono::milliseconds timeout) {
    const std::regex re(regex);
    return wait_until([&] { return std::regex_search(file_text(path), re); }, timeout);
}

RunResult run_program(const std::string& path, const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout) {
    RunResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.output = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    const pid_t pid = spawn(command_line(path, args), fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        result.output = "cannot start " + path;
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    char buf[4096];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;  // time is up
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // every writer closed its end
        result.output.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (std::optional<int> st = reap_until(pid, deadline)) {
        result.status = *st;
        return result;
    }
    ::kill(pid, SIGKILL);
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    result.timed_out = true;
    result.status = -1;
    return result;
}

RunResult run_standin(const std::string& name, const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout) {
    return run_program(standin_path(name), args, timeout);
}

RunResult sim_mgmt(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    return run_standin("sim_mgmt", args, timeout);
}

Process::~Process() { kill(); }

bool Process::start(const std::string& path, const std::vector<std::string>& args) {
    if (pid_ > 0) return false;
    static int counter = 0;
    const std::size_t slash = path.rfind('/');
    output_path_ = "/tmp/" + path.substr(slash == std::string::npos ? 0 : slash + 1) + "." +
                   std::to_string(getpid()) + "." + std::to_string(++counter) + ".out";
    const int fd = open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s\n", output_path_.c_str(), std::strerror(errno));
        return false;
    }
    pid_ = spawn(command_line(path, args), fd);
    close(fd);
    status_.reset();
    return pid_ > 0;
}

bool Process::running() {
    if (pid_ <= 0 || status_) return false;
    if (std::optional<int> st = reap_until(pid_, Clock::now())) status_ = st;
    return !status_;
}

std::string Process::output() const { return file_text(output_path_); }

bool Process::wait_output(const std::string& regex, std::chrono::milliseconds timeout) const {
    return wait_for_file_regex(output_path_, regex, timeout);
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    if (!status_) status_ = reap_until(pid_, Clock::now() + timeout);
    return status_;
}

std::optional<int> Process::kill() {
    if (pid_ <= 0) return std::nullopt;
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int raw = 0;
        pid_t r;
        while ((r = waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
        }
        status_ = r == pid_ ? decode_status(raw) : -1;
    }
    return status_;
}

bool start_service(Process& service, const std::string& name) {
    return service.start(service_path(name));
}

ShmConfig* attach_block() {
    if (shmget(kShmKey, 0, 0) == -1) return nullptr;  // shm_attach would log the failure
    return shm_attach() ? shm_config : nullptr;
}

UdpReceiver::UdpReceiver(std::uint16_t port, const char* ip) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    const int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    const sockaddr_in a = ipv4(ip, port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "bind %s:%u: %s\n", ip, port, std::strerror(errno));
        close(fd_);
        fd_ = -1;
        return;
    }
    port_ = bound_port(fd_);
}

UdpReceiver::~UdpReceiver() {
    if (fd_ >= 0) close(fd_);
}

std::optional<Datagram> UdpReceiver::receive(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        Datagram d;
        d.bytes.resize(65536);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd_, d.bytes.data(), d.bytes.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return std::nullopt;
        }
        d.bytes.resize(static_cast<std::size_t>(n));
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        d.from_ip = text;
        d.from_port = ntohs(from.sin_port);
        return d;
    }
}

std::vector<Datagram> UdpReceiver::receive_for(std::chrono::milliseconds window,
                                               std::size_t max_count) {
    std::vector<Datagram> all;
    const auto deadline = Clock::now() + window;
    while (all.size() < max_count) {
        std::optional<Datagram> d = receive(std::chrono::milliseconds(remaining_ms(deadline)));
        if (!d) break;
        all.push_back(std::move(*d));
    }
    return all;
}

void UdpReceiver::drain() {
    for (int i = 0; i < 100000 && receive(0ms); ++i) {
    }
}

UdpSender::UdpSender(std::uint16_t port, const char* ip) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    const sockaddr_in a = ipv4(ip, port);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    local_port_ = bound_port(fd_);
}

UdpSender::~UdpSender() {
    if (fd_ >= 0) close(fd_);
}

bool UdpSender::send(const void* data, std::size_t size) {
    if (fd_ < 0) return false;
    // A connected socket reports a port-unreachable answer to an earlier datagram (sent
    // before anyone listened) on the next send; that error is consumed, so try again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::send(fd_, data, size, 0) == static_cast<ssize_t>(size)) return true;
        if (errno != ECONNREFUSED) return false;
    }
    return false;
}

bool send_udp(std::uint16_t port, const void* data, std::size_t size) {
    UdpSender s(port);
    return s.send(data, size);
}
