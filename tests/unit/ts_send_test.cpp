// TS output: datagram packing, the TS socket's (re)opening from the block, and what
// reaches a real loopback receiver on port 1234.
#include "ts/ts_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "support/isolation.h"
#include "support/rtp_receivers.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A fresh block in this test's private IPC namespace: unicast to 127.0.0.1, mtu 1500.
void make_block() {
    ASSERT_TRUE(enter_private_ipc_and_net());
    ASSERT_TRUE(create_test_shm_block());
    std::strcpy(shm_config->ts_dest_ip, "127.0.0.1");
    std::strcpy(shm_config->local_ip, "127.0.0.1");
}

// Every datagram queued now or within 200 ms of the previous one (at most 200).
std::vector<Bytes> receive_all(LoopbackReceiver& rx) {
    std::vector<Bytes> got;
    for (Bytes d = rx.receive(200); !d.empty() && got.size() < 200; d = rx.receive(200))
        got.push_back(std::move(d));
    return got;
}

// Packets whose bytes all carry their index, so order and splits are visible.
Bytes numbered_packets(std::size_t count) {
    Bytes b;
    for (std::size_t i = 0; i < count; ++i)
        b.insert(b.end(), 188, static_cast<std::uint8_t>(i + 1));
    return b;
}

int open_fd_count() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d && readdir(d)) ++n;
    if (d) closedir(d);
    return n;
}

// The user-mode emulator that runs the appliance build's tests does not translate
// IP_MULTICAST_IF and answers ENOPROTOOPT; the kernel itself supports it.
bool multicast_if_translated() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr a{};
    a.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok =
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) == 0 || errno != ENOPROTOOPT;
    close(fd);
    return ok;
}

TEST(TsOutput, PacketsPerDatagramFromMtu) {
    // Whole packets in mtu - 28 bytes, at least one, at most the staging area's 8.
    const struct {
        std::int32_t mtu;
        std::uint32_t packets;
    } cases[] = {{1500, 7},  // 1472 bytes: 7 packets (1316), an 8th would need 1504
                 {200, 1},   // 172 bytes: less than one packet, still one
                 {403, 1},  {404, 2},   {1531, 7}, {1532, 8},  // 376 and 1504 bytes exactly fit
                 {1720, 8}, {65535, 8}, {-1, 1},   {INT32_MIN, 1}};  // capped; u32 read as signed
    for (const auto& c : cases)
        EXPECT_EQ(ts_packets_per_datagram(c.mtu), c.packets) << "mtu " << c.mtu;
}

TEST(TsOutput, SendTsCutsBlocksIntoDatagramsOfWholePackets) {
    ASSERT_NO_FATAL_FAILURE(make_block());
    LoopbackReceiver rx(kTsDestPort);
    ASSERT_TRUE(rx.ok());
    int sock = 0;
    ASSERT_GT(remake_ts_sock(&sock), 0);

    const struct {
        std::uint32_t mtu;
        std::size_t packets;
        std::size_t extra_bytes;  // a trailing partial packet, never sent
        std::vector<std::size_t> datagrams;
    } cases[] = {{1500, 12, 0, {7, 5}}, {200, 3, 0, {1, 1, 1}}, {9000, 18, 100, {8, 8, 2}}};
    for (const auto& c : cases) {
        SCOPED_TRACE("mtu " + std::to_string(c.mtu) + ", packets " + std::to_string(c.packets));
        shm_config->mtu = c.mtu;
        Bytes block = numbered_packets(c.packets);
        block.insert(block.end(), c.extra_bytes, 0xEE);
        EXPECT_EQ(send_ts(sock, block.data(), static_cast<std::uint16_t>(block.size())),
                  static_cast<int>(block.size()));
        const std::vector<Bytes> got = receive_all(rx);
        std::vector<std::size_t> sizes;
        Bytes joined;
        for (const Bytes& d : got) {
            EXPECT_EQ(d.size() % 188, 0u);
            sizes.push_back(d.size() / 188);
            joined.insert(joined.end(), d.begin(), d.end());
        }
        EXPECT_EQ(sizes, c.datagrams);
        EXPECT_EQ(joined, numbered_packets(c.packets));
    }

    // A failed send ends the block and returns its result.
    const Bytes two = numbered_packets(2);
    EXPECT_LT(send_ts(-1, two.data(), static_cast<std::uint16_t>(two.size())), 0);
}

TEST(TsOutput, RemakeTsSockFollowsTheBlock) {
    // Each case starts from an open socket, which must be closed whatever follows.
    ASSERT_NO_FATAL_FAILURE(make_block());
    TempDir dir;
    dbg_to_file();
    dbg_set_logfile(dir.file("log").c_str());

    const struct {
        std::uint32_t select;
        const char* dest;
        const char* alt;
        const char* local;
        std::uint32_t ttl;
        const char* peer;  // "none": no socket afterwards
        const char* logged_peer;
        bool open_failure_logged;
    } cases[] = {
        // Select 1 and empty or invalid destinations: the end-to-end test covers them.
        {2, "127.0.0.3", "127.0.0.2", "127.0.0.1", 1, "127.0.0.3:1234", "127.0.0.3", false},
        {0, "1.2.3", "", "", 1, "none", "1.2.3", false},
        {0, "0.1.2.3", "", "", 1, "none", "0.1.2.3", false},
        // Multicast: time-to-live and our interface set; an interface not ours fails.
        {0, "239.1.2.3", "", "127.0.0.1", 7, "239.1.2.3:1234", "239.1.2.3", false},
        {0, "239.1.2.3", "", "10.9.8.7", 7, "none", "239.1.2.3", true},
    };
    const bool if_translated = multicast_if_translated();
    int sock = 0;
    for (auto c : cases) {
        if (!if_translated && std::strncmp(c.dest, "239.", 4) == 0) {
            c.peer = "none";
            c.open_failure_logged = true;
        }
        SCOPED_TRACE(std::string("dest '") + c.dest + "' alt '" + c.alt + "' select " +
                     std::to_string(c.select));
        shm_config->ts_dest_select = 0;
        std::strcpy(shm_config->ts_dest_ip, "127.0.0.1");
        ASSERT_GT(remake_ts_sock(&sock), 0);
        const int old = sock;
        const int fds_before = open_fd_count();
        std::remove(dir.file("log").c_str());

        shm_config->ts_dest_select = c.select;
        std::strcpy(shm_config->ts_dest_ip, c.dest);
        std::strcpy(shm_config->ts_dest_ip_alt, c.alt);
        std::strcpy(shm_config->local_ip, c.local);
        shm_config->multicast_ttl = c.ttl;
        const int result = remake_ts_sock(&sock);

        EXPECT_EQ(result, sock);
        EXPECT_EQ(peer_of(sock), c.peer);
        if (std::string(c.peer) == "none") {
            EXPECT_EQ(sock, 0);
            EXPECT_EQ(fcntl(old, F_GETFD), -1) << "old socket left open";
            EXPECT_EQ(open_fd_count(), fds_before - 1);
        } else {
            EXPECT_EQ(open_fd_count(), fds_before) << "old socket leaked";
        }
        if (std::strncmp(c.dest, "239.", 4) == 0 && sock > 0) {
            int ttl = 0;
            socklen_t len = sizeof ttl;
            getsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len);
            EXPECT_EQ(ttl, 7);
        }
        const std::string log = read_file(dir.file("log"));
        EXPECT_NE(log.find(std::string("[DBG] remake_ts_sock:1066 peer_ip-") + c.logged_peer +
                           " my_ip-" + c.local + "\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("fail to sockTxOpen\n") != std::string::npos, c.open_failure_logged)
            << log;
    }
}

}  // namespace
