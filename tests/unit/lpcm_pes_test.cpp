// LPCM PES: the header template, PTS bytes, the LPCM header, and a whole 1920-byte block
// from PCM to transport packets.
#include "ts/lpcm_pes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/ts_reader.h"
#include "ts/ts_packet.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pcm_block(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
    return b;
}

Bytes template_bytes() {
    const PesHeaderTemplate& t = pes_header_template();
    return Bytes(t.bytes, t.bytes + t.length);
}

TEST(LpcmPes, HeaderTemplateAndPts) {
    // The template after start-up, with the PTS of 0 in it; the recorded positions; and
    // PTS bytes for values that set each group of bits.
    init_pes_header();
    set_pes_pts(0);
    const Bytes want = {
        0x00, 0x00, 0x01, 0xBD,        // start code, private_stream_1
        0x00, 0x00,                    // PES_packet_length, set per packet
        0x81,                          // '10', original_or_copy
        0x81,                          // PTS only, PES_extension_flag
        0x17,                          // PES_header_data_length 23
        0x21, 0x00, 0x01, 0x00, 0x01,  // PTS 0
        0x80,                          // PES_private_data_flag
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // PES_private_data
        0xFF,                          // stuffing
    };
    EXPECT_EQ(template_bytes(), want);
    const PesHeaderTemplate& t = pes_header_template();
    EXPECT_EQ(t.length_pos, 4u);
    EXPECT_EQ(t.pts_pos, 9u);
    EXPECT_EQ(t.private_data_pos, 15u);
    EXPECT_EQ(t.bytes_after_length, 26u);

    struct Case {
        std::uint32_t pts;
        std::uint8_t bytes[5];
    } cases[] = {
        {0x00000000, {0x21, 0x00, 0x01, 0x00, 0x01}},
        {0xFFFFFFFF, {0x27, 0xFF, 0xFF, 0xFF, 0xFF}},
        {90000, {0x21, 0x00, 0x05, 0xBF, 0x21}},       // one second
        {0x40000000, {0x23, 0x00, 0x01, 0x00, 0x01}},  // PTS bit 30
        {0x80000000, {0x25, 0x00, 0x01, 0x00, 0x01}},  // PTS bit 31
        {0x00400000, {0x21, 0x01, 0x01, 0x00, 0x01}},  // PTS bit 22
        {0x00008000, {0x21, 0x00, 0x03, 0x00, 0x01}},  // PTS bit 15
        {0x00000080, {0x21, 0x00, 0x01, 0x01, 0x01}},  // PTS bit 7
    };
    for (const Case& c : cases) {
        set_pes_pts(c.pts);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(t.bytes[9 + i], c.bytes[i]) << std::hex << c.pts << " " << i;
    }

    // Start-up puts back what another writer left in the shared template.
    pes_header_template().bytes[15] = 'v';
    pes_header_template().bytes[3] = 0xE0;
    init_pes_header();
    set_pes_pts(0);
    EXPECT_EQ(template_bytes(), want);
}

TEST(LpcmPes, LpcmHeaderAndPesLayout) {
    // 1920 bytes: 07 80, 0x31 for stereo and 0x11 for mono, 0x40 for 16 bits, the PCM
    // unchanged; the PES is 1956 bytes with PES_packet_length 0x079E.
    init_pes_header();
    set_pes_pts(0x12345678);
    const Bytes pcm = pcm_block(1920);

    Bytes es(1924);
    EXPECT_EQ(make_lpcm_header(2, pcm.data(), 1920, es.data()), 1924u);
    EXPECT_EQ(Bytes(es.begin(), es.begin() + 4), (Bytes{0x07, 0x80, 0x31, 0x40}));
    EXPECT_EQ(Bytes(es.begin() + 4, es.end()), pcm);
    EXPECT_EQ(make_lpcm_header(1, pcm.data(), 2, es.data()), 6u);
    EXPECT_EQ(Bytes(es.begin(), es.begin() + 4), (Bytes{0x00, 0x02, 0x11, 0x40}));

    Bytes stereo(1956), mono(1956);
    ASSERT_EQ(make_lpcm_pes(2, pcm.data(), 1920, stereo.data()), 1956u);
    ASSERT_EQ(make_lpcm_pes(1, pcm.data(), 1920, mono.data()), 1956u);
    const Bytes head = {0x00, 0x00, 0x01, 0xBD, 0x07, 0x9E, 0x81, 0x81, 0x17,
                        0x21, 0x48, 0xD1, 0xAC, 0xF1,  // PTS 0x12345678
                        0x80};
    EXPECT_EQ(Bytes(stereo.begin(), stereo.begin() + 15), head);
    EXPECT_EQ(stereo[31], 0xFF);
    EXPECT_EQ(Bytes(stereo.begin() + 32, stereo.begin() + 36), (Bytes{0x07, 0x80, 0x31, 0x40}));
    EXPECT_EQ(Bytes(stereo.begin() + 36, stereo.end()), pcm);
    for (std::size_t i = 0; i < stereo.size(); ++i) {
        if (i != 34) {
            EXPECT_EQ(mono[i], stereo[i]) << i;
        }
    }
    EXPECT_EQ(mono[34], 0x11);
}

TEST(LpcmPes, StereoBlockBecomesTwelvePackets) {
    // 1956 bytes of PES = 11 packets of 177 + one of 9 (adaptation_field_length 174);
    // the packets reassemble into the PES; the next block carries sequence 1 and the
    // counter runs on.
    init_pes_header();
    set_pes_pts(0);
    const Bytes pcm = pcm_block(1920);
    std::uint8_t out[lpcm_ts_size(1920)];
    ASSERT_EQ(sizeof out, 12u * 188u);
    ASSERT_EQ(pcm_to_ts(2, pcm.data(), 1920, out), 12u * 188u);

    Bytes want_pes = {0x00, 0x00, 0x01, 0xBD, 0x07, 0x9E, 0x81, 0x81, 0x17, 0x21, 0x00,
                      0x01, 0x00, 0x01, 0x80, 0,    0,    0,    0,    0,    0,    0,
                      0,    0,    0,    0,    0,    0,    0,    0,    0,    0xFF, 0x07,
                      0x80, 0x31, 0x40};
    want_pes.insert(want_pes.end(), pcm.begin(), pcm.end());
    ASSERT_EQ(want_pes.size(), 1956u);

    // The first packet and the last, byte by byte at the front.
    const Bytes first = {0x47, 0x41, 0x64, 0x30, 0x06, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x01, 0xBD, 0x07, 0x9E};
    EXPECT_EQ(Bytes(out, out + first.size()), first);
    const std::uint8_t* last = out + 11 * 188;
    const Bytes last_head = {0x47, 0x01, 0x64, 0x3B, 0xAE, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(last, last + last_head.size()), last_head);
    for (int i = 11; i < 179; ++i) ASSERT_EQ(last[i], 0xFF) << i;
    EXPECT_EQ(Bytes(last + 179, last + 188), Bytes(pcm.end() - 9, pcm.end()));

    Bytes joined;
    for (const ReadPacket& p : read_packets(out, sizeof out)) {
        EXPECT_EQ(p.pid, 0x0164u);
        joined.insert(joined.end(), p.payload.begin(), p.payload.end());
    }
    EXPECT_EQ(joined, want_pes);
    EXPECT_EQ(ts_counters().audio, 12);
    EXPECT_EQ(ts_counters().pes_sequence_number, 1u);

    ASSERT_EQ(pcm_to_ts(2, pcm.data(), 1920, out), 12u * 188u);
    EXPECT_EQ(out[3], 0x3C);  // continuity_counter 12
    EXPECT_EQ(out[4 * 188 + 3], 0x30);  // wrapped to 0
    EXPECT_EQ(out[10], 0x01);  // sequence 00 00 00 01
    EXPECT_EQ(ts_counters().pes_sequence_number, 2u);
}

TEST(LpcmPes, BlockSizeLimitsAndSharedTemplate) {
    // The largest block fills the 8192-byte PES buffer (47 packets, the last with 50
    // bytes); one byte more is refused without touching counters. What the video writer
    // leaves in PES_private_data travels in audio PES too, but the stream_id stays 0xBD.
    init_pes_header();
    static std::uint8_t out[lpcm_ts_size(kMaxLpcmBlock)];
    const Bytes pcm = pcm_block(kMaxLpcmBlock + 1);
    EXPECT_EQ(pcm_to_ts(1, pcm.data(), kMaxLpcmBlock + 1, out), 0u);
    EXPECT_EQ(ts_counters().audio, 0);
    EXPECT_EQ(ts_counters().pes_sequence_number, 0u);

    ASSERT_EQ(pcm_to_ts(1, pcm.data(), kMaxLpcmBlock, out), 47u * 188u);
    const std::uint8_t* last = out + 46 * 188;
    EXPECT_EQ(last[4], 6 + 177 - 50);
    EXPECT_EQ(Bytes(last + 138, last + 188), Bytes(pcm.begin() + kMaxLpcmBlock - 50, pcm.begin() + kMaxLpcmBlock));
    EXPECT_EQ(out[11 + 4], 0x1F);  // PES_packet_length 8186 = 0x1FFA
    EXPECT_EQ(out[11 + 5], 0xFA);

    PesHeaderTemplate& t = pes_header_template();
    t.bytes[3] = 0xE0;
    const char marker[] = "vemuvideo";
    for (int i = 0; i < 9; ++i) t.bytes[t.private_data_pos + i] = static_cast<std::uint8_t>(marker[i]);
    ASSERT_EQ(pcm_to_ts(2, pcm.data(), 100, out), 188u);
    const Bytes pes = read_packet(out).payload;
    ASSERT_EQ(pes.size(), 136u);
    EXPECT_EQ(pes[3], 0xBD);
    EXPECT_EQ(Bytes(pes.begin() + 15, pes.begin() + 24), Bytes(marker, marker + 9));
}

}  // namespace
