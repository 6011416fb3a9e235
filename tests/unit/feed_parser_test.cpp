// The feed converter: worked examples derived by hand, every datagram layout round-tripped
// against the capture stand-in's generator, odd lengths inside the spare bytes, the
// refusal rules and the 63/64 boundary with its message.
#include "core/audio_feed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_gen.h"
#include "core/debug_log.h"

namespace {

// A datagram in a buffer of exactly its length plus the zeroed spare bytes, so that the
// sanitizer build catches any read beyond the contract.
struct Datagram {
    explicit Datagram(std::vector<std::uint8_t> bytes)
        : len(static_cast<std::int32_t>(bytes.size())) {
        bytes.resize(bytes.size() + kFeedSpareBytes, 0);
        buf = std::move(bytes);
    }
    std::vector<std::uint8_t> buf;
    std::int32_t len;
};

struct Result {
    int rc;
    std::uint32_t out_len;
    std::vector<std::uint8_t> out;
};

Result parse(const Datagram& d, const AudioFormat& f) {
    Result r{0, 0xDEADBEEFu,
             std::vector<std::uint8_t>(static_cast<std::size_t>(d.len > 0 ? d.len : 0) + 1, 0xEE)};
    r.rc = parse_audio_feed(d.buf.data(), d.len, r.out.data(), &r.out_len, &f);
    return r;
}

constexpr AudioFormat kAdcStereo48k{3, 16, 1, 2, 48000};
constexpr AudioFormat kSpdifStereo48k{1, 16, 1, 2, 48000};

std::vector<std::uint8_t> padded(std::vector<std::uint8_t> head, std::size_t size) {
    head.resize(size, 0);
    return head;
}

TEST(FeedParser, WorkedExamples) {
    // bit_reverse16 by bit patterns written out by hand.
    struct {
        std::uint16_t in, out;
    } reversals[] = {{0x0001, 0x8000}, {0x8000, 0x0001}, {0x4567, 0xE6A2}, {0x1234, 0x2C48},
                     {0x00FF, 0xFF00}, {0xFFFF, 0xFFFF}, {0x0000, 0x0000}, {0xA5A5, 0xA5A5}};
    for (const auto& r : reversals) EXPECT_EQ(bit_reverse16(r.in), r.out) << std::hex << r.in;

    // b0 is never used, nor the high nibble of b1 or the low nibble of b3.
    const std::uint8_t all_used[4] = {0x00, 0x0F, 0xFF, 0xF0};
    const std::uint8_t none_used[4] = {0xFF, 0xF0, 0x00, 0x0F};
    EXPECT_EQ(spdif_word_to_sample(all_used), -1);
    EXPECT_EQ(spdif_word_to_sample(none_used), 0);

    // HDMI-SPDIF: 12 34 56 78 -> v = 0x4567 -> E6 A2. The next step reads 56 78 00 00:
    // v = 0x8000 -> 00 01.
    Result r = parse(Datagram(padded({0x12, 0x34, 0x56, 0x78}, 64)), kSpdifStereo48k);
    ASSERT_EQ(r.rc, 1);
    ASSERT_EQ(r.out_len, 64u);
    EXPECT_EQ(std::vector<std::uint8_t>(r.out.begin(), r.out.begin() + 6),
              (std::vector<std::uint8_t>{0xE6, 0xA2, 0x00, 0x01, 0x00, 0x00}));

    // ADC 16-bit stereo: 01 02 03 04 -> 02 01 04 03.
    r = parse(Datagram(padded({0x01, 0x02, 0x03, 0x04}, 64)), kAdcStereo48k);
    ASSERT_EQ(r.rc, 1);
    ASSERT_EQ(r.out_len, 64u);
    EXPECT_EQ(std::vector<std::uint8_t>(r.out.begin(), r.out.begin() + 4),
              (std::vector<std::uint8_t>{0x02, 0x01, 0x04, 0x03}));
}

TEST(FeedParser, EveryLayoutRoundTripsTheGeneratedSamples) {
    struct Case {
        capture::Layout layout;
        std::uint32_t source;  // every source that reads the layout
        std::uint32_t channels;
        std::uint32_t rate;
    } cases[] = {
        {capture::Layout::le16, 0, 2, 48000},  {capture::Layout::le16, 2, 2, 44100},
        {capture::Layout::le16, 3, 1, 8000},   {capture::Layout::spdif, 1, 2, 48000},
        {capture::Layout::spdif, 1, 1, 44100}, {capture::Layout::u8, 3, 2, 48000},
        {capture::Layout::u8, 0, 1, 8000},     {capture::Layout::alaw, 3, 1, 8000},
        {capture::Layout::ulaw, 2, 2, 8000},
    };
    for (const Case& c : cases) {
        const capture::LayoutInfo& info = capture::layout_info(c.layout);
        for (const std::size_t size : {std::size_t{64}, std::size_t{1920}, std::size_t{3080}}) {
            SCOPED_TRACE(std::string(info.name) + " source " + std::to_string(c.source) + " size " +
                         std::to_string(size));
            const std::size_t count = size / static_cast<std::size_t>(info.wire_bytes);
            std::vector<std::int16_t> samples(count);
            for (std::size_t k = 0; k < count; ++k)
                samples[k] = capture::tone_sample(997.0, 0.9, c.rate, k / c.channels,
                                                  static_cast<std::uint32_t>(k % c.channels));
            std::vector<std::uint8_t> wire(size), expected(size);
            capture::encode_datagram(c.layout, samples.data(), count, wire.data(), expected.data());

            const AudioFormat f{c.source, info.bits, info.codec, c.channels, c.rate};
            const Result r = parse(Datagram(wire), f);
            ASSERT_EQ(r.rc, 1);
            ASSERT_EQ(r.out_len, size);
            EXPECT_EQ(
                std::vector<std::uint8_t>(r.out.begin(), r.out.begin() + static_cast<long>(size)),
                expected);
            EXPECT_EQ(r.out[size], 0xEE) << "wrote past the block";

            if (info.bits == 16) {
                // In network order, the tone itself; in HDMI-SPDIF the last word of a
                // datagram keeps only bits 3..0 of its sample.
                for (std::size_t k = 0; k < count; ++k) {
                    const auto got =
                        static_cast<std::int16_t>(r.out[2 * k] * 256 + r.out[2 * k + 1]);
                    const bool cut = c.layout == capture::Layout::spdif && k + 1 == count;
                    ASSERT_EQ(got, cut ? samples[k] & 0x000F : samples[k]) << "sample " << k;
                }
            }
        }
    }
}

TEST(FeedParser, OddLengthsReadOnlyTheZeroedSpareBytes) {
    std::vector<std::uint8_t> bytes(65);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0x40 + i);

    // 16-bit little-endian: the last step pairs byte 64 with a spare zero.
    Result r = parse(Datagram(bytes), kAdcStereo48k);
    ASSERT_EQ(r.rc, 1);
    ASSERT_EQ(r.out_len, 66u);
    EXPECT_EQ(r.out[64], 0x00);
    EXPECT_EQ(r.out[65], 0x80);  // byte 64 = 0x40 + 64
    EXPECT_EQ(r.out[0], 0x41);
    EXPECT_EQ(r.out[1], 0x40);

    // HDMI-SPDIF: the step at 62 reads 7E 0A BC 00 -> v = 0xABC0 -> 03 D5; the step at 64
    // reads BC 00 00 00 -> 00 00.
    bytes[63] = 0x0A;
    bytes[64] = 0xBC;
    r = parse(Datagram(bytes), kSpdifStereo48k);
    ASSERT_EQ(r.rc, 1);
    ASSERT_EQ(r.out_len, 66u);
    EXPECT_EQ(r.out[62], 0x03);
    EXPECT_EQ(r.out[63], 0xD5);
    EXPECT_EQ(r.out[64], 0x00);
    EXPECT_EQ(r.out[65], 0x00);

    // 8 bits: exactly the datagram.
    r = parse(Datagram(bytes), AudioFormat{3, 8, 3, 1, 8000});
    ASSERT_EQ(r.rc, 1);
    ASSERT_EQ(r.out_len, 65u);
    EXPECT_EQ(std::vector<std::uint8_t>(r.out.begin(), r.out.begin() + 65), bytes);

    // The largest datagram, odd or even, stays inside the receive buffer's contract.
    for (const std::int32_t len : {kFeedMaxDatagram - 1, kFeedMaxDatagram}) {
        r = parse(Datagram(std::vector<std::uint8_t>(static_cast<std::size_t>(len), 0x11)),
                  kSpdifStereo48k);
        ASSERT_EQ(r.rc, 1);
        EXPECT_EQ(r.out_len, static_cast<std::uint32_t>(len + (len & 1)));
    }
}

TEST(FeedParser, RefusesShortDatagramsAndFormatsItCannotCarry) {
    dbg_to_screen();
    const std::vector<std::uint8_t> bytes(64, 0x33);

    struct Length {
        std::int32_t len;
        const char* message;
    } lengths[] = {{63, "invalid audio length(63)\n"},
                   {0, "invalid audio length(0)\n"},
                   {1, "invalid audio length(1)\n"},
                   {-1, "invalid audio length(-1)\n"},
                   {64, ""}};
    for (const Length& l : lengths) {
        SCOPED_TRACE(l.len);
        Datagram d(bytes);
        d.len = l.len;
        testing::internal::CaptureStdout();
        Result r{0, 0xDEADBEEFu, std::vector<std::uint8_t>(65, 0xEE)};
        r.rc = parse_audio_feed(d.buf.data(), d.len, r.out.data(), &r.out_len, &kAdcStereo48k);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), l.message);
        EXPECT_EQ(r.rc, l.len >= 64 ? 1 : 0);
        EXPECT_EQ(r.out_len, l.len >= 64 ? 64u : 0xDEADBEEFu);
    }

    struct Format {
        const char* why;
        AudioFormat f;
        int rc;
    } formats[] = {
        {"before the first poll", {0, 0, 0, 0, 0}, 0},
        {"unknown input", {255, 16, 1, 2, 48000}, 0},
        {"source 4", {4, 16, 1, 2, 48000}, 0},
        {"32000 Hz", {3, 16, 1, 2, 32000}, 0},
        {"no rate", {3, 16, 1, 2, 0}, 0},
        {"audio off", {3, 16, 1, 0, 48000}, 0},
        {"three channels", {3, 16, 1, 3, 48000}, 0},
        {"24 bits", {3, 24, 1, 2, 48000}, 0},
        {"no bits", {3, 0, 1, 2, 48000}, 0},
        {"no audio", {3, 16, 8, 2, 48000}, 0},
        {"44100 Hz passes", {2, 16, 1, 2, 44100}, 1},
        {"8000 Hz PCMA", {0, 8, 2, 1, 8000}, 1},
        {"codec not consulted beyond 8", {1, 16, 3, 1, 48000}, 1},
        {"codec 0", {3, 16, 0, 2, 48000}, 1},
    };
    for (const Format& c : formats) {
        SCOPED_TRACE(c.why);
        testing::internal::CaptureStdout();
        const Result r = parse(Datagram(bytes), c.f);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "refusals of a format are silent";
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.out_len, c.rc ? 64u : 0xDEADBEEFu);
    }
}

}  // namespace
