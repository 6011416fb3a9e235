#include "rtp/rtp_packetiser.h"

#include <sys/socket.h>

#include "core/debug_log.h"
#include "core/wire_bytes.h"
#include "rtp/client_table.h"
#include "rtp/rtcp_reports.h"
#include "rtp/rtp_clock.h"

namespace {

// Set while the mtu leaves no room for audio and that has been logged.
bool g_mtu_warned = false;

// The failing-receiver rule, step one of each receiver per packet: while the last send
// failed, count the offer and try only when the count reaches a multiple of 10.
bool rtp_should_try(std::uint32_t index) {
    if (ARClist[index].send_failed != 1) return true;
    return count_failed_offer(index) % 10 == 0;
}

}  // namespace

ChunkPlan plan_rtp_chunks(std::int32_t mtu, bool& warned) {
    const std::int32_t chunk = rtp_chunk_size(mtu);
    if (chunk > 0) {
        warned = false;
        return {chunk, false};
    }
    const bool warn = !warned;
    warned = true;
    return {chunk, warn};
}

void send_audio_RTP(std::uint8_t* packet, std::uint32_t payload_len, std::uint32_t frame_bytes,
                    std::uint32_t rate) {
    if (ARClist_count == 0) return;
    const std::uint32_t frames = frame_bytes ? payload_len / frame_bytes : 0;
    std::uint64_t now = 0;
    get_rtp_time(rate, &now);
    const auto timestamp = static_cast<std::uint32_t>(take_packet_time(now, frames));

    // The datagram: the header in the 12 bytes before the chunk, then the chunk. RFC 3550
    // 5.1: V=2, P=0, X=0, CC=0; M=0, PT=98. Only sequence number and SSRC differ between
    // receivers.
    const WireBytes datagram{packet, payload_len + kRtpHeaderBytes};
    put_u8(datagram, 0, 0x80);
    put_u8(datagram, 1, kRtpPayloadType);
    put_be32(datagram, 4, timestamp);

    for (std::uint32_t i = 0; i < kARClistSize; ++i) {
        if (!rtp_should_try(i)) continue;
        const AudioRtspClient& c = ARClist[i];
        if (c.rtp_sock <= 0) continue;
        put_be16(datagram, 2, take_rtp_seq(i));
        put_be32(datagram, 8, c.ssrc);
        const bool sent = send(c.rtp_sock, datagram.data(), datagram.size(), MSG_DONTWAIT) >= 0;
        record_rtp_send(i, sent);
        if (!sent) {
            DBG_TRACE();
            dbg_perror("send");
        } else {
            count_audio_RTP(i, payload_len, timestamp);
        }
    }
}

void forward_audio_RTP(const BlockView& block, std::uint8_t* pcm_buffer, std::uint32_t pcm_len,
                       const AudioFormat& format, std::uint32_t rate) {
    const std::int32_t mtu = block.mtu();
    const ChunkPlan plan = plan_rtp_chunks(mtu, g_mtu_warned);
    if (plan.warn)
        dbg_printf("[Audio RTP] mtu %d leaves no room for audio: nothing is sent\n", mtu);
    if (plan.chunk <= 0) return;

    const std::uint32_t frame_bytes = format.channels * (format.bits / 8);
    const auto chunk = static_cast<std::uint32_t>(plan.chunk);
    // Each chunk's pointer lies 12 bytes before its first sample: the headroom for the
    // first, the tail of the chunk just sent for the others.
    for (std::uint32_t offset = 0; pcm_len > offset;) {
        const std::uint32_t n = chunk < pcm_len - offset ? chunk : pcm_len - offset;
        send_audio_RTP(pcm_buffer + offset, n, frame_bytes, rate);
        offset += n;
    }
}
