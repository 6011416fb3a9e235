// The management side of the shared configuration block, as the appliance's management
// process does it: create the block with defaults, set and show fields by name, issue
// mailbox commands with the real handshake, and set the FPGA audio input register.
// Used by the sim_mgmt stand-in and the unit tests. Every call works on the block attached
// in this process (shm_config) and reports a refusal as a reason in text ("" when done).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/shm_config.h"

namespace mgmt {

// Default SSRC seeds: the service's SSRC base is then 0x12345680.
inline constexpr std::uint8_t kSeedHi = 0x12, kSeedMid = 0x34, kSeedLo = 0x56;
inline constexpr int kDefaultTimeoutMs = 3000;

// The FPGA register window inside /dev/mem and the audio input register in it.
inline constexpr std::uint64_t kFpgaPhysBase = 0xF8000000u;
inline constexpr std::uint64_t kFpgaWindowSize = 512;
inline constexpr std::uint64_t kAudioInputReg = 0x28;

// Decimal or 0x-prefixed hexadecimal, no sign, no blanks, at most `max`.
bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t& out);

// ---- the block ------------------------------------------------------------------------

// Makes sure a segment with key 1005 of `size` bytes exists (an existing one of another
// size is removed first), attaches it, zeroes it and writes the defaults of a freshly
// configured appliance: primary set, RTP output, stereo linear PCM, MTU 1500,
// FPGA-detected input, SSRC seeds kSeed*; the alternate set holds a plausible fixed format
// (HD-SDI, 16-bit linear PCM, stereo, 48000 Hz, RTP) so that switching to it is useful.
std::string create_block(std::size_t size);

// Attaches the existing block read-write.
std::string attach_block();
std::string remove_block();

// Writes one FIELD=VALUE into the attached block (only checks it when `write` is false).
// Numbers as parse_unsigned reads them, up to the field's width; a text within its room
// and the segment.
std::string set_field(std::string_view assignment, bool write = true);

// "name=value" as set_field accepts it back; bytes of a text outside printable ASCII
// are shown as \xNN.
std::string show_field(const ShmField& f);

// ---- the command mailbox ---------------------------------------------------------------

// One mailbox command and its arguments; fields not given are written as empty/zero.
struct Command {
    std::uint32_t code = 0;
    std::string dest_ip;
    std::uint16_t rtp_port = 0;
    std::uint16_t rtcp_port = 0;
    std::string client_tag;
    int timeout_ms = kDefaultTimeoutMs;
    bool wait = true;  // false: leave the command pending and return at once
};

// Parses "CODE [--ip A] [--rtp-port P] [--rtcp-port Q] [--tag T] [--timeout-ms N]
// [--no-wait]"; CODE is a number or add, del, del-rtsp, detect, ts-reopen (1..5).
std::string parse_command(int argc, const char* const* argv, Command& cmd);

// The writer's side of the handshake: wait until the slot is free (cmd_pending not 1),
// write the arguments, then the code, then cmd_pending = 1, and wait for the service to
// write 0. A command that was not answered stays pending.
std::string issue_command(const Command& cmd);

// ---- the FPGA audio input register -------------------------------------------------------

// Register values by name: adc 0x0002, hdsdi 0x0003, none 0x0000, or a number to 0xFFFF.
bool fpga_input_value(std::string_view text, std::uint16_t& value);
// The name of what bits 1..0 of a value select.
const char* fpga_input_name(std::uint16_t value);

// The register in the register file at `path`, in the host's byte order, as the service's
// 16-bit load reads it. Anything but a regular file that holds the window is refused, so
// that a real /dev/mem (physical memory) is never written by mistake.
std::string write_audio_input(const char* path, std::uint16_t value);
std::string read_audio_input(const char* path, std::uint16_t& value);

}  // namespace mgmt
