#include "capture_gen.h"

#include <cmath>
#include <cstring>

namespace capture {

namespace {

// sin(x) and cos(x) for 0 <= x <= pi/2 by their Taylor series (error below 1e-17), so that
// no libm call is needed: glibc's sin sets the rounding mode with an instruction that the
// 32-bit PowerPC emulator running the appliance tests does not know.
double sin_quarter(double x) {
    const double x2 = x * x;
    double term = x, sum = x;
    for (int k = 1; k <= 11; ++k) {
        term = -term * x2 / ((2.0 * k) * (2.0 * k + 1));
        sum += term;
    }
    return sum;
}
double cos_quarter(double x) {
    const double x2 = x * x;
    double term = 1.0, sum = 1.0;
    for (int k = 1; k <= 11; ++k) {
        term = -term * x2 / ((2.0 * k - 1) * (2.0 * k));
        sum += term;
    }
    return sum;
}

// sin(2 pi t) with t given as a quadrant 0..3 and a fraction 0 <= f < 1 within it: the
// quarter points come out exactly 0, 1 and -1.
double sin_by_quadrant(unsigned quadrant, double f) {
    const double x = f * 1.5707963267948966192313216916398;
    switch (quadrant & 3u) {
        case 0:
            return sin_quarter(x);
        case 1:
            return cos_quarter(x);
        case 2:
            return -sin_quarter(x);
        default:
            return -cos_quarter(x);
    }
}

std::uint8_t linear_to_u8(std::int16_t sample) {
    return static_cast<std::uint8_t>((sample >> 8) + 128);
}
std::int16_t u8_to_linear(std::uint8_t byte) {
    return static_cast<std::int16_t>((byte - 128) * 256);
}

// Bit i to bit 15 - i, one bit at a time.
std::uint16_t reverse_bits16(std::uint16_t v) {
    std::uint16_t r = 0;
    for (int i = 0; i < 16; ++i)
        if (v & (1u << i)) r = static_cast<std::uint16_t>(r | (1u << (15 - i)));
    return r;
}

// Bytes of the HDMI-SPDIF layout that no step reads: the first byte and the high nibble of
// the second. Filled with a pattern so that a converter that did read them would show.
constexpr std::uint8_t kSpdifFiller = 0xA5;

std::uint32_t get_le16(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8));
}
std::uint32_t get_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

const LayoutInfo& layout_info(Layout layout) {
    for (const LayoutInfo& info : kLayouts)
        if (info.layout == layout) return info;
    return kLayouts[0];
}

const LayoutInfo* find_layout(const std::string& name) {
    for (const LayoutInfo& info : kLayouts)
        if (name == info.name) return &info;
    return nullptr;
}

std::int16_t tone_sample(double freq_hz, double amplitude, std::uint32_t rate, std::uint64_t frame,
                         std::uint32_t channel) {
    double level;
    if (freq_hz == static_cast<double>(static_cast<std::uint32_t>(freq_hz))) {
        // A whole frequency: the phase in quarter periods, exactly, in integers, so that a
        // long run loses no precision. Position = (4 f n + channel * rate) / (4 rate) turns.
        const std::uint64_t den = 4ull * rate;
        const std::uint64_t num =
            ((frame % den) * (4ull * static_cast<std::uint32_t>(freq_hz) % den) +
             (channel == 1 ? rate : 0)) %
            den;
        level = sin_by_quadrant(static_cast<unsigned>(num / rate),
                                static_cast<double>(num % rate) / static_cast<double>(rate));
    } else {
        double turns = freq_hz * static_cast<double>(frame) / rate + (channel == 1 ? 0.25 : 0.0);
        turns -= std::floor(turns);
        const double quarters = turns * 4.0;
        const double quadrant = std::floor(quarters);
        level = sin_by_quadrant(static_cast<unsigned>(quadrant), quarters - quadrant);
    }
    const double v = std::round(amplitude * 32767.0 * level);
    return static_cast<std::int16_t>(v > 32767.0 ? 32767 : v < -32768.0 ? -32768 : v);
}

std::uint8_t linear_to_alaw(std::int16_t sample) {
    static constexpr int kSegEnd[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int v = sample >> 3;
    int mask = 0xD5;
    if (v < 0) {
        mask = 0x55;
        v = -v - 1;
    }
    int seg = 0;
    while (seg < 8 && v > kSegEnd[seg]) ++seg;
    if (seg >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
    int code = seg << 4;
    code |= seg < 2 ? (v >> 1) & 0x0F : (v >> seg) & 0x0F;
    return static_cast<std::uint8_t>(code ^ mask);
}

std::uint8_t linear_to_ulaw(std::int16_t sample) {
    static constexpr int kSegEnd[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
    constexpr int kBias = 0x21;  // 0x84 at 16 bits
    constexpr int kClip = 8159;
    // Negative samples by one's complement, as in the ITU-T reference coder: -1 codes
    // like 0 with the sign bit clear.
    int v = sample >> 2;
    int mask = 0xFF;
    if (v < 0) {
        v = -v - 1;
        mask = 0x7F;
    }
    if (v > kClip) v = kClip;
    v += kBias;
    int seg = 0;
    while (seg < 8 && v > kSegEnd[seg]) ++seg;
    if (seg >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
    const int code = (seg << 4) | ((v >> (seg + 1)) & 0x0F);
    return static_cast<std::uint8_t>(code ^ mask);
}

void encode_datagram(Layout layout, const std::int16_t* samples, std::size_t count,
                     std::uint8_t* wire, std::uint8_t* expected) {
    switch (layout) {
        case Layout::le16:
            for (std::size_t k = 0; k < count; ++k) {
                const auto s = static_cast<std::uint16_t>(samples[k]);
                wire[2 * k] = static_cast<std::uint8_t>(s & 0xFF);
                wire[2 * k + 1] = static_cast<std::uint8_t>(s >> 8);
                expected[2 * k] = static_cast<std::uint8_t>(s >> 8);
                expected[2 * k + 1] = static_cast<std::uint8_t>(s & 0xFF);
            }
            return;
        case Layout::spdif: {
            if (count == 0) return;
            const std::size_t size = 2 * count;
            std::memset(wire, 0, size);
            wire[0] = kSpdifFiller;
            wire[1] = kSpdifFiller & 0xF0;
            for (std::size_t k = 0; k < count; ++k) {
                const std::uint16_t w = reverse_bits16(static_cast<std::uint16_t>(samples[k]));
                wire[2 * k + 1] = static_cast<std::uint8_t>(wire[2 * k + 1] | (w >> 12));
                if (2 * k + 2 < size) wire[2 * k + 2] = static_cast<std::uint8_t>((w >> 4) & 0xFF);
                if (2 * k + 3 < size)
                    wire[2 * k + 3] =
                        static_cast<std::uint8_t>(wire[2 * k + 3] | ((w & 0x0F) << 4));
                const auto got = static_cast<std::uint16_t>(
                    k + 1 < count ? static_cast<std::uint16_t>(samples[k])
                                  : static_cast<std::uint16_t>(samples[k]) & 0x000F);
                expected[2 * k] = static_cast<std::uint8_t>(got >> 8);
                expected[2 * k + 1] = static_cast<std::uint8_t>(got & 0xFF);
            }
            return;
        }
        case Layout::u8:
        case Layout::alaw:
        case Layout::ulaw:
            for (std::size_t k = 0; k < count; ++k) {
                const std::uint8_t b = layout == Layout::u8     ? linear_to_u8(samples[k])
                                       : layout == Layout::alaw ? linear_to_alaw(samples[k])
                                                                : linear_to_ulaw(samples[k]);
                wire[k] = b;
                expected[k] = b;
            }
            return;
    }
}

std::uint64_t schedule_ns(std::uint64_t bytes_before, std::uint64_t bytes_per_sec) {
    return bytes_before / bytes_per_sec * 1000000000u +
           bytes_before % bytes_per_sec * 1000000000u / bytes_per_sec;
}

bool parse_wav(const std::vector<std::uint8_t>& file, WavInfo* info, std::string* error) {
    const std::uint8_t* p = file.data();
    const std::size_t size = file.size();
    if (size < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0) {
        *error = "not a RIFF/WAVE file";
        return false;
    }
    bool have_fmt = false;
    std::size_t pos = 12;
    // Every chunk advances pos by at least 8 bytes, so the walk ends with the file.
    while (pos + 8 <= size) {
        const std::uint8_t* chunk = p + pos;
        const std::size_t body = pos + 8;
        const std::size_t length = get_le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length < 16 || body + length > size) {
                *error = "truncated fmt chunk";
                return false;
            }
            std::uint32_t format = get_le16(p + body);
            if (format == 0xFFFE) {  // WAVE_FORMAT_EXTENSIBLE: the sub-format GUID decides
                format = length >= 40 ? get_le16(p + body + 24) : 0;
            }
            info->channels = get_le16(p + body + 2);
            info->sample_rate = get_le32(p + body + 4);
            const std::uint32_t block_align = get_le16(p + body + 12);
            info->bits = get_le16(p + body + 14);
            if (format != 1) {
                *error = "not PCM (format " + std::to_string(format) + "); only PCM is sent";
                return false;
            }
            if (info->bits != 8 && info->bits != 16) {
                *error = std::to_string(info->bits) + "-bit samples; only 8 and 16 bits are sent";
                return false;
            }
            if (info->channels != 1 && info->channels != 2) {
                *error =
                    std::to_string(info->channels) + " channels; only mono and stereo are sent";
                return false;
            }
            if (info->sample_rate == 0 || info->sample_rate > 384000) {
                *error = "sample rate " + std::to_string(info->sample_rate) + " out of range";
                return false;
            }
            if (block_align != info->channels * info->bits / 8) {
                *error = "block alignment " + std::to_string(block_align) + " does not match";
                return false;
            }
            have_fmt = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!have_fmt) {
                *error = "data chunk before fmt chunk";
                return false;
            }
            const std::size_t frame = info->channels * info->bits / 8;
            const std::size_t room = size - body;
            const std::size_t bytes = length < room ? length : room;
            info->data_offset = body;
            info->data_bytes = bytes - bytes % frame;
            return true;
        }
        if (length > size - body) break;
        pos = body + length + (length & 1);  // chunks are padded to an even size
    }
    *error = have_fmt ? "no data chunk" : "no fmt chunk";
    return false;
}

std::vector<std::int16_t> pcm_to_samples(const std::uint8_t* bytes, std::size_t size,
                                         std::uint32_t bits) {
    std::vector<std::int16_t> samples;
    if (bits == 8) {
        samples.reserve(size);
        for (std::size_t i = 0; i < size; ++i) samples.push_back(u8_to_linear(bytes[i]));
    } else {
        samples.reserve(size / 2);
        for (std::size_t i = 0; i + 1 < size; i += 2)
            samples.push_back(static_cast<std::int16_t>(get_le16(bytes + i)));
    }
    return samples;
}

std::size_t fill_samples(SampleSource& src, const ToneSpec& tone, bool loop, std::int16_t* out,
                         std::size_t count) {
    if (src.is_tone) {
        for (std::size_t k = 0; k < count; ++k) {
            const auto channel = static_cast<std::uint32_t>(src.next);
            out[k] = tone_sample(tone.hz, tone.amplitude, tone.rate, src.frame, channel);
            if (++src.next == tone.channels) {
                src.next = 0;
                ++src.frame;
            }
        }
        return count;
    }
    std::size_t k = 0;
    // A looped file restarts at most once per sample wanted, so this ends.
    while (k < count) {
        if (src.next == src.samples.size()) {
            if (!loop) break;
            src.next = 0;
        }
        out[k++] = src.samples[src.next++];
    }
    return k;
}

}  // namespace capture
