// Fixtures for the audio input modules: a real shared configuration block in the test's
// private IPC namespace, and plain memory standing in for the FPGA register window at its
// fixed address (never /dev/mem).
#pragma once

#include <cstdint>
#include <memory>

// Creates the block (key 1005, standard size, zeroed) and attaches it as the service does.
// Call after enter_private_ipc().
bool create_test_shm();

// Anonymous read-write memory (one page) at FPGA_VIRT_BASE, mapped without replacing
// anything there and unmapped with the pointer; null when the address is taken.
struct TestFpgaUnmap {
    void operator()(std::uint8_t* window) const;
};
using TestFpgaWindow = std::unique_ptr<std::uint8_t, TestFpgaUnmap>;
TestFpgaWindow map_test_fpga_window();

// True when nothing is mapped at that address.
bool address_unmapped(std::uintptr_t addr);

// The audio input register's value, as the capture FPGA presents it: 16 bits in the
// host's byte order at offset 0x28.
void set_test_audio_input(std::uint16_t value);
