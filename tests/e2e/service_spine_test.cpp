// The service's spine end to end: start-up against the block and its announcement, the
// command mailbox, where the log goes and how big it may grow, and the management
// stand-in's refusals. Each test case runs in its own fresh appliance-sandbox.
#include <gtest/gtest.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "support/appliance.h"

namespace {

constexpr auto kServe = 5s;  // generous bound for one command (100 ms when idle)
// "[Sat Dec  6 00:30:00 2025] ": asctime without its newline, bracketed, then a blank.
const std::string kStamp =
    R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9]\d \d\d:\d\d:\d\d \d{4}\] )";

}  // namespace

TEST(ServiceStartup, WithoutBlockReportsShmgetFailureAndExitsZero) {
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_EQ(service.wait_exit(20s), std::optional<int>(0));
    EXPECT_EQ(service.output(),
              std::string("shmget failed :  ::: ") + std::strerror(ENOENT) + "\n");
    EXPECT_EQ(access(kServiceLog, F_OK), -1) << "screen mode created the log file";
    EXPECT_LT(msgget(3, 0), 0) << "announced without a block";
}

TEST(ServiceStartup, AnnouncesOnMailbox3AndServesTheCommandLeftPending) {
    ASSERT_EQ(set_up_block({"cmd_code=4", "cmd_pending=1"}, nullptr), "");
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    EXPECT_TRUE(wait_until([&] { return shm_load(shm_config->cmd_pending) == 0; }, kServe));
    EXPECT_TRUE(service.wait_output(R"(\[CMD\] code 4\n)", kServe)) << service.output();
    // Code 25 in the appliance's own byte order; reading leaves the message queued.
    const std::string shown =
        std::string("mailbox 3: 1 message(s)\ntype 3 code 25 size 4: ") +
        (std::endian::native == std::endian::big ? "00 00 00 19\n" : "19 00 00 00\n");
    EXPECT_EQ(sim_mgmt({"mailbox", "read", "3"}).output, shown);
    EXPECT_EQ(sim_mgmt({"mailbox", "read", "3"}).output, shown) << "reading took the message";
    EXPECT_TRUE(service.running());
}

TEST(ServiceCommands, UnknownCodesAreOnlyAcknowledgedAndPendingTwoIsLeftAlone) {
    ASSERT_EQ(set_up_block({}, nullptr), "");
    ShmConfig* block = shm_config;
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    // Below the mailbox the service writes only the detected format: every other byte
    // must come through unchanged.
    const auto* bytes = reinterpret_cast<const unsigned char*>(block);
    const std::size_t from = offsetof(ShmConfig, cur_audio_source),
                      to = offsetof(ShmConfig, cur_audio_rate) + 4;
    std::vector<unsigned char> before(offsetof(ShmConfig, cmd_pending));
    for (std::size_t i = 0; i < before.size(); ++i) before[i] = shm_load(bytes[i]);
    for (const std::uint32_t code : {0u, 6u, 9u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        ASSERT_EQ(serve_command(code), "");
        EXPECT_EQ(shm_load(block->cmd_code), code);
        for (std::size_t i = 0; i < before.size(); ++i)
            ASSERT_TRUE((i >= from && i < to) || shm_load(bytes[i]) == before[i]) << "byte " << i;
        EXPECT_TRUE(
            service.wait_output("(^|\n)\\[CMD\\] code " + std::to_string(code) + "\n", kServe));
    }
    // 2 is not a command: it stays, and nothing is served, for ten idle iterations.
    const std::size_t served_before = service.output().size();
    shm_store(block->cmd_code, 4u);
    shm_store(block->cmd_pending, 2u);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(shm_load(block->cmd_pending), 2u);
    EXPECT_EQ(service.output().size(), served_before) << service.output();
    EXPECT_TRUE(service.running());
}

TEST(ServiceCommands, TextFieldsWithoutNulNeverCrashTheService) {
    ASSERT_EQ(set_up_block({}, nullptr), "");
    ShmConfig* block = shm_config;
    // Every text field, and everything from the client tag to the segment's end, without
    // a single NUL: a reader that runs past its room or the segment faults.
    auto* bytes = reinterpret_cast<char*>(block);
    const std::pair<std::size_t, std::size_t> texts[] = {
        {offsetof(ShmConfig, ts_dest_ip), offsetof(ShmConfig, multicast_ttl)},
        {offsetof(ShmConfig, local_ip), offsetof(ShmConfig, cur_audio_source)},
        {offsetof(ShmConfig, cmd_dest_ip), offsetof(ShmConfig, cmd_rtp_port)},
        {offsetof(ShmConfig, cmd_client_tag), kShmStandardSize}};
    for (const auto& [from, to] : texts)
        for (std::size_t i = from; i < to; ++i) shm_store(bytes[i], '7');
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    for (const std::uint32_t code : {1u, 2u, 3u, 4u, 5u, 9u}) {
        shm_store(block->cmd_code, code);
        shm_store(block->cmd_pending, 1u);  // arguments left as they are: no NUL anywhere
        EXPECT_TRUE(wait_until([&] { return shm_load(block->cmd_pending) == 0; }, kServe)) << code;
    }
    std::this_thread::sleep_for(2500ms);  // several format polls with the texts unterminated
    EXPECT_TRUE(service.running()) << service.output();
}

TEST(ServiceLog, NameChoosesScreenOrFileAndTheFileRotates) {
    // The name decides, not the directory: a link whose name contains "_to_screen" logs to
    // stdout, the plain name in a directory called ..._to_screen logs to the file.
    ASSERT_EQ(mkdir("/tmp/bin_to_screen", 0755), 0);
    ASSERT_EQ(symlink(service_path("audio_rtsp").c_str(), "/tmp/bin_to_screen/audio_rtsp"), 0);
    ASSERT_EQ(symlink(service_path("audio_rtsp").c_str(), "/tmp/my_audio_to_screen_copy"), 0);
    ASSERT_EQ(set_up_block({}, nullptr), "");
    {
        Process service;
        ASSERT_TRUE(service.start("/tmp/my_audio_to_screen_copy"));
        ASSERT_EQ(serve_command(9), "");
        EXPECT_TRUE(service.wait_output("(^|\n)\\[CMD\\] code 9\n", kServe)) << service.output();
        EXPECT_EQ(access(kServiceLog, F_OK), -1);
    }
    Process service;
    ASSERT_TRUE(service.start("/tmp/bin_to_screen/audio_rtsp"));
    // Two detections confirm the first format, after which the poll stays quiet (the
    // service opens the file afresh for every message).
    ASSERT_EQ(serve_command(4), "");
    ASSERT_EQ(serve_command(4), "");
    EXPECT_TRUE(wait_for_file_regex(kServiceLog, "(^|\n)" + kStamp + "\\[CMD\\] code 4\n", kServe))
        << file_text(kServiceLog);
    ASSERT_TRUE(wait_for_file_regex(kServiceLog, "\\[Fix Audio\\]", kServe))
        << file_text(kServiceLog);
    EXPECT_EQ(service.output(), "");

    // Beyond 8192 bytes the next message moves the log into the backup (overwriting it)
    // and starts afresh; the exact limit is the debug writer's own test.
    const std::string backup = std::string(kServiceLog) + ".bak";
    const std::string filler = std::string(8192, 'f') + "\n";
    write_file(kServiceLog, filler);
    write_file(backup, "old backup\n");
    ASSERT_EQ(serve_command(6), "");
    EXPECT_EQ(file_text(backup), filler);
    EXPECT_TRUE(contains_regex(file_text(kServiceLog), "^" + kStamp + "\\[CMD\\] code 6\n$"))
        << file_text(kServiceLog);
}

TEST(StandIn, RefusesUnknownFieldsValuesAndArguments) {
    const RunResult no_block = sim_mgmt({"command", "4"});
    EXPECT_EQ(no_block.status, 1);
    EXPECT_NE(no_block.output.find("no block"), std::string::npos) << no_block.output;
    ASSERT_EQ(set_up_block({}, nullptr), "");
    const std::string before = sim_mgmt({"show"}).output;
    // Limits and rooms are the management helpers' own tests; here, the stand-in passes
    // their refusals on, takes assignments all or nothing and creates no mailbox.
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"set", "no_such_field=1"}, "unknown field"},
        {{"set", "mtu=1316", "audio_codec=0x1FFFFFFFF"}, "audio_codec"},
        {{"set", "mtu"}, "FIELD=VALUE"},
        {{"frobnicate"}, "unknown sub-command"},
        {{"mailbox", "read", "3"}, std::string("mailbox 3: ") + std::strerror(ENOENT) + "\n"}};
    for (const auto& [args, why] : refused) {
        const RunResult r = sim_mgmt(args);
        EXPECT_NE(r.status, 0) << args.back();
        EXPECT_NE(r.output.find(why), std::string::npos) << args.back() << ": " << r.output;
    }
    EXPECT_EQ(sim_mgmt({"show"}).output, before);
    EXPECT_LT(msgget(3, 0), 0);
}
