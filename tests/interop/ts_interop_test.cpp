// The transport stream against independent tools: ffprobe identifies the audio, ffmpeg
// decodes it bit-exact to the samples the capture stand-in sent, tshark finds no malformed
// packet, no CRC error and no missing packet. The stream is received on 127.0.0.1:1234
// inside the test's own sandbox and written to a file that the tools read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/appliance.h"
#include "support/rtp_receivers.h"
#include "support/ts_stream.h"

namespace {

constexpr const char* kStream = "/tmp/stream.ts";

// The service's stream of `seconds` of noise with `channels` channels, in kStream.
void record(const char* channel_mode, int channels) {
    Process service;
    std::vector<TsDatagram> ds;
    ASSERT_NO_FATAL_FAILURE(record_noise_stream(service, {channel_mode}, channels, 4, ds));
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

// ffprobe's view of the audio stream (listed again under its program: kept once).
std::string probe_audio() {
    const RunResult r = tool("ffprobe", {"-v", "error", "-select_streams", "a", "-show_entries",
                                         "stream=codec_name,sample_rate,channels,sample_fmt", "-of",
                                         "default=nw=1", kStream});
    EXPECT_EQ(r.status, 0) << r.output;
    std::string first;
    for (const std::string& line : split_lines(r.output)) {
        if (!first.empty() && line.rfind("codec_name=", 0) == 0) break;
        first += line + "\n";
    }
    return first;
}

}  // namespace

TEST(TsInterop, StereoIsPcmBlurayDecodedBitExactAndCleanForTshark) {
    ASSERT_NO_FATAL_FAILURE(record("audio_channel_mode=1", 2));
    EXPECT_EQ(probe_audio(),
              "codec_name=pcm_bluray\nsample_fmt=s16\nsample_rate=48000\nchannels=2\n");
    const RunResult decode =
        tool("ffmpeg", {"-hide_banner", "-loglevel", "error", "-y", "-i", kStream, "-map", "0:a",
                        "-f", "s16be", "/tmp/out.raw"});
    ASSERT_EQ(decode.status, 0) << decode.output;
    // PTS values of blocks that came in a burst lie microseconds apart, which ffmpeg's
    // muxer may note; decoding errors are another matter.
    EXPECT_TRUE(decode.output.find("rror") == std::string::npos &&
                decode.output.find("Invalid data") == std::string::npos)
        << decode.output;
    EXPECT_TRUE(read_file("/tmp/out.raw") == read_file(kSentSamples)) << "not bit-exact";

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
    ASSERT_NO_FATAL_FAILURE(record("audio_channel_mode=2", 1));
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
        // Mono 48 kHz, 16 bits.
        ASSERT_EQ(std::string(lpcm, at + 2, 2), "\x11\x40") << "LPCM header at " << at;
        ASSERT_LE(at + 4 + n, lpcm.size());
        samples.append(lpcm, at + 4, n);
        at += 4 + n;
    }
    EXPECT_EQ(at, lpcm.size());
    EXPECT_FALSE(samples.empty());
    EXPECT_TRUE(samples == read_file(kSentSamples)) << "not bit-exact";
}
