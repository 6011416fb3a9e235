// Video PES writer: AUD insertion, PES_private_data flags, packetising on the video PID.
#include "ts/video_pes.h"

#include <cstdlib>
#include <cstring>

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
                            std::uint8_t* dst) {
    // A unit too short to hold a NAL header after its start code is no slice.
    const bool slice = len > 4 && (au[4] == kNalIdrSlice || au[4] == kNalSlice);
    const bool with_aud = g_video.aud_switch == 1 && slice;
    g_video.aud_switch = (flags & 0x08u) != 0 ? 1 : 0;

    std::uint32_t n = 0;
    if (with_aud) {
        const AudTemplate& aud = aud_template();
        std::memcpy(dst, aud.bytes, aud.length);
        n = aud.length;
    }
    if (len > 0) std::memcpy(dst + n, au, len);
    return n + len;
}

std::uint32_t make_video_pes(std::uint32_t flags, const std::uint8_t* au, std::uint32_t len,
                             std::uint8_t* dst) {
    PesHeaderTemplate& t = pes_header_template();
    const std::uint32_t es_len = make_video_es(flags, au, len, dst + t.length);
    if (es_len == 0) return 0;
    const std::uint32_t packet_length = t.bytes_after_length + es_len;
    t.bytes[t.length_pos] = static_cast<std::uint8_t>(packet_length >> 8);
    t.bytes[t.length_pos + 1] = static_cast<std::uint8_t>(packet_length);
    std::uint8_t* priv = t.bytes + t.private_data_pos;
    std::memcpy(priv, kMarker, sizeof kMarker);
    priv[9] = static_cast<std::uint8_t>((flags & 0x30u) >> 4);
    priv[10] = static_cast<std::uint8_t>((flags & 0x08u) >> 3);
    priv[11] = static_cast<std::uint8_t>((flags & 0x02u) >> 1);
    std::memcpy(dst, t.bytes, t.length);
    return t.length + es_len;
}

std::uint32_t video_to_ts(std::uint32_t flags, const std::uint8_t* au, std::uint32_t len,
                          std::uint8_t* out) {
    if (len > kMaxVideoAccessUnit) return 0;
    const std::uint32_t pes_len = make_video_pes(flags, au, len, g_pes_buffer);
    if (pes_len == 0) return 0;
    g_pes_buffer[3] = kStreamIdVideo;  // the shared template holds the audio stream_id

    std::uint32_t out_len = 0;
    if (PES2TS(kVideoPid, &g_video.counter, g_pes_buffer, pes_len, out, &out_len,
               &g_video.sequence) != 1) {
        dbg_printf("fail to PES2TS\n");
        std::exit(1);
    }
    return out_len;
}
