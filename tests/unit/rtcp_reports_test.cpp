// Sender reports: the 52-byte compound packet against hand-written golden bytes, the
// report decisions, and reports that real receivers see on loopback (the rhythm around
// audio packets is the end-to-end test's).
#include "rtp/rtcp_reports.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/debug_log.h"
#include "input/format_poll.h"
#include "rtp/client_table.h"
#include "rtp/rtp_packetiser.h"
#include "support/isolation.h"
#include "support/rtp_receivers.h"
#include "support/rtp_scene.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<std::uint8_t>;
const std::uint32_t kSsrc0 = 0x12345680, kSsrc2 = 0x12345682;

TEST(RtcpPacket, GoldenBytesOfTheWorkedExample) {
    // SSRC 0x12345685 at 1700000000.5 s: NTP seconds 1700000000 + 2208988800 = 0xE8FE6F80.
    std::uint8_t out[kRtcpPacketBytes];
    std::memset(out, 0xAA, sizeof out);
    build_rtcp_sr(out, SenderReport{0x12345685, 1700000000, 500000, 0x0A0B0C0D, 3, 4380});
    const Bytes want = {
        0x80, 0xC8, 0x00, 0x06,  // V=2 RC=0, PT=200 (SR), length 6
        0x12, 0x34, 0x56, 0x85,  // sender SSRC
        0xE8, 0xFE, 0x6F, 0x80,  // NTP seconds 3908988800
        0x80, 0x00, 0x00, 0x00,  // NTP fraction 0.5
        0x0A, 0x0B, 0x0C, 0x0D,  // RTP timestamp
        0x00, 0x00, 0x00, 0x03,  // packet count 3
        0x00, 0x00, 0x11, 0x1C,  // octet count 4380
        0x81, 0xCA, 0x00, 0x05,  // V=2 SC=1, PT=202 (SDES), length 5
        0x12, 0x34, 0x56, 0x85,  // chunk SSRC
        0x01, 0x0A,              // CNAME, 10 octets
        'v',  'e',  'm',  'u',  '_', 'a', 'u', 'd', 'i', 'o',
        0x00,              // end of items
        0x00, 0x00, 0x00,  // padding to 32 bits
    };
    ASSERT_EQ(want.size(), 52u);
    EXPECT_EQ(Bytes(out, out + 52), want);
}

TEST(RtcpPacket, NtpTimestampFields) {
    // Fractions: usec * 2^32 / 10^6 rounded to nearest, worked out by hand.
    struct Frac {
        std::int64_t usec;
        std::uint32_t frac;
    } fracs[] = {
        {0, 0x00000000},
        {1, 0x000010C7},  // 4294.97 -> 4295
        {15625, 0x04000000},
        {999999, 0xFFFFEF39},  // 1/64; 4294963001.03 -> 4294963001
    };
    for (const Frac& f : fracs) EXPECT_EQ(ntp_fraction(f.usec), f.frac) << f.usec;

    EXPECT_EQ(ntp_seconds(0), 2208988800u);
    EXPECT_EQ(ntp_seconds(2085978495), 0xFFFFFFFFu);  // last second of NTP era 0
    EXPECT_EQ(ntp_seconds(2085978496), 0u);           // era 1 begins (2036-02-07)
}

TEST(RtcpDecisions, ReportsAroundAPacketAndInAPass) {
    struct Row {
        std::uint32_t packet_count, sr_age;
        int reports;
    } rows[] = {{0, 7, 2}, {1, 2, 0}, {1, 3, 1}, {0xFFFFFFFF, 9, 1}};
    for (const Row& r : rows)
        EXPECT_EQ(reports_before_packet(r.packet_count, r.sr_age), r.reports)
            << r.packet_count << "/" << r.sr_age;
    EXPECT_FALSE(pass_report_due(3));
    EXPECT_TRUE(pass_report_due(4));
}

// A well-formed compound report (else an empty one, with a failure recorded).
RtcpReport report(const Bytes& p) {
    const std::optional<RtcpReport> r = parse_sender_report(p);
    EXPECT_TRUE(r.has_value()) << p.size() << " bytes";
    return r.value_or(RtcpReport{});
}

class RtcpRhythm : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(start_receiver_table_test());
        applied_sample_rate = 48000;
        // Bound only now, inside the private network namespace.
        rtp_ = std::make_unique<LoopbackReceiver>();
        rtcp_ = std::make_unique<LoopbackReceiver>();
    }
    std::uint32_t send_packet(std::uint32_t payload) {
        std::vector<std::uint8_t> buf(12 + payload);
        send_audio_RTP(buf.data(), payload, 4);
        const Bytes p = rtp().receive();
        EXPECT_EQ(p.size(), 12 + payload);
        return p.size() >= 8 ? be32_at(p, 4) : 0;
    }
    LoopbackReceiver& rtp() { return *rtp_; }
    LoopbackReceiver& rtcp() { return *rtcp_; }
    std::unique_ptr<LoopbackReceiver> rtp_, rtcp_;
};

TEST_F(RtcpRhythm, FourthPassReportsWithOneClockReadingAndNoneForReceiveOnly) {
    LoopbackReceiver rtp2, rtcp2, rx_rtp, rx_rtcp;
    add_decoder("127.0.0.1", rtp().port(), rtcp().port(), "RTSP");
    add_decoder("127.0.0.1", rx_rtp.port(), rx_rtcp.port(), "atrx");
    add_decoder("127.0.0.1", rtp2.port(), rtcp2.port(), "TS");
    for (std::uint32_t pass = 1; pass <= 3; ++pass) {
        send_RTCP_reports();
        EXPECT_EQ(ARClist[0].sr_age, pass);
    }
    EXPECT_FALSE(rtcp().pending());
    std::uint64_t lo = 0, hi = 0;
    get_rtp_time(48000, &lo);
    send_RTCP_reports();
    get_rtp_time(48000, &hi);
    const RtcpReport a = report(rtcp().receive()), b = report(rtcp2.receive());
    EXPECT_EQ(std::tie(a.ssrc, b.ssrc, b.rtp_timestamp), std::tie(kSsrc0, kSsrc2, a.rtp_timestamp));
    EXPECT_LE(a.rtp_timestamp - static_cast<std::uint32_t>(lo),
              static_cast<std::uint32_t>(hi - lo));
    EXPECT_EQ(ARClist[0].sr_age + ARClist[2].sr_age, 0u);
    send_packet(40);
    EXPECT_FALSE(rx_rtcp.pending());  // neither after passes nor after packets
}

TEST_F(RtcpRhythm, FailedReportIsRetriedByEveryPacketUntilOneLeaves) {
    const std::uint16_t dead_rtcp = unused_loopback_port();
    add_decoder("127.0.0.1", rtp().port(), dead_rtcp, "RTSP");
    AudioRtspClient& c = ARClist[0];
    CaptureStdout();
    send_packet(100);  // its first report leaves; the second may meet the refusal already
    GetCapturedStdout();
    // Leave exactly one refusal pending: a probe that leaves, then its ICMP error.
    const std::uint8_t probe = 0;
    for (int i = 0; i < 5 && send(c.rtcp_sock, &probe, 1, 0) != 1; ++i) {
    }
    ASSERT_TRUE(wait_socket_error(c.rtcp_sock));
    for (int pass = 0; pass < 3; ++pass) send_RTCP_reports();
    ASSERT_EQ(c.sr_age, 3u);

    CaptureStdout();
    send_packet(100);
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("send ::: " + std::string(std::strerror(ECONNREFUSED))), std::string::npos)
        << out;
    EXPECT_EQ(std::tie(c.sr_age, c.packet_count), std::make_tuple(3u, 2u));  // kept: try again
    send_packet(100);  // the pending error was consumed: this try leaves
    EXPECT_EQ(std::tie(c.sr_age, c.packet_count), std::make_tuple(0u, 3u));
}

}  // namespace
