// Audio format detection end to end, in a fresh appliance-sandbox per case: start-up
// without /dev/mem, and a format confirmed through commands 4 that rewrites the SDP line,
// terminates the RTSP server stand-ins and lands in the block's detected-format fields.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "mgmt_block.h"
#include "support/appliance.h"
#include "support/rtp_scene.h"

namespace {

constexpr const char* kSdpLine = "/tmp/audio_auxSDPLine";

void detect_three_times() {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(serve_command(4), "");
}

auto detected() {
    const ShmConfig* b = shm_config;
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
    ASSERT_EQ(set_up_block({}, nullptr), "");
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_EQ(service.wait_exit(20s), std::optional<int>(0));
    EXPECT_EQ(service.output(), "Error: /dev/mem does not exist\n");
}

TEST(FormatDetection, ConfirmedFormatRewritesSdpLineAndStopsRtspServers) {
    ASSERT_EQ(set_up_block(
                  {"board_type=256", "audio_channel_mode=1", "audio_codec=1", "audio_rate_mode=0"}),
              "");
    Process server, server_m, service;  // found by name, also under the emulator
    ASSERT_TRUE(server.start(standin_path("rtspServer"), {"--lifetime", "120"}, "rtspServer"));
    ASSERT_TRUE(server_m.start(standin_path("rtspServerM"), {"--lifetime", "120"}, "rtspServerM"));
    ASSERT_TRUE(server.wait_output("no SDP line", 20s)) << server.output();
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_NO_FATAL_FAILURE(detect_three_times());
    EXPECT_TRUE(wait_until([] { return file_text(kSdpLine) == "a=rtpmap:98 L16/48000/2\n"; }, 10s))
        << file_text(kSdpLine);
    EXPECT_EQ(server.wait_exit(10s), std::optional<int>(128 + SIGKILL));
    EXPECT_EQ(server_m.wait_exit(10s), std::optional<int>(128 + SIGKILL));
    EXPECT_TRUE(service.wait_output("rtspServer task \\[" + std::to_string(server.pid()) +
                                        "\\] killed\nrtspServerM task \\[" +
                                        std::to_string(server_m.pid()) + "\\] killed\n",
                                    5s))
        << service.output();
    EXPECT_EQ(detected(), std::tuple(3u, 16u, 1u, 2u, 48000u));

    // Audio off: once confirmed, the line is removed.
    ASSERT_EQ(mgmt::set_field("audio_channel_mode=3"), "");
    ASSERT_NO_FATAL_FAILURE(detect_three_times());
    EXPECT_TRUE(wait_until([] { return access(kSdpLine, F_OK) != 0; }, 10s));
    EXPECT_EQ(detected(), std::tuple(3u, 16u, 1u, 0u, 48000u));
    EXPECT_TRUE(service.running());
}

TEST(FormatDetection, FeedPassesTheParserOnlyOnceAFormatIsApplied) {
    // RTP mode; the register reads 0 (no input) until the ADC input is set.
    ASSERT_EQ(set_up_block({}, nullptr), "");
    UdpReceiver rtp(5004);
    ASSERT_TRUE(rtp.ok());
    Process service, capture;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_EQ(add_receiver(5004, 5005, "RTSP"), "");
    ASSERT_TRUE(capture.start(standin_path("sim_capture"), {"--duration", "60", "--quiet"}));
    ASSERT_NO_FATAL_FAILURE(detect_three_times());
    EXPECT_FALSE(rtp.receive(1500ms).has_value()) << "RTP before any format was applied";

    ASSERT_EQ(sim_mgmt({"fpga", "adc"}).status, 0);
    ASSERT_NO_FATAL_FAILURE(detect_three_times());
    const std::optional<Datagram> first = rtp.receive(10s);
    ASSERT_TRUE(first.has_value()) << service.output();
    ASSERT_GT(first->bytes.size(), 12u);
    EXPECT_EQ(first->bytes[1], 0x62) << "payload type 98";
}
