// The capture stand-in: its G.711 coders against the segment tables, its samples and pacing,
// its WAV reader, and the program sending what it records in every layout.
#include "capture_gen.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/audio_feed.h"
#include "core/debug_log.h"
#include "net/udp_socket.h"
#include "support/isolation.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// mu-law by the decision table on 14-bit magnitudes: segment 0 has a first interval 1 wide
// and 15 of 2, segment s > 0 starts at kStart[s] in steps of 2^(s+1); 8159 and up take the
// top code; negative samples are coded from their one's complement.
std::uint8_t ulaw_by_table(std::int16_t sample) {
    const int v14 = sample >> 2, m = v14 < 0 ? -v14 - 1 : v14;
    static constexpr int kStart[8] = {0, 31, 95, 223, 479, 991, 2015, 4063};
    int seg = 7, idx = 15;
    if (m < 8159) {
        seg = 0;
        while (seg < 7 && m >= kStart[seg + 1]) ++seg;
        idx = seg == 0 ? (m + 1) / 2 : (m - kStart[seg]) / (2 << seg);
    }
    const int code = 0x7F - (seg * 16 + idx);
    return static_cast<std::uint8_t>(v14 < 0 ? code : code | 0x80);
}

// A-law on 13-bit magnitudes: segments 0 and 1 in steps of 2 from 0 and 32, segment s > 1
// from 2^(s+4) in steps of 2^s; even bits inverted, the sign bit set for positive samples.
std::uint8_t alaw_by_table(std::int16_t sample) {
    const int v13 = sample >> 3, m = v13 < 0 ? -v13 - 1 : v13;
    int seg = 0;
    while (seg < 7 && m >= (32 << seg)) ++seg;
    const int idx = seg == 0 ? m / 2 : (m - (16 << seg)) / (seg == 1 ? 2 : 1 << seg);
    const int code = (seg * 16 + idx) ^ 0x55;
    return static_cast<std::uint8_t>(v13 < 0 ? code : code | 0x80);
}

TEST(CaptureGen, CodersTonesAndPacingAreExact) {
    // Silence, the smallest negative and both extremes: sample, mu-law, A-law.
    const std::tuple<std::int16_t, int, int> anchors[] = {
        {0, 0xFF, 0xD5}, {-1, 0x7F, 0x55}, {32767, 0x80, 0xAA}, {-32768, 0x00, 0x2A}};
    for (const auto& [sample, ulaw, alaw] : anchors)
        EXPECT_EQ(std::pair(+capture::linear_to_ulaw(sample), +capture::linear_to_alaw(sample)),
                  std::pair(ulaw, alaw))
            << sample;
    int mismatches = 0;
    for (int x = -32768; x <= 32767 && mismatches < 5; ++x) {
        const auto s = static_cast<std::int16_t>(x);
        if (capture::linear_to_ulaw(s) != ulaw_by_table(s) ||
            capture::linear_to_alaw(s) != alaw_by_table(s))
            ADD_FAILURE() << "G.711 code of " << x << " (mismatch " << ++mismatches << ")";
    }
    EXPECT_EQ(capture::linear_to_u8(-32768), 0);
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(capture::linear_to_u8(capture::u8_to_linear(static_cast<std::uint8_t>(b))), b);

    // 12 kHz at 48 kHz: a quarter turn a frame, the right channel 90 degrees ahead.
    const std::int16_t left[4] = {0, 16384, 0, -16384};
    for (std::uint64_t n = 0; n < 8; ++n)
        EXPECT_EQ(std::pair(capture::tone_sample(12000, 0.5, 48000, n, 0),
                            capture::tone_sample(12000, 0.5, 48000, n, 1)),
                  std::pair(left[n % 4], left[(n + 1) % 4]))
            << n;
    // The libm-free sine inside each quadrant: sin(pi/6) = 0.5, sin(pi/4) = sqrt(1/2). A
    // fractional frequency (0.5 Hz at 4 Hz, 1/8 turn a frame) takes the floating-point path;
    // hours into a whole-hertz tone the phase is still exact.
    const std::tuple<unsigned, double, double> sines[] = {{0, 1.0 / 3, 0.5},
                                                          {1, 2.0 / 3, 0.5},
                                                          {2, 1.0 / 3, -0.5},
                                                          {3, 0.5, -0.70710678118654752440}};
    for (const auto& [quadrant, f, want] : sines)
        EXPECT_NEAR(capture::sin_by_quadrant(quadrant, f), want, 1e-15) << quadrant;
    EXPECT_EQ(capture::tone_sample(0.5, 1.0, 4, 1, 0), 23170);
    EXPECT_EQ(capture::tone_sample(12000, 1.0, 48000, 48000ull * 3600 * 5 + 1, 0), 32767);

    // Bytes sent before, bytes a second, ns: 44.1 kHz is cut to the ns, never scaled up.
    // clang-format off
    const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t> pacing[] = {
        {0, 192000, 0}, {1920, 192000, 10000000}, {1920ull * 360000, 192000, 3600000000000},
        {1920, 176400, 10884353}, {1920ull * 100, 176400, 1088435374}, {160, 8000, 20000000}};
    // clang-format on
    for (const auto& [before, rate, ns] : pacing) EXPECT_EQ(capture::schedule_ns(before, rate), ns);
}

// RIFF pieces, little-endian byte by byte.
Bytes le(std::uint32_t v, int bytes) {
    Bytes b;
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& part : parts) b.insert(b.end(), part.begin(), part.end());
    return b;
}
Bytes tag(const char* t) { return Bytes(t, t + 4); }
// A chunk that claims `size` bytes (by default those of its body).
Bytes chunk(const char* id, const Bytes& body, std::int64_t size = -1) {
    return cat({tag(id), le(static_cast<std::uint32_t>(size < 0 ? body.size() : size), 4), body});
}
Bytes fmt(std::uint32_t format, std::uint32_t channels, std::uint32_t rate, std::uint32_t bits,
          std::uint32_t align) {
    return chunk("fmt ", cat({le(format, 2), le(channels, 2), le(rate, 4), le(rate * align, 4),
                              le(align, 2), le(bits, 2)}));
}
Bytes riff(std::initializer_list<Bytes> chunks, std::uint32_t size = 0) {
    return cat({tag("RIFF"), le(size, 4), tag("WAVE"), cat(chunks)});
}

TEST(CaptureGen, WavReaderWalksChunksAndRefusesWhatItCannotSend) {
    // An odd-sized LIST chunk and its pad byte before fmt (16-bit stereo 48 kHz) and data.
    const Bytes file = riff({chunk("LIST", {'a', 'b', 'c', 0}, 3), fmt(1, 2, 48000, 16, 4),
                             chunk("data", {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F})});
    capture::WavInfo info;
    std::string error;
    ASSERT_TRUE(capture::parse_wav(file, &info, &error)) << error;
    EXPECT_EQ(
        std::tuple(info.channels, info.sample_rate, info.bits, info.data_offset, info.data_bytes),
        std::tuple(2u, 48000u, 16u, std::size_t{12 + 12 + 24 + 8}, std::size_t{8}));
    EXPECT_EQ(capture::pcm_to_samples(file.data() + info.data_offset, info.data_bytes, 16),
              (std::vector<std::int16_t>{1, -1, -32768, 32767}));
    // A streamed file's data size runs past the end: cut to whole frames in the file.
    const Bytes streamed =
        riff({fmt(1, 1, 8000, 8, 1), chunk("data", {0x80, 0x00, 0xFF}, 0xFFFFFFFF)}, 0xFFFFFFFF);
    ASSERT_TRUE(capture::parse_wav(streamed, &info, &error)) << error;
    EXPECT_EQ(info.data_bytes, 3u);
    EXPECT_EQ(capture::pcm_to_samples(streamed.data() + info.data_offset, 3, 8),
              (std::vector<std::int16_t>{0, -32768, 32512}));

    const Bytes no_data = chunk("data", {});
    const std::pair<Bytes, const char*> refused[] = {
        {cat({tag("RIFX"), le(0, 4), tag("WAVE"), tag("fmt ")}), "not a RIFF/WAVE file"},
        {tag("RIFF"), "not a RIFF/WAVE file"},
        {riff({fmt(3, 2, 48000, 32, 8), no_data}), "not PCM (format 3)"},
        {riff({fmt(1, 2, 48000, 24, 6), no_data}), "24-bit samples"},
        {riff({fmt(1, 6, 48000, 16, 12), no_data}), "6 channels"},
        {riff({fmt(1, 2, 48000, 16, 2), no_data}), "block alignment 2"},
        {riff({fmt(1, 1, 8000, 16, 2)}), "no data chunk"},
        {riff({no_data}), "data chunk before fmt chunk"},
        {riff({tag("fmt "), le(16, 4), le(1, 2)}), "truncated fmt chunk"}};
    for (const auto& [bytes, says] : refused) {
        error.clear();
        EXPECT_FALSE(capture::parse_wav(bytes, &info, &error)) << says;
        EXPECT_NE(error.find(says), std::string::npos) << error;
    }
}

// Runs a command line through the shell; its exit status.
int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every datagram waiting on the feed socket, converted as the service would under `f`.
std::string convert_received(int sock, const AudioFormat& f, int* datagrams) {
    std::string converted;
    std::uint8_t buf[65536 + kFeedSpareBytes], pcm[65536 + 1];
    *datagrams = 0;
    for (ssize_t got; *datagrams < 100000 && (got = recv(sock, buf, 65536, MSG_DONTWAIT)) > 0;) {
        ++*datagrams;
        std::memset(buf + got, 0, kFeedSpareBytes);
        std::uint32_t len = 0;
        EXPECT_EQ(parse_audio_feed(buf, static_cast<std::int32_t>(got), pcm, &len, &f), 1);
        converted.append(reinterpret_cast<const char*>(pcm), len);
    }
    return converted;
}

TEST(CaptureGen, StandInSendsWhatItRecordsInEveryLayout) {
    ASSERT_TRUE(enter_private_net());
    TempDir dir;
    dbg_to_screen();
    int sock = -1, datagrams = 0;
    ASSERT_GE(sockRxOpen("127.0.0.1", 18123, nullptr, nullptr, 0, &sock), 0);
    const std::string sim_capture =
        (std::string(AUDIO_EMULATOR).empty() ? "" : AUDIO_EMULATOR " ") +
        std::string(AUDIO_SIM_DIR "/sim_capture");
    const std::string send = sim_capture + " --fast --quiet --port 18123 ";
    for (const capture::LayoutInfo& info : capture::kLayouts) {
        SCOPED_TRACE(info.name);
        const std::string record = dir.file(std::string(info.name) + ".rec");
        ASSERT_EQ(run(send + "--count 7 --size 640 --rate 8000 --layout " + info.name +
                      " --record " + record),
                  0);
        const std::string converted =
            convert_received(sock, {info.source, info.bits, info.codec, 2, 8000}, &datagrams);
        EXPECT_EQ(datagrams, 7);
        EXPECT_EQ(converted.size(), 7u * 640u);
        EXPECT_TRUE(converted == read_file(record)) << "converted samples differ from the record";
    }
    // The default tone's record, big-endian: a 1 kHz sine left, cosine right.
    const std::string rec = read_file(dir.file("le16.rec"));
    for (std::size_t k = 0; k < rec.size() / 2; ++k)
        ASSERT_EQ(static_cast<std::int16_t>(static_cast<std::uint8_t>(rec[2 * k]) * 256 +
                                            static_cast<std::uint8_t>(rec[2 * k + 1])),
                  capture::tone_sample(1000, 0.5, 8000, k / 2, static_cast<std::uint32_t>(k % 2)))
            << k;

    // A WAV file goes out as its samples, the last datagram shorter; a raw file likewise.
    Bytes samples_le, want_be;
    for (std::uint32_t k = 0; k < 180; ++k) {
        const Bytes s = le((k * 300 - 20000) & 0xFFFF, 2);
        samples_le.insert(samples_le.end(), s.begin(), s.end());
        want_be.insert(want_be.end(), {s[1], s[0]});
    }
    const Bytes wav = riff({fmt(1, 1, 8000, 16, 2), chunk("data", samples_le)});
    const Bytes float_wav = riff({fmt(3, 2, 48000, 32, 8)});
    write_file(dir.file("in.wav"), std::string(wav.begin(), wav.end()));
    write_file(dir.file("in.raw"), std::string(samples_le.begin(), samples_le.end()));
    write_file(dir.file("float.wav"), std::string(float_wav.begin(), float_wav.end()));
    for (const std::string& source :
         {"--wav " + dir.file("in.wav"), "--raw " + dir.file("in.raw") + " --channels 1"}) {
        ASSERT_EQ(run(send + "--size 128 " + source), 0) << source;
        EXPECT_EQ(convert_received(sock, {0, 16, 1, 1, 8000}, &datagrams),
                  std::string(want_be.begin(), want_be.end()));
        EXPECT_EQ(datagrams, 3) << source;  // 128 + 128 + 104 bytes
    }
    for (const std::string& bad : {"--wav " + dir.file("float.wav"), std::string("--layout mp3"),
                                   std::string("--size 1921")})
        EXPECT_EQ(run(sim_capture + " " + bad + " 2>/dev/null"), 2) << bad;
    EXPECT_EQ(run(sim_capture + " --help >/dev/null"), 0);
}

}  // namespace
