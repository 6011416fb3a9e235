// The service's spine end to end: start-up against the block, the command mailbox, where
// the log goes and how big it may grow, and the management stand-in's refusals. Each
// test case runs in its own fresh appliance-sandbox.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "mgmt_block.h"
#include "support/appliance.h"

namespace {

constexpr auto kServe = 5s;  // generous bound for one command (100 ms when idle)
// "[Sat Dec  6 00:30:00 2025] ": asctime without its newline, bracketed, then a blank.
const std::string kStamp =
    R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9]\d \d\d:\d\d:\d\d \d{4}\] )";

void create_block(const std::vector<std::string>& assignments = {}) {
    std::vector<std::string> args = {"create"};
    args.insert(args.end(), assignments.begin(), assignments.end());
    const RunResult r = sim_mgmt(args);
    ASSERT_EQ(r.status, 0) << r.output;
}

// One command through the stand-in, as the RTSP server process would issue it.
void serve(std::uint32_t code) {
    const RunResult r = sim_mgmt({"command", std::to_string(code), "--timeout-ms", "10000"});
    ASSERT_EQ(r.status, 0) << r.output;
}

// One command through the same handshake, from this process (no process start per
// command, for long series).
std::string command_error(std::uint32_t code) {
    mgmt::Command cmd;
    cmd.code = code;
    cmd.timeout_ms = 10000;
    return mgmt::issue_command(cmd);
}

long file_size(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

}  // namespace

TEST(ServiceStartup, WithoutBlockReportsShmgetFailureAndExitsZero) {
    // The failure text is dbg_perror's: the call's text, " ::: ", the error text.
    const std::string expected =
        std::string("shmget failed :  ::: ") + std::strerror(ENOENT) + "\n";

    Process screen;
    ASSERT_TRUE(start_service(screen, "audio_rtsp_to_screen"));
    ASSERT_EQ(screen.wait_exit(20s), std::optional<int>(0));
    EXPECT_EQ(screen.output(), expected);
    EXPECT_EQ(access(kServiceLog, F_OK), -1) << "screen mode created the log file";

    Process to_file;
    ASSERT_TRUE(start_service(to_file, "audio_rtsp"));
    ASSERT_EQ(to_file.wait_exit(20s), std::optional<int>(0));
    EXPECT_EQ(to_file.output(), "");
    EXPECT_TRUE(contains_regex(file_text(kServiceLog), "^" + kStamp + "shmget failed :  ::: " +
                                                           std::strerror(ENOENT) + "\n$"))
        << file_text(kServiceLog);
}

TEST(ServiceCommands, CommandLeftPendingBeforeStartIsServed) {
    create_block({"cmd_code=4", "cmd_pending=1"});
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ShmConfig* block = attach_block();
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(wait_until([&] { return shm_load(block->cmd_pending) == 0; }, kServe));
    EXPECT_TRUE(service.wait_output(R"(\[CMD\] code 4\n)", kServe)) << service.output();
    EXPECT_TRUE(service.running());
}

TEST(ServiceCommands, UnknownCodesAreOnlyAcknowledgedAndPendingTwoIsLeftAlone) {
    create_block();
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ShmConfig* block = attach_block();
    ASSERT_NE(block, nullptr);

    // The service writes only cmd_pending and the detected format; the stand-in writes
    // cmd_code and the arguments. Every other byte must come through unchanged.
    const auto* bytes = reinterpret_cast<const unsigned char*>(block);
    const auto untouched = [](std::size_t i) {
        return (i < offsetof(ShmConfig, cur_audio_source) ||
                i >= offsetof(ShmConfig, cur_audio_rate) + 4) &&
               i < offsetof(ShmConfig, cmd_pending);
    };
    std::vector<unsigned char> before(kShmStandardSize);
    for (std::size_t i = 0; i < before.size(); ++i) before[i] = shm_load(bytes[i]);
    const auto first_change = [&]() -> long {
        for (std::size_t i = 0; i < before.size(); ++i)
            if (untouched(i) && shm_load(bytes[i]) != before[i]) return static_cast<long>(i);
        return -1;
    };

    for (const std::uint32_t code : {0u, 6u, 9u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        serve(code);
        EXPECT_EQ(shm_load(block->cmd_pending), 0u);
        EXPECT_EQ(shm_load(block->cmd_code), code);
        EXPECT_EQ(first_change(), -1) << "the service wrote a byte it does not own";
        EXPECT_TRUE(
            service.wait_output(R"((^|\n)\[CMD\] code )" + std::to_string(code) + "\n", kServe));
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

TEST(ServiceLog, ScreenNameWritesStdoutAndNoFile) {
    // The name decides, not the directory: a copy whose name contains "_to_screen" logs
    // to stdout, the plain name in a directory called ..._to_screen logs to the file.
    ASSERT_EQ(mkdir("/tmp/bin_to_screen", 0755), 0);
    ASSERT_EQ(symlink(service_path("audio_rtsp").c_str(), "/tmp/bin_to_screen/audio_rtsp"), 0);
    ASSERT_EQ(symlink(service_path("audio_rtsp").c_str(), "/tmp/my_audio_to_screen_copy"), 0);
    create_block();

    {
        Process service;
        ASSERT_TRUE(service.start("/tmp/my_audio_to_screen_copy"));
        serve(9);
        // The format poll's lines come and go around it (the first poll logs at once).
        EXPECT_TRUE(service.wait_output("(^|\n)\\[CMD\\] code 9\n", kServe)) << service.output();
        EXPECT_EQ(access(kServiceLog, F_OK), -1);
    }
    Process service;
    ASSERT_TRUE(service.start("/tmp/bin_to_screen/audio_rtsp"));
    serve(6);
    EXPECT_TRUE(wait_for_file_regex(kServiceLog, "(^|\n)" + kStamp + "\\[CMD\\] code 6\n", kServe))
        << file_text(kServiceLog);
    EXPECT_EQ(service.output(), "");
}

TEST(ServiceLog, LogRotatesBeyond8192BytesIntoOneBackup) {
    // A log of exactly 8192 bytes is appended to; the next message copies it into the
    // backup (overwriting what was there) and starts the log afresh.
    const std::string filler_line(63, 'f');
    std::string filler;
    while (filler.size() < 8192) filler += filler_line + "\n";
    filler.resize(8192 - 1);
    filler += "\n";
    create_block();
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp"));
    ASSERT_NE(attach_block(), nullptr);
    // The format poll logs the first format at once and confirms it on its third run,
    // then stays quiet while the input holds: two detections get that over with before
    // the log is laid out (the service opens the file afresh for every message).
    ASSERT_EQ(command_error(4), "");
    ASSERT_EQ(command_error(4), "");
    ASSERT_TRUE(wait_for_file_regex(kServiceLog, "\\[Fix Audio\\]", kServe)) << file_text(kServiceLog);
    write_file(kServiceLog, filler);
    write_file(std::string(kServiceLog) + ".bak", "old backup\n");

    ASSERT_EQ(command_error(6), "");
    const std::string first = file_text(kServiceLog);
    ASSERT_EQ(first.substr(0, filler.size()), filler);
    const std::string line6 = first.substr(filler.size());
    EXPECT_TRUE(contains_regex(line6, "^" + kStamp + "\\[CMD\\] code 6\n$")) << line6;
    EXPECT_EQ(file_text(std::string(kServiceLog) + ".bak"), "old backup\n");

    ASSERT_EQ(command_error(7), "");
    EXPECT_EQ(file_text(std::string(kServiceLog) + ".bak"), first);
    EXPECT_TRUE(contains_regex(file_text(kServiceLog), "^" + kStamp + "\\[CMD\\] code 7\n$"))
        << file_text(kServiceLog);

    // Many more commands: the log stays within 8192 bytes plus one message, the backup
    // too, and a second rotation replaces the backup.
    const long bound = 8192 + static_cast<long>(line6.size()) + 8;
    bool rotated_again = false;
    for (int i = 0; i < 400 && !rotated_again; ++i) {
        ASSERT_EQ(command_error(1000000 + static_cast<std::uint32_t>(i)), "");
        ASSERT_LE(file_size(kServiceLog), bound);
        ASSERT_LE(file_size((std::string(kServiceLog) + ".bak").c_str()), bound);
        rotated_again = contains_regex(file_text(std::string(kServiceLog) + ".bak"),
                                       "^" + kStamp + "\\[CMD\\] code 7\n");
    }
    EXPECT_TRUE(rotated_again);
}

TEST(StandIn, RefusesUnknownFieldsAndValuesOutOfRange) {
    create_block();
    const std::string before = sim_mgmt({"show"}).output;
    const struct {
        std::vector<std::string> args;
        const char* why;
    } refused[] = {
        {{"set", "no_such_field=1"}, "unknown field"},
        {{"set", "ssrc_seed_hi=256"}, "0 to 255"},
        {{"set", "board_type=65536"}, "0 to 65535"},
        {{"set", "mtu=4294967296"}, "0 to 4294967295"},
        {{"set", "mtu=0x100000000"}, "0 to 4294967295"},
        {{"set", "mtu=-1"}, "not a number"},
        {{"set", "mtu=15x"}, "not a number"},
        {{"set", "mtu="}, "not a number"},
        {{"set", "local_ip=" + std::string(32, '1')}, "too long"},
        {{"set", "cmd_dest_ip=" + std::string(16, '1')}, "too long"},
        {{"set", "ts_dest_ip=" + std::string(48, '1')}, "too long"},
        {{"set", "mtu=1316", "audio_codec=0x1FFFFFFFF"}, "audio_codec"},  // all or nothing
        {{"set", "mtu"}, "FIELD=VALUE"},
        {{"show", "no_such_field"}, "unknown field"},
        {{"fpga", "0x10000"}, "0xFFFF"},
    };
    for (const auto& c : refused) {
        const RunResult r = sim_mgmt(c.args);
        SCOPED_TRACE(c.args.back());
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.output.find(c.why), std::string::npos) << r.output;
    }
    EXPECT_EQ(sim_mgmt({"show"}).output, before);

    // The largest values that fit are taken.
    const RunResult ok =
        sim_mgmt({"set", "ssrc_seed_hi=255", "board_type=0xFFFF", "mtu=4294967295",
                  "local_ip=" + std::string(31, '1'), "cmd_dest_ip=" + std::string(15, '2')});
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_EQ(
        sim_mgmt({"show", "ssrc_seed_hi", "board_type", "mtu", "local_ip", "cmd_dest_ip"}).output,
        "ssrc_seed_hi=255\nboard_type=65535\nmtu=4294967295\nlocal_ip=" + std::string(31, '1') +
            "\ncmd_dest_ip=" + std::string(15, '2') + "\n");
}

TEST(StandIn, CommandWithoutServiceTimesOutClearly) {
    const RunResult no_block = sim_mgmt({"command", "4"});
    EXPECT_EQ(no_block.status, 1);
    EXPECT_NE(no_block.output.find("no block"), std::string::npos) << no_block.output;

    create_block();
    const RunResult r = sim_mgmt({"command", "4", "--timeout-ms", "300"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("no service answered command 4 within 300 ms"), std::string::npos)
        << r.output;
    // The command stays pending, and the next writer finds the slot busy.
    EXPECT_EQ(sim_mgmt({"show", "cmd_pending", "cmd_code"}).output, "cmd_pending=1\ncmd_code=4\n");
    const RunResult busy = sim_mgmt({"command", "5", "--timeout-ms", "200"});
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.output.find("busy"), std::string::npos) << busy.output;
    EXPECT_EQ(sim_mgmt({"show", "cmd_code"}).output, "cmd_code=4\n");
}

TEST(ServiceCommands, TextFieldsWithoutNulNeverCrashTheService) {
    create_block();
    ShmConfig* block = attach_block();
    ASSERT_NE(block, nullptr);
    // Every text field, and everything from the client tag to the segment's end, without
    // a single NUL: a reader that runs past its room or the segment faults.
    auto* bytes = reinterpret_cast<char*>(block);
    const auto fill = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) shm_store(bytes[i], '7');
    };
    fill(offsetof(ShmConfig, ts_dest_ip), offsetof(ShmConfig, multicast_ttl));
    fill(offsetof(ShmConfig, local_ip), offsetof(ShmConfig, cur_audio_source));
    fill(offsetof(ShmConfig, cmd_dest_ip), offsetof(ShmConfig, cmd_rtp_port));
    fill(offsetof(ShmConfig, cmd_client_tag), kShmStandardSize);

    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    for (const std::uint32_t code : {1u, 2u, 3u, 4u, 5u, 9u}) {
        SCOPED_TRACE(code);
        shm_store(block->cmd_code, code);
        shm_store(block->cmd_pending, 1u);  // arguments left as they are: no NUL anywhere
        EXPECT_TRUE(wait_until([&] { return shm_load(block->cmd_pending) == 0; }, kServe));
    }
    // Several format polls' worth of iterations with the texts still unterminated.
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(service.running()) << service.output();
}
