// The transport stream end to end: the real service in output mode 2, driven through the
// block as the management process would, fed by the capture stand-in, and received on
// loopback at 127.0.0.1:1234 (the destination sim_mgmt create sets). Each test case runs
// in its own fresh appliance-sandbox.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mgmt_block.h"
#include "support/appliance.h"
#include "support/ts_stream.h"

namespace {

constexpr auto kServe = 10s;  // one command, on a loaded machine and under the emulator
// The first audio: detection runs in the first loop iteration, then every 2 s; a
// datagram is forwarded once the format allows it.
constexpr auto kFirstAudio = 20s;

void create_block(const std::vector<std::string>& fields) {
    std::vector<std::string> args = {"create", "audio_output_mode=2"};
    args.insert(args.end(), fields.begin(), fields.end());
    const RunResult r = sim_mgmt(args);
    ASSERT_EQ(r.status, 0) << r.output;
    const RunResult fpga = sim_mgmt({"fpga", "adc"});
    ASSERT_EQ(fpga.status, 0) << fpga.output;
    ASSERT_NE(attach_block(), nullptr);
}

void set(const std::string& assignment) {
    ASSERT_EQ(mgmt::set_field(assignment), "") << assignment;
}

void command(std::uint32_t code) {
    mgmt::Command cmd;
    cmd.code = code;
    cmd.timeout_ms = static_cast<int>(std::chrono::milliseconds(kServe).count());
    ASSERT_EQ(mgmt::issue_command(cmd), "") << "command " << code;
}

// A tone at real-time pace for as long as the test needs it (ended by the destructor).
void start_tone(Process& capture) {
    ASSERT_TRUE(capture.start(standin_path("sim_capture"), {"--duration", "120", "--quiet"}));
}

bool has_audio(const std::vector<TsDatagram>& ds) { return count_packets_on(ds, kPidAudio) > 0; }

bool is_psi(const TsDatagram& d) {
    return datagram_pids(d) == std::vector<unsigned>{kPidPat, kPidPmt};
}
bool is_pcr(const TsDatagram& d) { return datagram_pids(d) == std::vector<unsigned>{kPidPcr}; }

// Datagrams that `kind` picks, and the shortest interval in ms between their arrivals.
std::size_t how_many(const std::vector<TsDatagram>& ds, bool (*kind)(const TsDatagram&)) {
    return static_cast<std::size_t>(std::count_if(ds.begin(), ds.end(), kind));
}
double shortest_gap_ms(const std::vector<TsDatagram>& ds, bool (*kind)(const TsDatagram&)) {
    double gap = 1e9;
    std::int64_t last = -1;
    for (const TsDatagram& d : ds) {
        if (!kind(d)) continue;
        if (last >= 0) gap = std::min(gap, static_cast<double>(d.arrival_usec - last) / 1000.0);
        last = d.arrival_usec;
    }
    return gap;
}

}  // namespace

TEST(TsIdle, PsiEvery500msAndPcrEvery100msWithoutGaps) {
    // No audio at all: the loop's 100 ms wait still drives both jobs; the first allowed
    // iteration sends PAT+PMT and then a PCR; the PCR runs on the wall clock.
    create_block({});
    UdpReceiver rx(1234);
    ASSERT_TRUE(rx.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    std::vector<TsDatagram> ds = capture_ts(rx, kServe, 2);
    ASSERT_EQ(ds.size(), 2u) << service.output();
    EXPECT_TRUE(is_psi(ds[0]));
    EXPECT_TRUE(is_pcr(ds[1]));
    ds = capture_ts(rx, 3s);

    for (const TsDatagram& d : ds)
        if (!is_psi(d) && !is_pcr(d)) ADD_FAILURE() << "unexpected " << d.bytes.size() << " bytes";
    // 3 s hold 5 or 6 PSI periods of 500-600 ms and 15 to 30 PCR periods of 100-200 ms;
    // arrival times add a few ms of jitter to the service's own schedule.
    EXPECT_GE(how_many(ds, is_psi), 4u);
    EXPECT_GE(how_many(ds, is_pcr), 12u);
    EXPECT_GE(shortest_gap_ms(ds, is_psi), 450.0);
    EXPECT_GE(shortest_gap_ms(ds, is_pcr), 85.0);

    // Each PCR is the wall clock at its iteration's start, a little before it arrived.
    for (const TsDatagram& d : ds) {
        if (!is_pcr(d)) continue;
        const std::int64_t base = pcr_base(d.bytes.data());
        ASSERT_GE(base, 0);
        const std::int32_t age = ticks_between(wall_clock_90k(d.arrival_usec), base);
        EXPECT_GE(age, -90 * 5);
        EXPECT_LE(age, 90 * 300);
    }
    EXPECT_EQ(continuity_gaps(ds), "");
}

TEST(TsAudio, EachDatagramBecomesOnePesStampedOnThePcrClock) {
    // Noise, so that every 10 ms block is unique and a lost or repeated block shows.
    std::mt19937 rng(1234);
    std::vector<std::uint8_t> noise(48000 * 4 * 6);
    for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(rng());
    write_file("/tmp/noise.raw", std::string(noise.begin(), noise.end()));

    create_block({});
    UdpReceiver rx(1234);
    ASSERT_TRUE(rx.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    // A PCR first, so that every block has one before it.
    std::vector<TsDatagram> ds = capture_ts_until(
        rx, [](const std::vector<TsDatagram>& got) { return !got.empty() && is_pcr(got.back()); },
        kServe);
    ASSERT_FALSE(ds.empty()) << service.output();
    Process capture;
    ASSERT_TRUE(capture.start(
        standin_path("sim_capture"),
        {"--raw", "/tmp/noise.raw", "--size", "1920", "--record", "/tmp/sent.raw", "--quiet"}));
    std::size_t pes_started = 0;
    const std::vector<TsDatagram> more = capture_ts_until(
        rx,
        [&](const std::vector<TsDatagram>& got) {
            if (got.empty()) return false;
            const TsDatagram& last = got.back();
            pes_started += ts_pid(last.bytes.data()) == kPidAudio && ts_pusi(last.bytes.data());
            return pes_started >= 301;
        },
        kFirstAudio + 10s);
    ds.insert(ds.end(), more.begin(), more.end());
    ASSERT_GE(audio_pes(ds).size(), 301u) << service.output();
    const std::vector<TsDatagram> tail = capture_ts(rx, 500ms);  // the PCR after the last
    ds.insert(ds.end(), tail.begin(), tail.end());
    ASSERT_EQ(capture.wait_exit(20s), std::optional<int>(0)) << capture.output();
    EXPECT_EQ(continuity_gaps(ds), "");

    // 1920 bytes of PCM + 36 bytes of headers = 12 packets: 7 and 5 with mtu 1500.
    for (std::size_t i = 0; i < ds.size(); ++i) {
        const std::vector<unsigned> pids = datagram_pids(ds[i]);
        ASSERT_FALSE(pids.empty()) << "datagram " << i;
        if (pids[0] != kPidAudio) continue;
        const std::size_t n = ts_pusi(ds[i].bytes.data()) ? 7 : 5;
        EXPECT_EQ(pids, std::vector<unsigned>(n, kPidAudio)) << "datagram " << i;
    }

    const std::vector<ReceivedPes> pes = audio_pes(ds);
    const std::string sent = read_file("/tmp/sent.raw");
    std::size_t sent_at = std::string::npos;
    for (std::size_t k = 0; k < 301; ++k) {
        SCOPED_TRACE("PES " + std::to_string(k));
        const ReceivedPes& p = pes[k];
        // Private stream 1 of 1950 bytes; the LPCM header of 1920 bytes, stereo 48 kHz/16.
        ASSERT_EQ(p.bytes.size(), 6u + 1950u);
        EXPECT_EQ(std::vector<std::uint8_t>(p.bytes.begin() + 3, p.bytes.begin() + 6),
                  (std::vector<std::uint8_t>{0xBD, 0x07, 0x9E}));
        EXPECT_EQ(std::vector<std::uint8_t>(p.bytes.begin() + 32, p.bytes.begin() + 36),
                  (std::vector<std::uint8_t>{0x07, 0x80, 0x31, 0x40}));
        if (k > 0) {
            EXPECT_EQ(p.sequence, pes[k - 1].sequence + 1);
        }
        ASSERT_TRUE(p.pts >= 0 && p.pcr_before >= 0 && p.pcr_after >= 0);
        // The PTS is the clock of the iteration that forwarded the block; the PCR packets
        // before and after it were stamped in the same or neighbouring iterations.
        EXPECT_GE(ticks_between(p.pts, p.pcr_before), 0);
        EXPECT_GE(ticks_between(p.pcr_after, p.pts), 0);
        EXPECT_LE(ticks_between(p.pcr_after, p.pcr_before), 90 * 400);

        const std::vector<std::uint8_t> samples = lpcm_samples(p);
        const std::string got(samples.begin(), samples.end());
        if (k == 0) {
            sent_at = sent.find(got);
            ASSERT_NE(sent_at, std::string::npos) << "first block not among the samples sent";
            EXPECT_EQ(sent_at % 1920, 0u);
        } else {
            EXPECT_EQ(got, sent.substr(sent_at + 1920 * k, 1920));
        }
    }
    // Blocks arrive every 10 ms: so does their PTS, on average.
    const double step = ticks_between(pes[299].pts, pes[0].pts) / 299.0;
    EXPECT_GT(step, 800.0);
    EXPECT_LT(step, 1000.0);
}

TEST(TsAudio, FormatGateDropsAllButLinear16BitAt48kWhileJobsGoOn) {
    // audio_codec 2 gives 8-bit PCMA, audio_rate_mode 2 turns the detected 48000 Hz into
    // 8000: each of these formats is dropped; the last case proves the feed was flowing.
    create_block({});
    UdpReceiver rx(1234);
    ASSERT_TRUE(rx.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    Process capture;
    start_tone(capture);

    const struct {
        const char* codec;
        const char* rate_mode;
        const char* traced;  // the format poll's trace of the new format
        bool forwarded;
    } cases[] = {
        {"audio_codec=2", "audio_rate_mode=2", "=> ADC-I2S 2 8000 Hz Ch-2 Bit-8 ", false},
        {"audio_codec=2", "audio_rate_mode=0", "=> ADC-I2S 2 48000 Hz Ch-2 Bit-8 ", false},
        {"audio_codec=1", "audio_rate_mode=2", "=> ADC-I2S 1 8000 Hz Ch-2 Bit-16 ", false},
        {"audio_codec=1", "audio_rate_mode=0", "=> ADC-I2S 1 48000 Hz Ch-2 Bit-16 ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.codec) + " " + c.rate_mode);
        const std::size_t mark = service.output().size();
        set(c.codec);
        set(c.rate_mode);
        command(4);
        ASSERT_TRUE(wait_until(
            [&] { return service.output().find(c.traced, mark) != std::string::npos; }, kServe))
            << service.output();
        rx.drain();
        const std::vector<TsDatagram> ds = capture_ts(rx, 1500ms);
        EXPECT_EQ(has_audio(ds), c.forwarded);
        EXPECT_GE(how_many(ds, is_psi), 2u);
        EXPECT_GE(how_many(ds, is_pcr), 7u);
    }
}

TEST(TsChannelMode, AudioOffSilencesTheStreamUnlessKeepAlive) {
    create_block({"audio_channel_mode=3", "ts_keep_alive=0"});
    UdpReceiver rx(1234);
    ASSERT_TRUE(rx.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    Process capture;
    start_tone(capture);
    ASSERT_TRUE(service.wait_output("peer_ip-127.0.0.1 my_ip-127.0.0.1\n", kServe));
    command(4);  // the loop runs: the command was served

    EXPECT_TRUE(capture_ts(rx, 1500ms).empty()) << "sent with audio off and no keep-alive";

    // Settings are read every iteration: no command needed.
    set("ts_keep_alive=1");
    std::vector<TsDatagram> ds = capture_ts_until(
        rx, [](const std::vector<TsDatagram>& got) { return how_many(got, is_psi) >= 3; }, kServe);
    EXPECT_GE(how_many(ds, is_psi), 3u);
    EXPECT_GE(how_many(ds, is_pcr), 8u);
    EXPECT_FALSE(has_audio(ds)) << "audio while the channel mode is off";
    EXPECT_EQ(continuity_gaps(ds), "");

    set("ts_keep_alive=0");
    std::this_thread::sleep_for(300ms);
    rx.drain();
    EXPECT_TRUE(capture_ts(rx, 1500ms).empty()) << "keep-alive off again, still sending";

    // Channel mode back on: after the next detection audio flows.
    set("audio_channel_mode=1");
    command(4);
    ds = capture_ts_until(rx, has_audio, kFirstAudio);
    EXPECT_TRUE(has_audio(ds));
}

TEST(TsCommand5, ReopensTowardsTheSelectedDestinationAndCountersCarryOn) {
    create_block({});
    UdpReceiver primary(1234, "127.0.0.1");
    UdpReceiver alternate(1234, "127.0.0.2");
    ASSERT_TRUE(primary.ok());
    ASSERT_TRUE(alternate.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    Process capture;
    start_tone(capture);
    std::vector<TsDatagram> stream =
        capture_ts_until(primary, has_audio, kFirstAudio);  // everything, in order
    ASSERT_TRUE(has_audio(stream)) << service.output();

    // A new destination takes effect only through command 5.
    set("ts_dest_select=1");
    set("ts_dest_ip_alt=127.0.0.2");
    std::vector<TsDatagram> more = capture_ts(primary, 700ms);
    EXPECT_TRUE(has_audio(more));
    stream.insert(stream.end(), more.begin(), more.end());
    EXPECT_FALSE(alternate.receive(0ms));

    command(5);
    more = take_queued(primary);  // sent before the command was served
    stream.insert(stream.end(), more.begin(), more.end());
    EXPECT_TRUE(service.wait_output(
        R"(\[DBG\] remake_ts_sock:1066 peer_ip-127\.0\.0\.2 my_ip-127\.0\.0\.1\n)", kServe));
    more = capture_ts(alternate, 1500ms);
    EXPECT_TRUE(has_audio(more));
    EXPECT_GE(how_many(more, is_psi), 2u);
    stream.insert(stream.end(), more.begin(), more.end());
    EXPECT_FALSE(primary.receive(0ms)) << "the old socket still sends";

    // Empty, then invalid: the trace, no socket, silence, and no open failure.
    for (const char* dest : {"", "127.0.0.300"}) {
        SCOPED_TRACE(std::string("alternate destination '") + dest + "'");
        set(std::string("ts_dest_ip_alt=") + dest);
        command(5);
        more = take_queued(alternate);
        stream.insert(stream.end(), more.begin(), more.end());
        EXPECT_TRUE(service.wait_output(std::string(R"(remake_ts_sock:1066 peer_ip-)") +
                                            (*dest ? R"(127\.0\.0\.300)" : "") +
                                            R"( my_ip-127\.0\.0\.1\n)",
                                        kServe));
        EXPECT_TRUE(capture_ts(alternate, 1s).empty());
        EXPECT_TRUE(capture_ts(primary, 10ms).empty());
    }
    EXPECT_EQ(service.output().find("fail to sockTxOpen"), std::string::npos);

    // Back to the primary destination: the counters went on from where they stopped.
    set("ts_dest_select=0");
    command(5);
    more = capture_ts_until(primary, has_audio, kServe);
    EXPECT_TRUE(has_audio(more));
    stream.insert(stream.end(), more.begin(), more.end());
    EXPECT_EQ(continuity_gaps(stream), "");
}

TEST(TsAlternate, AlternateSettingsNeverOpenASocket) {
    create_block({"use_alt_settings=1", "alt_audio_output_mode=2"});
    UdpReceiver rx(1234);
    ASSERT_TRUE(rx.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    Process capture;
    start_tone(capture);
    command(5);
    command(4);
    ASSERT_TRUE(service.wait_output(R"(\[CMD\] code 5\n)", kServe));
    EXPECT_TRUE(capture_ts(rx, 2500ms).empty());
    EXPECT_EQ(service.output().find("peer_ip-"), std::string::npos) << service.output();

    // The primary set in force: still no socket until command 5 opens one.
    set("audio_output_mode=2");
    set("use_alt_settings=0");
    EXPECT_TRUE(capture_ts(rx, 1s).empty());
    command(5);
    EXPECT_TRUE(service.wait_output("peer_ip-127.0.0.1 my_ip-127.0.0.1\n", kServe));
    EXPECT_FALSE(capture_ts(rx, 2s).empty());
}
