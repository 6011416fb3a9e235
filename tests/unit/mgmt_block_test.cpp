// The management side of the block (sim_mgmt's helpers) on real segments in a private IPC
// namespace: parsing, defaults, field writes and refusals, the command handshake, the FPGA file.
#include "mgmt_block.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>

#include "support/isolation.h"
#include "support/temp_dir.h"

namespace {

std::string show(const std::string& name) {
    return mgmt::show_field(*shm_find_field(name.c_str()));
}

TEST(MgmtParse, NumbersWithinTheirLimitAndCommandArguments) {
    constexpr std::uint64_t kU32 = 0xFFFFFFFFu;
    // clang-format off
    const std::tuple<const char*, std::uint64_t, bool, std::uint64_t> numbers[] = {
        {"255", 255, true, 255}, {"256", 255, false, 0}, {"0xff", 255, true, 255},
        {"0XFF", 255, true, 255}, {"0x100", 255, false, 0}, {"00012", 255, true, 12},
        {"0x", 255, false, 0}, {"", 255, false, 0}, {"-1", 255, false, 0}, {"+1", 255, false, 0},
        {" 1", 255, false, 0}, {"1 ", 255, false, 0}, {"12a", 255, false, 0}, {"0xfg", 255, false, 0},
        {"4294967295", kU32, true, kU32}, {"4294967296", kU32, false, 0},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, false, 0},
        {"0xFFFFFFFFFFFFFFFF", UINT64_MAX, true, UINT64_MAX},
        {"0x10000000000000000", UINT64_MAX, false, 0}};
    // clang-format on
    for (const auto& [text, max, ok, value] : numbers) {
        std::uint64_t v = 12345;
        EXPECT_EQ(mgmt::parse_unsigned(text, max, v), ok) << '"' << text << '"';
        EXPECT_EQ(v, ok ? value : 12345u) << '"' << text << '"';
    }

    mgmt::Command cmd;
    const char* full[] = {"add",    "--ip",  "10.1.2.3", "--rtp-port",   "5004", "--rtcp-port",
                          "0xFFFF", "--tag", "RTSP",     "--timeout-ms", "250",  "--no-wait"};
    ASSERT_EQ(mgmt::parse_command(12, full, cmd), "");
    EXPECT_EQ(std::tie(cmd.code, cmd.dest_ip, cmd.rtp_port, cmd.rtcp_port, cmd.client_tag,
                       cmd.timeout_ms, cmd.wait),
              std::make_tuple(1u, "10.1.2.3", 5004, 65535, "RTSP", 250, false));
    // clang-format off
    const std::pair<std::vector<const char*>, const char*> commands[] = {
        {{"del"}, "code 2"}, {{"del-rtsp"}, "code 3"}, {{"detect"}, "code 4"}, {{"ts-reopen"}, "code 5"},
        {{"9"}, "code 9"}, {{"0xFFFFFFFF"}, "code 4294967295"}, {{}, "CODE missing"}, {{"0x100000000"}, "bad code"},
        {{"remove"}, "bad code"}, {{"1", "--ip", "192.168.100.2001"}, "longer than 15"},
        {{"1", "--rtp-port", "65536"}, "0 to 65535"}, {{"1", "--rtp-port"}, "needs a value"},
        {{"1", "--timeout-ms", "600001"}, "0 to 600000"}, {{"1", "--colour", "red"}, "unknown option"}};
    // clang-format on
    for (const auto& [args, want] : commands) {
        mgmt::Command c;
        const std::string err = mgmt::parse_command(static_cast<int>(args.size()), args.data(), c);
        const bool defaults = c.wait && c.timeout_ms == mgmt::kDefaultTimeoutMs;
        if (err.empty())
            EXPECT_EQ("code " + std::to_string(c.code) + (defaults ? "" : " with options"), want);
        else
            EXPECT_NE(err.find(want), std::string::npos) << err;
    }
}

TEST(MgmtBlock, CreateWritesTheDefaultsAndSetShowsWithinLimits) {
    ASSERT_TRUE(enter_private_ipc());
    // An existing block of another size, full of leftovers, is replaced.
    const int old = shmget(kShmKey, 20000, IPC_CREAT | 0600);
    ASSERT_NE(old, -1);
    void* at = shmat(old, nullptr, 0);
    std::memset(at, 0xA5, 20000);
    shmdt(at);
    ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    shmid_ds ds{};
    ASSERT_EQ(shmctl(shmget(kShmKey, 0, 0), IPC_STAT, &ds), 0);
    EXPECT_EQ(std::pair(ds.shm_segsz, ds.shm_perm.mode & 0777), std::pair(kShmStandardSize, 0666u));
    const char* defaults[] = {"use_alt_settings=0",   "board_type=256",       "ssrc_seed_hi=18",
                              "ssrc_seed_lo=86",      "ts_dest_ip=127.0.0.1", "mtu=1500",
                              "audio_channel_mode=1", "audio_codec=1",        "audio_enable=1",
                              "audio_output_mode=1",  "local_ip=127.0.0.1",   "ts_dest_ip_alt=",
                              "cmd_pending=0",        "cmd_client_tag="};
    auto* bytes = reinterpret_cast<unsigned char*>(shm_config);
    for (int round = 0; round < 2; ++round) {  // then reset in place
        for (const std::string d : defaults) EXPECT_EQ(show(d.substr(0, d.find('='))), d);
        EXPECT_EQ(bytes[100], 0) << "a byte outside every field kept a leftover";
        ASSERT_EQ(mgmt::set_field("mtu=9000"), "");
        ASSERT_EQ(mgmt::set_field("ts_dest_ip_alt=239.0.0.1"), "");
        bytes[100] = 0x5A;
        ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    }

    ShmConfig& c = *shm_config;
    const std::string ip31(31, '1');
    // clang-format off
    const std::tuple<std::string, bool, std::string> cases[] = {  // assignment, taken, shown
        {"ssrc_seed_lo=255", true, "ssrc_seed_lo=255"}, {"ssrc_seed_lo=256", false, "ssrc_seed_lo=255"},
        {"cmd_rtp_port=0xFFFF", true, "cmd_rtp_port=65535"}, {"cmd_rtp_port=65536", false, "cmd_rtp_port=65535"},
        {"mtu=0xFFFFFFFF", true, "mtu=4294967295"}, {"mtu=4294967296", false, "mtu=4294967295"},
        {"local_ip=" + ip31, true, "local_ip=" + ip31}, {"local_ip=" + ip31 + "2", false, "local_ip=" + ip31},
        {"cmd_dest_ip=", true, "cmd_dest_ip="}, {"ts_dest_ip=a\tb\\c", true, "ts_dest_ip=a\\x09b\\x5Cc"},
        {"no_such_field=1", false, ""}, {"mtu", false, ""}};
    // clang-format on
    for (const auto& [assignment, taken, shown] : cases) {
        const std::string err = mgmt::set_field(assignment);
        EXPECT_EQ(err.empty(), taken) << assignment << ": " << err;
        if (!shown.empty()) {
            EXPECT_EQ(show(shown.substr(0, shown.find('='))), shown);
        }
    }
    // Native byte order at the field's own offset; a shorter text ends at its own NUL.
    EXPECT_EQ(std::tie(c.cmd_rtp_port, c.mtu, c.ssrc_seed_lo, c.ssrc_seed_mid, c.local_ip[31]),
              std::make_tuple(0xFFFF, 0xFFFFFFFFu, 0xFF, 0x34, '\0'));
    ASSERT_EQ(mgmt::set_field("local_ip=10.0.0.1"), "");
    EXPECT_STREQ(c.local_ip, "10.0.0.1");
    ASSERT_EQ(mgmt::set_field("mtu=1316", false), "");  // checking only never writes
    EXPECT_EQ(c.mtu, 0xFFFFFFFFu);

    // In a block that ends 5 bytes into the client tag, a text's room ends there too.
    ASSERT_EQ(mgmt::create_block(kShmMinSize + 4), "");
    EXPECT_EQ(mgmt::set_field("cmd_client_tag=RTSP"), "");
    EXPECT_EQ(show("cmd_client_tag"), "cmd_client_tag=RTSP");
    EXPECT_NE(mgmt::set_field("cmd_client_tag=RTSP1"), "");
    mgmt::Command cmd;
    cmd.client_tag = "RTSP12";
    cmd.timeout_ms = 0;
    EXPECT_NE(mgmt::issue_command(cmd).find("too long"), std::string::npos);
    EXPECT_EQ(shm_config->cmd_pending, 0u) << "a refused command must not be announced";

    EXPECT_NE(mgmt::create_block(kShmMinSize - 1), "");
    EXPECT_EQ(mgmt::remove_block(), "");
    EXPECT_NE(mgmt::remove_block(), "");
    EXPECT_NE(mgmt::attach_block(), "");
}

// Serving by the real service and the time-out message are the end-to-end tests' own.
TEST(MgmtHandshake, WaitsForTheSlotAndNeverOverwritesAPendingCommand) {
    ASSERT_TRUE(enter_private_ipc());
    ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    mgmt::Command cmd{4, "10.9.8.7", 6000, 6001, "RTSP", 100, true};
    EXPECT_NE(mgmt::issue_command(cmd), "");  // nobody serves: announced, left pending
    const ShmCommand sent = shm_read_command();
    EXPECT_TRUE(shm_command_pending());
    EXPECT_EQ(std::tuple(sent.code, std::string(sent.dest_ip), sent.rtp_port, sent.rtcp_port,
                         std::string(sent.client_tag)),
              std::tuple(4u, "10.9.8.7", 6000, 6001, "RTSP"));
    cmd.code = 5;
    EXPECT_NE(mgmt::issue_command(cmd).find("busy"), std::string::npos);
    EXPECT_EQ(shm_config->cmd_code, 4u) << "a busy slot must not be overwritten";
    // Served within the writer's wait: it writes, then returns once the flag is 0 again.
    std::thread service([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        shm_command_done();
        for (int i = 0; i < 5000 && !shm_command_pending(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        shm_command_done();
    });
    cmd.timeout_ms = 10000;
    EXPECT_EQ(mgmt::issue_command(cmd), "");
    service.join();
    EXPECT_EQ(std::pair(shm_config->cmd_pending, shm_config->cmd_code), std::pair(0u, 5u));
    cmd.wait = false;  // announced and left for a service that starts later
    EXPECT_EQ(mgmt::issue_command(cmd), "");
    EXPECT_EQ(shm_config->cmd_pending, 1u);
}

TEST(MgmtFpga, AudioInputRegisterInHostOrderAtItsFileOffset) {
    TempDir dir;
    const std::string mem = dir.file("mem");
    write_file(mem, "");
    ASSERT_EQ(truncate(mem.c_str(), static_cast<off_t>(mgmt::kFpgaPhysBase + 512)), 0);
    // clang-format off
    const std::tuple<const char*, std::uint16_t, const char*> cases[] = {  // input, value, name
        {"adc", 0x0002, "adc"}, {"hdsdi", 0x0003, "hdsdi"}, {"none", 0x0000, "none"},
        {"0xA5C3", 0xA5C3, "hdsdi"}, {"0xFFFE", 0xFFFE, "adc"}, {"1", 0x0001, "none"}};
    // clang-format on
    const bool big = std::endian::native == std::endian::big;
    const int fd = open(mem.c_str(), O_RDONLY);
    for (const auto& [input, value, name] : cases) {
        std::uint16_t v = 0;
        ASSERT_TRUE(mgmt::fpga_input_value(input, v)) << input;
        ASSERT_EQ(mgmt::write_audio_input(mem.c_str(), v), "");
        const char hi = static_cast<char>(value >> 8), lo = static_cast<char>(value & 0xFF);
        std::string got(6, '?');
        ASSERT_EQ(pread(fd, got.data(), 6, static_cast<off_t>(0xF8000000u + 0x26)), 6);
        EXPECT_EQ(got, std::string({0, 0, big ? hi : lo, big ? lo : hi, 0, 0})) << input;
        ASSERT_EQ(mgmt::read_audio_input(mem.c_str(), v), "");
        EXPECT_EQ(v, value);
        EXPECT_STREQ(mgmt::fpga_input_name(v), name);
    }
    close(fd);
    std::uint16_t v = 0;
    for (const char* bad : {"ADC", "0x10000", "65536", "", "-1"})
        EXPECT_FALSE(mgmt::fpga_input_value(bad, v)) << bad;
    // Never a device, never a file too short to hold the window.
    EXPECT_NE(mgmt::write_audio_input("/dev/null", 2), "");
    write_file(dir.file("short"), std::string(64, '\0'));
    EXPECT_NE(mgmt::write_audio_input(dir.file("short").c_str(), 2), "");
    EXPECT_EQ(read_file(dir.file("short")), std::string(64, '\0'));
}

}  // namespace
