// The RTP packetiser: in output mode 1 the main loop hands each converted PCM block to
// forward_audio_RTP, which cuts it into mtu-sized chunks; send_audio_RTP stamps a 12-byte
// header in front of each chunk and sends it to every receiver of the table. No copy of
// the payload, no allocation, never blocks (MSG_DONTWAIT). What a send changes in an entry
// (sequence number, failure mark, counts) is recorded through the receiver table.
#pragma once

#include <cstdint>

#include "core/audio_format.h"
#include "core/block_view.h"

inline constexpr std::uint32_t kRtpHeaderBytes = 12;
inline constexpr std::uint8_t kRtpPayloadType = 98;

// Writes the header into packet[0..11] and sends packet[0 .. 12 + payload_len) to every
// receiver; does nothing while the table is empty. frame_bytes = channels * bits / 8; the
// timestamp runs on the RTP clock at `rate`, the applied sample rate.
void send_audio_RTP(std::uint8_t* packet, std::uint32_t payload_len, std::uint32_t frame_bytes,
                    std::uint32_t rate);

// Cuts one converted block into chunks and sends each. `pcm_buffer` is the start of the
// block's buffer: 12 bytes of headroom, then pcm_len bytes of samples. Each chunk's header
// goes into the 12 bytes before it, overwriting the tail of the chunk already sent. The mtu
// is read through `block`, the shared block's view, at each call; an mtu too small for any
// audio sends nothing and says so once.
void forward_audio_RTP(const BlockView& block, std::uint8_t* pcm_buffer, std::uint32_t pcm_len,
                       const AudioFormat& format, std::uint32_t rate);

// --- Decisions, kept free of clocks and sockets ---------------------------------------

// Bytes of samples per packet: mtu rounded toward zero to a multiple of 4, less 40 (20 of
// IPv4, 8 of UDP, 12 of RTP). Zero means no chunk fits: an mtu below 44, including one of
// 2^31 or more, which reads as negative (and near -2^31 would overflow the subtraction).
constexpr std::int32_t rtp_chunk_size(std::int32_t mtu) { return mtu < 44 ? 0 : mtu / 4 * 4 - 40; }

// Whether a chunk of this block can be sent, and whether to log that it cannot: an unusable
// mtu is reported once, and again only after a usable mtu was seen in between.
struct ChunkPlan {
    std::int32_t chunk;  // > 0 when sending, else 0
    bool warn;           // log the unusable mtu now
};
ChunkPlan plan_rtp_chunks(std::int32_t mtu, bool& warned);
