// The RTP packetiser: chunk sizes, the timestamp rule with exact clock values, and real
// packets on loopback to receivers that listen, and to one that does not.
#include "rtp/rtp_packetiser.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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
    struct Row {
        std::int32_t mtu, chunk;
    } rows[] = {
        {1500, 1460}, {1501, 1460}, {1502, 1460}, {1503, 1460}, {1504, 1464},
        {1499, 1456}, {576, 536},   {44, 4},      {43, 0},      {40, 0},
        {39, -4},     {0, -40},     {-5, -44},  // rounded toward zero: -5 -> -4
    };
    for (const Row& r : rows) EXPECT_EQ(rtp_chunk_size(r.mtu), r.chunk) << "mtu " << r.mtu;
}

TEST(RtpPacketiserRules, UnusableMtuIsReportedOncePerEpisode) {
    struct Step {
        std::int32_t mtu;
        bool warn;
    } steps[] = {{1500, false}, {43, true}, {43, false}, {30, false},   {-1, false},
                 {44, false},   {40, true}, {40, false}, {1500, false}, {1500, false}};
    bool warned = false;
    for (const Step& s : steps) {
        const ChunkPlan p = plan_rtp_chunks(s.mtu, warned);
        EXPECT_EQ(p.warn, s.warn) << "mtu " << s.mtu;
        EXPECT_EQ(p.chunk, rtp_chunk_size(s.mtu));
    }
}

TEST(RtpPacketiserRules, ClockReadingInTicks) {
    // Expected values computed independently in IEEE single precision (usec as float,
    // divided by 1e6, times the rate, truncated): 10375 us at 48 kHz gives 497, where
    // exact arithmetic would give 498.
    struct Row {
        std::int64_t sec, usec;
        std::uint32_t rate;
        std::uint64_t ticks;
    } rows[] = {
        {0, 500000, 48000, 24000},
        {0, 999999, 48000, 47999},
        {0, 999999, 8000, 7999},
        {0, 123457, 44100, 5444},
        {0, 1, 48000, 0},
        {0, 10375, 48000, 497},
        {0, 333333, 48000, 15999},
        {1700000000, 0, 48000, 81600000000000ull},
        {1700000000, 500000, 8000, 13600000004000ull},
        {1700000000, 250000, 0, 0},
        {0, 999999, 0xFFFFFFFF, 4294962944ull},  // the rate itself rounds to 2^32 in a float
        // Seconds beyond 2^31 wrap to negative as a signed 32-bit value.
        {2147483648, 0, 8000, 0ull - 17179869184000ull},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.sec << "." << r.usec << " @" << r.rate);
        EXPECT_EQ(rtp_time_at(r.sec, r.usec, r.rate), r.ticks);
    }

    timeval before{}, after{};
    std::uint64_t reading = 0;
    gettimeofday(&before, nullptr);
    get_rtp_time(8000, &reading);
    gettimeofday(&after, nullptr);
    EXPECT_GE(reading, rtp_time_at(before.tv_sec, before.tv_usec, 8000));
    EXPECT_LE(reading, rtp_time_at(after.tv_sec, after.tv_usec, 8000));
}

TEST(RtpPacketiserRules, PacketTimeFollowsClockButNeverGoesBack) {
    EXPECT_EQ(rtp_packet_time(1000, 0), 1000u);     // first packet: the clock
    EXPECT_EQ(rtp_packet_time(1000, 1365), 1365u);  // burst: continue from the last packet
    EXPECT_EQ(rtp_packet_time(5000, 1365), 5000u);  // after a pause: jump to the clock
    EXPECT_EQ(rtp_packet_time(1365, 1365), 1365u);
    EXPECT_EQ(rtp_packet_time(0x1'0000'0000ull, 0xFFFF'FFFFull), 0x1'0000'0000ull);
}

TEST(RtpPacketiserRules, FailingReceiverIsTriedEveryTenthOffer) {
    AudioRtspClient c{};
    EXPECT_TRUE(rtp_should_try(c));
    EXPECT_EQ(c.fail_count, 0u);
    c.send_failed = 1;
    std::string pattern;
    for (int i = 0; i < 25; ++i) pattern += rtp_should_try(c) ? 'T' : '.';
    EXPECT_EQ(pattern, ".........T.........T.....");
    EXPECT_EQ(c.fail_count, 25u);
}

// Real packets: a shared block, the table, receivers on loopback.
class RtpPackets : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(enter_private_ipc_and_net());
        ASSERT_TRUE(create_test_shm_block(0x12, 0x34, 0x56));
        dbg_to_screen();
        Init_ARClist();
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
    }
    Bytes samples(std::size_t from, std::size_t n) const {
        return Bytes(buf.begin() + 12 + static_cast<long>(from),
                     buf.begin() + 12 + static_cast<long>(from + n));
    }
    Bytes buf;
};

TEST_F(RtpPackets, HeaderBytesAndPayloadOnTheWire) {
    LoopbackReceiver rtp, rtcp;
    ASSERT_EQ(add(rtp, rtcp), 0);
    next_rtp_time = 0x7000'0000'DEAD'BEEFull;  // far ahead of the clock: the timestamp is this
    Block b(64);
    send_audio_RTP(b.buf.data(), 64, 4);
    const Bytes got = rtp.receive();
    const Bytes want_header = {0x80, 0x62, 0x00, 0x00, 0xDE, 0xAD,
                               0xBE, 0xEF, 0x12, 0x34, 0x56, 0x80};
    ASSERT_EQ(got.size(), 76u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 12), want_header);
    EXPECT_EQ(Bytes(got.begin() + 12, got.end()), b.samples(0, 64));
    EXPECT_EQ(next_rtp_time, 0x7000'0000'DEAD'BEEFull + 16);

    Block c(66);  // 16 frames and half a frame: frames are counted whole
    send_audio_RTP(c.buf.data(), 66, 4);
    const Bytes second = rtp.receive();
    const Bytes want_second = {0x80, 0x62, 0x00, 0x01, 0xDE, 0xAD,
                               0xBE, 0xFF, 0x12, 0x34, 0x56, 0x80};
    ASSERT_EQ(second.size(), 78u);
    EXPECT_EQ(Bytes(second.begin(), second.begin() + 12), want_second);
    EXPECT_EQ(next_rtp_time, 0x7000'0000'DEAD'BEEFull + 32);
}

TEST_F(RtpPackets, NothingSentWhileTableIsEmpty) {
    LoopbackReceiver rtp, rtcp;
    ASSERT_EQ(add(rtp, rtcp, "atrx"), 0);  // a receive-only entry counts but gets nothing
    Block b(1000);
    next_rtp_time = 0;
    Init_ARClist();
    ASSERT_EQ(ARClist_count, 0);
    send_audio_RTP(b.buf.data(), 1000, 4);
    EXPECT_EQ(next_rtp_time, 0u);

    ASSERT_EQ(add(rtp, rtcp, "atrx"), 0);
    send_audio_RTP(b.buf.data(), 1000, 4);
    EXPECT_NE(next_rtp_time, 0u);
    EXPECT_FALSE(rtp.pending());
    EXPECT_FALSE(rtcp.pending());
}

TEST_F(RtpPackets, ChunksOfOneBlockShareTheClockAndCarryTheSamples) {
    // At 1 Hz the clock stands still for the whole block: the timestamps are exactly
    // T, T + 365 and T + 730 (1460 bytes of 16-bit stereo are 365 frames).
    applied_sample_rate = 1;
    LoopbackReceiver rtp, rtcp;
    ASSERT_EQ(add(rtp, rtcp), 0);
    shm_config->mtu = 1500;
    const AudioFormat stereo16{3, 16, 1, 2, 48000};
    Block b(3000);
    const Bytes sent = b.samples(0, 3000);  // the block's tails get overwritten by headers
    timeval before{};
    gettimeofday(&before, nullptr);
    forward_audio_RTP(b.buf.data(), 3000, stereo16);

    const std::size_t sizes[] = {1460, 1460, 80};
    std::uint32_t t0 = 0;
    std::size_t offset = 0;
    for (std::uint16_t i = 0; i < 3; ++i) {
        const Bytes p = rtp.receive();
        ASSERT_EQ(p.size(), 12 + sizes[i]) << "packet " << i;
        EXPECT_EQ(be16_at(p, 2), i);
        if (i == 0) t0 = be32_at(p, 4);
        EXPECT_EQ(be32_at(p, 4), t0 + 365u * i);
        EXPECT_EQ(Bytes(p.begin() + 12, p.end()),
                  Bytes(sent.begin() + static_cast<long>(offset),
                        sent.begin() + static_cast<long>(offset + sizes[i])));
        offset += sizes[i];
    }
    EXPECT_GE(t0, static_cast<std::uint32_t>(before.tv_sec));
    EXPECT_FALSE(rtp.pending());

    // 3080 bytes at mtu 1500: 1460, 1460 and 160, each payload intact although each
    // header overwrote the tail of the chunk before it.
    Block big(3080);
    const Bytes big_sent = big.samples(0, 3080);
    forward_audio_RTP(big.buf.data(), 3080, stereo16);
    offset = 0;
    for (const std::size_t n : {1460u, 1460u, 160u}) {
        const Bytes p = rtp.receive();
        ASSERT_EQ(p.size(), 12 + n);
        EXPECT_EQ(Bytes(p.begin() + 12, p.end()),
                  Bytes(big_sent.begin() + static_cast<long>(offset),
                        big_sent.begin() + static_cast<long>(offset + n)));
        offset += n;
    }

    // mtu 1504 allows 1464; an mtu 1503 is rounded down to 1500.
    shm_config->mtu = 1503;
    Block small(1500);
    forward_audio_RTP(small.buf.data(), 1500, stereo16);
    EXPECT_EQ(rtp.receive().size(), 12u + 1460u);
    EXPECT_EQ(rtp.receive().size(), 12u + 40u);
}

TEST_F(RtpPackets, UnusableMtuSendsNothingAndSaysSoOnce) {
    LoopbackReceiver rtp, rtcp;
    ASSERT_EQ(add(rtp, rtcp), 0);
    const AudioFormat mono8{3, 8, 3, 1, 8000};
    Block b(200);
    const std::uint64_t before = next_rtp_time;
    CaptureStdout();
    shm_config->mtu = 43;
    for (int i = 0; i < 5; ++i) forward_audio_RTP(b.buf.data(), 200, mono8);
    shm_config->mtu = 12;
    forward_audio_RTP(b.buf.data(), 200, mono8);
    shm_config->mtu = 1500;
    forward_audio_RTP(b.buf.data(), 200, mono8);
    shm_config->mtu = 40;
    forward_audio_RTP(b.buf.data(), 200, mono8);
    const std::vector<std::string> lines = split_lines(GetCapturedStdout());
    std::vector<std::string> warnings;
    for (const std::string& l : lines)
        if (l.find("leaves no room") != std::string::npos) warnings.push_back(l);
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "[Audio RTP] mtu 43 leaves no room for audio: nothing is sent",
                            "[Audio RTP] mtu 40 leaves no room for audio: nothing is sent"}));
    // Only the datagram at mtu 1500 went out.
    EXPECT_EQ(rtp.receive().size(), 212u);
    EXPECT_FALSE(rtp.pending());
    EXPECT_GT(next_rtp_time, before);
}

TEST_F(RtpPackets, ReceiversHaveOwnSequenceAndSsrcButShareTimestamps) {
    LoopbackReceiver rtp_a, rtcp_a, rtp_b, rtcp_b, rtp_rx, rtcp_rx;
    ASSERT_EQ(add(rtp_a, rtcp_a), 0);
    ASSERT_EQ(add(rtp_rx, rtcp_rx, "atrx"), 1);
    Block b(320);
    for (int i = 0; i < 3; ++i) send_audio_RTP(b.buf.data(), 320, 2);
    ASSERT_EQ(add(rtp_b, rtcp_b, "TS"), 2);
    for (int i = 0; i < 2; ++i) send_audio_RTP(b.buf.data(), 320, 2);

    std::vector<Bytes> a, bb;
    for (int i = 0; i < 5; ++i) a.push_back(rtp_a.receive());
    for (int i = 0; i < 2; ++i) bb.push_back(rtp_b.receive());
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(a[static_cast<std::size_t>(i)].size(), 332u);
        EXPECT_EQ(be16_at(a[static_cast<std::size_t>(i)], 2), i);
        EXPECT_EQ(be32_at(a[static_cast<std::size_t>(i)], 8), 0x12345680u);
    }
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(bb[i].size(), 332u);
        EXPECT_EQ(be16_at(bb[i], 2), i);  // starts at 0 although A is at 3
        EXPECT_EQ(be32_at(bb[i], 8), 0x12345682u);
        EXPECT_EQ(be32_at(bb[i], 4), be32_at(a[3 + i], 4));
        EXPECT_EQ(Bytes(bb[i].begin() + 12, bb[i].end()),
                  Bytes(a[3 + i].begin() + 12, a[3 + i].end()));
    }
    // Timestamps never go back, and rise by at least the frames of each packet.
    for (std::size_t i = 1; i < 5; ++i) EXPECT_GE(be32_at(a[i], 4) - be32_at(a[i - 1], 4), 160u);
    EXPECT_FALSE(rtp_rx.pending());
    EXPECT_FALSE(rtp_a.pending());
}

TEST_F(RtpPackets, TimestampJumpsToTheClockAfterAPause) {
    applied_sample_rate = 1000;  // one tick per millisecond
    LoopbackReceiver rtp, rtcp;
    ASSERT_EQ(add(rtp, rtcp), 0);
    Block b(16);
    send_audio_RTP(b.buf.data(), 16, 2);  // 8 frames
    const std::uint32_t t1 = be32_at(rtp.receive(), 4);
    usleep(50000);
    send_audio_RTP(b.buf.data(), 16, 2);
    const std::uint32_t t2 = be32_at(rtp.receive(), 4);
    EXPECT_GE(t2 - t1, 50u);  // not t1 + 8

    // A lower rate puts the clock far behind: timestamps then advance by frames alone.
    applied_sample_rate = 10;
    send_audio_RTP(b.buf.data(), 16, 2);
    const std::uint32_t t3 = be32_at(rtp.receive(), 4);
    send_audio_RTP(b.buf.data(), 16, 2);
    const std::uint32_t t4 = be32_at(rtp.receive(), 4);
    EXPECT_EQ(t3, t2 + 8);
    EXPECT_EQ(t4, t3 + 8);
}

TEST_F(RtpPackets, FailingReceiverIsTriedWithSeq0ThenSkippedNineTimesThenTriedWithSeq1) {
    const std::uint16_t dead_port = unused_loopback_port();
    LoopbackReceiver rtcp;
    add_decoder("127.0.0.1", dead_port, rtcp.port(), "RTSP");
    LoopbackReceiver good_rtp, good_rtcp;
    ASSERT_EQ(add(good_rtp, good_rtcp), 1);
    AudioRtspClient& dead = ARClist[0];
    ASSERT_GT(dead.rtp_sock, 0);

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
    EXPECT_NE(failure.find("[DBG] send_audio_RTP:"), std::string::npos) << failure;
    EXPECT_NE(failure.find(" send ::: " + std::string(std::strerror(ECONNREFUSED))),
              std::string::npos)
        << failure;

    CaptureStdout();
    for (int i = 0; i < 9; ++i) send_audio_RTP(b.buf.data(), 64, 4);
    EXPECT_EQ(GetCapturedStdout(), "");  // skipped: no attempt, no log
    EXPECT_EQ(dead.seq, 1);
    EXPECT_EQ(dead.fail_count, 9u);

    // Someone listens now: the tenth offer after the failure arrives with sequence 1.
    LoopbackReceiver revived(dead_port);
    ASSERT_TRUE(revived.ok());
    send_audio_RTP(b.buf.data(), 64, 4);
    const Bytes p = revived.receive();
    ASSERT_EQ(p.size(), 76u);
    EXPECT_EQ(be16_at(p, 2), 1);
    EXPECT_EQ(be32_at(p, 8), 0x12345680u);
    EXPECT_EQ(dead.send_failed, 0u);
    EXPECT_EQ(dead.fail_count, 10u);
    EXPECT_EQ(dead.packet_count, 1u);

    // The other receiver got every one of the eleven packets, in order.
    for (std::uint16_t i = 0; i < 11; ++i) EXPECT_EQ(be16_at(good_rtp.receive(), 2), i);
}

}  // namespace
