// The receiver table with real send sockets on loopback and a real shared block.
#include "rtp/client_table.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/debug_log.h"
#include "support/isolation.h"
#include "support/rtp_receivers.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ClientTable : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(start_receiver_table_test()); }
};

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST_F(ClientTable, KindsFollowTheTagPrefix) {
    // clang-format off
    const std::tuple<const char*, std::uint32_t, bool> rows[] = {
        {nullptr, kClientOther, false}, {"RTSP", kClientRtsp, false}, {"RTSPsession7", kClientRtsp, false},
        {"RTS", kClientOther, false}, {"rtsp", kClientOther, false}, {"TSX", kClientTs, false},
        {"T", kClientOther, false}, {"atrx2", kClientOther, true}, {"atr", kClientOther, false},
        {"ATRX", kClientOther, false}};
    // clang-format on
    for (const auto& [tag, kind, receive_only] : rows) {
        const ClientKind k = classify_client_tag(tag);
        EXPECT_EQ(std::tie(k.kind, k.receive_only), std::tie(kind, receive_only))
            << (tag ? tag : "(null)");
    }
}

TEST_F(ClientTable, ListingLinesAndCommandMessages) {
    CaptureStdout();
    add_decoder("127.0.0.1", 7000, 7001, "RTSP");
    add_decoder("10.1.2.3", 7002, 7003, "atrx");
    del_decoder("127.0.0.1", 9999);  // not in the table: the line is still written
    const std::vector<std::string> lines = split_lines(GetCapturedStdout());
    const AudioRtspClient& a = ARClist[0];
    const std::string entry0 =
        "[Audio RTSP] 0 : 127.0.0.1:7000-7001 RTSP sock:" + std::to_string(a.rtp_sock) + "-" +
        std::to_string(a.rtcp_sock) + " 12345680";
    const std::string entry1 = "[Audio RTSP] 1 : 10.1.2.3:7002-7003 12345681 RX";
    const std::string start = "[Audio RTSP] Start", end = "[Audio RTSP] End";
    // clang-format off
    const std::vector<std::string> want = {
        "[Audio RTSP] add_decoder(i-0, n-1) 127.0.0.1:7000", start, entry0, end,
        "[Audio RTSP] add_decoder(i-1, n-2) 10.1.2.3:7002",  start, entry0, entry1, end,
        "[Audio RTSP] del_decoder(n-2) 127.0.0.1:9999",      start, entry0, entry1, end};
    // clang-format on
    // The log lines of the socket layer, if any, are not ours to pin: keep our own lines.
    std::vector<std::string> ours;
    for (const std::string& l : lines)
        if (l.rfind("[Audio RTSP]", 0) == 0) ours.push_back(l);
    EXPECT_EQ(ours, want);
    // Sockets connected to the receiver; a receive-only entry holds none.
    EXPECT_EQ(peer_of(a.rtp_sock), "127.0.0.1:7000");
    EXPECT_EQ(peer_of(a.rtcp_sock), "127.0.0.1:7001");
    EXPECT_EQ(std::tie(ARClist[1].rtp_sock, ARClist[1].rtcp_sock), std::make_tuple(-1, -1));
}

TEST_F(ClientTable, KeysLowestFreeEntryAndReAdding) {
    add_decoder("127.0.0.1", 8000, 8001, "RTSP");
    add_decoder("127.0.0.1", 8002, 8003, "TS");  // same address, other port: a second entry
    add_decoder("127.0.0.2", 8000, 8001, "RTSP");
    ASSERT_EQ(ARClist_count, 3);
    EXPECT_EQ(Find_ARClist("127.0.0.1", 8000), 0);
    EXPECT_EQ(Find_ARClist("127.0.0.1", 8002), 1);
    EXPECT_EQ(Find_ARClist("127.0.0.2", 8000), 2);
    EXPECT_EQ(Find_ARClist("127.0.0.1", 8001), -1);  // the RTCP port is not in the key
    EXPECT_EQ(Find_ARClist("127.0.0.10", 8000), -1);

    // Adding an existing key again changes nothing and reports the existing index.
    const int old_rtp = ARClist[1].rtp_sock;
    ARClist[1].seq = 77;
    CaptureStdout();
    add_decoder("127.0.0.1", 8002, 9999, "RTSP");
    const std::vector<std::string> again = split_lines(GetCapturedStdout());
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0], "[Audio RTSP] add_decoder(i-1, n-3) 127.0.0.1:8002");
    EXPECT_EQ(std::tie(ARClist_count, ARClist[1].rtcp_port, ARClist[1].rtp_sock, ARClist[1].seq),
              std::make_tuple(3, 8003, old_rtp, 77));
    EXPECT_EQ(Add_ARClist("127.0.0.1", 8002, 8003, kClientTs, false), -1);

    // Removing one port of an address leaves the other; its sockets are closed.
    const int rtp0 = ARClist[0].rtp_sock;
    const int rtcp0 = ARClist[0].rtcp_sock;
    del_decoder("127.0.0.1", 8000);
    EXPECT_FALSE(fd_open(rtp0) || fd_open(rtcp0));
    EXPECT_EQ(std::tie(ARClist_count, ARClist[0].rtp_sock), std::make_tuple(2, -1));
    EXPECT_EQ(Find_ARClist("127.0.0.1", 8002), 1);
    EXPECT_EQ(Remove_ARClist("127.0.0.1", 8000), -1);

    // The next receiver takes the lowest free entry, restarting its stream state there.
    ARClist[0].seq = 123;
    ARClist[0].packet_count = 9;
    ARClist[0].send_failed = 1;
    add_decoder("127.0.0.3", 8004, 8005, "");
    EXPECT_EQ(Find_ARClist("127.0.0.3", 8004), 0);
    const AudioRtspClient& c = ARClist[0];
    EXPECT_EQ(std::tie(c.seq, c.packet_count, c.send_failed, c.ssrc, ARClist_count),
              std::make_tuple(0, 0u, 0u, 0x12345680u, 3));
}

TEST_F(ClientTable, SsrcBaseAndThirtyThirdReceiverIsRefused) {
    // The base: seed bytes 12 34 56 and 0x80; entry i adds i.
    EXPECT_EQ(ssrc_base, 0x12345680u);
    EXPECT_EQ(make_ssrc_base(0xFF, 0xFF, 0xFF), 0xFFFFFF80u);
    EXPECT_EQ(make_ssrc_base(0xA0, 0x0B, 0xC0), 0xA00BC080u);
    for (int i = 0; i < kARClistSize; ++i)
        add_decoder("127.0.0.1", static_cast<std::uint16_t>(10000 + i), 20000, "RTSP");
    ASSERT_EQ(ARClist_count, 32);
    EXPECT_EQ(ARClist[31].ssrc, 0x1234569Fu);

    CaptureStdout();
    add_decoder("127.0.0.1", 10032, 20000, "RTSP");
    EXPECT_EQ(GetCapturedStdout(), "fail to Add_ARClist\n");  // and no listing
    EXPECT_EQ(ARClist_count, 32);
    EXPECT_EQ(Find_ARClist("127.0.0.1", 10032), -1);

    // A key already there is still served (no Add_ARClist, so no failure).
    CaptureStdout();
    add_decoder("127.0.0.1", 10031, 20000, "RTSP");
    EXPECT_EQ(split_lines(GetCapturedStdout()).at(0),
              "[Audio RTSP] add_decoder(i-31, n-32) 127.0.0.1:10031");
}

TEST_F(ClientTable, SocketThatCannotOpenLeavesTheTableUnchanged) {
    // Room for exactly one more descriptor: the RTP socket opens, the RTCP one cannot.
    CaptureStdout();  // opens its file first: it must not take the probed descriptor
    const int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    add_decoder("127.0.0.1", 12000, 12001, "RTSP");
    const bool probe_free = fd_open(probe) == false;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    const std::string out = GetCapturedStdout();

    EXPECT_TRUE(probe_free) << "the half-opened RTP socket was not closed";
    EXPECT_EQ(ARClist_count, 0);
    EXPECT_EQ(Find_ARClist("127.0.0.1", 12000), -1);
    EXPECT_EQ(ARClist[0].rtp_sock, -1);
    EXPECT_NE(out.find("sockTxOpen() ::: "), std::string::npos) << out;
    EXPECT_NE(out.find("fail to Add_ARClist\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("[Audio RTSP] Start"), std::string::npos) << out;
}

}  // namespace
