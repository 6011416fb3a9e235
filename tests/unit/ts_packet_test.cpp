// Transport packets: the PCR packet, and how sections and PES packets are cut, padded,
// counted and sequence-numbered.
#include "ts/ts_packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include "support/ts_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(1 + i * 7);
    return b;
}

TEST(TsPacket, PcrPacketMatchesWorkedExample) {
    // Base 0x12345679 lands behind the packet already in the buffer; the other bases pin
    // bit 32 and bit 0; the PCR counter moves on per packet.
    std::uint8_t out[2 * 188];
    std::memset(out, 0xA5, sizeof out);
    std::uint32_t len = 188;
    ASSERT_EQ(make_pcr_packet(0x12345679, out, &len), 1);
    ASSERT_EQ(len, 376u);
    EXPECT_EQ(Bytes(out, out + 188), Bytes(188, 0xA5));
    Bytes want(188, 0xFF);  // 175 stuffing bytes and the one payload byte behind the head
    const Bytes head = {0x47, 0x40, 0x22, 0x30,  // PUSI, PID 0x0022, AF + payload, cc 0
                        0xB6, 0x10,              // adaptation_field_length 182, PCR_flag
                        0x09, 0x1A, 0x2B, 0x3C,  // base bits 32..1
                        0xFE, 0x00};             // base bit 0, reserved 0x7E, extension 0
    std::copy(head.begin(), head.end(), want.begin());
    EXPECT_EQ(Bytes(out + 188, out + 376), want);

    const std::pair<std::uint32_t, Bytes> cases[] = {
        {0x00000000, {0x00, 0x00, 0x00, 0x00, 0x7E, 0x00}},
        {0xFFFFFFFF, {0x7F, 0xFF, 0xFF, 0xFF, 0xFE, 0x00}},
        {0x80000001, {0x40, 0x00, 0x00, 0x00, 0xFE, 0x00}}};
    int cc = 1;
    for (const auto& [base, pcr] : cases) {
        len = 0;
        ASSERT_EQ(make_pcr_packet(base, out, &len), 1);
        EXPECT_EQ(out[3], 0x30 | cc++);
        EXPECT_EQ(Bytes(out + 6, out + 12), pcr) << std::hex << base;
    }
}

TEST(TsPacket, SectionsFillWholePacketsPaddedWithFF) {
    // 17 (the PAT), 184 (one payload), 185 (one byte over), 369 (a third packet); the
    // caller's section is only read; an empty section is refused.
    const std::pair<std::uint32_t, unsigned> cases[] = {{17, 1}, {184, 1}, {185, 2}, {369, 3}};
    for (const auto& [size, packets] : cases) {
        SCOPED_TRACE(size);
        const Bytes section = pattern(size);
        std::uint8_t counter = 5, out[3 * 188];
        std::uint32_t len = 0;
        ASSERT_EQ(Section2TS(0x0042, &counter, section.data(), size, out, &len), 1);
        ASSERT_EQ(len, packets * 188);
        EXPECT_EQ(section, pattern(size));
        EXPECT_EQ(counter, (5 + packets) % 16);
        Bytes joined, want = section;
        const auto read = read_packets(out, len);
        for (unsigned i = 0; i < packets; ++i) {
            const ReadPacket& p = read[i];
            EXPECT_TRUE(p.sync_ok && p.pusi == (i == 0) && p.pid == 0x42 && p.afc == 1) << i;
            EXPECT_EQ(p.cc, (5 + i) % 16);
            joined.insert(joined.end(), p.payload.begin(), p.payload.end());
        }
        want.resize(packets * 184, 0xFF);
        EXPECT_EQ(joined, want);
    }
    std::uint8_t counter = 0, out[188];
    std::uint32_t len = 0;
    EXPECT_EQ(Section2TS(0, &counter, out, 0, out, &len), 0);
    EXPECT_EQ(len + counter, 0u);
}

TEST(TsPacket, PesPacketsCarryPayload177AndOneSequenceValue) {
    // 177: one full packet; 178: a second with 1 byte and adaptation_field_length 182;
    // 355: a third with 1 byte. Each PES carries the sequence value from 00 00 00 00 on,
    // the same in all its packets, +1 per PES; the counter runs on.
    const std::tuple<std::uint32_t, std::size_t, int> cases[] = {
        {177, 1, 6}, {178, 2, 182}, {355, 3, 182}, {1, 1, 182}};  // size, packets, last AF length
    std::uint32_t sequence = 0;
    std::uint8_t counter = 0;
    unsigned packet_no = 0;
    for (const auto& [size, packets, last_af_length] : cases) {
        SCOPED_TRACE(size);
        const std::uint8_t n = static_cast<std::uint8_t>(sequence);
        const Bytes pes = pattern(size);
        std::uint8_t out[3 * 188];
        std::uint32_t len = 0;
        ASSERT_EQ(PES2TS(0x0164, &counter, pes.data(), size, out, &len, &sequence), 1);
        ASSERT_EQ(len, packets * 188);
        EXPECT_EQ(pes_ts_size(size), len);
        EXPECT_EQ(sequence, n + 1u);
        Bytes joined;
        const auto read = read_packets(out, len);
        for (std::size_t i = 0; i < packets; ++i) {
            const ReadPacket& p = read[i];
            EXPECT_TRUE(p.pusi == (i == 0) && p.pid == 0x164 && p.afc == 3) << i;
            EXPECT_EQ(p.cc, packet_no++ % 16);
            EXPECT_EQ(p.af_length, i + 1 == packets ? last_af_length : 6);
            EXPECT_EQ(p.af_flags, 0x02u);  // transport_private_data_flag only
            Bytes af = {0x04, 0x00, 0x00, 0x00, n};
            af.resize(static_cast<std::size_t>(p.af_length) - 1, 0xFF);
            EXPECT_EQ(p.af_body, af);
            joined.insert(joined.end(), p.payload.begin(), p.payload.end());
        }
        EXPECT_EQ(joined, pes);
    }
    // An empty PES is refused with nothing moved; 0xFFFFFFFF is followed by 0.
    std::uint8_t out[188];
    std::uint32_t len = 0;
    EXPECT_EQ(PES2TS(0x0164, &counter, out, 0, out, &len, &sequence), 0);
    EXPECT_EQ(std::tie(len, counter, sequence),
              std::make_tuple(0u, std::uint8_t(packet_no % 16), std::uint32_t(std::size(cases))));
    sequence = 0xFFFFFFFF;
    ASSERT_EQ(PES2TS(0x0164, &counter, out, 1, out, &len, &sequence), 1);
    EXPECT_EQ(Bytes(out + 7, out + 11), Bytes(4, 0xFF));
    EXPECT_EQ(sequence, 0u);
}

TEST(TsPacket, ContinuityCountersWrapAndStayApart) {
    // Sixteen packets bring a PID's counter back to 0; PCR packets in between move only
    // the PCR counter, and PES packets on a third counter leave both alone.
    std::uint8_t section_counter = 0, pes_counter = 0;
    std::uint32_t sequence = 0;
    const Bytes data = pattern(17);
    for (int i = 0; i < 17; ++i) {
        std::uint8_t out[3 * 188];
        std::uint32_t len = 0;
        ASSERT_EQ(Section2TS(0x0000, &section_counter, data.data(), 17, out, &len), 1);
        ASSERT_EQ(make_pcr_packet(0, out, &len), 1);
        if (i % 4 == 0) PES2TS(0x0164, &pes_counter, data.data(), 17, out, &len, &sequence);
        EXPECT_EQ(out[3], 0x10 | (i % 16)) << i;
        EXPECT_EQ(out[188 + 3], 0x30 | (i % 16)) << i;
    }
    EXPECT_EQ(std::tie(section_counter, ts_counters().pcr, pes_counter), std::make_tuple(1, 1, 5));
    EXPECT_EQ(ts_counters().pat + ts_counters().audio + ts_counters().pes_sequence_number, 0u);
}

}  // namespace
