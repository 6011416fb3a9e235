// Audio format detection: every 2 s (or at once after command 4) the main loop calls
// poll_audio_format, which builds the format afresh (from the fixed format of the
// alternate settings, or from the FPGA's audio input register and the configured channel
// mode, codec and rate mode), traces every change, and applies a format once it has held
// for three polls in a row: the SDP line for the RTSP server is rewritten, the RTSP server
// processes are terminated, and applied_sample_rate takes the new rate. A format whose SDP
// line would print a number out of range is refused; one whose line cannot be written is
// tried again at the next confirmation, the servers left running meanwhile.
#pragma once

#include <cstdint>

#include "core/audio_format.h"
#include "core/block_view.h"
#include "input/fpga_window.h"

// RTP timestamp clock rate: the sample rate of the format last applied with a rewrite of
// the SDP line; 0 until the first format is applied. Written only by the poll; read-only
// to everyone else (the RTP packetiser and the RTCP sender reports).
extern const std::uint32_t& applied_sample_rate;

inline constexpr const char* kSdpLinePath = "/tmp/audio_auxSDPLine";

// Name of an audio source code in the traces: 0 "HDSDI-I2S", 1 "HDMI-SPDIF",
// 2 "HDMI-I2S", 3 "ADC-I2S", anything else "Unknown".
const char* audio_source_name(std::uint32_t source);

constexpr bool same_format(const AudioFormat& a, const AudioFormat& b) {
    return a.source == b.source && a.bits == b.bits && a.codec == b.codec &&
           a.channels == b.channels && a.sample_rate == b.sample_rate;
}

// The configured values that shape a detected format (primary settings set).
struct FormatSettings {
    std::uint32_t channel_mode;  // 1 stereo, 2 mono, 3 off, other: channels unchanged
    std::uint32_t codec;         // copied into codec; 1 means 16-bit samples, else 8-bit
    std::uint32_t rate_mode;     // 2: a detected 48000 Hz becomes 8000 Hz
};

// The format that detection builds from the probe's record, the settings and the
// previous format (whose channels stay when the channel mode is none of 1..3).
constexpr AudioFormat detected_format(const InputDetect& probe, const FormatSettings& s,
                                      const AudioFormat& previous) {
    AudioFormat f = previous;
    f.source = static_cast<std::uint32_t>(probe.source);
    f.sample_rate = static_cast<std::uint32_t>(probe.sample_rate);
    if (probe.sample_rate == 48000 && s.rate_mode == 2) f.sample_rate = 8000;
    if (s.channel_mode == 1) f.channels = 2;
    if (s.channel_mode == 2) f.channels = 1;
    if (s.channel_mode == 3) f.channels = 0;
    f.codec = probe.input_valid == 1 ? s.codec : 8;
    f.bits = s.codec == 1 ? 16 : 8;  // follows the setting, also when codec became 8
    return f;
}

// What the poll remembers between calls.
struct FormatTracking {
    AudioFormat last_seen_format;  // the format built by the previous poll
    AudioFormat applied_format;    // the format last applied
    std::int32_t stable_polls;     // polls that repeated last_seen_format, 0..2
};

inline constexpr AudioFormat kNoFormat{0xFFFFFFFFu, 0, 0, 0, 0};
inline constexpr FormatTracking kFormatTrackingStart{kNoFormat, kNoFormat, 0};

// The confirmation rule's verdict on one poll.
struct FormatStep {
    FormatTracking next;
    bool changed;      // differs from last_seen_format: "[Audio]" trace, count restarts
    bool fixed;        // held three polls and differs from applied_format: "[Fix Audio]"
    bool reconfigure;  // and differs in rate, width, channels or codec: SDP line, servers
};

constexpr FormatStep confirm_format(const FormatTracking& prev, const AudioFormat& f) {
    FormatStep step{prev, false, false, false};
    if (same_format(f, prev.last_seen_format)) {
        step.next.stable_polls = prev.stable_polls + 1;
    } else {
        step.changed = true;
        step.next.stable_polls = 0;
    }
    step.next.last_seen_format = f;
    if (step.next.stable_polls > 1) {
        step.next.stable_polls = 0;
        if (!same_format(f, prev.applied_format)) {
            const AudioFormat& a = prev.applied_format;
            step.fixed = true;
            step.reconfigure = f.sample_rate != a.sample_rate || f.bits != a.bits ||
                               f.channels != a.channels || f.codec != a.codec;
            step.next.applied_format = f;
        }
    }
    return step;
}

// Whether each number the SDP line of `f` prints is one it can carry: channels 1 or 2, a
// sample rate of 1 to 2^31 - 1 Hz and, for linear PCM, 8 or 16 bits. A format that removes
// the line (codec 8, or no channels) prints none.
constexpr bool sdp_line_in_range(const AudioFormat& f) {
    if (f.codec == 8 || f.channels == 0) return true;
    const bool bits_ok = f.codec == 2 || f.codec == 3 || f.bits == 8 || f.bits == 16;
    return bits_ok && f.channels <= 2 && f.sample_rate >= 1 && f.sample_rate <= 0x7FFFFFFFu;
}

// One poll: builds the format into *format from what `block` holds at this moment (the
// detection path also publishes it into cur_audio_source .. cur_audio_rate of the block;
// the fixed format of the alternate settings is copied as it stands and nothing is written
// back), traces, and applies a confirmed format. Called only by the main loop, with the
// view of the attached block and &current_audio_format.
//
// With no recognised input the probe leaves its record's input_valid and sample_rate
// alone; the poll's scratch record starts as {255, 0, 0}, so such an input gives
// codec 8 (no audio) at sample_rate 0, and applying it removes the SDP line.
//
// A confirmed format out of sdp_line_in_range is logged as refused and counts as applied
// (so it is refused once), with the SDP line, the servers and applied_sample_rate left as
// they are. When write_sdp_line fails, the servers and applied_sample_rate are left alone
// too (restarted servers would only read the previous line again) and the format does not
// count as applied, so that the next confirmation, three polls on, tries again.
void poll_audio_format(const BlockView& block, AudioFormat* format);

// Writes "a=rtpmap:98 PCMA/<rate>/<channels>" (codec 2), "...PCMU/..." (codec 3) or
// "...L<bits>/<rate>/<channels>" (any other codec) with a newline into kSdpLinePath, or
// removes the file for codec 8 or 0 channels. The line is written into a new file beside it
// (mode 0644) that is then renamed over it, so that a reader never sees it half written and
// a link planted at its name is replaced, never written through. True when done; false for
// a format out of sdp_line_in_range (nothing is touched), or when a call fails: that call is
// logged ("[DBG] write_sdp_line:<line> <call> ::: <reason>") and the previous file stays.
bool write_sdp_line(const AudioFormat& format);

// Terminates the processes named "rtspServer" and "rtspServerM" (each matched whole) if
// they run. Starting them again is someone else's business.
void stop_rtsp_servers();
