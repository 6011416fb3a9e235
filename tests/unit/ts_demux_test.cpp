// The demultiplexer against the service's own writers: PAT and PMT from psi_to_ts, LPCM
// PES from pcm_to_ts and video PES from video_to_ts come back whole; reassembly errors,
// refused inputs with their messages, table gating and the bounded PID table.
#include "ts/ts_demux.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "ts/lpcm_pes.h"
#include "ts/psi_tables.h"
#include "ts/ts_packet.h"
#include "ts/video_pes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

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
    std::uint32_t len = 0;
    psi_to_ts(out.data(), &len);
    out.resize(len);
    return out;
}

Bytes audio(std::uint32_t channels, const Bytes& pcm) {
    Bytes out(lpcm_ts_size(static_cast<std::uint32_t>(pcm.size())));
    out.resize(pcm_to_ts(channels, pcm.data(), static_cast<std::uint32_t>(pcm.size()), out.data()));
    return out;
}

Bytes video(std::uint32_t flags, const Bytes& au) {
    Bytes out(video_ts_size(static_cast<std::uint32_t>(au.size())));
    out.resize(video_to_ts(flags, au.data(), static_cast<std::uint32_t>(au.size()), out.data()));
    return out;
}

// An LPCM PES of n PCM bytes, to be altered and packetised by hand.
Bytes lpcm_pes(int channels, std::uint32_t n) {
    const Bytes pcm = pattern(n, 1);
    Bytes pes(36 + n);
    make_lpcm_pes(channels, pcm.data(), n, pes.data());
    pes[3] = 0xBD;
    return pes;
}

Bytes packetise(std::uint16_t pid, const Bytes& pes) {
    static std::uint8_t counter = 0;
    static std::uint32_t sequence = 0;
    Bytes out(pes_ts_size(static_cast<std::uint32_t>(pes.size())));
    std::uint32_t len = 0;
    EXPECT_EQ(PES2TS(pid, &counter, pes.data(), static_cast<std::uint32_t>(pes.size()), out.data(),
                     &len, &sequence),
              1);
    return out;
}

Bytes section_packets(std::uint16_t pid, const PmtInfo* pmt, const PatInfo* pat) {
    std::uint8_t section[kSectionBufferSize] = {};
    std::uint32_t len = 0;
    EXPECT_EQ(pmt ? pmt_to_section(section, *pmt, &len) : pat_to_section(section, *pat, &len), 1);
    static std::uint8_t counter = 0;
    Bytes out(188);
    std::uint32_t out_len = 0;
    EXPECT_EQ(Section2TS(pid, &counter, section, len, out.data(), &out_len), 1);
    return out;
}

// The program's PMT with its streams replaced by LPCM streams on the given PIDs.
PmtInfo lpcm_pmt(std::initializer_list<std::uint16_t> pids) {
    PmtInfo pmt{};
    pmt.in_use = 1;
    pmt.program_number = 1;
    pmt.pcr_pid = kPcrPid;
    std::uint32_t i = 0;
    for (std::uint16_t pid : pids) pmt.streams[i++] = PmtStreamInfo{1, 0x80, pid, 0, {}};
    return pmt;
}

struct Outcome {
    int ret;
    DemuxResult r;
    std::uint32_t errors;
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

std::uint32_t times_stored(std::uint16_t pid) {
    std::uint32_t value = 0;
    return FindKeyDataArray(&demux_pid_filter(), pid, &value) >= 0 ? value : 0;
}

TEST(TsDemux, LpcmBlocksComeBackWhole) {
    // Stereo and mono blocks: one byte, a PES of exactly one and of two full packets, the
    // worked example's 1920 bytes and the largest block, each behind the PAT and PMT.
    init_pes_header();
    const struct {
        std::uint32_t channels, n;
    } cases[] = {{2, 1920}, {1, 1}, {1, 141}, {2, 318}, {1, kMaxLpcmBlock}};
    for (const auto& c : cases) {
        const Bytes pcm = pattern(c.n, c.n);
        const Outcome run = demux(cat({psi(), audio(c.channels, pcm)}));
        ASSERT_EQ(run.ret, 1) << c.n << run.out;
        EXPECT_EQ(run.r.audio_channels, c.channels);
        EXPECT_EQ(pcm_of(run), pcm) << c.n;
        EXPECT_EQ(run.r.video_es, nullptr);
        EXPECT_EQ(run.errors, 0u);
    }
}

TEST(TsDemux, VideoUnitsComeBackWithoutAudWithFlagsAndPts) {
    // Each unit comes back as given: the AUD the writer put in front of slices is stripped, the
    // frame flags come from PES_private_data 9..11 and the PTS from the header. A delivery ends the
    // call: the audio packets after it stay unread, so the whole audio PES given next is not taken
    // as a restart.
    init_pes_header();
    ASSERT_EQ(demux(psi()).ret, 0);  // the first call builds the AUD template
    const struct {
        std::uint32_t flags;
        std::uint8_t nal;
        std::uint32_t pts, size;
        Bytes want_flags;
    } cases[] = {
        {0x3A, 0x65, 0x12345678, 1000, {3, 1, 1}},
        {0x10, 0x41, 0, 316, {1, 0, 0}},  // PES of 32 + 6 + 316: two full packets
        {0x02, 0x67, 0xFFFFFFFF, 5, {0, 0, 1}},
        {0x08, 0x41, 90000, 3000, {0, 1, 0}},
    };
    for (const auto& c : cases) {
        Bytes au = pattern(c.size, c.nal);
        au[0] = au[1] = au[2] = 0x00;
        au[3] = 0x01;
        au[4] = c.nal;
        set_pes_pts(c.pts);
        const Bytes packets = video(c.flags, au);
        const Bytes next_audio = audio(2, pattern(600, 2));
        const Outcome run =
            demux(cat({packets, Bytes(next_audio.begin(), next_audio.begin() + 188)}));
        ASSERT_EQ(run.ret, 1) << run.out;
        EXPECT_EQ(Bytes(run.r.video_es, run.r.video_es + run.r.video_es_size), au);
        EXPECT_EQ(Bytes(run.r.video_flags, run.r.video_flags + 3), c.want_flags);
        EXPECT_EQ(run.r.video_pts, c.pts);
        EXPECT_EQ(run.r.audio_pcm, nullptr);
        const Outcome next = demux(audio(1, pattern(600, 2)));
        EXPECT_EQ(next.ret, 1);
        EXPECT_EQ(next.errors, 0u);
    }
}

TEST(TsDemux, ReassemblyErrorsDiscardTheUnitAndCountOne) {
    // A continuity_counter one too high, a changed sequence value in a continuation packet,
    // a new unit start inside an unfinished unit: each discards the unit, counts one error
    // and ends the call at once; the next whole PES comes through.
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
        EXPECT_EQ(run.ret, 0) << fault;
        EXPECT_EQ(run.errors, 1u) << fault;
        EXPECT_EQ(run.out, "");
        const Outcome next = demux(audio(2, pcm));
        ASSERT_EQ(next.ret, 1) << fault;
        EXPECT_EQ(pcm_of(next), pcm);
        EXPECT_EQ(next.errors, 0u);
    }
    EXPECT_EQ(demux_ts_buffer(nullptr, 0, nullptr, nullptr), 0);  // null result and counter
}

TEST(TsDemux, OpenEndedPesStopsAtTheBufferLimit) {
    // A PES with PES_packet_length 0 never completes. Its appends stop where the fill would
    // pass 984 063 bytes: after 5559 packets of 177 bytes (983 943) the next is refused.
    // The next unit start then discards it with one error.
    init_pes_header();
    ASSERT_EQ(demux(psi()).ret, 0);
    Bytes pes = lpcm_pes(2, 984100);
    pes[4] = pes[5] = 0;
    Outcome run = demux(packetise(kAudioPid, pes));
    EXPECT_EQ(run.ret + static_cast<int>(run.errors), 0);
    EXPECT_EQ(run.out, "pid[0x164] buffer overflow( 983943 177 )\n");
    const Bytes pcm = pattern(50, 5);
    run = demux(audio(2, pcm));
    EXPECT_EQ(run.ret, 0);
    EXPECT_EQ(run.errors, 1u);
    run = demux(audio(2, pcm));
    EXPECT_EQ(run.ret, 1);
    EXPECT_EQ(pcm_of(run), pcm);
}

TEST(TsDemux, AudioWaitsForPatAndPmtAndASecondPatIsIgnored) {
    // Audio before any table, and after the PAT alone, is skipped quietly; the PMT brings
    // the video and audio PIDs into the filter set (not the PCR PID). A later PAT pointing
    // elsewhere changes nothing: its PMT PID is never followed.
    init_pes_header();
    const Bytes pcm = pattern(400, 3);
    const Bytes tables = psi();
    const Bytes pat(tables.begin(), tables.begin() + 188), pmt(tables.begin() + 188, tables.end());
    Outcome run = demux(audio(2, pcm));
    EXPECT_EQ(run.ret + static_cast<int>(run.errors), 0);
    EXPECT_EQ(run.out, "");
    run = demux(cat({pat, audio(2, pcm)}));
    EXPECT_EQ(run.ret + static_cast<int>(run.errors), 0);
    EXPECT_EQ(times_stored(0x0042), 1u);
    EXPECT_EQ(times_stored(0x0164), 0u);
    run = demux(cat({pmt, audio(2, pcm)}));
    EXPECT_EQ(run.ret, 1);
    EXPECT_EQ(pcm_of(run), pcm);
    EXPECT_EQ(times_stored(0x0021) * 10 + times_stored(0x0164), 11u);
    EXPECT_EQ(times_stored(kPcrPid), 0u);

    PatInfo other{};
    other.transport_stream_id = 1;
    other.programs[0] = PatProgram{1, 1, 0x0050};
    const PmtInfo moved = lpcm_pmt({0x0200});
    run = demux(cat({section_packets(0, nullptr, &other), section_packets(0x50, &moved, nullptr),
                     packetise(0x0200, lpcm_pes(2, 50))}));
    EXPECT_EQ(run.ret + static_cast<int>(run.errors), 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(times_stored(0x0050) + times_stored(0x0200), 0u);
    EXPECT_EQ(demux(cat({tables, audio(1, pcm)})).ret, 1);
    EXPECT_EQ(times_stored(0x0164), 1u);  // a repeated, identical PMT stores nothing
}

TEST(TsDemux, RefusedInputsPrintTheirMessages) {
    // Each refusal with its exact messages: transport, table, PES and LPCM header faults.
    init_pes_header();
    const Bytes tables = psi();
    ASSERT_EQ(demux(tables).ret, 0);
    const auto with = [](Bytes b, std::size_t at, std::uint8_t v) {
        b[at] = v;
        return b;
    };
    const Bytes pat(tables.begin(), tables.begin() + 188), pmt(tables.begin() + 188, tables.end());
    Bytes empty_video(32);
    std::copy_n(lpcm_pes(1, 0).begin(), 32, empty_video.begin());
    empty_video[3] = 0xE0;
    empty_video[5] = 26;
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
        EXPECT_EQ(run.ret, c.ret) << c.out;
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.errors, 0u);
    }
    EXPECT_EQ(demux(cat({tables, audio(2, pattern(9, 9))})).ret, 1);  // tables intact
}

TEST(TsDemux, PidTableStaysWithinTwentyEntries) {
    // The filter set starts with 0, 1, 2, 0x1FFF; the PAT adds the PMT PID and a PMT with
    // ten LPCM streams ten more. A different PMT on the same PID replaces the slot: of its
    // ten new PIDs five fit, the others are refused with their messages, and only PIDs both
    // stored and announced deliver.
    init_pes_header();
    const Bytes tables = psi();
    ASSERT_EQ(demux(Bytes(tables.begin(), tables.begin() + 188)).ret, 0);
    const PmtInfo first =
        lpcm_pmt({0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x109});
    Outcome run =
        demux(cat({section_packets(0x42, &first, nullptr), packetise(0x109, lpcm_pes(1, 20))}));
    EXPECT_EQ(run.ret, 1);
    EXPECT_EQ(run.r.audio_pcm_size, 20u);
    const PmtInfo second =
        lpcm_pmt({0x200, 0x201, 0x202, 0x203, 0x204, 0x205, 0x206, 0x207, 0x208, 0x209});
    run = demux(section_packets(0x42, &second, nullptr));
    std::string refusals;
    for (int i = 0; i < 5; ++i)
        refusals += "No more space in KeyDataArray\nstore_PID:652 fail to AllocKeyDataArray\n";
    EXPECT_EQ(run.out, refusals + "fail to processSection\n");
    std::uint32_t key = 0, value = 0;
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

}  // namespace
