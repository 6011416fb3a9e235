// The transport stream end to end: the real service in output mode 2 in a fresh
// appliance-sandbox, driven through the block, fed by the capture stand-in and received on
// 127.0.0.1:1234 (the destination sim_mgmt create sets).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "mgmt_block.h"
#include "support/appliance.h"
#include "support/ts_stream.h"

namespace {

constexpr auto kServe = 10s;       // one command, on a loaded machine and under the emulator
constexpr auto kFirstAudio = 20s;  // detection runs every 2 s; audio flows once it applied

void set(const std::string& assignment) { ASSERT_EQ(mgmt::set_field(assignment), ""); }

// The block in TS mode with `fields` and the ADC input, a receiver on 127.0.0.1:1234, the
// service, and with `tone` the capture stand-in playing at real-time pace until the end.
struct TsScene {
    UdpReceiver rx{1234};
    Process service, capture;
    void start(std::vector<std::string> fields, bool tone = true) {
        fields.insert(fields.begin(), "audio_output_mode=2");
        ASSERT_EQ(set_up_block(fields), "");
        ASSERT_TRUE(rx.ok());
        ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
        ASSERT_TRUE(!tone ||
                    capture.start(standin_path("sim_capture"), {"--duration", "120", "--quiet"}));
    }
};

}  // namespace

TEST(TsIdle, PsiEvery500msAndPcrEvery100msWithoutGaps) {
    // No audio: the first iteration sends PAT+PMT, then a PCR; the loop's wait drives both.
    TsScene s;
    ASSERT_NO_FATAL_FAILURE(s.start({}, false));
    std::vector<TsDatagram> ds = capture_ts(s.rx, kServe, 2);
    ASSERT_EQ(ds.size(), 2u) << s.service.output();
    EXPECT_TRUE(is_psi(ds[0]) && is_pcr(ds[1]));
    ds = capture_ts(s.rx, 3s);
    EXPECT_EQ(how_many(ds, is_psi) + how_many(ds, is_pcr), ds.size()) << "other datagrams came";
    // 5-6 PSI periods of 500-600 ms and 15-30 PCR periods of 100-200 ms, with arrival jitter.
    EXPECT_GE(how_many(ds, is_psi), 4u);
    EXPECT_GE(how_many(ds, is_pcr), 12u);
    EXPECT_GE(shortest_gap_ms(ds, is_psi), 450.0);
    EXPECT_GE(shortest_gap_ms(ds, is_pcr), 85.0);
    // Each PCR is the wall clock at its iteration's start, a little before it arrived.
    for (const TsDatagram& d : ds) {
        if (!is_pcr(d)) continue;
        const std::int32_t age =
            ticks_between(wall_clock_90k(d.arrival_usec), pcr_base(d.bytes.data()));
        EXPECT_TRUE(age >= -90 * 5 && age <= 90 * 300) << age;
    }
    EXPECT_EQ(continuity_gaps(ds), "");
}

TEST(TsAudio, EachDatagramBecomesOnePesStampedOnThePcrClock) {
    Process service;
    std::vector<TsDatagram> ds;
    ASSERT_NO_FATAL_FAILURE(record_noise_stream(service, {}, 2, 3, ds));
    EXPECT_EQ(continuity_gaps(ds), "");
    const std::vector<ReceivedPes> pes = audio_pes(ds);
    const std::string sent = read_file(kSentSamples);
    ASSERT_EQ(sent.size(), 300u * 1920u);
    ASSERT_EQ(pes.size(), 300u) << "every block sent once the format applied, once each";
    for (std::size_t k = 0; k < pes.size(); ++k) {
        SCOPED_TRACE("PES " + std::to_string(k));
        const ReceivedPes& p = pes[k];
        ASSERT_EQ(p.bytes.size(), 6u + 1950u);  // its header bytes are the writer's own test
        EXPECT_TRUE(k == 0 || p.sequence == pes[k - 1].sequence + 1) << p.sequence;
        // The PTS is the clock of the iteration that forwarded the block, between the PCRs
        // around it (same or neighbouring iterations).
        ASSERT_TRUE(p.pts >= 0 && p.pcr_before >= 0 && p.pcr_after >= 0);
        EXPECT_GE(ticks_between(p.pts, p.pcr_before), 0);
        EXPECT_GE(ticks_between(p.pcr_after, p.pts), 0);
        EXPECT_LE(ticks_between(p.pcr_after, p.pcr_before), 90 * 400);
        const std::vector<std::uint8_t> samples = lpcm_samples(p);
        EXPECT_EQ(std::string(samples.begin(), samples.end()), sent.substr(1920 * k, 1920));
    }
    // Blocks arrive every 10 ms: so does their PTS, on average.
    const double step = ticks_between(pes[299].pts, pes[0].pts) / 299.0;
    EXPECT_TRUE(step > 800.0 && step < 1000.0) << step;
}

TEST(TsGates, FormatChannelModeAndKeepAliveDecideWhatGoesOut) {
    // Only 16-bit linear PCM at 48000 Hz is carried (audio_codec 2 is 8-bit PCMA,
    // audio_rate_mode 2 makes 8000 Hz) while PSI and PCR go on; audio off (channel mode 3)
    // silences everything unless keep-alive, which is read every iteration.
    TsScene s;
    ASSERT_NO_FATAL_FAILURE(s.start({"ts_keep_alive=0"}));
    const struct {
        std::vector<std::string> fields;
        const char* traced;  // the format poll's new format after command 4; "" = no command
        bool audio, jobs;
    } cases[] = {
        {{"audio_codec=2", "audio_rate_mode=2"}, "=> ADC-I2S 2 8000 Hz Ch-2 Bit-8 ", false, true},
        {{"audio_rate_mode=0"}, "=> ADC-I2S 2 48000 Hz Ch-2 Bit-8 ", false, true},
        {{"audio_codec=1", "audio_rate_mode=2"}, "=> ADC-I2S 1 8000 Hz Ch-2 Bit-16 ", false, true},
        {{"audio_rate_mode=0", "audio_channel_mode=3"},
         "=> ADC-I2S 1 48000 Hz Ch-0 Bit-16 ",
         false,
         false},
        {{"ts_keep_alive=1"}, "", false, true},
        {{"ts_keep_alive=0"}, "", false, false},
        {{"audio_channel_mode=1"}, "=> ADC-I2S 1 48000 Hz Ch-2 Bit-16 ", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields.back());
        const std::size_t mark = s.service.output().size();
        for (const std::string& f : c.fields) set(f);
        if (*c.traced) {
            ASSERT_EQ(serve_command(4), "");
            ASSERT_TRUE(wait_until(
                [&] { return s.service.output().find(c.traced, mark) != std::string::npos; },
                kServe))
                << s.service.output();
        } else {
            std::this_thread::sleep_for(300ms);
        }
        s.rx.drain();
        const std::vector<TsDatagram> ds = capture_ts(s.rx, 1500ms);
        EXPECT_EQ(has_audio(ds), c.audio);
        EXPECT_EQ(how_many(ds, is_psi) >= 2 && how_many(ds, is_pcr) >= 7, c.jobs);
        EXPECT_EQ(ds.empty(), !c.jobs);
        EXPECT_EQ(continuity_gaps(ds), "");
    }
}

TEST(TsCommand5, ReopensTowardsTheSelectedDestinationAndCountersCarryOn) {
    UdpReceiver alternate(1234, "127.0.0.2");
    TsScene s;
    ASSERT_NO_FATAL_FAILURE(s.start({}));
    std::vector<TsDatagram> stream = capture_ts_until(s.rx, has_audio, kFirstAudio);  // in order
    ASSERT_TRUE(has_audio(stream)) << s.service.output();
    const auto keep = [&](const std::vector<TsDatagram>& more) {
        stream.insert(stream.end(), more.begin(), more.end());
        return more;
    };
    // A new destination takes effect only through command 5; an empty or invalid one
    // leaves the stream silent, without an open failure.
    set("ts_dest_select=1");
    set("ts_dest_ip_alt=127.0.0.2");
    EXPECT_TRUE(has_audio(keep(capture_ts(s.rx, 700ms))));
    EXPECT_FALSE(alternate.receive(0ms));
    for (const std::string dest : {"127.0.0.2", "", "127.0.0.300"}) {
        SCOPED_TRACE("alternate destination '" + dest + "'");
        const bool opens = !dest.empty() && dest != "127.0.0.300";
        set("ts_dest_ip_alt=" + dest);
        const std::size_t mark = s.service.output().size();
        ASSERT_EQ(serve_command(5), "");
        keep(take_queued(opens ? s.rx : alternate));  // sent before the command was served
        const std::string trace =
            "[DBG] remake_ts_sock:1066 peer_ip-" + dest + " my_ip-127.0.0.1\n";
        EXPECT_TRUE(wait_until(
            [&] { return s.service.output().find(trace, mark) != std::string::npos; }, kServe));
        const std::vector<TsDatagram> got = keep(capture_ts(alternate, 1500ms));
        EXPECT_EQ(has_audio(got) && how_many(got, is_psi) >= 2, opens);
        EXPECT_EQ(got.empty(), !opens);
        EXPECT_TRUE(capture_ts(s.rx, 10ms).empty()) << "the old socket still sends";
    }
    EXPECT_EQ(s.service.output().find("fail to sockTxOpen"), std::string::npos);

    // Back to the primary destination: the counters went on from where they stopped.
    set("ts_dest_select=0");
    ASSERT_EQ(serve_command(5), "");
    EXPECT_TRUE(has_audio(keep(capture_ts_until(s.rx, has_audio, kServe))));
    EXPECT_EQ(continuity_gaps(stream), "");
}

TEST(TsAlternate, AlternateSettingsNeverOpenASocket) {
    TsScene s;
    ASSERT_NO_FATAL_FAILURE(s.start({"use_alt_settings=1", "alt_audio_output_mode=2"}));
    ASSERT_EQ(serve_command(5), "");
    ASSERT_EQ(serve_command(4), "");
    EXPECT_TRUE(capture_ts(s.rx, 2500ms).empty());
    EXPECT_EQ(s.service.output().find("peer_ip-"), std::string::npos) << s.service.output();
    // The primary set in force: still no socket until command 5 opens one.
    set("use_alt_settings=0");
    EXPECT_TRUE(capture_ts(s.rx, 1s).empty());
    ASSERT_EQ(serve_command(5), "");
    EXPECT_TRUE(s.service.wait_output("peer_ip-127.0.0.1 my_ip-127.0.0.1\n", kServe));
    EXPECT_FALSE(capture_ts(s.rx, 2s).empty());
}
