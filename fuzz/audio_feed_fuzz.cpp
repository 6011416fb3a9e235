// libFuzzer target for parse_audio_feed over any format and any datagram: input bytes 0..19
// are the AudioFormat (five u32, host order), the rest the datagram. The datagram lies in a
// heap block of exactly its length and the zeroed spare bytes, the output in exactly
// length + 1 bytes, so that any access beyond either is caught.
#include <cstring>
#include <vector>

#include "core/audio_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    AudioFormat format;
    if (size < sizeof format) return 0;
    std::memcpy(&format, data, sizeof format);
    std::vector<std::uint8_t> in(data + sizeof format, data + size);
    const auto len = static_cast<std::int32_t>(in.size());
    in.resize(in.size() + kFeedSpareBytes);
    std::vector<std::uint8_t> out(in.size() - kFeedSpareBytes + 1);
    std::uint32_t out_len = 0xFFFFFFFF;
    // Converted: a byte per byte, or whole 16-bit samples; refused: no length stored.
    if (parse_audio_feed(in.data(), len, out.data(), &out_len, &format) == 1
            ? out_len != static_cast<std::uint32_t>(format.bits == 8 ? len : (len + 1) / 2 * 2)
            : out_len != 0xFFFFFFFF)
        __builtin_trap();
    return 0;
}
