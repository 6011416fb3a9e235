// The RTP packetiser: chunk sizes, the timestamp rule with exact clock values, and real
// packets on loopback to receivers that listen, and to one that does not.
#include "rtp/rtp_packetiser.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "input/format_poll.h"
#include "support/isolation.h"
#include "support/rtp_receivers.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<std::uint8_t>;

TEST(RtpPacketiserRules, ChunkSizeFromMtu) {
    const std::pair<std::int32_t, std::int32_t> rows[] = {
        {1500, 1460}, {1503, 1460}, {1504, 1464}, {44, 4}, {43, 0}, {39, -4}, {-5, -44}};
    for (const auto& [mtu, chunk] : rows) EXPECT_EQ(rtp_chunk_size(mtu), chunk) << "mtu " << mtu;
}

TEST(RtpPacketiserRules, ClockReadingAndPacketTime) {
    // Worked out independently in single precision: 10375 us at 48 kHz gives 497, not 498.
    // The rate 0xFFFFFFFF rounds to 2^32 in a float; seconds beyond 2^31 wrap to negative.
    // clang-format off
    const std::tuple<std::int64_t, std::int64_t, std::uint32_t, std::uint64_t> rows[] = {
        {0, 999999, 48000, 47999}, {0, 123457, 44100, 5444}, {0, 10375, 48000, 497},
        {0, 333333, 48000, 15999}, {1700000000, 500000, 8000, 13600000004000ull},
        {1700000000, 250000, 0, 0}, {0, 999999, 0xFFFFFFFF, 4294962944ull},
        {2147483648, 0, 8000, 0ull - 17179869184000ull}};
    // clang-format on
    for (const auto& [sec, usec, rate, ticks] : rows)
        EXPECT_EQ(rtp_time_at(sec, usec, rate), ticks) << sec << "." << usec;

    timeval before{}, after{};
    std::uint64_t reading = 0;
    gettimeofday(&before, nullptr);
    get_rtp_time(8000, &reading);
    gettimeofday(&after, nullptr);
    EXPECT_GE(reading, rtp_time_at(before.tv_sec, before.tv_usec, 8000));
    EXPECT_LE(reading, rtp_time_at(after.tv_sec, after.tv_usec, 8000));

    // The clock, unless the last packet's end lies ahead of it.
    EXPECT_EQ(rtp_packet_time(1000, 1365), 1365u);
    EXPECT_EQ(rtp_packet_time(5000, 1365), 5000u);
    EXPECT_EQ(rtp_packet_time(0x1'0000'0000ull, 0xFFFF'FFFFull), 0x1'0000'0000ull);
}

class RtpPackets : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(start_receiver_table_test());
        applied_sample_rate = 8000;
    }
    int add(const LoopbackReceiver& rtp, const LoopbackReceiver& rtcp, const char* tag = "RTSP") {
        add_decoder("127.0.0.1", rtp.port(), rtcp.port(), tag);
        return Find_ARClist("127.0.0.1", rtp.port());
    }
};

// A block as the feed parser leaves it: 12 bytes of headroom, then the samples.
struct Block {
    explicit Block(std::size_t samples_len) : buf(12 + samples_len + 16) {
        for (std::size_t i = 0; i < samples_len; ++i)
            buf[12 + i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
        sent.assign(buf.begin() + 12, buf.begin() + 12 + static_cast<long>(samples_len));
    }
    Bytes buf, sent;  // `sent` survives the headers that overwrite the chunks' tails
};

TEST_F(RtpPackets, HeaderBytesAndPayloadOnTheWire) {
    // Nothing is sent and the clock stays while the table is empty; then exact headers.
    LoopbackReceiver rtp, rtcp;
    Block b(64), c(66);  // 66: 16 frames and half a frame
    next_rtp_time = 0;
    send_audio_RTP(b.buf.data(), 64, 4);
    EXPECT_EQ(next_rtp_time, 0u);
    ASSERT_EQ(add(rtp, rtcp), 0);
    next_rtp_time = 0x7000'0000'DEAD'BEEFull;  // far ahead of the clock: the timestamp is this
    send_audio_RTP(b.buf.data(), 64, 4);
    send_audio_RTP(c.buf.data(), 66, 4);
    Bytes want = {0x80, 0x62, 0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0x12, 0x34, 0x56, 0x80};
    want.insert(want.end(), b.sent.begin(), b.sent.end());
    EXPECT_EQ(rtp.receive(), want);
    const Bytes second = rtp.receive();
    ASSERT_EQ(second.size(), 78u);
    EXPECT_EQ(Bytes(second.begin(), second.begin() + 12),
              (Bytes{0x80, 0x62, 0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xFF, 0x12, 0x34, 0x56, 0x80}));
    EXPECT_EQ(next_rtp_time, 0x7000'0000'DEAD'BEEFull + 32);  // whole frames only
}

TEST_F(RtpPackets, ChunksOfOneBlockShareTheClock) {
    // At 1 Hz the clock stands still for the block: timestamps T (the clock), T + 365 and
    // T + 730 (1460 bytes of 16-bit stereo are 365 frames). Payloads: the end-to-end test.
    applied_sample_rate = 1;
    LoopbackReceiver rtp, rtcp;
    ASSERT_EQ(add(rtp, rtcp), 0);
    Block b(3080);
    std::uint64_t before = 0, after = 0;
    get_rtp_time(1, &before);
    forward_audio_RTP(b.buf.data(), 3080, AudioFormat{3, 16, 1, 2, 48000});
    get_rtp_time(1, &after);
    for (std::uint16_t i = 0; i < 3; ++i) {
        const Bytes p = rtp.receive();
        ASSERT_EQ(p.size(), 12u + (i < 2 ? 1460 : 160)) << "packet " << i;
        EXPECT_EQ(be16_at(p, 2), i);
        EXPECT_GE(be32_at(p, 4), static_cast<std::uint32_t>(before) + 365u * i);
        EXPECT_LE(be32_at(p, 4), static_cast<std::uint32_t>(after) + 365u * i);
    }
    EXPECT_FALSE(rtp.pending());
}

TEST_F(RtpPackets, UnusableMtuSendsNothingAndSaysSoOncePerEpisode) {
    LoopbackReceiver rtp, rtcp;
    ASSERT_EQ(add(rtp, rtcp), 0);
    const AudioFormat mono8{3, 8, 3, 1, 8000};
    Block b(200);
    CaptureStdout();
    for (const std::uint32_t mtu : {43u, 43u, 12u, 1500u, 40u, 40u}) {
        shm_config->mtu = mtu;
        forward_audio_RTP(b.buf.data(), 200, mono8);
    }
    std::vector<std::string> warnings;
    for (const std::string& l : split_lines(GetCapturedStdout()))
        if (l.find("leaves no room") != std::string::npos) warnings.push_back(l);
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "[Audio RTP] mtu 43 leaves no room for audio: nothing is sent",
                            "[Audio RTP] mtu 40 leaves no room for audio: nothing is sent"}));
    EXPECT_EQ(rtp.receive().size(), 212u);  // only the datagram at mtu 1500
    EXPECT_FALSE(rtp.pending());
}

TEST_F(RtpPackets, FailingReceiverIsTriedWithSeq0ThenSkippedNineTimesThenTriedWithSeq1) {
    const std::uint16_t dead_port = unused_loopback_port();
    LoopbackReceiver rtcp, good_rtp, good_rtcp;
    add_decoder("127.0.0.1", dead_port, rtcp.port(), "RTSP");
    ASSERT_EQ(add(good_rtp, good_rtcp), 1);
    AudioRtspClient& dead = ARClist[0];

    // A datagram to nobody: the ICMP port unreachable leaves ECONNREFUSED pending.
    const std::uint8_t probe = 0;
    ASSERT_EQ(send(dead.rtp_sock, &probe, 1, 0), 1);
    ASSERT_TRUE(wait_socket_error(dead.rtp_sock));

    Block b(64);
    CaptureStdout();
    send_audio_RTP(b.buf.data(), 64, 4);
    const std::string failure = GetCapturedStdout();
    EXPECT_EQ(dead.send_failed, 1u);
    EXPECT_EQ(dead.seq, 1);  // tried with 0
    EXPECT_EQ(dead.packet_count, 0u);
    EXPECT_NE(failure.find(" send ::: " + std::string(std::strerror(ECONNREFUSED))),
              std::string::npos)
        << failure;

    CaptureStdout();
    for (int i = 0; i < 9; ++i) send_audio_RTP(b.buf.data(), 64, 4);
    EXPECT_EQ(GetCapturedStdout(), "");  // skipped: no attempt, no log
    EXPECT_EQ(dead.seq, 1);

    // Someone listens now: the tenth offer after the failure arrives with sequence 1.
    LoopbackReceiver revived(dead_port);
    ASSERT_TRUE(revived.ok());
    send_audio_RTP(b.buf.data(), 64, 4);
    const Bytes p = revived.receive();
    ASSERT_EQ(p.size(), 76u);
    EXPECT_EQ(be16_at(p, 2), 1);
    EXPECT_EQ(dead.send_failed, 0u);
    EXPECT_EQ(dead.packet_count, 1u);

    // The other receiver got every one of the eleven packets, in order.
    for (std::uint16_t i = 0; i < 11; ++i) EXPECT_EQ(be16_at(good_rtp.receive(), 2), i);
}

}  // namespace
