// The audio feed end to end: the real service survives datagrams of every size on its feed
// port, from empty to the largest UDP payload, and goes on serving commands; with the port
// already taken it stops at start-up with its message and status 1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/appliance.h"

namespace {

constexpr std::uint16_t kFeedPort = 18005;

TEST(AudioFeed, SurvivesDatagramsOfEverySizeAndKeepsServingCommands) {
    ASSERT_EQ(set_up_block({}, nullptr), "");
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_TRUE(service.wait_output(R"(RX-127\.0\.0\.1:18005 at-null from-null:0\n)", 20s))
        << service.output();
    const std::vector<std::uint8_t> bytes(65507, 0x5A);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        for (const std::size_t size : {0, 1, 63, 64, 3080, 3081, 65507})
            ASSERT_TRUE(send_udp(kFeedPort, bytes.data(), size)) << size;
        // Command 0 is only acknowledged: proof that the loop still turns.
        ASSERT_EQ(serve_command(0), "") << service.output();
    }
    // The short ones are refused with their length; 0 bytes never reaches the parser.
    EXPECT_TRUE(service.wait_output(R"(invalid audio length\(63\)\n)", 5s)) << service.output();
    const std::string out = service.output();
    EXPECT_TRUE(contains_regex(out, R"(invalid audio length\(1\)\n)")) << out;
    EXPECT_FALSE(contains_regex(out, R"(invalid audio length\((0|64|3080|3081|65507)\))")) << out;
    EXPECT_TRUE(service.running());
}

TEST(AudioFeed, FeedPortAlreadyTakenEndsStartUpWithStatusOne) {
    ASSERT_EQ(set_up_block({}, nullptr), "");
    const UdpReceiver holder(kFeedPort);  // bound without address reuse: nobody else may bind
    ASSERT_TRUE(holder.ok());
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    EXPECT_EQ(service.wait_exit(20s), std::optional<int>(1)) << service.output();
    EXPECT_TRUE(contains_regex(service.output(), R"(bind ::: .*\nfail to sockRxOpen for atrx\n$)"))
        << service.output();
}

}  // namespace
