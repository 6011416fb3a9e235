// The FPGA register accessors and the audio input probe, on plain memory mapped at the
// window's fixed address (the real window needs /dev/mem and is exercised only in the
// sandbox). Expected words are written relative to the host's byte order, so the same
// tests hold on the little-endian host and on the big-endian appliance build.
#include "input/fpga_window.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <string>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "support/input_fixtures.h"
#include "support/isolation.h"

namespace {

constexpr bool kBigEndian = std::endian::native == std::endian::big;

#define MAP_WINDOW_OR_SKIP(var)                                         \
    TestFpgaWindow var##_mapping;                                       \
    std::uint8_t* var = var##_mapping.bytes();                          \
    if (!var)                                                           \
    GTEST_SKIP() << "address 0x38000000 is taken in this process; the " \
                    "accessors need plain memory exactly there"

std::uint32_t word_at(const std::uint8_t* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
void set_word(std::uint8_t* p, std::uint32_t w) { std::memcpy(p, &w, 4); }

void read_only(std::uint8_t* base) {
    ASSERT_EQ(mprotect(base, static_cast<std::size_t>(getpagesize()), PROT_READ), 0);
}

TEST(FpgaWindow, ReadsLoadAtTheirWidthAndNeverStore) {
    MAP_WINDOW_OR_SKIP(win);
    const std::uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    std::memcpy(win + 0x40, bytes, sizeof bytes);
    read_only(win);  // any store would fault

    const std::uintptr_t a = FPGA_VIRT_BASE + 0x40;
    std::uint8_t v8 = 0;
    fpga_read8(a, v8);
    EXPECT_EQ(v8, 0x12);
    fpga_read8(a + 3, v8);
    EXPECT_EQ(v8, 0x78);

    std::uint16_t v16 = 0;
    fpga_read16(a, v16);
    EXPECT_EQ(v16, kBigEndian ? 0x1234 : 0x3412);
    fpga_read16(a + 2, v16);
    EXPECT_EQ(v16, kBigEndian ? 0x5678 : 0x7856);

    std::uint32_t v32 = 0;
    fpga_read32(a, v32);
    EXPECT_EQ(v32, kBigEndian ? 0x12345678u : 0x78563412u);
    fpga_read32(a + 2, v32);  // at the address as given, not rounded down
    EXPECT_EQ(v32, kBigEndian ? 0x56789ABCu : 0xBC9A7856u);
}

TEST(FpgaWindow, PlainWritesTouchOnlyTheirBytes) {
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
    const std::uint8_t w16[] = {0xB2, 0xC3};
    const std::uint8_t w32[] = {0xD4, 0xE5, 0xF6, 0x07};
    const std::uint8_t w32a[] = {0x18, 0x29, 0x3A, 0x4B};
    for (int i = 0; i < 2; ++i) want[0x08 + i] = w16[kBigEndian ? i : 1 - i];
    for (int i = 0; i < 4; ++i) want[0x12 + i] = w32[kBigEndian ? i : 3 - i];
    for (int i = 0; i < 4; ++i) want[0x28 + i] = w32a[kBigEndian ? i : 3 - i];
    for (int i = 0; i < 0x40; ++i) EXPECT_EQ(win[i], want[i]) << "byte " << i;
}

TEST(FpgaWindow, ByteLaneReadModifyWrite) {
    MAP_WINDOW_OR_SKIP(win);
    const std::uintptr_t word = FPGA_VIRT_BASE + 0x60;
    // Lane 0 is the most significant byte of the word: on the appliance that is the
    // byte at the word's own address.
    const std::uint32_t want[] = {0xAB223344u, 0x11AB3344u, 0x1122AB44u, 0x112233ABu};
    for (unsigned lane = 0; lane < 4; ++lane) {
        SCOPED_TRACE(lane);
        set_word(win + 0x60, 0x11223344u);
        set_word(win + 0x64, 0x55667788u);
        fpga_write8_rmw(word + lane, 0xAB);
        EXPECT_EQ(word_at(win + 0x60), want[lane]);
        EXPECT_EQ(word_at(win + 0x64), 0x55667788u);
        if (kBigEndian) {
            EXPECT_EQ(win[0x60 + lane], 0xAB);
        }
    }
}

TEST(FpgaWindow, HalfWordLanesAreReversedAndOddLanesStoreNothing) {
    MAP_WINDOW_OR_SKIP(win);
    const std::uintptr_t word = FPGA_VIRT_BASE + 0x60;
    set_word(win + 0x60, 0x11223344u);
    fpga_write16_rmw(word, 0xBEEF);  // lane 0: bits 15..0
    EXPECT_EQ(word_at(win + 0x60), 0x1122BEEFu);

    set_word(win + 0x60, 0x11223344u);
    fpga_write16_rmw(word + 2, 0xBEEF);  // lane 2: bits 31..16
    EXPECT_EQ(word_at(win + 0x60), 0xBEEF3344u);

    // Lanes 1 and 3 read the word and write nothing: on a read-only page a store faults.
    set_word(win + 0x60, 0x11223344u);
    read_only(win);
    fpga_write16_rmw(word + 1, 0xBEEF);
    fpga_write16_rmw(word + 3, 0xBEEF);
    EXPECT_EQ(word_at(win + 0x60), 0x11223344u);
}

struct AudioInputProbe : testing::Test {
    void SetUp() override {
        ASSERT_TRUE(enter_private_ipc());
        ASSERT_TRUE(create_test_shm());
        dbg_to_screen();
    }
};

TEST_F(AudioInputProbe, DecodesBitsOneAndZeroAndTracesEveryRawChange) {
    MAP_WINDOW_OR_SKIP(win);
    (void)win;
    shm_store(shm_config->board_type, std::uint16_t{0x0100});
    struct Row {
        std::uint16_t reg;
        InputDetect want;
        const char* trace;
    } rows[] = {
        {0x0003, {0, 1, 48000}, "FPGA [0x38000028] ffff => 3\n"},
        {0x0003, {0, 1, 48000}, ""},
        {0xFFFE, {3, 1, 48000}, "FPGA [0x38000028] 3 => fffe\n"},
        {0x0002, {3, 1, 48000}, "FPGA [0x38000028] fffe => 2\n"},
        {0x0000, {255, -7, 1234}, "FPGA [0x38000028] 2 => 0\n"},
        {0x0001, {255, -7, 1234}, "FPGA [0x38000028] 0 => 1\n"},
        {0x8001, {255, -7, 1234}, "FPGA [0x38000028] 1 => 8001\n"},
        {0x8007, {0, 1, 48000}, "FPGA [0x38000028] 8001 => 8007\n"},
        {0xFFFF, {0, 1, 48000}, "FPGA [0x38000028] 8007 => ffff\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.reg);
        set_test_audio_input(r.reg);
        InputDetect rec{77, -7, 1234};  // what the probe leaves alone stays as it was
        testing::internal::CaptureStdout();
        probe_audio_input(rec);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.trace);
        EXPECT_EQ(rec.source, r.want.source);
        EXPECT_EQ(rec.input_valid, r.want.input_valid);
        EXPECT_EQ(rec.sample_rate, r.want.sample_rate);
    }
}

TEST_F(AudioInputProbe, OtherBoardsAreHdSdiWithoutTouchingTheWindow) {
    // The window stays unmapped: any register access would crash the test.
    ASSERT_TRUE(address_unmapped(AUDIO_INPUT_REG));
    const std::uint16_t boards[] = {0x0000, 0x0001, 0x0101, 0x1000, 0xFFFF};
    for (std::uint16_t board : boards) {
        SCOPED_TRACE(board);
        shm_store(shm_config->board_type, board);
        InputDetect rec{255, 0, 0};
        testing::internal::CaptureStdout();
        probe_audio_input(rec);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(rec.source, 0);
        EXPECT_EQ(rec.input_valid, 1);
        EXPECT_EQ(rec.sample_rate, 48000);
    }
}

}  // namespace
