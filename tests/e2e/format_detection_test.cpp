// Audio format detection end to end, in a fresh appliance-sandbox per case: start-up
// without /dev/mem, and a format confirmed through commands 4 that rewrites the SDP line,
// terminates the RTSP server stand-ins and lands in the block's detected-format fields.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/appliance.h"

namespace {

constexpr const char* kSdpLine = "/tmp/audio_auxSDPLine";

void create_block(const std::vector<std::string>& assignments = {}) {
    std::vector<std::string> args = {"create"};
    args.insert(args.end(), assignments.begin(), assignments.end());
    const RunResult r = sim_mgmt(args);
    ASSERT_EQ(r.status, 0) << r.output;
}

void command(std::uint32_t code) {
    const RunResult r = sim_mgmt({"command", std::to_string(code), "--timeout-ms", "10000"});
    ASSERT_EQ(r.status, 0) << r.output;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string find_in_path(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return program;
}

// An RTSP server stand-in that the service can find by its name: the process's own
// argv[0] is the name, also in the appliance build, where a link of that name to the
// emulator runs the stand-in (the emulator does not care what it is called).
class RtspStandin {
  public:
    explicit RtspStandin(const std::string& name) : name_(name) {
        mkdir("/tmp/bin", 0755);
        const std::vector<std::string> emulator = words(AUDIO_EMULATOR);
        const std::string link = "/tmp/bin/" + name;
        const std::string target =
            emulator.empty() ? standin_path(name) : find_in_path(emulator[0]);
        if (symlink(target.c_str(), link.c_str()) != 0 && errno != EEXIST) return;
        std::vector<std::string> args = {name};
        if (!emulator.empty()) {
            args.insert(args.end(), emulator.begin() + 1, emulator.end());
            args.push_back(standin_path(name));
        }
        args.insert(args.end(), {"--lifetime", "120"});
        output_ = "/tmp/" + name + ".out";
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execv(link.c_str(), argv.data());
            _exit(127);
        }
        close(ready[1]);
        char byte;
        (void)!read(ready[0], &byte, 1);  // end of file once the program runs
        close(ready[0]);
    }
    ~RtspStandin() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    std::string output() const { return file_text(output_); }
    // The wait status once it has ended within the time, else nothing.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout) {
        wait_until(
            [&] {
                int st = 0;
                if (waitpid(pid_, &st, WNOHANG) == pid_) status_ = st;
                return status_.has_value();
            },
            timeout);
        return status_;
    }

  private:
    std::string name_;
    std::string output_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct Format {
    std::uint32_t source, bits, codec, channels, rate;
    bool operator==(const Format&) const = default;
};
Format detected(const ShmConfig* b) {
    return {shm_load(b->cur_audio_source), shm_load(b->cur_audio_bits),
            shm_load(b->cur_audio_codec), shm_load(b->cur_audio_channels),
            shm_load(b->cur_audio_rate)};
}

}  // namespace

TEST(FormatDetection, MissingDevMemEndsStartUpWithStatusZero) {
    // Only the sandbox's register file may go: never a real device.
    struct stat st {};
    ASSERT_NE(std::getenv("AUDIO_E2E_INSIDE_SANDBOX"), nullptr);
    ASSERT_EQ(stat("/dev/mem", &st), 0);
    ASSERT_TRUE(S_ISREG(st.st_mode)) << "/dev/mem is not the sandbox's register file";
    ASSERT_EQ(unlink("/dev/mem"), 0);
    create_block();

    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_EQ(service.wait_exit(20s), std::optional<int>(0));
    EXPECT_EQ(service.output(), "Error: /dev/mem does not exist\n");
}

TEST(FormatDetection, ConfirmedFormatRewritesSdpLineAndStopsRtspServers) {
    create_block({"board_type=256", "audio_channel_mode=1", "audio_codec=1", "audio_rate_mode=0"});
    ASSERT_EQ(sim_mgmt({"fpga", "adc"}).status, 0);
    RtspStandin server("rtspServer");
    RtspStandin server_m("rtspServerM");
    ASSERT_GT(server.pid(), 0);
    ASSERT_GT(server_m.pid(), 0);
    ASSERT_TRUE(
        wait_until([&] { return server.output().find("no SDP line") != std::string::npos; }, 20s))
        << server.output();

    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ShmConfig* block = attach_block();
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 3; ++i) command(4);

    EXPECT_TRUE(wait_until([] { return file_text(kSdpLine) == "a=rtpmap:98 L16/48000/2\n"; }, 10s))
        << file_text(kSdpLine);
    const std::optional<int> ended = server.wait_exit(10s);
    ASSERT_TRUE(ended.has_value());
    EXPECT_TRUE(WIFSIGNALED(*ended) && WTERMSIG(*ended) == SIGKILL);
    const std::optional<int> ended_m = server_m.wait_exit(10s);
    ASSERT_TRUE(ended_m.has_value());
    EXPECT_TRUE(WIFSIGNALED(*ended_m) && WTERMSIG(*ended_m) == SIGKILL);
    EXPECT_TRUE(
        service.wait_output(R"(\[Fix Audio\] Unknown 0 0 Hz Ch-0 => ADC-I2S 1 48000 Hz Ch-2\n)"
                            "rtspServer task \\[" +
                                std::to_string(server.pid()) +
                                "\\] killed\n"
                                "rtspServerM task \\[" +
                                std::to_string(server_m.pid()) + "\\] killed\n",
                            5s))
        << service.output();
    EXPECT_EQ(detected(block), (Format{3, 16, 1, 2, 48000}));

    // A new stand-in reads the line the service left for it.
    RtspStandin restarted("rtspServer");
    EXPECT_TRUE(wait_until(
        [&] { return restarted.output() == "rtspServer: SDP line: a=rtpmap:98 L16/48000/2\n"; },
        20s))
        << restarted.output();

    // Audio off: once confirmed, the line is removed.
    ASSERT_EQ(sim_mgmt({"set", "audio_channel_mode=3"}).status, 0);
    for (int i = 0; i < 3; ++i) command(4);
    EXPECT_TRUE(wait_until([] { return access(kSdpLine, F_OK) != 0; }, 10s));
    EXPECT_EQ(detected(block), (Format{3, 16, 1, 0, 48000}));
    EXPECT_TRUE(service.running());
}
