// Interface requests and the default gateway of the utility library, on real interfaces
// (eth0 and the bridge br0) created in the test's own network namespace, checked against
// what `ip` and the kernel's route table say.
#include "util/net_config.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "support/isolation.h"
#include "support/private_system.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes quad(const std::uint8_t* b) { return Bytes(b, b + 4); }

// eth0 is a dummy interface, or one end of a veth pair where the kernel has no dummy
// driver; br0 is a bridge. Both live and die with the test's network namespace.
bool make_interfaces() {
    const bool eth0 = run_shell("ip link add eth0 type dummy 2>/dev/null") ||
                      (run_shell("ip link add eth0 type veth peer name eth0peer") &&
                       run_shell("ip link set eth0peer up"));
    return eth0 && run_shell("ip link add br0 type bridge");
}

std::string ip_text(const std::string& args) { return shell_output("ip " + args); }

std::string err_text(int err) { return std::strerror(err); }

class Interfaces : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(enter_private_net());
        ASSERT_TRUE(make_interfaces());
    }
};

TEST_F(Interfaces, AddressAndNetmaskMatchTheKernel) {
    std::uint8_t got[4];
    EXPECT_EQ(get_eth0_addr(got), 0) << "eth0 has no address yet";

    const std::uint8_t addr[4] = {10, 1, 2, 3};
    const std::uint8_t mask[4] = {255, 255, 240, 0};
    EXPECT_EQ(set_eth0_addr(addr), 1);
    EXPECT_EQ(set_eth0_netmask(mask), 1);
    EXPECT_NE(ip_text("-4 -o addr show dev eth0").find("inet 10.1.2.3/20 "), std::string::npos)
        << ip_text("-4 -o addr show dev eth0");
    ASSERT_EQ(get_eth0_addr(got), 1);
    EXPECT_EQ(quad(got), Bytes({10, 1, 2, 3}));
    ASSERT_EQ(get_eth0_netmask(got), 1);
    EXPECT_EQ(quad(got), Bytes({255, 255, 240, 0}));

    // Set by `ip`, read by us.
    ASSERT_TRUE(run_shell("ip addr add 172.16.5.9/12 dev br0"));
    ASSERT_EQ(get_br0_addr(got), 1);
    EXPECT_EQ(quad(got), Bytes({172, 16, 5, 9}));
    ASSERT_EQ(get_br0_netmask(got), 1);
    EXPECT_EQ(quad(got), Bytes({255, 240, 0, 0}));

    // Set by us, read by `ip`.
    const std::uint8_t br_addr[4] = {192, 168, 50, 129};
    const std::uint8_t br_mask[4] = {255, 255, 255, 128};
    EXPECT_EQ(set_br0_addr(br_addr), 1);
    EXPECT_EQ(set_br0_netmask(br_mask), 1);
    EXPECT_NE(ip_text("-4 -o addr show dev br0").find("inet 192.168.50.129/25 "), std::string::npos)
        << ip_text("-4 -o addr show dev br0");
    EXPECT_EQ(get_if_addr("br0", got), 1);
    EXPECT_EQ(quad(got), Bytes({192, 168, 50, 129}));
}

TEST_F(Interfaces, FailedRequestsReportAsDocumented) {
    const std::string no_dev = err_text(ENODEV);
    std::uint8_t b[6] = {255, 255, 255, 0, 0, 0};
    std::uint16_t f16;
    std::uint32_t f32;
    const struct {
        const char* what;
        std::function<int()> call;
        std::string log;
    } cases[] = {
        {"get_if_addr", [&] { return get_if_addr("nosuch0", b); }, ""},
        {"set_if_addr", [&] { return set_if_addr("nosuch0", b); },
         "SIOCSIFADDR ::: " + no_dev + "\n"},
        {"get_if_netmask", [&] { return get_if_netmask("nosuch0", b); },
         "NETMASK Error ::: " + no_dev + "\n"},
        {"set_if_netmask", [&] { return set_if_netmask("nosuch0", b); },
         "SIOCSIFNETMASK ::: " + no_dev + "\n"},
        {"get_if_hwaddr", [&] { return get_if_hwaddr("nosuch0", b); }, ""},
        {"get_if_flags", [&] { return get_if_flags("nosuch0", &f16); }, ""},
        {"get_if_flags32", [&] { return get_if_flags32("nosuch0", &f32); },
         "SIOCGIFFLAGS ::: " + no_dev + "\n"},
        {"set_if_flags", [&] { return set_if_flags("nosuch0", IFF_UP); }, ""},
        {"get_if_mtu", [&] { return get_if_mtu("nosuch0", &f32); },
         "SIOCGIFMTU ::: " + no_dev + "\n"},
        {"set_if_mtu", [&] { return set_if_mtu("nosuch0", 1400); },
         "SIOCGIFMTU ::: " + no_dev + "\n"},
        {"set_if_up", [&] { return set_if_up("nosuch0", 1); }, ""},
        // eth0 exists but has no address to give a netmask to.
        {"set_eth0_netmask", [&] { return set_eth0_netmask(b); },
         "SIOCSIFNETMASK ::: " + err_text(EADDRNOTAVAIL) + "\n"},
        // An MTU that does not fit the request's signed field is refused by the kernel.
        {"set_if_mtu eth0", [&] { return set_if_mtu("eth0", 0xFFFFFFFFu); },
         "SIOCSIFMTU ::: " + err_text(EINVAL) + "\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.call(), 0) << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.log) << c.what;
    }
    std::uint32_t mtu = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_if_mtu("eth0", &mtu), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "MTU : 1500\n");
    EXPECT_EQ(mtu, 1500u) << "a refused MTU changed the interface";
}

TEST_F(Interfaces, FlagsUpAndDown) {
    const std::regex up_flag("<([A-Z_-]+,)*UP[,>]");
    std::uint16_t before = 0;
    std::uint16_t flags = 0;
    ASSERT_EQ(get_if_flags("eth0", &before), 1);
    ASSERT_EQ(before & IFF_UP, 0);

    ASSERT_EQ(set_if_up("eth0", 1), 1);
    ASSERT_EQ(get_if_flags("eth0", &flags), 1);
    EXPECT_NE(flags & IFF_UP, 0);
    // Nothing else changes but what the kernel itself derives from being up.
    const int derived = IFF_UP | IFF_RUNNING;
    EXPECT_EQ(flags & ~derived, before & ~derived);
    EXPECT_TRUE(std::regex_search(ip_text("-o link show eth0"), up_flag))
        << ip_text("-o link show eth0");

    for (int down : {2, 0, -1}) {
        ASSERT_EQ(set_if_up("eth0", down), 1) << down;
        ASSERT_EQ(get_if_flags("eth0", &flags), 1);
        EXPECT_EQ(flags & IFF_UP, 0) << down;
        EXPECT_EQ(flags & ~derived, before & ~derived) << down;
        EXPECT_FALSE(std::regex_search(ip_text("-o link show eth0"), up_flag)) << down;
        ASSERT_EQ(set_if_up("eth0", 1), 1);
    }

    // IFF_DYNAMIC is bit 15: the 32-bit read must not sign-extend it.
    ASSERT_EQ(get_if_flags("eth0", &flags), 1);
    ASSERT_EQ(set_if_flags("eth0", static_cast<std::uint16_t>(flags | IFF_DYNAMIC)), 1);
    EXPECT_NE(ip_text("-o link show eth0").find("DYNAMIC"), std::string::npos);
    std::uint32_t flags32 = 0;
    std::uint16_t flags16 = 0;
    ASSERT_EQ(get_if_flags32("eth0", &flags32), 1);
    ASSERT_EQ(get_if_flags("eth0", &flags16), 1);
    EXPECT_EQ(flags32, std::uint32_t{flags16});
    EXPECT_EQ(flags32 & 0xFFFF8000u, 0x8000u);
}

TEST_F(Interfaces, MtuIsSetAndReadBack) {
    for (std::uint32_t mtu : {1400u, 576u, 1500u, 9000u}) {
        ASSERT_EQ(set_if_mtu("eth0", mtu), 1) << mtu;
        EXPECT_NE(ip_text("-o link show eth0").find(" mtu " + std::to_string(mtu) + " "),
                  std::string::npos)
            << mtu;
        std::uint32_t got = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(get_if_mtu("eth0", &got), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "MTU : " + std::to_string(mtu) + "\n");
        EXPECT_EQ(got, mtu);
    }
}

TEST_F(Interfaces, HardwareAddressAndLongNames) {
    ASSERT_TRUE(run_shell("ip link set eth0 address 02:11:22:33:44:5f"));
    std::uint8_t hw[6] = {};
    ASSERT_EQ(get_eth0_hwaddr(hw), 1);
    EXPECT_EQ(Bytes(hw, hw + 6), Bytes({0x02, 0x11, 0x22, 0x33, 0x44, 0x5f}));

    // Interface names hold 15 characters: a longer name is cut to them.
    ASSERT_TRUE(run_shell("ip link add abcdefghijklmno type bridge"));
    ASSERT_TRUE(run_shell("ip link set abcdefghijklmno address 02:aa:bb:cc:dd:ee"));
    EXPECT_EQ(get_if_hwaddr("abcdefghijklmnoXYZ", hw), 1);
    EXPECT_EQ(Bytes(hw, hw + 6), Bytes({0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee}));
    EXPECT_EQ(set_if_up("abcdefghijklmnoXYZ", 1), 1);
    std::uint16_t flags = 0;
    ASSERT_EQ(get_if_flags("abcdefghijklmno", &flags), 1);
    EXPECT_NE(flags & IFF_UP, 0);
}

// ---- default gateway ---------------------------------------------------------------------

// eth0 up with 10.1.2.3/24, so gateways 10.1.2.x can be reached.
void eth0_on_subnet() {
    ASSERT_TRUE(run_shell("ip addr add 10.1.2.3/24 dev eth0 && ip link set eth0 up"));
}

std::string default_routes() { return ip_text("route show default"); }

const std::regex kReportLine(R"(^(\w+):(\d+) (\w+):(\d+) Error (\d+):[^\n]*\n\r$)");

// The report of a failed route command: "<fn>:<line> <fn>:<line> Error <errno>:<text>\n\r".
void expect_command_report(const std::string& log, const char* function) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(log, m, kReportLine)) << log;
    EXPECT_EQ(m[1].str(), function);
    EXPECT_EQ(m[3].str(), function);
    EXPECT_EQ(m[2].str(), m[4].str());
}

TEST_F(Interfaces, DefaultGatewaySetReadAndDeleted) {
    if (kUnderEmulator)
        GTEST_SKIP() << "/proc/net/route is printed in the host kernel's byte order, not the "
                        "emulated appliance's, so gateways read back reversed";
    if (access("/sbin/route", X_OK) != 0)
        GTEST_SKIP() << "/sbin/route (net-tools) is missing; scripts/setup.sh installs it";
    eth0_on_subnet();
    std::uint8_t gw[4] = {};
    EXPECT_EQ(get_gateway(gw), 0);

    const std::uint8_t want[4] = {10, 1, 2, 1};
    ASSERT_EQ(set_gateway(want), 1);
    EXPECT_NE(default_routes().find("default via 10.1.2.1 dev eth0"), std::string::npos)
        << default_routes();
    ASSERT_EQ(get_gateway(gw), 1);
    EXPECT_EQ(quad(gw), Bytes({10, 1, 2, 1}));

    // A new gateway replaces the old one.
    const std::uint8_t other[4] = {10, 1, 2, 254};
    ASSERT_EQ(set_gateway(other), 1);
    EXPECT_EQ(default_routes().find("10.1.2.1 "), std::string::npos) << default_routes();
    ASSERT_EQ(get_gateway(gw), 1);
    EXPECT_EQ(quad(gw), Bytes({10, 1, 2, 254}));

    // Every default route of eth0 goes, however many there are.
    ASSERT_TRUE(run_shell("ip route append default via 10.1.2.9 dev eth0 metric 50"));
    ASSERT_TRUE(run_shell("ip route append default via 10.1.2.8 dev eth0 metric 60"));
    EXPECT_EQ(del_gateway(), 1);
    EXPECT_EQ(default_routes(), "");
    EXPECT_EQ(get_gateway(gw), 0);
    EXPECT_EQ(del_gateway(), 1) << "nothing to delete is success";

    // A gateway that is not on any local subnet cannot be added.
    const std::uint8_t far[4] = {192, 168, 77, 1};
    testing::internal::CaptureStdout();
    EXPECT_EQ(set_gateway(far), 0);
    expect_command_report(testing::internal::GetCapturedStdout(), "set_gateway");

    // A default route of br0 is not eth0's.
    ASSERT_TRUE(run_shell("ip addr add 10.9.9.1/24 dev br0 && ip link set br0 up"));
    ASSERT_TRUE(run_shell("ip route add default via 10.9.9.254 dev br0"));
    EXPECT_EQ(get_gateway(gw), 0);
}

// Replaces the route command, in the test's own mount namespace, by a script that logs its
// arguments to `calls` and exits with `status`.
void fake_route_command(const TempDir& dir, int status) {
    ASSERT_TRUE(enter_private_mounts());
    ASSERT_TRUE(mount_tmpfs("/sbin"));
    write_file("/sbin/route", "#!/bin/sh\necho \"$@\" >> " + dir.file("calls") + "\nexit " +
                                  std::to_string(status) + "\n");
    ASSERT_EQ(chmod("/sbin/route", 0755), 0);
}

TEST_F(Interfaces, DelGatewayGivesUpWhenTheRouteSurvives) {
    eth0_on_subnet();
    ASSERT_TRUE(run_shell("ip route add default via 10.1.2.1 dev eth0"));
    TempDir dir;
    fake_route_command(dir, 0);  // succeeds, deletes nothing

    testing::internal::CaptureStdout();
    EXPECT_EQ(del_gateway(), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(del_gateway:\d+ default route of eth0 survives 16 deletions\n\r)")))
        << log;
    std::string expected_calls;
    for (int i = 0; i < kGatewayDeleteTries; ++i) expected_calls += "del default\n";
    EXPECT_EQ(read_file(dir.file("calls")), expected_calls);
}

TEST_F(Interfaces, FailingRouteCommandsAreReported) {
    eth0_on_subnet();
    TempDir dir;
    fake_route_command(dir, 7);

    // No default route: nothing to delete, then the add fails.
    const std::uint8_t gw[4] = {10, 1, 2, 1};
    testing::internal::CaptureStdout();
    EXPECT_EQ(set_gateway(gw), 0);
    expect_command_report(testing::internal::GetCapturedStdout(), "set_gateway");
    EXPECT_EQ(read_file(dir.file("calls")), "add default gw 10.1.2.1\n");

    ASSERT_TRUE(run_shell("ip route add default via 10.1.2.1 dev eth0"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(del_gateway(), 0);
    expect_command_report(testing::internal::GetCapturedStdout(), "del_gateway");
    EXPECT_EQ(read_file(dir.file("calls")), "add default gw 10.1.2.1\ndel default\n");
}

TEST(Gateway, ReadsTheRouteTableText) {
    // A route table of our own making in a private /proc shows how each line is read.
    ASSERT_TRUE(enter_private_mounts());
    // The kernel prints the network-order address as one native-order number.
    auto kernel_hex = [](std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
        const std::uint8_t wire[4] = {a, b, c, d};
        std::uint32_t native;
        std::memcpy(&native, wire, 4);
        char text[9];
        std::snprintf(text, sizeof text, "%08X", native);
        return std::string(text);
    };
    auto line = [](const std::string& iface, const std::string& dest, const std::string& gw,
                   const std::string& flags) {
        std::string l =
            iface + "\t" + dest + "\t" + gw + "\t" + flags + "\t0\t0\t0\t00000000\t0\t0\t0";
        return l + std::string(l.size() < 127 ? 127 - l.size() : 0, ' ') + "\n";
    };
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT";
    const std::string gw = kernel_hex(10, 1, 2, 1);
    const std::string net = kernel_hex(10, 1, 2, 0);

    const struct {
        const char* what;
        std::string table;
        int ok;
        Bytes gateway;
        std::string log;
    } cases[] = {
        {"up default route", line("eth0", "00000000", gw, "0003"), 1, {10, 1, 2, 1}, ""},
        {"up, no gateway flag",
         line("eth0", "00000000", kernel_hex(192, 168, 0, 254), "0001"),
         1,
         {192, 168, 0, 254},
         ""},
        {"after other routes",
         line("eth0", net, "00000000", "0001") + line("eth0", "00000000", gw, "0003"),
         1,
         {10, 1, 2, 1},
         ""},
        {"first of two",
         line("eth0", "00000000", gw, "0003") +
             line("eth0", "00000000", kernel_hex(10, 1, 2, 7), "0003"),
         1,
         {10, 1, 2, 1},
         ""},
        {"route down", line("eth0", "00000000", gw, "0002"), 0, {}, ""},
        {"flags not hexadecimal", line("eth0", "00000000", gw, "zz"), 0, {}, ""},
        {"7 digits", line("eth0", "00000000", gw.substr(0, 7), "0003"), 0, {}, ""},
        {"9 digits", line("eth0", "00000000", gw + "0", "0003"), 0, {}, ""},
        {"not hexadecimal",
         line("eth0", "00000000", "ZZZZZZZZ", "0003"),
         0,
         {},
         "Invalid IP [ZZZZZZZZ]\n\r"},
        {"br0 only", line("br0", "00000000", gw, "0003"), 0, {}, ""},
        {"no default route", line("eth0", net, "00000000", "0001"), 0, {}, ""},
        {"empty table", "", 0, {}, ""},
    };
    ASSERT_TRUE(mount_tmpfs("/proc"));
    ASSERT_EQ(mkdir("/proc/net", 0755), 0);
    for (const auto& c : cases) {
        // Written beside and renamed: qemu-user serves opens of this very path itself.
        write_file("/proc/net/route.new",
                   header + std::string(127 - header.size(), ' ') + "\n" + c.table);
        ASSERT_EQ(rename("/proc/net/route.new", "/proc/net/route"), 0);
        std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        testing::internal::CaptureStdout();
        const int ok = get_gateway(out);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, c.ok) << c.what;
        EXPECT_EQ(log, c.log) << c.what;
        if (c.ok) {
            EXPECT_EQ(quad(out), c.gateway) << c.what;
        }
    }
    umount2("/proc", MNT_DETACH);
}

}  // namespace
