// RTP output end to end: the real service in a fresh sandbox, fed by the capture
// stand-in, with receivers added and removed through the block's command mailbox and
// listened to on loopback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/appliance.h"
#include "support/rtp_scene.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const kL16Stereo = "a=rtpmap:98 L16/48000/2";

// What has arrived (all of it queued once the capture stand-in ended), as RTP packets.
std::vector<RtpPacket> rtp_packets(UdpReceiver& rx, std::chrono::milliseconds window = 1s) {
    std::vector<RtpPacket> out;
    for (const Datagram& d : rx.receive_for(window)) {
        std::optional<RtpPacket> p = parse_rtp(d.bytes);
        EXPECT_TRUE(p.has_value());
        if (p) out.push_back(std::move(*p));
    }
    return out;
}

TEST(RtpOutput, TwoReceiversGetEveryPacketOfTheTone) {
    Process service;
    ASSERT_EQ(start_rtp_scene(service, {}, kL16Stereo), "");
    UdpReceiver rtp_a, rtcp_a, rtp_b, rtcp_b, rtp_rx, rtcp_rx;
    ASSERT_EQ(add_receiver(rtp_a.port(), rtcp_a.port(), "RTSP"), "");
    ASSERT_EQ(add_receiver(rtp_rx.port(), rtcp_rx.port(), "atrx"), "");
    ASSERT_EQ(add_receiver(rtp_b.port(), rtcp_b.port(), "TS"), "");

    // 20 datagrams of 3080 bytes (770 stereo frames) of a 1 kHz tone at real-time pace.
    const RunResult cap =
        run_standin("sim_capture", {"--tone", "1000", "--size", "3080", "--count", "20", "--record",
                                    "/tmp/sent.raw", "--quiet"});
    ASSERT_EQ(cap.status, 0) << cap.output;
    const Bytes sent = file_bytes("/tmp/sent.raw");
    ASSERT_EQ(sent.size(), 20u * 3080u);
    const std::vector<RtpPacket> a = rtp_packets(rtp_a), b = rtp_packets(rtp_b);
    ASSERT_EQ(a.size(), 60u);
    ASSERT_EQ(b.size(), 60u);
    Bytes payload_a, payload_b;
    for (std::size_t i = 0; i < a.size(); ++i) {
        // Version 2, payload type 98; own sequence and SSRC (entry 1 is the receive-only
        // one), the same timestamp; 3080 bytes go out as 1460, 1460 and 160.
        EXPECT_EQ(std::vector<std::uint32_t>({a[i].b0, a[i].b1, a[i].seq, a[i].ssrc, b[i].b0,
                                              b[i].b1, b[i].seq, b[i].ssrc, b[i].timestamp,
                                              static_cast<std::uint32_t>(a[i].payload.size())}),
                  std::vector<std::uint32_t>({0x80, 98, static_cast<std::uint32_t>(i), 0x12345680u,
                                              0x80, 98, static_cast<std::uint32_t>(i), 0x12345682u,
                                              a[i].timestamp, i % 3 == 2 ? 160u : 1460u}))
            << "packet " << i;
        payload_a.insert(payload_a.end(), a[i].payload.begin(), a[i].payload.end());
        payload_b.insert(payload_b.end(), b[i].payload.begin(), b[i].payload.end());
    }
    EXPECT_TRUE(payload_a == sent) << "payloads differ from the big-endian samples sent";
    EXPECT_TRUE(payload_b == sent);
    EXPECT_FALSE(rtp_rx.receive(0ms).has_value()) << "the receive-only entry got RTP";
    EXPECT_FALSE(rtcp_rx.receive(0ms).has_value()) << "the receive-only entry got RTCP";
    EXPECT_TRUE(service.running());
}

TEST(RtpOutput, CommandsRemoveOneReceiverOrTheRtspKind) {
    Process service;
    ASSERT_EQ(start_rtp_scene(service, {}, kL16Stereo), "");
    UdpReceiver rtp[4], rtcp[4];
    const char* tags[4] = {"RTSP", "TSX", "RTSPx", "decoder"};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(add_receiver(rtp[i].port(), rtcp[i].port(), tags[i]), "");
    // After one 1440-byte datagram (one packet), which receivers got it; the first one
    // checked must get it, so that a short wait suffices for the others.
    const auto got = [&](std::uint8_t seed, std::vector<int> order) {
        const Bytes block(1440, seed);
        EXPECT_TRUE(send_udp(18005, block.data(), block.size()));
        std::string who;
        for (int i : order) {
            who += rtp[i].receive(who.empty() ? 5s : 300ms) ? "+" : "-";
            rtp[i].drain();
        }
        return who;
    };
    EXPECT_EQ(got(1, {0, 1, 2, 3}), "++++");
    ASSERT_EQ(del_receiver(rtp[2].port()), "");  // command 2: only this one
    EXPECT_EQ(got(2, {0, 1, 2, 3}), "++-+");
    ASSERT_EQ(del_rtsp_receivers(), "");  // command 3: RTSP kind only
    EXPECT_EQ(got(3, {1, 0, 3}), "+-+");

    EXPECT_TRUE(service.running());
}

TEST(RtpOutput, SenderReportsFollowTheFirstPacketThenEveryThreeSeconds) {
    Process service;
    ASSERT_EQ(start_rtp_scene(service, {}, kL16Stereo), "");
    UdpReceiver rtp, rtcp;
    ASSERT_EQ(add_receiver(rtp.port(), rtcp.port(), "RTSP"), "");
    // 7 s of audio in 1920-byte datagrams (10 ms each): packets of 1460 and 460 bytes.
    const RunResult cap = run_standin(
        "sim_capture", {"--tone", "440", "--size", "1920", "--duration", "7", "--quiet"}, 30s);
    ASSERT_EQ(cap.status, 0) << cap.output;
    const std::vector<RtpPacket> packets = rtp_packets(rtp);
    ASSERT_EQ(packets.size(), 1400u);

    std::vector<RtcpReport> reports;
    for (const Datagram& d : rtcp.receive_for(200ms)) {
        const std::optional<RtcpReport> r = parse_sender_report(d.bytes);
        ASSERT_TRUE(r.has_value()) << "malformed report of " << d.bytes.size() << " bytes";
        reports.push_back(*r);
    }
    ASSERT_GE(reports.size(), 4u);
    for (int i = 0; i < 2; ++i) {  // two right after the first packet
        EXPECT_EQ(reports[i].packets + reports[i].octets, 0u);
        EXPECT_EQ(reports[i].rtp_timestamp, packets[0].timestamp);
    }
    // Each later report of the audio phase rides on a packet, with its timestamp.
    double last_sec = reports[1].ntp_sec + reports[1].ntp_frac / 4294967296.0;
    std::size_t audio_reports = 0;
    for (std::size_t i = 2; i < reports.size() && reports[i].packets < packets.size(); ++i) {
        const RtcpReport& r = reports[i];
        SCOPED_TRACE(i);
        ++audio_reports;
        EXPECT_EQ(r.rtp_timestamp, packets[r.packets].timestamp);
        const double sec = r.ntp_sec + r.ntp_frac / 4294967296.0;
        EXPECT_TRUE(sec - last_sec > 1.9 && sec - last_sec < 3.9) << sec - last_sec;
        last_sec = sec;
    }
    EXPECT_GE(audio_reports, 2u);  // about 3 and 6 s into the 7 s of audio
}

}  // namespace
