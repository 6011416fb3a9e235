// Interoperability of the RTP output with independent implementations: ffmpeg and
// GStreamer decode what the service sends back to the exact samples the capture stand-in
// fed it, and tshark dissects the RTP and RTCP without a malformed packet. Each test case
// runs in its own sandbox; everything travels on the sandbox's loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/appliance.h"
#include "support/rtp_receivers.h"
#include "support/rtp_scene.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kPort = 5004;  // RTP; RTCP next to it, as ffmpeg expects

bool have(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Whether a UDP socket of this network namespace is bound to the port.
bool udp_port_bound(std::uint16_t port) {
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X ", port);
    for (const std::string& line : split_lines(file_text("/proc/net/udp")))
        if (line.find(hex) < 30) return true;
    return false;
}

// Stops a tool we started, the way a person would (Ctrl-C), so it writes out its data.
std::optional<int> interrupt(Process& p) {
    ::kill(p.pid(), SIGINT);
    std::optional<int> st = p.wait_exit(15s);
    return st ? st : p.kill();
}

}  // namespace

TEST(RtpInterop, FfmpegDecodesL16AndG711BitExact) {
    if (!have("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh)";
    const auto ffmpeg_args = [](std::vector<std::string> input, const char* out) {
        input.insert(input.begin(), {"-nostdin", "-hide_banner", "-loglevel", "error"});
        input.insert(input.end(), {"-f", "s16le", "-c:a", "pcm_s16le", "-y", out});
        return input;
    };
    using Words = std::vector<std::string>;
    // Block settings, the rtpmap the service must write, the capture's format, and
    // ffmpeg's reading of the samples recorded as sent (the reference).
    const struct {
        Words block;
        std::string rtpmap;
        Words capture, raw;
    } cases[] = {
        // clang-format off
        {{}, "L16/48000/2", {"--size", "1920"}, {"-f", "s16be", "-ar", "48000", "-ac", "2"}},
        {{"audio_channel_mode=2"}, "L16/48000/1", {"--channels", "1", "--size", "960"},
         {"-f", "s16be", "-ar", "48000", "-ac", "1"}},
        {{"audio_codec=2", "audio_rate_mode=2"}, "PCMA/8000/2",
         {"--rate", "8000", "--layout", "alaw", "--size", "320"}, {"-f", "alaw", "-ar", "8000", "-ac", "2"}},
        {{"audio_codec=3", "audio_rate_mode=2", "audio_channel_mode=2"}, "PCMU/8000/1",
         {"--rate", "8000", "--channels", "1", "--layout", "ulaw", "--size", "160"},
         {"-f", "mulaw", "-ar", "8000", "-ac", "1"}}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rtpmap);
        const std::string rtpmap = "a=rtpmap:98 " + c.rtpmap;
        Process service, ffmpeg;
        ASSERT_EQ(start_rtp_scene(service, c.block, rtpmap), "");
        write_file("/tmp/stream.sdp",
                   "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=audio\nc=IN IP4 127.0.0.1\nt=0 0\nm=audio " +
                       std::to_string(kPort) + " RTP/AVP 98\n" + rtpmap + "\n");
        // ffmpeg ignores a first Ctrl-C while it waits for packets; it ends by itself once
        // none has come for listen_timeout seconds, which also bounds its wait for the first.
        ASSERT_TRUE(
            ffmpeg.start("ffmpeg", ffmpeg_args({"-protocol_whitelist", "file,udp,rtp",
                                                "-listen_timeout", "5", "-i", "/tmp/stream.sdp"},
                                               "/tmp/decoded.raw")));
        ASSERT_TRUE(wait_until([&] { return udp_port_bound(kPort); }, 15s)) << ffmpeg.output();
        ASSERT_EQ(add_receiver(kPort, kPort + 1, "RTSP"), "");
        Words tone = c.capture;
        tone.insert(tone.end(),
                    {"--tone", "700", "--duration", "2", "--record", "/tmp/sent.raw", "--quiet"});
        const RunResult cap = run_standin("sim_capture", tone, 30s);
        ASSERT_EQ(cap.status, 0) << cap.output;
        // Without the receiver nothing reaches ffmpeg any more, its sender reports included.
        ASSERT_EQ(del_receiver(kPort), "");
        EXPECT_EQ(ffmpeg.wait_exit(30s), std::optional<int>(0)) << ffmpeg.output();
        Words raw = c.raw;
        raw.insert(raw.end(), {"-i", "/tmp/sent.raw"});
        const RunResult want =
            run_program("/usr/bin/ffmpeg", ffmpeg_args(raw, "/tmp/want.raw"), 60s);
        ASSERT_EQ(want.status, 0) << want.output;
        // 2 s of samples, 16 bits each: at least 32000 bytes.
        const Bytes decoded = file_bytes("/tmp/decoded.raw");
        EXPECT_GE(decoded.size(), 32000u);
        EXPECT_TRUE(decoded == file_bytes("/tmp/want.raw")) << "decoded " << decoded.size();
        EXPECT_TRUE(service.running());
    }
}

TEST(RtpInterop, GstreamerDepaysL8BitExact) {
    if (!have("gst-launch-1.0")) GTEST_SKIP() << "GStreamer is not installed (scripts/setup.sh)";
    // 8-bit linear exists only as the alternate settings' fixed format.
    Process service, gst;
    ASSERT_EQ(start_rtp_scene(service,
                              {"use_alt_settings=1", "alt_audio_source=3", "alt_audio_bits=8",
                               "alt_audio_codec=1", "alt_audio_channels=2", "alt_audio_rate=48000",
                               "alt_audio_output_mode=1", "alt_audio_enable=1"},
                              "a=rtpmap:98 L8/48000/2"),
              "");
    UdpReceiver rtcp(kPort + 1);
    ASSERT_TRUE(gst.start("gst-launch-1.0",
                          {"-e", "-q", "udpsrc", "port=" + std::to_string(kPort),
                           "caps=application/x-rtp,media=(string)audio,clock-rate=(int)48000,"
                           "encoding-name=(string)L8,channels=(int)2,payload=(int)98",
                           "!", "rtpL8depay", "!", "filesink", "location=/tmp/l8.raw"}));
    ASSERT_TRUE(wait_until([&] { return udp_port_bound(kPort); }, 15s)) << gst.output();
    ASSERT_EQ(add_receiver(kPort, kPort + 1, "RTSP"), "");
    const RunResult cap = run_standin("sim_capture",
                                      {"--tone", "500", "--layout", "u8", "--size", "960",
                                       "--duration", "2", "--record", "/tmp/sent.raw", "--quiet"},
                                      30s);
    ASSERT_EQ(cap.status, 0) << cap.output;
    std::this_thread::sleep_for(1s);
    interrupt(gst);
    const Bytes got = file_bytes("/tmp/l8.raw"), sent = file_bytes("/tmp/sent.raw");
    EXPECT_EQ(sent.size(), 2u * 48000u * 2u);
    EXPECT_TRUE(got == sent) << "depayloaded " << got.size() << " bytes, sent " << sent.size();
    EXPECT_TRUE(service.running());
}

TEST(RtpInterop, TsharkFindsNoMalformedPacketAndReadsTheSenderReports) {
    if (!have("tshark")) GTEST_SKIP() << "tshark is not installed (scripts/setup.sh)";
    Process service, capture;
    ASSERT_EQ(start_rtp_scene(service, {}, "a=rtpmap:98 L16/48000/2"), "");
    UdpReceiver rtp, rtcp;
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

    auto tshark = [&](std::vector<std::string> filter) {
        std::vector<std::string> args = {
            "-r", "/tmp/rtp.pcapng",
            "-d", "udp.port==" + std::to_string(rtp.port()) + ",rtp",
            "-d", "udp.port==" + std::to_string(rtcp.port()) + ",rtcp"};
        args.insert(args.end(), filter.begin(), filter.end());
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
    for (const std::string& line : split_lines(sr.output))
        if (line.rfind("Running as", 0) != 0) reports.push_back(line);
    ASSERT_GE(reports.size(), 3u) << sr.output;
    // Both packets of the compound carry a length field: 6 for the report, 5 for the SDES.
    EXPECT_EQ(reports[0], "0x12345680\t0\t0\t6,5\tvemu_audio");
    EXPECT_EQ(reports[1], "0x12345680\t0\t0\t6,5\tvemu_audio");
    EXPECT_NE(reports[2].find("\t6,5\tvemu_audio"), std::string::npos) << reports[2];
    EXPECT_TRUE(service.running());
}
