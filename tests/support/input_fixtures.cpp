#include "support/input_fixtures.h"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/shm_config.h"
#include "input/fpga_window.h"

bool create_test_shm() {
    if (shmget(kShmKey, kShmStandardSize, IPC_CREAT | 0600) < 0) {
        std::perror("shmget");
        return false;
    }
    return shm_attach();
}

void TestFpgaUnmap::operator()(std::uint8_t* window) const {
    munmap(window, static_cast<std::size_t>(getpagesize()));
}

TestFpgaWindow map_test_fpga_window() {
    void* const want = reinterpret_cast<void*>(FPGA_VIRT_BASE);
    void* at = mmap(want, static_cast<std::size_t>(getpagesize()), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    TestFpgaWindow window(static_cast<std::uint8_t*>(at));
    // A kernel that takes the flag as a mere hint may map elsewhere.
    return at == want ? std::move(window) : nullptr;
}

bool address_unmapped(std::uintptr_t addr) {
    const auto page = addr & ~static_cast<std::uintptr_t>(getpagesize() - 1);
    unsigned char in_core;
    return mincore(reinterpret_cast<void*>(page), 1, &in_core) != 0 && errno == ENOMEM;
}

void set_test_audio_input(std::uint16_t value) {
    std::memcpy(reinterpret_cast<void*>(AUDIO_INPUT_REG), &value, sizeof value);
}
