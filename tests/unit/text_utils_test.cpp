// The text, address and number conversions of the utility library, as tables of cases
// with their boundaries.
#include "util/text_utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/clock.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TextUtils, StrToU8KeepsTheLowByteAndNeedsOneDigit) {
    struct Case {
        const char* text;
        int base;
        int ok;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"255", 10, 1, 255},   {"256", 10, 1, 0},   {"300", 10, 1, 44},  {"-1", 10, 1, 255},
        {"0x1F", 16, 1, 0x1F}, {"7f", 16, 1, 0x7F}, {"777", 8, 1, 0xFF}, {"12abc", 10, 1, 12},
        {" 9", 10, 1, 9},      {"", 10, 0, 0},      {"xyz", 10, 0, 0},   {"g", 16, 0, 0},
    };
    for (const Case& c : cases) {
        std::uint8_t out = 0xA5;
        EXPECT_EQ(strToU8(c.text, &out, c.base), c.ok) << c.text;
        EXPECT_EQ(out, c.ok ? c.value : 0xA5) << c.text;
    }

    struct DoubleCase {
        const char* text;
        int ok;
        double value;
    };
    const DoubleCase doubles[] = {
        {"2.5", 1, 2.5}, {"-1e3x", 1, -1000.0}, {" 7", 1, 7.0}, {"abc", 0, 0.0}, {"", 0, 0.0},
    };
    for (const DoubleCase& c : doubles) {
        double out = 42.0;
        EXPECT_EQ(strToDouble(c.text, &out), c.ok) << c.text;
        EXPECT_EQ(out, c.ok ? c.value : 42.0) << c.text;
    }
}

TEST(TextUtils, RoundToIntIsHalfAwayFromZeroAndSaturates) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double in;
        std::int32_t out;
    } cases[] = {
        {2.5, 3},
        {-2.5, -3},
        {0.5, 1},
        {-0.5, -1},
        {0.49, 0},
        {-0.49, 0},
        {1.9999, 2},
        {-7.2, -7},
        {1e10, INT32_MAX},
        {-1e10, INT32_MIN},
        {2147483646.4, 2147483646},
        {2147483646.5, INT32_MAX},
        {2147483648.0, INT32_MAX},
        {-2147483647.4, -2147483647},
        {-2147483647.5, INT32_MIN},
        {-2147483649.0, INT32_MIN},
        {inf, INT32_MAX},
        {-inf, INT32_MIN},
        {std::nan(""), INT32_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(roundToInt(c.in), c.out) << c.in;
}

TEST(TextUtils, RoundToDecimals) {
    const struct {
        double in;
        int n;
        double out;
    } cases[] = {
        {2.345, 1, 2.3},  // 23.45 + 0.5 truncated to 23
        {-1.25, 1, -1.3},
        {1.55, -1, 1.55},
        {2.5, 0, 3.0},
        {-2.5, 0, -3.0},
        {3.14159, 2, 3.14},
        {3.14159, 4, 3.1416},
        {0.1234567891, 9, 0.123456789},
        // Beyond 9 decimals the scale stays at 10^9, the most 32 bits hold.
        {0.12345678912, 10, 0.123456789},
        {0.12345678912, 12, 0.123456789},
        // value * scale saturates in roundToInt.
        {1e10, 2, 21474836.47},
        {-1e10, 2, -21474836.48},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(roundToDecimals(c.in, c.n), c.out) << c.in << " " << c.n;
    EXPECT_TRUE(std::isnan(roundToDecimals(std::nan(""), -1)));
}

TEST(TextUtils, BytesToHexStrAndBack) {
    char text[16];
    std::memset(text, 'x', sizeof text);
    const std::uint8_t bytes[] = {0x0A, 0x1B, 0xFF, 0x01, 0x00, 0x77};
    EXPECT_EQ(bytesToHexStr(bytes, text), 1);
    EXPECT_STREQ(text, "0A1BFF01");  // stops at the zero byte
    const std::uint8_t empty[] = {0x00};
    EXPECT_EQ(bytesToHexStr(empty, text), 1);
    EXPECT_STREQ(text, "");

    struct Case {
        const char* hex;
        int ok;
        Bytes out;  // the bytes written, the terminating zero included on success
    };
    const Case cases[] = {
        {"0A1B", 1, {0x0A, 0x1B, 0x00}},
        {"0aFf", 1, {0x0A, 0xFF, 0x00}},
        {"", 1, {0x00}},
        {"abc", 0, {}},
        {"0AZZ", 0, {0x0A}},  // the pair before the bad one stays written
        {"Z0", 0, {}},
        {"0G", 1, {0x00, 0x00}},  // a pair converts when its first digit does
    };
    for (const Case& c : cases) {
        std::uint8_t out[8];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(hexStrToBytes(c.hex, out), c.ok) << c.hex;
        for (std::size_t i = 0; i < sizeof out; ++i) {
            const std::uint8_t want = i < c.out.size() ? c.out[i] : 0xEE;
            EXPECT_EQ(out[i], want) << c.hex << " byte " << i;
        }
    }
}

TEST(TextUtils, StrMac2OctetsChecksTheFirst17Characters) {
    struct Case {
        const char* text;
        int ok;
        Bytes mac;
    };
    const Case cases[] = {
        {"00:1a:2B:3c:4D:5e", 1, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"FF:ff:FF:ff:FF:ff", 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"00:1a:2B:3c:4D:5e:77", 1, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"00:1a:2B:3c:4D:5eZ", 1, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"00-1a-2B-3c-4D-5e", 0, {}},
        {"00:1a:2B-3c:4D:5e", 0, {}},
        {"00:1a:2B:3c:4D:5", 0, {}},
        {"00:1a:2B:3c:4D:5g", 0, {}},
        {"001a:2B:3c:4D:5e:", 0, {}},
        {"0x:1a:2B:3c:4D:5e", 0, {}},
        {"", 0, {}},
    };
    for (const Case& c : cases) {
        std::uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(StrMac2Octets(c.text, mac), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(Bytes(mac, mac + 6), c.mac) << c.text;
        }
    }
}

TEST(TextUtils, McastAddr2MacFollowsRfc1112) {
    const struct {
        std::uint8_t ip[4];
        std::uint8_t mac[6];
    } cases[] = {
        {{239, 129, 2, 3}, {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03}},
        {{224, 0, 0, 1}, {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}},
        {{239, 255, 255, 255}, {0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFF}},
        {{230, 127, 0, 9}, {0x01, 0x00, 0x5E, 0x7F, 0x00, 0x09}},
    };
    for (const auto& c : cases) {
        std::uint8_t mac[6] = {};
        EXPECT_EQ(McastAddr2Mac(c.ip, mac), 1);
        EXPECT_EQ(Bytes(mac, mac + 6), Bytes(c.mac, c.mac + 6))
            << int{c.ip[0]} << "." << int{c.ip[1]};
    }
}

TEST(TextUtils, AddressClasses) {
    struct Case {
        const char* text;
        int unicast, first255, multicast;
        Bytes octets;  // filled by every valid dotted quad
    };
    const Case cases[] = {
        {"192.168.0.1", 1, 0, 0, {192, 168, 0, 1}},
        {"10.0.0.1\n", 1, 0, 0, {10, 0, 0, 1}},
        {"224.0.1.1", 0, 0, 1, {224, 0, 1, 1}},
        {"224.0.1.0", 0, 0, 1, {224, 0, 1, 0}},
        // The local-network control block does not count as multicast here.
        {"224.0.0.251", 1, 0, 0, {224, 0, 0, 251}},
        {"239.255.255.255", 0, 0, 1, {239, 255, 255, 255}},
        {"240.0.0.1", 1, 0, 0, {240, 0, 0, 1}},
        {"255.1.2.3", 0, 1, 0, {255, 1, 2, 3}},
        {"255.255.255.255", 0, 1, 0, {255, 255, 255, 255}},
        {"", 0, 0, 0, {}},
        {"0.1.2.3", 0, 0, 0, {}},
        {"1.2.3", 0, 0, 0, {}},
        {"1.2.3.256", 0, 0, 0, {}},
        {"host.example", 0, 0, 0, {}},
    };
    for (const Case& c : cases) {
        std::uint8_t o1[4] = {}, o2[4] = {}, o3[4] = {};
        EXPECT_EQ(isUnicastAddrStr(c.text, o1), c.unicast) << c.text;
        EXPECT_EQ(isFirstOctet255(c.text, o2), c.first255) << c.text;
        EXPECT_EQ(isMulticastAddrStr(c.text, o3), c.multicast) << c.text;
        if (!c.octets.empty()) {
            EXPECT_EQ(Bytes(o1, o1 + 4), c.octets) << c.text;
            EXPECT_EQ(Bytes(o2, o2 + 4), c.octets) << c.text;
            EXPECT_EQ(Bytes(o3, o3 + 4), c.octets) << c.text;
        }
    }
}

TEST(TextUtils, IsSameSubnet) {
    const struct {
        const char *a, *mask, *b;
        int same;
    } cases[] = {
        {"192.168.1.10", "255.255.255.0", "192.168.1.200", 1},
        {"192.168.1.10", "255.255.255.0", "192.168.2.10", 0},
        {"192.168.1.10", "255.255.0.0", "192.168.2.10", 1},
        {"10.0.0.1", "255.0.0.0", "10.255.255.255", 1},
        {"10.0.0.1", "255.255.255.252", "10.0.0.3", 1},
        {"10.0.0.1", "255.255.255.252", "10.0.0.4", 0},
        {"224.0.1.1", "255.255.255.0", "224.0.1.9", 1},  // classes do not matter
        // Texts that are no dotted quad are in no subnet, even alike or with a bad mask.
        {"bad", "255.255.255.0", "bad", 0},
        {"", "255.255.255.0", "", 0},
        {"10.0.0.1", "x", "10.0.0.2", 0},
        {"10.0.0.1", "0.0.0.0", "11.0.0.1", 0},  // a first octet 0 is no dotted quad
        {nullptr, "255.0.0.0", "10.0.0.1", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isSameSubnet(c.a, c.mask, c.b), c.same)
            << (c.a ? c.a : "null") << " " << c.mask << " " << c.b;
}

TEST(TextUtils, OnOffEnableAndBitWordsParse) {
    EXPECT_STREQ(onOffStr(2), "Unknown");
    EXPECT_STREQ(enableStr(-1), "Unknown");
    EXPECT_STREQ(bitStr(2), "Unknown");
    using Parser = int (*)(const char*, int*);
    const struct {
        Parser parse;
        const char* text;
        int ok, value;
    } cases[] = {
        {parseOnOff, "On", 1, 1},       {parseOnOff, "oFF", 1, 0},
        {parseOnOff, "ON", 1, 1},       {parseOnOff, "of", 0, 0},
        {parseOnOff, "On ", 0, 0},      {parseOnOff, "", 0, 0},
        {parseEnable, "enable", 1, 1},  {parseEnable, "DisAble", 1, 0},
        {parseEnable, "ENABLED", 0, 0}, {parseEnable, "1", 0, 0},
        {parseBit, "1", 1, 1},          {parseBit, "0", 1, 0},
        {parseBit, "01", 0, 0},         {parseBit, " 1", 0, 0},
        {parseBit, "On", 0, 0},
    };
    for (const auto& c : cases) {
        int out = 77;
        EXPECT_EQ(c.parse(c.text, &out), c.ok) << "'" << c.text << "'";
        EXPECT_EQ(out, c.ok ? c.value : 77) << "'" << c.text << "'";
    }
}

TEST(TextUtils, SplitArgsAcceptsAtMostNineWords) {
    struct Case {
        std::string text;
        int result;
        std::vector<std::string> words;
        bool too_many;
    };
    auto w = [](int n) {
        std::vector<std::string> words;
        // Appended rather than "w" + to_string: GCC 12 at -O3 warns falsely about the latter.
        for (int i = 1; i <= n; ++i) words.push_back(std::string("w").append(std::to_string(i)));
        return words;
    };
    const Case cases[] = {
        {"set ip 10.0.0.1", 1, {"set", "ip", "10.0.0.1"}, false},
        {"  lead   trail  ", 1, {"lead", "trail"}, false},
        {"", 0, {}, false},
        {"    ", 0, {}, false},
        {"w1 w2 w3 w4 w5 w6 w7 w8 w9", 1, w(9), false},
        {"w1 w2 w3 w4 w5 w6 w7 w8 w9 w10", 0, w(10), true},
        {"w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11 w12", 0, w(10), true},
    };
    for (const Case& c : cases) {
        std::vector<char> text(c.text.begin(), c.text.end());
        text.push_back('\0');
        char* words[kMaxArgs + 1] = {};
        const char guard[] = "guard";
        words[kMaxArgs] = const_cast<char*>(guard);
        int count = -1;
        testing::internal::CaptureStdout();
        const int result = splitArgs(text.data(), &count, words);
        const std::string log = testing::internal::GetCapturedStdout();

        EXPECT_EQ(result, c.result) << c.text;
        EXPECT_EQ(log, c.too_many ? "Too many argument\n" : "") << c.text;
        if (c.words.empty()) {
            EXPECT_EQ(count, -1) << c.text;
            continue;
        }
        ASSERT_EQ(count, static_cast<int>(c.words.size())) << c.text;
        for (int i = 0; i < count; ++i) {
            EXPECT_STREQ(words[i], c.words[static_cast<std::size_t>(i)].c_str()) << c.text;
            // Cut in place: the words point into the caller's text.
            EXPECT_TRUE(words[i] >= text.data() && words[i] < text.data() + text.size());
        }
        EXPECT_EQ(words[kMaxArgs], guard) << "wrote past the table: " << c.text;
    }
}

TEST(TextUtils, Checksum8MakesTheSumZero) {
    const struct {
        Bytes bytes;
        std::uint8_t sum;
    } cases[] = {
        {{0x01, 0x02, 0x00}, 0xFD},
        {{0xFF}, 0x00},  // one byte: nothing before the last
        {{0x80, 0x80, 0x00}, 0x00},
        {{0x10, 0x20, 0x30, 0x99}, 0xA0},  // the last byte is not summed
        {{0xFF, 0xFF, 0xFF, 0x00}, 0x03},
        {{}, 0x00},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(checksum8(c.bytes.data(), c.bytes.size()), c.sum);
        if (c.bytes.empty()) continue;
        Bytes stored = c.bytes;
        stored.back() = c.sum;
        unsigned total = 0;
        for (std::uint8_t b : stored) total += b;
        EXPECT_EQ(total % 256, 0u);
    }
}

volatile sig_atomic_t g_alarms = 0;
void on_alarm(int) { g_alarms = g_alarms + 1; }

TEST(TextUtils, SleepUsecSleepsTheWholeTimeThroughSignals) {
    // A timer interrupts every sleep early; the rest must still be slept.
    struct sigaction sa {};
    sa.sa_handler = on_alarm;  // no SA_RESTART: usleep returns early with EINTR
    ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);
    itimerval every_2ms{{0, 2000}, {0, 2000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_2ms, nullptr), 0);

    const std::int64_t start = get_time_usec();
    sleepUsec(40000);
    const std::int64_t slept = get_time_usec() - start;

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_GE(slept, 40000);
    EXPECT_GT(g_alarms, 1) << "the sleep was never interrupted: the test proved nothing";
}

}  // namespace
