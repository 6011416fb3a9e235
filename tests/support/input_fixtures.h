// Fixtures for the audio input modules: a real shared configuration block in the test's
// private IPC namespace, and plain memory standing in for the FPGA register window at its
// fixed address (never /dev/mem).
#pragma once

#include <cstdint>

// Creates the block (key 1005, standard size, zeroed) and attaches it as the service does.
// Call after enter_private_ipc().
bool create_test_shm();

// Anonymous memory (one page, read-write) at FPGA_VIRT_BASE, mapped without replacing
// anything there and unmapped again at the end of the scope.
class TestFpgaWindow {
  public:
    TestFpgaWindow();
    ~TestFpgaWindow();
    TestFpgaWindow(const TestFpgaWindow&) = delete;
    TestFpgaWindow& operator=(const TestFpgaWindow&) = delete;

    // nullptr when the address was taken.
    std::uint8_t* bytes() const { return bytes_; }

  private:
    std::uint8_t* bytes_ = nullptr;
};

// True when nothing is mapped at that address.
bool address_unmapped(std::uintptr_t addr);

// The audio input register's value, as the capture FPGA presents it: 16 bits in the
// host's byte order at offset 0x28.
void set_test_audio_input(std::uint16_t value);
