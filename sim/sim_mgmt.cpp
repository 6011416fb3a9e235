// sim_mgmt: stands in for the appliance's management process. Creates the shared
// configuration block (key 1005), sets and shows its fields by name, issues mailbox
// commands with the real handshake, sets the FPGA audio input register and shows what
// waits in a message-queue mailbox.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/shm_config.h"
#include "mailbox_dump.h"
#include "mgmt_block.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;  // no block, refused value, no answer
constexpr int kUsage = 2;   // the command line itself is wrong

const char* const kGeneralHelp =
    "Usage: sim_mgmt SUB-COMMAND [ARGS]   (sim_mgmt SUB-COMMAND --help for details)\n"
    "\n"
    "Stands in for the appliance's management process.\n"
    "  create [--size N] [FIELD=VALUE...]  create (or reset) the block with defaults\n"
    "  set FIELD=VALUE...                  write fields of the block\n"
    "  show [FIELD...]                     print fields (all when none named)\n"
    "  command CODE [OPTIONS]              issue a mailbox command and wait until served\n"
    "  fpga adc|hdsdi|none|RAW16|show      set or show the FPGA audio input register\n"
    "  remove                              remove the block\n"
    "  mailbox read N                      print the messages waiting in mailbox N\n"
    "\n"
    "Exit status: 0 done; 1 refused or failed (no block, bad value, no answer); 2 usage.\n"
    "Run it where the service runs: inside the same appliance-sandbox.\n";

const char* const kCreateHelp =
    "Usage: sim_mgmt create [--size N] [FIELD=VALUE...]\n"
    "\n"
    "Creates the shared configuration block (System V key 1005, mode 0666, 16384 bytes\n"
    "unless --size says otherwise) or, when it exists, resets it: every byte 0, then the\n"
    "defaults, then the FIELD=VALUE assignments given (as for set).\n"
    "Defaults: use_alt_settings=0 board_type=256 (0x0100, FPGA input) ts_dest_select=0\n"
    "  ssrc_seed_hi=0x12 ssrc_seed_mid=0x34 ssrc_seed_lo=0x56 (SSRC base 0x12345680)\n"
    "  ts_dest_ip=127.0.0.1 local_ip=127.0.0.1 multicast_ttl=16 mtu=1500 ts_keep_alive=0\n"
    "  audio_channel_mode=1 (stereo) audio_codec=1 (linear PCM) audio_rate_mode=0\n"
    "  audio_enable=1 audio_output_mode=1 (RTP) cmd_pending=0 cmd_code=0\n"
    "  alternate set: alt_audio_enable=1 alt_audio_output_mode=1 alt_audio_source=0\n"
    "  alt_audio_bits=16 alt_audio_codec=1 alt_audio_channels=2 alt_audio_rate=48000\n"
    "Example: sim_mgmt create audio_output_mode=2 ts_dest_ip=127.0.0.1\n";

const char* const kSetHelp =
    "Usage: sim_mgmt set FIELD=VALUE...\n"
    "\n"
    "Writes fields of the existing block, in order. Numbers are decimal or 0x hex and must\n"
    "fit their field (u8 0..255, u16 0..65535, u32 0..4294967295; a negative mtu is\n"
    "written as its 32-bit pattern, e.g. 0xFFFFFFFF). A text must fit its room with its\n"
    "terminating NUL. Unknown names and out-of-range values are refused (status 1), and\n"
    "then nothing is written. Field names: sim_mgmt show.\n"
    "Example: sim_mgmt set audio_output_mode=2 ts_dest_ip=239.1.1.1 mtu=1316\n";

const char* const kShowHelp =
    "Usage: sim_mgmt show [FIELD...]\n"
    "\n"
    "Prints FIELD=VALUE lines (every field in offset order when none is named). Numbers in\n"
    "decimal; text bytes outside printable ASCII as \\xNN. The detected audio format is in\n"
    "cur_audio_source, cur_audio_bits, cur_audio_codec, cur_audio_channels, cur_audio_rate.\n";

const char* const kCommandHelp =
    "Usage: sim_mgmt command CODE [--ip A] [--rtp-port P] [--rtcp-port Q] [--tag T]\n"
    "                             [--timeout-ms N] [--no-wait]\n"
    "\n"
    "Issues one command through the block's mailbox, as the RTSP server process does:\n"
    "waits until cmd_pending is not 1, writes the arguments (those not given as empty or\n"
    "0), then cmd_code, then cmd_pending=1, and waits until the service writes 0.\n"
    "CODE: 1 or add (add a receiver: --ip --rtp-port --rtcp-port --tag), 2 or del\n"
    "(remove one: --ip --rtp-port), 3 or del-rtsp (remove all RTSP receivers), 4 or\n"
    "detect (detect the audio format now), 5 or ts-reopen (reopen the TS socket); other\n"
    "numbers are acknowledged and ignored by the service.\n"
    "  --ip A          receiver IPv4 address, at most 15 characters\n"
    "  --rtp-port P    receiver RTP port;  --rtcp-port Q  receiver RTCP port\n"
    "  --tag T         receiver kind: RTSP..., TS..., atrx..., or anything else\n"
    "  --timeout-ms N  bound of each wait (default 3000); on time-out: status 1, and\n"
    "                  the command stays pending for a service that starts later\n"
    "  --no-wait       leave the command pending and return at once\n"
    "Example: sim_mgmt command add --ip 127.0.0.1 --rtp-port 5004 --rtcp-port 5005 --tag RTSP\n";

const char* const kFpgaHelp =
    "Usage: sim_mgmt fpga adc|hdsdi|none|RAW16|show [--mem PATH]\n"
    "\n"
    "Writes the 16-bit audio input register of the FPGA window (file offset 0xF8000028 of\n"
    "/dev/mem, in this host's byte order, as the service's 16-bit load reads it):\n"
    "adc = 0x0002 (analog input), hdsdi = 0x0003 (HD-SDI embedded), none = 0x0000, or any\n"
    "raw value 0..0xFFFF. 'show' prints the register. Only a sparse register file (as\n"
    "appliance-sandbox makes) is accepted, never a real memory device.\n"
    "  --mem PATH      the register file (default /dev/mem)\n";

const char* const kRemoveHelp =
    "Usage: sim_mgmt remove\n"
    "\n"
    "Removes the block (key 1005); attached processes keep their mapping until they exit.\n";

const char* const kMailboxHelp =
    "Usage: sim_mgmt mailbox read N\n"
    "\n"
    "Prints the messages waiting in mailbox N (the System V message queue with key N),\n"
    "oldest first, without taking them: a line \"mailbox N: K message(s)\", then one line\n"
    "per message, \"type T code C size S: xx xx ...\" (C is the first 4 bytes as a\n"
    "native number, then every payload byte in hex). On a kernel without MSG_COPY the\n"
    "messages are taken and queued again in their order. The mailbox is never created:\n"
    "when it does not exist, the reason is printed and the status is 1.\n"
    "Example: sim_mgmt mailbox read 3\n";

bool wants_help(int argc, char** argv) {
    for (int i = 0; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "sim_mgmt: %s\n", why.c_str());
    return kFailed;
}

int usage(const std::string& why, const char* help) {
    std::fprintf(stderr, "sim_mgmt: %s\n\n%s", why.c_str(), help);
    return kUsage;
}

// All or nothing: every assignment is checked before the first is written.
int set_all(int argc, char** argv) {
    for (int i = 0; i < argc; ++i)
        if (std::string err = mgmt::set_field(argv[i], false); !err.empty()) return fail(err);
    for (int i = 0; i < argc; ++i) mgmt::set_field(argv[i]);
    return kOk;
}

int do_create(int argc, char** argv) {
    std::size_t size = kShmStandardSize;
    if (argc >= 1 && std::strcmp(argv[0], "--size") == 0) {
        std::uint64_t v = 0;
        if (argc < 2 || !mgmt::parse_unsigned(argv[1], 1u << 30, v))
            return usage("create: --size needs a number of bytes", kCreateHelp);
        size = static_cast<std::size_t>(v);
        argc -= 2;
        argv += 2;
    }
    if (std::string err = mgmt::create_block(size); !err.empty()) return fail(err);
    if (int rc = set_all(argc, argv); rc != kOk) return rc;
    std::printf("block 1005 ready (%zu bytes)\n", size);
    return kOk;
}

int do_set(int argc, char** argv) {
    if (argc < 1) return usage("set: nothing to set", kSetHelp);
    if (std::string err = mgmt::attach_block(); !err.empty()) return fail(err);
    return set_all(argc, argv);
}

int do_show(int argc, char** argv) {
    if (std::string err = mgmt::attach_block(); !err.empty()) return fail(err);
    if (argc == 0) {
        for (std::size_t i = 0; i < kShmFieldCount; ++i)
            std::printf("%s\n", mgmt::show_field(kShmFields[i]).c_str());
        return kOk;
    }
    for (int i = 0; i < argc; ++i) {
        const ShmField* f = shm_find_field(argv[i]);
        if (!f) return fail(std::string("unknown field \"") + argv[i] + "\" (see: sim_mgmt show)");
        std::printf("%s\n", mgmt::show_field(*f).c_str());
    }
    return kOk;
}

int do_command(int argc, char** argv) {
    mgmt::Command cmd;
    if (std::string err = mgmt::parse_command(argc, argv, cmd); !err.empty())
        return usage(err, kCommandHelp);
    if (std::string err = mgmt::attach_block(); !err.empty()) return fail(err);
    if (std::string err = mgmt::issue_command(cmd); !err.empty()) return fail(err);
    std::printf(cmd.wait ? "command %u served\n" : "command %u pending\n", cmd.code);
    return kOk;
}

int do_fpga(int argc, char** argv) {
    const char* mem = "/dev/mem";
    const char* what = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mem") == 0 && i + 1 < argc)
            mem = argv[++i];
        else if (!what)
            what = argv[i];
        else
            return usage(std::string("fpga: unexpected ") + argv[i], kFpgaHelp);
    }
    if (!what) return usage("fpga: adc, hdsdi, none, a raw value or show expected", kFpgaHelp);
    std::uint16_t value = 0;
    if (std::strcmp(what, "show") == 0) {
        if (std::string err = mgmt::read_audio_input(mem, value); !err.empty()) return fail(err);
        std::printf("audio_input_reg=0x%04X (%s)\n", value, mgmt::fpga_input_name(value));
        return kOk;
    }
    if (!mgmt::fpga_input_value(what, value))
        return usage(std::string("fpga: \"") + what +
                         "\" is not adc, hdsdi, none or a number from 0 to 0xFFFF",
                     kFpgaHelp);
    if (std::string err = mgmt::write_audio_input(mem, value); !err.empty()) return fail(err);
    return kOk;
}

int do_remove(int argc, char**) {
    if (argc != 0) return usage("remove takes no arguments", kRemoveHelp);
    if (std::string err = mgmt::remove_block(); !err.empty()) return fail(err);
    return kOk;
}

int do_mailbox(int argc, char** argv) {
    std::uint64_t mailbox = 0;
    if (argc != 2 || std::strcmp(argv[0], "read") != 0 ||
        !mgmt::parse_unsigned(argv[1], 0x7FFFFFFF, mailbox) || mailbox == 0)
        return usage("mailbox: read and a mailbox number from 1 expected", kMailboxHelp);
    return mailbox_dump::print_mailbox(static_cast<int>(mailbox), stdout) < 0 ? kFailed : kOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage("a sub-command is needed", kGeneralHelp);
    const std::string_view sub = argv[1];
    const int n = argc - 2;
    char** args = argv + 2;
    const struct {
        const char* name;
        int (*run)(int, char**);
        const char* help;
    } subs[] = {
        {"create", do_create, kCreateHelp},    {"set", do_set, kSetHelp},
        {"show", do_show, kShowHelp},          {"command", do_command, kCommandHelp},
        {"fpga", do_fpga, kFpgaHelp},          {"remove", do_remove, kRemoveHelp},
        {"mailbox", do_mailbox, kMailboxHelp},
    };
    if (sub == "--help" || sub == "-h" || sub == "help") {
        std::fputs(kGeneralHelp, stdout);
        return kOk;
    }
    for (const auto& s : subs) {
        if (sub != s.name) continue;
        if (wants_help(n, args)) {
            std::fputs(s.help, stdout);
            return kOk;
        }
        return s.run(n, args);
    }
    return usage("unknown sub-command \"" + std::string(sub) + "\"", kGeneralHelp);
}
