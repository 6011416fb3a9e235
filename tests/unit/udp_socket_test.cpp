// The socket layer on real sockets in a private network namespace, and the IPv4 text helpers.
#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include "core/debug_log.h"
#include "support/isolation.h"
#include "support/stdout_capture.h"
#include "support/temp_dir.h"

namespace {

// What `run` writes through the screen logger.
std::string logged(const std::function<void()>& run) {
    dbg_to_screen();
    return stdout_of(run);
}

std::string addr_text(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    return getsockopt(fd, level, name, &value, &len) == 0 ? value : -1;
}

long core_sysctl(const std::string& name) {
    return std::atol(read_file("/proc/sys/net/core/" + name).c_str());
}

// The kernel reports twice min(asked, <r|w>mem_max); an untouched buffer <r|w>mem_default.
const char* buffer_state(int reported, const std::string& kind) {
    if (reported == 2 * std::min<long>(kSockBufferBytes, core_sysctl(kind + "mem_max")))
        return "set";
    return reported == core_sysctl(kind + "mem_default") ? "default" : "other";
}

// Everything the kernel reports of a socket; "if=?" where the emulator lacks IP_MULTICAST_IF.
std::string state_of(int fd) {
    sockaddr_in local{}, peer{};
    socklen_t len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    len = sizeof peer;
    const bool connected = getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
    timeval timeout{-1, -1};
    len = sizeof timeout;
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &len);
    in_addr mcast_if{};
    len = sizeof mcast_if;
    char if_text[INET_ADDRSTRLEN] = "?";
    if (getsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &mcast_if, &len) == 0)
        inet_ntop(AF_INET, &mcast_if, if_text, sizeof if_text);
    std::ostringstream s;
    s << addr_text(local) << " peer=" << (connected ? addr_text(peer) : "none")
      << " snd=" << buffer_state(int_option(fd, SOL_SOCKET, SO_SNDBUF), "w")
      << " rcv=" << buffer_state(int_option(fd, SOL_SOCKET, SO_RCVBUF), "r")
      << " timeout=" << timeout.tv_sec << "." << timeout.tv_usec
      << " reuse=" << int_option(fd, SOL_SOCKET, SO_REUSEADDR)
      << " cloexec=" << ((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0)
      << " nonblock=" << ((fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) << " pmtu="
      << (int_option(fd, IPPROTO_IP, IP_MTU_DISCOVER) == IP_PMTUDISC_DONT ? "off" : "on")
      << " loop=" << int_option(fd, IPPROTO_IP, IP_MULTICAST_LOOP)
      << " ttl=" << int_option(fd, IPPROTO_IP, IP_MULTICAST_TTL) << " if=" << if_text;
    return s.str();
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// The lowest free descriptor: a socket that leaked would take it.
int next_fd() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

// connect() to a group needs a route: in the private namespace 224.0.0.0/4 goes out on lo.
bool add_multicast_route() { return std::system("ip route add 224.0.0.0/4 dev lo") == 0; }

sockaddr_in g_remote;  // the remote record that the opens fill

std::string remote_state() {
    const auto* raw = reinterpret_cast<const unsigned char*>(&g_remote);
    if (std::all_of(raw, raw + sizeof g_remote, [](unsigned char b) { return b == 0x5A; }))
        return "untouched";
    const bool clean = g_remote.sin_family == AF_INET &&
                       std::all_of(std::begin(g_remote.sin_zero), std::end(g_remote.sin_zero),
                                   [](unsigned char b) { return b == 0; });
    return clean ? addr_text(g_remote) : "unclean record";
}

TEST(UdpSocket, EachOpenSetsItsOptionsBindsConnectsOrCleansUp) {
    ASSERT_TRUE(enter_private_net());
    ASSERT_TRUE(add_multicast_route());
    const bool has_if = state_of(socket(AF_INET, SOCK_DGRAM, 0)).find("if=?") == std::string::npos;
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in held{};
    StrAddr2SockAddr("127.0.0.1", 4100, &held);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&held), sizeof held), 0);

    const std::string tx_entry = R"(\[DBG\] sockTxOpen:\d+ MY-null:0 at-)";
    const std::string rx_entry = R"(\[DBG\] sockRxOpen:\d+ RX-)";
    const std::string unreachable = R"(connect ::: Network is unreachable\n\[DBG\] )";
    const std::string opts = R"( reuse=1 cloexec=1 nonblock=0 pmtu=)";
    const std::string sends = opts + "off loop=1 ttl=1 if=0.0.0.0 remote=";
    const std::string receives = opts + "on loop=1 ttl=1 if=0.0.0.0 remote=untouched";
    const std::string groups = R"(\S+ peer=239.1.2.3:5004 snd=set rcv=default timeout=0.0)" + opts +
                               "off loop=0 ttl=17 if=0.0.0.0 remote=239.1.2.3:5004";
    // 't' sockTxOpen, 'T' the same without a remote record, 'r' sockRxOpen, 'b' sockTRxOpen.
    struct Row {
        char open;
        const char *local, *iface, *remote;
        std::uint16_t local_port, remote_port;
        int ttl;
        std::string state;  // regular expression for state_of and the record, or "failed"
        std::string log;    // regular expression for the whole log
    } rows[] = {
        {'r', "127.0.0.1", nullptr, nullptr, 18005, 0, 0,
         "127.0.0.1:18005 peer=none snd=default rcv=set timeout=1.0" + receives,
         R"(\[DBG\] sockRxOpen:\d+ RX-127\.0\.0\.1:18005 at-null from-null:0\n)"},
        {'t', nullptr, nullptr, "127.0.0.1", 0, 5004, 9,
         R"(127.0.0.1:\d+ peer=127.0.0.1:5004 snd=set rcv=default timeout=0.0)" + sends +
             "127.0.0.1:5004",
         tx_entry + R"(null from-127\.0\.0\.1:5004\n)"},
        // A local address without a local port is not bound; no remote, no connect.
        {'t', "127.0.0.1", nullptr, nullptr, 0, 0, 1,
         "0.0.0.0:0 peer=none snd=default rcv=default timeout=0.0" + receives,
         R"(\[DBG\] sockTxOpen:\d+ MY-127\.0\.0\.1:0 at-null from-null:0\n)"},
        // Receive options need a local port; connecting needs no remote port.
        {'r', "127.0.0.1", "10.0.0.1", "127.0.0.1", 0, 9, 0,
         R"(127.0.0.1:\d+ peer=127.0.0.1:9 snd=default rcv=default timeout=0.0)" + receives,
         R"(\[DBG\] sockRxOpen:\d+ RX-127\.0\.0\.1:0 at-10\.0\.0\.1 from-127\.0\.0\.1:9\n)"},
        // A multicast source is neither connected nor joined (/proc below).
        {'r', nullptr, "127.0.0.1", "239.1.2.3", 5004, 5004, 0,
         "0.0.0.0:5004 peer=none snd=default rcv=set timeout=1.0" + receives, R"(.*\n)"},
        // Both directions, no entry log; an empty remote is not connected.
        {'b', "127.0.0.1", nullptr, "127.0.0.1", 7001, 7002, 1,
         "127.0.0.1:7001 peer=127.0.0.1:7002 snd=set rcv=set timeout=1.0" + sends +
             "127.0.0.1:7002",
         ""},
        {'b', nullptr, nullptr, "", 0, 7003, 1,
         "0.0.0.0:0 peer=none snd=set rcv=default timeout=0.0" + sends + "0.0.0.0:7003", ""},
        // The local control block 224.0.0.x is not multicast: the kernel's defaults stay.
        {'T', nullptr, "127.0.0.1", "224.0.0.255", 0, 5004, 17,
         R"(\S+ peer=224.0.0.255:5004 snd=set rcv=default timeout=0.0)" + sends + "untouched",
         R"(.*\n)"},
        {'t', nullptr, "127.0.0.1", "239.1.2.3", 0, 5004, 17,
         has_if ? std::regex_replace(groups, std::regex("if=0.0.0.0"), "if=127.0.0.1") : "failed",
         R"(.*\n(.|\n)*)"},
        // No interface given (empty or null): loop and time-to-live only.
        {'t', nullptr, "", "239.1.2.3", 0, 5004, 17, groups,
         tx_entry + R"( from-239\.1\.2\.3:5004\n)"},
        {'t', nullptr, nullptr, "239.1.2.3", 0, 5004, 17, groups, R"(.*\n)"},
        // Failures: the socket is closed, the out-descriptor left as it was.
        {'r', "127.0.0.1", nullptr, nullptr, 4100, 0, 0, "failed",
         rx_entry + R"(127\.0\.0\.1:4100 at-null from-null:0\n)"
                    "bind ::: Address already in use\n"},
        {'T', "10.9.9.9", nullptr, "127.0.0.1", 4000, 5004, 1, "failed",
         R"(\[DBG\] sockTxOpen:\d+ MY-10\.9\.9\.9:4000 at-null from-127\.0\.0\.1:5004\n)"
         "bind ::: Cannot assign requested address\n"},
        {'T', nullptr, nullptr, "10.1.2.3", 0, 5004, 1, "failed",
         tx_entry + R"(null from-10\.1\.2\.3:5004\n)" + unreachable + R"(sockTxOpen:\d+\n)"},
        {'r', nullptr, nullptr, "10.1.2.3", 0, 5004, 0, "failed",
         rx_entry + R"(null:0 at-null from-10\.1\.2\.3:5004\n)" + unreachable +
             R"(sockRxOpen:\d+\n)"},
        {'b', nullptr, nullptr, "10.1.2.3", 4200, 5004, 1, "failed",
         unreachable + R"(sockTRxOpen:\d+\n)"},
        {'T', nullptr, "10.9.9.9", "239.1.2.3", 0, 1234, 1, "failed",
         tx_entry +
             R"(10\.9\.9\.9 from-239\.1\.2\.3:1234\nfail to setsockopt IP_MULTICAST_IF\n ::: )" +
             std::strerror(has_if ? EADDRNOTAVAIL : ENOPROTOOPT) + "\n"},
        {'T', nullptr, nullptr, "239.1.2.3", 0, 1234, 300, "failed",
         tx_entry + R"(null from-239\.1\.2\.3:1234\nsetsockopt IP_MULTICAST_TTL)"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.state);
        std::memset(&g_remote, 0x5A, sizeof g_remote);
        int out = 4242, fd = -1, free_fd = -1, next_free = -1;
        const std::string log = logged([&] {
            free_fd = next_fd();  // inside: the capture holds a descriptor of its own
            sockaddr_in* record = r.open == 'T' ? nullptr : &g_remote;
            if (r.open == 'r')
                fd = sockRxOpen(r.local, r.local_port, r.iface, r.remote, r.remote_port, &out);
            else if (r.open == 'b')
                fd = sockTRxOpen(r.local, r.local_port, r.iface, r.remote, r.remote_port, &out,
                                 record, r.ttl);
            else
                fd = sockTxOpen(r.local, r.local_port, r.iface, r.remote, r.remote_port, &out,
                                record, r.ttl);
            next_free = next_fd();
        });
        EXPECT_TRUE(std::regex_match(log, std::regex(r.log))) << log;
        if (fd < 0) {
            EXPECT_EQ(r.state, "failed");
            EXPECT_EQ(out, 4242) << "the out-descriptor was written";
            EXPECT_EQ(next_free, free_fd) << "the socket was not closed";
            continue;
        }
        EXPECT_EQ(out, fd);
        const std::string want =
            has_if ? r.state : std::regex_replace(r.state, std::regex(" if=\\S+"), " if=\\?");
        const std::string got = state_of(fd) + " remote=" + remote_state();
        EXPECT_TRUE(std::regex_match(got, std::regex(want))) << got;
    }
    const std::string joined = read_file("/proc/self/net/igmp");
    EXPECT_EQ(joined.find("030201EF"), std::string::npos) << joined;
    EXPECT_EQ(joined.find("EF010203"), std::string::npos) << joined;
}

TEST(UdpSocket, McastCloseLeavesTheGroupThenCloses) {
    ASSERT_TRUE(enter_private_net());
    ASSERT_TRUE(add_multicast_route());
    // Interface joined on (null: not joined), group and interface given; result, still open.
    const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
        {"127.0.0.1", "239.1.2.3", "127.0.0.1", "0 closed"},
        {"0.0.0.0", "239.1.2.3", "", "0 closed"},
        {nullptr, "239.1.2.3", "127.0.0.1", "-1 open"},   // leaving fails
        {nullptr, "10.0.0.1", "127.0.0.1", "0 closed"}};  // no group: silent
    std::string log;
    for (const auto& [joined_on, group, iface, want] : rows) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const ip_mreq req{{inet_addr("239.1.2.3")}, {inet_addr(joined_on ? joined_on : "0")}};
        if (joined_on) setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req);
        int rc = 7;
        log += logged([&] { rc = sockMcastClose(fd, group, iface); });
        EXPECT_EQ(std::to_string(rc) + (is_open(fd) ? " open" : " closed"), want) << group;
    }
    EXPECT_EQ(log,
              "IP_DROP_MEMBERSHIP for multiaddr-239.1.2.3 interface-127.0.0.1\n"
              "IP_DROP_MEMBERSHIP for multiaddr-239.1.2.3 interface-INADDR_ANY\n"
              "IP_DROP_MEMBERSHIP for multiaddr-239.1.2.3 interface-127.0.0.1\n"
              "setsockopt ::: " +
                  std::string(std::strerror(EADDRNOTAVAIL)) + "\n");
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockClose(fd);
    EXPECT_FALSE(is_open(fd));
}

TEST(UdpSocket, TextHelpersAcceptAndRefuse) {
    const std::pair<const char*, int> multicast[] = {
        {"223.255.255.255", 0}, {"224.0.0.0", 0}, {"224.0.0.255", 0},     {"224.0.1.0", 1},
        {"239.255.255.255", 1}, {"240.0.0.0", 0}, {"255.255.255.255", 0}, {"127.0.0.1", 0}};
    for (const auto& [text, want] : multicast)
        EXPECT_EQ(isMulticastAddr(inet_addr(text)), want) << text;

    // Text, result, octets written (0xEE: not written; an empty field is not refused).
    using Octets = std::array<std::uint8_t, 4>;
    // clang-format off
    const std::tuple<const char*, int, Octets> quads[] = {
        {"192.168.0.1", 1, {192, 168, 0, 1}}, {"10.0.0.1\nrest is not read", 1, {10, 0, 0, 1}},
        {"255.255.255.255", 1, {255, 255, 255, 255}}, {"1.0.0.0", 1, {1, 0, 0, 0}},
        {"01.002.0003.4", 1, {1, 2, 3, 4}}, {"1..2.3", 1, {1, 0xEE, 2, 3}},
        {"0.1.2.3", 0, {}}, {"0.0.0.0", 0, {}}, {"1.2.3", 0, {}}, {"1.2.3.256", 0, {}},
        {"999.1.1.1", 0, {}}, {"1.2.3.4.", 0, {}}, {"1.2.3.", 0, {}}, {".1.2.3.4", 0, {}},
        {"1.2.3.4.5", 0, {}}, {"1.2.3.x", 0, {}}, {"", 0, {}}, {"\n1.2.3.4", 0, {}},
        {"1.2.3.4 ", 0, {}}, {" 1.2.3.4", 0, {}}, {"1.2.3.+4", 0, {}}, {"1.2.3.-4", 0, {}},
        {nullptr, 0, {}}};
    // clang-format on
    for (const auto& [text, ok, octets] : quads) {
        SCOPED_TRACE(text ? text : "null");
        std::array<std::uint8_t, 5> out{0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(StrAddr2Octets(text, out.data()), ok);
        EXPECT_EQ((ok ? Octets{out[0], out[1], out[2], out[3]} : Octets{}), octets);
        EXPECT_EQ(out[4], 0xEE) << "a fifth octet was written";
    }

    // Text, base, converted, value: a prefix is converted, the low 32 bits kept; "0x" in
    // base 16 converts its 0; beyond 64 bits strtoll saturates; base 1 does not exist.
    // clang-format off
    const std::tuple<const char*, int, int, std::uint32_t> numbers[] = {
        {"123", 10, 1, 123},  {"12abc", 10, 1, 12}, {"  42", 10, 1, 42}, {"1F", 16, 1, 31},
        {"0x1f", 16, 1, 31},  {"0x1F", 0, 1, 31},   {"017", 0, 1, 15},   {"017", 10, 1, 17},
        {"0x", 16, 1, 0},     {"+5", 10, 1, 5},     {"z", 36, 1, 35},
        {"-1", 10, 1, 0xFFFFFFFFu}, {" -7", 10, 1, 0xFFFFFFF9u}, {"4294967295", 10, 1, 0xFFFFFFFFu},
        {"4294967296", 10, 1, 0},   {"4294967297", 10, 1, 1},
        {"99999999999999999999", 10, 1, 0xFFFFFFFFu},
        {"", 10, 0, 0},   {"abc", 10, 0, 0}, {"x1", 16, 0, 0}, {"-", 10, 0, 0}, {" +", 10, 0, 0},
        {"-x", 16, 0, 0}, {"9", 8, 0, 0},    {"5", 1, 0, 0},   {nullptr, 10, 0, 0}};
    // clang-format on
    for (const auto& [text, base, ok, value] : numbers) {
        SCOPED_TRACE(std::string(text ? text : "null") + " base " + std::to_string(base));
        std::uint32_t out = 0xA5A5A5A5u;
        EXPECT_EQ(strToU32(text, &out, base), ok);
        EXPECT_EQ(out, ok ? value : 0xA5A5A5A5u);
    }

    // Source, size, what dst holds ('#': untouched); size - 1 bytes kept and terminated.
    const std::tuple<const char*, std::size_t, std::string> copies[] = {
        {"ABCDEFGHIJKLMNOPQRST", 16, "ABCDEFGHIJKLMNO"},
        {"ABCDEFGHIJKLMNOP", 16, "ABCDEFGHIJKLMNO"},
        {"ABCDEFGHIJKLMNO", 16, "ABCDEFGHIJKLMNO"},
        {"abc", 1, ""},
        {nullptr, 8, ""},
        {"abc", 0, ""}};
    for (const auto& [src, size, want] : copies) {
        char dst[24];
        std::memset(dst, '#', sizeof dst);
        strCopyN(dst, src, size);
        const std::string kept = size ? std::string(dst) : "";
        EXPECT_EQ(kept + std::string(dst + size, sizeof dst - size),
                  want + std::string(sizeof dst - size, '#'))
            << (src ? src : "null") << " " << size;
    }
}

TEST(UdpSocket, ReceiveAndTcpHelpers) {
    ASSERT_TRUE(enter_private_net());
    int rx = -1, peer = -1, other = -1;
    logged([&] {
        sockRxOpen("127.0.0.1", 7100, nullptr, nullptr, 0, &rx);
        sockTRxOpen("127.0.0.2", 7101, nullptr, "127.0.0.1", 7100, &peer, nullptr, 1);
        sockTRxOpen("127.0.0.3", 7102, nullptr, "127.0.0.1", 7100, &other, nullptr, 1);
    });
    ASSERT_TRUE(rx >= 0 && peer >= 0 && other >= 0);
    // recv_data: at most 1024 bytes and at most len, with the sender; a time-out is silent.
    const std::string big(1500, 'b');
    ASSERT_EQ(send(peer, big.data(), big.size(), 0), 1500);
    ASSERT_EQ(send(peer, "hello", 5, 0), 5);
    char buf[2000];
    std::memset(buf, '#', sizeof buf);
    sockaddr_in from{};
    int got[3] = {};
    EXPECT_EQ(logged([&] {
                  got[0] = recv_data(rx, buf, sizeof buf, &from);
                  got[1] = recv_data(rx, buf + 1100, 3, nullptr);
                  got[2] = recv_data(rx, buf, sizeof buf, &from);  // nothing within 1 s
              }),
              "");
    EXPECT_EQ(std::tuple(got[0], got[1], got[2], addr_text(from)),
              std::tuple(1024, 3, -1, "127.0.0.2:7101"));
    EXPECT_EQ(std::string(buf, 1025) + std::string(buf + 1100, 4), big.substr(0, 1024) + "#hel#");
    // recvFromPeer drains the socket, each datagram of the peer written over the one before;
    // an empty read is a failure.
    for (const auto& [fd, text] : {std::pair{peer, "first"}, {other, "OTHER!"}, {peer, "last"}})
        ASSERT_EQ(send(fd, text, std::strlen(text), 0), static_cast<ssize_t>(std::strlen(text)));
    char small[16] = {};
    const std::uint32_t peer_addr = inet_addr("127.0.0.2");
    EXPECT_EQ(recvFromPeer(rx, small, sizeof small, peer_addr), 1);
    EXPECT_STREQ(small, "lastt");
    ASSERT_EQ(send(other, "x", 1, 0), 1);
    EXPECT_EQ(recvFromPeer(rx, small, sizeof small, peer_addr), 0);
    ASSERT_EQ(send(peer, "", 0, 0), 0);
    EXPECT_EQ(logged([&] {
                  EXPECT_EQ(recvFromPeer(rx, small, sizeof small, peer_addr), -1);
              }).rfind("recv ::: ", 0),
              0u);

    // TCP: a client is accepted; a refused connection leaves no socket; a second server on
    // the listening port gives up after 11 failed binds a second apart, leaving no socket.
    int server = -1, accepted = -7, client = -1, refused = 0, free_fd = -1, waited[2] = {};
    EXPECT_EQ(logged([&] {
                  server = make_tcp_server(7300);
                  waited[0] = wait_tcp_client(server, &accepted);  // nobody comes
                  free_fd = next_fd();
                  refused = tcpConnectHost("127.0.0.1", 7301);
                  client = tcpConnectHost("127.0.0.1", 7300);
                  waited[1] = wait_tcp_client(server, &accepted);
              }),
              "");
    EXPECT_EQ(std::tuple(waited[0], refused, client, waited[1]), std::tuple(-1, -1, free_fd, 0));
    EXPECT_EQ(int_option(server, SOL_SOCKET, SO_REUSEADDR), 1);
    ASSERT_EQ(send(client, "tcp", 3, 0), 3);
    EXPECT_EQ(recv(accepted, buf, 3, MSG_WAITALL), 3);
    EXPECT_EQ(std::string(buf, 3), "tcp");
    int second = 0, next_free = -1;
    const std::string log = logged([&] {
        free_fd = next_fd();
        second = make_tcp_server(7300);
        next_free = next_fd();
    });
    const std::regex busy("make_tcp_server:\\d+ Error " + std::to_string(EADDRINUSE) + ":" +
                          std::strerror(EADDRINUSE) + "\n\r");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(log.begin(), log.end(), busy), std::sregex_iterator()),
        11);
    EXPECT_EQ(std::pair(second, next_free), std::pair(-1, free_fd));

    // Unknown hosts (no way out of the namespace: look-ups fail fast): 0, or the exit.
    in_addr addr{};
    EXPECT_EQ(StrAddr2IntAddr("127.0.0.1", &addr), AF_INET);
    EXPECT_EQ(addr.s_addr, inet_addr("127.0.0.1"));
    EXPECT_TRUE(std::regex_match(
        logged([&] { EXPECT_EQ(StrAddr2IntAddr("no-such-host.invalid", &addr), 0); }),
        std::regex(R"(StrAddr2IntAddr:\d+ unknown host 'no-such-host\.invalid'\n)")));
    EXPECT_EXIT(tcpConnectHost("no-such-host.invalid", 80), testing::ExitedWithCode(1), "");
}

}  // namespace
