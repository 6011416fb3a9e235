// Audio format detection end to end, in a fresh appliance-sandbox per case: start-up
// without /dev/mem, and a format confirmed through commands 4 that rewrites the SDP line,
// terminates the RTSP server stand-ins and lands in the block's detected-format fields.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/appliance.h"

extern char** environ;

namespace {

constexpr const char* kSdpLine = "/tmp/audio_auxSDPLine";

void command(std::uint32_t code) {
    const RunResult r = sim_mgmt({"command", std::to_string(code), "--timeout-ms", "10000"});
    ASSERT_EQ(r.status, 0) << r.output;
}

// Starts the RTSP server stand-in `name` with its output in `out`. The service finds it by
// its argv[0], which is `name` also in the appliance build, where the emulator runs it.
pid_t start_rtsp_standin(const std::string& name, const std::string& out) {
    std::vector<std::string> args{name};
    std::string program = standin_path(name);
    std::istringstream emulator(AUDIO_EMULATOR);
    if (emulator >> program) {
        for (std::string word; emulator >> word;) args.push_back(word);
        args.push_back(standin_path(name));
    }
    args.insert(args.end(), {"--lifetime", "120"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// True once the child has been ended by SIGKILL within the time.
bool ends_by_sigkill(pid_t pid) {
    int status = 0;
    return wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10s) &&
           WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

auto detected(const ShmConfig* b) {
    return std::tuple(shm_load(b->cur_audio_source), shm_load(b->cur_audio_bits),
                      shm_load(b->cur_audio_codec), shm_load(b->cur_audio_channels),
                      shm_load(b->cur_audio_rate));
}

}  // namespace

TEST(FormatDetection, MissingDevMemEndsStartUpWithStatusZero) {
    // Only the sandbox's register file may go: never a real device.
    struct stat st {};
    ASSERT_NE(std::getenv("AUDIO_E2E_INSIDE_SANDBOX"), nullptr);
    ASSERT_EQ(stat("/dev/mem", &st), 0);
    ASSERT_TRUE(S_ISREG(st.st_mode)) << "/dev/mem is not the sandbox's register file";
    ASSERT_EQ(unlink("/dev/mem"), 0);
    ASSERT_EQ(sim_mgmt({"create"}).status, 0);

    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_EQ(service.wait_exit(20s), std::optional<int>(0));
    EXPECT_EQ(service.output(), "Error: /dev/mem does not exist\n");
}

TEST(FormatDetection, ConfirmedFormatRewritesSdpLineAndStopsRtspServers) {
    ASSERT_EQ(sim_mgmt({"create", "board_type=256", "audio_channel_mode=1", "audio_codec=1",
                        "audio_rate_mode=0"})
                  .status,
              0);
    ASSERT_EQ(sim_mgmt({"fpga", "adc"}).status, 0);
    const pid_t server = start_rtsp_standin("rtspServer", "/tmp/first.out");
    const pid_t server_m = start_rtsp_standin("rtspServerM", "/tmp/m.out");
    ASSERT_TRUE(server > 0 && server_m > 0);
    ASSERT_TRUE(wait_for_file_regex("/tmp/first.out", "no SDP line", 20s))
        << file_text("/tmp/first.out");

    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    const ShmConfig* block = attach_block();
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 3; ++i) command(4);

    EXPECT_TRUE(wait_until([] { return file_text(kSdpLine) == "a=rtpmap:98 L16/48000/2\n"; }, 10s))
        << file_text(kSdpLine);
    EXPECT_TRUE(ends_by_sigkill(server));
    EXPECT_TRUE(ends_by_sigkill(server_m));
    EXPECT_TRUE(service.wait_output("rtspServer task \\[" + std::to_string(server) +
                                        "\\] killed\nrtspServerM task \\[" +
                                        std::to_string(server_m) + "\\] killed\n",
                                    5s))
        << service.output();
    EXPECT_EQ(detected(block), std::tuple(3u, 16u, 1u, 2u, 48000u));

    // A new stand-in reads the line the service left for it.
    ASSERT_GT(start_rtsp_standin("rtspServer", "/tmp/second.out"), 0);
    EXPECT_TRUE(wait_for_file_regex("/tmp/second.out",
                                    "^rtspServer: SDP line: a=rtpmap:98 L16/48000/2\n$", 20s))
        << file_text("/tmp/second.out");

    // Audio off: once confirmed, the line is removed.
    ASSERT_EQ(sim_mgmt({"set", "audio_channel_mode=3"}).status, 0);
    for (int i = 0; i < 3; ++i) command(4);
    EXPECT_TRUE(wait_until([] { return access(kSdpLine, F_OK) != 0; }, 10s));
    EXPECT_EQ(detected(block), std::tuple(3u, 16u, 1u, 0u, 48000u));
    EXPECT_TRUE(service.running());
}

TEST(FormatDetection, FeedPassesTheParserOnlyOnceAFormatIsApplied) {
    // Until a format is applied the feed parser refuses every datagram, so a receiver gets
    // nothing; once three polls have confirmed an ADC input, the same feed flows as RTP.
    ASSERT_EQ(sim_mgmt({"create"}).status, 0);  // RTP mode; the register reads 0: no input
    UdpReceiver rtp(5004);
    ASSERT_TRUE(rtp.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    const RunResult add =
        sim_mgmt({"command", "add", "--ip", "127.0.0.1", "--rtp-port", "5004", "--rtcp-port",
                  "5005", "--tag", "RTSP", "--timeout-ms", "10000"});
    ASSERT_EQ(add.status, 0) << add.output;
    Process capture;
    ASSERT_TRUE(capture.start(standin_path("sim_capture"), {"--duration", "60", "--quiet"}));
    for (int i = 0; i < 3; ++i) command(4);
    EXPECT_FALSE(rtp.receive(1500ms).has_value()) << "RTP before any format was applied";

    ASSERT_EQ(sim_mgmt({"fpga", "adc"}).status, 0);
    for (int i = 0; i < 3; ++i) command(4);
    const std::optional<Datagram> first = rtp.receive(10s);
    ASSERT_TRUE(first.has_value()) << service.output();
    ASSERT_GT(first->bytes.size(), 12u);
    EXPECT_EQ(first->bytes[1], 0x62) << "payload type 98";
}
