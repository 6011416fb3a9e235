// PAT and PMT sections against the worked examples, the CRC engine against published check
// values, description edge cases, and the packetising of the stored sections.
#include "ts/psi_tables.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "support/ts_reader.h"
#include "ts/ts_packet.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kPat = {
    0x00,              // pointer_field
    0x00,              // table_id: program_association_section
    0xB0, 0x0D,        // section_syntax_indicator 1, '0', '11', section_length 13
    0x26, 0x0C,        // transport_stream_id 9740
    0xE5,              // '11', version_number 18, current_next_indicator 1
    0x00, 0x00,        // section_number, last_section_number
    0x00, 0x01,        // program_number 1
    0xE0, 0x42,        // '111', program_map_PID 0x0042
    0x06, 0x3C, 0x05, 0x8F,  // CRC_32
};

const Bytes kPmt = {
    0x00,                          // pointer_field
    0x02,                          // table_id: TS_program_map_section
    0xB0, 0x27,                    // section_syntax_indicator 1, section_length 39
    0x00, 0x01,                    // program_number 1
    0xCF,                          // '11', version_number 7, current_next_indicator 1
    0x00, 0x00,                    // section_number, last_section_number
    0xE0, 0x22,                    // '111', PCR_PID 0x0022
    0xF0, 0x06,                    // '1111', program_info_length 6
    0x05, 0x04, 0x48, 0x44, 0x4D, 0x56,  // registration_descriptor "HDMV"
    0x1B, 0xE0, 0x21, 0xF0, 0x00,  // AVC video on 0x0021, ES_info_length 0
    0x80, 0xE1, 0x64, 0xF0, 0x0A,  // LPCM on 0x0164, ES_info_length 10
    0x05, 0x08, 0x48, 0x44, 0x4D, 0x56, 0x00, 0x80, 0x31, 0x40,  // "HDMV" 00 80 31 40
    0xD5, 0x8A, 0x70, 0x1D,        // CRC_32
};

Bytes stored(const std::uint8_t* data, std::uint32_t len) { return Bytes(data, data + len); }

std::uint32_t bswap(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

TEST(PsiTables, StoredSectionsMatchWorkedExamples) {
    // Both sections byte for byte; recomputing the CRC over table_id..CRC gives 0; the
    // PMT's section_length counts program_number through the CRC.
    init_psi_tables();
    EXPECT_EQ(stored(pat_section(), pat_section_length()), kPat);
    EXPECT_EQ(stored(pmt_section(), pmt_section_length()), kPmt);
    EXPECT_EQ(section_crc32(pat_section() + 1, pat_section_length() - 1), 0u);
    EXPECT_EQ(section_crc32(pmt_section() + 1, pmt_section_length() - 1), 0u);
    EXPECT_EQ(((pmt_section()[2] & 0x0F) << 8) | pmt_section()[3],
              static_cast<int>(pmt_section_length()) - 4);
}

TEST(PsiTables, CrcEngineMatchesPublishedCheckValues) {
    // The nine characters "123456789" through contexts of both bit orders and several
    // widths; for most-significant-bit-first contexts the register comes back byte-swapped.
    const std::string check = "123456789";
    const auto* data = reinterpret_cast<const std::uint8_t*>(check.data());
    const auto n = static_cast<std::uint32_t>(check.size());
    struct Case {
        const char* name;
        int le;
        int bits;
        std::uint32_t poly;
        std::uint32_t init;
        std::uint32_t want;
    } cases[] = {
        {"CRC-32/MPEG-2", 0, 32, 0x04C11DB7, 0xFFFFFFFF, 0x0376E6E7},
        {"CRC-32/ISO-HDLC", 1, 32, 0xEDB88320, 0xFFFFFFFF, 0xCBF43926},
        {"CRC-16/XMODEM", 0, 16, 0x1021, 0, 0x31C3},
        {"CRC-16/KERMIT", 1, 16, 0x8408, 0, 0x2189},
        {"CRC-8/SMBUS", 0, 8, 0x07, 0, 0xF4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AVCRC ctx[1024] = {};
        for (int size : {1028, 4096}) {
            ASSERT_EQ(av_crc_init(ctx, c.le, c.bits, c.poly, size), 0);
            EXPECT_EQ(ctx[256], 1u);
            std::uint32_t r = av_crc(ctx, c.init, data, n);
            if (c.le == 0) r = bswap(r) >> (32 - c.bits);
            if (c.poly == 0xEDB88320) r = ~r;  // ISO-HDLC inverts at the end
            EXPECT_EQ(r, c.want);
        }
    }
    EXPECT_EQ(section_crc32(data, n), 0x0376E6E7u);
    EXPECT_EQ(init_crc_table(), 0);
    EXPECT_EQ(section_crc32(data, n), 0x0376E6E7u);
    EXPECT_EQ(section_crc32(kPat.data() + 1, 12), 0x063C058Fu);
}

TEST(PsiTables, CrcInitRefusesBadParameters) {
    AVCRC ctx[257] = {};
    EXPECT_EQ(av_crc_init(ctx, 0, 7, 0x07, 1028), -1);
    EXPECT_EQ(av_crc_init(ctx, 0, 33, 0x07, 1028), -1);
    EXPECT_EQ(av_crc_init(ctx, 0, 16, 0x11021, 1028), -1);  // polynomial wider than 16 bits
    EXPECT_EQ(ctx[256], 0u);

    testing::internal::CaptureStdout();
    EXPECT_EQ(av_crc_init(ctx, 0, 32, 0x04C11DB7, 1024), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sizeof(AVCRC) = 4\n");
    EXPECT_EQ(ctx[0], 0u);
    EXPECT_EQ(av_crc_init(ctx, 0, 32, 0x04C11DB7, 1028), 0);
}

TEST(PsiTables, PmtWithoutSecondStream) {
    // A second stream_type of 0 leaves the PMT with the video stream only: section_length
    // 24 = 5 header + 4 PCR/info + 6 descriptors + 5 stream + 4 CRC.
    std::uint8_t section[kSectionBufferSize];
    std::uint32_t len = 0;
    const std::uint8_t ignored[10] = {0x05, 0x08, 'x', 'x', 'x', 'x', 0, 0, 0, 0};
    ASSERT_EQ(makeQVXPMT(section, &len, 0x0022, 0x1B, 0x0021, 0, nullptr, 0, 0x0164, 10, ignored), 1);
    const Bytes want_head = {0x00, 0x02, 0xB0, 0x18, 0x00, 0x01, 0xCF, 0x00, 0x00,
                             0xE0, 0x22, 0xF0, 0x06, 0x05, 0x04, 0x48, 0x44, 0x4D,
                             0x56, 0x1B, 0xE0, 0x21, 0xF0, 0x00};
    ASSERT_EQ(len, want_head.size() + 4);
    EXPECT_EQ(Bytes(section, section + want_head.size()), want_head);
    EXPECT_EQ(section_crc32(section + 1, len - 1), 0u);

    // The worked example again, through makeQVXPMT with the start-up arguments.
    ASSERT_EQ(makeQVXPMT(section, &len, 0x0022, 0x1B, 0x0021, 0, nullptr, 0x80, 0x0164, 10,
                         kAudioDescriptors),
              1);
    EXPECT_EQ(stored(section, len), kPmt);

    // Descriptors beyond the room a description has are refused.
    std::uint8_t big[kDescriptorRoom + 1] = {};
    EXPECT_EQ(makeQVXPMT(section, &len, 0x22, 0x1B, 0x21, 201, big, 0, 0, 0, nullptr), 0);
    PmtInfo pmt{};
    pmt.program_info_length = 201;
    EXPECT_EQ(pmt_to_section(section, pmt, &len), 0);
    pmt.program_info_length = 0;
    pmt.streams[0] = PmtStreamInfo{1, 0x80, 0x164, 201, {}};
    EXPECT_EQ(pmt_to_section(section, pmt, &len), 0);
}

TEST(PsiTables, PatEntryListBounds) {
    // All ten entries present: all ten serialised, section_length 49 = 5 + 40 + 4, and the
    // loop stops at the tenth slot. A list ends at the first entry whose present is not 1.
    PatInfo pat{};
    pat.transport_stream_id = 0x1234;
    pat.version_number = 1;
    pat.current_next_indicator = 1;
    for (std::uint16_t i = 0; i < 10; ++i)
        pat.programs[i] = PatProgram{1, static_cast<std::uint16_t>(0x0100 + i),
                                     static_cast<std::uint16_t>(0x1000 + i)};
    std::uint8_t section[kSectionBufferSize];
    std::uint32_t len = 0;
    ASSERT_EQ(pat_to_section(section, pat, &len), 1);
    ASSERT_EQ(len, 53u);
    EXPECT_EQ(section[2], 0xB0);
    EXPECT_EQ(section[3], 49);
    EXPECT_EQ(section[6], 0xC3);  // version 1, current
    for (int i = 0; i < 10; ++i) {
        const std::uint8_t* e = section + 9 + 4 * i;
        EXPECT_EQ(e[0], 0x01);
        EXPECT_EQ(e[1], i);
        EXPECT_EQ(e[2], 0xF0);  // '111' + PID bits 12..8 (0x10)
        EXPECT_EQ(e[3], i);
    }
    EXPECT_EQ(section_crc32(section + 1, len - 1), 0u);

    pat.programs[2].present = 2;
    ASSERT_EQ(pat_to_section(section, pat, &len), 1);
    EXPECT_EQ(len, 9u + 8u + 4u);
    EXPECT_EQ(section[3], 17);
}

TEST(PsiTables, PsiPacketsCarryStoredSections) {
    // Each send: the PAT packet, then the PMT packet, on their own counters.
    init_psi_tables();
    for (unsigned round = 0; round < 2; ++round) {
        std::uint8_t out[2 * 188];
        std::uint32_t len = 0;
        psi_to_ts(out, &len);
        ASSERT_EQ(len, 376u);
        const auto packets = read_packets(out, len);
        const Bytes* sections[2] = {&kPat, &kPmt};
        const unsigned pids[2] = {0x0000, 0x0042};
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(packets[i].pusi);
            EXPECT_EQ(packets[i].pid, pids[i]);
            EXPECT_EQ(packets[i].afc, 1u);
            EXPECT_EQ(packets[i].cc, round);
            Bytes want = *sections[i];
            want.resize(184, 0xFF);
            EXPECT_EQ(packets[i].payload, want);
        }
        EXPECT_EQ(out[0], 0x47);
        EXPECT_EQ(out[1], 0x40);
        EXPECT_EQ(out[188 + 2], 0x42);
    }
    EXPECT_EQ(ts_counters().pat, 2);
    EXPECT_EQ(ts_counters().pmt, 2);
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
