// The video PES writer: when an access unit delimiter goes in front, what PES_private_data
// carries, and the packets on the video PID.
#include "ts/video_pes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/ts_reader.h"
#include "ts/ts_demux.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kAud = {0x00, 0x00, 0x00, 0x01, 0x69, 0x30};

Bytes unit(std::uint8_t nal, std::size_t n) {
    Bytes au(n);
    for (std::size_t i = 0; i < n; ++i) au[i] = static_cast<std::uint8_t>(i * 5 + nal);
    if (n > 4) au[0] = au[1] = au[2] = 0, au[3] = 1, au[4] = nal;
    return au;
}

Bytes es_of(std::uint32_t flags, const Bytes& au) {
    Bytes dst(au.size() + 6);
    dst.resize(make_video_es(flags, au.data(), static_cast<std::uint32_t>(au.size()), dst.data()));
    return dst;
}

TEST(VideoPes, AudGoesBeforeSlicesWhenThePreviousUnitAskedForIt) {
    // No AUD until the demultiplexer has run. Then a slice (0x65, 0x41) gets one when the
    // previous unit's flag bit 3 was set (or at start); SPS, PPS and units after one with
    // bit 3 clear get none. Units too short for a NAL header are copied; their flags count.
    const Bytes slice = unit(0x65, 40);
    EXPECT_EQ(es_of(0x08, slice), slice);
    ASSERT_EQ(demux_ts_buffer(nullptr, 0, nullptr, nullptr), 0);
    Bytes shortest = kAud;  // start code and NAL header only
    shortest.insert(shortest.end(), {0, 0, 0, 1, 0x41});
    const struct {
        std::uint32_t flags;
        Bytes au;
        bool aud;
    } sequence[] = {
        {0x08, unit(0x65, 30), true},  {0x08, unit(0x67, 30), false}, {0x00, unit(0x41, 30), true},
        {0x08, unit(0x65, 30), false}, {0x3A, unit(0x68, 30), false}, {0x08, unit(0x41, 30), true},
        {0xF7, unit(0x65, 30), true},  {0x08, unit(0x41, 30), false}, {0x00, {0, 0, 1}, false},
        {0x08, slice, false},          {0x08, unit(0x41, 5), true},
    };
    for (const auto& s : sequence) {
        Bytes want = s.aud ? kAud : Bytes{};
        want.insert(want.end(), s.au.begin(), s.au.end());
        EXPECT_EQ(es_of(s.flags, s.au), want) << "row " << (&s - sequence);
    }
}

TEST(VideoPes, PrivateDataCarriesMarkerAndFrameFlags) {
    // PES_private_data 0..8 = "vemuvideo", 9..11 = flag bits 5..4, 3 and 1 (the round trip
    // through the demultiplexer covers the single bits); PES_packet_length 26 + ES bytes.
    // The marker stays in the shared template: the next audio PES carries it, as 0xBD.
    init_pes_header();
    set_pes_pts(0);
    const Bytes au = unit(0x67, 300);  // no AUD: ES = the unit
    for (const auto& [flags, bits] :
         {std::pair<std::uint32_t, Bytes>{0xC5, {0, 0, 0}}, {0xFF, {3, 1, 1}}, {0x20, {2, 0, 0}}}) {
        Bytes pes(32 + 300);
        ASSERT_EQ(make_video_pes(flags, au.data(), 300, pes.data()), 332u);
        Bytes want = {0x00, 0x00, 0x01, 0xBD, 0x01, 0x46, 0x81, 0x81, 0x17,  // 326 = 0x146
                      0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 'v',  'e',  'm',
                      'u',  'v',  'i',  'd',  'e',  'o'};
        want.insert(want.end(), bits.begin(), bits.end());
        want.insert(want.end(), {0, 0, 0, 0, 0xFF});
        want.insert(want.end(), au.begin(), au.end());
        EXPECT_EQ(pes, want) << std::hex << flags;
    }
    EXPECT_EQ(make_video_pes(0x3A, au.data(), 0, Bytes(40).data()), 0u);

    const std::uint8_t pcm[4] = {1, 2, 3, 4};
    Bytes audio(40);
    make_lpcm_pes(2, pcm, 4, audio.data());
    EXPECT_EQ(audio[3], 0xBD);
    EXPECT_EQ(Bytes(audio.begin() + 15, audio.begin() + 27),
              (Bytes{'v', 'e', 'm', 'u', 'v', 'i', 'd', 'e', 'o', 2, 0, 0}));
}

TEST(VideoPes, PacketsOnTheVideoPidWithTheirOwnCounters) {
    // One PES per unit on PID 0x0021, stream_id 0xE0, with the video PID's own counter and
    // sequence number (the audio ones stay); empty or oversized units give no packets.
    init_pes_header();
    static std::uint8_t out[video_ts_size(kMaxVideoAccessUnit + 1)];
    const Bytes au = unit(0x67, kMaxVideoAccessUnit + 1);
    EXPECT_EQ(video_to_ts(0x00, au.data(), kMaxVideoAccessUnit + 1, out), 0u);
    EXPECT_EQ(video_to_ts(0x00, au.data(), 0, out), 0u);
    std::uint32_t cc = 0;
    for (std::uint32_t seq = 0; seq < 2; ++seq) {  // 32 + 8154 bytes: 46 full packets and 44
        ASSERT_EQ(video_to_ts(0x3A, au.data(), kMaxVideoAccessUnit, out), 47u * 188u);
        Bytes pes;
        for (const ReadPacket& p : read_packets(out, 47 * 188)) {
            EXPECT_TRUE(p.pid == 0x21 && p.pusi == pes.empty() && p.cc == cc++ % 16) << cc;
            EXPECT_EQ(p.af_body.size() >= 5 ? p.af_body[4] : 0xFFu, seq);
            pes.insert(pes.end(), p.payload.begin(), p.payload.end());
        }
        ASSERT_EQ(pes.size(), 8186u);
        EXPECT_EQ(Bytes(pes.begin(), pes.begin() + 6), (Bytes{0x00, 0x00, 0x01, 0xE0, 0x1F, 0xF4}));
        EXPECT_EQ(Bytes(pes.begin() + 32, pes.end()), Bytes(au.begin(), au.end() - 1));
    }
    EXPECT_EQ(ts_counters().audio + ts_counters().pes_sequence_number, 0u);
}

}  // namespace
