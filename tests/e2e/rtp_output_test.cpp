// RTP output end to end: the real service in a fresh sandbox, fed by the capture
// stand-in, with receivers added and removed through the block's command mailbox and
// listened to on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/appliance.h"
#include "support/rtp_scene.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const kL16Stereo = "a=rtpmap:98 L16/48000/2";

// Every datagram that arrives until none has come for `quiet`.
std::vector<Datagram> receive_all(UdpReceiver& r, std::chrono::milliseconds quiet = 1500ms) {
    std::vector<Datagram> all;
    for (int i = 0; i < 100000; ++i) {
        std::optional<Datagram> d = r.receive(quiet);
        if (!d) break;
        all.push_back(std::move(*d));
    }
    return all;
}

std::vector<RtpPacket> rtp_packets(const std::vector<Datagram>& ds) {
    std::vector<RtpPacket> out;
    for (const Datagram& d : ds) {
        std::optional<RtpPacket> p = parse_rtp(d.bytes);
        EXPECT_TRUE(p.has_value());
        if (p) out.push_back(std::move(*p));
    }
    return out;
}

// One datagram of n bytes straight into the feed, as the capture process sends it.
void feed(std::size_t n, std::uint8_t seed) {
    Bytes d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(seed + i);
    ASSERT_TRUE(send_udp(18005, d.data(), d.size()));
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

    const std::vector<RtpPacket> a = rtp_packets(receive_all(rtp_a));
    const std::vector<RtpPacket> b = rtp_packets(receive_all(rtp_b, 200ms));
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

    // One packet per datagram (1440 bytes < 1460). Checked in an order that puts a receiver
    // that must get the packet first, so that a short wait suffices for those that must not.
    auto got_one = [&](int i, std::chrono::milliseconds wait = 300ms) {
        const std::optional<Datagram> d = rtp[i].receive(wait);
        rtp[i].drain();
        return d.has_value();
    };
    feed(1440, 1);
    EXPECT_TRUE(got_one(0, 5s));
    for (int i = 1; i < 4; ++i) EXPECT_TRUE(got_one(i)) << "receiver " << i;

    ASSERT_EQ(del_receiver(rtp[2].port()), "");  // command 2: only this one
    feed(1440, 2);
    EXPECT_TRUE(got_one(0, 5s));
    EXPECT_TRUE(got_one(1));
    EXPECT_FALSE(got_one(2));
    EXPECT_TRUE(got_one(3));

    ASSERT_EQ(del_rtsp_receivers(), "");  // command 3: RTSP kind only
    feed(1440, 3);
    EXPECT_TRUE(got_one(1, 5s));
    EXPECT_FALSE(got_one(0));
    EXPECT_TRUE(got_one(3));

    const std::string log = service.output();
    EXPECT_TRUE(contains_regex(log, R"(\[Audio RTSP\] del_decoder\(n-3\) 127\.0\.0\.1:)" +
                                        std::to_string(rtp[2].port()) + "\n"))
        << log;
    EXPECT_TRUE(contains_regex(log, R"(\[Audio RTSP\] 1 : 127\.0\.0\.1:)" +
                                        std::to_string(rtp[1].port()) + "-" +
                                        std::to_string(rtcp[1].port()) +
                                        R"( RTSP sock:\d+-\d+ 12345681\n\[Audio RTSP\] 3 : )"))
        << log;
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
    const std::vector<RtpPacket> packets = rtp_packets(receive_all(rtp, 200ms));
    ASSERT_EQ(packets.size(), 1400u);
    std::vector<std::uint32_t> octets_before(packets.size() + 1, 0);
    for (std::size_t i = 0; i < packets.size(); ++i)
        octets_before[i + 1] =
            octets_before[i] + static_cast<std::uint32_t>(packets[i].payload.size());

    // Reports of the audio phase only: those sent without audio come 4 s apart later.
    std::vector<RtcpReport> reports;
    for (const Datagram& d : receive_all(rtcp, 200ms)) {
        const std::optional<RtcpReport> r = parse_sender_report(d.bytes);
        ASSERT_TRUE(r.has_value()) << "malformed report of " << d.bytes.size() << " bytes";
        reports.push_back(*r);
    }
    ASSERT_GE(reports.size(), 4u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(reports[i].packets + reports[i].octets, 0u);
        EXPECT_EQ(reports[i].rtp_timestamp, packets[0].timestamp);
    }
    // Each later report rides on a packet: it carries that packet's timestamp and counts
    // the packets before it.
    double last_sec = reports[1].ntp_sec + reports[1].ntp_frac / 4294967296.0;
    std::size_t audio_reports = 0;
    for (std::size_t i = 2; i < reports.size(); ++i) {
        const RtcpReport& r = reports[i];
        if (r.packets >= packets.size()) break;  // after the audio
        SCOPED_TRACE(i);
        ++audio_reports;
        EXPECT_EQ(r.rtp_timestamp, packets[r.packets].timestamp);
        EXPECT_EQ(r.octets, octets_before[r.packets]);
        const double sec = r.ntp_sec + r.ntp_frac / 4294967296.0;
        EXPECT_GT(sec - last_sec, 1.9);
        EXPECT_LT(sec - last_sec, 3.9);
        last_sec = sec;
    }
    EXPECT_GE(audio_reports, 2u);  // about 3 and 6 s into the 7 s of audio
}

}  // namespace
