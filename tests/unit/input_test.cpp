// The audio input: the FPGA register window as the service maps it (the sandbox's /dev/mem),
// the format poll against a real block, and process control with real processes that only
// this test case's PID namespace sees.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstring>
#include <map>

#include "input/format_poll.h"
#include "input/fpga_window.h"
#include "input/process_control.h"
#include "support/unit.h"

bool operator==(const AudioFormat& a, const AudioFormat& b) { return same_format(a, b); }

namespace {

TEST(FpgaWindow, AccessorsLanesAndTheAudioInputProbe) {
    make_block();
    // Plain stores land at the address as given (the aligned one at the multiple of 4 below),
    // in the host's byte order as memcpy puts them; the bytes around stay.
    ASSERT_EQ(fpga_open(), FpgaOpen::mapped);
    auto* const window = reinterpret_cast<std::uint8_t*>(FPGA_VIRT_BASE);
    std::memset(window, 0xEE, 16);
    fpga_write16(FPGA_VIRT_BASE + 1, 0xB2C3), fpga_write32(FPGA_VIRT_BASE + 3, 0xD4E5F607u);
    fpga_write32_aligned(FPGA_VIRT_BASE + 0xB, 0x18293A4Bu);
    Bytes want(16, 0xEE);
    const auto put = [&](std::size_t at, auto v) { std::memcpy(&want[at], &v, sizeof v); };
    put(1, std::uint16_t{0xB2C3}), put(3, 0xD4E5F607u), put(8, 0x18293A4Bu);
    EXPECT_EQ(Bytes(window, window + 16), want);

    // Byte lane 0 is the word's most significant byte; half lane 0 replaces bits 15..0, lane
    // 2 bits 31..16, lanes 1 and 3 nothing. Width, lane, the word after; its neighbours stay.
    // clang-format off
    const std::tuple<int, unsigned, std::uint32_t> lanes[] = {
        {8, 0, 0xAB223344u},  {8, 1, 0x11AB3344u},  {8, 2, 0x1122AB44u},  {8, 3, 0x112233ABu},
        {16, 0, 0x1122BEEFu}, {16, 1, 0x11223344u}, {16, 2, 0xBEEF3344u}, {16, 3, 0x11223344u}};
    // clang-format on
    for (const auto& [width, lane, word] : lanes) {
        std::uint32_t words[] = {0x55667788u, 0x11223344u, 0x99AABBCCu};
        std::memcpy(window + 0x1C, words, sizeof words);
        const std::uintptr_t at = FPGA_VIRT_BASE + 0x20 + lane;
        width == 8 ? fpga_write8_rmw(at, 0xAB) : fpga_write16_rmw(at, 0xBEEF);
        words[1] = word;
        EXPECT_EQ(std::memcmp(window + 0x1C, words, sizeof words), 0) << width << "/" << lane;
    }

    // Bits 1..0: 3 HD-SDI, 2 ADC, else no input (only the source is written). Each change of
    // the raw value is traced, the first against 0xFFFF.
    // clang-format off
    const std::tuple<std::uint16_t, std::tuple<int, int, int>, const char*> probes[] = {
        {0x0003, {0, 1, 48000}, "FPGA [0x38000028] ffff => 3\n"}, {0x0003, {0, 1, 48000}, ""},
        {0xFFFE, {3, 1, 48000}, "FPGA [0x38000028] 3 => fffe\n"},
        {0x8001, {255, -7, 1234}, "FPGA [0x38000028] fffe => 8001\n"}};
    // clang-format on
    for (const auto& [reg, record, trace] : probes) {
        ASSERT_EQ(mgmt::write_audio_input("/dev/mem", reg), "");
        InputDetect d{77, -7, 1234};
        EXPECT_EQ(log_of([&] { probe_audio_input(attached_block(), d); }), trace);
        EXPECT_EQ(std::tuple(d.source, d.input_valid, d.sample_rate), record) << reg;
    }
    // A second mapping cannot land on the first, which stays in place.
    FpgaOpen again = FpgaOpen::mapped;
    const std::string log = log_of([&] { again = fpga_open(); });
    const std::string misplaced = "Can't match physical(f8000000) to logical(38000000) retflag(";
    std::uint16_t still = 0;
    fpga_read16(AUDIO_INPUT_REG, still);
    EXPECT_EQ(std::tuple(again, log.substr(0, misplaced.size()), still),
              std::tuple(FpgaOpen::misplaced, misplaced, std::uint16_t{0x8001}));
}

TEST(FormatPoll, ConfirmationVerdictsPollByPoll) {
    // L: linear PCM, stereo, 48 kHz; one field changed: s source, b bits, c codec, n channels,
    // r rate.
    const std::map<char, AudioFormat> formats = {
        {'L', {3, 16, 1, 2, 48000}}, {'s', {0, 16, 1, 2, 48000}}, {'b', {3, 8, 1, 2, 48000}},
        {'c', {3, 16, 3, 2, 48000}}, {'n', {3, 16, 1, 1, 48000}}, {'r', {3, 16, 1, 2, 44100}}};
    // From the start or with L applied (and seen once): the polls' formats and their
    // verdicts, 'c' changed, 'R' fixed and reconfigured, 'f' fixed only, '.' nothing.
    // clang-format off
    const std::tuple<bool, std::string, std::string> rows[] = {
        {false, "LLLLLL", "c.R..."}, {false, "LLbbb", "c.c.R"}, {false, "LbLbLb", "cccccc"},
        {true, "ssssss", "c.f..."}, {true, "bbb", "c.R"}, {true, "ccc", "c.R"},
        {true, "nnn", "c.R"}, {true, "rrr", "c.R"}, {true, "bLLL", "cc.."}};
    // clang-format on
    const AudioFormat& l = formats.at('L');
    for (const auto& [applied, polls, want] : rows) {
        FormatTracking t = applied ? FormatTracking{l, l, 0} : kFormatTrackingStart;
        std::string verdicts;
        for (const char p : polls) {
            const FormatStep s = confirm_format(t, formats.at(p));
            verdicts += s.changed ? 'c' : s.fixed ? (s.reconfigure ? 'R' : 'f') : '.';
            t = s.next;
        }
        EXPECT_EQ(verdicts, want) << polls;
    }
}

// What three polls log.
std::string poll3(AudioFormat& f) {
    return log_of([&f] {
        const BlockView block = attached_block();
        poll_audio_format(block, &f), poll_audio_format(block, &f), poll_audio_format(block, &f);
    });
}

TEST(FormatPoll, EachDetectedFormatIsAppliedWithItsSdpLine) {
    make_block();
    ASSERT_EQ(fpga_open(), FpgaOpen::mapped);
    const pid_t server = start_named_process("/tmp", "rtspServer");
    const pid_t server_m = start_named_process("/tmp", "rtspServerM");
    ASSERT_EQ(mgmt::write_audio_input("/dev/mem", 2), "");
    AudioFormat f{};
    const auto poll3 = [&f] { return ::poll3(f); };
    EXPECT_EQ(poll3(),
              "FPGA [0x38000028] ffff => 2\n"
              "[Audio] Unknown 0 0 Hz Ch-0 Bit-0 => ADC-I2S 1 48000 Hz Ch-2 Bit-16 \n"
              "[Fix Audio] Unknown 0 0 Hz Ch-0 => ADC-I2S 1 48000 Hz Ch-2\nrtspServer task [" +
                  std::to_string(server) + "] killed\nrtspServerM task [" +
                  std::to_string(server_m) + "] killed\n");

    // Board, channel mode, codec, rate mode, register; the format applied and its SDP line.
    // Boards other than 0x0100 are HD-SDI whatever the register says; channel modes other
    // than 1..3 keep the channels; no recognised input gives codec 8 and rate 0.
    // clang-format off
    const std::tuple<std::uint16_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint16_t,
                     AudioFormat, const char*> rows[] = {
        {0x0100, 1, 2, 2, 0x0002, {3, 8, 2, 2, 8000}, "a=rtpmap:98 PCMA/8000/2\n"},
        {0x0100, 2, 3, 0, 0x0003, {0, 8, 3, 1, 48000}, "a=rtpmap:98 PCMU/48000/1\n"},
        {0x0100, 0, 1, 2, 0xFFFE, {3, 16, 1, 1, 8000}, "a=rtpmap:98 L16/8000/1\n"},
        {0x0101, 1, 0, 1, 0x0002, {0, 8, 0, 2, 48000}, "a=rtpmap:98 L8/48000/2\n"},
        {0x0100, 3, 1, 0, 0x0002, {3, 16, 1, 0, 48000}, ""},
        {0x0100, 2, 2, 2, 0x8001, {255, 8, 8, 1, 0}, ""}};
    // clang-format on
    ShmConfig& c = *shm_config;
    for (const auto& [board, mode, codec, rate_mode, reg, want, sdp] : rows) {
        ASSERT_EQ(mgmt::write_audio_input("/dev/mem", reg), "");
        c.board_type = board, c.audio_channel_mode = mode, c.audio_codec = codec;
        c.audio_rate_mode = rate_mode;
        write_text(kSdpLinePath, "previous\n");  // so that a removal shows
        poll3();
        const AudioFormat back{c.cur_audio_source, c.cur_audio_bits, c.cur_audio_codec,
                               c.cur_audio_channels, c.cur_audio_rate};
        EXPECT_EQ(std::tuple(f, back, file_text(kSdpLinePath), applied_sample_rate),
                  std::tuple(want, want, sdp, want.sample_rate));
    }
}

TEST(FormatPoll, OnlyAFormatWhoseSdpLineIsWrittenIsApplied) {
    // An alternate format out of range, then a full /tmp: each time the previous line stays,
    // the server runs and the clock rate is not taken; once there is room, all three happen.
    ShmConfig& c = *make_block({"use_alt_settings=1"});
    ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", 0, "size=16k"), 0);
    write_text(kSdpLinePath, "previous\n");
    const pid_t server = start_named_process("/tmp", "rtspServer");
    AudioFormat f{};
    std::memset(&c.alt_audio_source, 0xFF, 5 * sizeof c.alt_audio_source);
    EXPECT_EQ(poll3(f),
              "[Audio] Unknown 0 0 Hz Ch-0 Bit-0 => Unknown -1 -1 Hz Ch--1 Bit--1 \n"
              "[Fix Audio] Unknown 0 0 Hz Ch-0 => Unknown -1 -1 Hz Ch--1\n"
              "[Fix Audio] refused, out of range for the SDP line: Unknown 4294967295 4294967295 "
              "Hz Ch-4294967295 Bit-4294967295\n");
    const int filler = open("/tmp/filler", O_WRONLY | O_CREAT, 0600);
    for (int i = 0; i < 64 && write(filler, Bytes(4096).data(), 4096) > 0; ++i) {
    }
    c.alt_audio_source = 3, c.alt_audio_bits = 16, c.alt_audio_codec = 1;
    c.alt_audio_channels = 2, c.alt_audio_rate = 48000;
    dbg_to_file(), dbg_set_logfile("/dev/shm/log");  // no room for a captured log either
    for (int i = 0; i < 3; ++i) poll_audio_format(attached_block(), &f);
    const std::string full = file_text("/dev/shm/log");
    EXPECT_NE(full.find(" write ::: No space left on device\n"), std::string::npos) << full;
    EXPECT_EQ(
        std::tuple(file_text(kSdpLinePath), waitpid(server, nullptr, WNOHANG), applied_sample_rate),
        std::tuple("previous\n", 0, 0u));
    close(filler), unlink("/tmp/filler");
    poll3(f);
    EXPECT_EQ(std::tuple(file_text(kSdpLinePath), killed_by_sigkill(wait_for_exit(server)),
                         applied_sample_rate),
              std::tuple("a=rtpmap:98 L16/48000/2\n", true, 48000u));
}

TEST(TmpFiles, PlantedLinksAreNeverWrittenThrough) {
    // Each fixed name under /tmp a link to the victim: the log, its backup when a full log
    // rotates, the SDP line, the scratch names of earlier process searches.
    const char* const names[] = {"/tmp/.print_audio_rtsp", "/tmp/.print_audio_rtsp.bak",
                                 kSdpLinePath, "/tmp/.pidof", "/tmp/.killall"};
    write_text("/tmp/victim", "victim\n");
    for (const char* name : names) ASSERT_EQ(symlink("/tmp/victim", name), 0) << name;
    dbg_to_file();
    dbg_set_logfile(names[0]);
    dbg_printf("through the link\n");
    unlink(names[0]);
    write_text(names[0], std::string(8193, 'x'));  // the next message rotates it
    dbg_printf("rotated\n");
    write_sdp_line({3, 16, 1, 2, 48000});
    const pid_t task = start_named_process("/tmp", "linkTask");
    kill_all_by_name("linkTask");
    EXPECT_EQ(std::tuple(file_text("/tmp/victim"), file_text(names[1]).size(),
                         file_text(kSdpLinePath), killed_by_sigkill(wait_for_exit(task))),
              std::tuple("victim\n", 8193u, "a=rtpmap:98 L16/48000/2\n", true));
}

TEST(ProcessControl, KillsEveryProcessOfTheNameAndNoOther) {
    // Ids 1000..1039 make a list of 200 characters; its first 127 end in "10", the id of
    // the unrelated process.
    const auto next_pid_after = [](int id) {
        write_text("/proc/sys/kernel/ns_last_pid", std::to_string(id));
    };
    next_pid_after(9);
    const pid_t other = start_named_process("/tmp", "other");
    std::string ids;
    for (int i = 0; i < 40; ++i) {  // each id set: an emulator may start threads in a child
        next_pid_after(999 + i);
        ids = std::to_string(start_named_process("/tmp", "rtspServer")) + " " + ids;
    }
    ASSERT_EQ(std::tuple(other, ids.substr(0, 5), ids.size()), std::tuple(10, "1039 ", 200u));
    EXPECT_EQ(log_of(stop_rtsp_servers), "rtspServer task [" + ids.substr(0, 199) + "] killed\n");
    for (pid_t id = 1000; id < 1040; ++id) EXPECT_TRUE(killed_by_sigkill(wait_for_exit(id))) << id;
    EXPECT_EQ(waitpid(other, nullptr, WNOHANG), 0);
}

TEST(ProcessControl, FindKillRunAndReapProcesses) {
    const pid_t a = start_named_process("/tmp", "pcTask");
    const pid_t b = start_named_process("/tmp", "pcTask");
    const std::int32_t first = find_pid_by_name("pcTask"), other = first == a ? b : a;
    std::int32_t last = 0;
    EXPECT_EQ(log_of([&] { last = kill_all_by_name("pcTask"); }),
              "pcTask task [" + std::to_string(first) + " " + std::to_string(other) + "] killed\n");
    EXPECT_TRUE((first == a || first == b) && last == other &&
                killed_by_sigkill(wait_for_exit(a)) && killed_by_sigkill(wait_for_exit(b)));

    // A name is matched whole, whatever its length (up to the 255 characters of a file name).
    for (const std::size_t n : {107, 108, 255}) {
        const std::string name(n, static_cast<char>('a' + n % 26));
        const pid_t p = start_named_process("/tmp", name);
        const std::int32_t found = find_pid_by_name(name.c_str());
        EXPECT_EQ(std::pair(found, kill_all_by_name(name.c_str())), std::pair(p, p)) << n;
    }
    // `ps | grep psTarg` lists grep's own line too; the one found is the process's.
    const pid_t target = start_named_process("/tmp", "psTarget");
    EXPECT_EQ(std::pair(find_pid_by_ps("psTarg"), find_pid_by_ps("nothing")), std::pair(target, 0));

    // Commands split at each space: two give an empty word, a trailing one none. There is no
    // search of PATH: the second command cannot run, and writes nothing.
    const int fds[2] = {STDIN_FILENO, open("/tmp/out", O_WRONLY | O_CREAT, 0644)};
    EXPECT_EQ(WEXITSTATUS(wait_for_exit(run_command_argv("/usr/bin/printf %s| a  b ", fds, 0))), 0);
    EXPECT_EQ(WEXITSTATUS(wait_for_exit(run_command_argv("printf %s| a", fds, 0))), 1);
    EXPECT_EQ(file_text("/tmp/out"), "a||b|");
    EXPECT_EQ(WEXITSTATUS(wait_for_exit(run_shell_command("echo $((6 * 7)) > /tmp/x; exit 3"))), 3);
    EXPECT_EQ(std::tuple(file_text("/tmp/x"), run_shell_command(nullptr)), std::tuple("42\n", 1));
    EXPECT_EQ(run_command_argv(nullptr, nullptr, 0), 1);

    // With stdin_only the child reads the pipe and writes where this process does.
    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    const std::int32_t tee = run_command_argv("/usr/bin/tee /tmp/copy", gate, 1);
    EXPECT_EQ(check_child_running(tee), 1);
    EXPECT_EQ(write(gate[1], "xyz", 3), 3);
    close(gate[1]);  // end of its input: tee ends, and is reaped
    for (int i = 0; i < 500 && check_child_running(tee) == 1; ++i) usleep(10000);
    EXPECT_EQ(std::tuple(waitpid(tee, nullptr, WNOHANG), file_text("/tmp/copy")),
              std::tuple(-1, "xyz"));
}

}  // namespace
