// The audio feed end to end: the real service on its feed port survives datagrams of every
// size, from empty to the largest UDP payload, and goes on serving commands; with the
// feed port already taken it stops at start-up with its message and status 1. Each test
// case runs in its own fresh appliance-sandbox.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/appliance.h"

namespace {

constexpr std::uint16_t kFeedPort = 18005;
constexpr auto kServe = 5s;  // generous bound for one command (100 ms when idle)

void create_block() {
    const RunResult r = sim_mgmt({"create"});
    ASSERT_EQ(r.status, 0) << r.output;
}

// One command through the management stand-in's real handshake; true once served.
bool serve(std::uint32_t code) {
    const RunResult r = sim_mgmt({"command", std::to_string(code), "--timeout-ms", "10000"});
    return r.status == 0;
}

TEST(AudioFeed, SurvivesDatagramsOfEverySizeAndKeepsServingCommands) {
    create_block();
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_TRUE(service.wait_output(R"(RX-127\.0\.0\.1:18005 at-null from-null:0\n)", 20s))
        << service.output();

    const std::size_t sizes[] = {0, 1, 63, 64, 3080, 3081, 65507};
    const std::vector<std::uint8_t> bytes(65507, 0x5A);
    UdpSender feed(kFeedPort);
    ASSERT_TRUE(feed.ok());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        for (const std::size_t size : sizes) ASSERT_TRUE(feed.send(bytes.data(), size)) << size;
        // Command 0 is only acknowledged: proof that the loop still turns.
        ASSERT_TRUE(serve(0)) << service.output();
        EXPECT_TRUE(service.running());
    }
    // The short ones are refused with their length; 0 bytes never reaches the parser.
    EXPECT_TRUE(service.wait_output(R"(invalid audio length\(63\)\n)", kServe)) << service.output();
    const std::string out = service.output();
    EXPECT_TRUE(contains_regex(out, R"(invalid audio length\(1\)\n)")) << out;
    EXPECT_FALSE(contains_regex(out, R"(invalid audio length\(0\))")) << out;
    EXPECT_FALSE(contains_regex(out, R"(invalid audio length\((64|3080|3081|65507)\))")) << out;
    EXPECT_TRUE(service.running());
}

TEST(AudioFeed, FeedPortAlreadyTakenEndsStartUpWithStatusOne) {
    create_block();
    // Bound without address reuse, so that nobody else can bind the port.
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(kFeedPort);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);

    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    EXPECT_EQ(service.wait_exit(20s), std::optional<int>(1)) << service.output();
    EXPECT_TRUE(contains_regex(service.output(), R"(bind ::: .*\nfail to sockRxOpen for atrx\n$)"))
        << service.output();
    close(holder);
}

}  // namespace
