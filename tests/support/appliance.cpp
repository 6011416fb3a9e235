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

#include "mgmt_block.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Starts the emulator's words, then the program and its arguments, with stdin from
// /dev/null and stdout + stderr on `out_fd`; argv[0] is `name` unless it is empty. -1 on
// failure.
pid_t spawn(const std::string& path, const std::vector<std::string>& args, int out_fd,
            const std::string& name) {
    std::vector<std::string> argv;
    std::istringstream emulator(AUDIO_EMULATOR);
    for (std::string w; emulator >> w;) argv.push_back(w);
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string file = argv[0];
    if (!name.empty()) argv[0] = name;
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, file.c_str(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0) return pid;
    std::fprintf(stderr, "cannot start %s: %s\n", file.c_str(), std::strerror(rc));
    return -1;
}

// Reaps `pid` if it ends before `deadline`: its exit status, 128 + signal, or -1.
std::optional<int> reap_until(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int raw = 0;
        const pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid) return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// A UDP socket, bound to (bind) or connected to ip:port; -1 on failure. `port` becomes the
// local port.
int udp_socket(const char* ip, std::uint16_t& port, bool bind_it) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    socklen_t len = sizeof a;
    if (fd < 0 || (bind_it ? bind(fd, sa, len) : connect(fd, sa, len)) != 0 ||
        getsockname(fd, sa, &len) != 0) {
        std::fprintf(stderr, "udp %s:%u: %s\n", ip, port, std::strerror(errno));
        if (fd >= 0) close(fd);
        port = 0;
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

std::string service_path(const std::string& name) { return AUDIO_BIN_DIR "/" + name; }
std::string standin_path(const std::string& name) { return AUDIO_SIM_DIR "/" + name; }

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
    Process program;
    if (!program.start(path, args)) {
        result.output = "cannot start " + path;
        return result;
    }
    const std::optional<int> status = program.wait_exit(timeout);
    result.timed_out = !status;
    if (result.timed_out) program.kill();
    result.status = status.value_or(-1);
    result.output = program.output();
    unlink(program.output_path().c_str());
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

bool Process::start(const std::string& path, const std::vector<std::string>& args,
                    const std::string& name) {
    if (pid_ > 0) return false;
    static int counter = 0;
    output_path_ = "/tmp/" + path.substr(path.rfind('/') + 1) + "." + std::to_string(getpid()) +
                   "." + std::to_string(++counter) + ".out";
    const int fd = open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s\n", output_path_.c_str(), std::strerror(errno));
        return false;
    }
    pid_ = spawn(path, args, fd, name);
    close(fd);
    status_.reset();
    return pid_ > 0;
}

bool Process::running() { return pid_ > 0 && !wait_exit(0ms); }

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
        status_ = reap_until(pid_, Clock::now() + 60s).value_or(-1);
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

std::string set_up_block(const std::vector<std::string>& assignments, const char* input) {
    std::vector<std::string> create = {"create"};
    create.insert(create.end(), assignments.begin(), assignments.end());
    if (const RunResult r = sim_mgmt(create); r.status != 0) return "sim_mgmt create: " + r.output;
    if (input == nullptr) return attach_block() ? "" : "no block";
    if (const RunResult r = sim_mgmt({"fpga", input}); r.status != 0)
        return "sim_mgmt fpga: " + r.output;
    return attach_block() ? "" : "no block";
}

std::string serve_command(std::uint32_t code, const std::string& ip, std::uint16_t rtp_port,
                          std::uint16_t rtcp_port, const std::string& tag) {
    if (!attach_block()) return "no block";
    return mgmt::issue_command({code, ip, rtp_port, rtcp_port, tag, 10000, true});
}

UdpReceiver::UdpReceiver(std::uint16_t port, const char* ip) : port_(port) {
    fd_ = udp_socket(ip, port_, true);
    const int big = 4 << 20;
    if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
}

UdpReceiver::~UdpReceiver() {
    if (fd_ >= 0) close(fd_);
}

std::optional<Datagram> UdpReceiver::receive(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (int tries = 0; fd_ >= 0 && tries < 1000; ++tries) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        Datagram d;
        d.bytes.resize(65536);
        const ssize_t n = recv(fd_, d.bytes.data(), d.bytes.size(), 0);
        if (n < 0) continue;  // EINTR, or EAGAIN after a spurious wake-up
        d.bytes.resize(static_cast<std::size_t>(n));
        return d;
    }
    return std::nullopt;
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

bool send_udp(std::uint16_t port, const void* data, std::size_t size) {
    const int fd = udp_socket("127.0.0.1", port, false);  // connected: port becomes the local one
    const bool sent = fd >= 0 && ::send(fd, data, size, 0) == static_cast<ssize_t>(size);
    if (fd >= 0) close(fd);
    return sent;
}
