// What the capture stand-in sends: a tone or PCM from a file, laid out as the capture
// process lays out each kind of audio feed datagram, together with the exact bytes the
// service should make of it. Used by sim_capture and the unit tests. Written from the
// datagram layout alone; it does not use the service's converter. Pure: no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace capture {

// Datagram layouts of the feed, with the AudioFormat fields under which the service reads
// each one.
enum class Layout {
    le16,   // 16-bit little-endian (HDSDI-I2S, HDMI-I2S, ADC-I2S)
    spdif,  // HDMI-SPDIF: one sample per 2-byte step, from the 4 bytes starting there
    u8,     // 8-bit linear, offset 128
    alaw,   // 8-bit G.711 A-law
    ulaw,   // 8-bit G.711 mu-law
};

struct LayoutInfo {
    Layout layout;
    const char* name;
    int wire_bytes;        // bytes per sample in the datagram
    std::uint32_t source;  // AudioFormat fields the service needs to read it
    std::uint32_t bits;
    std::uint32_t codec;
};

inline constexpr LayoutInfo kLayouts[] = {
    {Layout::le16, "le16", 2, 3, 16, 1}, {Layout::spdif, "spdif", 2, 1, 16, 1},
    {Layout::u8, "u8", 1, 3, 8, 1},      {Layout::alaw, "alaw", 1, 3, 8, 2},
    {Layout::ulaw, "ulaw", 1, 3, 8, 3},
};

const LayoutInfo& layout_info(Layout layout);
const LayoutInfo* find_layout(const std::string& name);  // null for an unknown name

// A sine tone: left channel sine, right channel cosine (90 degrees ahead) so that a
// channel swap shows. amplitude is a fraction of full scale. Computed without libm's sin
// (the appliance tests' emulator lacks an instruction glibc's sin uses), exact at the
// quarter periods, and without drift over long runs for a whole frequency.
std::int16_t tone_sample(double freq_hz, double amplitude, std::uint32_t rate, std::uint64_t frame,
                         std::uint32_t channel);

// G.711 encoders on the classic segment tables: A-law from the top 13 bits, mu-law from
// the top 14 bits of a 16-bit sample.
std::uint8_t linear_to_alaw(std::int16_t sample);
std::uint8_t linear_to_ulaw(std::int16_t sample);

// Lays out count samples as one datagram in wire[] (count * wire_bytes bytes) and writes
// to expected[] what the service must make of it: 16-bit samples big-endian, 8-bit bytes
// as sent.
//
// HDMI-SPDIF: the step at byte 2k reads b1 = wire[2k+1], b2 = wire[2k+2], b3 = wire[2k+3]
// and takes v = (b1 & 0x0F) << 12 | b2 << 4 | b3 >> 4, sample = reverse(v). With
// w = reverse(sample): the low nibble of wire[2k+1] is w >> 12, wire[2k+2] is bits 11..4
// of w, the high nibble of wire[2k+3] is w & 0x0F. Sample k+1 owns the low nibble of
// wire[2k+3] and all of wire[2k+4], so consecutive words overlap without conflict. The
// last sample's word runs 2 bytes past the datagram, into the receiver's zeroed spare
// bytes: only its top nibble of w (bits 3..0 of the sample) arrives, so the service
// recovers sample & 0x000F there, and that is what expected[] holds.
void encode_datagram(Layout layout, const std::int16_t* samples, std::size_t count,
                     std::uint8_t* wire, std::uint8_t* expected);

// Real-time pace: datagram k leaves when the audio of all earlier datagrams has played,
// bytes_before / bytes_per_sec seconds after the start (in ns; exact for days of audio).
// An absolute schedule, so the time spent sending never accumulates as drift.
std::uint64_t schedule_ns(std::uint64_t bytes_before, std::uint64_t bytes_per_sec);

// A WAV file's PCM: what the RIFF chunks say and where the samples are.
struct WavInfo {
    std::uint32_t channels = 0;
    std::uint32_t sample_rate = 0;
    std::uint32_t bits = 0;
    std::size_t data_offset = 0;
    std::size_t data_bytes = 0;  // whole sample frames only
};

// Walks the RIFF chunks of a WAV file. Accepts PCM (format 1, or WAVE_FORMAT_EXTENSIBLE
// with the PCM sub-format) of 8 or 16 bits, mono or stereo; anything else is refused with
// a reason in *error. A data size beyond the end of the file (streamed WAVs) is cut to
// what the file holds.
bool parse_wav(const std::vector<std::uint8_t>& file, WavInfo* info, std::string* error);

// The PCM of a WAV file (or of a raw file of the given width) as 16-bit samples.
std::vector<std::int16_t> pcm_to_samples(const std::uint8_t* bytes, std::size_t size,
                                         std::uint32_t bits);

// The samples sent, interleaved by channel: a tone computed as it goes, or a file's
// samples loaded once.
struct SampleSource {
    bool is_tone = true;
    std::vector<std::int16_t> samples;
    std::size_t next = 0;     // next file sample, or next channel of the tone's frame
    std::uint64_t frame = 0;  // tone position, in sample frames
};

struct ToneSpec {
    double hz;
    double amplitude;
    std::uint32_t rate;
    std::uint32_t channels;
};

// Fills up to count samples; fewer only when a file without `loop` runs out.
std::size_t fill_samples(SampleSource& src, const ToneSpec& tone, bool loop, std::int16_t* out,
                         std::size_t count);

}  // namespace capture
