// Transport packets: the serialiser's bit positions, the PCR packet, and how sections and
// PES packets are cut, padded, counted and sequence-numbered.
#include "ts/ts_packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/ts_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

TEST(TsPacket, PcrPacketMatchesWorkedExample) {
    // A PCR base of 0x12345679 at fill level 188: the packet lands behind whatever the
    // buffer already holds, and the counter of the PCR PID moves on per packet.
    std::uint8_t out[3 * 188];
    for (auto& b : out) b = 0xA5;
    std::uint32_t len = 188;
    ASSERT_EQ(make_pcr_packet(0x12345679, out, &len), 1);
    ASSERT_EQ(len, 376u);
    for (int i = 0; i < 188; ++i) ASSERT_EQ(out[i], 0xA5) << i;

    const std::uint8_t* p = out + 188;
    const std::uint8_t head[] = {
        0x47,                          // sync_byte
        0x40, 0x22,                    // payload_unit_start_indicator 1, PID 0x0022
        0x30,                          // adaptation field + payload, continuity_counter 0
        0xB6,                          // adaptation_field_length 182
        0x10,                          // PCR_flag only
        0x09, 0x1A, 0x2B, 0x3C, 0xFE,  // base 0x12345679: bit 0 on top of the fifth byte,
        0x00,                          //   reserved 0x7E; extension 0
    };
    for (std::size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(p[i], head[i]) << "byte " << i;
    for (int i = 12; i < 187; ++i) ASSERT_EQ(p[i], 0xFF) << "stuffing byte " << i;
    EXPECT_EQ(p[187], 0xFF);  // the one payload byte
    EXPECT_EQ(ts_counters().pcr, 1);

    // Other bases, by hand from the field layout, and the counter in byte 3.
    struct Case {
        std::uint32_t base;
        std::uint8_t pcr[6];
        std::uint8_t byte3;
    } cases[] = {
        {0x00000000, {0x00, 0x00, 0x00, 0x00, 0x7E, 0x00}, 0x31},
        {0xFFFFFFFF, {0x7F, 0xFF, 0xFF, 0xFF, 0xFE, 0x00}, 0x32},
        {0x80000001, {0x40, 0x00, 0x00, 0x00, 0xFE, 0x00}, 0x33},
    };
    for (const Case& c : cases) {
        len = 0;
        ASSERT_EQ(make_pcr_packet(c.base, out, &len), 1);
        EXPECT_EQ(len, 188u);
        EXPECT_EQ(out[3], c.byte3) << std::hex << c.base;
        for (int i = 0; i < 6; ++i) EXPECT_EQ(out[6 + i], c.pcr[i]) << std::hex << c.base << " " << i;
    }
}

TEST(TsPacket, SerialiserWritesOnlyTheFieldsItOwns) {
    // Flags the writer never produces are forced to 0; the PID keeps all 13 bits; a PCR
    // extension's ninth bit goes into the reserved byte; adaptation_field_control 2 with
    // length 0 ends the packet at byte 5 and writes no payload.
    tsStruct ts{};
    ts.transport_error_indicator = 1;
    ts.transport_priority = 1;
    ts.transport_scrambling_control = 3;
    ts.pid = 0x1FFF;
    ts.adaptation_field_control = 3;
    ts.continuity_counter = 0x1A;  // only the low 4 bits fit
    ts.adaptation_field_length = 7;
    ts.discontinuity_indicator = 1;
    ts.random_access_indicator = 1;
    ts.elementary_stream_priority_indicator = 1;
    ts.opcr_flag = 1;
    ts.splicing_point_flag = 1;
    ts.adaptation_field_extension_flag = 1;
    ts.pcr_flag = 1;
    ts.pcr_base_high = 1;
    ts.pcr_base_low = 0;
    ts.pcr_extension = 0x1FF;
    const Bytes body = pattern(176, 3);
    ts.payload = body.data();
    ts.payload_length = 176;

    std::uint8_t out[188];
    ASSERT_EQ(tsStruct2char(ts, out), 1);
    const std::uint8_t head[] = {0x47, 0x1F, 0xFF, 0x3A, 0x07, 0x10,
                                 0x80, 0x00, 0x00, 0x00, 0x7F, 0xFF};
    for (std::size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(out[i], head[i]) << "byte " << i;
    EXPECT_EQ(Bytes(out + 12, out + 188), body);

    tsStruct empty{};
    empty.pid = 0x0100;
    empty.payload_unit_start_indicator = 1;
    empty.adaptation_field_control = 2;
    empty.payload = body.data();
    empty.payload_length = 10;  // ignored: no payload with control 2
    std::uint8_t out2[188];
    for (auto& b : out2) b = 0xA5;
    ASSERT_EQ(tsStruct2char(empty, out2), 1);
    const std::uint8_t head2[] = {0x47, 0x41, 0x00, 0x20, 0x00};
    for (std::size_t i = 0; i < sizeof head2; ++i) EXPECT_EQ(out2[i], head2[i]) << "byte " << i;
    for (int i = 5; i < 188; ++i) ASSERT_EQ(out2[i], 0xA5) << "byte " << i;
}

TEST(TsPacket, SectionsFillWholePacketsPaddedWithFF) {
    // 17 (the PAT), 184 (exactly one payload), 185 (one byte over), 368, 369 bytes.
    struct Case {
        std::uint32_t size;
        std::size_t packets;
    } cases[] = {{17, 1}, {184, 1}, {185, 2}, {368, 2}, {369, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes section = pattern(c.size, 1);
        const Bytes before = section;
        std::uint8_t counter = 5;
        std::uint8_t out[4 * 188];
        std::uint32_t len = 0;
        ASSERT_EQ(Section2TS(0x0042, &counter, section.data(), c.size, out, &len), 1);
        ASSERT_EQ(len, c.packets * 188);
        EXPECT_EQ(section, before);  // the caller's section is only read
        EXPECT_EQ(counter, (5 + c.packets) % 16);

        Bytes joined;
        const auto packets = read_packets(out, len);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const ReadPacket& p = packets[i];
            EXPECT_TRUE(p.sync_ok);
            EXPECT_EQ(p.pusi, i == 0);
            EXPECT_EQ(p.pid, 0x0042u);
            EXPECT_EQ(p.afc, 1u);
            EXPECT_EQ(p.cc, (5 + i) % 16);
            ASSERT_EQ(p.payload.size(), 184u);
            joined.insert(joined.end(), p.payload.begin(), p.payload.end());
        }
        Bytes want = section;
        want.resize(c.packets * 184, 0xFF);
        EXPECT_EQ(joined, want);
    }

    std::uint8_t counter = 0;
    std::uint8_t out[188];
    std::uint32_t len = 0;
    EXPECT_EQ(Section2TS(0, &counter, out, 0, out, &len), 0);  // nothing to send
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(counter, 0);
}

TEST(TsPacket, PesPacketsCarryPayload177AndStuffTheLast) {
    // 177 bytes: one full packet; 178: a second with 1 byte and 176 stuffing bytes; 354:
    // two full packets; 355: a third with 1 byte.
    struct Case {
        std::uint32_t size;
        std::size_t packets;
        int last_af_length;
        std::size_t last_payload;
    } cases[] = {{177, 1, 6, 177}, {178, 2, 182, 1}, {354, 2, 6, 177}, {355, 3, 182, 1},
                 {1, 1, 182, 1}};
    std::uint32_t sequence = 0x01020304;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes pes = pattern(c.size, 9);
        const std::uint32_t seq = sequence;
        const std::uint8_t seq_bytes[4] = {static_cast<std::uint8_t>(seq >> 24),
                                           static_cast<std::uint8_t>(seq >> 16),
                                           static_cast<std::uint8_t>(seq >> 8),
                                           static_cast<std::uint8_t>(seq)};
        std::uint8_t counter = 0;
        std::uint8_t out[4 * 188];
        std::uint32_t len = 0;
        ASSERT_EQ(PES2TS(0x0164, &counter, pes.data(), c.size, out, &len, &sequence), 1);
        ASSERT_EQ(len, c.packets * 188);
        EXPECT_EQ(pes_ts_size(c.size), len);
        EXPECT_EQ(sequence, seq + 1);

        Bytes joined;
        const auto packets = read_packets(out, len);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const ReadPacket& p = packets[i];
            const bool last = i + 1 == packets.size();
            EXPECT_EQ(p.pusi, i == 0);
            EXPECT_EQ(p.pid, 0x0164u);
            EXPECT_EQ(p.afc, 3u);
            EXPECT_EQ(p.cc, i);
            EXPECT_EQ(p.af_length, last ? c.last_af_length : 6);
            EXPECT_EQ(p.af_flags, 0x02u);  // transport_private_data_flag only
            ASSERT_GE(p.af_body.size(), 5u);
            EXPECT_EQ(p.af_body[0], 4);  // transport_private_data_length
            for (int k = 0; k < 4; ++k) EXPECT_EQ(p.af_body[1 + k], seq_bytes[k]);
            for (std::size_t k = 5; k < p.af_body.size(); ++k) EXPECT_EQ(p.af_body[k], 0xFF);
            EXPECT_EQ(p.payload.size(), last ? c.last_payload : 177u);
            joined.insert(joined.end(), p.payload.begin(), p.payload.end());
        }
        EXPECT_EQ(joined, pes);
    }

    // Nothing for an empty PES: no packet, and neither counter nor sequence move.
    std::uint8_t counter = 3;
    std::uint8_t out[188];
    std::uint32_t len = 0;
    const std::uint32_t seq = sequence;
    EXPECT_EQ(PES2TS(0x0164, &counter, out, 0, out, &len, &sequence), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(counter, 3);
    EXPECT_EQ(sequence, seq);
}

TEST(TsPacket, SequenceNumberIsPerPesAndWraps) {
    // Starting at 00 00 00 00: every packet of the n-th PES carries n; the counter runs on
    // across PES packets; 0xFFFFFFFF is followed by 0.
    std::uint32_t sequence = 0;
    std::uint8_t counter = 0;
    const Bytes pes = pattern(400, 0);  // three packets each
    for (std::uint32_t n = 0; n < 3; ++n) {
        std::uint8_t out[3 * 188];
        std::uint32_t len = 0;
        ASSERT_EQ(PES2TS(0x0164, &counter, pes.data(), 400, out, &len, &sequence), 1);
        for (std::uint32_t k = 0; k < 3; ++k) {
            const std::uint8_t* p = out + 188 * k;
            EXPECT_EQ(p[3] & 15, static_cast<int>((3 * n + k) % 16));
            EXPECT_EQ(p[6], 4);
            EXPECT_EQ(p[7], 0);
            EXPECT_EQ(p[8], 0);
            EXPECT_EQ(p[9], 0);
            EXPECT_EQ(p[10], n) << "PES " << n << " packet " << k;
        }
    }

    sequence = 0xFFFFFFFF;
    std::uint8_t out[3 * 188];
    std::uint32_t len = 0;
    ASSERT_EQ(PES2TS(0x0164, &counter, pes.data(), 400, out, &len, &sequence), 1);
    EXPECT_EQ(sequence, 0u);
    for (int k = 7; k <= 10; ++k) EXPECT_EQ(out[k], 0xFF);
}

TEST(TsPacket, ContinuityCountersWrapAndStayApart) {
    // Sixteen packets bring a PID's counter back to 0; PCR packets in between use the PCR
    // counter only, and a PES on a third counter leaves both alone.
    std::uint8_t section_counter = 0;
    std::uint8_t pes_counter = 0;
    std::uint32_t sequence = 0;
    const Bytes section = pattern(17, 0);
    const Bytes pes = pattern(10, 0);
    for (int i = 0; i < 17; ++i) {
        std::uint8_t out[3 * 188];
        std::uint32_t len = 0;
        ASSERT_EQ(Section2TS(0x0000, &section_counter, section.data(), 17, out, &len), 1);
        ASSERT_EQ(make_pcr_packet(0, out, &len), 1);
        if (i % 4 == 0) {
            ASSERT_EQ(PES2TS(0x0164, &pes_counter, pes.data(), 10, out, &len, &sequence), 1);
        }
        EXPECT_EQ(out[3], 0x10 | (i % 16)) << i;
        EXPECT_EQ(out[188 + 3], 0x30 | (i % 16)) << i;
    }
    EXPECT_EQ(section_counter, 1);
    EXPECT_EQ(ts_counters().pcr, 1);
    EXPECT_EQ(pes_counter, 5);
    EXPECT_EQ(sequence, 5u);
    EXPECT_EQ(ts_counters().pat, 0);
    EXPECT_EQ(ts_counters().audio, 0);
}

}  // namespace
