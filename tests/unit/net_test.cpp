// The socket layer on the sandbox's loopback: what each open leaves in the kernel, its log
// and its clean-up; the receive and TCP helpers.
#include "net/tcp_socket.h"
#include "net/udp_socket.h"

#include <fcntl.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "core/clock.h"
#include "support/unit.h"

namespace {

std::string text(const sockaddr_in& a) {
    return std::string(inet_ntoa(a.sin_addr)).append(":").append(std::to_string(ntohs(a.sin_port)));
}

// Address, peer, receive time-out (s), close-on-exec, then S where a buffer is as asked
// (the kernel reports twice the 524288 bytes, or twice its maximum when lower), path-MTU
// discovery, multicast loopback and time-to-live, address reuse.
std::string state_of(int fd) {
    sockaddr_in local{}, peer{};
    timeval timeout{};
    socklen_t n = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &n);
    const bool connected = getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &n) == 0;
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &(n = sizeof timeout));
    std::string s = text(local) + " " + (connected ? text(peer) : "-") + " t" +
                    std::to_string(timeout.tv_sec) + " c" + std::to_string(fcntl(fd, F_GETFD));
    // clang-format off
    for (const auto& [level, name, max] : std::initializer_list<std::tuple<int, int, std::string>>{
             {SOL_SOCKET, SO_SNDBUF, "wmem_max"}, {SOL_SOCKET, SO_RCVBUF, "rmem_max"}, {IPPROTO_IP, IP_MTU_DISCOVER, ""},
             {IPPROTO_IP, IP_MULTICAST_LOOP, ""}, {IPPROTO_IP, IP_MULTICAST_TTL, ""}, {SOL_SOCKET, SO_REUSEADDR, ""}}) {
        int v = -1;
        getsockopt(fd, level, name, &v, &(n = sizeof v));
        s += max.empty() ? std::string(" ").append(std::to_string(v))
             : v == 2 * std::min(524288, std::stoi(file_text("/proc/sys/net/core/" + max))) ? " S" : " -";
    }
    // clang-format on
    return s;
}

long open_fds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

TEST(Sockets, EachOpenLeavesItsOptionsBindingAndPeerOrCleansUp) {
    ASSERT_EQ(std::system("ip route add 224.0.0.0/4 dev lo"), 0);  // groups reachable on lo
    // Each open, then state_of and the remote record it filled; after a failure, its log.
    const std::pair<std::function<int(int*, sockaddr_in*)>, const char*> rows[] = {
        // clang-format off
        {[](int* o, auto*) { return sockRxOpen("127.0.0.1", 18005, nullptr, nullptr, 0, o); },
         "127.0.0.1:18005 - t1 c1 - S 1 1 1 1 -"},
        {[](int* o, auto* r) { return sockTxOpen(nullptr, 0, nullptr, "127.0.0.1", 5004, o, r, 9); },
         R"(127.0.0.1:\d+ 127.0.0.1:5004 t0 c1 S - 0 1 1 1 127.0.0.1:5004)"},
        // A local address without a local port is not bound; no remote port, no send options.
        {[](int* o, auto* r) { return sockTxOpen("127.0.0.1", 0, nullptr, nullptr, 0, o, r, 1); },
         "0.0.0.0:0 - t0 c1 - - 1 1 1 1 -"},
        {[](int* o, auto* r) { return sockTRxOpen("127.0.0.1", 7001, nullptr, "127.0.0.1", 7002, o, r, 1); },
         "127.0.0.1:7001 127.0.0.1:7002 t1 c1 S S 0 1 1 1 127.0.0.1:7002"},
        // 224.0.0.x, the local control block, is not multicast; 224.0.1.0 is.
        {[](int* o, auto*) { return sockTxOpen(nullptr, 0, "127.0.0.1", "224.0.0.255", 5004, o, nullptr, 17); },
         R"(0.0.0.0:\d+ 224.0.0.255:5004 t0 c1 S - 0 1 1 1 -)"},
        {[](int* o, auto* r) { return sockTxOpen(nullptr, 0, "", "224.0.1.0", 5004, o, r, 17); },
         R"(0.0.0.0:\d+ 224.0.1.0:5004 t0 c1 S - 0 0 17 1 224.0.1.0:5004)"},
        // Failures close the socket and leave the out-descriptor alone.
        {[](int* o, auto*) { return sockRxOpen("10.9.9.9", 4100, nullptr, nullptr, 0, o); },
         R"(\[DBG\] sockRxOpen:\d+ RX-10.9.9.9:4100 at-null from-null:0\nbind ::: Cannot assign requested address\n)"},
        {[](int* o, auto*) { return sockTxOpen(nullptr, 0, nullptr, "10.1.2.3", 5004, o, nullptr, 1); },
         R"(\[DBG\] sockTxOpen:\d+ MY-null:0 at-null from-10.1.2.3:5004\nconnect ::: Network is unreachable\n\[DBG\] sockTxOpen:\d+\n)"}};
    // clang-format on
    for (const auto& [open, want] : rows) {
        sockaddr_in rec{};
        int out = 4242, fd = -1;
        const long fds = open_fds();
        const std::string log = log_of([&] { fd = open(&out, &rec); });
        const std::string got =
            fd < 0 ? log : state_of(fd) + " " + (rec.sin_family ? text(rec) : "-");
        EXPECT_TRUE(std::regex_match(got, std::regex(want))) << got;
        EXPECT_EQ(std::pair(out, open_fds() - fds),
                  std::pair(fd < 0 ? 4242 : fd, fd < 0 ? 0L : 1L));
    }
}

TEST(Sockets, ReceiveAndTcpHelpers) {
    // recv_data takes at most 1024 bytes, with the sender's address; an empty datagram leaves
    // the address alone, and ends recvFromPeer's drain as a failure.
    const int rx = sockRxOpen("127.0.0.1", 7100, nullptr, nullptr, 0, nullptr),
              tx = sockTxOpen("127.0.0.2", 7101, nullptr, "127.0.0.1", 7100, nullptr, nullptr, 1);
    char buf[2000] = {};
    sockaddr_in from{}, none{};
    ASSERT_EQ(send(tx, buf, 1500, 0), 1500);
    ASSERT_EQ(send(tx, buf, 0, 0), 0);
    EXPECT_EQ(recv_data(rx, buf, sizeof buf, &from), 1024);
    EXPECT_EQ(recv_data(rx, buf, sizeof buf, &none), 0);
    ASSERT_EQ(send(tx, buf, 0, 0), 0);
    EXPECT_EQ(recvFromPeer(rx, buf, 16, inet_addr("127.0.0.2")), -1);
    EXPECT_EQ(text(from) + " " + text(none), "127.0.0.2:7101 0.0.0.0:0");
    // TCP: an accept that waits 1 s for nobody, then one that takes the connection.
    int accepted = -1, server = make_tcp_server(7300);
    const std::int64_t start = get_time_usec();
    EXPECT_EQ(wait_tcp_client(server, &accepted), -1);
    EXPECT_GE(get_time_usec() - start, 900'000);
    const int client = tcpConnectHost("127.0.0.1", 7300);
    EXPECT_EQ(wait_tcp_client(server, &accepted) + send(client, "t", 1, 0), 1);
    in_addr addr{};  // a name that does not resolve (the sandbox has no name server)
    EXPECT_EQ(StrAddr2IntAddr("no.such.host.invalid", &addr), 0);
}

}  // namespace
