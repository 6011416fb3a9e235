// AudioFormat: what the audio feed carries, as the format poll last built it. Read by the
// feed parser and both output paths; written only by the format poll.
#pragma once

#include <cstdint>

struct AudioFormat {
    std::uint32_t source;       // 0 HDSDI-I2S, 1 HDMI-SPDIF, 2 HDMI-I2S, 3 ADC-I2S, else Unknown
    std::uint32_t bits;         // 16 or 8
    std::uint32_t codec;        // 1 linear PCM, 2 PCMA, 3 PCMU, 8 no audio
    std::uint32_t channels;     // 1 or 2; 0 when audio is off
    std::uint32_t sample_rate;  // 48000, 44100 or 8000
};

// The service's one instance: all zero until the first poll.
extern AudioFormat current_audio_format;
