// The local audio feed: raw PCM datagrams from the capture process on 127.0.0.1:18005
// ("atrx" in messages). The main loop waits for the feed socket and receives each
// datagram with receive_feed, which calls parse_audio_feed to check it against the current
// AudioFormat and turn it into the samples both outputs send: 16-bit big-endian, or 8-bit
// bytes as they came. No state, no allocation.
#pragma once

#include <cstdint>

#include "core/audio_format.h"

inline constexpr std::uint16_t kFeedPort = 18005;
// Bytes of one datagram that are used; a longer one is cut by the receive call.
inline constexpr int kFeedMaxDatagram = 3080;
// Shorter datagrams are refused with "invalid audio length(%d)".
inline constexpr int kFeedMinDatagram = 64;

// The receive buffer's contract: kFeedSpareBytes bytes after the received datagram, set
// to zero by the caller before each parse_audio_feed. The 16-bit paths step two bytes at
// a time while the offset is below the length, so an odd length reads one byte past the
// datagram, and each HDMI-SPDIF step reads 4 bytes, reaching up to 3 bytes past it; those
// reads land in the zeroed spare bytes, never beyond the buffer.
inline constexpr int kFeedSpareBytes = 4;

// The PCM buffer: parse_audio_feed writes from byte kPcmHeadroom on, leaving room for the
// RTP header that the packetiser writes in front of the first chunk.
inline constexpr int kPcmHeadroom = 12;
inline constexpr int kPcmBufferBytes = 5000;
// The output of one datagram (at most its length + 1 bytes) fits behind the headroom.
static_assert(kPcmHeadroom + kFeedMaxDatagram + 1 <= kPcmBufferBytes);

// Converts one datagram of len bytes at in (followed by kFeedSpareBytes zeroed bytes)
// into out, which must hold len + 1 bytes. Returns 1 and stores the output length in
// *out_len, or 0 when the datagram is refused: fewer than 64 bytes (logged), or a
// format the service cannot carry (silently: unknown source, rate not 48000/44100/8000,
// channels not 1 or 2, bits not 16 or 8, codec 8 = no audio).
int parse_audio_feed(const std::uint8_t* in, std::int32_t len, std::uint8_t* out,
                     std::uint32_t* out_len, const AudioFormat* format);

// v with bit i moved to bit 15 - i.
constexpr std::uint16_t bit_reverse16(std::uint16_t v) {
    unsigned x = v;
    x = ((x & 0xAAAAu) >> 1) | ((x & 0x5555u) << 1);
    x = ((x & 0xCCCCu) >> 2) | ((x & 0x3333u) << 2);
    x = ((x & 0xF0F0u) >> 4) | ((x & 0x0F0Fu) << 4);
    x = ((x & 0xFF00u) >> 8) | ((x & 0x00FFu) << 8);
    return static_cast<std::uint16_t>(x);
}

// One HDMI-SPDIF sample from the 4 bytes at p: the low nibble of p[1], all of p[2] and
// the high nibble of p[3] (p[0] is not used), bit-reversed.
constexpr std::int16_t spdif_word_to_sample(const std::uint8_t* p) {
    const auto v = static_cast<std::uint16_t>(((p[1] & 0x0Fu) << 12) | (unsigned{p[2]} << 4) |
                                              (unsigned{p[3]} >> 4));
    return static_cast<std::int16_t>(bit_reverse16(v));
}

// One feed datagram and its conversion; the main loop keeps one for the life of the process.
struct FeedBuffers {
    // The datagram, then the zeroed spare bytes that parse_audio_feed may read past it.
    std::uint8_t datagram[kFeedMaxDatagram + kFeedSpareBytes];
    // kPcmHeadroom bytes for the RTP header, then the converted samples.
    std::uint8_t pcm[kPcmBufferBytes];
    std::uint32_t pcm_len;
};

// Waits up to 100 ms for a datagram: > 0 readable, 0 time-out, < 0 select failed (errno).
int wait_for_feed(int feed_sock);

enum class FeedResult {
    failed,   // recv failed: the rest of the iteration is skipped
    dropped,  // empty, or refused by the parser: the iteration goes on with the jobs
    pcm,      // converted samples in buf.pcm + kPcmHeadroom, buf.pcm_len bytes
};

// Receives one datagram (at most kFeedMaxDatagram bytes) and converts it for `format`.
// A failed receive is logged as the main loop's, unless errno is EINTR or EAGAIN; an
// empty datagram is dropped without a word.
FeedResult receive_feed(int feed_sock, FeedBuffers& buf, const AudioFormat& format);
