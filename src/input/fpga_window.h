// The capture FPGA's register window: 512 bytes of registers at physical 0xF8000000,
// mapped once at start-up (main) at the fixed virtual address 0x38000000. Accessors of
// fixed width make exactly one volatile access each; the format poll reads the audio
// input register through probe_audio_input. No call here allocates, fails at run time or
// ends the process: fpga_open reports its outcome and main decides.
#pragma once

#include <cstddef>
#include <cstdint>

class BlockView;

inline constexpr std::uint32_t FPGA_PHYS_BASE = 0xF8000000u;
inline constexpr std::uintptr_t FPGA_VIRT_BASE = 0x38000000u;
inline constexpr std::size_t FPGA_WINDOW_SIZE = 0x200;

// 16 bits; bits 1..0: 2 = analog input through the ADC, 3 = embedded in HD-SDI,
// 0 and 1 = no recognised input. The upper bits are not interpreted.
inline constexpr std::uintptr_t AUDIO_INPUT_REG = FPGA_VIRT_BASE + 0x28;

enum class FpgaOpen {
    mapped,     // the window sits at FPGA_VIRT_BASE
    no_device,  // "/dev/mem" could not be opened: logged "Error: /dev/mem does not exist\n"
    misplaced,  // the mapping failed or landed elsewhere (a second call lands elsewhere):
                // logged "Can't match physical(f8000000) to logical(38000000) retflag(<a>)\n"
};

// Opens "/dev/mem" and maps the window at FPGA_VIRT_BASE (as a hint: no MAP_FIXED). Logs
// a failure and releases what it made; the service ends with status 0 for no_device and
// status 1 for misplaced.
[[nodiscard]] FpgaOpen fpga_open();

// Register accessors. Addresses are absolute (FPGA_VIRT_BASE + offset) and are not
// checked against the window. Each call makes the accesses named, once, at that width.
void fpga_read8(std::uintptr_t addr, std::uint8_t& value);
void fpga_read16(std::uintptr_t addr, std::uint16_t& value);
void fpga_read32(std::uintptr_t addr, std::uint32_t& value);  // at the address as given
void fpga_write8(std::uintptr_t addr, std::uint8_t value);
void fpga_write16(std::uintptr_t addr, std::uint16_t value);
void fpga_write32(std::uintptr_t addr, std::uint32_t value);  // at the address as given
// One 32-bit store at the address rounded down to a multiple of 4.
void fpga_write32_aligned(std::uintptr_t addr, std::uint32_t value);

// Read-modify-write of the 32-bit word containing addr: one 32-bit load, one 32-bit store.
// The lane is addr % 4. Bytes: lane 0 is the word's most significant byte (the byte at
// that address on the big-endian appliance), lane 3 its least significant.
void fpga_write8_rmw(std::uintptr_t addr, std::uint8_t value);
// Halves, the other way round from the bytes: lane 0 replaces bits 15..0 of the word,
// lane 2 bits 31..16; lanes 1 and 3 load the word and store nothing.
void fpga_write16_rmw(std::uintptr_t addr, std::uint16_t value);

// The input detection record that the probe fills for the format poll.
struct InputDetect {
    std::int32_t source;       // 0 "HDSDI-I2S", 3 "ADC-I2S", 255 no recognised input
    std::int32_t input_valid;  // 1 when an input was recognised and the record filled
    std::int32_t sample_rate;  // Hz; always 48000 when filled
};

// A board_type other than 0x0100: HD-SDI at 48000 Hz, without touching the FPGA. Otherwise reads
// AUDIO_INPUT_REG, traces "FPGA [%p] %x => %x\n" on every change of its raw value (the last value
// starts as 0xFFFF), and decodes bits 1..0. With no recognised input only `source` is written
// (255): the caller's record keeps its input_valid and sample_rate.
void probe_audio_input(const BlockView& block, InputDetect& record);
