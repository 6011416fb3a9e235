// H.264 video in PES packets: one access unit becomes one PES on stream_id 0xE0, cut into
// packets on the video PID that the PMT announces. The transmitting counterpart of the
// demultiplexer's video branch; the service itself never calls it. It shares the PES
// header template with the LPCM writer (what it writes into PES_private_data stays there
// for later audio PES too) and takes its access unit delimiter from the demultiplexer.
#pragma once

#include <cstdint>

#include "core/wire_bytes.h"
#include "ts/lpcm_pes.h"
#include "ts/ts_packet.h"

inline constexpr std::uint32_t kVideoPesBufferSize = 8192;
inline constexpr std::uint8_t kStreamIdVideo = 0xE0;
inline constexpr std::uint32_t kAudLength = 6;
// Largest access unit video_to_ts takes: the PES buffer less the header and an AUD.
inline constexpr std::uint32_t kMaxVideoAccessUnit =
    kVideoPesBufferSize - kPesHeaderSize - kAudLength;

// Room video_to_ts needs for the packets of an access unit of au_len bytes.
constexpr std::uint32_t video_ts_size(std::uint32_t au_len) {
    return pes_ts_size(kPesHeaderSize + kAudLength + au_len);
}

// Frame flags travel in PES_private_data bytes 9..11: bits 5..4 as a value, bit 3, bit 1.
// Bit 3 also decides whether the next access unit gets an AUD.

// The ES of one access unit at dst: the AUD when the previous unit asked for one (bit 3,
// set at start) and this one begins with a coded slice (NAL header byte 0x65 or 0x41 after
// the 4-byte start code), then the unit unchanged. The AUD is the demultiplexer's template:
// empty until demux_ts_buffer has run once. Returns the bytes written; 0 when they do not
// fit in dst (nothing written, the AUD decision for the next unit not taken).
std::uint32_t make_video_es(std::uint32_t flags, const std::uint8_t* au, std::uint32_t len,
                            WireBytes dst);

// A whole PES at dst: the template with PES_packet_length, the "vemuvideo" marker and the
// three flag bytes in PES_private_data, then the ES. Returns its length, 0 for an empty
// unit or one that does not fit in dst. The PTS is whatever the template last received.
std::uint32_t make_video_pes(std::uint32_t flags, const std::uint8_t* au, std::uint32_t len,
                             WireBytes dst);

// The PES of one access unit cut into packets on the video PID at the start of out, with
// the video continuity counter and sequence number. Returns the bytes written; 0 for an
// empty unit, one above kMaxVideoAccessUnit or an out of fewer than video_ts_size(len)
// bytes (nothing changes then). A refused packetisation (not reachable past those checks)
// prints "fail to PES2TS" and exits with status 1.
std::uint32_t video_to_ts(std::uint32_t flags, const std::uint8_t* au, std::uint32_t len,
                          WireBytes out);
