// The transport stream family: the packet, PSI and LPCM writers against worked examples,
// the TS output's packing decision and socket, and the demultiplexer: its parsers against
// hand-annotated bytes, round trips with the LPCM and video writers, reassembly errors,
// bounds, and the hostile inputs of TsDemuxRegression, where every crash the fuzzer finds
// becomes a row.
#include "support/unit.h"
#include "ts/lpcm_pes.h"
#include "ts/psi_tables.h"
#include "ts/ts_demux.h"
#include "ts/ts_output.h"
#include "ts/video_pes.h"

namespace {

using U32 = std::uint32_t;
using u8 = std::uint8_t;
using u16 = std::uint16_t;
using std::make_tuple;

// "47 40 22", blanks optional: the bytes.
Bytes hex(const std::string& text) {
    Bytes b;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != ' ') b.push_back(u8(std::stoul(text.substr(i++, 2), nullptr, 16)));
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
Bytes pattern(std::size_t n, unsigned seed = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = u8(i * 7 + seed + (i >> 8));
    return b;
}
Bytes part(const Bytes& b, std::size_t at, std::size_t n) {
    return Bytes(b.begin() + long(at), b.begin() + long(at + n));
}
Bytes put(Bytes b, std::size_t at, const Bytes& v) {
    std::copy(v.begin(), v.end(), b.begin() + long(at));
    return b;
}
// One packet: these bytes from the sync byte on, 0xFF after them.
Bytes packet(const std::string& head) { return put(Bytes(188, 0xFF), 0, hex(head)); }
template <typename... T>
std::vector<unsigned> nums(T... v) {
    return {unsigned(v)...};
}

// The worked examples. PAT: pointer_field; table_id 0; syntax 1, '0', '11', section_length
// 13; transport_stream_id 9740; '11', version 18, current; section_number 0, last 0;
// program 1 -> program_map_PID 0x0042; CRC_32.
const std::string kPat = "00 00B00D 260C E50000 0001E042 063C058F";
// PMT: pointer_field; table_id 2, section_length 39; program_number 1; '11', version 7,
// current; section 0, last 0; PCR_PID 0x0022; program_info_length 6: registration_descriptor
// "HDMV"; AVC video on 0x0021, no descriptors; LPCM on 0x0164, ES_info_length 10:
// registration_descriptor "HDMV", stream_type, stereo 48 kHz, 16 bits; CRC_32.
const std::string kPmt =
    "00 02B027 0001 CF0000 E022F006 050448444D56 1BE021F000 80E164F00A "
    "050848444D56 00803140 D58A701D";
// Both in packets of their PIDs (unit start, payload only, counter 0).
const Bytes kPsi = cat({packet("47400010" + kPat), packet("47404210" + kPmt)});

Bytes audio(U32 channels, const Bytes& pcm) {
    Bytes out(lpcm_ts_size(U32(pcm.size())));
    return part(out, 0, pcm_to_ts(channels, pcm.data(), U32(pcm.size()), out));
}
// A PES cut into packets on pid.
Bytes packetise(const Bytes& pes, std::uint16_t pid = kAudioPid) {
    u8 counter = 0;
    U32 sequence = 0, len = 0;
    Bytes out(pes_ts_size(U32(pes.size())));
    PES2TS(pid, &counter, pes.data(), U32(pes.size()), out, &len, &sequence);
    return out;
}

DemuxResult result;  // of the last demux()
// What demux_ts_buffer returns, counts and prints, and the PCM or video ES it delivers.
std::tuple<int, U32, std::string, Bytes> demux(const Bytes& b) {
    int ret = 0;
    U32 errors = 0;
    auto out = log_of([&] { ret = demux_ts_buffer(b.data(), int(b.size()), &result, &errors); });
    const u8* p = result.audio_pcm ? result.audio_pcm : result.video_es;
    return {ret, errors, out, Bytes(p, p + result.audio_pcm_size + result.video_es_size)};
}
const auto kNothing = make_tuple(0, 0u, "", Bytes{});

TEST(TsPacket, PcrSectionAndPesPackets) {
    // The PCR packet of base 0x12345679 behind what the buffer holds: 47 40 22 30 unit start,
    // PID 0x0022, adaptation field and payload, counter 0; B6 10 adaptation_field_length 182,
    // PCR_flag; 09 1A 2B 3C FE 00 base bits 32..1, then bit 0 with the reserved bits,
    // extension 0; 175 stuffing bytes and the payload byte.
    Bytes out(3 * 188, 0xA5);
    U32 len = 188, sequence = 0xFFFFFFFF;
    make_pcr_packet(0x12345679, out, &len);
    EXPECT_EQ(part(out, 0, len), cat({Bytes(188, 0xA5), packet("47402230 B610 091A2B3CFE00")}));
    // Sections of 17, 184 and 185 bytes on PID 0x1ABC: whole payload-only packets padded
    // with 0xFF, the unit start in the first, the counter going on from 14 through 0.
    u8 counter = 14;
    const Bytes s = pattern(185);
    for (const U32 size : {17u, 184u, 185u}) {
        const Bytes head = {0x47, 0x5A, 0xBC, u8(0x10 | counter)};
        Section2TS(0x1ABC, &counter, s.data(), size, out, &(len = 0));
        const Bytes first = put(packet(""), 0, cat({head, part(s, 0, std::min(size, 184u))}));
        EXPECT_EQ(part(out, 0, len),
                  size < 185 ? first : cat({first, put(packet("471ABC11"), 4, {s[184]})}));
    }
    // PES of 177 and 178 bytes on PID 0x0164: 47 41 64 and counter, adaptation_field_length
    // 6, transport_private_data_flag, 4 bytes of private data: the sequence value, the same
    // in every packet of a PES, 0 after 0xFFFFFFFF; the last packet carries 1 byte behind 176
    // stuffing bytes. An empty PES or section is refused with nothing moved.
    len = 0;
    for (const U32 size : {177u, 178u, 0u})
        EXPECT_EQ(PES2TS(0x0164, &counter, s.data(), size, out, &len, &sequence), size > 0);
    EXPECT_EQ(nums(Section2TS(0, &counter, s.data(), 0, out, &len), len, counter, sequence),
              nums(0, 564, 5, 1));
    EXPECT_EQ(
        out, cat({hex("47416432 060204 FFFFFFFF"), part(s, 0, 177), hex("47416433 060204 00000000"),
                  part(s, 0, 177), put(packet("47016434 B60204 00000000"), 187, {s[177]})}));
    // A room one byte short: refused, nothing written, no counter or sequence moved.
    const Bytes before = out;
    const WireBytes room(out.data(), 2 * 188 - 1);
    len = 0;
    EXPECT_EQ(nums(Section2TS(0, &counter, s.data(), 185, room, &len),
                   PES2TS(0x0164, &counter, s.data(), 178, room, &len, &sequence),
                   make_pcr_packet(0, room.subspan(188), &len)),
              nums(0, 0, 0));
    EXPECT_EQ(nums(len, counter, sequence, ts_counters().pcr), nums(0, 5, 1, 1));
    EXPECT_EQ(out, before);
}

TEST(PsiAndLpcm, SectionsAndTheBlockOf1920BytesMatchTheWorkedExamples) {
    // The PAT and the PMT packetised, each on its own PID; the CRC-32/MPEG-2 check value and
    // 0 over a whole section; CRC-8/SMBUS in a 4096-byte context. 1920 bytes of PCM at PTS 0:
    // a 1956-byte PES in 11 packets of 177 bytes and one of 9 behind adaptation_field_length
    // 174. 00 00 01 BD start code, private_stream_1; 07 9E PES_packet_length 1950; 81
    // original; 81 PTS only, PES extension; 17 23 header bytes; 21 00 01 00 01 PTS 0; 80
    // PES_private_data_flag; 16 bytes of PES_private_data; FF stuffing; 07 80 31 40 LPCM:
    // 1920 bytes, stereo 48 kHz, 16 bits. The next block: PTS 0xFFFFFFFF, sequence 1.
    ASSERT_TRUE(init_psi_tables());
    init_pes_header();
    set_pes_pts(0);
    // The PMT writer refuses descriptors announced but not given; none announced need none.
    u8 section[kSectionBufferSize];
    U32 n = 0;
    EXPECT_EQ(nums(makeQVXPMT(section, &n, 0x22, 0x80, 0x164, 1, nullptr, 0, 0, 0, nullptr),
                   makeQVXPMT(section, &n, 0x22, 0x80, 0x164, 0, nullptr, 0x1B, 0x21, 1, nullptr),
                   makeQVXPMT(section, &n, 0x22, 0x80, 0x164, 0, nullptr, 0x1B, 0x21, 0, nullptr)),
              nums(0, 0, 1));
    PmtInfo pmt{};  // the first stream's descriptors beyond their room
    pmt.streams[0] = {1, 0x80, 0x164, kDescriptorRoom + 1, {}};
    EXPECT_EQ(pmt_to_section(section, pmt, &n), 0);
    const Bytes pcm = pattern(1920), check = hex("313233343536373839");
    Bytes out(12 * 188), pes;
    U32 len = 0;
    psi_to_ts(out, &len);
    EXPECT_EQ(part(out, 0, len), kPsi);
    EXPECT_EQ(section_crc32(check.data(), 9) + section_crc32(&kPsi[193], 42), 0x0376E6E7u);
    AVCRC ctx[1024];
    ASSERT_EQ(av_crc_init(ctx, 0, 8, 0x07, 4096), 0);
    EXPECT_EQ(av_crc(ctx, 0, check.data(), 9), 0xF4u);
    ASSERT_EQ(pcm_to_ts(2, pcm.data(), 1920, out), 12u * 188);
    for (U32 i = 0; i < 12; ++i)
        pes = cat({pes, part(out, 188 * i + 11 + i / 11 * 168, 177 - i / 11 * 168)});
    EXPECT_EQ(pes, cat({hex("000001BD 079E 818117 2100010001 80"), Bytes(16, 0), hex("FF 07803140"),
                        pcm}));
    // Packets that do not fit are refused with the message, and move no counter: the next
    // block still carries counter 12 and sequence 1.
    EXPECT_EQ(
        log_of([&] { EXPECT_EQ(pcm_to_ts(1, pcm.data(), 1920, WireBytes(out).first(2255)), 0u); }),
        "fail to PES2TS\n");
    set_pes_pts(0xFFFFFFFF);
    ASSERT_EQ(pcm_to_ts(1, pcm.data(), 1920, out), 12u * 188);
    EXPECT_EQ(part(out, 0, 25), hex("4741643C 060204 00000001 000001BD 079E 818117 27FFFFFFFF"));
}

TEST(TsOutput, PacketsPerDatagramAndTheSocket) {
    // Whole packets in mtu - 28 bytes, at least one, at most the 8 of the staging area.
    // clang-format off
    const std::pair<std::int32_t, U32> mtus[] = {{1500, 7}, {200, 1}, {403, 1}, {404, 2}, {1531, 7},
                                                 {1532, 8}, {65535, 8}, {INT32_MAX, 8}, {28, 1}, {-1, 1},
                                                 {INT32_MIN, 1}, {INT32_MIN + 27, 1}};
    // clang-format on
    for (const auto& [mtu, packets] : mtus) EXPECT_EQ(ts_packets_per_datagram(mtu), packets) << mtu;
    // A multicast destination gets the TTL (the appliance's emulator does not translate the
    // multicast interface option: no socket there); select 1 takes the alternate
    // destination. Without a socket the caller is told to skip the rest, with one to go on.
    alignas(8) std::array<u8, kShmStandardSize> memory{};
    ShmConfig& c = *reinterpret_cast<ShmConfig*>(memory.data());
    c.multicast_ttl = 7;
    std::strcpy(c.ts_dest_ip, "239.1.2.3");
    std::strcpy(c.ts_dest_ip_alt, "127.0.0.1");
    std::strcpy(c.local_ip, "127.0.0.1");
    const BlockView block(memory.data(), memory.size());
    int sock = 0, ttl = 0;
    socklen_t size = sizeof ttl;
    getsockopt(remake_ts_sock(block, &sock), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &size);
    EXPECT_EQ(ttl, *AUDIO_EMULATOR ? 0 : 7);
    c.ts_dest_select = 1;
    EXPECT_EQ(peer_of(remake_ts_sock(block, &sock)), "127.0.0.1:1234");
    EXPECT_FALSE(ts_forward_block(block, 0, {3, 16, 1, 2, 48000}, kPsi.data(), 8, 0));
    EXPECT_TRUE(ts_forward_block(block, sock, {3, 16, 1, 2, 48000}, kPsi.data(), 8, 0));
    std::strcpy(c.ts_dest_ip_alt, "not.an.address");  // no socket for a text that is no address
    EXPECT_EQ(remake_ts_sock(block, &sock), 0);
}

TEST(TsDemux, ParsesTableSectionsWhole) {
    // A PAT of eleven programs (ten are taken) and a PMT of three streams, fields distinct;
    // a section or a unit that ends inside an entry loses it; units shorter than the fixed
    // header are refused; private table_ids are taken without effect.
    // table_id 0; syntax 1, section_length 53; transport_stream_id; '11', version 21, next;
    // section_number 3, last 7; then program 0xA0ii -> PID 0x0i, 0x11 * i for i = 0..10.
    Bytes pat = hex("00B035 1234 EA0307");
    PatInfo full{0x00, 1, 0x1234, 21, 0, 3, 7, {}};
    for (u16 i = 0; i < 11; ++i) {
        pat = cat({pat, {u8(0xA0 + i), u8(i), u8(0xE0 + i), u8(0x11 * i)}});
        if (i < 10) full.programs[i] = {1, u16(0xA000 + 0x101 * i), u16(0x111 * i)};
    }
    pat.resize(56);  // where the CRC goes: it is not checked
    // section_length, unit length, result, programs
    // clang-format off
    const std::tuple<u8, U32, int, U32> pat_rows[] = {
        {53, 56, 1, 10}, {20, 56, 1, 2}, {53, 19, 1, 2}, {53, 8, 1, 0}, {0, 56, 1, 0}, {53, 7, 0, 0}};
    // clang-format on
    for (const auto& [section_length, length, ret, programs] : pat_rows) {
        PatInfo got, want = ret ? full : PatInfo{};
        std::fill(want.programs + programs, want.programs + kPsiMaxEntries, PatProgram{});
        EXPECT_EQ(char2PAT(put(pat, 2, {section_length}).data(), length, &got), ret);
        EXPECT_TRUE(got == want) << int(section_length) << " " << length;
    }
    // table_id 2; syntax 1, section_length 33; program_number 0x0BEE; '11', version 11,
    // current; section_number 5, last 9; PCR_PID 0x0100; program_info_length 3 and a
    // descriptor (skipped); AVC on 0x0021; LPCM on 0x0164 with 2 descriptor bytes; ADTS
    // on 0x1FFF, up to where the CRC would be (it is not checked).
    const Bytes pmt =
        hex("02B021 0BEE D70509 E100F003 0A0165 1BE021F000 800164F0020500 0FFFFFF000");
    // clang-format off
    const PmtInfo three{1, 0x42, 0x02, 1, 0x0BEE, 11, 1, 5, 9, 0x0100, 3, {},
                        {{1, 0x1B, 0x0021, 0, {}}, {1, 0x80, 0x0164, 2, {}}, {1, 0x0F, 0x1FFF, 0, {}}}};
    // clang-format on
    // table_id, section_length, unit length, result, streams
    const std::tuple<u8, u8, U32, int, U32> pmt_rows[] = {
        {0x02, 33, 32, 1, 3}, {0x02, 32, 32, 1, 2}, {0x02, 33, 31, 1, 2}, {0x02, 33, 12, 1, 0},
        {0x02, 33, 11, 0, 0}, {0x40, 33, 32, 2, 0}, {0xFE, 33, 32, 2, 0}, {0xFF, 33, 32, 0, 0}};
    for (const auto& [table_id, section_length, length, ret, streams] : pmt_rows) {
        PmtInfo got, want = ret == 1 ? three : PmtInfo{};
        std::fill(want.streams + streams, want.streams + kPsiMaxEntries, PmtStreamInfo{});
        const Bytes unit = put(pmt, 0, {table_id, 0xB0, section_length});
        log_of([&] { EXPECT_EQ(char2PMT(0x42, unit.data(), length, &got), ret); });
        EXPECT_TRUE(got == want) << int(table_id) << " " << int(section_length) << " " << length;
    }
}

TEST(TsDemux, ParsesPacketAndPesHeadersWhole) {
    // Every field of a packet and of a PES header with every optional part; stream_ids
    // without such a header are refused.
    tsStruct t;
    const auto fields = [&t](const Bytes& p) {
        EXPECT_EQ(char2tsStruct(p.data(), &t), 1);
        return nums(
            t.sync_byte, t.transport_error_indicator, t.payload_unit_start_indicator,
            t.transport_priority, t.pid, t.transport_scrambling_control, t.adaptation_field_control,
            t.continuity_counter, t.adaptation_field_length, t.discontinuity_indicator,
            t.random_access_indicator, t.elementary_stream_priority_indicator, t.pcr_flag,
            t.opcr_flag, t.splicing_point_flag, t.transport_private_data_flag,
            t.adaptation_field_extension_flag, t.splice_countdown, t.transport_private_data_length,
            t.transport_private_data[2], t.transport_private_data[3], t.ltw_flag,
            t.piecewise_rate_flag, t.seamless_splice_flag, t.payload_length, t.payload - p.data());
    };
    // Error, priority, PID 0x0123; scrambling 2, adaptation field and payload, counter 5; 30
    // bytes of adaptation field with every flag but random_access: PCR, OPCR,
    // splice_countdown 0x7E, 3 bytes of private data, an extension with ltw and
    // seamless_splice.
    EXPECT_EQ(fields(packet("47A123B5 1EBF 010203040506 0708090A0B0C 7E 03AABBCC 0BA0")),
              nums(0x47, 1, 0, 1, 0x123, 2, 3, 5, 30, 1, 0, 1, 1, 1, 1, 1, 1, 0x7E, 3, 0xCC, 0, 1,
                   0, 1, 153, 35));
    pesStruct h;
    const auto pes_fields = [&h](const Bytes& unit) {
        EXPECT_EQ(char2pesStruct(unit.data(), U32(unit.size()), &h), 1);
        return nums(h.start_code, h.pts_dts_flags, h.escr_flag, h.es_rate_flag,
                    h.dsm_trick_mode_flag, h.additional_copy_info_flag, h.pes_crc_flag,
                    h.pes_extension_flag, h.pes_header_data_length, h.pts, h.pes_private_data_flag,
                    h.pack_header_field_flag, h.program_packet_sequence_counter_flag,
                    h.p_std_buffer_flag, h.pes_extension_flag_2, h.pes_extension_field_length,
                    h.es_size, h.es - unit.data(), h.pes_private_data[0], h.pes_private_data[15]);
    };
    // Video; every flag; 53 header bytes: PTS 0x1_2345_6789; DTS, ESCR, ES_rate, trick
    // mode, copy info, CRC (18 bytes); extension flags: private data, pack header, counter,
    // P-STD, extension 2; 16 bytes of private data; pack header of 2, counter, P-STD;
    // extension 2 of length 5; ES EE EF.
    const Bytes every =
        cat({hex("000001E0 0000 80FF35 398D15CF13"), Bytes(18, 0x55),
             hex("F1 A0A1A2A3A4A5A6A7A8A9AAABACADAEAF 02AAAA BBBB CCCC 850102030405 EEEF")});
    EXPECT_EQ(pes_fields(every), nums(0x1E0, 3, 1, 1, 1, 1, 1, 1, 53, 0x23456789, 1, 1, 1, 1, 1, 5,
                                      2, 62, 0xA0, 0xAF));
    for (const int id : {0xBB, 0xBC, 0xBF, 0xF2, 0xF8, 0xFF})
        EXPECT_EQ(char2pesStruct(put(every, 3, {u8(id)}).data(), 62, &h), 0) << id;
}

TEST(TsDemux, WriterOutputComesBackWhole) {
    // LPCM blocks of 1 byte, of one and two full packets, 1920 bytes and the largest. Video
    // units with flags and PTS, without the AUD that the writer put before the first two
    // slices (seen in their packet count); four bytes are no slice. A counter one too high, a
    // changed sequence value, a new unit start inside an unfinished unit: each discards the
    // unit, counts one error and ends the call; the next whole PES comes through.
    init_pes_header();
    EXPECT_EQ(demux(kPsi), kNothing);
    for (const auto& [channels, n] :
         {std::pair{2u, 1920u}, {1u, 1u}, {1u, 141u}, {2u, 318u}, {1u, kMaxLpcmBlock}}) {
        EXPECT_EQ(demux(audio(channels, pattern(n, n))), make_tuple(1, 0u, "", pattern(n, n)));
        EXPECT_EQ(result.audio_channels, channels);
    }
    // flags, NAL header byte, PTS, flag bytes and packets: 32 + 140 bytes fill one packet,
    // with an AUD two
    // clang-format off
    const std::tuple<U32, u8, U32, const char*> units[] = {{0x3A, 0x65, 0x12345678, "03010102"},
        {0x11, 0x41, 0, "01000002"}, {0x0A, 0x41, 0xFFFFFFFF, "00010101"}, {0x08, 0x67, 90000, "00010001"}};
    // clang-format on
    for (const auto& [flags, nal, pts, flag_bytes] : units) {
        const Bytes au = put(pattern(140), 0, {0, 0, 0, 1, nal});
        Bytes out(2 * 188);
        set_pes_pts(pts);
        out.resize(video_to_ts(flags, au.data(), 140, out));
        EXPECT_EQ(demux(out), make_tuple(1, 0u, "", au));
        EXPECT_EQ(cat({Bytes(result.video_flags, result.video_flags + 3), {u8(out.size() / 188)}}),
                  hex(flag_bytes));
        EXPECT_EQ(result.video_pts, pts);
    }
    // After a unit with flag bit 3, four bytes are still too short for a slice's NAL header.
    Bytes es(10);
    EXPECT_EQ(make_video_es(0x08, hex("0000000141").data(), 4, es), 4u);
    const Bytes pcm = pattern(1920, 7), good = audio(2, pcm);  // 12 packets
    for (const Bytes& bad : {put(good, 5 * 188 + 3, {u8(0x30 | ((good[5 * 188 + 3] + 1) & 15))}),
                             put(good, 5 * 188 + 10, {u8(good[5 * 188 + 10] ^ 1)}),
                             put(good, 5 * 188 + 7, {u8(good[5 * 188 + 7] ^ 0x80)}),
                             cat({part(good, 0, 11 * 188), good})}) {
        EXPECT_EQ(demux(bad), make_tuple(0, 1u, "", Bytes{}));
        EXPECT_EQ(demux(audio(2, pcm)), make_tuple(1, 0u, "", pcm));
    }
}

TEST(TsDemux, TablesGateThePidsAndStoresAreBounded) {
    // Audio before any table, and after the PAT alone, is skipped quietly; the PMT brings
    // its video and audio PIDs into the filter set, not the PCR PID. PES_packet_length 0 never
    // completes: appends stop where the fill would pass 984 063 bytes (5559 packets of 177 fit,
    // then not 121 more), and the next unit start discards the unit with one error.
    init_pes_header();
    const Bytes pcm = pattern(400, 3);
    EXPECT_EQ(demux(cat({audio(2, pcm), part(kPsi, 0, 188), audio(2, pcm)})), kNothing);
    EXPECT_EQ(demux(cat({part(kPsi, 188, 188), audio(2, pcm)})), make_tuple(1, 0u, "", pcm));
    // A table on PID 2 is a section, passed over quietly, not a PES (read as one, its length
    // would be 1). A PMT that puts the PCR on the audio PID (the second stream) leaves the
    // audio flowing.
    EXPECT_EQ(demux(packet("47400210 00 03B009 0001 C10000 00000000")), kNothing);
    Bytes pmt = put(hex(kPmt), 9, hex("E164"));
    const U32 crc = section_crc32(&pmt[1], 38);
    pmt = put(pmt, 39, {u8(crc >> 24), u8(crc >> 16), u8(crc >> 8), u8(crc)});
    EXPECT_EQ(demux(cat({put(packet("47404211"), 4, pmt), audio(2, pcm)})),
              make_tuple(1, 0u, "", pcm));
    // Entries 0..3 hold PIDs 0, 1, 2 and 0x1FFF.
    const auto find = [](U32 pid) { return FindKeyDataArray(&demux_pid_filter(), pid, nullptr); };
    EXPECT_EQ(nums(find(0x42), find(0x21), find(0x164), find(0x22)), nums(4, 5, 6, -1));
    EXPECT_EQ(demux(packetise(put(Bytes(984064, 0), 0, hex("000001BD 0000")))),
              make_tuple(0, 0u, "pid[0x164] buffer overflow( 983943 121 )\n", Bytes{}));
    EXPECT_EQ(demux(audio(2, pcm)), make_tuple(0, 1u, "", Bytes{}));
    // The table: twenty entries, then "No more space"; walks end after the twentieth.
    KeyDataArray a{};
    U32 key = 0, value = 0;
    for (U32 k = 0; k < 20; ++k) AllocKeyDataArray(&a, 100 + k);
    EXPECT_EQ(log_of([&] { AllocKeyDataArray(&a, 7); }), "No more space in KeyDataArray\n");
    EXPECT_EQ(GetNextKeyDataArray(&a, 19, &key, &value) + GetNextKeyDataArray(&a, 18, &key, &value),
              18);
    EXPECT_EQ(key, 119u);
    // Names at the edges of their ranges: stream_type 0x7F; descriptor_tags 0x1B, 0x2A/2B, 0x40.
    // clang-format off
    EXPECT_EQ(std::string(stream_type_name(0x7F)) + descriptor_tag_name(0x1B) +
              descriptor_tag_name(0x2A) + "|" + descriptor_tag_name(0x2B) +
              descriptor_tag_name(0x40), "IPMP streamMPEG-4_video_descriptorAVC timing and HRD "
              "descriptor|ITU-T Rec. H.222.0 | ISO/IEC 13818-1 ReservedUser Private");
    // clang-format on
}

TEST(TsDemuxRegression, HostileInputsAreRefusedWithTheirMessages) {
    // Fields pointing outside the packet or the unit, faulty tables and headers, laid out by
    // hand: each refused with the messages of its step (the sanitizer build fences the
    // unit's end), no error counted; good input comes through after them.
    const std::string ts = "fail to char2tsStruct offset(00000000)\n";
    const std::string pat = "fail to char2PAT soffset(00000000)\nfail to processSection\n";
    const std::string pes = "fail to char2pesStruct PID(164) byte-";
    const Bytes lpcm = audio(2, pattern(100)), pmt_packet = part(kPsi, 188, 188);
    const std::pair<Bytes, std::string> cases[] = {
        // a ragged length; the sync byte lost in the second packet
        {Bytes(198, 0x47), "Error : ts_len 10\n"},
        {cat({packet("471FFF10"), packet("46")}), "fail to char2tsStruct offset(000000bc)\n"},
        // pointer_field past the payload; leaving 2 bytes
        {packet("47400010 B7"), ""},
        {packet("47400010 B5"), ""},
        // a PAT unit of 5 bytes, section_length 0; table_id 1 on PID 0
        {put(packet("47400011 B2"), 183, hex("00B000")), pat},
        {put(kPsi, 5, {1}), "char2PAT:66 table_id(1) error\n" + pat},
        // the tables, then a PMT unit of 9 bytes, a private section
        {kPsi, ""},
        {put(packet("47404211 AE"), 179, hex("02B000")),
         "fail to char2PMT\nfail to processSection\n"},
        {put(pmt_packet, 5, {0x40}), "PMT(42) is using private section(table_id-40)\n"},
        // a PES start with 5 payload bytes; three PES bytes
        {put(packet("47416430 B2 00"), 183, hex("000001BD00")), ""},
        {packetise(hex("000001")), ""},
        // header data, PTS, PES_private_data, pack_header length, extension_2 length
        // beyond the unit
        {packetise(hex("000001BD 0006 8100C8 010203")), pes + "12\n"},
        {packetise(hex("000001BD 0004 818005 21")), pes + "10\n"},
        {packetise(hex("000001BD 000A 810111 80 010203040506")), pes + "16\n"},
        {packetise(hex("000001BD 0004 810101 40")), pes + "10\n"},
        {packetise(hex("000001BD 0005 810102 3100")), pes + "11\n"},
        // stream_id 0xBE
        {put(lpcm, 55, {0xBE}), "cannot process stream_id(be)\n" + pes + "136\n"},
        // LPCM headers: no PCM, a length of 99 for 100 bytes, channels 0x21
        {audio(2, {}), "invalid es_length(4)\n"},
        {put(lpcm, 85, {99}), "invalid es header length(99)\n"},
        {put(lpcm, 86, {0x21}), "invalid es header channels(21)\n"},
        // LPCM on the video PID: passed over
        {put(lpcm, 1, {0x40, 0x21}), ""},
    };
    // adaptation_field_length 184 and 255; private data of 200 bytes; the extension's flags
    // beyond byte 187
    for (const char* head : {"47416430 B8", "47416420 FF", "47416430 B702C8", "47416430 B703B4"})
        EXPECT_EQ(demux(packet(head)), make_tuple(0, 0u, ts, Bytes{})) << head;
    init_pes_header();
    for (const auto& [stream, out] : cases)
        EXPECT_EQ(demux(stream), make_tuple(0, 0u, out, Bytes{}));
    // Video ES of 0 and 3 bytes are delivered, the first with a message.
    EXPECT_EQ(demux(packetise(hex("000001E0 0003 810000"), kVideoPid)),
              make_tuple(1, 0u, "PID[21] es_data_size 0 ???\n", Bytes{}));
    EXPECT_EQ(demux(packetise(hex("000001E0 0006 810000 000000"), kVideoPid)),
              make_tuple(1, 0u, "", Bytes(3)));
    EXPECT_EQ(demux(audio(2, pattern(8))), make_tuple(1, 0u, "", pattern(8)));
}

}  // namespace
