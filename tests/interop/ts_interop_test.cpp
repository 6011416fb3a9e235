// The transport stream against independent tools: ffprobe identifies the audio, ffmpeg
// decodes it bit-exact to the samples the capture stand-in sent, tshark finds no malformed
// packet, no CRC error and no missing packet. The stream is received on 127.0.0.1:1234
// inside the test's own sandbox and written to a file that the tools read.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/appliance.h"
#include "support/rtp_receivers.h"
#include "support/ts_stream.h"

namespace {

constexpr auto kServe = 10s;
constexpr const char* kStream = "/tmp/stream.ts";
constexpr const char* kSent = "/tmp/sent.raw";

// Runs the service in TS mode with the given channel mode, feeds it `seconds` of noise
// with `channels` channels once it is up, and writes everything received to kStream.
void record_stream(const char* channel_mode, int channels, int seconds) {
    std::mt19937 rng(static_cast<unsigned>(channels * 7919 + seconds));
    std::string noise(static_cast<std::size_t>(48000 * 2 * channels * seconds), '\0');
    for (char& b : noise) b = static_cast<char>(rng());
    write_file("/tmp/noise.raw", noise);

    ASSERT_EQ(sim_mgmt({"create", "audio_output_mode=2", channel_mode}).status, 0);
    ASSERT_EQ(sim_mgmt({"fpga", "adc"}).status, 0);
    UdpReceiver rx(1234);
    ASSERT_TRUE(rx.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    // The first detection gives the format: every block sent afterwards is forwarded.
    ASSERT_TRUE(service.wait_output(R"(\[Audio\] .* => ADC-I2S 1 48000 Hz)", kServe))
        << service.output();

    Process capture;
    ASSERT_TRUE(capture.start(standin_path("sim_capture"),
                              {"--raw", "/tmp/noise.raw", "--channels", std::to_string(channels),
                               "--size", "1920", "--record", kSent, "--quiet"}));
    std::vector<TsDatagram> ds = capture_ts_until(
        rx, [&](const std::vector<TsDatagram>&) { return !capture.running(); },
        std::chrono::seconds(seconds + 20));
    ASSERT_EQ(capture.wait_exit(kServe), std::optional<int>(0)) << capture.output();
    const std::vector<TsDatagram> tail = capture_ts(rx, 500ms);
    ds.insert(ds.end(), tail.begin(), tail.end());
    ASSERT_TRUE(write_ts_file(kStream, ds));
}

RunResult tool(const std::string& name, const std::vector<std::string>& args) {
    return run_program("/usr/bin/" + name, args, 60s);
}

// Frames of kStream that a tshark display filter selects (checksums verified).
int tshark_count(const std::string& filter) {
    const RunResult r = tool("tshark", {"-r", kStream, "-o", "mpeg_sect.verify_crc:TRUE", "-Y",
                                        filter, "-T", "fields", "-e", "frame.number"});
    EXPECT_EQ(r.status, 0) << r.output;
    int n = 0;  // frame numbers, one a line; notices are not numbers
    for (const std::string& line : split_lines(r.output))
        n += !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
    return n;
}

std::string probe_audio() {
    const RunResult r = tool("ffprobe", {"-v", "error", "-select_streams", "a", "-show_entries",
                                         "stream=codec_name,sample_rate,channels,sample_fmt", "-of",
                                         "default=nw=1", kStream});
    EXPECT_EQ(r.status, 0) << r.output;
    std::string first;  // ffprobe lists the stream again under its program: keep one
    for (const std::string& line : split_lines(r.output)) {
        if (!first.empty() && line.rfind("codec_name=", 0) == 0) break;
        first += line + "\n";
    }
    return first;
}

// Every sample the capture stand-in sent came through, in order and unchanged: the
// capture starts only after the format is known, so no block is dropped.
void expect_all_samples_sent(const std::string& got) {
    const std::string sent = read_file(kSent);
    ASSERT_GT(sent.size(), 0u);
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "not bit-exact";
}

}  // namespace

TEST(TsInterop, StereoIsPcmBlurayDecodedBitExactAndCleanForTshark) {
    record_stream("audio_channel_mode=1", 2, 4);

    EXPECT_EQ(probe_audio(),
              "codec_name=pcm_bluray\nsample_fmt=s16\nsample_rate=48000\nchannels=2\n");

    const RunResult decode =
        tool("ffmpeg", {"-hide_banner", "-loglevel", "error", "-y", "-i", kStream, "-map", "0:a",
                        "-f", "s16be", "/tmp/out.raw"});
    ASSERT_EQ(decode.status, 0) << decode.output;
    // Blocks that reach the service in a burst carry PTS values only microseconds apart
    // (the PTS is the time of arrival), which ffmpeg's muxer may note; decoding errors
    // are another matter.
    EXPECT_EQ(decode.output.find("Invalid data"), std::string::npos) << decode.output;
    EXPECT_EQ(decode.output.find("rror"), std::string::npos) << decode.output;
    expect_all_samples_sent(read_file("/tmp/out.raw"));

    // tshark: the sections' CRCs are checked and good, no packet is missing, nothing is
    // malformed, and no other expert notice is raised.
    EXPECT_GE(tshark_count("mpeg_pat"), 6);
    EXPECT_GE(tshark_count("mpeg_pmt"), 6);
    EXPECT_EQ(tshark_count("mpeg_sect.crc.status == 1"),
              tshark_count("mpeg_pat") + tshark_count("mpeg_pmt"));
    EXPECT_EQ(tshark_count("mpeg_sect.crc.status == 0"), 0);
    EXPECT_EQ(tshark_count("mp2t.cc.drop"), 0);
    EXPECT_EQ(tshark_count("_ws.malformed"), 0);
    EXPECT_EQ(tshark_count("_ws.expert"), 0);
}

TEST(TsInterop, MonoIsAnnouncedAsOneChannelAndCarriesTheSamples) {
    // ffmpeg's decoder expects mono words padded to pairs, which this stream does not
    // carry: take the PES payloads by stream copy and strip each 4-byte LPCM header.
    record_stream("audio_channel_mode=2", 1, 4);

    EXPECT_EQ(probe_audio(),
              "codec_name=pcm_bluray\nsample_fmt=s16\nsample_rate=48000\nchannels=1\n");

    const RunResult copy =
        tool("ffmpeg", {"-hide_banner", "-loglevel", "error", "-y", "-i", kStream, "-map", "0:a",
                        "-c:a", "copy", "-f", "data", "/tmp/out.lpcm"});
    ASSERT_EQ(copy.status, 0) << copy.output;
    const std::string lpcm = read_file("/tmp/out.lpcm");
    std::string samples;
    std::size_t at = 0;
    for (int i = 0; i < 100000 && at + 4 <= lpcm.size(); ++i) {
        const auto* h = reinterpret_cast<const unsigned char*>(lpcm.data() + at);
        const std::size_t n = std::size_t{h[0]} << 8 | h[1];
        ASSERT_EQ(h[2], 0x11) << "LPCM header at " << at << ": not mono 48 kHz";
        ASSERT_EQ(h[3], 0x40) << "LPCM header at " << at << ": not 16 bits";
        ASSERT_LE(at + 4 + n, lpcm.size());
        samples.append(lpcm, at + 4, n);
        at += 4 + n;
    }
    EXPECT_EQ(at, lpcm.size());
    expect_all_samples_sent(samples);
}
