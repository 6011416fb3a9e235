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
    // Until the demultiplexer has run there is no AUD to insert. Then a slice (0x65, 0x41)
    // gets one when the previous unit's flag bit 3 was set (or at start); SPS, PPS and
    // units after one with bit 3 clear get none.
    const Bytes slice = unit(0x65, 40);
    EXPECT_EQ(es_of(0x08, slice), slice);
    ASSERT_EQ(demux_ts_buffer(nullptr, 0, nullptr, nullptr), 0);

    const struct {
        std::uint32_t flags;
        std::uint8_t nal;
        bool aud;
    } sequence[] = {
        {0x08, 0x65, true},  {0x08, 0x67, false}, {0x00, 0x41, true}, {0x08, 0x65, false},
        {0x3A, 0x68, false}, {0x08, 0x41, true},  {0xF7, 0x65, true}, {0x08, 0x41, false},
    };
    for (const auto& s : sequence) {
        const Bytes au = unit(s.nal, 30);
        Bytes want = s.aud ? kAud : Bytes{};
        want.insert(want.end(), au.begin(), au.end());
        EXPECT_EQ(es_of(s.flags, au), want) << std::hex << s.flags << " " << int(s.nal);
    }
    // Too short to hold a NAL header: copied as it is; the flags still count.
    EXPECT_EQ(es_of(0x00, Bytes{0, 0, 1}), (Bytes{0, 0, 1}));
    EXPECT_EQ(es_of(0x08, slice), slice);
    Bytes shortest = kAud;  // start code and NAL header only
    shortest.insert(shortest.end(), {0, 0, 0, 1, 0x41});
    EXPECT_EQ(es_of(0x08, unit(0x41, 5)), shortest);
}

TEST(VideoPes, PrivateDataCarriesMarkerAndFrameFlags) {
    // PES_private_data 0..8 = "vemuvideo", 9..11 = flag bits 5..4, 3 and 1; the rest of
    // the template is the audio one with PES_packet_length 26 + ES bytes. The marker stays
    // in the shared template for the next audio PES.
    init_pes_header();
    set_pes_pts(0);
    const struct {
        std::uint32_t flags;
        Bytes want;
    } cases[] = {{0x3A, {3, 1, 1}}, {0x00, {0, 0, 0}}, {0x10, {1, 0, 0}}, {0x20, {2, 0, 0}},
                 {0x08, {0, 1, 0}}, {0x02, {0, 0, 1}}, {0xC5, {0, 0, 0}}, {0xFF, {3, 1, 1}}};
    const Bytes au = unit(0x67, 300);  // no AUD: ES = the unit
    for (const auto& c : cases) {
        Bytes pes(32 + 300);
        ASSERT_EQ(make_video_pes(c.flags, au.data(), 300, pes.data()), 332u);
        Bytes want = {0x00, 0x00, 0x01, 0xBD, 0x01, 0x46, 0x81, 0x81, 0x17,  // 326 = 0x146
                      0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 'v',  'e',  'm',
                      'u',  'v',  'i',  'd',  'e',  'o'};
        want.insert(want.end(), c.want.begin(), c.want.end());
        want.insert(want.end(), {0, 0, 0, 0, 0xFF});
        want.insert(want.end(), au.begin(), au.end());
        EXPECT_EQ(pes, want) << std::hex << c.flags;
    }
    EXPECT_EQ(make_video_pes(0x3A, au.data(), 0, Bytes(40).data()), 0u);

    const std::uint8_t pcm[4] = {1, 2, 3, 4};
    Bytes audio(40);
    make_lpcm_pes(2, pcm, 4, audio.data());
    EXPECT_EQ(Bytes(audio.begin() + 15, audio.begin() + 27),
              (Bytes{'v', 'e', 'm', 'u', 'v', 'i', 'd', 'e', 'o', 3, 1, 1}));
}

TEST(VideoPes, PacketsOnTheVideoPidWithTheirOwnCounters) {
    // One PES per unit on PID 0x0021, stream_id 0xE0, continuity counter and sequence
    // number of the video PID only (the audio ones do not move). Units above the limit and
    // empty units give no packets and change nothing.
    init_pes_header();
    static std::uint8_t out[video_ts_size(kMaxVideoAccessUnit + 1)];
    const Bytes big = unit(0x67, kMaxVideoAccessUnit + 1);
    EXPECT_EQ(video_to_ts(0x00, big.data(), kMaxVideoAccessUnit + 1, out), 0u);
    EXPECT_EQ(video_to_ts(0x00, big.data(), 0, out), 0u);

    std::uint32_t cc = 0;
    for (std::uint32_t seq = 0; seq < 2; ++seq) {
        // 32 + 8154 = 8186 bytes: 46 full packets and one of 44.
        const Bytes au = unit(0x67, kMaxVideoAccessUnit);
        ASSERT_EQ(video_to_ts(0x3A, au.data(), kMaxVideoAccessUnit, out), 47u * 188u);
        Bytes pes;
        for (const ReadPacket& p : read_packets(out, 47 * 188)) {
            EXPECT_EQ(p.pid, 0x0021u);
            EXPECT_EQ(p.pusi, pes.empty());
            EXPECT_EQ(p.cc, cc++ % 16);
            EXPECT_EQ(p.af_body.size() >= 5 ? p.af_body[4] : 0xFFu, seq);
            pes.insert(pes.end(), p.payload.begin(), p.payload.end());
        }
        ASSERT_EQ(pes.size(), 8186u);
        EXPECT_EQ(Bytes(pes.begin(), pes.begin() + 6), (Bytes{0x00, 0x00, 0x01, 0xE0, 0x1F, 0xF4}));
        EXPECT_EQ(Bytes(pes.begin() + 32, pes.end()), au);
    }
    EXPECT_EQ(ts_counters().audio + ts_counters().pes_sequence_number, 0u);
}

}  // namespace
