// The text, address and number conversions of the utility library, as tables of cases
// with their boundaries.
#include "util/text_utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/clock.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TextUtils, NumberTextsAndRounding) {
    const double inf = std::numeric_limits<double>::infinity();
    // clang-format off
    const std::tuple<const char*, int, int, std::uint8_t> u8s[] = {  // text, base, ok, low byte
        {"255", 10, 1, 255}, {"256", 10, 1, 0}, {"-1", 10, 1, 255}, {"0x1F", 16, 1, 0x1F},
        {"777", 8, 1, 0xFF}, {"12abc", 10, 1, 12}, {"", 10, 0, 0xA5}, {"xyz", 10, 0, 0xA5}};
    const std::tuple<const char*, int, double> doubles[] = {
        {"-1e3x", 1, -1000.0}, {"abc", 0, 42.0}, {"", 0, 42.0}};
    // Half away from zero; beyond int32 (and NaN) saturates.
    const std::pair<double, std::int32_t> ints[] = {
        {2.5, 3}, {-2.5, -3}, {0.49, 0}, {-0.49, 0}, {2147483646.4, 2147483646},
        {2147483646.5, INT32_MAX}, {-2147483647.4, -2147483647}, {-2147483647.5, INT32_MIN},
        {inf, INT32_MAX}, {-inf, INT32_MIN}, {std::nan(""), INT32_MIN}};
    // More than 9 decimals count as 9 (the most a 32-bit scale holds); 1e10 * 100 saturates.
    const std::tuple<double, int, double> decimals[] = {
        {-1.25, 1, -1.3}, {1.55, -1, 1.55}, {2.5, 0, 3.0}, {3.14159, 4, 3.1416},
        {0.1234567891, 9, 0.123456789}, {0.12345678912, 10, 0.123456789}, {1e10, 2, 21474836.47}};
    // clang-format on
    for (const auto& [text, base, ok, value] : u8s) {
        std::uint8_t out = 0xA5;
        EXPECT_EQ(strToU8(text, &out, base), ok) << text;
        EXPECT_EQ(out, value) << text;
    }
    for (const auto& [text, ok, value] : doubles) {
        double out = 42.0;
        EXPECT_EQ(strToDouble(text, &out), ok) << text;
        EXPECT_EQ(out, value) << text;
    }
    for (const auto& [in, out] : ints) EXPECT_EQ(roundToInt(in), out) << in;
    for (const auto& [in, n, out] : decimals)
        EXPECT_DOUBLE_EQ(roundToDecimals(in, n), out) << in << " " << n;
    EXPECT_TRUE(std::isnan(roundToDecimals(std::nan(""), -1)));
}

TEST(TextUtils, HexAndEthernetTexts) {
    char text[16];
    const std::uint8_t bytes[] = {0x0A, 0x1B, 0xFF, 0x01, 0x00, 0x77};
    EXPECT_EQ(bytesToHexStr(bytes, text), 1);
    EXPECT_STREQ(text, "0A1BFF01");  // stops at the zero byte
    EXPECT_EQ(bytesToHexStr(bytes + 4, text), 1);
    EXPECT_STREQ(text, "");
    // clang-format off
    // Bytes written, the terminating zero on success; the pair before a bad one stays
    // written; a pair converts when its first digit does.
    const std::tuple<const char*, int, Bytes> hex[] = {
        {"0aFf", 1, {0x0A, 0xFF, 0x00}}, {"", 1, {0x00}}, {"abc", 0, {}}, {"0AZZ", 0, {0x0A}},
        {"Z0", 0, {}}, {"0G", 1, {0x00, 0x00}}};
    // Only ':' separates, and only the first 17 characters count.
    const std::pair<const char*, int> macs[] = {
        {"00:1a:2B:3c:4D:5e", 1}, {"00:1a:2B:3c:4D:5e:77", 1}, {"00-1a-2B-3c-4D-5e", 0},
        {"00:1a:2B-3c:4D:5e", 0}, {"001a:2B:3c:4D:5e:", 0}, {"00:1a:2B:3c:4D:5", 0},
        {"00:1a:2B:3c:4D:5g", 0}, {"", 0}};
    // clang-format on
    for (const auto& [in, ok, written] : hex) {
        Bytes out(8, 0xEE), want = written;
        want.resize(8, 0xEE);
        EXPECT_EQ(hexStrToBytes(in, out.data()), ok) << in;
        EXPECT_EQ(out, want) << in;
    }
    for (const auto& [in, ok] : macs) {
        Bytes mac(6, 9);
        EXPECT_EQ(StrMac2Octets(in, mac.data()), ok) << in;
        EXPECT_EQ(mac, (ok ? Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E} : Bytes(6, 9))) << in;
    }
    // RFC 1112: 01:00:5E, then the group's low 23 bits (the second byte loses its top bit).
    const std::uint8_t group[4] = {239, 255, 2, 3};
    Bytes mac(6);
    EXPECT_EQ(McastAddr2Mac(group, mac.data()), 1);
    EXPECT_EQ(mac, (Bytes{1, 0, 0x5E, 0x7F, 0x02, 0x03}));
}

TEST(TextUtils, AddressClassesAndSubnets) {
    using Check = int (*)(const char*, std::uint8_t*);
    const Check checks[3] = {isUnicastAddrStr, isFirstOctet255, isMulticastAddrStr};
    // Answers of the three checks; every valid dotted quad fills the octets. The
    // local-network control block 224.0.0.x does not count as multicast here.
    // clang-format off
    const std::tuple<const char*, std::vector<int>, Bytes> cases[] = {
        {"192.168.0.1", {1, 0, 0}, {192, 168, 0, 1}}, {"224.0.1.1", {0, 0, 1}, {224, 0, 1, 1}},
        {"224.0.0.251", {1, 0, 0}, {224, 0, 0, 251}},
        {"239.255.255.255", {0, 0, 1}, {239, 255, 255, 255}},
        {"240.0.0.1", {1, 0, 0}, {240, 0, 0, 1}}, {"255.1.2.3", {0, 1, 0}, {255, 1, 2, 3}},
        {"", {0, 0, 0}, {}}, {"0.1.2.3", {0, 0, 0}, {}}, {"1.2.3.256", {0, 0, 0}, {}}};
    // Texts that are no dotted quad (a first octet 0 included) are in no subnet, even alike.
    const std::tuple<const char*, const char*, const char*, int> subnets[] = {
        {"192.168.1.10", "255.255.255.0", "192.168.1.200", 1}, {"bad", "255.255.255.0", "bad", 0},
        {"192.168.1.10", "255.255.255.0", "192.168.2.10", 0}, {"10.0.0.1", "x", "10.0.0.2", 0},
        {"10.0.0.1", "255.255.255.252", "10.0.0.3", 1}, {"10.0.0.1", "0.0.0.0", "11.0.0.1", 0},
        {"10.0.0.1", "255.255.255.252", "10.0.0.4", 0}, {nullptr, "255.0.0.0", "10.0.0.1", 0},
        {"224.0.1.1", "255.255.255.0", "224.0.1.9", 1}};
    // clang-format on
    for (const auto& [text, answers, octets] : cases) {
        for (int k = 0; k < 3; ++k) {
            Bytes out(4);
            EXPECT_EQ(checks[k](text, out.data()), answers[static_cast<std::size_t>(k)]) << text;
            EXPECT_TRUE(octets.empty() || out == octets) << text << " check " << k;
        }
    }
    for (const auto& [a, mask, b, same] : subnets)
        EXPECT_EQ(isSameSubnet(a, mask, b), same) << (a ? a : "null") << " " << mask << " " << b;
}

TEST(TextUtils, OnOffEnableAndBitWords) {
    std::string names;
    for (int v : {0, 1, 2})
        names = names + onOffStr(v) + " " + enableStr(v) + " " + bitStr(v) + " ";
    EXPECT_EQ(names, "Off DISABLE 0 On ENABLE 1 Unknown Unknown Unknown ");
    using Parser = int (*)(const char*, int*);
    // clang-format off
    const std::tuple<Parser, const char*, int, int> cases[] = {  // parser, text, ok, value
        {parseOnOff, "Off", 1, 0}, {parseOnOff, "ON", 1, 1}, {parseOnOff, "of", 0, 77},
        {parseOnOff, "On ", 0, 77}, {parseEnable, "DisAble", 1, 0}, {parseEnable, "ENABLE", 1, 1},
        {parseEnable, "ENABLED", 0, 77}, {parseBit, "0", 1, 0}, {parseBit, "1", 1, 1},
        {parseBit, "01", 0, 77}, {parseBit, "On", 0, 77}};
    // clang-format on
    for (const auto& [parse, text, ok, value] : cases) {
        int out = 77;
        EXPECT_EQ(parse(text, &out), ok) << "'" << text << "'";
        EXPECT_EQ(out, value) << "'" << text << "'";
    }
}

TEST(TextUtils, SplitArgsAcceptsAtMostNineWords) {
    using Words = std::vector<std::string>;
    const Words nine = {"w1", "w2", "w3", "w4", "w5", "w6", "w7", "w8", "w9"};
    Words ten = nine;
    ten.emplace_back("w10");
    // clang-format off
    const std::tuple<std::string, int, Words> cases[] = {
        {"set ip 10.0.0.1", 1, {"set", "ip", "10.0.0.1"}}, {"  lead   trail  ", 1, {"lead", "trail"}},
        {"    ", 0, {}}, {"w1 w2 w3 w4 w5 w6 w7 w8 w9", 1, nine},
        {"w1 w2 w3 w4 w5 w6 w7 w8 w9 w10", 0, ten}, {"w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11 w12", 0, ten}};
    // clang-format on
    for (const auto& [line, result, want] : cases) {
        SCOPED_TRACE(line);
        std::string text = line;
        char guard[] = "guard";
        char* words[kMaxArgs + 1] = {};
        words[kMaxArgs] = guard;
        int count = -1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(splitArgs(text.data(), &count, words), result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  want.size() == ten.size() ? "Too many argument\n" : "");
        Words got;
        for (int i = 0; i < count; ++i) {
            got.emplace_back(words[i]);
            // Cut in place: the words point into the caller's text.
            EXPECT_TRUE(words[i] >= text.data() && words[i] < text.data() + text.size());
        }
        EXPECT_EQ(got, want);
        EXPECT_EQ(words[kMaxArgs], guard) << "wrote past the table";
    }
}

TEST(TextUtils, Checksum8MakesTheSumZero) {
    // The last byte is never summed; one byte or none gives 0.
    // clang-format off
    const std::pair<Bytes, std::uint8_t> cases[] = {
        {{0x01, 0x02, 0x00}, 0xFD}, {{0xFF}, 0x00}, {{0x10, 0x20, 0x30, 0x99}, 0xA0},
        {{0xFF, 0xFF, 0xFF, 0x00}, 0x03}, {{}, 0x00}};
    // clang-format on
    for (const auto& [bytes, sum] : cases) EXPECT_EQ(checksum8(bytes.data(), bytes.size()), sum);
}

volatile sig_atomic_t g_alarms = 0;

TEST(TextUtils, SleepUsecSleepsTheWholeTimeThroughSignals) {
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_alarms = g_alarms + 1; };  // no SA_RESTART: usleep ends early
    ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);
    itimerval every_2ms{{0, 2000}, {0, 2000}}, off{};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_2ms, nullptr), 0);
    const std::int64_t start = get_time_usec();
    sleepUsec(40000);
    const std::int64_t slept = get_time_usec() - start;
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_GE(slept, 40000);
    EXPECT_GT(g_alarms, 1) << "the sleep was never interrupted: the test proved nothing";
}

}  // namespace
