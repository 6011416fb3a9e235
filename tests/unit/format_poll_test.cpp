// Audio format detection: the pure parts (building a detected format, the three-poll
// confirmation rule) without any I/O, then the poll itself against a real shared block,
// the register window's memory, the SDP file in a private /tmp and real processes named
// like the RTSP servers in a private PID namespace.
#include "input/format_poll.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/shm_config.h"
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

constexpr InputDetect kAdc{3, 1, 48000};
constexpr InputDetect kHdSdi{0, 1, 48000};
constexpr InputDetect kNoInput{255, 0, 0};  // the poll's scratch record, left as it was

TEST(FormatPoll, SourceNames) {
    EXPECT_STREQ(audio_source_name(0), "HDSDI-I2S");
    EXPECT_STREQ(audio_source_name(1), "HDMI-SPDIF");
    EXPECT_STREQ(audio_source_name(2), "HDMI-I2S");
    EXPECT_STREQ(audio_source_name(3), "ADC-I2S");
    EXPECT_STREQ(audio_source_name(4), "Unknown");
    EXPECT_STREQ(audio_source_name(255), "Unknown");
    EXPECT_STREQ(audio_source_name(0xFFFFFFFFu), "Unknown");
}

TEST(FormatPoll, DetectedFormatFollowsTheConfiguredValues) {
    struct Row {
        InputDetect probe;
        FormatSettings s;  // channel mode, codec, rate mode
        std::uint32_t previous_channels;
        AudioFormat want;  // source, bits, codec, channels, rate
    } rows[] = {
        {kAdc, {1, 1, 0}, 0, {3, 16, 1, 2, 48000}},
        {kAdc, {1, 2, 2}, 0, {3, 8, 2, 2, 8000}},
        {kAdc, {2, 3, 0}, 0, {3, 8, 3, 1, 48000}},
        {kHdSdi, {3, 1, 0}, 2, {0, 16, 1, 0, 48000}},
        {kHdSdi, {1, 1, 1}, 0, {0, 16, 1, 2, 48000}},  // only rate mode 2 lowers the rate
        {kHdSdi, {1, 1, 2}, 0, {0, 16, 1, 2, 8000}},
        {kAdc, {0, 1, 0}, 0, {3, 16, 1, 0, 48000}},  // modes 0 and 4 keep the channels
        {kAdc, {0, 1, 0}, 2, {3, 16, 1, 2, 48000}},
        {kAdc, {4, 1, 0}, 1, {3, 16, 1, 1, 48000}},
        {kAdc, {1, 5, 0}, 0, {3, 8, 5, 2, 48000}},     // odd codecs pass through, 8-bit
        {kNoInput, {1, 1, 0}, 0, {255, 16, 8, 2, 0}},  // no input: codec 8, bits by setting
        {kNoInput, {2, 2, 2}, 0, {255, 8, 8, 1, 0}},
        {{255, 1, 48000}, {1, 1, 2}, 0, {255, 16, 1, 2, 8000}},  // a record left valid
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << "probe source " << r.probe.source << " mode " << r.s.channel_mode
                     << " codec " << r.s.codec << " rate " << r.s.rate_mode);
        const AudioFormat previous{9, 9, 9, r.previous_channels, 9};
        EXPECT_EQ(detected_format(r.probe, r.s, previous), r.want);
    }
}

// Feeds formats to the confirmation rule from its start; returns the step of each poll.
std::vector<FormatStep> run_rule(const std::vector<AudioFormat>& formats,
                                 FormatTracking t = kFormatTrackingStart) {
    std::vector<FormatStep> steps;
    for (const AudioFormat& f : formats) {
        steps.push_back(confirm_format(t, f));
        t = steps.back().next;
    }
    return steps;
}

constexpr AudioFormat kL16{3, 16, 1, 2, 48000};
constexpr AudioFormat kL16HdSdi{0, 16, 1, 2, 48000};
constexpr AudioFormat kPcma{3, 8, 2, 2, 8000};

TEST(FormatPoll, NewFormatAppliedOnItsThirdPollThenCheckedEveryThird) {
    const auto s = run_rule({kL16, kL16, kL16, kL16, kL16, kL16, kL16});
    const bool changed[] = {true, false, false, false, false, false, false};
    const bool fixed[] = {false, false, true, false, false, false, false};
    const std::int32_t count[] = {0, 1, 0, 1, 0, 1, 0};
    for (std::size_t i = 0; i < s.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s[i].changed, changed[i]);
        EXPECT_EQ(s[i].fixed, fixed[i]);
        EXPECT_EQ(s[i].reconfigure, fixed[i]);
        EXPECT_EQ(s[i].next.stable_polls, count[i]);
        EXPECT_EQ(s[i].next.last_seen_format, kL16);
        EXPECT_EQ(s[i].next.applied_format, i < 2 ? kNoFormat : kL16);
    }
}

TEST(FormatPoll, AnyChangeRestartsTheCount) {
    // Two polls, a change, then three of the new one: applied on the last.
    const auto s = run_rule({kL16, kL16, kPcma, kPcma, kPcma});
    EXPECT_FALSE(s[1].fixed || s[2].fixed || s[3].fixed);
    EXPECT_TRUE(s[2].changed);
    EXPECT_TRUE(s[4].fixed && s[4].reconfigure);
    EXPECT_EQ(s[4].next.applied_format, kPcma);
}

TEST(FormatPoll, ChangeOfSourceAloneIsFixedWithoutReconfiguring) {
    const FormatTracking applied{kL16, kL16, 0};
    const auto s = run_rule({kL16HdSdi, kL16HdSdi, kL16HdSdi}, applied);
    EXPECT_TRUE(s[0].changed);
    EXPECT_TRUE(s[2].fixed);
    EXPECT_FALSE(s[2].reconfigure);
    EXPECT_EQ(s[2].next.applied_format, kL16HdSdi);

    // Each of the other four fields alone does reconfigure.
    const AudioFormat others[] = {
        {3, 8, 1, 2, 48000}, {3, 16, 3, 2, 48000}, {3, 16, 1, 1, 48000}, {3, 16, 1, 2, 44100}};
    for (const AudioFormat& f : others) {
        SCOPED_TRACE(testing::PrintToString(f));
        EXPECT_TRUE(run_rule({f, f, f}, applied)[2].reconfigure);
    }
}

TEST(FormatPoll, ReturningToTheAppliedFormatDoesNothing) {
    const FormatTracking applied{kL16, kL16, 1};
    const auto s = run_rule({kPcma, kL16, kL16, kL16}, applied);
    EXPECT_TRUE(s[0].changed && s[1].changed);
    for (const FormatStep& st : s) EXPECT_FALSE(st.fixed);
    EXPECT_EQ(s[3].next.stable_polls, 0);  // checked, found applied already
    EXPECT_EQ(s[3].next.applied_format, kL16);
}

// The poll with everything real around it.
struct FormatPollRun : testing::Test {
    std::unique_ptr<TestFpgaWindow> window;

    void SetUp() override {
        ASSERT_TRUE(enter_private_ipc());
        ASSERT_TRUE(enter_private_pids());
        ASSERT_TRUE(create_test_shm());
        ASSERT_EQ(mkdir("/tmp/bin", 0755), 0);
        dbg_to_screen();
    }
    bool map_window() {
        window = std::make_unique<TestFpgaWindow>();
        return window->bytes() != nullptr;
    }
    static void configure(std::uint32_t channel_mode, std::uint32_t codec,
                          std::uint32_t rate_mode) {
        ShmConfig& c = *shm_config;
        shm_store(c.board_type, std::uint16_t{0x0100});
        shm_store(c.audio_channel_mode, channel_mode);
        shm_store(c.audio_codec, codec);
        shm_store(c.audio_rate_mode, rate_mode);
    }
    // One poll of current_audio_format's stand-in; returns what it logged.
    static std::string poll(AudioFormat& f) {
        testing::internal::CaptureStdout();
        poll_audio_format(&f);
        return testing::internal::GetCapturedStdout();
    }
    static AudioFormat written_back() {
        const ShmConfig& c = *shm_config;
        return {shm_load(c.cur_audio_source), shm_load(c.cur_audio_bits),
                shm_load(c.cur_audio_codec), shm_load(c.cur_audio_channels),
                shm_load(c.cur_audio_rate)};
    }
    static bool sdp_exists() { return access(kSdpLinePath, F_OK) == 0; }
};

#define MAP_WINDOW_OR_SKIP() \
    if (!map_window()) GTEST_SKIP() << "address 0x38000000 is taken in this process"

TEST_F(FormatPollRun, FirstFormatIsTracedThenAppliedOnTheThirdPoll) {
    MAP_WINDOW_OR_SKIP();
    configure(1, 1, 0);
    set_test_audio_input(0x0002);
    const pid_t server = start_named_process("/tmp/bin", "rtspServer");
    const pid_t server_m = start_named_process("/tmp/bin", "rtspServerM");
    const pid_t bystander = start_named_process("/tmp/bin", "rtspServerMX");
    ASSERT_GT(server, 0);
    ASSERT_GT(server_m, 0);
    ASSERT_GT(bystander, 0);
    AudioFormat f{};

    EXPECT_EQ(poll(f),
              "FPGA [0x38000028] ffff => 2\n"
              "[Audio] Unknown 0 0 Hz Ch-0 Bit-0 => ADC-I2S 1 48000 Hz Ch-2 Bit-16 \n");
    const AudioFormat want{3, 16, 1, 2, 48000};
    EXPECT_EQ(f, want);
    EXPECT_EQ(written_back(), want);
    EXPECT_EQ(poll(f), "");
    EXPECT_FALSE(sdp_exists());
    EXPECT_EQ(applied_sample_rate, 0u);
    EXPECT_EQ(wait_for_exit(server, 0), -1);

    EXPECT_EQ(poll(f),
              "[Fix Audio] Unknown 0 0 Hz Ch-0 => ADC-I2S 1 48000 Hz Ch-2\n"
              "rtspServer task [" +
                  std::to_string(server) +
                  "] killed\n"
                  "rtspServerM task [" +
                  std::to_string(server_m) + "] killed\n");
    EXPECT_EQ(read_file(kSdpLinePath), "a=rtpmap:98 L16/48000/2\n");
    EXPECT_EQ(applied_sample_rate, 48000u);
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(server)));
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(server_m)));
    EXPECT_EQ(wait_for_exit(bystander, 0), -1);

    // Holding: nothing more happens, neither on the next poll nor on the next check.
    std::remove(kSdpLinePath);
    EXPECT_EQ(poll(f), "");
    EXPECT_EQ(poll(f), "");
    EXPECT_FALSE(sdp_exists());
}

TEST_F(FormatPollRun, EachConfigurationIsAppliedWithItsSdpLine) {
    MAP_WINDOW_OR_SKIP();
    struct Row {
        std::uint32_t channel_mode, codec, rate_mode;
        std::uint16_t reg;
        AudioFormat want;
        const char* sdp;  // nullptr: the file is removed
    } rows[] = {
        {1, 1, 0, 0x0002, {3, 16, 1, 2, 48000}, "a=rtpmap:98 L16/48000/2\n"},
        {1, 2, 2, 0x0002, {3, 8, 2, 2, 8000}, "a=rtpmap:98 PCMA/8000/2\n"},
        {2, 3, 0, 0x0003, {0, 8, 3, 1, 48000}, "a=rtpmap:98 PCMU/48000/1\n"},
        {4, 1, 0, 0x0003, {0, 16, 1, 1, 48000}, "a=rtpmap:98 L16/48000/1\n"},  // keeps 1
        {3, 1, 0, 0x0002, {3, 16, 1, 0, 48000}, nullptr},
        {1, 4, 2, 0x0002, {3, 8, 4, 2, 8000}, "a=rtpmap:98 L8/8000/2\n"},
        {1, 1, 0, 0x0001, {255, 16, 8, 2, 0}, nullptr},  // no recognised input
        {2, 1, 2, 0x0000, {255, 16, 8, 1, 0}, nullptr},
    };
    AudioFormat f{};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.want));
        configure(r.channel_mode, r.codec, r.rate_mode);
        set_test_audio_input(r.reg);
        write_file(kSdpLinePath, "previous\n");
        const std::string first = poll(f);
        EXPECT_NE(first.find("[Audio] "), std::string::npos) << first;
        EXPECT_EQ(f, r.want);
        EXPECT_EQ(written_back(), r.want);
        poll(f);
        EXPECT_EQ(read_file(kSdpLinePath), "previous\n");
        EXPECT_EQ(poll(f).substr(0, 12), "[Fix Audio] ");
        if (r.sdp)
            EXPECT_EQ(read_file(kSdpLinePath), r.sdp);
        else
            EXPECT_FALSE(sdp_exists());
        EXPECT_EQ(applied_sample_rate, r.want.sample_rate);
    }
}

TEST_F(FormatPollRun, ChangeOfInputAloneRewritesNothing) {
    MAP_WINDOW_OR_SKIP();
    configure(1, 1, 0);
    set_test_audio_input(0x0002);
    AudioFormat f{};
    for (int i = 0; i < 3; ++i) poll(f);
    ASSERT_EQ(read_file(kSdpLinePath), "a=rtpmap:98 L16/48000/2\n");
    std::remove(kSdpLinePath);
    const pid_t server = start_named_process("/tmp/bin", "rtspServer");
    ASSERT_GT(server, 0);

    set_test_audio_input(0x0003);
    EXPECT_EQ(poll(f),
              "FPGA [0x38000028] 2 => 3\n"
              "[Audio] ADC-I2S 1 48000 Hz Ch-2 Bit-16 => HDSDI-I2S 1 48000 Hz Ch-2 Bit-16 \n");
    EXPECT_EQ(poll(f), "");
    EXPECT_EQ(poll(f), "[Fix Audio] ADC-I2S 1 48000 Hz Ch-2 => HDSDI-I2S 1 48000 Hz Ch-2\n");
    EXPECT_FALSE(sdp_exists());
    EXPECT_EQ(wait_for_exit(server, 0), -1);
    EXPECT_EQ(applied_sample_rate, 48000u);
}

TEST_F(FormatPollRun, FormatChangingOnEveryPollIsNeverApplied) {
    MAP_WINDOW_OR_SKIP();
    set_test_audio_input(0x0002);
    AudioFormat f{};
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        configure(1, i % 2 ? 2 : 1, 0);
        const std::string log = poll(f);
        EXPECT_NE(log.find("[Audio] "), std::string::npos);
        EXPECT_EQ(log.find("[Fix Audio]"), std::string::npos);
    }
    EXPECT_FALSE(sdp_exists());
    EXPECT_EQ(applied_sample_rate, 0u);
}

TEST_F(FormatPollRun, AlternateSettingsAreCopiedAsTheyStandAndNotWrittenBack) {
    // The register window stays unmapped: the fixed format never consults the FPGA.
    ASSERT_TRUE(address_unmapped(AUDIO_INPUT_REG));
    ShmConfig& c = *shm_config;
    shm_store(c.board_type, std::uint16_t{0x0100});
    shm_store(c.use_alt_settings, 1u);
    shm_store(c.audio_channel_mode, 3u);  // the primary set's values play no part
    shm_store(c.audio_codec, 8u);
    const std::uint32_t alt[] = {1, 24, 5, 6, 44100};  // odd values are not checked
    shm_store(c.alt_audio_source, alt[0]);
    shm_store(c.alt_audio_bits, alt[1]);
    shm_store(c.alt_audio_codec, alt[2]);
    shm_store(c.alt_audio_channels, alt[3]);
    shm_store(c.alt_audio_rate, alt[4]);
    const AudioFormat untouched{0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    shm_store(c.cur_audio_source, untouched.source);
    shm_store(c.cur_audio_bits, untouched.bits);
    shm_store(c.cur_audio_codec, untouched.codec);
    shm_store(c.cur_audio_channels, untouched.channels);
    shm_store(c.cur_audio_rate, untouched.sample_rate);

    AudioFormat f{};
    EXPECT_EQ(poll(f), "[Audio] Unknown 0 0 Hz Ch-0 Bit-0 => HDMI-SPDIF 5 44100 Hz Ch-6 Bit-24 \n");
    const AudioFormat want{1, 24, 5, 6, 44100};
    EXPECT_EQ(f, want);
    poll(f);
    EXPECT_EQ(poll(f), "[Fix Audio] Unknown 0 0 Hz Ch-0 => HDMI-SPDIF 5 44100 Hz Ch-6\n");
    EXPECT_EQ(read_file(kSdpLinePath), "a=rtpmap:98 L24/44100/6\n");
    EXPECT_EQ(applied_sample_rate, 44100u);
    EXPECT_EQ(written_back(), untouched);
}

TEST_F(FormatPollRun, SdpLineForEachCoding) {
    struct Row {
        AudioFormat f;
        const char* sdp;
    } rows[] = {
        {{3, 16, 1, 2, 48000}, "a=rtpmap:98 L16/48000/2\n"},
        {{3, 8, 2, 1, 8000}, "a=rtpmap:98 PCMA/8000/1\n"},
        {{3, 8, 3, 2, 48000}, "a=rtpmap:98 PCMU/48000/2\n"},
        {{3, 8, 0, 2, 44100}, "a=rtpmap:98 L8/44100/2\n"},
        {{3, 16, 9, 1, 16000}, "a=rtpmap:98 L16/16000/1\n"},
        {{3, 16, 8, 2, 48000}, nullptr},
        {{3, 8, 2, 0, 8000}, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.f));
        write_file(kSdpLinePath, "previous\n");
        write_sdp_line(r.f);
        if (r.sdp)
            EXPECT_EQ(read_file(kSdpLinePath), r.sdp);
        else
            EXPECT_FALSE(sdp_exists());
    }
}

}  // namespace
