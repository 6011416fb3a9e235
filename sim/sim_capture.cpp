// sim_capture: stands in for the appliance's capture process. Sends a tone, a WAV file or
// raw PCM to the service's audio feed (UDP 127.0.0.1:18005) in datagrams of a chosen size
// and layout, at real-time pace or as fast as possible, and can record the exact bytes
// the service should make of them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "capture_gen.h"

namespace {

constexpr std::uint64_t kForever = std::numeric_limits<std::uint64_t>::max();
constexpr int kMaxDatagram = 65507;

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage(FILE* out) {
    std::fputs(
        "usage: sim_capture [options]\n"
        "Sends audio to the service's feed on 127.0.0.1 like the capture process does.\n"
        "\n"
        "Source (a 1000 Hz tone when none is given):\n"
        "  --tone HZ           sine tone (left channel sine, right channel cosine)\n"
        "  --amplitude A       tone peak as a fraction of full scale, 0 < A <= 1 (0.5)\n"
        "  --wav FILE          WAV file: PCM 16-bit or 8-bit, mono or stereo; sets the\n"
        "                      sample rate and channel count\n"
        "  --raw FILE          headerless PCM: 8-bit unsigned for --layout u8, else\n"
        "                      16-bit little-endian signed\n"
        "  --loop              start a file again at its end instead of stopping\n"
        "\n"
        "Format:\n"
        "  --rate HZ           sample rate of a tone or raw file (48000)\n"
        "  --channels N        1 or 2, for a tone or raw file (2)\n"
        "  --layout L          datagram layout (le16):\n"
        "                        le16   16-bit little-endian (HDSDI-I2S, HDMI-I2S, ADC-I2S)\n"
        "                        spdif  HDMI-SPDIF overlapping 4-byte words\n"
        "                        u8     8-bit linear (offset 128)\n"
        "                        alaw   8-bit G.711 A-law (PCMA)\n"
        "                        ulaw   8-bit G.711 mu-law (PCMU)\n"
        "\n"
        "Sending:\n"
        "  --port P            destination port on 127.0.0.1 (18005)\n"
        "  --size BYTES        datagram size, a multiple of the sample width (1920 = 10 ms\n"
        "                      of 48 kHz 16-bit stereo)\n"
        "  --count N           send N datagrams\n"
        "  --duration SEC      send SEC seconds of audio (rounded up to whole datagrams)\n"
        "  --fast              as fast as possible instead of real-time pace\n"
        "  --record FILE       also write what the service should make of the datagrams:\n"
        "                      16-bit samples big-endian, 8-bit bytes as sent\n"
        "  --quiet             no summary line\n"
        "  --help              this text\n"
        "\n"
        "Without --count or --duration a tone runs until interrupted and a file until its\n"
        "end. At the end one line gives the datagrams, bytes and seconds sent.\n",
        out);
}

[[noreturn]] void fail(const char* format, const char* arg) {
    std::fprintf(stderr, "sim_capture: ");
    std::fprintf(stderr, format, arg);
    std::fputc('\n', stderr);
    std::exit(2);
}

double number(const char* option, const char* text) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0) fail("%s: not a number", option);
    return v;
}

std::uint64_t whole(const char* option, const char* text, std::uint64_t max) {
    const double v = number(option, text);
    if (v < 0 || v > static_cast<double>(max) ||
        v != static_cast<double>(static_cast<std::uint64_t>(v)))
        fail("%s: out of range", option);
    return static_cast<std::uint64_t>(v);
}

struct Options {
    double tone_hz = 1000.0;
    double amplitude = 0.5;
    std::string wav_path;
    std::string raw_path;
    bool loop = false;
    std::uint32_t rate = 48000;
    std::uint32_t channels = 2;
    bool rate_given = false;
    bool channels_given = false;
    const capture::LayoutInfo* layout = &capture::kLayouts[0];
    std::uint16_t port = 18005;
    std::size_t size = 1920;
    std::uint64_t count = kForever;
    double duration = -1;
    bool fast = false;
    std::string record_path;
    bool quiet = false;
};

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            usage(stdout);
            std::exit(0);
        }
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail("%s needs a value", argv[i]);
            return argv[++i];
        };
        if (opt == "--tone") {
            o.tone_hz = number("--tone", value());
            if (o.tone_hz <= 0) fail("%s: must be positive", "--tone");
        } else if (opt == "--amplitude") {
            o.amplitude = number("--amplitude", value());
            if (o.amplitude <= 0 || o.amplitude > 1) fail("%s: must be in (0, 1]", "--amplitude");
        } else if (opt == "--wav") {
            o.wav_path = value();
        } else if (opt == "--raw") {
            o.raw_path = value();
        } else if (opt == "--loop") {
            o.loop = true;
        } else if (opt == "--rate") {
            o.rate = static_cast<std::uint32_t>(whole("--rate", value(), 384000));
            if (o.rate == 0) fail("%s: must be positive", "--rate");
            o.rate_given = true;
        } else if (opt == "--channels") {
            o.channels = static_cast<std::uint32_t>(whole("--channels", value(), 2));
            if (o.channels == 0) fail("%s: 1 or 2", "--channels");
            o.channels_given = true;
        } else if (opt == "--layout") {
            const char* name = value();
            o.layout = capture::find_layout(name);
            if (!o.layout) fail("unknown layout '%s' (le16, spdif, u8, alaw, ulaw)", name);
        } else if (opt == "--port") {
            o.port = static_cast<std::uint16_t>(whole("--port", value(), 65535));
            if (o.port == 0) fail("%s: must not be 0", "--port");
        } else if (opt == "--size") {
            o.size = static_cast<std::size_t>(whole("--size", value(), kMaxDatagram));
            if (o.size == 0) fail("%s: must be positive", "--size");
        } else if (opt == "--count") {
            o.count = whole("--count", value(), kForever - 1);
        } else if (opt == "--duration") {
            o.duration = number("--duration", value());
            if (o.duration < 0) fail("%s: must not be negative", "--duration");
        } else if (opt == "--fast") {
            o.fast = true;
        } else if (opt == "--record") {
            o.record_path = value();
        } else if (opt == "--quiet") {
            o.quiet = true;
        } else {
            fail("unknown option '%s' (see --help)", opt.c_str());
        }
    }
    if (!o.wav_path.empty() && !o.raw_path.empty())
        fail("%s", "--wav and --raw exclude each other");
    if (o.size % static_cast<std::size_t>(o.layout->wire_bytes) != 0)
        fail("%s: must be a multiple of the sample width", "--size");
    return o;
}

std::vector<std::uint8_t> read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot open '%s'", path.c_str());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

capture::SampleSource load_source(Options& o) {
    capture::SampleSource src;
    if (!o.wav_path.empty()) {
        const std::vector<std::uint8_t> file = read_whole(o.wav_path);
        capture::WavInfo info;
        std::string error;
        if (!capture::parse_wav(file, &info, &error))
            fail("%s", (o.wav_path + ": " + error).c_str());
        if ((o.rate_given && o.rate != info.sample_rate) ||
            (o.channels_given && o.channels != info.channels))
            fail("%s: --rate/--channels differ from the file's own", o.wav_path.c_str());
        o.rate = info.sample_rate;
        o.channels = info.channels;
        src.is_tone = false;
        src.samples =
            capture::pcm_to_samples(file.data() + info.data_offset, info.data_bytes, info.bits);
    } else if (!o.raw_path.empty()) {
        const std::vector<std::uint8_t> file = read_whole(o.raw_path);
        src.is_tone = false;
        src.samples = capture::pcm_to_samples(file.data(), file.size(),
                                              o.layout->layout == capture::Layout::u8 ? 8 : 16);
    }
    if (!src.is_tone && src.samples.empty()) fail("%s", "the file holds no samples");
    return src;
}

std::timespec add_ns(std::timespec t, std::uint64_t ns) {
    const std::uint64_t total = static_cast<std::uint64_t>(t.tv_nsec) + ns % 1000000000u;
    t.tv_sec += static_cast<std::time_t>(ns / 1000000000u + total / 1000000000u);
    t.tv_nsec = static_cast<long>(total % 1000000000u);
    return t;
}

double seconds_between(const std::timespec& a, const std::timespec& b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) +
           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    capture::SampleSource src = load_source(o);

    const auto width = static_cast<std::size_t>(o.layout->wire_bytes);
    const std::uint64_t bytes_per_sec = std::uint64_t{o.rate} * o.channels * width;
    if (o.duration >= 0) {
        const double datagrams = std::ceil(o.duration * static_cast<double>(bytes_per_sec) /
                                           static_cast<double>(o.size));
        o.count = datagrams >= static_cast<double>(kForever)
                      ? kForever - 1
                      : static_cast<std::uint64_t>(datagrams);
    }

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) fail("socket: %s", std::strerror(errno));
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dest.sin_port = htons(o.port);

    FILE* record = nullptr;
    if (!o.record_path.empty() && !(record = std::fopen(o.record_path.c_str(), "wb")))
        fail("cannot write '%s'", o.record_path.c_str());

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    std::vector<std::int16_t> samples(o.size / width);
    std::vector<std::uint8_t> wire(o.size);
    std::vector<std::uint8_t> expected(o.size);
    std::uint64_t sent = 0, bytes = 0, send_errors = 0;
    std::timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);

    for (; sent < o.count && !g_stop; ++sent) {
        const std::size_t n =
            capture::fill_samples(src, {o.tone_hz, o.amplitude, o.rate, o.channels}, o.loop,
                                  samples.data(), samples.size());
        if (n == 0) break;
        capture::encode_datagram(o.layout->layout, samples.data(), n, wire.data(), expected.data());
        const std::size_t len = n * width;
        if (!o.fast) {
            const std::timespec due = add_ns(start, capture::schedule_ns(bytes, bytes_per_sec));
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR &&
                   !g_stop) {
            }
            if (g_stop) break;
        }
        if (sendto(sock, wire.data(), len, 0, reinterpret_cast<const sockaddr*>(&dest),
                   sizeof dest) != static_cast<ssize_t>(len))
            ++send_errors;
        if (record) std::fwrite(expected.data(), 1, len, record);
        bytes += len;
        if (n < samples.size()) {
            ++sent;
            break;
        }
    }

    std::timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (record) std::fclose(record);
    close(sock);
    if (!o.quiet) {
        const std::string errors =
            send_errors ? ", " + std::to_string(send_errors) + " send errors" : std::string();
        std::printf("sim_capture: %llu datagrams, %llu bytes, %.3f s of audio in %.3f s%s\n",
                    static_cast<unsigned long long>(sent), static_cast<unsigned long long>(bytes),
                    static_cast<double>(capture::schedule_ns(bytes, bytes_per_sec)) / 1e9,
                    seconds_between(start, end), errors.c_str());
    }
    return send_errors ? 1 : 0;
}
