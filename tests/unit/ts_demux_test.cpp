// The demultiplexer against the service's own writers (PSI, LPCM and video PES come back
// whole), reassembly errors, table gating, the bounded buffers, and hostile input: every
// crash the fuzzer finds becomes a named case of TsDemuxRegression.
#include "ts/ts_demux.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "core/debug_log.h"
#include "ts/lpcm_pes.h"
#include "ts/psi_tables.h"
#include "ts/ts_packet.h"
#include "ts/video_pes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using U32 = std::uint32_t;

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes psi() {
    init_psi_tables();
    Bytes out(2 * 188);
    U32 len = 0;
    psi_to_ts(out.data(), &len);
    return out;
}

Bytes audio(U32 channels, const Bytes& pcm) {
    Bytes out(lpcm_ts_size(static_cast<U32>(pcm.size())));
    out.resize(pcm_to_ts(channels, pcm.data(), static_cast<U32>(pcm.size()), out.data()));
    return out;
}

// An LPCM PES of n PCM bytes, to be altered and packetised by hand.
Bytes lpcm_pes(int channels, U32 n) {
    const Bytes pcm = pattern(n, 1);
    Bytes pes(36 + n);
    make_lpcm_pes(channels, pcm.data(), n, pes.data());
    pes[3] = 0xBD;
    return pes;
}

Bytes packetise(std::uint16_t pid, const Bytes& pes) {
    static std::uint8_t counter = 0;
    static U32 sequence = 0;
    U32 len = 0;
    Bytes out(pes_ts_size(static_cast<U32>(pes.size())));
    EXPECT_EQ(PES2TS(pid, &counter, pes.data(), static_cast<U32>(pes.size()), out.data(), &len,
                     &sequence),
              1);
    return out;
}

Bytes section_packets(std::uint16_t pid, const PmtInfo* pmt, const PatInfo* pat) {
    std::uint8_t section[kSectionBufferSize] = {};
    static std::uint8_t counter = 0;
    U32 len = 0, out_len = 0;
    EXPECT_EQ(pmt ? pmt_to_section(section, *pmt, &len) : pat_to_section(section, *pat, &len), 1);
    Bytes out(188);
    EXPECT_EQ(Section2TS(pid, &counter, section, len, out.data(), &out_len), 1);
    return out;
}

// The program's PMT with its streams replaced by LPCM streams on the given PIDs.
PmtInfo lpcm_pmt(std::uint16_t first_pid, std::uint16_t count) {
    PmtInfo pmt{};
    pmt.in_use = pmt.program_number = 1;
    pmt.pcr_pid = kPcrPid;
    for (std::uint16_t i = 0; i < count; ++i)
        pmt.streams[i] = PmtStreamInfo{1, 0x80, static_cast<std::uint16_t>(first_pid + i), 0, {}};
    return pmt;
}

// One packet by hand: sync, three header bytes, then 0xFF, with bytes put at their places.
Bytes put(Bytes p, std::size_t at, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), p.begin() + static_cast<long>(at));
    return p;
}
Bytes packet(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::size_t at = 4,
             const Bytes& bytes = {}) {
    return put(put(Bytes(188, 0xFF), 0, {0x47, b1, b2, b3}), at, bytes);
}

struct Outcome {
    int ret;
    DemuxResult r;
    U32 errors;
    std::string out;
};

Outcome demux(const Bytes& b) {
    Outcome run{};
    dbg_to_screen();
    testing::internal::CaptureStdout();
    run.ret = demux_ts_buffer(b.data(), static_cast<int>(b.size()), &run.r, &run.errors);
    run.out = testing::internal::GetCapturedStdout();
    return run;
}

Bytes pcm_of(const Outcome& run) {
    return Bytes(run.r.audio_pcm, run.r.audio_pcm + run.r.audio_pcm_size);
}

U32 times_stored(std::uint16_t pid) {
    U32 value = 0;
    return FindKeyDataArray(&demux_pid_filter(), pid, &value) >= 0 ? value : 0;
}

TEST(TsDemux, LpcmBlocksComeBackWhole) {
    // One byte, a PES of exactly one and of two full packets, 1920 bytes, the largest block.
    init_pes_header();
    const std::pair<U32, U32> cases[] = {{2, 1920}, {1, 1}, {1, 141}, {2, 318}, {1, kMaxLpcmBlock}};
    for (const auto& [channels, n] : cases) {
        const Bytes pcm = pattern(n, n);
        const Outcome run = demux(cat({psi(), audio(channels, pcm)}));
        ASSERT_EQ(run.ret, 1) << n << run.out;
        EXPECT_EQ(run.r.audio_channels, channels);
        EXPECT_EQ(pcm_of(run), pcm) << n;
        EXPECT_EQ(run.r.video_es, nullptr);
        EXPECT_EQ(run.errors, 0u);
    }
}

TEST(TsDemux, VideoUnitsComeBackWithoutAudWithFlagsAndPts) {
    // The writer's AUD is stripped, the flags come from PES_private_data 9..11, the PTS from
    // the header. A delivery ends the call: the audio packet after it stays unread, so the
    // whole audio PES given next is not taken as a restart.
    init_pes_header();
    ASSERT_EQ(demux(psi()).ret, 0);  // the first call builds the AUD template
    const struct {
        U32 flags;
        std::uint8_t nal;
        U32 pts, size;
        Bytes want_flags;
    } cases[] = {{0x3A, 0x65, 0x12345678, 1000, {3, 1, 1}},
                 {0x10, 0x41, 0, 316, {1, 0, 0}},  // PES of 32 + 6 + 316: two full packets
                 {0x02, 0x67, 0xFFFFFFFF, 5, {0, 0, 1}},
                 {0x08, 0x41, 90000, 3000, {0, 1, 0}}};
    for (const auto& c : cases) {
        const Bytes au = put(pattern(c.size, c.nal), 0, {0, 0, 0, 1, c.nal});
        set_pes_pts(c.pts);
        Bytes packets(video_ts_size(c.size));
        packets.resize(video_to_ts(c.flags, au.data(), c.size, packets.data()));
        const Bytes next_audio = audio(2, pattern(600, 2));
        const Outcome run =
            demux(cat({packets, Bytes(next_audio.begin(), next_audio.begin() + 188)}));
        ASSERT_EQ(run.ret, 1) << run.out;
        EXPECT_EQ(Bytes(run.r.video_es, run.r.video_es + run.r.video_es_size), au);
        EXPECT_EQ(Bytes(run.r.video_flags, run.r.video_flags + 3), c.want_flags);
        EXPECT_EQ(run.r.video_pts, c.pts);
        EXPECT_EQ(run.r.audio_pcm, nullptr);
        const Outcome next = demux(audio(1, pattern(600, 2)));
        EXPECT_EQ(std::tie(next.ret, next.errors), std::make_tuple(1, 0u));
    }
}

TEST(TsDemux, ReassemblyErrorsDiscardTheUnitAndCountOne) {
    // A counter one too high, a changed sequence value, a new unit start inside an
    // unfinished unit: each discards the unit, counts one error and ends the call at once;
    // the next whole PES comes through.
    init_pes_header();
    ASSERT_EQ(demux(psi()).ret, 0);
    const Bytes pcm = pattern(1920, 7);  // 12 packets
    for (int fault = 0; fault < 3; ++fault) {
        Bytes bad = audio(2, pcm);
        std::uint8_t& cc_byte = bad[5 * 188 + 3];
        if (fault == 0)
            cc_byte = static_cast<std::uint8_t>((cc_byte & 0xF0) | ((cc_byte + 1) & 15));
        if (fault == 1) bad[5 * 188 + 10] ^= 0x01;  // last byte of transport_private_data
        if (fault == 2) bad.resize(11 * 188), bad = cat({bad, audio(2, pcm)});
        const Outcome run = demux(bad);
        EXPECT_EQ(std::tie(run.ret, run.errors, run.out), std::make_tuple(0, 1u, "")) << fault;
        const Outcome next = demux(audio(2, pcm));
        EXPECT_EQ(pcm_of(next), pcm) << fault;
        EXPECT_EQ(next.errors, 0u);
    }
    EXPECT_EQ(demux_ts_buffer(nullptr, 0, nullptr, nullptr), 0);  // null result and counter
}

TEST(TsDemux, OpenEndedPesStopsAtTheBufferLimit) {
    // PES_packet_length 0 never completes: appends stop where the fill would pass 984 063
    // bytes (after 5559 packets of 177); the next unit start discards it with one error.
    init_pes_header();
    ASSERT_EQ(demux(psi()).ret, 0);
    Bytes pes = lpcm_pes(2, 984100);
    pes[4] = pes[5] = 0;
    Outcome run = demux(packetise(kAudioPid, pes));
    EXPECT_EQ(std::tie(run.ret, run.errors), std::make_tuple(0, 0u));
    EXPECT_EQ(run.out, "pid[0x164] buffer overflow( 983943 177 )\n");
    const Bytes pcm = pattern(50, 5);
    run = demux(audio(2, pcm));
    EXPECT_EQ(std::tie(run.ret, run.errors), std::make_tuple(0, 1u));
    EXPECT_EQ(pcm_of(demux(audio(2, pcm))), pcm);
}

TEST(TsDemux, AudioWaitsForPatAndPmtAndASecondPatIsIgnored) {
    // Audio before any table, and after the PAT alone, is skipped quietly; the PMT brings
    // the video and audio PIDs into the filter set (not the PCR PID). A later PAT pointing
    // elsewhere changes nothing: its PMT PID is never followed.
    init_pes_header();
    const Bytes pcm = pattern(400, 3), tables = psi();
    const Bytes pat(tables.begin(), tables.begin() + 188), pmt(tables.begin() + 188, tables.end());
    for (const Bytes& before : {Bytes{}, pat}) {
        const Outcome run = demux(cat({before, audio(2, pcm)}));
        EXPECT_EQ(std::tie(run.ret, run.errors, run.out), std::make_tuple(0, 0u, ""));
    }
    EXPECT_EQ(times_stored(0x0042) * 10 + times_stored(0x0164), 10u);
    EXPECT_EQ(pcm_of(demux(cat({pmt, audio(2, pcm)}))), pcm);
    EXPECT_EQ(times_stored(0x0021) * 10 + times_stored(0x0164), 11u);
    EXPECT_EQ(times_stored(kPcrPid), 0u);

    PatInfo other{};
    other.transport_stream_id = 1;
    other.programs[0] = PatProgram{1, 1, 0x0050};
    const PmtInfo moved = lpcm_pmt(0x0200, 1);
    const Outcome run =
        demux(cat({section_packets(0, nullptr, &other), section_packets(0x50, &moved, nullptr),
                   packetise(0x0200, lpcm_pes(2, 50))}));
    EXPECT_EQ(std::tie(run.ret, run.errors, run.out), std::make_tuple(0, 0u, ""));
    EXPECT_EQ(times_stored(0x0050) + times_stored(0x0200), 0u);
    EXPECT_EQ(demux(cat({tables, audio(1, pcm)})).ret, 1);
    EXPECT_EQ(times_stored(0x0164), 1u);  // a repeated, identical PMT stores nothing
}

TEST(TsDemux, RefusedInputsPrintTheirMessages) {
    // Transport, table, PES and LPCM header faults, each with its exact messages.
    init_pes_header();
    const Bytes tables = psi();
    ASSERT_EQ(demux(tables).ret, 0);
    const Bytes pat(tables.begin(), tables.begin() + 188), pmt(tables.begin() + 188, tables.end());
    const auto with = [](const Bytes& b, std::size_t at, std::uint8_t v) {
        return put(b, at, {v});
    };
    const Bytes head = lpcm_pes(1, 0);
    const Bytes empty_video = put(Bytes(head.begin(), head.begin() + 32), 3, {0xE0, 0, 26});
    const struct {
        Bytes stream;
        int ret;
        std::string out;
    } cases[] = {
        {cat({tables, Bytes(10)}), 0, "Error : ts_len 10\n"},
        {with(tables, 188, 0x46), 0, "fail to char2tsStruct offset(000000bc)\n"},
        {with(pat, 5, 0x01), 0,
         "char2PAT:66 table_id(1) error\nfail to char2PAT soffset(00000000)\n"
         "fail to processSection\n"},
        {with(pmt, 5, 0x40), 0, "PMT(42) is using private section(table_id-40)\n"},
        {packetise(kAudioPid, with(lpcm_pes(2, 100), 3, 0xBE)), 0,
         "cannot process stream_id(be)\nfail to char2pesStruct PID(164) byte-136\n"},
        {packetise(kAudioPid, lpcm_pes(2, 0)), 0, "invalid es_length(4)\n"},
        {packetise(kAudioPid, with(lpcm_pes(2, 100), 34, 0x21)), 0,
         "invalid es header channels(21)\n"},
        {packetise(kVideoPid, lpcm_pes(2, 100)), 0, ""},  // LPCM on the video PID: passed over
        {packetise(kVideoPid, empty_video), 1, "PID[21] es_data_size 0 ???\n"},
    };
    for (const auto& c : cases) {
        const Outcome run = demux(c.stream);
        EXPECT_EQ(std::tie(run.ret, run.errors, run.out), std::make_tuple(c.ret, 0u, c.out));
    }
    EXPECT_EQ(demux(cat({tables, audio(2, pattern(9, 9))})).ret, 1);  // tables intact
}

TEST(TsDemux, PidTableStaysWithinTwentyEntries) {
    // 0, 1, 2, 0x1FFF, the PMT PID and ten LPCM PIDs; a different PMT on the same PID
    // replaces the slot: five of its ten new PIDs fit, the others are refused with their
    // messages, and only PIDs both stored and announced deliver.
    init_pes_header();
    const Bytes tables = psi();
    ASSERT_EQ(demux(Bytes(tables.begin(), tables.begin() + 188)).ret, 0);
    const PmtInfo first = lpcm_pmt(0x100, 10), second = lpcm_pmt(0x200, 10);
    Outcome run =
        demux(cat({section_packets(0x42, &first, nullptr), packetise(0x109, lpcm_pes(1, 20))}));
    EXPECT_EQ(std::tie(run.ret, run.r.audio_pcm_size), std::make_tuple(1, 20u));
    run = demux(section_packets(0x42, &second, nullptr));
    std::string refusals;
    for (int i = 0; i < 5; ++i)
        refusals += "No more space in KeyDataArray\nstore_PID:652 fail to AllocKeyDataArray\n";
    EXPECT_EQ(run.out, refusals + "fail to processSection\n");
    U32 key = 0, value = 0;
    int entries = 0;
    for (int i = GetFirstKeyDataArray(&demux_pid_filter(), &key, &value); i >= 0;
         i = GetNextKeyDataArray(&demux_pid_filter(), i, &key, &value))
        ++entries;
    EXPECT_EQ(entries, 20);
    EXPECT_EQ(times_stored(0x204) * 10 + times_stored(0x205), 10u);
    EXPECT_EQ(demux(packetise(0x204, lpcm_pes(2, 8))).ret, 1);
    EXPECT_EQ(demux(packetise(0x205, lpcm_pes(2, 8))).ret, 0);  // not in the filter set
    EXPECT_EQ(demux(packetise(0x109, lpcm_pes(2, 8))).ret, 0);  // no longer announced
}

TEST(TsDemuxRegression, HostileFieldsAreRefused) {
    // Fields pointing outside the packet or the unit, laid out by hand: refused with the
    // message of their step (the sanitizer build fences the unit's end); good input after.
    const std::string kTs = "fail to char2tsStruct offset(00000000)\n";
    const auto refused = [](int length) {
        return "fail to char2pesStruct PID(164) byte-" + std::to_string(length) + "\n";
    };
    const struct {
        const char* name;
        Bytes stream;
        int ret;
        std::string out;
    } cases[] = {
        {"pointer_field past the payload", packet(0x40, 0x00, 0x10, 4, {183}), 0, ""},
        {"pointer_field leaves 2 bytes", packet(0x40, 0x00, 0x10, 4, {181}), 0, ""},
        {"PAT unit of 5 bytes, section_length 0",
         put(packet(0x40, 0x00, 0x11, 4, {178}), 183, {0x00, 0xB0, 0x00}), 0,
         "fail to char2PAT soffset(00000000)\nfail to processSection\n"},
        {"tables", psi(), 0, ""},
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
         packetise(kAudioPid, {0, 0, 1, 0xBD, 0, 6, 0x81, 0x00, 200, 1, 2, 3}), 0, refused(12)},
        {"PTS beyond the unit", packetise(kAudioPid, {0, 0, 1, 0xBD, 0, 4, 0x81, 0x80, 5, 0x21}), 0,
         refused(10)},
        {"PES_private_data beyond the unit",
         packetise(kAudioPid, {0, 0, 1, 0xBD, 0, 10, 0x81, 0x01, 17, 0x80, 1, 2, 3, 4, 5, 6}), 0,
         refused(16)},
        {"pack_header length byte beyond the unit",
         packetise(kAudioPid, {0, 0, 1, 0xBD, 0, 4, 0x81, 0x01, 1, 0x40}), 0, refused(10)},
        {"extension_2 length byte beyond the unit",
         packetise(kAudioPid, {0, 0, 1, 0xBD, 0, 5, 0x81, 0x01, 2, 0x31, 0x00}), 0, refused(11)},
        {"three header bytes", packetise(kAudioPid, {0, 0, 1}), 0, ""},
        {"video ES of 3 bytes",
         packetise(kVideoPid, {0, 0, 1, 0xE0, 0, 6, 0x81, 0x00, 0x00, 0, 0, 0}), 1, ""},
    };
    init_pes_header();
    for (const auto& c : cases) {
        const Outcome run = demux(c.stream);
        EXPECT_EQ(std::tie(run.ret, run.errors, run.out), std::make_tuple(c.ret, 0u, c.out))
            << c.name;
    }
    const Bytes pcm = pattern(8, 1);
    EXPECT_EQ(pcm_of(demux(audio(2, pcm))), pcm);
}

TEST(TsDemuxRegression, FlaggedFieldsAreSkippedByTheirSizes) {
    // Every optional field present once: the parsers land on the payload and the ES
    // exactly, and take the private data and the PTS without its bit 32. Adaptation field
    // of 30 bytes: PCR, OPCR, splice_countdown, 3 bytes of private data, an extension of 11.
    Bytes ts =
        put(packet(0xE1, 0x23, 0xB5, 4, {30, 0xFF}), 6, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    ts = put(ts, 18, {0x7E, 3, 0xAA, 0xBB, 0xCC, 11, 0xE0});
    tsStruct t{};
    ASSERT_EQ(char2tsStruct(ts.data(), &t), 1);
    EXPECT_EQ(std::tie(t.pid, t.continuity_counter, t.splice_countdown, t.payload_length),
              std::make_tuple(0x123, 5, 0x7E, 153));
    EXPECT_EQ(Bytes(t.transport_private_data, t.transport_private_data + 4),
              Bytes({0xAA, 0xBB, 0xCC, 0x00}));
    EXPECT_EQ(t.payload, ts.data() + 35);

    Bytes pes = {0,    0,  1,    0xE0, 0,    0,    0x80,
                 0xFF, 53, 0x39, 0x8D, 0x15, 0xCF, 0x13};  // PTS 1_2345_6789
    pes.resize(pes.size() + 5 + 6 + 3 + 1 + 1 + 2, 0x55);  // DTS, ESCR, rate, trick, copy, CRC
    pes.push_back(0xF1);                                   // private, pack, counter, P-STD, ext 2
    for (std::uint8_t i = 0; i < 16; ++i) pes.push_back(static_cast<std::uint8_t>(0xA0 + i));
    pes.insert(pes.end(), {2, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x85, 1, 2, 3, 4, 5, 0xEE, 0xEF});
    pesStruct h{};
    ASSERT_EQ(char2pesStruct(pes.data(), static_cast<U32>(pes.size()), &h), 1);
    EXPECT_EQ(std::tie(h.start_code, h.pts, h.pes_extension_field_length),
              std::make_tuple(0x000001E0u, 0x23456789u, 5));
    EXPECT_EQ(h.pes_private_data[0] * 256 + h.pes_private_data[15], 0xA0AF);
    EXPECT_EQ(h.es, pes.data() + 62);
    EXPECT_EQ(h.es_size, 2u);
}

}  // namespace
