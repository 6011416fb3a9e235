// The management side of the block (sim_mgmt's helpers) on real segments in a private
// IPC namespace: number parsing, defaults, field writes and their refusals, the command
// handshake against the service's side in another process, the FPGA register file.
#include "mgmt_block.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <bit>
#include <cstring>
#include <string>
#include <thread>

#include "support/isolation.h"
#include "support/temp_dir.h"

namespace {

std::string show(const char* name) { return mgmt::show_field(*shm_find_field(name)); }

std::string bytes_at(const std::string& path, std::uint64_t offset, std::size_t n) {
    std::string out(n, '?');
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || pread(fd, out.data(), n, static_cast<off_t>(offset)) != static_cast<ssize_t>(n))
        out.clear();
    if (fd >= 0) close(fd);
    return out;
}

}  // namespace

TEST(MgmtParse, NumbersInDecimalOrHexWithinTheirLimit) {
    struct Case {
        const char* text;
        std::uint64_t max;
        bool ok;
        std::uint64_t value;
    };
    const Case cases[] = {
        {"0", 255, true, 0},
        {"255", 255, true, 255},
        {"256", 255, false, 0},
        {"0xff", 255, true, 255},
        {"0XFF", 255, true, 255},
        {"0x100", 255, false, 0},
        {"00012", 255, true, 12},
        {"0x", 255, false, 0},
        {"", 255, false, 0},
        {"-1", 255, false, 0},
        {"+1", 255, false, 0},
        {" 1", 255, false, 0},
        {"1 ", 255, false, 0},
        {"1e3", 65535, false, 0},
        {"0x1_0", 65535, false, 0},
        {"12a", 65535, false, 0},
        {"0xfg", 65535, false, 0},
        {"4294967295", 0xFFFFFFFFu, true, 0xFFFFFFFFu},
        {"4294967296", 0xFFFFFFFFu, false, 0},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, false, 0},
        {"0xFFFFFFFFFFFFFFFF", UINT64_MAX, true, UINT64_MAX},
        {"0x10000000000000000", UINT64_MAX, false, 0},
    };
    for (const Case& k : cases) {
        std::uint64_t v = 12345;
        EXPECT_EQ(mgmt::parse_unsigned(k.text, k.max, v), k.ok) << '"' << k.text << '"';
        EXPECT_EQ(v, k.ok ? k.value : 12345u) << '"' << k.text << '"';
    }
}

TEST(MgmtParse, CommandArguments) {
    mgmt::Command cmd;
    const char* full[] = {"add",    "--ip",  "10.1.2.3", "--rtp-port",   "5004", "--rtcp-port",
                          "0xFFFF", "--tag", "RTSP",     "--timeout-ms", "250",  "--no-wait"};
    ASSERT_EQ(mgmt::parse_command(12, full, cmd), "");
    EXPECT_EQ(cmd.code, 1u);
    EXPECT_EQ(cmd.dest_ip, "10.1.2.3");
    EXPECT_EQ(cmd.rtp_port, 5004);
    EXPECT_EQ(cmd.rtcp_port, 65535);
    EXPECT_EQ(cmd.client_tag, "RTSP");
    EXPECT_EQ(cmd.timeout_ms, 250);
    EXPECT_FALSE(cmd.wait);

    struct Named {
        const char* text;
        std::uint32_t code;
    };
    for (const Named n : {Named{"del", 2},
                          {"del-rtsp", 3},
                          {"detect", 4},
                          {"ts-reopen", 5},
                          {"9", 9},
                          {"0xFFFFFFFF", 0xFFFFFFFFu}}) {
        mgmt::Command c;
        const char* argv[] = {n.text};
        EXPECT_EQ(mgmt::parse_command(1, argv, c), "") << n.text;
        EXPECT_EQ(c.code, n.code) << n.text;
        EXPECT_TRUE(c.wait);
        EXPECT_EQ(c.timeout_ms, mgmt::kDefaultTimeoutMs);
    }

    struct Bad {
        std::vector<const char*> args;
        const char* why;
    };
    const Bad bad[] = {
        {{}, "CODE missing"},
        {{"0x100000000"}, "bad code"},
        {{"remove"}, "bad code"},
        {{"1", "--ip", "192.168.100.2001"}, "longer than 15"},
        {{"1", "--rtp-port", "65536"}, "0 to 65535"},
        {{"1", "--rtp-port"}, "needs a value"},
        {{"1", "--timeout-ms", "600001"}, "0 to 600000"},
        {{"1", "--colour", "red"}, "unknown option"},
    };
    for (const Bad& b : bad) {
        mgmt::Command c;
        const std::string err =
            mgmt::parse_command(static_cast<int>(b.args.size()), b.args.data(), c);
        EXPECT_NE(err.find(b.why), std::string::npos) << err;
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

    const char* expected[] = {
        "use_alt_settings=0", "board_type=256",   "ts_dest_select=0",     "ssrc_seed_hi=18",
        "ssrc_seed_mid=52",   "ssrc_seed_lo=86",  "ts_dest_ip=127.0.0.1", "multicast_ttl=16",
        "mtu=1500",           "ts_keep_alive=0",  "audio_channel_mode=1", "audio_codec=1",
        "audio_rate_mode=0",  "audio_enable=1",   "audio_output_mode=1",  "local_ip=127.0.0.1",
        "ts_dest_ip_alt=",    "cur_audio_rate=0", "cmd_pending=0",        "cmd_code=0",
        "cmd_dest_ip=",       "cmd_client_tag=",
    };
    for (const char* e : expected) {
        const std::string name(e, std::strchr(e, '='));
        EXPECT_EQ(show(name.c_str()), e);
    }

    // Reset in place: changed fields and bytes outside every field go back to defaults.
    ASSERT_EQ(mgmt::set_field("mtu=9000"), "");
    ASSERT_EQ(mgmt::set_field("ts_dest_ip_alt=239.0.0.1"), "");
    reinterpret_cast<unsigned char*>(shm_config)[100] = 0x5A;
    ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    EXPECT_EQ(show("mtu"), "mtu=1500");
    EXPECT_EQ(show("ts_dest_ip_alt"), "ts_dest_ip_alt=");
    EXPECT_EQ(reinterpret_cast<unsigned char*>(shm_config)[100], 0);

    EXPECT_NE(mgmt::create_block(kShmMinSize - 1), "");
    EXPECT_EQ(mgmt::remove_block(), "");
    EXPECT_NE(mgmt::remove_block(), "");
    EXPECT_NE(mgmt::attach_block(), "");
}

TEST(MgmtBlock, SetFieldWritesWithinLimitsAndShowReadsBack) {
    ASSERT_TRUE(enter_private_ipc());
    ASSERT_EQ(mgmt::create_block(kShmStandardSize), "");
    ShmConfig& c = *shm_config;

    struct Case {
        const char* assignment;
        bool ok;
        const char* shown;
    };
    const Case cases[] = {
        {"ssrc_seed_lo=255", true, "ssrc_seed_lo=255"},
        {"ssrc_seed_lo=256", false, "ssrc_seed_lo=255"},
        {"cmd_rtp_port=0xFFFF", true, "cmd_rtp_port=65535"},
        {"cmd_rtp_port=65536", false, "cmd_rtp_port=65535"},
        {"mtu=0xFFFFFFFF", true, "mtu=4294967295"},
        {"mtu=4294967296", false, "mtu=4294967295"},
        {"local_ip=1234567890123456789012345678901", true,
         "local_ip=1234567890123456789012345678901"},
        {"local_ip=12345678901234567890123456789012", false,
         "local_ip=1234567890123456789012345678901"},
        {"cmd_dest_ip=", true, "cmd_dest_ip="},
        {"ts_dest_ip=a\tb\\c", true, "ts_dest_ip=a\\x09b\\x5Cc"},
        {"no_such_field=1", false, nullptr},
        {"mtu", false, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.assignment);
        EXPECT_EQ(mgmt::set_field(k.assignment).empty(), k.ok) << mgmt::set_field(k.assignment);
        if (k.shown) {
            const std::string name(k.shown, std::strchr(k.shown, '='));
            EXPECT_EQ(show(name.c_str()), k.shown);
        }
    }
    // Native byte order, at the field's own offset: the service's loads see the value.
    EXPECT_EQ(c.cmd_rtp_port, 0xFFFF);
    EXPECT_EQ(c.mtu, 0xFFFFFFFFu);
    EXPECT_EQ(c.ssrc_seed_lo, 0xFF);
    EXPECT_EQ(c.ssrc_seed_mid, 0x34);
    EXPECT_EQ(c.local_ip[31], '\0');
    // A shorter text after a longer one ends at its own NUL.
    ASSERT_EQ(mgmt::set_field("local_ip=10.0.0.1"), "");
    EXPECT_STREQ(c.local_ip, "10.0.0.1");
    // Checking only never writes.
    ASSERT_EQ(mgmt::set_field("mtu=1316", false), "");
    EXPECT_EQ(c.mtu, 0xFFFFFFFFu);
}

TEST(MgmtBlock, TextRoomEndsAtTheSegmentsEnd) {
    ASSERT_TRUE(enter_private_ipc());
    const std::size_t size = kShmMinSize + 4;  // the client tag has 5 bytes
    ASSERT_EQ(mgmt::create_block(size), "");
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
        // The service's side: serve two commands, reporting what the second carried.
        int served = 0;
        bool ok = true;
        for (int i = 0; i < 10000 && served < 2; ++i) {
            if (shm_command_pending()) {
                const ShmCommand cmd = shm_read_command();
                if (served == 0)
                    ok = ok && cmd.code == 77;
                else
                    ok = ok && cmd.code == 1 && std::strcmp(cmd.dest_ip, "10.9.8.7") == 0 &&
                         cmd.rtp_port == 6000 && cmd.rtcp_port == 6001 &&
                         std::strcmp(cmd.client_tag, "RTSP") == 0;
                if (served == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                shm_command_done();
                ++served;
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
    EXPECT_EQ(shm_config->cmd_code, 4u);

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
    {
        const int fd = open(mem.c_str(), O_CREAT | O_RDWR, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(mgmt::kFpgaPhysBase + mgmt::kFpgaWindowSize)),
                  0);
        close(fd);
    }
    struct Case {
        const char* input;
        std::uint8_t hi;
        std::uint8_t lo;
        const char* name;
    };
    const Case cases[] = {
        {"adc", 0x00, 0x02, "adc"},   {"hdsdi", 0x00, 0x03, "hdsdi"},
        {"none", 0x00, 0x00, "none"}, {"0xA5C3", 0xA5, 0xC3, "hdsdi"},
        {"1", 0x00, 0x01, "none"},    {"0xFFFE", 0xFF, 0xFE, "adc"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.input);
        std::uint16_t value = 0;
        ASSERT_TRUE(mgmt::fpga_input_value(k.input, value));
        ASSERT_EQ(mgmt::write_audio_input(mem.c_str(), value), "");
        const std::string bytes = bytes_at(mem, 0xF8000000u + 0x26, 6);
        const bool big = std::endian::native == std::endian::big;
        const std::string expected = {
            0, 0, static_cast<char>(big ? k.hi : k.lo), static_cast<char>(big ? k.lo : k.hi), 0, 0};
        EXPECT_EQ(bytes, expected);
        std::uint16_t back = 0;
        ASSERT_EQ(mgmt::read_audio_input(mem.c_str(), back), "");
        EXPECT_EQ(back, (k.hi << 8) | k.lo);
        EXPECT_STREQ(mgmt::fpga_input_name(back), k.name);
    }
    std::uint16_t v = 0;
    for (const char* bad : {"ADC", "0x10000", "65536", "", "-1"})
        EXPECT_FALSE(mgmt::fpga_input_value(bad, v)) << bad;

    // Never a device, never a file too short to hold the window.
    EXPECT_NE(mgmt::write_audio_input("/dev/null", 2), "");
    write_file(dir.file("short"), std::string(64, '\0'));
    EXPECT_NE(mgmt::write_audio_input(dir.file("short").c_str(), 2), "");
    EXPECT_EQ(read_file(dir.file("short")), std::string(64, '\0'));
}
