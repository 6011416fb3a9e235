// LPCM PES packets: header template, PTS, LPCM header, packetising onto the audio PID.
#include "ts/lpcm_pes.h"

#include "core/debug_log.h"

namespace {

// The template in table order, recording the variable fields' positions as it goes.
constexpr PesHeaderTemplate build_template() {
    PesHeaderTemplate t{};
    std::uint8_t* h = t.bytes;
    std::uint32_t p = 0;
    h[p++] = 0x00;  // packet_start_code_prefix
    h[p++] = 0x00;
    h[p++] = 0x01;
    h[p++] = kStreamIdPrivate1;
    t.length_pos = p;
    h[p++] = 0x00;  // PES_packet_length, per packet
    h[p++] = 0x00;
    h[p++] = 0x81;  // '10', not scrambled, no priority, no alignment, not copyrighted, original
    h[p++] = 0x81;  // PTS only, PES_extension_flag
    const std::uint32_t header_data_length_pos = p++;
    t.pts_pos = p;
    for (int i = 0; i < 5; ++i) h[p++] = 0x00;  // PTS, per packet
    h[p++] = 0x80;                              // PES extension: PES_private_data_flag only
    t.private_data_pos = p;
    for (int i = 0; i < 16; ++i) h[p++] = 0x00;  // PES_private_data
    h[p++] = 0xFF;                               // stuffing_byte
    t.length = p;
    h[header_data_length_pos] = static_cast<std::uint8_t>(p - (header_data_length_pos + 1));
    t.bytes_after_length = p - (t.length_pos + 2);
    return t;
}
static_assert(build_template().length == kPesHeaderSize);

// Valid before init_pes_header too, so that no packet can leave with an empty header.
constinit PesHeaderTemplate g_template = build_template();

// The whole PES of one block is assembled here before it is cut into packets.
std::uint8_t g_pes_buffer[kPesBufferSize];

}  // namespace

PesHeaderTemplate& pes_header_template() { return g_template; }

// Start-up: also forgets whatever the video writer left in PES_private_data.
void init_pes_header() { g_template = build_template(); }

void set_pes_pts(std::uint32_t pts) {
    // '0010', PTS[32..30], marker, PTS[29..15], marker, PTS[14..0], marker; PTS[32] = 0.
    WireWriter(WireBytes(g_template.bytes).subspan(g_template.pts_pos))
        .u8(static_cast<std::uint8_t>(0x21u | (((pts >> 30) & 3u) << 1)))
        .be16(static_cast<std::uint16_t>(((pts >> 14) & 0xFFFEu) | 1u))
        .be16(static_cast<std::uint16_t>(((pts << 1) & 0xFFFEu) | 1u));
}

std::uint32_t make_lpcm_header(int channels, const std::uint8_t* pcm, std::uint32_t n,
                               WireBytes dst) {
    if (dst.size() < kLpcmHeaderSize || n > dst.size() - kLpcmHeaderSize) return 0;
    // Channel assignment 1 (mono) or 3 (stereo) over sampling frequency 1 (48 kHz), then
    // bits_per_sample 1 = 16 bits.
    WireWriter(dst)
        .be16(static_cast<std::uint16_t>(n))
        .u8(channels == 1 ? 0x11 : 0x31)
        .u8(0x40)
        .bytes(pcm, n);
    return n + kLpcmHeaderSize;
}

std::uint32_t make_lpcm_pes(int channels, const std::uint8_t* pcm, std::uint32_t n, WireBytes dst) {
    if (dst.size() < g_template.length) return 0;
    const std::uint32_t es_len = make_lpcm_header(channels, pcm, n, dst.subspan(g_template.length));
    if (es_len == 0) return 0;
    const std::uint32_t packet_length = g_template.bytes_after_length + es_len;
    put_be16(g_template.bytes, g_template.length_pos, static_cast<std::uint16_t>(packet_length));
    WireWriter(dst).bytes(g_template.bytes, g_template.length);
    return g_template.length + es_len;
}

std::uint32_t pcm_to_ts(std::uint32_t channels, const std::uint8_t* pcm, std::uint32_t n,
                        WireBytes out) {
    if (n > kMaxLpcmBlock) return 0;
    const std::uint32_t pes_len = make_lpcm_pes(static_cast<int>(channels), pcm, n, g_pes_buffer);
    // The template is shared with the video writer, whose PES carry another stream_id.
    put_u8(g_pes_buffer, 3, kStreamIdPrivate1);

    TsCounters& counters = ts_counters();
    std::uint32_t out_len = 0;
    if (PES2TS(kAudioPid, &counters.audio, g_pes_buffer, pes_len, out, &out_len,
               &counters.pes_sequence_number) != 1) {
        dbg_printf("fail to PES2TS\n");
        return 0;
    }
    return out_len;
}
