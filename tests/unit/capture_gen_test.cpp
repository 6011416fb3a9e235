// The capture stand-in: its G.711 coders against the standard's segment tables, its WAV
// reader on hand-built and ffmpeg-made files, its pacing schedule, and the program itself
// sending to a real feed socket whose datagrams the service's converter turns back into
// the samples it recorded.
#include "capture_gen.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/audio_feed.h"
#include "core/debug_log.h"
#include "net/udp_socket.h"
#include "support/isolation.h"
#include "support/temp_dir.h"

namespace {

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// mu-law from G.711's decision table on 14-bit magnitudes: the first interval of segment 0
// is 1 wide and the other 15 are 2 wide; segment s > 0 starts at 31, 95, 223, ... with
// intervals 2^(s+1) wide; 8159 and beyond take the top code. Negative samples are coded
// from their one's complement.
std::uint8_t ulaw_by_table(std::int16_t sample) {
    const int v14 = sample >> 2;
    const bool negative = v14 < 0;
    const int m = negative ? -v14 - 1 : v14;
    static constexpr int kStart[8] = {0, 31, 95, 223, 479, 991, 2015, 4063};
    int seg = 7, idx = 15;
    if (m < 8159) {
        seg = 0;
        while (seg < 7 && m >= kStart[seg + 1]) ++seg;
        idx = seg == 0 ? (m + 1) / 2 : (m - kStart[seg]) / (2 << seg);
    }
    const int code = 0x7F - (seg * 16 + idx);
    return static_cast<std::uint8_t>(negative ? code : code | 0x80);
}

// A-law from G.711's table on 13-bit magnitudes: segments 0 and 1 have 16 intervals of 2
// from 0 and 32, segment s > 1 starts at 2^(s+4) with intervals 2^s wide; even bits are
// inverted (0x55) and the sign bit is set for positive samples.
std::uint8_t alaw_by_table(std::int16_t sample) {
    const int v13 = sample >> 3;
    const bool negative = v13 < 0;
    const int m = negative ? -v13 - 1 : v13;
    int seg = 0;
    while (seg < 7 && m >= (32 << seg)) ++seg;
    const int idx = seg == 0 ? m / 2 : (m - (16 << seg)) / (seg == 1 ? 2 : 1 << seg);
    const int code = (seg * 16 + idx) ^ 0x55;
    return static_cast<std::uint8_t>(negative ? code : code | 0x80);
}

TEST(CaptureGen, G711CodersFollowTheSegmentTables) {
    // Anchors: silence, the smallest negative, both extremes.
    EXPECT_EQ(capture::linear_to_ulaw(0), 0xFF);
    EXPECT_EQ(capture::linear_to_ulaw(-1), 0x7F);
    EXPECT_EQ(capture::linear_to_ulaw(32767), 0x80);
    EXPECT_EQ(capture::linear_to_ulaw(-32768), 0x00);
    EXPECT_EQ(capture::linear_to_alaw(0), 0xD5);
    EXPECT_EQ(capture::linear_to_alaw(-1), 0x55);
    EXPECT_EQ(capture::linear_to_alaw(32767), 0xAA);
    EXPECT_EQ(capture::linear_to_alaw(-32768), 0x2A);
    int ulaw_mismatches = 0, alaw_mismatches = 0;
    for (int x = -32768; x <= 32767; ++x) {
        const auto s = static_cast<std::int16_t>(x);
        if (capture::linear_to_ulaw(s) != ulaw_by_table(s) && ++ulaw_mismatches < 5)
            ADD_FAILURE() << "mu-law of " << x;
        if (capture::linear_to_alaw(s) != alaw_by_table(s) && ++alaw_mismatches < 5)
            ADD_FAILURE() << "A-law of " << x;
    }
    EXPECT_EQ(ulaw_mismatches, 0);
    EXPECT_EQ(alaw_mismatches, 0);
}

TEST(CaptureGen, LinearEightBitAndToneBasics) {
    EXPECT_EQ(capture::linear_to_u8(0), 128);
    EXPECT_EQ(capture::linear_to_u8(-32768), 0);
    EXPECT_EQ(capture::linear_to_u8(32767), 255);
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(capture::linear_to_u8(capture::u8_to_linear(static_cast<std::uint8_t>(b))), b);

    // 12 kHz at 48 kHz: a quarter period per frame; right channel 90 degrees ahead.
    const std::int16_t left[4] = {0, 16384, 0, -16384};
    const std::int16_t right[4] = {16384, 0, -16384, 0};
    for (std::uint64_t n = 0; n < 8; ++n) {
        EXPECT_EQ(capture::tone_sample(12000, 0.5, 48000, n, 0), left[n % 4]) << n;
        EXPECT_EQ(capture::tone_sample(12000, 0.5, 48000, n, 1), right[n % 4]) << n;
    }
    // The libm-free sine against known values and sin^2 + cos^2 = 1.
    EXPECT_NEAR(capture::sin_by_quadrant(0, 1.0 / 3), 0.5, 1e-15);
    EXPECT_NEAR(capture::sin_by_quadrant(0, 0.5), 0.70710678118654752440, 1e-15);
    EXPECT_NEAR(capture::sin_by_quadrant(1, 2.0 / 3), 0.5, 1e-15);
    EXPECT_NEAR(capture::sin_by_quadrant(2, 1.0 / 3), -0.5, 1e-15);
    EXPECT_NEAR(capture::sin_by_quadrant(3, 0.5), -0.70710678118654752440, 1e-15);
    for (int i = 0; i <= 64; ++i) {
        const double x = 1.5707963267948966 * i / 64;
        const double sn = capture::sin_quarter(x), cs = capture::cos_quarter(x);
        EXPECT_NEAR(sn * sn + cs * cs, 1.0, 1e-15) << x;
    }
    // A fractional frequency takes the floating-point path: 0.5 Hz at 4 Hz, 1/8 turn a frame.
    EXPECT_EQ(capture::tone_sample(0.5, 1.0, 4, 2, 0), 32767);
    EXPECT_EQ(capture::tone_sample(0.5, 1.0, 4, 1, 0), 23170);  // 32767 / sqrt(2), rounded
    // Hours into a whole-hertz tone the phase is still exact.
    EXPECT_EQ(capture::tone_sample(12000, 1.0, 48000, 48000ull * 3600 * 5 + 1, 0), 32767);
}

TEST(CaptureGen, PacingScheduleIsAbsoluteAndExact) {
    struct Row {
        std::uint64_t bytes_before, bytes_per_sec, ns;
    } rows[] = {
        {0, 192000, 0},
        {1920, 192000, 10000000},                   // 10 ms of 48 kHz 16-bit stereo
        {1920ull * 360000, 192000, 3600000000000},  // an hour on the dot
        {1920, 176400, 10884353},                   // 44.1 kHz: 10.884353741 ms, cut
        {1920ull * 100, 176400, 1088435374},        // not 100 x the cut value
        {160, 8000, 20000000},                      // 20 ms of 8 kHz G.711
    };
    for (const Row& r : rows)
        EXPECT_EQ(capture::schedule_ns(r.bytes_before, r.bytes_per_sec), r.ns);
}

// Minimal RIFF writer for the tests, byte by byte.
struct WavBuilder {
    std::vector<std::uint8_t> b;
    void tag(const char* t) { b.insert(b.end(), t, t + 4); }
    void u16(std::uint32_t v) {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void fmt(std::uint32_t format, std::uint32_t channels, std::uint32_t rate, std::uint32_t bits,
             std::uint32_t align) {
        tag("fmt ");
        u32(16);
        u16(format);
        u16(channels);
        u32(rate);
        u32(rate * align);
        u16(align);
        u16(bits);
    }
};

TEST(CaptureGen, WavReaderWalksChunksAndRefusesWhatItCannotSend) {
    // RIFF, an odd-sized LIST chunk with its pad byte, fmt (16-bit stereo 48 kHz), data.
    WavBuilder w;
    w.tag("RIFF");
    w.u32(0);
    w.tag("WAVE");
    w.tag("LIST");
    w.u32(3);
    w.b.insert(w.b.end(), {'a', 'b', 'c', 0});
    w.fmt(1, 2, 48000, 16, 4);
    w.tag("data");
    w.u32(8);
    w.b.insert(w.b.end(), {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F});
    capture::WavInfo info;
    std::string error;
    ASSERT_TRUE(capture::parse_wav(w.b, &info, &error)) << error;
    EXPECT_EQ(info.channels, 2u);
    EXPECT_EQ(info.sample_rate, 48000u);
    EXPECT_EQ(info.bits, 16u);
    EXPECT_EQ(info.data_offset, 12u + 12u + 24u + 8u);
    EXPECT_EQ(info.data_bytes, 8u);
    EXPECT_EQ(capture::pcm_to_samples(w.b.data() + info.data_offset, info.data_bytes, 16),
              (std::vector<std::int16_t>{1, -1, -32768, 32767}));

    // A streamed file's data size runs past the end: cut to whole frames in the file.
    WavBuilder s;
    s.tag("RIFF");
    s.u32(0xFFFFFFFF);
    s.tag("WAVE");
    s.fmt(1, 1, 8000, 8, 1);
    s.tag("data");
    s.u32(0xFFFFFFFF);
    s.b.insert(s.b.end(), {0x80, 0x00, 0xFF});
    ASSERT_TRUE(capture::parse_wav(s.b, &info, &error)) << error;
    EXPECT_EQ(info.data_bytes, 3u);
    EXPECT_EQ(capture::pcm_to_samples(s.b.data() + info.data_offset, 3, 8),
              (std::vector<std::int16_t>{0, -32768, 32512}));

    auto with_fmt = [](std::uint32_t format, std::uint32_t channels, std::uint32_t bits,
                       std::uint32_t align) {
        WavBuilder r;
        r.tag("RIFF");
        r.u32(0);
        r.tag("WAVE");
        r.fmt(format, channels, 48000, bits, align);
        r.tag("data");
        r.u32(0);
        return r.b;
    };
    struct Refused {
        const char* why;
        std::vector<std::uint8_t> file;
        const char* says;
    } refused[] = {
        {"not RIFF", bytes_of(std::string("RIFX\0\0\0\0WAVEfmt ", 16)), "not a RIFF/WAVE file"},
        {"too short", bytes_of("RIFF"), "not a RIFF/WAVE file"},
        {"float", with_fmt(3, 2, 32, 8), "not PCM (format 3)"},
        {"24-bit", with_fmt(1, 2, 24, 6), "24-bit samples"},
        {"six channels", with_fmt(1, 6, 16, 12), "6 channels"},
        {"bad alignment", with_fmt(1, 2, 16, 2), "block alignment 2"},
        {"no data",
         bytes_of(std::string(
             "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 36)),
         "no data chunk"},
        {"no fmt", bytes_of(std::string("RIFF\0\0\0\0WAVEdata\0\0\0\0", 20)),
         "data chunk before fmt chunk"},
        {"truncated fmt", bytes_of(std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0", 22)),
         "truncated fmt chunk"},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.why);
        error.clear();
        EXPECT_FALSE(capture::parse_wav(r.file, &info, &error));
        EXPECT_NE(error.find(r.says), std::string::npos) << error;
    }
}

// Runs a command line through the shell; its exit status.
int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string sim_capture() {
    const std::string emulator = AUDIO_EMULATOR;
    return (emulator.empty() ? "" : emulator + " ") + AUDIO_SIM_DIR "/sim_capture";
}

TEST(CaptureGen, WavReaderAgreesWithFfmpeg) {
    if (run("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    for (const char* codec : {"pcm_s16le", "pcm_u8"}) {
        SCOPED_TRACE(codec);
        const std::string wav = dir.file(std::string(codec) + ".wav");
        const std::string raw = dir.file(std::string(codec) + ".raw");
        const std::string fmt = std::string(codec) == "pcm_u8" ? "u8" : "s16le";
        ASSERT_EQ(
            run("ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=0.2 "
                "-ac 2 -c:a " +
                std::string(codec) + " " + wav + " -ac 2 -f " + fmt + " " + raw),
            0);
        const std::string file = read_file(wav);
        const std::vector<std::uint8_t> bytes(file.begin(), file.end());
        capture::WavInfo info;
        std::string error;
        ASSERT_TRUE(capture::parse_wav(bytes, &info, &error)) << error;
        EXPECT_EQ(info.sample_rate, 44100u);
        EXPECT_EQ(info.channels, 2u);
        const std::string pcm = read_file(raw);
        ASSERT_EQ(info.data_bytes, pcm.size());
        EXPECT_EQ(std::string(file, info.data_offset, info.data_bytes), pcm);
    }
}

// Receives every datagram the stand-in sent into the feed socket and converts each as the
// service would under the layout's AudioFormat.
std::string convert_received(int sock, const AudioFormat& f, int* datagrams) {
    std::string converted;
    std::uint8_t buf[65536 + kFeedSpareBytes];
    std::uint8_t pcm[65536 + 1];
    *datagrams = 0;
    for (int i = 0; i < 100000; ++i) {
        const ssize_t got = recv(sock, buf, 65536, MSG_DONTWAIT);
        if (got <= 0) break;
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
    int sock = -1;
    ASSERT_GE(sockRxOpen("127.0.0.1", 18123, nullptr, nullptr, 0, &sock), 0);
    for (const capture::LayoutInfo& info : capture::kLayouts) {
        SCOPED_TRACE(info.name);
        const std::string record = dir.file(std::string(info.name) + ".rec");
        ASSERT_EQ(run(sim_capture() +
                      " --fast --quiet --port 18123 --count 7 --size 640 --rate 8000 --layout " +
                      info.name + " --record " + record),
                  0);
        int datagrams = 0;
        const AudioFormat f{info.source, info.bits, info.codec, 2, 8000};
        const std::string converted = convert_received(sock, f, &datagrams);
        EXPECT_EQ(datagrams, 7);
        EXPECT_EQ(converted.size(), 7u * 640u);
        EXPECT_TRUE(converted == read_file(record)) << "converted samples differ from the record";
        if (info.layout == capture::Layout::le16) {
            // The record is the tone itself, big-endian: left sine, right cosine.
            const std::string rec = read_file(record);
            ASSERT_EQ(rec.size(), 7u * 640u);
            for (std::size_t k = 0; k < rec.size() / 2; ++k) {
                const auto s =
                    static_cast<std::int16_t>(static_cast<std::uint8_t>(rec[2 * k]) * 256 +
                                              static_cast<std::uint8_t>(rec[2 * k + 1]));
                ASSERT_EQ(s, capture::tone_sample(1000, 0.5, 8000, k / 2,
                                                  static_cast<std::uint32_t>(k % 2)))
                    << k;
            }
        }
    }

    // A WAV file goes out as its samples, the last datagram shorter; a raw file likewise.
    WavBuilder w;
    w.tag("RIFF");
    w.u32(0);
    w.tag("WAVE");
    w.fmt(1, 1, 8000, 16, 2);
    w.tag("data");
    w.u32(360);
    for (int k = 0; k < 180; ++k) w.u16(static_cast<std::uint32_t>(k * 300 - 20000) & 0xFFFF);
    write_file(dir.file("in.wav"), std::string(w.b.begin(), w.b.end()));
    write_file(dir.file("in.raw"), std::string(w.b.begin() + 44, w.b.end()));
    const std::vector<std::uint8_t> samples_le(w.b.begin() + 44, w.b.end());
    std::string want;  // the same samples, big-endian
    for (std::size_t i = 0; i < samples_le.size(); i += 2) {
        want.push_back(static_cast<char>(samples_le[i + 1]));
        want.push_back(static_cast<char>(samples_le[i]));
    }
    for (const std::string& source :
         {"--wav " + dir.file("in.wav"), "--raw " + dir.file("in.raw") + " --channels 1"}) {
        SCOPED_TRACE(source);
        ASSERT_EQ(run(sim_capture() + " --fast --quiet --port 18123 --size 128 " + source), 0);
        int datagrams = 0;
        const std::string converted =
            convert_received(sock, AudioFormat{0, 16, 1, 1, 8000}, &datagrams);
        EXPECT_EQ(datagrams, 3);  // 128 + 128 + 104 bytes
        EXPECT_EQ(converted, want);
    }

    // Clear refusals.
    WavBuilder f;
    f.tag("RIFF");
    f.u32(0);
    f.tag("WAVE");
    f.fmt(3, 2, 48000, 32, 8);
    write_file(dir.file("float.wav"), std::string(f.b.begin(), f.b.end()));
    EXPECT_EQ(run(sim_capture() + " --wav " + dir.file("float.wav") + " 2>/dev/null"), 2);
    EXPECT_EQ(run(sim_capture() + " --layout mp3 2>/dev/null"), 2);
    EXPECT_EQ(run(sim_capture() + " --size 1921 2>/dev/null"), 2);
    EXPECT_EQ(run(sim_capture() + " --help >/dev/null"), 0);
}

}  // namespace
