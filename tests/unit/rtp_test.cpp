// The RTP output: the receiver table, the packetiser and the sender reports, with real send
// sockets to loopback receivers and the block's settings in plain memory.
#include <fcntl.h>

#include <array>
#include <cstring>
#include <ctime>

#include "rtp/client_table.h"
#include "rtp/rtcp_reports.h"
#include "rtp/rtp_clock.h"
#include "rtp/rtp_packetiser.h"
#include "support/unit.h"

namespace {

// Settings with the SSRC seeds A0 0B C0, an empty table, loopback ports for receivers that a
// test may add, and samples as the feed leaves them: after 12 bytes of headroom.
struct Rtp : testing::Test {
    void SetUp() override {
        cfg.ssrc_seed_hi = 0xA0;
        cfg.ssrc_seed_mid = 0x0B;
        cfg.ssrc_seed_lo = 0xC0;
        Init_ARClist(view);
        for (std::size_t i = 12; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    }
    alignas(8) std::array<std::uint8_t, kShmStandardSize> memory{};
    ShmConfig& cfg = *reinterpret_cast<ShmConfig*>(memory.data());
    const BlockView view{memory.data(), memory.size()};
    Loopback rtp, rtcp, rtp1;  // receiver 0's ports, another receiver's RTP port
    Bytes block = Bytes(12 + 3080);
};

TEST_F(Rtp, TableKeysKindsListingAndTheThirtyThirdReceiver) {
    std::string kinds;  // 1 RTSP, 2 TS, 0 other; r receive-only
    for (const char* tag : {"RTSPx", "RTS", "rtsp", "TSX", "T", "atrx2", "atr", ""})
        kinds += std::to_string(classify_client_tag(tag).kind) +
                 (classify_client_tag(tag).receive_only ? "r " : " ");
    EXPECT_EQ(kinds + std::to_string(classify_client_tag(nullptr).kind), "1 0 0 2 0 0r 0 0 0");

    add_decoder("127.0.0.1", 7000, 7001, "RTSP");
    add_decoder("127.0.0.2", 7000, 7001, "atrx");  // same port, another address
    add_decoder("127.0.0.1", 7002, 7003, "atrx");  // same address, another port
    const std::string rest =
        "[Audio RTSP] 1 : 127.0.0.2:7000-7001 a00bc081 RX\n"
        "[Audio RTSP] 2 : 127.0.0.1:7002-7003 a00bc082 RX\n[Audio RTSP] End\n";
    EXPECT_EQ(log_of(Print_ARClist),
              "[Audio RTSP] Start\n[Audio RTSP] 0 : 127.0.0.1:7000-7001 RTSP sock:" +
                  std::to_string(ARClist[0].rtp_sock) + "-" + std::to_string(ARClist[0].rtcp_sock) +
                  " a00bc080\n" + rest);
    EXPECT_EQ(std::pair(ARClist[1].rtcp_sock, Find_ARClist("127.0.0.10", 7000)), std::pair(-1, -1));
    // Any other spelling of a receiver's address is refused, never a second entry of one
    // stream; a removal under it removes nothing.
    for (const char* text : {"127.0.0.1 ", "127.0.0.1\n", "127.1", "127.0.0.01", " 127.0.0.1", ""})
        EXPECT_EQ(log_of([&] { add_decoder(text, 7000, 7001, "RTSP"), del_decoder(text, 7002); }),
                  "[Audio RTSP] refused address \"" + std::string(text) +
                      "\": not a dotted quad\nfail to Add_ARClist\n[Audio RTSP] del_decoder(n-3) " +
                      text + ":7002\n" + log_of(Print_ARClist));

    // Command 3 removes the RTSP entry only, closing its sockets; the next receiver takes the
    // lowest free entry.
    const int rtp0 = ARClist[0].rtp_sock, rtcp0 = ARClist[0].rtcp_sock;
    EXPECT_EQ(log_of(Remove_RTSP_ARClist), "[Audio RTSP] Start\n" + rest);
    EXPECT_EQ(std::tuple(fcntl(rtp0, F_GETFD), fcntl(rtcp0, F_GETFD), ARClist_count),
              std::tuple(-1, -1, 2));
    EXPECT_EQ(Add_ARClist("127.0.0.3", 7004, 7005, kClientOther, false), 0);
    for (std::uint16_t port = 10000; ARClist_count < kARClistSize && port < 10032; ++port)
        Add_ARClist("127.0.0.1", port, 20000, kClientRtsp, false);
    EXPECT_EQ(log_of([] { add_decoder("127.0.0.1", 7, 8, "RTSP"); }), "fail to Add_ARClist\n");
    EXPECT_EQ(std::pair(ARClist_count, ARClist[31].ssrc), std::pair(32, 0xA00BC09Fu));
}

TEST_F(Rtp, HeadersPerReceiverOneTimestampForAllAndTheFailingReceiverRule) {
    add_decoder("127.0.0.1", rtp.port(), rtcp.port(), "RTSP");
    add_decoder("127.0.0.1", rtp1.port(), rtcp.port(), "TS");
    take_packet_time(0x7000'0000'DEAD'BEEFull, 0);  // ahead of the clock: the timestamp is this
    send_audio_RTP(block.data(), 64, 4, 0);
    // V=2 P=0 X=0 CC=0, M=0 PT=98, sequence number, timestamp, SSRC (seeds A0 0B C0, index 0).
    Bytes want = {0x80, 0x62, 0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0xA0, 0x0B, 0xC0, 0x80};
    want.insert(want.end(), block.begin() + 12, block.begin() + 12 + 64);
    EXPECT_EQ(rtp.receive(), want);
    want[11] = 0x81;  // receiver 1: its own SSRC, the same sequence number and timestamp
    EXPECT_EQ(rtp1.receive(), want);

    // A receiver refused by ICMP (nobody listens there) is tried at sequence number 0,
    // skipped nine times, then tried again; the others miss nothing.
    add_decoder("127.0.0.1", Loopback().port(), rtcp.port(), "RTSP");
    const AudioRtspClient& dead = ARClist[2];
    pollfd refusal{dead.rtp_sock, 0, 0};
    ASSERT_TRUE(send(dead.rtp_sock, "", 1, 0) == 1 && poll(&refusal, 1, 2000) == 1);
    std::vector<int> seqs;
    for (int i = 0; i < 11; ++i, seqs.push_back(dead.seq)) send_audio_RTP(block.data(), 64, 4, 0);
    EXPECT_EQ(seqs, (std::vector{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2}));
    for (int i = 1; i < 12; ++i) EXPECT_EQ(rtp1.receive().at(3), i);
}

TEST_F(Rtp, ChunksAtTheMtuBoundariesAndOneWarningPerUnusableStretch) {
    add_decoder("127.0.0.1", rtp.port(), rtcp.port(), "RTSP");
    // mtu, samples (16-bit stereo); the datagram sizes, the frames they stamp, whether the
    // mtu is logged as unusable.
    // clang-format off
    const std::tuple<std::uint32_t, std::uint32_t, std::vector<std::size_t>, std::uint64_t,
                     bool> rows[] = {
        {1500, 3080, {1472, 1472, 172}, 770, false}, {1503, 1461, {1472, 13}, 365, false},
        {1504, 1465, {1476, 13}, 366, false}, {44, 9, {16, 16, 13}, 2, false}, {43, 8, {}, 0, true},
        {43, 8, {}, 0, false}, {1500, 4, {16}, 1, false}, {40, 8, {}, 0, true},
        // Read as signed, 2^31 and up are negative: no room, however near the wrap of mtu - 40.
        {0x80000000, 8, {}, 0, false}, {0x7FFFFFFF, 3080, {3092}, 770, false},
        {0x80000027, 8, {}, 0, true}, {0xFFFFFFFF, 8, {}, 0, false}};
    // clang-format on
    const AudioFormat l16{3, 16, 1, 2, 48000};
    for (const auto& [mtu, len, sizes, frames, warned] : rows) {
        cfg.mtu = mtu;
        const std::uint64_t before = next_rtp_time;  // the clock of rate 0 stays at 0
        const std::string log = log_of([&] { forward_audio_RTP(view, block.data(), len, l16, 0); });
        std::vector<std::size_t> got;
        for (Bytes p; got.size() < 4 && !(p = rtp.receive(0)).empty();) got.push_back(p.size());
        EXPECT_EQ(std::tuple(got, next_rtp_time - before, log),
                  std::tuple(sizes, frames,
                             warned ? "[Audio RTP] mtu " + std::to_string(std::int32_t(mtu)) +
                                          " leaves no room for audio: nothing is sent\n"
                                    : ""));
    }
}

TEST(RtpClock, PinnedReadingsAndTheGoldenSenderReport) {
    // Worked out in single precision: 10375 us at 48 kHz give 497, not 498. The rate
    // 0xFFFFFFFF rounds to 2^32 in a float; seconds beyond 2^31 wrap to negative.
    // clang-format off
    const std::tuple<std::int64_t, std::int64_t, std::uint32_t, std::uint64_t> rows[] = {
        {0, 999999, 48000, 47999}, {0, 10375, 48000, 497}, {0, 999999, 0xFFFFFFFF, 4294962944ull},
        {1700000000, 500000, 8000, 13600000004000ull},
        {2147483648, 0, 8000, 0ull - 17179869184000ull}};
    // clang-format on
    for (const auto& [sec, usec, rate, ticks] : rows)
        EXPECT_EQ(rtp_time_at(sec, usec, rate), ticks) << sec << "." << usec;

    std::uint8_t out[kRtcpPacketBytes];
    std::memset(out, 0xAA, sizeof out);
    const SenderReport report{0x12345685, 1700000000, 500000, 0x0A0B0C0D, 3, 4380};
    EXPECT_TRUE(build_rtcp_sr(out, report));
    // clang-format off
    const std::string want(
        "\x80\xC8\x00\x06" "\x12\x34\x56\x85"  // V=2 RC=0, PT=200 (SR), length 6; SSRC
        "\xE8\xFE\x6F\x80" "\x80\x00\x00\x00"  // NTP 1700000000 + 2208988800 = 3908988800, .5
        "\x0A\x0B\x0C\x0D" "\x00\x00\x00\x03" "\x00\x00\x11\x1C"  // RTP ts, 3 packets, 4380 octets
        "\x81\xCA\x00\x05" "\x12\x34\x56\x85"  // V=2 SC=1, PT=202 (SDES), length 5; SSRC
        "\x01\x0A" "vemu_audio" "\x00" "\x00\x00\x00", 52);  // CNAME, 10 octets; end; padding
    // clang-format on
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out), want);
    EXPECT_FALSE(build_rtcp_sr(WireBytes(out, sizeof out - 1), report));  // no room for padding
}

TEST_F(Rtp, ReportsTwoAfterTheFirstPacketOneWhenAgedAndOnTheFourthPass) {
    add_decoder("127.0.0.1", rtp.port(), rtcp.port(), "RTSP");
    // 'p' a packet, 's' the once-a-second pass, each with the packet counts of the reports
    // that it sends; at rate 1 the RTP clock counts the wall clock's seconds. A packet without a
    // whole frame is stamped with the clock, as the reports must be.
    std::string seen;
    for (const std::string step : {"p00", "s", "s", "p", "s", "p2", "s", "s", "s", "s3"}) {
        step[0] == 'p' ? send_audio_RTP(block.data(), 40, 0, 1) : send_RTCP_reports(1);
        seen += step[0];
        for (std::size_t i = 1; i < step.size(); ++i) {
            const Bytes r = rtcp.receive();  // at() throws when it does not come
            seen += std::to_string(r.at(23));
            EXPECT_EQ(r.at(27), 40 * r[23]);  // octets
            const std::uint32_t ts = std::uint32_t{r[16]} << 24 | r[17] << 16 | r[18] << 8 | r[19];
            EXPECT_LE(static_cast<std::uint32_t>(std::time(nullptr)) - ts, 1u);
        }
        EXPECT_TRUE(rtcp.receive(0).empty()) << seen;  // and no more
    }
    EXPECT_EQ(seen, "p00sspsp2ssss3");
}

}  // namespace
