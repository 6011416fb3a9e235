// LPCM audio in PES packets: the 32-byte PES header template built at start-up, the PTS
// stamped into it per block, the 4-byte LPCM header, and pcm_to_ts, which turns one block
// of big-endian 16-bit 48 kHz PCM into transport packets on the audio PID. Called by the
// main loop in TS mode (set_pes_pts, then pcm_to_ts); the video PES writer shares the
// template. No allocation: the PES is assembled in a static buffer owned here. Writers
// take their destination with its room and refuse (0) what does not fit; nothing here ends
// the process.
#pragma once

#include <cstdint>

#include "core/wire_bytes.h"

#include "ts/ts_packet.h"

inline constexpr std::uint32_t kPesHeaderSize = 32;
inline constexpr std::uint32_t kLpcmHeaderSize = 4;
inline constexpr std::uint32_t kPesBufferSize = 8192;
// Largest PCM block pcm_to_ts takes: the PES buffer less the two headers.
inline constexpr std::uint32_t kMaxLpcmBlock = kPesBufferSize - kPesHeaderSize - kLpcmHeaderSize;
inline constexpr std::uint8_t kStreamIdPrivate1 = 0xBD;

// Bytes of transport packets that pcm_to_ts writes for a block of pcm_bytes.
constexpr std::uint32_t lpcm_ts_size(std::uint32_t pcm_bytes) {
    return pes_ts_size(kPesHeaderSize + kLpcmHeaderSize + pcm_bytes);
}

// The PES header every audio (and video) PES starts with. Written by init_pes_header,
// set_pes_pts (PTS), make_lpcm_pes (PES_packet_length) and the video PES writer
// (PES_packet_length and PES_private_data, which later audio PES packets then carry too).
struct PesHeaderTemplate {
    std::uint8_t bytes[kPesHeaderSize];
    std::uint32_t length;              // 32
    std::uint32_t length_pos;          // PES_packet_length: 4
    std::uint32_t pts_pos;             // PTS: 9
    std::uint32_t private_data_pos;    // PES_private_data (16 bytes): 15
    std::uint32_t bytes_after_length;  // header bytes after PES_packet_length: 26
};
PesHeaderTemplate& pes_header_template();

// Start-up: private_stream_1, PTS only, PES extension with 16 bytes of PES_private_data
// (all 0) and one stuffing byte; PES_packet_length and PTS are set per packet.
void init_pes_header();

// Writes the 90 kHz value as the template's PTS (bit 32 always 0).
void set_pes_pts(std::uint32_t pts);

// Writes the LPCM header (N big-endian; 0x11 for 1 channel, 0x31 for any other count: the
// channel-assignment code in the high nibble, 48 kHz in the low; 0x40 for 16 bits) and
// then the N PCM bytes unchanged at dst. Returns N + 4, or 0 (nothing written) when dst
// holds fewer.
std::uint32_t make_lpcm_header(int channels, const std::uint8_t* pcm, std::uint32_t n,
                               WireBytes dst);

// A whole PES at dst: the template with PES_packet_length = 26 + N + 4, then the LPCM
// header and PCM. Returns 32 + N + 4, or 0 (the template unchanged) when dst holds fewer.
std::uint32_t make_lpcm_pes(int channels, const std::uint8_t* pcm, std::uint32_t n, WireBytes dst);

// One PES of the block, cut into packets on the audio PID at the start of out. Returns the
// bytes written, lpcm_ts_size(n) = ceil((36 + n) / 177) * 188; 0 for a block above
// kMaxLpcmBlock, and 0 after "fail to PES2TS" when out holds fewer than lpcm_ts_size(n)
// bytes (no packet written, no counter moved). The caller drops the block on 0.
std::uint32_t pcm_to_ts(std::uint32_t channels, const std::uint8_t* pcm, std::uint32_t n,
                        WireBytes out);
