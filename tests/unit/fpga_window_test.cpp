// The FPGA register accessors and the audio input probe on plain memory mapped at the window's
// fixed address. Expected words are written relative to the host's byte order, so the same
// tests hold on the little-endian host and on the big-endian appliance build.
#include "input/fpga_window.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <string>
#include <tuple>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "support/input_fixtures.h"
#include "support/isolation.h"

namespace {

constexpr bool kBigEndian = std::endian::native == std::endian::big;

#define MAP_WINDOW_OR_SKIP(var)                                                       \
    const TestFpgaWindow var##_mapping = map_test_fpga_window();                      \
    [[maybe_unused]] std::uint8_t* var = var##_mapping.get();                         \
    if (!var)                                                                         \
    GTEST_SKIP() << "address 0x38000000 is taken; the accessors need memory exactly " \
                    "there"

std::uint32_t word_at(const std::uint8_t* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
void set_word(std::uint8_t* p, std::uint32_t w) { std::memcpy(p, &w, 4); }
void read_only(std::uint8_t* base) {  // any store faults from now on
    ASSERT_EQ(mprotect(base, static_cast<std::size_t>(getpagesize()), PROT_READ), 0);
}

TEST(FpgaWindow, WritesTouchOnlyTheirBytesAndReadsLoadAtTheirWidthWithoutStoring) {
    MAP_WINDOW_OR_SKIP(win);
    std::memset(win, 0xEE, 0x80);
    const std::uintptr_t base = FPGA_VIRT_BASE;
    fpga_write8(base + 0x05, 0xA1);
    fpga_write16(base + 0x08, 0xB2C3);
    fpga_write32(base + 0x12, 0xD4E5F607);          // at the address as given
    fpga_write32_aligned(base + 0x2B, 0x18293A4B);  // lands on 0x28
    std::uint8_t want[0x40];
    std::memset(want, 0xEE, sizeof want);
    want[0x05] = 0xA1;
    const std::uint8_t w16[] = {0xB2, 0xC3}, w32[] = {0xD4, 0xE5, 0xF6, 0x07},
                       w32a[] = {0x18, 0x29, 0x3A, 0x4B};
    for (int i = 0; i < 2; ++i) want[0x08 + i] = w16[kBigEndian ? i : 1 - i];
    for (int i = 0; i < 4; ++i) want[0x12 + i] = w32[kBigEndian ? i : 3 - i];
    for (int i = 0; i < 4; ++i) want[0x28 + i] = w32a[kBigEndian ? i : 3 - i];
    EXPECT_EQ(std::basic_string<std::uint8_t>(win, 0x40),
              std::basic_string<std::uint8_t>(want, 0x40));

    const std::uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    std::memcpy(win + 0x40, bytes, sizeof bytes);
    read_only(win);
    const std::uintptr_t a = base + 0x40;
    std::uint8_t b0 = 0, b3 = 0;
    std::uint16_t h0 = 0, h2 = 0;
    std::uint32_t w0 = 0, w2 = 0;
    fpga_read8(a, b0);
    fpga_read8(a + 3, b3);
    fpga_read16(a, h0);
    fpga_read16(a + 2, h2);
    fpga_read32(a, w0);
    fpga_read32(a + 2, w2);  // at the address as given, not rounded down
    using Reads = std::tuple<unsigned, unsigned, unsigned, unsigned, std::uint32_t, std::uint32_t>;
    EXPECT_EQ(Reads(b0, b3, h0, h2, w0, w2),
              kBigEndian ? Reads(0x12, 0x78, 0x1234, 0x5678, 0x12345678u, 0x56789ABCu)
                         : Reads(0x12, 0x78, 0x3412, 0x7856, 0x78563412u, 0xBC9A7856u));
}

TEST(FpgaWindow, ReadModifyWriteLanes) {
    MAP_WINDOW_OR_SKIP(win);
    const std::uintptr_t word = FPGA_VIRT_BASE + 0x60;
    // Byte lane 0 is the word's most significant byte; half lane 0 bits 15..0, lane 2 bits
    // 31..16. Width, lane, the word afterwards.
    const std::tuple<int, unsigned, std::uint32_t> rows[] = {
        {8, 0, 0xAB223344u}, {8, 1, 0x11AB3344u},  {8, 2, 0x1122AB44u},
        {8, 3, 0x112233ABu}, {16, 0, 0x1122BEEFu}, {16, 2, 0xBEEF3344u}};
    for (const auto& [width, lane, want] : rows) {
        set_word(win + 0x60, 0x11223344u);
        set_word(win + 0x64, 0x55667788u);
        if (width == 8)
            fpga_write8_rmw(word + lane, 0xAB);
        else
            fpga_write16_rmw(word + lane, 0xBEEF);
        EXPECT_EQ(std::pair(word_at(win + 0x60), word_at(win + 0x64)), std::pair(want, 0x55667788u))
            << width << "-bit lane " << lane;
    }
    // Half lanes 1 and 3 read the word and write nothing: on a read-only page a store faults.
    set_word(win + 0x60, 0x11223344u);
    read_only(win);
    fpga_write16_rmw(word + 1, 0xBEEF);
    fpga_write16_rmw(word + 3, 0xBEEF);
    EXPECT_EQ(word_at(win + 0x60), 0x11223344u);
}

auto fields(const InputDetect& r) { return std::tuple(r.source, r.input_valid, r.sample_rate); }

// Probes once and gives what it traced.
std::string probe(InputDetect& rec) {
    testing::internal::CaptureStdout();
    probe_audio_input(rec);
    return testing::internal::GetCapturedStdout();
}

TEST(AudioInputProbe, DecodesBitsOneAndZeroAndTracesEveryRawChange) {
    ASSERT_TRUE(enter_private_ipc());
    ASSERT_TRUE(create_test_shm());
    dbg_to_screen();
    MAP_WINDOW_OR_SKIP(win);
    shm_store(shm_config->board_type, std::uint16_t{0x0100});
    // The first call compares with 0xFFFF. With no recognised input only the source is
    // written: the caller's -7 and 1234 stay.
    const std::tuple<std::uint16_t, InputDetect, const char*> rows[] = {
        {0x0003, {0, 1, 48000}, "FPGA [0x38000028] ffff => 3\n"},
        {0x0003, {0, 1, 48000}, ""},
        {0xFFFE, {3, 1, 48000}, "FPGA [0x38000028] 3 => fffe\n"},
        {0x0002, {3, 1, 48000}, "FPGA [0x38000028] fffe => 2\n"},
        {0x0000, {255, -7, 1234}, "FPGA [0x38000028] 2 => 0\n"},
        {0x0001, {255, -7, 1234}, "FPGA [0x38000028] 0 => 1\n"},
        {0x8001, {255, -7, 1234}, "FPGA [0x38000028] 1 => 8001\n"},
        {0x8007, {0, 1, 48000}, "FPGA [0x38000028] 8001 => 8007\n"},
        {0xFFFF, {0, 1, 48000}, "FPGA [0x38000028] 8007 => ffff\n"}};
    for (const auto& [reg, want, trace] : rows) {
        set_test_audio_input(reg);
        InputDetect rec{77, -7, 1234};
        EXPECT_EQ(probe(rec), trace) << reg;
        EXPECT_EQ(fields(rec), fields(want)) << reg;
    }
}

TEST(AudioInputProbe, OtherBoardsAreHdSdiWithoutTouchingTheWindow) {
    ASSERT_TRUE(enter_private_ipc());
    ASSERT_TRUE(create_test_shm());
    dbg_to_screen();
    ASSERT_TRUE(address_unmapped(AUDIO_INPUT_REG));  // any register access would crash
    for (const int board : {0x0000, 0x0001, 0x0101, 0x1000, 0xFFFF}) {
        shm_store(shm_config->board_type, static_cast<std::uint16_t>(board));
        InputDetect rec{255, 0, 0};
        EXPECT_EQ(probe(rec), "") << board;
        EXPECT_EQ(fields(rec), std::tuple(0, 1, 48000)) << board;
    }
}

}  // namespace
