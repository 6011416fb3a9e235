// Interface requests and the default gateway of the utility library, on real interfaces
// created in the test's own network namespace, checked against `ip` and the route table.
#include "util/net_config.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "support/isolation.h"
#include "support/private_system.h"
#include "support/stdout_capture.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string ip_text(const std::string& args) { return shell_output("ip " + args); }

// eth0 a dummy (without the dummy driver, a veth end) and the bridge br0, both in the
// test's own network namespace.
class Interfaces : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(enter_private_net());
        ASSERT_TRUE(run_shell("ip link add eth0 type dummy 2>/dev/null") ||
                    run_shell("ip link add eth0 type veth peer name eth0peer && "
                              "ip link set eth0peer up"));
        ASSERT_TRUE(run_shell("ip link add br0 type bridge"));
    }
};

TEST_F(Interfaces, AddressAndNetmaskSetByUsAsTheKernelShowsThem) {
    std::uint8_t got[4];
    EXPECT_EQ(get_eth0_addr(got), 0) << "eth0 has no address yet";
    using Set = int (*)(const std::uint8_t*);
    using Get = int (*)(std::uint8_t*);
    // clang-format off
    const std::tuple<const char*, Set, Set, Get, Get, Bytes, Bytes, const char*> cases[] = {
        {"eth0", set_eth0_addr, set_eth0_netmask, get_eth0_addr, get_eth0_netmask,
         {10, 1, 2, 3}, {255, 255, 240, 0}, "inet 10.1.2.3/20 "},
        {"br0", set_br0_addr, set_br0_netmask, get_br0_addr, get_br0_netmask,
         {192, 168, 50, 129}, {255, 255, 255, 128}, "inet 192.168.50.129/25 "}};
    // clang-format on
    for (const auto& [name, set_addr, set_mask, get_addr, get_mask, addr, mask, shown] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(set_addr(addr.data()), 1);
        EXPECT_EQ(set_mask(mask.data()), 1);
        const std::string text = ip_text("-4 -o addr show dev " + std::string(name));
        EXPECT_NE(text.find(shown), std::string::npos) << text;
        ASSERT_EQ(get_addr(got), 1);
        EXPECT_EQ(Bytes(got, got + 4), addr);
        ASSERT_EQ(get_mask(got), 1);
        EXPECT_EQ(Bytes(got, got + 4), mask);
    }
}

TEST_F(Interfaces, FailedRequestsReportAsDocumented) {
    const std::string no_dev = std::string(" ::: ") + std::strerror(ENODEV) + "\n";
    std::uint8_t b[6] = {255, 255, 255, 0, 0, 0};
    std::uint16_t f16;
    std::uint32_t f32;
    const char* no = "nosuch0";
    // clang-format off
    const std::pair<std::function<int()>, std::string> cases[] = {
        {[&] { return get_if_addr(no, b); }, ""}, {[&] { return get_if_hwaddr(no, b); }, ""},
        {[&] { return get_if_flags(no, &f16); }, ""}, {[&] { return set_if_up(no, 1); }, ""},
        {[&] { return set_if_flags(no, IFF_UP); }, ""},
        {[&] { return set_if_addr(no, b); }, "SIOCSIFADDR" + no_dev},
        {[&] { return get_if_netmask(no, b); }, "NETMASK Error" + no_dev},
        {[&] { return set_if_netmask(no, b); }, "SIOCSIFNETMASK" + no_dev},
        {[&] { return get_if_flags32(no, &f32); }, "SIOCGIFFLAGS" + no_dev},
        {[&] { return get_if_mtu(no, &f32); }, "SIOCGIFMTU" + no_dev},
        {[&] { return set_if_mtu(no, 1400); }, "SIOCGIFMTU" + no_dev},
        // eth0 exists but has no address to give a netmask to.
        {[&] { return set_eth0_netmask(b); }, "SIOCSIFNETMASK ::: " + std::string(std::strerror(EADDRNOTAVAIL)) + "\n"}};
    // clang-format on
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(cases[i].first(), 0) << i; }), cases[i].second) << i;
}

TEST_F(Interfaces, FlagsMtuAndHardwareAddress) {
    std::uint16_t before = 0, flags = 0;
    ASSERT_EQ(get_if_flags("eth0", &before), 1);
    ASSERT_EQ(before & IFF_UP, 0);
    const int derived = IFF_UP | IFF_RUNNING;  // all that may change, as the kernel derives it
    for (int up : {1, 2, 0, -1, 1}) {
        ASSERT_EQ(set_if_up("eth0", up), 1) << up;
        ASSERT_EQ(get_if_flags("eth0", &flags), 1);
        EXPECT_EQ((flags & IFF_UP) != 0, up == 1) << up;
        EXPECT_EQ(flags & ~derived, before & ~derived) << up;
    }
    EXPECT_TRUE(std::regex_search(ip_text("-o link show eth0"), std::regex("<([A-Z_-]+,)*UP[,>]")));
    // IFF_DYNAMIC is bit 15: the 32-bit read must not sign-extend it.
    ASSERT_EQ(set_if_flags("eth0", static_cast<std::uint16_t>(flags | IFF_DYNAMIC)), 1);
    EXPECT_NE(ip_text("-o link show eth0").find("DYNAMIC"), std::string::npos);
    std::uint32_t flags32 = 0;
    ASSERT_EQ(get_if_flags32("eth0", &flags32) + get_if_flags("eth0", &flags), 2);
    EXPECT_EQ(flags32, flags);
    EXPECT_EQ(flags32 & 0xFFFF8000u, 0x8000u);

    // The MTU as the kernel shows it; one beyond the request's signed field is refused.
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(set_if_mtu("eth0", 0xFFFFFFFFu), 0); }),
              std::string("SIOCSIFMTU ::: ") + std::strerror(EINVAL) + "\n");
    std::uint32_t mtu = 0;
    for (std::uint32_t want : {1500u, 576u, 9000u}) {
        ASSERT_TRUE(want == 1500 || set_if_mtu("eth0", want) == 1) << want;
        EXPECT_NE(ip_text("-o link show eth0").find(" mtu " + std::to_string(want) + " "),
                  std::string::npos);
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(get_if_mtu("eth0", &mtu), 1); }),
                  "MTU : " + std::to_string(want) + "\n");
        EXPECT_EQ(mtu, want);
    }

    std::uint8_t hw[6] = {};  // interface names hold 15 characters: a longer one is cut
    ASSERT_TRUE(
        run_shell("ip link set eth0 address 02:11:22:33:44:5f && ip link add "
                  "abcdefghijklmno address 02:aa:bb:cc:dd:ee type bridge"));
    ASSERT_EQ(get_eth0_hwaddr(hw), 1);
    EXPECT_EQ(Bytes(hw, hw + 6), Bytes({0x02, 0x11, 0x22, 0x33, 0x44, 0x5f}));
    EXPECT_EQ(get_if_hwaddr("abcdefghijklmnoXYZ", hw), 1);
    EXPECT_EQ(Bytes(hw, hw + 6), Bytes({0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee}));
    EXPECT_EQ(set_if_up("abcdefghijklmnoXYZ", 1), 1);
    ASSERT_EQ(get_if_flags("abcdefghijklmno", &flags), 1);
    EXPECT_NE(flags & IFF_UP, 0);
}

// The report of a failed route command: "<fn>:<line> <fn>:<line> Error <errno>:<text>\n\r".
void expect_command_report(const std::string& log, const std::string& function) {
    const std::regex report("^" + function + R"(:(\d+) )" + function +
                            R"(:\1 Error \d+:[^\n]*\n\r$)");
    EXPECT_TRUE(std::regex_match(log, report)) << log;
}

TEST_F(Interfaces, DefaultGatewaySetReadAndDeleted) {
    if (kUnderEmulator)
        GTEST_SKIP() << "/proc/net/route is printed in the host kernel's byte order, not the "
                        "emulated appliance's, so gateways read back reversed";
    if (access("/sbin/route", X_OK) != 0)
        GTEST_SKIP() << "/sbin/route (net-tools) is missing; scripts/setup.sh installs it";
    ASSERT_TRUE(run_shell("ip addr add 10.1.2.3/24 dev eth0 && ip link set eth0 up"));
    std::uint8_t gw[4] = {};
    EXPECT_EQ(get_gateway(gw), 0);
    for (const Bytes& want : {Bytes{10, 1, 2, 1}, Bytes{10, 1, 2, 254}}) {  // the new one replaces
        ASSERT_EQ(set_gateway(want.data()), 1);
        ASSERT_EQ(get_gateway(gw), 1);
        EXPECT_EQ(Bytes(gw, gw + 4), want);
    }
    const std::string routes = ip_text("route show default");
    EXPECT_EQ(routes.find("default via 10.1.2.254 dev eth0"), 0u) << routes;
    EXPECT_EQ(routes.find("10.1.2.1 "), std::string::npos) << routes;
    // Every default route of eth0 goes, however many there are; none left is success.
    ASSERT_TRUE(
        run_shell("ip route append default via 10.1.2.9 dev eth0 metric 50 && "
                  "ip route append default via 10.1.2.8 dev eth0 metric 60"));
    EXPECT_EQ(del_gateway(), 1);
    EXPECT_EQ(ip_text("route show default"), "");
    EXPECT_EQ(del_gateway(), 1);
}

TEST_F(Interfaces, RouteCommandThatFailsOrLiesIsReported) {
    ASSERT_TRUE(run_shell("ip addr add 10.1.2.3/24 dev eth0 && ip link set eth0 up"));
    // In a private mount namespace, /sbin/route logs its arguments and exits with the
    // status in /sbin/route.status.
    ASSERT_TRUE(enter_private_tmp());
    ASSERT_TRUE(mount_tmpfs("/sbin"));
    write_file("/sbin/route",
               "#!/bin/sh\necho \"$@\" >> /sbin/route.calls\nexit $(cat /sbin/route.status)\n");
    ASSERT_EQ(chmod("/sbin/route", 0755), 0);

    // Failing: no default route, so nothing to delete, then the add fails.
    write_file("/sbin/route.status", "7");
    const std::uint8_t gw[4] = {10, 1, 2, 1};
    expect_command_report(stdout_of([&] { EXPECT_EQ(set_gateway(gw), 0); }), "set_gateway");
    ASSERT_TRUE(run_shell("ip route add default via 10.1.2.1 dev eth0"));
    expect_command_report(stdout_of([&] { EXPECT_EQ(del_gateway(), 0); }), "del_gateway");
    EXPECT_EQ(read_file("/sbin/route.calls"), "add default gw 10.1.2.1\ndel default\n");

    // Lying: it succeeds and deletes nothing; the deletion loop gives up.
    write_file("/sbin/route.status", "0");
    write_file("/sbin/route.calls", "");
    const std::string log = stdout_of([&] { EXPECT_EQ(del_gateway(), 0); });
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(del_gateway:\d+ default route of eth0 survives 16 deletions\n\r)")))
        << log;
    std::string calls;
    for (int i = 0; i < kGatewayDeleteTries; ++i) calls += "del default\n";
    EXPECT_EQ(read_file("/sbin/route.calls"), calls);
}

TEST(Gateway, ReadsTheRouteTableText) {
    ASSERT_TRUE(enter_private_tmp());  // a route table of our own in a private /proc
    ASSERT_TRUE(mount_tmpfs("/proc"));
    ASSERT_EQ(mkdir("/proc/net", 0755), 0);
    // The kernel prints the network-order address as one native-order number.
    auto hex = [](int a, int b, int c, int d) {
        if (std::endian::native == std::endian::little) std::swap(a, d), std::swap(b, c);
        char text[9];
        std::snprintf(text, sizeof text, "%02X%02X%02X%02X", a, b, c, d);
        return std::string(text);
    };
    // Lines padded to 127 characters as the kernel does; most are eth0's default route.
    auto pad = [](const std::string& l) { return l + std::string(127 - l.size(), ' ') + "\n"; };
    auto row = [&](const std::string& iface_dest, const std::string& gw, const char* flags) {
        return pad(iface_dest + "\t" + gw + "\t" + flags + "\t0\t0\t0\t00000000\t0\t0\t0");
    };
    auto dflt = [&](const std::string& gw, const char* flags) {
        return row("eth0\t00000000", gw, flags);
    };
    const std::string gw = hex(10, 1, 2, 1);
    const std::string net = row("eth0\t" + hex(10, 1, 2, 0), "00000000", "0001");
    // clang-format off
    const std::tuple<const char*, std::string, Bytes, std::string> cases[] = {
        {"up default route", dflt(gw, "0003"), {10, 1, 2, 1}, ""},
        {"up, no gateway flag", dflt(hex(192, 168, 0, 254), "0001"), {192, 168, 0, 254}, ""},
        {"after other routes", net + dflt(gw, "0003"), {10, 1, 2, 1}, ""},
        {"first of two", dflt(gw, "0003") + dflt(hex(10, 1, 2, 7), "0003"), {10, 1, 2, 1}, ""},
        {"route down", dflt(gw, "0002"), {}, ""},
        {"7 digits", dflt(gw.substr(0, 7), "0003"), {}, ""},
        {"9 digits", dflt(gw + "0", "0003"), {}, ""},
        {"not hexadecimal", dflt("ZZZZZZZZ", "0003"), {}, "Invalid IP [ZZZZZZZZ]\n\r"},
        {"br0 only", row("br0\t00000000", gw, "0003"), {}, ""},
        {"no default route", net, {}, ""}};
    // clang-format on
    const std::string header =
        pad("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT");
    for (const auto& [what, table, want, log] : cases) {
        SCOPED_TRACE(what);
        // Written beside and renamed: qemu-user serves opens of this very path itself.
        write_file("/proc/net/route.new", header + table);
        ASSERT_EQ(rename("/proc/net/route.new", "/proc/net/route"), 0);
        std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        int ok = -1;
        EXPECT_EQ(stdout_of([&] { ok = get_gateway(out); }), log);
        EXPECT_EQ(ok, want.empty() ? 0 : 1);
        EXPECT_EQ(Bytes(out, out + 4), want.empty() ? Bytes(4, 0xEE) : want);
    }
    umount2("/proc", MNT_DETACH);
}

}  // namespace
