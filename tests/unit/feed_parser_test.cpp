// The feed converter: worked examples, every layout round-tripped against the capture
// stand-in's generator, odd lengths inside the spare bytes, and the refusal rules.
#include "core/audio_feed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "capture_gen.h"
#include "core/debug_log.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Result {
    int rc;
    std::uint32_t out_len;
    Bytes out;  // the whole output buffer, 0xEE where nothing was written
};

// Parses `bytes` from a buffer of their length plus the zeroed spare bytes (the sanitizer
// catches any read beyond); `len` may claim another length. The output has len + 1 bytes.
Result parse(Bytes bytes, const AudioFormat& f, std::int32_t len = -2) {
    if (len == -2) len = static_cast<std::int32_t>(bytes.size());
    bytes.resize(bytes.size() + kFeedSpareBytes, 0);
    Result r{0, 0xDEADBEEFu, Bytes(static_cast<std::size_t>(std::max(len, 0)) + 1, 0xEE)};
    r.rc = parse_audio_feed(bytes.data(), len, r.out.data(), &r.out_len, &f);
    return r;
}

constexpr AudioFormat kAdcStereo48k{3, 16, 1, 2, 48000};
constexpr AudioFormat kSpdifStereo48k{1, 16, 1, 2, 48000};

TEST(FeedParser, WorkedExamplesAndOddLengthsInsideTheSpareBytes) {
    Bytes ramp(65);  // 40 41 .. 80
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(0x40 + i);
    Bytes ramp_spdif = ramp;
    ramp_spdif[63] = 0x0A;
    ramp_spdif[64] = 0xBC;
    Bytes spdif(64, 0), adc(64, 0);
    std::memcpy(spdif.data(), "\x12\x34\x56\x78", 4);
    std::memcpy(adc.data(), "\x01\x02\x03\x04", 4);
    // Datagram, format, output length, and the output bytes expected from an offset on.
    // clang-format off
    const std::tuple<Bytes, AudioFormat, std::uint32_t, std::size_t, Bytes> rows[] = {
        // HDMI-SPDIF: 12 34 56 78 -> 0x4567 -> E6 A2; the next step reads 56 78 00 00 -> 00 01.
        {spdif, kSpdifStereo48k, 64, 0, {0xE6, 0xA2, 0x00, 0x01, 0x00, 0x00}},
        {adc, kAdcStereo48k, 64, 0, {0x02, 0x01, 0x04, 0x03}},
        // 16-bit little-endian: the last step pairs byte 64 (0x80) with a spare zero.
        {ramp, kAdcStereo48k, 66, 62, {0x7F, 0x7E, 0x00, 0x80}},
        // HDMI-SPDIF: 7E 0A BC 00 at 62 -> 0xABC0 -> 03 D5; BC 00 00 00 at 64 -> 00 00.
        {ramp_spdif, kSpdifStereo48k, 66, 62, {0x03, 0xD5, 0x00, 0x00}},
        {ramp, {3, 8, 3, 1, 8000}, 65, 0, ramp},  // 8 bits: exactly the datagram
        // The largest datagram, odd or even, stays inside the receive buffer's contract.
        {Bytes(kFeedMaxDatagram - 1, 0x11), kSpdifStereo48k, kFeedMaxDatagram, 0, {}},
        {Bytes(kFeedMaxDatagram, 0x11), kSpdifStereo48k, kFeedMaxDatagram, 0, {}}};
    // clang-format on
    for (const auto& [in, format, out_len, from, want] : rows) {
        const Result r = parse(in, format);
        const auto at = r.out.begin() + static_cast<long>(from);
        EXPECT_EQ(std::tuple(r.rc, r.out_len, Bytes(at, at + static_cast<long>(want.size()))),
                  std::tuple(1, out_len, want))
            << in.size() << " bytes from source " << format.source;
    }
}

TEST(FeedParser, EveryLayoutRoundTripsTheGeneratedSamples) {
    using capture::Layout;
    // Every source that reads each layout, with channel counts and rates.
    const std::tuple<Layout, std::uint32_t, std::uint32_t, std::uint32_t> cases[] = {
        {Layout::le16, 0, 2, 48000},  {Layout::le16, 2, 2, 44100},  {Layout::le16, 3, 1, 8000},
        {Layout::spdif, 1, 2, 48000}, {Layout::spdif, 1, 1, 44100}, {Layout::u8, 3, 2, 48000},
        {Layout::u8, 0, 1, 8000},     {Layout::alaw, 3, 1, 8000},   {Layout::ulaw, 2, 2, 8000}};
    for (const auto& [layout, source, channels, rate] : cases) {
        const capture::LayoutInfo& info = capture::layout_info(layout);
        for (const std::size_t size : {64, 1920, 3080}) {
            SCOPED_TRACE(std::string(info.name) + " source " + std::to_string(source) + " size " +
                         std::to_string(size));
            const std::size_t count = size / static_cast<std::size_t>(info.wire_bytes);
            std::vector<std::int16_t> samples(count);
            for (std::size_t k = 0; k < count; ++k)
                samples[k] = capture::tone_sample(997.0, 0.9, rate, k / channels,
                                                  static_cast<std::uint32_t>(k % channels));
            Bytes wire(size), expected(size);
            capture::encode_datagram(layout, samples.data(), count, wire.data(), expected.data());

            const Result r = parse(wire, {source, info.bits, info.codec, channels, rate});
            expected.push_back(0xEE);  // nothing written past the block
            EXPECT_EQ(std::tuple(r.rc, r.out_len, r.out), std::tuple(1, size, expected));
        }
    }
}

TEST(FeedParser, RefusesShortDatagramsAndFormatsItCannotCarry) {
    dbg_to_screen();
    // Short datagrams are refused with their length; formats it cannot carry silently (no
    // poll yet, no input, unknown source, other rates, no or 3 channels, 24 or no bits, codec 8).
    const AudioFormat adc = kAdcStereo48k;
    // clang-format off
    const std::tuple<std::int32_t, AudioFormat, int, const char*> rows[] = {
        {63, adc, 0, "invalid audio length(63)\n"}, {0, adc, 0, "invalid audio length(0)\n"},
        {1, adc, 0, "invalid audio length(1)\n"},   {-1, adc, 0, "invalid audio length(-1)\n"},
        {64, adc, 1, ""},                           {64, {0, 0, 0, 0, 0}, 0, ""},
        {64, {255, 16, 1, 2, 48000}, 0, ""},  {64, {4, 16, 1, 2, 48000}, 0, ""},
        {64, {3, 16, 1, 2, 32000}, 0, ""},    {64, {3, 16, 1, 2, 0}, 0, ""},
        {64, {3, 16, 1, 0, 48000}, 0, ""},    {64, {3, 16, 1, 3, 48000}, 0, ""},
        {64, {3, 24, 1, 2, 48000}, 0, ""},    {64, {3, 0, 1, 2, 48000}, 0, ""},
        {64, {3, 16, 8, 2, 48000}, 0, ""},    {64, {2, 16, 1, 2, 44100}, 1, ""},
        {64, {0, 8, 2, 1, 8000}, 1, ""},      {64, {1, 16, 3, 1, 48000}, 1, ""},
        {64, {3, 16, 0, 2, 48000}, 1, ""}};
    // clang-format on
    for (const auto& [len, format, rc, message] : rows) {
        SCOPED_TRACE(testing::Message()
                     << len << " bytes, format " << format.source << " " << format.bits << " "
                     << format.codec << " " << format.channels << " " << format.sample_rate);
        testing::internal::CaptureStdout();
        const Result r = parse(Bytes(64, 0x33), format, len);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), message);
        EXPECT_EQ(std::pair(r.rc, r.out_len), std::pair(rc, rc ? 64u : 0xDEADBEEFu));
    }
}

}  // namespace
