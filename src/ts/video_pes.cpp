// Video PES writer: AUD insertion, PES_private_data flags, packetising on the video PID.
#include "ts/video_pes.h"

#include <cstdlib>

#include "core/debug_log.h"
#include "ts/ts_demux.h"

namespace {

struct VideoState {
    std::uint8_t counter = 0;    // continuity counter of the video PID
    std::uint32_t sequence = 0;  // transport_private_data of the video PES
    std::uint32_t aud_switch = 1;
};
VideoState g_video;

std::uint8_t g_pes_buffer[kVideoPesBufferSize];

// Receivers recognise the service's video PES by this marker in PES_private_data.
constexpr std::uint8_t kMarker[9] = {'v', 'e', 'm', 'u', 'v', 'i', 'd', 'e', 'o'};

constexpr std::uint8_t kNalIdrSlice = 0x65;  // nal_ref_idc 3, type 5
constexpr std::uint8_t kNalSlice = 0x41;     // nal_ref_idc 2, type 1

}  // namespace

std::uint32_t make_video_es(std::uint32_t flags, const std::uint8_t* au, std::uint32_t len,
                            WireBytes dst) {
    // A unit too short to hold a NAL header after its start code is no slice.
    const bool slice = len > 4 && (au[4] == kNalIdrSlice || au[4] == kNalSlice);
    const bool with_aud = g_video.aud_switch == 1 && slice;
    const AudTemplate& aud = aud_template();
    const std::uint32_t aud_len = with_aud ? aud.length : 0;
    if (dst.size() < aud_len || len > dst.size() - aud_len) return 0;
    g_video.aud_switch = (flags & 0x08u) != 0 ? 1 : 0;

    WireWriter(dst).bytes(aud.bytes, aud_len).bytes(au, len);
    return aud_len + len;
}

std::uint32_t make_video_pes(std::uint32_t flags, const std::uint8_t* au, std::uint32_t len,
                             WireBytes dst) {
    PesHeaderTemplate& t = pes_header_template();
    if (dst.size() < t.length) return 0;
    const std::uint32_t es_len = make_video_es(flags, au, len, dst.subspan(t.length));
    if (es_len == 0) return 0;
    const std::uint32_t packet_length = t.bytes_after_length + es_len;
    put_be16(t.bytes, t.length_pos, static_cast<std::uint16_t>(packet_length));
    WireWriter(WireBytes(t.bytes).subspan(t.private_data_pos))
        .bytes(kMarker, sizeof kMarker)
        .u8(static_cast<std::uint8_t>((flags & 0x30u) >> 4))
        .u8(static_cast<std::uint8_t>((flags & 0x08u) >> 3))
        .u8(static_cast<std::uint8_t>((flags & 0x02u) >> 1));
    WireWriter(dst).bytes(t.bytes, t.length);
    return t.length + es_len;
}

std::uint32_t video_to_ts(std::uint32_t flags, const std::uint8_t* au, std::uint32_t len,
                          WireBytes out) {
    if (len > kMaxVideoAccessUnit || out.size() < video_ts_size(len)) return 0;
    const std::uint32_t pes_len = make_video_pes(flags, au, len, g_pes_buffer);
    if (pes_len == 0) return 0;
    put_u8(g_pes_buffer, 3, kStreamIdVideo);  // the shared template holds the audio stream_id

    std::uint32_t out_len = 0;
    if (PES2TS(kVideoPid, &g_video.counter, g_pes_buffer, pes_len, out, &out_len,
               &g_video.sequence) != 1) {
        dbg_printf("fail to PES2TS\n");
        std::exit(1);
    }
    return out_len;
}
