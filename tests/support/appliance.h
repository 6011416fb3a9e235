// End-to-end harness: what a scenario needs to drive the real service on a simulated
// appliance. Every tests/e2e/*_test.cpp test case already runs inside its own fresh
// appliance-sandbox (the e2e main does that), so /tmp, /dev/mem, key 1005 and every port
// are private to the case. Programs are started through the emulator of the build
// (qemu-ppc for the appliance build), with every wait bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/shm_config.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;

// Built programs: the service (audio_rtsp, audio_rtsp_to_screen) and the stand-ins.
std::string service_path(const std::string& name);  // AUDIO_BIN_DIR/name
std::string standin_path(const std::string& name);  // AUDIO_SIM_DIR/name

// The service's log file in file mode.
inline const char* const kServiceLog = "/tmp/.print_audio_rtsp";

// Polls `done` every `step` until it holds or `timeout` has passed; true when it held.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = 10ms);

// Whole content of a file, "" when it cannot be read.
inline std::string file_text(const std::string& path) { return read_file(path); }
// True when `regex` (ECMAScript) matches somewhere in the text.
bool contains_regex(const std::string& text, const std::string& regex);
// Waits until the file holds a match of `regex`.
bool wait_for_file_regex(const std::string& path, const std::string& regex,
                         std::chrono::milliseconds timeout);

// Result of a program run to its end.
struct RunResult {
    int status = -1;         // exit status; 128 + signal when killed by a signal; -1 on time-out
    bool timed_out = false;  // it was killed (SIGKILL) when the time ran out
    std::string output;      // stdout and stderr, interleaved as written
};

// Runs a program (through the emulator) with stdin from /dev/null, captures its output,
// and kills it if it has not ended within `timeout`.
RunResult run_program(const std::string& path, const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = 20s);
// run_program on AUDIO_SIM_DIR/name.
RunResult run_standin(const std::string& name, const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = 20s);
// The management stand-in: run_standin("sim_mgmt", args).
RunResult sim_mgmt(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 20s);

// One started program (the service, or a stand-in that runs for a while). Output goes to
// a file under /tmp; the destructor kills the process (SIGKILL) and reaps it.
class Process {
  public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts `path` with `args`; false (with the reason on stderr) when it cannot. A
    // non-empty `name` becomes argv[0], by which pidof finds the process also when it
    // runs under the emulator.
    bool start(const std::string& path, const std::vector<std::string>& args = {},
               const std::string& name = "");
    pid_t pid() const { return pid_; }
    bool running();              // started and not yet ended
    std::string output() const;  // stdout + stderr so far
    const std::string& output_path() const { return output_path_; }
    bool wait_output(const std::string& regex, std::chrono::milliseconds timeout) const;
    // The exit status (128 + signal when killed by one), or nothing if it still runs
    // after `timeout`.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    // SIGKILL by pid, then reap; returns the status as wait_exit does.
    std::optional<int> kill();

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string output_path_;
};

// Starts the service under `name` ("audio_rtsp" logs to /tmp/.print_audio_rtsp,
// "audio_rtsp_to_screen" to its stdout, which `service` captures).
bool start_service(Process& service, const std::string& name = "audio_rtsp");

// The block (key 1005), attached read-write in this process through shm_attach, so that
// shm_config, shm_read_text and the management helpers of sim/mgmt_block.h (for example
// mgmt::issue_command, the real handshake without starting sim_mgmt) work here too;
// nullptr when there is no block. Read and write it with shm_load / shm_store: the
// service changes it at any moment.
ShmConfig* attach_block();

// `sim_mgmt create` with `assignments` on top of the defaults, `sim_mgmt fpga <input>`
// unless `input` is null, then attach_block(); "" on success, else what went wrong.
std::string set_up_block(const std::vector<std::string>& assignments = {},
                         const char* input = "adc");
// One command through the block's mailbox with the management process's own handshake,
// waiting at most 10 s until it is served; "" or the error. The receiver fields serve
// codes 1 to 3.
std::string serve_command(std::uint32_t code, const std::string& ip = "",
                          std::uint16_t rtp_port = 0, std::uint16_t rtcp_port = 0,
                          const std::string& tag = "");

// One received datagram.
struct Datagram {
    std::vector<std::uint8_t> bytes;
};

// A UDP socket bound to ip:port (port 0 = any free port, see port()), with a large
// receive buffer so that bursts are not dropped.
class UdpReceiver {
  public:
    explicit UdpReceiver(std::uint16_t port = 0, const char* ip = "127.0.0.1");
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }
    // One datagram, or nothing if none arrives within `timeout`.
    std::optional<Datagram> receive(std::chrono::milliseconds timeout);
    // Every datagram that arrives within `window`, at most `max_count`.
    std::vector<Datagram> receive_for(std::chrono::milliseconds window,
                                      std::size_t max_count = 100000);
    // Throws away whatever is queued now.
    void drain();

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// One datagram to 127.0.0.1:port (the service's feed is 18005) from a fresh socket.
bool send_udp(std::uint16_t port, const void* data, std::size_t size);
