#include "mgmt_block.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace mgmt {

namespace {

std::uint64_t max_of(ShmFieldKind kind) {
    switch (kind) {
        case ShmFieldKind::u8:
            return 0xFF;
        case ShmFieldKind::u16:
            return 0xFFFF;
        default:
            return 0xFFFFFFFFu;
    }
}

unsigned char* field_address(const ShmField& f) {
    return reinterpret_cast<unsigned char*>(shm_config) + f.offset;
}

void store_number(const ShmField& f, std::uint64_t v) {
    unsigned char* at = field_address(f);
    switch (f.kind) {
        case ShmFieldKind::u8:
            shm_store(*at, static_cast<std::uint8_t>(v));
            break;
        case ShmFieldKind::u16:
            shm_store(*reinterpret_cast<std::uint16_t*>(at), static_cast<std::uint16_t>(v));
            break;
        default:
            shm_store(*reinterpret_cast<std::uint32_t*>(at), static_cast<std::uint32_t>(v));
            break;
    }
}

std::uint64_t load_number(const ShmField& f) {
    const unsigned char* at = field_address(f);
    switch (f.kind) {
        case ShmFieldKind::u8:
            return shm_load(*at);
        case ShmFieldKind::u16:
            return shm_load(*reinterpret_cast<const std::uint16_t*>(at));
        default:
            return shm_load(*reinterpret_cast<const std::uint32_t*>(at));
    }
}

// Bytes a text field may hold, its NUL included: its room, cut at the segment's end.
std::size_t text_room(const ShmField& f) {
    const std::size_t in_segment = shm_room_from(field_address(f));
    return f.room < in_segment ? f.room : in_segment;
}

// Code names accepted besides numbers.
bool command_code(std::string_view text, std::uint32_t& code) {
    const struct {
        const char* name;
        std::uint32_t code;
    } names[] = {{"add", 1}, {"del", 2}, {"del-rtsp", 3}, {"detect", 4}, {"ts-reopen", 5}};
    for (const auto& n : names)
        if (text == n.name) {
            code = n.code;
            return true;
        }
    std::uint64_t v = 0;
    if (!parse_unsigned(text, 0xFFFFFFFFu, v)) return false;
    code = static_cast<std::uint32_t>(v);
    return true;
}

// Waits, in steps of 1 ms and at most timeout_ms, until cmd_pending satisfies `done`.
template <class Pred>
bool wait_mailbox(int timeout_ms, Pred done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done(shm_load(shm_config->cmd_pending))) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Opens the register file; refuses anything but a regular file that holds the window,
// so that a real /dev/mem (physical memory) is never written by mistake.
int open_register_file(const char* path, int flags, std::string& error) {
    const int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) {
        error = std::string(path) + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) < kFpgaPhysBase + kFpgaWindowSize) {
        close(fd);
        error =
            std::string(path) +
            " is not a register file (a real device, or too short): run inside appliance-sandbox";
        return -1;
    }
    return fd;
}

// The defaults of a freshly configured appliance: primary set, RTP output, stereo linear
// PCM, MTU 1500, FPGA-detected input. The alternate set holds a plausible fixed format
// (HD-SDI, 16-bit linear PCM, stereo, 48000 Hz, RTP) so that switching to it is useful.
void write_defaults() {
    const struct {
        const char* name;
        std::uint64_t value;
    } numbers[] = {
        {"use_alt_settings", 0},
        {"board_type", 0x0100},
        {"ts_dest_select", 0},
        {"ssrc_seed_hi", kSeedHi},
        {"ssrc_seed_mid", kSeedMid},
        {"ssrc_seed_lo", kSeedLo},
        {"multicast_ttl", 16},
        {"mtu", 1500},
        {"ts_keep_alive", 0},
        {"audio_channel_mode", 1},
        {"audio_codec", 1},
        {"audio_rate_mode", 0},
        {"audio_enable", 1},
        {"audio_output_mode", 1},
        {"alt_audio_enable", 1},
        {"alt_audio_source", 0},
        {"alt_audio_bits", 16},
        {"alt_audio_codec", 1},
        {"alt_audio_channels", 2},
        {"alt_audio_rate", 48000},
        {"alt_audio_output_mode", 1},
        {"cmd_pending", 0},
        {"cmd_code", 0},
    };
    for (const auto& n : numbers) store_number(*shm_find_field(n.name), n.value);
    set_field("ts_dest_ip=127.0.0.1");
    set_field("local_ip=127.0.0.1");
}

}  // namespace

bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t& out) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t v = 0;
    for (const char c : text) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (v > (max - d) / base) return false;
        v = v * base + d;
    }
    out = v;
    return true;
}

std::string set_field(std::string_view assignment, bool write) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string_view::npos)
        return "expected FIELD=VALUE, got \"" + std::string(assignment) + "\"";
    const std::string name(assignment.substr(0, eq));
    const std::string_view value = assignment.substr(eq + 1);
    const ShmField* f = shm_find_field(name.c_str());
    if (!f) return "unknown field \"" + name + "\" (see: sim_mgmt show)";
    if (f->kind == ShmFieldKind::text) {
        const std::size_t room = text_room(*f);
        if (value.find('\0') != std::string_view::npos) return name + ": a text cannot hold NUL";
        if (value.size() + 1 > room)
            return name + ": \"" + std::string(value) + "\" is too long (room for " +
                   std::to_string(room == 0 ? 0 : room - 1) + " characters)";
        if (!write) return "";
        char* at = reinterpret_cast<char*>(field_address(*f));
        for (std::size_t i = 0; i < value.size(); ++i) shm_store(at[i], value[i]);
        shm_store(at[value.size()], '\0');
        return "";
    }
    std::uint64_t v = 0;
    const std::uint64_t max = max_of(f->kind);
    if (!parse_unsigned(value, max, v))
        return name + ": \"" + std::string(value) + "\" is not a number from 0 to " +
               std::to_string(max);
    if (shm_room_from(field_address(*f)) < (f->kind == ShmFieldKind::u8    ? 1u
                                            : f->kind == ShmFieldKind::u16 ? 2u
                                                                           : 4u))
        return name + ": the block is too small to hold this field";
    if (write) store_number(*f, v);
    return "";
}

std::string show_field(const ShmField& f) {
    std::string out = std::string(f.name) + "=";
    if (f.kind != ShmFieldKind::text) {
        if (shm_room_from(field_address(f)) == 0) return out + "(beyond the block)";
        return out + std::to_string(load_number(f));
    }
    const std::size_t room = text_room(f);
    const char* at = reinterpret_cast<const char*>(field_address(f));
    for (std::size_t i = 0; i < room; ++i) {
        const char c = shm_load(at[i]);
        if (c == '\0') break;
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += c;
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(c));
            out += esc;
        }
    }
    return out;
}

std::string create_block(std::size_t size) {
    if (size < kShmMinSize)
        return "a block needs at least " + std::to_string(kShmMinSize) + " bytes";
    int id = shmget(kShmKey, size, IPC_CREAT | 0666);
    if (id == -1 && errno == EINVAL) {  // exists with another size
        const int old = shmget(kShmKey, 0, 0);
        if (old != -1) shmctl(old, IPC_RMID, nullptr);
        id = shmget(kShmKey, size, IPC_CREAT | 0666);
    }
    if (id == -1) return std::string("shmget(1005): ") + std::strerror(errno);
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_segsz != size) {
        // Created by someone else with another size between our two calls: start again.
        shmctl(id, IPC_RMID, nullptr);
        id = shmget(kShmKey, size, IPC_CREAT | IPC_EXCL | 0666);
        if (id == -1) return std::string("shmget(1005): ") + std::strerror(errno);
    }
    if (!shm_attach()) return "cannot attach the block just created";
    unsigned char* bytes = reinterpret_cast<unsigned char*>(shm_config);
    for (std::size_t i = 0; i < size; ++i) shm_store(bytes[i], static_cast<unsigned char>(0));
    write_defaults();
    return "";
}

std::string attach_block() {
    if (shmget(kShmKey, 0, 0) == -1)
        return errno == ENOENT ? "no block with key 1005 (run: sim_mgmt create)"
                               : std::string("shmget(1005): ") + std::strerror(errno);
    if (!shm_attach()) return std::string("shmat(1005): ") + std::strerror(errno);
    return "";
}

std::string remove_block() {
    const int id = shmget(kShmKey, 0, 0);
    if (id == -1) return "no block with key 1005 to remove";
    if (shmctl(id, IPC_RMID, nullptr) != 0)
        return std::string("shmctl(IPC_RMID): ") + std::strerror(errno);
    return "";
}

std::string parse_command(int argc, const char* const* argv, Command& cmd) {
    if (argc < 1) return "command: CODE missing";
    if (!command_code(argv[0], cmd.code))
        return std::string("command: bad code \"") + argv[0] + "\"";
    for (int i = 1; i < argc; ++i) {
        const std::string_view opt = argv[i];
        if (opt == "--no-wait") {
            cmd.wait = false;
            continue;
        }
        if (i + 1 >= argc) return "command: " + std::string(opt) + " needs a value";
        const std::string_view val = argv[++i];
        std::uint64_t v = 0;
        if (opt == "--ip") {
            if (val.size() > sizeof(ShmConfig::cmd_dest_ip) - 1)
                return "command: --ip \"" + std::string(val) + "\" is longer than 15 characters";
            cmd.dest_ip = val;
        } else if (opt == "--rtp-port" || opt == "--rtcp-port") {
            if (!parse_unsigned(val, 0xFFFF, v))
                return "command: " + std::string(opt) + " \"" + std::string(val) +
                       "\" is not a port from 0 to 65535";
            (opt == "--rtp-port" ? cmd.rtp_port : cmd.rtcp_port) = static_cast<std::uint16_t>(v);
        } else if (opt == "--tag") {
            cmd.client_tag = val;
        } else if (opt == "--timeout-ms") {
            if (!parse_unsigned(val, 600000, v))
                return "command: --timeout-ms \"" + std::string(val) +
                       "\" is not a number from 0 to 600000";
            cmd.timeout_ms = static_cast<int>(v);
        } else {
            return "command: unknown option " + std::string(opt);
        }
    }
    return "";
}

std::string issue_command(const Command& cmd) {
    ShmConfig& c = *shm_config;
    const std::size_t tag_room = shm_room_from(c.cmd_client_tag);
    if (cmd.client_tag.size() + 1 > tag_room)
        return "command: --tag is too long (room for " +
               std::to_string(tag_room ? tag_room - 1 : 0) + " characters)";
    if (!wait_mailbox(cmd.timeout_ms, [](std::uint32_t p) { return p != 1; }))
        return "the mailbox stayed busy (cmd_pending 1) for " + std::to_string(cmd.timeout_ms) +
               " ms: no service is serving commands";
    for (std::size_t i = 0; i < sizeof c.cmd_dest_ip; ++i)
        shm_store(c.cmd_dest_ip[i], i < cmd.dest_ip.size() ? cmd.dest_ip[i] : '\0');
    shm_store(c.cmd_rtp_port, cmd.rtp_port);
    shm_store(c.cmd_rtcp_port, cmd.rtcp_port);
    for (std::size_t i = 0; i < cmd.client_tag.size(); ++i)
        shm_store(c.cmd_client_tag[i], cmd.client_tag[i]);
    shm_store(c.cmd_client_tag[cmd.client_tag.size()], '\0');
    // The service may run on another core of a weakly ordered processor: the arguments
    // and the code must be visible before the flag that announces them.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    shm_store(c.cmd_code, cmd.code);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    shm_store(c.cmd_pending, 1u);
    if (!cmd.wait) return "";
    if (!wait_mailbox(cmd.timeout_ms, [](std::uint32_t p) { return p == 0; }))
        return "no service answered command " + std::to_string(cmd.code) + " within " +
               std::to_string(cmd.timeout_ms) + " ms (cmd_pending is still " +
               std::to_string(shm_load(c.cmd_pending)) + "; the command stays pending)";
    return "";
}

bool fpga_input_value(std::string_view text, std::uint16_t& value) {
    if (text == "adc")
        value = 0x0002;
    else if (text == "hdsdi")
        value = 0x0003;
    else if (text == "none")
        value = 0x0000;
    else {
        std::uint64_t v = 0;
        if (!parse_unsigned(text, 0xFFFF, v)) return false;
        value = static_cast<std::uint16_t>(v);
    }
    return true;
}

const char* fpga_input_name(std::uint16_t value) {
    switch (value & 3u) {
        case 2:
            return "adc";
        case 3:
            return "hdsdi";
        default:
            return "none";
    }
}

std::string write_audio_input(const char* path, std::uint16_t value) {
    std::string error;
    const int fd = open_register_file(path, O_RDWR, error);
    if (fd < 0) return error;
    unsigned char bytes[2];
    std::memcpy(bytes, &value, sizeof bytes);
    const ssize_t n =
        pwrite(fd, bytes, sizeof bytes, static_cast<off_t>(kFpgaPhysBase + kAudioInputReg));
    close(fd);
    return n == 2 ? "" : std::string(path) + ": write failed";
}

std::string read_audio_input(const char* path, std::uint16_t& value) {
    std::string error;
    const int fd = open_register_file(path, O_RDONLY, error);
    if (fd < 0) return error;
    unsigned char bytes[2];
    const ssize_t n =
        pread(fd, bytes, sizeof bytes, static_cast<off_t>(kFpgaPhysBase + kAudioInputReg));
    close(fd);
    if (n != 2) return std::string(path) + ": read failed";
    std::memcpy(&value, bytes, sizeof bytes);
    return "";
}

}  // namespace mgmt
