// Interoperability of the RTP output with independent implementations: ffmpeg and
// GStreamer decode what the service sends back to the exact samples the capture stand-in
// fed it, and tshark dissects the RTP and RTCP without a malformed packet. Each test case
// runs in its own sandbox; everything travels on the sandbox's loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/appliance.h"
#include "support/rtp_scene.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool have_tool(const char* name) {
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

#define REQUIRE_TOOL(name)                                                                    \
    do {                                                                                      \
        if (!have_tool(name)) GTEST_SKIP() << name << " is not installed (scripts/setup.sh)"; \
    } while (0)

// Whether a UDP socket of this network namespace is bound to the port.
bool udp_port_bound(std::uint16_t port) {
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X ", port);
    std::istringstream in(file_text("/proc/net/udp"));
    for (std::string line; std::getline(in, line);)
        if (line.find(hex) != std::string::npos && line.find(hex) < 30) return true;
    return false;
}

// Two free ports p, p + 1 (RTP, then RTCP next to it, as ffmpeg expects).
std::uint16_t free_port_pair() {
    for (std::uint16_t p = 40000; p < 40200; p += 2)
        if (!udp_port_bound(p) && !udp_port_bound(static_cast<std::uint16_t>(p + 1))) return p;
    return 0;
}

std::string sdp_for(const std::string& rtpmap, std::uint16_t port) {
    return "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=audio\nc=IN IP4 127.0.0.1\nt=0 0\nm=audio " +
           std::to_string(port) + " RTP/AVP 98\n" + rtpmap + "\n";
}

// Stops a tool we started, the way a person would (Ctrl-C), so it writes out its data.
std::optional<int> interrupt(Process& p) {
    ::kill(p.pid(), SIGINT);
    std::optional<int> st = p.wait_exit(15s);
    return st ? st : p.kill();
}

// G.711 expansion to 16-bit linear (ITU-T G.711 segment/quantisation rules).
std::int16_t alaw_to_linear(std::uint8_t a) {
    a ^= 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    if (seg == 0)
        t += 8;
    else
        t = (t + 0x108) << (seg - 1);
    return static_cast<std::int16_t>((a & 0x80) ? t : -t);
}

std::int16_t ulaw_to_linear(std::uint8_t u) {
    u = static_cast<std::uint8_t>(~u);
    int t = ((u & 0x0F) << 3) + 0x84;
    t <<= (u & 0x70) >> 4;
    return static_cast<std::int16_t>((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

struct Case {
    std::vector<std::string> block;  // block assignments
    std::string rtpmap;
    std::vector<std::string> capture;             // format options of sim_capture
    std::size_t sent_bytes;                       // of the ~2 s of tone
    std::int16_t (*expand)(const std::uint8_t*);  // one sent sample to 16-bit linear
    std::size_t sample_bytes;
};

std::int16_t big_endian(const std::uint8_t* b) {
    return static_cast<std::int16_t>(b[0] << 8 | b[1]);
}
std::int16_t alaw(const std::uint8_t* b) { return alaw_to_linear(*b); }
std::int16_t ulaw(const std::uint8_t* b) { return ulaw_to_linear(*b); }

// The capture stand-in feeds ~2 s of a tone; ffmpeg receives the service's RTP from the
// SDP built with the service's own rtpmap line and writes 16-bit samples, which must be
// what the stand-in recorded as sent.
void expect_ffmpeg_bit_exact(const Case& c) {
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh)";
    Process service;
    ASSERT_EQ(start_rtp_scene(service, c.block, c.rtpmap), "");
    const std::uint16_t port = free_port_pair();
    ASSERT_NE(port, 0);
    write_file("/tmp/stream.sdp", sdp_for(c.rtpmap, port));

    Process ffmpeg;
    // ffmpeg ignores a first Ctrl-C while it waits for packets; it ends by itself once
    // none has come for listen_timeout seconds, which also bounds its wait for the first.
    ASSERT_TRUE(ffmpeg.start(
        "ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error", "-protocol_whitelist",
                   "file,udp,rtp", "-listen_timeout", "5", "-i", "/tmp/stream.sdp", "-f", "s16le",
                   "-c:a", "pcm_s16le", "-y", "/tmp/decoded.raw"}));
    ASSERT_TRUE(wait_until([&] { return udp_port_bound(port); }, 15s)) << ffmpeg.output();
    ASSERT_EQ(add_receiver(port, static_cast<std::uint16_t>(port + 1), "RTSP"), "");

    std::vector<std::string> args = c.capture;
    for (const char* a :
         {"--tone", "700", "--duration", "2", "--record", "/tmp/sent.raw", "--quiet"})
        args.push_back(a);
    const RunResult cap = run_standin("sim_capture", args, 30s);
    ASSERT_EQ(cap.status, 0) << cap.output;
    // Without the receiver nothing reaches ffmpeg any more, its sender reports included.
    ASSERT_EQ(del_receiver(port), "");
    EXPECT_EQ(ffmpeg.wait_exit(30s), std::optional<int>(0)) << ffmpeg.output();
    const Bytes decoded = file_bytes("/tmp/decoded.raw");
    const Bytes sent = file_bytes("/tmp/sent.raw");
    EXPECT_EQ(sent.size(), c.sent_bytes);
    Bytes want;  // little-endian, as ffmpeg writes s16le
    for (std::size_t i = 0; i + c.sample_bytes <= sent.size(); i += c.sample_bytes) {
        const std::int16_t v = c.expand(&sent[i]);
        want.push_back(static_cast<std::uint8_t>(v & 0xFF));
        want.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    }
    EXPECT_TRUE(decoded == want) << "decoded " << decoded.size() << " bytes, sent " << sent.size();
    EXPECT_TRUE(service.running());
}

TEST(RtpInterop, FfmpegDecodesL16StereoBitExact) {
    expect_ffmpeg_bit_exact({{},
                             "a=rtpmap:98 L16/48000/2",
                             {"--rate", "48000", "--channels", "2", "--size", "1920"},
                             2 * 48000 * 4,
                             big_endian,
                             2});
}

TEST(RtpInterop, FfmpegDecodesL16MonoBitExact) {
    expect_ffmpeg_bit_exact({{"audio_channel_mode=2"},
                             "a=rtpmap:98 L16/48000/1",
                             {"--rate", "48000", "--channels", "1", "--size", "960"},
                             2 * 48000 * 2,
                             big_endian,
                             2});
}

TEST(RtpInterop, FfmpegDecodesPcmaBitExact) {
    expect_ffmpeg_bit_exact(
        {{"audio_codec=2", "audio_rate_mode=2"},
         "a=rtpmap:98 PCMA/8000/2",
         {"--rate", "8000", "--channels", "2", "--layout", "alaw", "--size", "320"},
         2 * 8000 * 2,
         alaw,
         1});
}

TEST(RtpInterop, FfmpegDecodesPcmuBitExact) {
    expect_ffmpeg_bit_exact(
        {{"audio_codec=3", "audio_rate_mode=2", "audio_channel_mode=2"},
         "a=rtpmap:98 PCMU/8000/1",
         {"--rate", "8000", "--channels", "1", "--layout", "ulaw", "--size", "160"},
         2 * 8000,
         ulaw,
         1});
}

TEST(RtpInterop, G711ExpansionMatchesTheStandardsTable) {
    // Values of the ITU-T G.711 tables, independent of ffmpeg and of the service.
    EXPECT_EQ(std::vector<int>({alaw_to_linear(0xD5), alaw_to_linear(0x55), alaw_to_linear(0xAA),
                                alaw_to_linear(0x2A), ulaw_to_linear(0xFF), ulaw_to_linear(0x7F),
                                ulaw_to_linear(0x80), ulaw_to_linear(0x00)}),
              std::vector<int>({8, -8, 32256, -32256, 0, 0, 32124, -32124}));
}

TEST(RtpInterop, GstreamerDepaysL8BitExact) {
    REQUIRE_TOOL("gst-launch-1.0");
    // 8-bit linear exists only as the alternate settings' fixed format.
    Process service;
    const std::string rtpmap = "a=rtpmap:98 L8/48000/2";
    ASSERT_EQ(start_rtp_scene(service,
                              {"use_alt_settings=1", "alt_audio_source=3", "alt_audio_bits=8",
                               "alt_audio_codec=1", "alt_audio_channels=2", "alt_audio_rate=48000",
                               "alt_audio_output_mode=1", "alt_audio_enable=1"},
                              rtpmap),
              "");
    const std::uint16_t port = free_port_pair();
    ASSERT_NE(port, 0);
    UdpReceiver rtcp(static_cast<std::uint16_t>(port + 1));
    Process gst;
    ASSERT_TRUE(gst.start("gst-launch-1.0",
                          {"-e", "-q", "udpsrc", "port=" + std::to_string(port),
                           "caps=application/x-rtp,media=(string)audio,clock-rate=(int)48000,"
                           "encoding-name=(string)L8,channels=(int)2,payload=(int)98",
                           "!", "rtpL8depay", "!", "filesink", "location=/tmp/l8.raw"}));
    ASSERT_TRUE(wait_until([&] { return udp_port_bound(port); }, 15s)) << gst.output();
    ASSERT_EQ(add_receiver(port, static_cast<std::uint16_t>(port + 1), "RTSP"), "");

    const RunResult cap =
        run_standin("sim_capture",
                    {"--tone", "500", "--rate", "48000", "--channels", "2", "--layout", "u8",
                     "--size", "960", "--duration", "2", "--record", "/tmp/sent.raw", "--quiet"},
                    30s);
    ASSERT_EQ(cap.status, 0) << cap.output;
    std::this_thread::sleep_for(1s);
    interrupt(gst);
    const Bytes got = file_bytes("/tmp/l8.raw");
    const Bytes sent = file_bytes("/tmp/sent.raw");
    EXPECT_EQ(sent.size(), 2u * 48000u * 2u);
    EXPECT_TRUE(got == sent) << "depayloaded " << got.size() << " bytes, sent " << sent.size();
    EXPECT_TRUE(service.running());
}

TEST(RtpInterop, TsharkFindsNoMalformedPacketAndReadsTheSenderReports) {
    REQUIRE_TOOL("tshark");
    Process service;
    ASSERT_EQ(start_rtp_scene(service, {}, "a=rtpmap:98 L16/48000/2"), "");
    UdpReceiver rtp, rtcp;
    Process capture;
    // tshark says "Capturing on" before its capture child really listens; the scene
    // starts only once a probe datagram shows up in its packet lines (-P, line-buffered).
    ASSERT_TRUE(capture.start("tshark", {"-i", "lo", "-f", "udp and not port 18005", "-l", "-P",
                                         "-w", "/tmp/rtp.pcapng"}));
    const bool listening = wait_until(
        [&] {
            send_udp(9, "capture-probe", 13);
            return capture.wait_output("Len=13", 200ms);
        },
        30s);
    ASSERT_TRUE(listening) << capture.output();
    ASSERT_EQ(add_receiver(rtp.port(), rtcp.port(), "RTSP"), "");

    // 3080-byte datagrams: every third packet carries a 160-byte tail.
    const RunResult cap = run_standin(
        "sim_capture", {"--tone", "1000", "--size", "3080", "--duration", "4", "--quiet"}, 30s);
    ASSERT_EQ(cap.status, 0) << cap.output;
    std::this_thread::sleep_for(500ms);
    interrupt(capture);

    const std::string decode_as = "udp.port==" + std::to_string(rtp.port()) + ",rtp";
    const std::string decode_rtcp = "udp.port==" + std::to_string(rtcp.port()) + ",rtcp";
    auto tshark = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"-r", "/tmp/rtp.pcapng", "-d", decode_as,
                                         "-d", decode_rtcp};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_program("/usr/bin/tshark", args, 60s);
    };
    const RunResult malformed = tshark({"-Y", "_ws.malformed || _ws.expert.severity >= \"error\""});
    ASSERT_EQ(malformed.status, 0) << malformed.output;
    EXPECT_EQ(malformed.output.find("udp"), std::string::npos) << malformed.output;
    EXPECT_EQ(malformed.output.find("RTP"), std::string::npos) << malformed.output;

    // It did dissect the RTP: one line per packet of the 4 s (3 packets per 16 ms).
    const RunResult seqs = tshark({"-Y", "rtp.p_type == 98", "-T", "fields", "-e", "rtp.seq"});
    EXPECT_GE(std::count(seqs.output.begin(), seqs.output.end(), '\n'), 600) << seqs.output;

    const RunResult sr = tshark({"-Y", "rtcp.pt == 200", "-T", "fields", "-e", "rtcp.senderssrc",
                                 "-e", "rtcp.sender.packetcount", "-e", "rtcp.sender.octetcount",
                                 "-e", "rtcp.length", "-e", "rtcp.sdes.text"});
    std::vector<std::string> reports;
    std::istringstream sr_lines(sr.output);
    for (std::string line; std::getline(sr_lines, line);)
        if (line.rfind("Running as", 0) != 0) reports.push_back(line);
    ASSERT_GE(reports.size(), 3u) << sr.output;
    // Both packets of the compound carry a length field: 6 for the report, 5 for the SDES.
    EXPECT_EQ(reports[0], "0x12345680\t0\t0\t6,5\tvemu_audio");
    EXPECT_EQ(reports[1], "0x12345680\t0\t0\t6,5\tvemu_audio");
    EXPECT_NE(reports[2].find("\t6,5\tvemu_audio"), std::string::npos) << reports[2];
    EXPECT_TRUE(service.running());
}

}  // namespace
