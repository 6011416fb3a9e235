#include "input/fpga_window.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "core/block_view.h"
#include "core/debug_log.h"

namespace {

// Raw value of AUDIO_INPUT_REG at the previous probe; 0xFFFF so that the first probe
// traces whatever the register holds (unless it reads 0xFFFF).
std::uint16_t last_audio_input_reg = 0xFFFF;

constexpr std::uint16_t kFpgaBoard = 0x0100;

template <class T>
volatile T* reg(std::uintptr_t addr) {
    return reinterpret_cast<volatile T*>(addr);
}

constexpr std::uintptr_t word_of(std::uintptr_t addr) { return addr & ~std::uintptr_t{3}; }

}  // namespace

FpgaOpen fpga_open() {
    const int fd = open("/dev/mem", O_RDWR | O_SYNC);
    if (fd < 0) {
        dbg_printf("Error: /dev/mem does not exist\n");
        return FpgaOpen::no_device;
    }
    // A hint, not MAP_FIXED: the window must not replace whatever already sits there;
    // landing anywhere else is refused below.
    void* at = mmap(reinterpret_cast<void*>(FPGA_VIRT_BASE), FPGA_WINDOW_SIZE,
                    PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(FPGA_PHYS_BASE));
    if (at != reinterpret_cast<void*>(FPGA_VIRT_BASE)) {
        // The low 32 bits of the address: a failed mapping prints ffffffff on any host.
        dbg_printf("Can't match physical(%x) to logical(%x) retflag(%x)\n", FPGA_PHYS_BASE,
                   static_cast<unsigned>(FPGA_VIRT_BASE),
                   static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(at)));
        if (at != MAP_FAILED) munmap(at, FPGA_WINDOW_SIZE);
        close(fd);
        return FpgaOpen::misplaced;
    }
    close(fd);
    return FpgaOpen::mapped;
}

// The register bus, not the compiler, decides what an access at an odd address does:
// the accessors pass every address through unchanged, so the alignment check is off.
#define FPGA_ANY_ALIGNMENT __attribute__((no_sanitize("alignment")))

void fpga_read8(std::uintptr_t addr, std::uint8_t& value) { value = *reg<std::uint8_t>(addr); }
FPGA_ANY_ALIGNMENT void fpga_read16(std::uintptr_t addr, std::uint16_t& value) {
    value = *reg<std::uint16_t>(addr);
}
FPGA_ANY_ALIGNMENT void fpga_read32(std::uintptr_t addr, std::uint32_t& value) {
    value = *reg<std::uint32_t>(addr);
}
void fpga_write8(std::uintptr_t addr, std::uint8_t value) { *reg<std::uint8_t>(addr) = value; }
FPGA_ANY_ALIGNMENT void fpga_write16(std::uintptr_t addr, std::uint16_t value) {
    *reg<std::uint16_t>(addr) = value;
}
FPGA_ANY_ALIGNMENT void fpga_write32(std::uintptr_t addr, std::uint32_t value) {
    *reg<std::uint32_t>(addr) = value;
}

void fpga_write32_aligned(std::uintptr_t addr, std::uint32_t value) {
    *reg<std::uint32_t>(word_of(addr)) = value;
}

void fpga_write8_rmw(std::uintptr_t addr, std::uint8_t value) {
    volatile std::uint32_t* word = reg<std::uint32_t>(word_of(addr));
    const std::uint32_t old = *word;
    const unsigned shift = (3u - static_cast<unsigned>(addr & 3u)) * 8u;
    *word = (old & ~(std::uint32_t{0xFF} << shift)) | (std::uint32_t{value} << shift);
}

void fpga_write16_rmw(std::uintptr_t addr, std::uint16_t value) {
    volatile std::uint32_t* word = reg<std::uint32_t>(word_of(addr));
    const std::uint32_t old = *word;
    // Lane 0 takes the low-order half, lane 2 the high-order one: the reverse of what a
    // plain 16-bit store would change on the appliance. Kept as the hardware expects it.
    switch (addr & 3u) {
        case 0:
            *word = (old & 0xFFFF0000u) | value;
            break;
        case 2:
            *word = (old & 0x0000FFFFu) | (std::uint32_t{value} << 16);
            break;
        default:  // odd lanes: the word has been read, nothing is written
            break;
    }
}

void probe_audio_input(const BlockView& block, InputDetect& record) {
    if (block.board_type() != kFpgaBoard) {
        record = {0, 1, 48000};
        return;
    }
    std::uint16_t raw = 0;
    fpga_read16(AUDIO_INPUT_REG, raw);
    if (raw != last_audio_input_reg) {
        dbg_printf("FPGA [%p] %x => %x\n", reinterpret_cast<void*>(AUDIO_INPUT_REG),
                   static_cast<unsigned>(last_audio_input_reg), static_cast<unsigned>(raw));
        last_audio_input_reg = raw;
    }
    switch (raw & 3u) {
        case 2:
            record = {3, 1, 48000};
            break;
        case 3:
            record = {0, 1, 48000};
            break;
        default:
            record.source = 255;
            break;
    }
}
