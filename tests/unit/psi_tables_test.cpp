// PAT and PMT sections against the worked examples, the CRC engine against published check
// values, and description edge cases.
#include "ts/psi_tables.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "core/debug_log.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kPat = {
    0x00,                    // pointer_field
    0x00, 0xB0, 0x0D,        // table_id 0; syntax 1, '0', '11', section_length 13
    0x26, 0x0C,              // transport_stream_id 9740
    0xE5, 0x00, 0x00,        // '11', version 18, current; section_number 0, last 0
    0x00, 0x01, 0xE0, 0x42,  // program_number 1 -> program_map_PID 0x0042
    0x06, 0x3C, 0x05, 0x8F,  // CRC_32
};

const Bytes kPmt = {
    0x00,                                // pointer_field
    0x02, 0xB0, 0x27,                    // table_id 2; section_length 39
    0x00, 0x01,                          // program_number 1
    0xCF, 0x00, 0x00,                    // '11', version 7, current; section_number 0, last 0
    0xE0, 0x22, 0xF0, 0x06,              // PCR_PID 0x0022; program_info_length 6
    0x05, 0x04, 0x48, 0x44, 0x4D, 0x56,  // registration_descriptor "HDMV"
    0x1B, 0xE0, 0x21, 0xF0, 0x00,        // AVC video on 0x0021, no descriptors
    0x80, 0xE1, 0x64, 0xF0, 0x0A,        // LPCM on 0x0164, ES_info_length 10:
    0x05, 0x08, 0x48, 0x44, 0x4D, 0x56,  //   registration_descriptor "HDMV",
    0x00, 0x80, 0x31, 0x40,              //   stream_type, stereo 48 kHz, 16 bits
    0xD5, 0x8A, 0x70, 0x1D,              // CRC_32
};

Bytes bytes(const std::uint8_t* data, std::uint32_t len) { return Bytes(data, data + len); }

TEST(PsiTables, StoredSectionsMatchWorkedExamples) {
    // Byte for byte; the CRC over table_id..CRC of each gives 0.
    init_psi_tables();
    EXPECT_EQ(bytes(pat_section(), pat_section_length()), kPat);
    EXPECT_EQ(bytes(pmt_section(), pmt_section_length()), kPmt);
    EXPECT_EQ(section_crc32(pat_section() + 1, pat_section_length() - 1), 0u);
    EXPECT_EQ(section_crc32(pmt_section() + 1, pmt_section_length() - 1), 0u);
}

TEST(PsiTables, CrcEngineMatchesPublishedCheckValues) {
    // "123456789" through contexts of both bit orders, several widths and both context
    // sizes; most-significant-bit-first registers come back byte-swapped.
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    using U32 = std::uint32_t;
    // clang-format off
    const std::tuple<int, int, U32, U32, U32, U32> cases[] = {
        // little-endian, width, polynomial, initial value, final xor, check value
        {0, 32, 0x04C11DB7, 0xFFFFFFFF, 0, 0x0376E6E7},           // CRC-32/MPEG-2
        {1, 32, 0xEDB88320, 0xFFFFFFFF, 0xFFFFFFFF, 0xCBF43926},  // CRC-32/ISO-HDLC
        {0, 16, 0x1021, 0, 0, 0x31C3},                            // CRC-16/XMODEM
        {0, 8, 0x07, 0, 0, 0xF4}};                                // CRC-8/SMBUS
    // clang-format on
    for (const auto& [le, bits, poly, init, xorout, want] : cases) {
        for (int size : {1028, 4096}) {
            AVCRC ctx[1024] = {};
            ASSERT_EQ(av_crc_init(ctx, le, bits, poly, size), 0);
            std::uint32_t r = av_crc(ctx, init, check, 9);
            if (le == 0) r = __builtin_bswap32(r) >> (32 - bits);
            EXPECT_EQ(r ^ xorout, want) << std::hex << poly << " " << size;
        }
    }
    EXPECT_EQ(init_crc_table(), 0);
    EXPECT_EQ(section_crc32(check, 9), 0x0376E6E7u);

    // Refused: widths outside 8..32, a polynomial wider than the width, other sizes.
    AVCRC ctx[257] = {};
    for (const auto& [bits, poly] : {std::pair{7, 0x07}, {33, 0x07}, {16, 0x11021}})
        EXPECT_EQ(av_crc_init(ctx, 0, bits, static_cast<U32>(poly), 1028), -1) << bits;
    testing::internal::CaptureStdout();
    EXPECT_EQ(av_crc_init(ctx, 0, 32, 0x04C11DB7, 1024), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sizeof(AVCRC) = 4\n");
    EXPECT_EQ(bytes(reinterpret_cast<std::uint8_t*>(ctx), sizeof ctx), Bytes(sizeof ctx, 0));
}

TEST(PsiTables, DescriptionEdgeCases) {
    // A second stream_type of 0: the video stream only, section_length 24. Ten present
    // PAT entries: all ten, section_length 49, and nothing read past the tenth slot; the
    // list ends at the first entry whose present is not 1. Oversized descriptors refused.
    std::uint8_t section[kSectionBufferSize];
    std::uint32_t len = 0;
    ASSERT_EQ(
        makeQVXPMT(section, &len, 0x22, 0x1B, 0x21, 0, nullptr, 0, 0x164, 10, kAudioDescriptors),
        1);
    Bytes want(kPmt.begin(), kPmt.begin() + 24);
    want[3] = 24;
    ASSERT_EQ(len, 28u);
    EXPECT_EQ(bytes(section, 24), want);
    EXPECT_EQ(section_crc32(section + 1, len - 1), 0u);

    PatInfo pat{};
    pat.transport_stream_id = 0x1234;
    for (std::uint16_t i = 0; i < 10; ++i)
        pat.programs[i] = {1, static_cast<std::uint16_t>(0x100 + i),
                           static_cast<std::uint16_t>(0x1000 + i)};
    ASSERT_EQ(pat_to_section(section, pat, &len), 1);
    ASSERT_EQ(len, 53u);
    EXPECT_EQ(bytes(section, 9), (Bytes{0x00, 0x00, 0xB0, 49, 0x12, 0x34, 0xC0, 0x00, 0x00}));
    for (std::uint8_t i = 0; i < 10; ++i)
        EXPECT_EQ(bytes(section + 9 + 4 * i, 4), (Bytes{0x01, i, 0xF0, i}));
    EXPECT_EQ(section_crc32(section + 1, len - 1), 0u);
    pat.programs[2].present = 2;
    ASSERT_EQ(pat_to_section(section, pat, &len), 1);
    EXPECT_EQ(section[3], 17);

    std::uint8_t big[kDescriptorRoom + 1] = {};
    EXPECT_EQ(makeQVXPMT(section, &len, 0x22, 0x1B, 0x21, 201, big, 0, 0, 0, nullptr), 0);
    PmtInfo pmt{};
    pmt.program_info_length = 201;
    EXPECT_EQ(pmt_to_section(section, pmt, &len), 0);
    pmt.program_info_length = 0;
    pmt.streams[0] = {1, 0x80, 0x164, 201, {}};
    EXPECT_EQ(pmt_to_section(section, pmt, &len), 0);
}

TEST(PsiTablesDeathTest, PacketisingBeforeStartUpIsFatal) {
    // No stored sections yet: the packetiser refuses an empty section and the process ends.
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            dbg_to_screen();
            std::uint8_t out[2 * 188];
            std::uint32_t len = 0;
            psi_to_ts(out, &len);
        },
        testing::ExitedWithCode(1), "fail to Section2TS\n");
}

}  // namespace
