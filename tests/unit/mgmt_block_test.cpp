// The management side of the block (sim_mgmt's helpers) on real segments in a private
// IPC namespace: number parsing, defaults, field writes and their refusals, the command
// handshake against the service's side in another process, the FPGA register file.
#include "mgmt_block.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <bit>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>

#include "support/isolation.h"
#include "support/temp_dir.h"

namespace {

std::string show(const char* name) { return mgmt::show_field(*shm_find_field(name)); }

TEST(MgmtParse, NumbersInDecimalOrHexWithinTheirLimit) {
    constexpr std::uint64_t kU32 = 0xFFFFFFFFu;
    // clang-format off
    const std::tuple<const char*, std::uint64_t, bool, std::uint64_t> cases[] = {
        {"255", 255, true, 255}, {"256", 255, false, 0}, {"0xff", 255, true, 255},
        {"0XFF", 255, true, 255}, {"0x100", 255, false, 0}, {"00012", 255, true, 12},
        {"0x", 255, false, 0}, {"", 255, false, 0}, {"-1", 255, false, 0},
        {"+1", 255, false, 0}, {" 1", 255, false, 0}, {"1 ", 255, false, 0},
        {"12a", 255, false, 0}, {"0xfg", 255, false, 0},
        {"4294967295", kU32, true, kU32}, {"4294967296", kU32, false, 0},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, false, 0},
        {"0xFFFFFFFFFFFFFFFF", UINT64_MAX, true, UINT64_MAX},
        {"0x10000000000000000", UINT64_MAX, false, 0}};
    // clang-format on
    for (const auto& [text, max, ok, value] : cases) {
        std::uint64_t v = 12345;
        EXPECT_EQ(mgmt::parse_unsigned(text, max, v), ok) << '"' << text << '"';
        EXPECT_EQ(v, ok ? value : 12345u) << '"' << text << '"';
    }
}

TEST(MgmtParse, CommandArguments) {
    mgmt::Command cmd;
    const char* full[] = {"add",    "--ip",  "10.1.2.3", "--rtp-port",   "5004", "--rtcp-port",
                          "0xFFFF", "--tag", "RTSP",     "--timeout-ms", "250",  "--no-wait"};
    ASSERT_EQ(mgmt::parse_command(12, full, cmd), "");
    EXPECT_EQ(std::tie(cmd.code, cmd.dest_ip, cmd.rtp_port, cmd.rtcp_port, cmd.client_tag,
                       cmd.timeout_ms, cmd.wait),
              std::make_tuple(1u, "10.1.2.3", 5004, 65535, "RTSP", 250, false));

    const std::pair<const char*, std::uint32_t> named[] = {{"del", 2},    {"del-rtsp", 3},
                                                           {"detect", 4}, {"ts-reopen", 5},
                                                           {"9", 9},      {"0xFFFFFFFF", ~0u}};
    for (const auto& [text, code] : named) {
        mgmt::Command c;
        EXPECT_EQ(mgmt::parse_command(1, &text, c), "") << text;
        EXPECT_EQ(std::tie(c.code, c.wait, c.timeout_ms),
                  std::make_tuple(code, true, mgmt::kDefaultTimeoutMs));
    }

    // clang-format off
    const std::pair<std::vector<const char*>, const char*> bad[] = {
        {{}, "CODE missing"}, {{"0x100000000"}, "bad code"}, {{"remove"}, "bad code"},
        {{"1", "--ip", "192.168.100.2001"}, "longer than 15"},
        {{"1", "--rtp-port", "65536"}, "0 to 65535"}, {{"1", "--rtp-port"}, "needs a value"},
        {{"1", "--timeout-ms", "600001"}, "0 to 600000"},
        {{"1", "--colour", "red"}, "unknown option"}};
    // clang-format on
    for (const auto& [args, why] : bad) {
        mgmt::Command c;
        const std::string err = mgmt::parse_command(static_cast<int>(args.size()), args.data(), c);
        EXPECT_NE(err.find(why), std::string::npos) << err;
    }
}

TEST(MgmtBlock, CreateWritesTheDefaultsAndResetsAnExistingBlock) {
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
    EXPECT_EQ(ds.shm_segsz, kShmStandardSize);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
    // A representative set: primary RTP output of stereo linear PCM to 127.0.0.1, MTU
    // 1500, the FPGA-detected input, the SSRC seeds, an empty command slot.
    const char* defaults[] = {"use_alt_settings=0",   "board_type=256",       "ssrc_seed_hi=18",
                              "ssrc_seed_lo=86",      "ts_dest_ip=127.0.0.1", "mtu=1500",
                              "audio_channel_mode=1", "audio_codec=1",        "audio_enable=1",
                              "audio_output_mode=1",  "local_ip=127.0.0.1",   "ts_dest_ip_alt=",
                              "cmd_pending=0",        "cmd_client_tag="};
    for (int round = 0; round < 2; ++round) {
        for (const char* d : defaults)
            EXPECT_EQ(show(std::string(d, std::strchr(d, '=')).c_str()), d);
        auto* bytes = reinterpret_cast<unsigned char*>(shm_config);
        EXPECT_EQ(bytes[100], 0) << "a byte outside every field kept a leftover";
        // Reset in place: changed fields and other bytes go back to their defaults.
        ASSERT_EQ(mgmt::set_field("mtu=9000"), "");
        ASSERT_EQ(mgmt::set_field("ts_dest_ip_alt=239.0.0.1"), "");
        bytes[100] = 0x5A;
        ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    }

    EXPECT_NE(mgmt::create_block(kShmMinSize - 1), "");
    EXPECT_EQ(mgmt::remove_block(), "");
    EXPECT_NE(mgmt::remove_block(), "");
    EXPECT_NE(mgmt::attach_block(), "");
}

TEST(MgmtBlock, SetFieldWritesWithinLimitsAndShowReadsBack) {
    ASSERT_TRUE(enter_private_ipc());
    ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    ShmConfig& c = *shm_config;
    const std::string ip31(31, '1');
    // clang-format off
    const std::tuple<std::string, bool, std::string> cases[] = {  // assignment, taken, shown
        {"ssrc_seed_lo=255", true, "ssrc_seed_lo=255"},
        {"ssrc_seed_lo=256", false, "ssrc_seed_lo=255"},
        {"cmd_rtp_port=0xFFFF", true, "cmd_rtp_port=65535"},
        {"cmd_rtp_port=65536", false, "cmd_rtp_port=65535"},
        {"mtu=0xFFFFFFFF", true, "mtu=4294967295"}, {"mtu=4294967296", false, "mtu=4294967295"},
        {"local_ip=" + ip31, true, "local_ip=" + ip31},
        {"local_ip=" + ip31 + "2", false, "local_ip=" + ip31}, {"cmd_dest_ip=", true, "cmd_dest_ip="},
        {"ts_dest_ip=a\tb\\c", true, "ts_dest_ip=a\\x09b\\x5Cc"},
        {"no_such_field=1", false, ""}, {"mtu", false, ""}};
    // clang-format on
    for (const auto& [assignment, taken, shown] : cases) {
        const std::string err = mgmt::set_field(assignment);
        EXPECT_EQ(err.empty(), taken) << assignment << ": " << err;
        if (shown.empty()) continue;
        EXPECT_EQ(show(shown.substr(0, shown.find('=')).c_str()), shown);
    }
    // Native byte order, at the field's own offset: the service's loads see the value.
    EXPECT_EQ(std::tie(c.cmd_rtp_port, c.mtu, c.ssrc_seed_lo, c.ssrc_seed_mid, c.local_ip[31]),
              std::make_tuple(0xFFFF, 0xFFFFFFFFu, 0xFF, 0x34, '\0'));
    // A shorter text after a longer one ends at its own NUL.
    ASSERT_EQ(mgmt::set_field("local_ip=10.0.0.1"), "");
    EXPECT_STREQ(c.local_ip, "10.0.0.1");
    // Checking only never writes.
    ASSERT_EQ(mgmt::set_field("mtu=1316", false), "");
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
}

TEST(MgmtHandshake, ServedByTheServiceSideInAnotherProcess) {
    ASSERT_TRUE(enter_private_ipc());
    ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    // The slot is busy when the writer comes: it must wait for the old command to be served.
    shm_store(shm_config->cmd_code, 77u);
    shm_store(shm_config->cmd_pending, 1u);
    const pid_t service = fork();
    ASSERT_NE(service, -1);
    if (service == 0) {
        // The service's side: serve two commands, checking what each carried.
        bool ok = true;
        int served = 0;
        for (int i = 0; i < 10000 && served < 2; ++i) {
            if (shm_command_pending()) {
                const ShmCommand cmd = shm_read_command();
                ok = ok &&
                     (served == 0 ? cmd.code == 77
                                  : cmd.code == 1 && std::strcmp(cmd.dest_ip, "10.9.8.7") == 0 &&
                                        cmd.rtp_port == 6000 && cmd.rtcp_port == 6001 &&
                                        std::strcmp(cmd.client_tag, "RTSP") == 0);
                if (served++ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                shm_command_done();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        _exit(ok && served == 2 ? 0 : 1);
    }
    mgmt::Command cmd;
    cmd.code = 1;
    cmd.dest_ip = "10.9.8.7";
    cmd.rtp_port = 6000;
    cmd.rtcp_port = 6001;
    cmd.client_tag = "RTSP";
    cmd.timeout_ms = 10000;
    EXPECT_EQ(mgmt::issue_command(cmd), "");
    EXPECT_EQ(shm_config->cmd_pending, 0u);
    int status = 0;
    ASSERT_EQ(waitpid(service, &status, 0), service);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the service side saw other arguments";
}

TEST(MgmtHandshake, NoServiceTimesOutAndLeavesTheCommandPending) {
    ASSERT_TRUE(enter_private_ipc());
    ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    mgmt::Command cmd;
    cmd.code = 4;
    cmd.timeout_ms = 100;
    const std::string err = mgmt::issue_command(cmd);
    EXPECT_NE(err.find("no service answered command 4 within 100 ms"), std::string::npos) << err;
    EXPECT_EQ(shm_config->cmd_pending, 1u);
    cmd.code = 5;
    EXPECT_NE(mgmt::issue_command(cmd).find("busy"), std::string::npos);
    EXPECT_EQ(shm_config->cmd_code, 4u) << "a busy slot must not be overwritten";

    // --no-wait: announced and left for a service that starts later.
    shm_store(shm_config->cmd_pending, 0u);
    cmd.wait = false;
    EXPECT_EQ(mgmt::issue_command(cmd), "");
    EXPECT_EQ(shm_config->cmd_pending, 1u);
    EXPECT_EQ(shm_config->cmd_code, 5u);
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
        const std::string want = {0, 0, big ? hi : lo, big ? lo : hi, 0, 0};
        std::string got(6, '?');
        ASSERT_EQ(pread(fd, got.data(), 6, static_cast<off_t>(0xF8000000u + 0x26)), 6);
        EXPECT_EQ(got, want) << input;
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
