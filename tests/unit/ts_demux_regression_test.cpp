// Hostile packets and units whose fields point outside the packet or the reassembled unit:
// each is refused (never read beyond; the sanitizer build fences the unit's end) with the
// message of its step, and good input after it still comes through. Every crash the
// fuzzer finds becomes a case here. Bytes are laid out by hand from the field positions of
// ISO/IEC 13818-1.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "ts/lpcm_pes.h"
#include "ts/psi_tables.h"
#include "ts/ts_demux.h"
#include "ts/ts_packet.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// One packet: sync, three header bytes, then 0xFF, with bytes put at their positions.
Bytes packet(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::size_t at = 4,
             const Bytes& bytes = {}) {
    Bytes p(188, 0xFF);
    p[0] = 0x47, p[1] = b1, p[2] = b2, p[3] = b3;
    for (std::size_t i = 0; i < bytes.size(); ++i) p[at + i] = bytes[i];
    return p;
}

Bytes put(Bytes p, std::size_t at, const Bytes& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) p[at + i] = bytes[i];
    return p;
}

Bytes pes_packets(std::uint16_t pid, const Bytes& pes) {
    static std::uint8_t counter = 0;
    static std::uint32_t sequence = 0;
    Bytes out(pes_ts_size(static_cast<std::uint32_t>(pes.size())));
    std::uint32_t len = 0;
    EXPECT_EQ(PES2TS(pid, &counter, pes.data(), static_cast<std::uint32_t>(pes.size()), out.data(),
                     &len, &sequence),
              1);
    return out;
}

Bytes tables() {
    init_psi_tables();
    Bytes out(376);
    std::uint32_t len = 0;
    psi_to_ts(out.data(), &len);
    return out;
}

struct Case {
    const char* name;
    Bytes stream;
    int ret;
    std::string out;
};

void run_cases(const std::vector<Case>& cases) {
    dbg_to_screen();
    for (const Case& c : cases) {
        DemuxResult r{};
        std::uint32_t errors = 0;
        testing::internal::CaptureStdout();
        const int ret =
            demux_ts_buffer(c.stream.data(), static_cast<int>(c.stream.size()), &r, &errors);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.name;
        EXPECT_EQ(ret, c.ret) << c.name;
        EXPECT_EQ(errors, 0u) << c.name;
    }
}

// A whole stereo block of 8 bytes on the audio PID, to show the demultiplexer goes on.
void expect_good_audio() {
    init_pes_header();
    const std::uint8_t pcm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t out[188];
    ASSERT_EQ(pcm_to_ts(2, pcm, 8, out), 188u);
    DemuxResult r{};
    ASSERT_EQ(demux_ts_buffer(out, 188, &r, nullptr), 1);
    EXPECT_EQ(Bytes(r.audio_pcm, r.audio_pcm + r.audio_pcm_size), Bytes(pcm, pcm + 8));
}

TEST(TsDemuxRegression, HostileFieldsAreRefused) {
    // Pointer_fields past the payload, PAT/PMT units shorter than their fixed headers,
    // adaptation fields beyond byte 187, private data and extension flags past the packet,
    // a PES start too short for its PES_packet_length; PES headers whose flagged fields or
    // PES_header_data_length run past the unit, a video ES shorter than an AUD.
    const std::string kTs = "fail to char2tsStruct offset(00000000)\n";
    const auto refused = [](int length) {
        return "fail to char2pesStruct PID(164) byte-" + std::to_string(length) + "\n";
    };
    run_cases({
        {"pointer_field past the payload", packet(0x40, 0x00, 0x10, 4, {183}), 0, ""},
        {"pointer_field leaves 2 bytes", packet(0x40, 0x00, 0x10, 4, {181}), 0, ""},
        {"PAT unit of 5 bytes, section_length 0",
         put(packet(0x40, 0x00, 0x11, 4, {178}), 183, {0x00, 0xB0, 0x00}), 0,
         "fail to char2PAT soffset(00000000)\nfail to processSection\n"},
        {"tables", tables(), 0, ""},
        {"PMT unit of 9 bytes, section_length 0",
         put(packet(0x40, 0x42, 0x11, 4, {174}), 179, {0x02, 0xB0, 0x00}), 0,
         "fail to char2PMT\nfail to processSection\n"},
        {"adaptation_field_length 184", packet(0x41, 0x64, 0x30, 4, {184}), 0, kTs},
        {"adaptation_field_length 255", packet(0x41, 0x64, 0x20, 4, {255}), 0, kTs},
        {"private data of 200 bytes", packet(0x41, 0x64, 0x30, 4, {183, 0x02, 200}), 0, kTs},
        {"extension flags beyond byte 187", packet(0x41, 0x64, 0x30, 4, {183, 0x03, 180}), 0, kTs},
        {"PES start with 5 payload bytes",
         put(packet(0x41, 0x64, 0x30, 4, {178, 0x00}), 183, {0x00, 0x00, 0x01, 0xBD, 0x00}), 0, ""},
        {"header data beyond the unit",
         pes_packets(kAudioPid, {0, 0, 1, 0xBD, 0, 6, 0x81, 0x00, 200, 1, 2, 3}), 0, refused(12)},
        {"PTS beyond the unit", pes_packets(kAudioPid, {0, 0, 1, 0xBD, 0, 4, 0x81, 0x80, 5, 0x21}),
         0, refused(10)},
        {"PES_private_data beyond the unit",
         pes_packets(kAudioPid, {0, 0, 1, 0xBD, 0, 10, 0x81, 0x01, 17, 0x80, 1, 2, 3, 4, 5, 6}), 0,
         refused(16)},
        {"pack_header length byte beyond the unit",
         pes_packets(kAudioPid, {0, 0, 1, 0xBD, 0, 4, 0x81, 0x01, 1, 0x40}), 0, refused(10)},
        {"extension_2 length byte beyond the unit",
         pes_packets(kAudioPid, {0, 0, 1, 0xBD, 0, 5, 0x81, 0x01, 2, 0x31, 0x00}), 0, refused(11)},
        {"three header bytes", pes_packets(kAudioPid, {0, 0, 1}), 0, ""},
        {"video ES of 3 bytes",
         pes_packets(kVideoPid, {0, 0, 1, 0xE0, 0, 6, 0x81, 0x00, 0x00, 0, 0, 0}), 1, ""},
    });
    expect_good_audio();
}

TEST(TsDemuxRegression, FlaggedFieldsAreSkippedByTheirSizes) {
    // Every optional field present once, laid out by hand: the parsers land on the payload
    // and the ES exactly, take the flags, the private data and the PTS without its bit 32.
    // TEI, PUSI, priority, PID 0x123; scrambling 2, both fields, counter 5; 30 adaptation
    // bytes with every flag: PCR, OPCR, splice_countdown, 3 bytes of private data, an
    // extension of 11 bytes with ltw, piecewise_rate and seamless_splice.
    Bytes ts = packet(0xE1, 0x23, 0xB5, 4, {30, 0xFF});
    ts = put(ts, 6, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    ts = put(ts, 18, {0x7E, 3, 0xAA, 0xBB, 0xCC, 11, 0xE0});
    tsStruct t{};
    ASSERT_EQ(char2tsStruct(ts.data(), &t), 1);
    EXPECT_EQ(
        Bytes({t.transport_error_indicator, t.payload_unit_start_indicator, t.transport_priority,
               t.transport_scrambling_control, t.adaptation_field_control, t.continuity_counter}),
        Bytes({1, 1, 1, 2, 3, 5}));
    EXPECT_EQ(t.pid, 0x123);
    EXPECT_EQ(Bytes({t.discontinuity_indicator, t.random_access_indicator,
                     t.elementary_stream_priority_indicator, t.pcr_flag, t.opcr_flag,
                     t.splicing_point_flag, t.transport_private_data_flag,
                     t.adaptation_field_extension_flag, t.ltw_flag, t.piecewise_rate_flag,
                     t.seamless_splice_flag}),
              Bytes(11, 1));
    EXPECT_EQ(t.splice_countdown, 0x7E);
    EXPECT_EQ(Bytes(t.transport_private_data, t.transport_private_data + 4),
              Bytes({0xAA, 0xBB, 0xCC, 0x00}));
    EXPECT_EQ(t.payload, ts.data() + 35);
    EXPECT_EQ(t.payload_length, 153);

    Bytes pes = {0, 0, 1, 0xE0, 0, 0, 0x80, 0xFF, 53};
    pes.insert(pes.end(), {0x39, 0x8D, 0x15, 0xCF, 0x13});  // PTS 0x1_2345_6789
    pes.resize(pes.size() + 5 + 6 + 3 + 1 + 1 + 2, 0x55);   // DTS, ESCR, rate, trick, copy, CRC
    pes.push_back(0xF1);                                    // private, pack, counter, P-STD, ext 2
    for (std::uint8_t i = 0; i < 16; ++i) pes.push_back(static_cast<std::uint8_t>(0xA0 + i));
    pes.insert(pes.end(), {2, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x85, 1, 2, 3, 4, 5});
    ASSERT_EQ(pes.size(), 62u);
    pes.insert(pes.end(), {0xEE, 0xEF});
    pesStruct h{};
    ASSERT_EQ(char2pesStruct(pes.data(), static_cast<std::uint32_t>(pes.size()), &h), 1);
    EXPECT_EQ(h.start_code, 0x000001E0u);
    EXPECT_EQ(h.pts, 0x23456789u);
    EXPECT_EQ(Bytes({h.pts_dts_flags, h.escr_flag, h.es_rate_flag, h.dsm_trick_mode_flag,
                     h.additional_copy_info_flag, h.pes_crc_flag, h.pes_extension_flag,
                     h.pes_private_data_flag, h.pack_header_field_flag,
                     h.program_packet_sequence_counter_flag, h.p_std_buffer_flag,
                     h.pes_extension_flag_2, h.pes_extension_field_length}),
              Bytes({3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 5}));
    EXPECT_EQ(h.pes_private_data[0], 0xA0);
    EXPECT_EQ(h.pes_private_data[15], 0xAF);
    EXPECT_EQ(h.es, pes.data() + 62);
    EXPECT_EQ(h.es_size, 2u);
}

}  // namespace
