// The appliance utility library on real system state that only this test case sees (its
// sandbox): its own network namespace (eth0 a dummy or veth end, br0 a bridge), /tmp and
// mount table (a route table in a private /proc, a stand-in /sbin/route, a copy of /etc),
// a pseudo-terminal, a child process and shell commands.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cmath>
#include <regex>

#include "support/unit.h"
#include "util/file_utils.h"
#include "util/net_config.h"
#include "util/text_utils.h"

namespace {

// The values, each followed by a space; doubles to 12 digits.
template <class... T>
std::string join(const T&... v) {
    std::ostringstream s;
    s.precision(12);
    ((s << v << ' '), ...);
    return s.str();
}

// What f(args..., out) returns, then the 6 bytes of `out` in hexadecimal (ee: not written).
template <class F, class... A>
std::string out6(F f, A... args) {
    std::uint8_t o[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    std::string s = join(f(args..., o));
    for (const int b : o) s += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return s + " ";
}

TEST(TextUtils, ConversionsAtTheirBoundaries) {
    const auto sum = [](const Bytes& b) { return +checksum8(b.data(), b.size()); };
    // Nine words fit; a tenth is stored in the last slot, logged and refused.
    char nine[] = " a b c d e f g h  i ", ten[] = "a b c d e f g h i j k", *w[kMaxArgs + 1] = {};
    int n[2] = {}, r[2] = {};
    const auto log = log_of([&] { r[0] = splitArgs(nine, n, w), r[1] = splitArgs(ten, n + 1, w); });
    const auto word = [](auto f, const char* t, int o = 7) { return join(f(t, &o), o); };
    const auto cased = [](void (*f)(char*), std::string t = "aZ-9q") { return f(t.data()), t; };
    const std::uint8_t group[] = {239, 255, 2, 3, 0};
    char hex[9];
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {join(r[0], n[0], r[1], n[1], w[0], w[9], !w[10]) + log, "1 9 0 10 a j 1 Too many argument\n"},
        // Half away from zero; beyond the 32-bit range, and NaN, saturate. n < 0 decimals keep
        // the value, 10 count as 9 (10^10 would wrap a 32-bit scale).
        {join(roundToInt(2.5), roundToInt(-2.5), roundToInt(0.49), roundToInt(2147483646.4), roundToInt(3e9), roundToInt(-3e9)),
         "3 -3 0 2147483646 2147483647 -2147483648 "},
        {join(roundToInt(NAN), roundToDecimals(-1.25, 1), roundToDecimals(1.55, -1), roundToDecimals(0.12345678912, 10)),
         "-2147483648 -1.3 1.55 0.123456789 "},
        // The byte that makes the sum 0: the last byte is not summed; no bytes: 0.
        {join(sum({1, 2, 0}), sum({0xFF}), sum({0x10, 0x20, 0x30, 0x99}), sum({0xFF, 0xFF, 0xFF, 0}), sum({})), "253 0 160 3 0 "},
        // Odd length or a pair that does not convert: 0, the pairs before it kept.
        {out6(hexStrToBytes, "0aFf") + out6(hexStrToBytes, "abc") + out6(hexStrToBytes, "0AZZ"),
         "1 0aff00eeeeee 0 eeeeeeeeeeee 0 0aeeeeeeeeee "},
        // Only ':' separates, and only the first 17 characters count; a group's MAC is 01:00:5E
        // and its low 23 bits (RFC 1112); hexadecimal text ends at the zero byte.
        {out6(StrMac2Octets, "00:1a:2B:3c:4D:5e:77") + out6(StrMac2Octets, "00-1a-2B-3c-4D-5e") +
         out6(StrMac2Octets, "00:1a:2B:3c:4D.5e") + out6(StrMac2Octets, "00:1a:2B:3c:4D:5") + out6(McastAddr2Mac, group) +
         join(bytesToHexStr(group, hex), hex), "1 001a2b3c4d5e 0 eeeeeeeeeeee 0 eeeeeeeeeeee 0 eeeeeeeeeeee 1 01005e7f0203 1 EFFF0203 "},
        // Each octet on its own (a top bit never reaches the octet before); a text that is
        // no dotted quad is in no subnet, not even beside an equal one.
        {join(isSameSubnet("192.168.1.10", "255.255.255.0", "192.168.1.200"), isSameSubnet("10.0.0.1", "255.255.255.252", "10.0.0.4"),
              isSameSubnet("10.128.0.0", "255.255.0.0", "11.0.0.0"), isSameSubnet("10.0.128.0", "255.255.255.0", "10.1.0.0"),
              isSameSubnet("bad", "255.0.0.0", "bad"), isSameSubnet("1.0.0.1", "x", "1.0.0.1"), isSameSubnet(nullptr, "0.0.0.0", "1.1.1.1")),
         "1 0 0 0 0 0 0 "},
        // Unicast, first octet 255, multicast (224.0.0.x, local network control, is not).
        {out6(isUnicastAddrStr, "192.168.0.1") + out6(isUnicastAddrStr, "239.1.1.1") + out6(isUnicastAddrStr, "") + out6(isFirstOctet255, "255.1.2.3") +
         out6(isMulticastAddrStr, "224.0.0.251"), "1 c0a80001eeee 0 ef010101eeee 0 eeeeeeeeeeee 1 ff010203eeee 0 e00000fbeeee "},
        {join(onOffStr(0), onOffStr(2), enableStr(1), enableStr(2), bitStr(0), bitStr(1), bitStr(2), cased(strToUpper), cased(strToLower)) +
         word(parseOnOff, "oN") + word(parseOnOff, "On ") + word(parseEnable, "enable") + word(parseEnable, "DisAble") + word(parseEnable, "ENABLED") +
         word(parseBit, "1") + word(parseBit, "01"), "Off Unknown ENABLE Unknown 0 1 Unknown AZ-9Q az-9q 1 1 0 7 1 1 1 0 0 7 1 1 0 7 "}};
    // clang-format on
    for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST(TextUtils, QuadsAndNumbersAcceptAndRefuse) {
    // Multicast ends with 239.255.255.255 (where it begins, the socket opens show).
    for (const auto& [addr, want] : {std::pair{"239.255.255.255", 1}, {"240.0.0.0", 0}})
        EXPECT_EQ(isMulticastAddr(inet_addr(addr)), want) << addr;
    // The octets of an accepted text (0xEE: not written; "1..2.3" is not refused); whether
    // the exact reading accepts it too (only "a.b.c.d" as it would be printed).
    using Octets = std::array<std::uint8_t, 5>;
    // clang-format off
    const std::tuple<const char*, int, Octets, int> quads[] = {
        {"192.168.0.1", 1, {192, 168, 0, 1, 0xEE}, 1}, {"10.0.0.1\n9", 1, {10, 0, 0, 1, 0xEE}, 0},
        {"255.255.255.255", 1, {255, 255, 255, 255, 0xEE}, 1}, {"01.002.0003.4", 1, {1, 2, 3, 4, 0xEE}, 0},
        {"1..2.3", 1, {1, 0xEE, 2, 3, 0xEE}, 0}, {"0.1.2.3", 0, {0, 1, 2, 3, 0xEE}, 1}, {"1.2.3", 0, {}, 0},
        {"1.2.3.256", 0, {}, 0}, {"1.2.3.", 0, {}, 0}, {".1.2.3", 0, {}, 0}, {"1.2.3.4.5", 0, {}, 0},
        {"1.2.3.x", 0, {}, 0}, {"1.2.3.+4", 0, {}, 0}, {" 1.2.3.4", 0, {}, 0}, {"1.2.3.4 ", 0, {}, 0},
        {"1.2.3.0", 1, {1, 2, 3, 0, 0xEE}, 1}, {"1.2.3.1000", 0, {}, 0}, {"", 0, {}, 0}, {nullptr, 0, {}, 0}};
    const std::tuple<const char*, int, int, std::uint32_t> numbers[] = {  // text, base, result, value
        {"12abc", 10, 1, 12}, {"  +42", 10, 1, 42}, {"1F", 16, 1, 31}, {"0x1f", 16, 1, 31},
        {"0x1F", 0, 1, 31}, {"017", 0, 1, 15}, {"0x", 16, 1, 0}, {"z", 36, 1, 35},
        {"-1", 10, 1, 0xFFFFFFFF}, {"4294967297", 10, 1, 1}, {"99999999999999999999", 10, 1, 0xFFFFFFFF},
        {"", 10, 0, 0}, {"abc", 10, 0, 0}, {"x1", 16, 0, 0}, {" +", 10, 0, 0}, {"8", 8, 0, 0},
        {"a", 0, 0, 0}, {"5", 1, 0, 0}, {"5", 37, 0, 0}, {"5", -1, 0, 0}, {nullptr, 10, 0, 0}};
    // clang-format on
    for (const auto& [t, ok, want, exact] : quads) {
        Octets o{0xEE, 0xEE, 0xEE, 0xEE, 0xEE}, e = o;
        EXPECT_EQ(std::tuple(StrAddr2Octets(t, o.data()), ok ? o : want,
                             StrAddr2OctetsExact(t, e.data()), exact ? e : want),
                  std::tuple(ok, want, exact, want))
            << t;
    }
    // strToU8 takes the same texts and bases, keeping the low 8 bits.
    for (const auto& [t, base, ok, value] : numbers) {
        std::uint32_t n = 0xA5A5A5A5;
        std::uint8_t n8 = 0xA5;
        EXPECT_EQ(std::tuple(strToU32(t, &n, base), n, strToU8(t, &n8, base), n8),
                  std::tuple(ok, ok ? value : 0xA5A5A5A5, ok, ok ? value & 0xFF : 0xA5))
            << t;
    }
}

TEST(FileUtils, DropFileHeadAtItsBoundariesLocksAndShellCommands) {
    std::string bytes(10000, '\0');  // no short period: a block moved to the wrong place shows
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    // clang-format off
    const std::pair<std::size_t, const char*> drops[] = {  // n; the chunk, and the bytes kept
        {1, "1\ntruncate 10000 -> 9999"}, {4095, "4095\ntruncate 10000 -> 5905"}, {4096, "4096\ntruncate 10000 -> 5904"},
        {4097, "4096\ntruncate 10000 -> 5903"}, {9999, "4096\ntruncate 10000 -> 1"}, {10000, "4096\ntruncate 10000 -> 0"},
        {10001, "4096\ntruncate 10000 -> 0"}};
    // clang-format on
    for (const auto& [n, says] : drops) {
        write_text("/tmp/d", bytes);
        EXPECT_EQ(log_of([&] { EXPECT_EQ(drop_file_head("/tmp/d", n), 1); }),
                  "debug: buffer_size=" + std::string(says) + " bytes\n");
        EXPECT_TRUE(file_text("/tmp/d") == bytes.substr(n < 10000 ? n : 10000)) << n;
    }
    EXPECT_EQ(log_of([] { EXPECT_EQ(drop_file_head("/tmp/d", 0), 0); }), "invalid reduce size !\n");

    const int fd = open("/tmp/d", O_RDWR);
    const auto child_locks = [] {  // lock_file in another process, on its own descriptor
        const pid_t pid = fork();
        if (pid == 0) _exit(lock_file(open("/tmp/d", O_RDWR)));
        int status = -1;
        return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(lock_file(fd), 1);
    EXPECT_EQ(child_locks(), 0) << "another process got the lock that is held";
    EXPECT_EQ(unlock_file(fd), 0);
    EXPECT_EQ(child_locks(), 1) << "the lock was not released";

    // "echo <241 y> > /tmp/f" is 255 characters and runs; one more does not fit its buffer
    // and is not run at all.
    const std::string ys(241, 'y');
    EXPECT_EQ(write_by_shell("/tmp/f", ys.c_str()) + write_by_shell("/tmp/no", ys.c_str()), -1);
    EXPECT_EQ(file_text("/tmp/f") + file_text("/tmp/no"), ys + "\n");
    // A line written replaces the whole file; a first line read is cut to its room.
    char line[kFirstLineRoom];
    write_int_line("/tmp/f", -42), write_text_line("/tmp/g", ys.c_str());
    EXPECT_EQ(join(read_first_line("/tmp/g", line), line), "1 " + std::string(127, 'y') + " ");
    EXPECT_EQ((std::array{file_has_text("/tmp/g", "yyy"), file_has_text("/tmp/g", "yz"),
                          file_has_text("/tmp/none", "y")}),
              (std::array{1, 0, 0}));
    EXPECT_EQ(log_of([] { print_file_to_log("/tmp/f"), print_file_to_log("/tmp/g"); }),
              "-42\n" + ys + "\n");
}

// eth0 (a dummy interface, without the dummy driver a veth end) and the bridge br0.
TEST(Interfaces, RequestsGatewayAndAFailingOrLyingRouteCommand) {
    ASSERT_TRUE(
        run_shell("ip link add eth0 type dummy 2>/dev/null || (ip link add eth0 type veth peer "
                  "name p0 && ip link set p0 up); ip link add br0 type bridge && ip link "
                  "set eth0 address 02:11:22:33:44:5f"));
    const std::uint8_t addr[4] = {10, 1, 2, 3}, mask[4] = {255, 255, 255, 0},
                       br_addr[4] = {192, 168, 50, 129}, br_mask[4] = {255, 255, 255, 128},
                       gw1[4] = {10, 1, 2, 1}, gw9[4] = {10, 1, 2, 9};
    ASSERT_EQ(
        (std::vector{get_eth0_addr(Bytes(4).data()), set_eth0_addr(addr), set_eth0_netmask(mask),
                     set_br0_addr(br_addr), set_br0_netmask(br_mask), set_if_up("eth0", 1)}),
        (std::vector{0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(out6(get_eth0_addr) + out6(get_eth0_netmask) + out6(get_br0_addr) +
                  out6(get_br0_netmask) + out6(get_eth0_hwaddr),
              "1 0a010203eeee 1 ffffff00eeee 1 c0a83281eeee 1 ffffff80eeee 1 02112233445f ");
    // A request the kernel refuses is reported with its name.
    EXPECT_EQ(log_of([] { EXPECT_EQ(set_if_mtu("eth0", 0xFFFFFFFFu), 0); }),
              "SIOCSIFMTU ::: Invalid argument\n");
    EXPECT_EQ(shell_output("ip -4 -o addr show | awk '{print $2, $4}'; ip -o link show eth0 | grep "
                           "-o 'UP> mtu 1500'"),
              "lo 127.0.0.1/8\neth0 10.1.2.3/24\nbr0 192.168.50.129/25\nUP> mtu 1500\n");
    // /proc/net/route is printed in the host kernel's byte order, not the emulated
    // appliance's: under the emulator a real gateway reads back reversed.
    if (!kUnderEmulator) {
        EXPECT_EQ((std::vector{set_gateway(gw9), set_gateway(gw1), del_gateway()}),
                  (std::vector{1, 1, 1}));
    }

    // A stand-in /sbin/route logs its arguments and exits with the status in /sbin/status:
    // failing, then lying (success that deletes nothing: the deletions give up, the new
    // gateway is added, but the old one still reads back).
    ASSERT_TRUE(run_shell("ip route add default via 10.1.2.1 dev eth0") &&
                run_shell("mount -n -t tmpfs tmpfs /sbin"));
    write_text("/sbin/route", "#!/bin/sh\necho \"$@\" >> /sbin/calls\nexit $(cat /sbin/status)\n");
    write_text("/sbin/status", "7");
    ASSERT_EQ(chmod("/sbin/route", 0755), 0);
    EXPECT_EQ(del_gateway(), 0);
    EXPECT_EQ(set_gateway(gw9), 0);
    write_text("/sbin/status", "0");
    EXPECT_EQ(set_gateway(gw9), 0);
    std::string calls = "del default\ndel default\nadd default gw 10.1.2.9\n";
    for (int i = 0; i < 16; ++i) calls += "del default\n";
    EXPECT_EQ(file_text("/sbin/calls"), calls + "add default gw 10.1.2.9\n");
}

TEST(Interfaces, GatewayReadFromTheRouteTable) {
    ASSERT_TRUE(run_shell("mount -n -t tmpfs tmpfs /proc") &&
                mkdir("/proc/net", 0755) == 0);  // a route table of our own
    // The kernel prints the network-order address as one number in its own byte order. The
    // lines of br0 and of another route of eth0 come first, and are not the answer.
    const std::string gw = htonl(1) == 1 ? "0A010201" : "0102010A", none = "0 eeeeeeeeeeee ";
    const std::string head =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
        "br0\t00000000\t0A0A0A0A\t0003\t0\t0\t0\t00000000\n"
        "eth0\t0002010A\t00000000\t0001\t0\t0\t0\t00FFFFFF\neth0\t00000000\t";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {  // gateway, flags; result, gateway, log
        {gw + "\t0003", "1 0a010201eeee "}, {gw + "\t0001", "1 0a010201eeee "}, {gw + "\t0002", none},
        {gw.substr(1) + "\t0003", none}, {gw + "0\t0003", none}, {"ZZZZZZZZ\t0003", none + "Invalid IP [ZZZZZZZZ]\n\r"}};
    // clang-format on
    for (const auto& [route, want] : cases) {
        // Written beside and renamed: qemu-user serves opens of this very path itself.
        write_text("/proc/net/route.new", head + route + "\t0\t0\t0\t00000000\n");
        ASSERT_EQ(rename("/proc/net/route.new", "/proc/net/route"), 0);
        EXPECT_EQ(log_of([&] { EXPECT_EQ(out6(get_gateway), want.substr(0, 15)) << route; }),
                  want.substr(15));
    }
    umount2("/proc", MNT_DETACH);  // the sanitizers read /proc at exit
}

TEST(Host, SerialSpeedAndPassword) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string speed = "stty -F " + std::string(ptsname(master)) + " speed";
    const int line = open(ptsname(master), O_RDWR | O_NOCTTY), plain = open("/dev/null", O_RDWR);
    for (std::uint32_t baud : {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 115200u, 57600u}) {
        ASSERT_EQ(set_serial_speed(line, baud), 1);
        EXPECT_EQ(shell_output(speed), std::to_string(baud) + "\n");
    }
    const std::string log = log_of(
        [&] { EXPECT_EQ(set_serial_speed(line, 57601) + set_serial_speed(plain, 9600), 0); });
    EXPECT_EQ(log, "tcgetattr ::: Inappropriate ioctl for device\n");
    EXPECT_EQ(shell_output(speed), "57600\n");
    // The host name (the sandbox's own): an empty one is refused.
    EXPECT_EQ(set_hostname("") + set_hostname("appliance2"), 1);
    EXPECT_EQ(shell_output("hostname"), "appliance2\n");

    // A throw-away user in a copy of /etc (all of it: passwd renames a new shadow in). The
    // result says that the script ran, not that passwd agreed; a command too long for its
    // buffer does not run.
    ASSERT_TRUE(
        run_shell("cp -a /etc /tmp/etc && mount --bind /tmp/etc /etc && useradd -M utiltest"));
    EXPECT_EQ(shell_output("getent shadow utiltest | cut -d: -f2 | cut -c1"), "!\n");  // locked
    EXPECT_EQ(change_password("utiltest", "Zq7-pass") + change_password("nosuchuser", "x") +
                  change_password("x", std::string(256, 'p').c_str()),
              2);
    // Now a crypt hash.
    EXPECT_EQ(shell_output("getent shadow utiltest | cut -d: -f2 | cut -c1"), "$\n");
}

}  // namespace
