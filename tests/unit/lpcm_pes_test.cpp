// LPCM PES: the header template and PTS bytes, and whole blocks from PCM to packets.
#include "ts/lpcm_pes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
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

// The PES header of the worked example, PTS 0, for 1920 bytes of PCM.
// clang-format off
const Bytes kPesHead1920 = {
    0x00, 0x00, 0x01, 0xBD,        // start code, private_stream_1
    0x07, 0x9E,                    // PES_packet_length 1950
    0x81, 0x81, 0x17,              // '10' original; PTS only + extension; 23 header bytes
    0x21, 0x00, 0x01, 0x00, 0x01,  // PTS 0
    0x80,                          // PES_private_data_flag
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // PES_private_data
    0xFF,                          // stuffing
    0x07, 0x80, 0x31, 0x40,        // LPCM: 1920 bytes, stereo 48 kHz, 16 bits
};
// clang-format on

Bytes reassemble(const std::uint8_t* ts, std::size_t len) {
    Bytes joined;
    for (const ReadPacket& p : read_packets(ts, len)) {
        EXPECT_EQ(p.pid, 0x0164u);
        joined.insert(joined.end(), p.payload.begin(), p.payload.end());
    }
    return joined;
}

TEST(LpcmPes, TemplateAndPtsBytes) {
    // The template as start-up builds it (also over what another writer left in it), and
    // PTS bytes for 0, 0xFFFFFFFF, one second and the lowest bits of the upper groups.
    pes_header_template().bytes[15] = 'v';
    init_pes_header();
    set_pes_pts(0);
    const PesHeaderTemplate& t = pes_header_template();
    Bytes want(kPesHead1920.begin(), kPesHead1920.begin() + 32);
    want[4] = want[5] = 0;  // PES_packet_length: set per packet
    EXPECT_EQ(Bytes(t.bytes, t.bytes + t.length), want);
    EXPECT_EQ(std::tie(t.length_pos, t.pts_pos, t.private_data_pos, t.bytes_after_length),
              std::make_tuple(4u, 9u, 15u, 26u));

    // clang-format off
    const std::pair<std::uint32_t, Bytes> cases[] = {
        {0x00000000, {0x21, 0x00, 0x01, 0x00, 0x01}}, {0xFFFFFFFF, {0x27, 0xFF, 0xFF, 0xFF, 0xFF}},
        {90000, {0x21, 0x00, 0x05, 0xBF, 0x21}},      {0x40000000, {0x23, 0x00, 0x01, 0x00, 0x01}},
        {0x00008000, {0x21, 0x00, 0x03, 0x00, 0x01}}};
    // clang-format on
    for (const auto& [pts, want_pts] : cases) {
        set_pes_pts(pts);
        EXPECT_EQ(Bytes(t.bytes + 9, t.bytes + 14), want_pts) << std::hex << pts;
    }
}

TEST(LpcmPes, StereoBlockBecomesTwelvePackets) {
    // 1920 bytes: a 1956-byte PES, 11 packets of 177 and one of 9 with
    // adaptation_field_length 174; the next block carries sequence 1 and the counter runs
    // on. A mono PES differs only in its third LPCM byte.
    init_pes_header();
    set_pes_pts(0);
    const Bytes pcm = pcm_block(1920);
    std::uint8_t out[lpcm_ts_size(1920)];
    ASSERT_EQ(sizeof out, 12u * 188u);
    ASSERT_EQ(pcm_to_ts(2, pcm.data(), 1920, out), 12u * 188u);

    Bytes want = kPesHead1920;
    want.insert(want.end(), pcm.begin(), pcm.end());
    EXPECT_EQ(reassemble(out, sizeof out), want);
    EXPECT_EQ(out[11 * 188 + 4], 174);
    ASSERT_EQ(pcm_to_ts(2, pcm.data(), 1920, out), 12u * 188u);
    EXPECT_EQ(out[3], 0x3C);            // continuity_counter 12 ...
    EXPECT_EQ(out[4 * 188 + 3], 0x30);  // ... wrapping to 0
    EXPECT_EQ(out[10], 0x01);           // sequence 00 00 00 01

    Bytes mono(1956), stereo(1956);
    ASSERT_EQ(make_lpcm_pes(1, pcm.data(), 1920, mono.data()), 1956u);
    ASSERT_EQ(make_lpcm_pes(2, pcm.data(), 1920, stereo.data()), 1956u);
    EXPECT_EQ(mono[34], 0x11);
    mono[34] = 0x31;
    EXPECT_EQ(mono, stereo);
}

TEST(LpcmPes, LargestBlockFillsThePesBuffer) {
    // 8192-byte PES, 47 packets, the last with 50 bytes; one byte more is refused.
    init_pes_header();
    static std::uint8_t out[lpcm_ts_size(kMaxLpcmBlock)];
    const Bytes pcm = pcm_block(kMaxLpcmBlock + 1);
    EXPECT_EQ(pcm_to_ts(1, pcm.data(), kMaxLpcmBlock + 1, out), 0u);
    EXPECT_EQ(ts_counters().audio + ts_counters().pes_sequence_number, 0u);
    ASSERT_EQ(pcm_to_ts(1, pcm.data(), kMaxLpcmBlock, out), 47u * 188u);
    const Bytes pes = reassemble(out, sizeof out);
    ASSERT_EQ(pes.size(), 8192u);
    EXPECT_EQ(Bytes(pes.begin() + 4, pes.begin() + 6), (Bytes{0x1F, 0xFA}));  // 8186
    EXPECT_EQ(Bytes(pes.begin() + 36, pes.end()), Bytes(pcm.begin(), pcm.end() - 1));
    EXPECT_EQ(out[46 * 188 + 4], 6 + 177 - 50);
}

}  // namespace
