// Audio format detection: the pure parts (the detected format, the three-poll rule), then the
// poll against a real block, the register window's memory, the SDP file in a private /tmp and
// real processes named like the RTSP servers in a private PID namespace.
#include "input/format_poll.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "mgmt_block.h"
#include "support/input_fixtures.h"
#include "support/isolation.h"
#include "support/named_process.h"
#include "support/temp_dir.h"

bool operator==(const AudioFormat& a, const AudioFormat& b) { return same_format(a, b); }
void PrintTo(const AudioFormat& f, std::ostream* os) {
    *os << "{" << f.source << ", " << f.bits << ", " << f.codec << ", " << f.channels << ", "
        << f.sample_rate << "}";
}

namespace {

TEST(FormatPoll, SourceNames) {
    const std::pair<std::uint32_t, const char*> names[] = {
        {0, "HDSDI-I2S"}, {1, "HDMI-SPDIF"}, {2, "HDMI-I2S"},         {3, "ADC-I2S"},
        {4, "Unknown"},   {255, "Unknown"},  {0xFFFFFFFFu, "Unknown"}};
    for (const auto& [source, name] : names) EXPECT_STREQ(audio_source_name(source), name);
}

TEST(FormatPoll, ConfirmationVerdictsPollByPoll) {
    constexpr AudioFormat kL16{3, 16, 1, 2, 48000}, kPcma{3, 8, 2, 2, 8000};
    const FormatTracking applied{kL16, kL16, 0};
    // Start and the polls' formats; verdicts: 'c' changed, 'R' fixed and reconfigured, 'f'
    // fixed without reconfiguring, '.' nothing.
    const std::tuple<FormatTracking, std::vector<AudioFormat>, std::string> rows[] = {
        // Applied on the third poll, then nothing more; any change restarts the count.
        {kFormatTrackingStart, {kL16, kL16, kL16, kL16, kL16, kL16, kL16}, "c.R...."},
        {kFormatTrackingStart, {kL16, kL16, kPcma, kPcma, kPcma}, "c.c.R"},
        // A change of source alone does not reconfigure; each other field alone does.
        {applied, std::vector(6, AudioFormat{0, 16, 1, 2, 48000}), "c.f..."},
        {applied, std::vector(3, AudioFormat{3, 8, 1, 2, 48000}), "c.R"},
        {applied, std::vector(3, AudioFormat{3, 16, 3, 2, 48000}), "c.R"},
        {applied, std::vector(3, AudioFormat{3, 16, 1, 1, 48000}), "c.R"},
        {applied, std::vector(3, AudioFormat{3, 16, 1, 2, 44100}), "c.R"},
        // Back to the applied format does nothing; a format flipping every poll never applies.
        {{kL16, kL16, 1}, {kPcma, kL16, kL16, kL16}, "cc.."},
        {kFormatTrackingStart, {kL16, kPcma, kL16, kPcma, kL16, kPcma, kL16, kPcma}, "cccccccc"}};
    for (const auto& [start, formats, want] : rows) {
        FormatTracking t = start;
        std::string verdicts;
        for (const AudioFormat& f : formats) {
            const FormatStep s = confirm_format(t, f);
            verdicts += s.changed ? 'c' : s.fixed ? (s.reconfigure ? 'R' : 'f') : '.';
            EXPECT_EQ(s.next.applied_format, s.fixed ? f : t.applied_format);
            t = s.next;
        }
        EXPECT_EQ(verdicts, want) << testing::PrintToString(formats.back());
    }
}

struct FormatPollRun : testing::Test {
    TestFpgaWindow window;
    void SetUp() override {
        ASSERT_TRUE(enter_private_ipc());
        ASSERT_TRUE(enter_private_pids());
        ASSERT_TRUE(create_test_shm());
        ASSERT_EQ(mkdir("/tmp/bin", 0755), 0);
        dbg_to_screen();
    }
    static void set(const std::vector<std::string>& assignments) {
        for (const std::string& a : assignments) ASSERT_EQ(mgmt::set_field(a), "") << a;
    }
    static void configure(std::uint32_t channel_mode, std::uint32_t codec, std::uint32_t rate) {
        set({"board_type=256", "audio_channel_mode=" + std::to_string(channel_mode),
             "audio_codec=" + std::to_string(codec), "audio_rate_mode=" + std::to_string(rate)});
    }
    static std::string poll(AudioFormat& f, int polls = 1) {  // what the polls logged
        testing::internal::CaptureStdout();
        for (int i = 0; i < polls; ++i) poll_audio_format(&f);
        return testing::internal::GetCapturedStdout();
    }
    static AudioFormat written_back() {
        const ShmConfig& c = *shm_config;
        return {shm_load(c.cur_audio_source), shm_load(c.cur_audio_bits),
                shm_load(c.cur_audio_codec), shm_load(c.cur_audio_channels),
                shm_load(c.cur_audio_rate)};
    }
    static std::string sdp_line() {
        return access(kSdpLinePath, F_OK) == 0 ? read_file(kSdpLinePath) : "(no file)";
    }
};

#define MAP_WINDOW_OR_SKIP() \
    if (!(window = map_test_fpga_window())) GTEST_SKIP() << "address 0x38000000 is taken"

TEST_F(FormatPollRun, FirstFormatIsTracedThenAppliedOnTheThirdPollThenAnInputChange) {
    MAP_WINDOW_OR_SKIP();
    configure(1, 1, 0);
    set_test_audio_input(0x0002);
    const pid_t server = start_named_process("/tmp/bin", "rtspServer");
    ASSERT_GT(server, 0);
    AudioFormat f{};
    EXPECT_EQ(poll(f),
              "FPGA [0x38000028] ffff => 2\n"
              "[Audio] Unknown 0 0 Hz Ch-0 Bit-0 => ADC-I2S 1 48000 Hz Ch-2 Bit-16 \n");
    EXPECT_EQ(f, (AudioFormat{3, 16, 1, 2, 48000}));
    EXPECT_EQ(written_back(), f);
    EXPECT_EQ(poll(f), "");
    EXPECT_EQ(std::tuple(sdp_line(), applied_sample_rate, wait_for_exit(server, 0)),
              std::tuple("(no file)", 0u, -1));
    EXPECT_EQ(poll(f),
              "[Fix Audio] Unknown 0 0 Hz Ch-0 => ADC-I2S 1 48000 Hz Ch-2\nrtspServer task [" +
                  std::to_string(server) + "] killed\n");
    EXPECT_EQ(std::pair(sdp_line(), applied_sample_rate),
              std::pair(std::string("a=rtpmap:98 L16/48000/2\n"), 48000u));
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(server)));

    // Holding: nothing more happens. A change of input alone is traced and fixed, but
    // rewrites and stops nothing.
    std::remove(kSdpLinePath);
    const pid_t restarted = start_named_process("/tmp/bin", "rtspServer");
    ASSERT_GT(restarted, 0);
    EXPECT_EQ(poll(f, 2), "");
    set_test_audio_input(0x0003);
    EXPECT_EQ(poll(f, 3),
              "FPGA [0x38000028] 2 => 3\n"
              "[Audio] ADC-I2S 1 48000 Hz Ch-2 Bit-16 => HDSDI-I2S 1 48000 Hz Ch-2 Bit-16 \n"
              "[Fix Audio] ADC-I2S 1 48000 Hz Ch-2 => HDSDI-I2S 1 48000 Hz Ch-2\n");
    EXPECT_EQ(std::tuple(sdp_line(), applied_sample_rate, wait_for_exit(restarted, 0)),
              std::tuple("(no file)", 48000u, -1));
}

TEST_F(FormatPollRun, EachConfigurationIsAppliedWithItsSdpLine) {
    MAP_WINDOW_OR_SKIP();
    // Channel mode, codec, rate mode, register; the format and the SDP line. Only rate mode 2
    // lowers the rate; channel modes 0 and 4 keep the channels before; codecs other than 1
    // are 8-bit; no recognised input gives codec 8, rate 0 and no line, as do no channels.
    // clang-format off
    const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint16_t, AudioFormat, const char*> rows[] = {
        {1, 2, 2, 0x0002, {3, 8, 2, 2, 8000}, "a=rtpmap:98 PCMA/8000/2\n"},
        {2, 3, 0, 0x0003, {0, 8, 3, 1, 48000}, "a=rtpmap:98 PCMU/48000/1\n"},
        {4, 1, 0, 0x0003, {0, 16, 1, 1, 48000}, "a=rtpmap:98 L16/48000/1\n"},
        {1, 0, 1, 0x0002, {3, 8, 0, 2, 48000}, "a=rtpmap:98 L8/48000/2\n"},
        {0, 1, 2, 0xFFFE, {3, 16, 1, 2, 8000}, "a=rtpmap:98 L16/8000/2\n"},
        {1, 5, 1, 0x0003, {0, 8, 5, 2, 48000}, "a=rtpmap:98 L8/48000/2\n"},
        {3, 1, 0, 0x0002, {3, 16, 1, 0, 48000}, "(no file)"},
        {1, 1, 0, 0x0001, {255, 16, 8, 2, 0}, "(no file)"},
        {2, 2, 2, 0x0000, {255, 8, 8, 1, 0}, "(no file)"}};
    // clang-format on
    AudioFormat f{};
    for (const auto& [channel_mode, codec, rate_mode, reg, want, sdp] : rows) {
        SCOPED_TRACE(testing::PrintToString(want));
        configure(channel_mode, codec, rate_mode);
        set_test_audio_input(reg);
        write_file(kSdpLinePath, "previous\n");  // a removal must show
        poll(f);
        EXPECT_EQ(f, want);
        EXPECT_EQ(written_back(), want);
        poll(f, 2);
        EXPECT_EQ(sdp_line(), sdp);
        EXPECT_EQ(applied_sample_rate, want.sample_rate);
    }
}

TEST_F(FormatPollRun, AlternateSettingsAreCopiedAsTheyStandAndNotWrittenBack) {
    // The window stays unmapped: the fixed format never consults the FPGA.
    ASSERT_TRUE(address_unmapped(AUDIO_INPUT_REG));
    set({"board_type=256", "use_alt_settings=1", "audio_channel_mode=3", "audio_codec=8",
         "alt_audio_source=1", "alt_audio_bits=24", "alt_audio_codec=5", "alt_audio_channels=6",
         "alt_audio_rate=44100", "cur_audio_source=161", "cur_audio_bits=162",
         "cur_audio_codec=163", "cur_audio_channels=164", "cur_audio_rate=165"});
    AudioFormat f{};
    EXPECT_EQ(poll(f, 3),
              "[Audio] Unknown 0 0 Hz Ch-0 Bit-0 => HDMI-SPDIF 5 44100 Hz Ch-6 Bit-24 \n"
              "[Fix Audio] Unknown 0 0 Hz Ch-0 => HDMI-SPDIF 5 44100 Hz Ch-6\n");
    EXPECT_EQ(f, (AudioFormat{1, 24, 5, 6, 44100}));
    EXPECT_EQ(std::pair(sdp_line(), applied_sample_rate),
              std::pair(std::string("a=rtpmap:98 L24/44100/6\n"), 44100u));
    EXPECT_EQ(written_back(), (AudioFormat{161, 162, 163, 164, 165}));
}

}  // namespace
