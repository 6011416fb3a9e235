// PAT and PMT sections, their CRC-32/MPEG-2, and the packetising of the stored sections.
#include "ts/psi_tables.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/debug_log.h"
#include "ts/ts_packet.h"

namespace {

// CRC-32/MPEG-2 (ISO/IEC 13818-1 Annex A): polynomial 0x04C11DB7, initial value
// 0xFFFFFFFF, most significant bit first, no final inversion.
constexpr std::uint32_t kMpeg2Polynomial = 0x04C11DB7;
constexpr int kPsiCrcContextBytes = kCrcContextWords * static_cast<int>(sizeof(AVCRC));

constexpr std::uint32_t bswap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// Table entry i. Most-significant-bit-first entries are kept byte-swapped so that one
// register update, crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8), serves both bit orders.
constexpr std::uint32_t crc_table_entry(int le, int bits, std::uint32_t poly, std::uint32_t i) {
    if (le) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (poly & (0u - (c & 1u)));
        return c;
    }
    const std::uint32_t top_poly = poly << (32 - bits);
    std::uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k) c = (c << 1) ^ (top_poly & (0u - (c >> 31)));
    return bswap32(c);
}

constexpr std::array<AVCRC, kCrcContextWords> make_psi_crc_context() {
    std::array<AVCRC, kCrcContextWords> ctx{};
    for (std::uint32_t i = 0; i < 256; ++i) ctx[i] = crc_table_entry(0, 32, kMpeg2Polynomial, i);
    ctx[256] = 1;
    return ctx;
}

constexpr std::uint32_t crc_update(const AVCRC* ctx, std::uint32_t crc, std::uint8_t byte) {
    return ctx[(crc ^ byte) & 0xFFu] ^ (crc >> 8);
}

constexpr std::uint32_t crc32_mpeg2(std::string_view text) {
    constexpr auto ctx = make_psi_crc_context();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : text) crc = crc_update(ctx.data(), crc, static_cast<std::uint8_t>(c));
    return bswap32(crc);
}
static_assert(crc32_mpeg2("123456789") == 0x0376E6E7, "CRC-32/MPEG-2 check value");

// Correct from the start, so that a section CRC never depends on start-up order;
// init_crc_table rebuilds it all the same.
constinit std::array<AVCRC, kCrcContextWords> g_psi_crc = make_psi_crc_context();

struct StoredSection {
    std::uint8_t data[kSectionBufferSize];
    std::uint32_t length;
};
StoredSection g_pat{};
StoredSection g_pmt{};

// Byte 0 pointer_field, 1 table_id, 2-3 section_syntax_indicator and section_length,
// 4-5 table_id_extension, 6 version/current_next, 7 section_number, 8 last_section_number.
void put_section_head(WireWriter& w, std::uint8_t table_id, std::uint16_t id_extension,
                      std::uint8_t version, std::uint8_t current_next, std::uint8_t number,
                      std::uint8_t last_number) {
    w.u8(0x00)
        .u8(table_id)
        .be16(0xB000)  // section_syntax_indicator 1, '0', reserved '11', length later
        .be16(id_extension)
        .u8(static_cast<std::uint8_t>(0xC0u | ((version & 0x1Fu) << 1) | (current_next & 1u)))
        .u8(number)
        .u8(last_number);
}

// 3 reserved '1' bits, then a 13-bit PID.
void put_pid(WireWriter& w, std::uint16_t pid) {
    w.be16(static_cast<std::uint16_t>(0xE000u | (pid & 0x1FFFu)));
}

// 4 reserved '1' bits, then a 12-bit length.
void put_length12(WireWriter& w, std::uint16_t length) {
    w.be16(static_cast<std::uint16_t>(0xF000u | (length & 0x0FFFu)));
}

// n = the bytes written so far, counted from the pointer_field. The section_length (bytes
// after its own field, CRC included) is (n - 4) + 4 = n. Returns the whole length, n + 4,
// or 0 when the section (CRC included) did not fit in s.
std::uint32_t finish_section(WireBytes s, WireWriter& w) {
    if (!w.ok()) return 0;
    const std::uint32_t n = static_cast<std::uint32_t>(w.pos());
    put_be16(s, 2, static_cast<std::uint16_t>(0xB000u | (n & 0x0FFFu)));
    w.be32(section_crc32(s.data() + 1, n - 1));
    return w.ok() ? n + 4 : 0;
}

}  // namespace

const std::uint8_t* pat_section() { return g_pat.data; }
std::uint32_t pat_section_length() { return g_pat.length; }
const std::uint8_t* pmt_section() { return g_pmt.data; }
std::uint32_t pmt_section_length() { return g_pmt.length; }

int av_crc_init(AVCRC* ctx, int le, int bits, std::uint32_t poly, int ctx_size) {
    if (ctx == nullptr || bits < 8 || bits > 32) return -1;
    if (bits < 32 && poly >= (std::uint32_t{1} << bits)) return -1;
    if (ctx_size != kPsiCrcContextBytes && ctx_size != 1024 * static_cast<int>(sizeof(AVCRC))) {
        std::printf("sizeof(AVCRC) = %lu\n", static_cast<unsigned long>(sizeof(AVCRC)));
        return -1;
    }
    for (std::uint32_t i = 0; i < 256; ++i) ctx[i] = crc_table_entry(le, bits, poly, i);
    ctx[256] = 1;
    return 0;
}

std::uint32_t av_crc(const AVCRC* ctx, std::uint32_t crc, const std::uint8_t* data,
                     std::uint32_t length) {
    // Both context sizes carry the byte-at-a-time flag; there is no other mode to select.
    for (std::uint32_t i = 0; i < length; ++i) crc = crc_update(ctx, crc, data[i]);
    return crc;
}

int init_crc_table() {
    if (av_crc_init(g_psi_crc.data(), 0, 32, kMpeg2Polynomial, kPsiCrcContextBytes) == -1) {
        std::puts("fail to av_crc_init");
        return -1;
    }
    return 0;
}

std::uint32_t section_crc32(const std::uint8_t* data, std::uint32_t length) {
    return bswap32(av_crc(g_psi_crc.data(), 0xFFFFFFFFu, data, length));
}

int pat_to_section(WireBytes section, const PatInfo& pat, std::uint32_t* section_len) {
    WireWriter w(section);
    put_section_head(w, 0x00, pat.transport_stream_id, pat.version_number,
                     pat.current_next_indicator, pat.section_number, pat.last_section_number);
    for (std::uint32_t i = 0; i < kPsiMaxEntries && pat.programs[i].present == 1; ++i) {
        w.be16(pat.programs[i].program_number);
        put_pid(w, pat.programs[i].pid);
    }
    const std::uint32_t length = finish_section(section, w);
    if (length == 0) return 0;
    *section_len = length;
    return 1;
}

int pmt_to_section(WireBytes section, const PmtInfo& pmt, std::uint32_t* section_len) {
    if (pmt.program_info_length > kDescriptorRoom) return 0;
    for (std::uint32_t i = 0; i < kPsiMaxEntries && pmt.streams[i].present == 1; ++i)
        if (pmt.streams[i].es_info_length > kDescriptorRoom) return 0;

    WireWriter w(section);
    put_section_head(w, 0x02, pmt.program_number, pmt.version_number, pmt.current_next_indicator,
                     pmt.section_number, pmt.last_section_number);
    put_pid(w, pmt.pcr_pid);
    put_length12(w, pmt.program_info_length);
    w.bytes(pmt.program_descriptors, pmt.program_info_length);
    for (std::uint32_t i = 0; i < kPsiMaxEntries && pmt.streams[i].present == 1; ++i) {
        const PmtStreamInfo& es = pmt.streams[i];
        w.u8(es.stream_type);
        put_pid(w, es.elementary_pid);
        put_length12(w, es.es_info_length);
        w.bytes(es.descriptors, es.es_info_length);
    }
    const std::uint32_t length = finish_section(section, w);
    if (length == 0) return 0;
    *section_len = length;
    return 1;
}

int makeQVXPAT(WireBytes section, std::uint32_t* section_len) {
    PatInfo pat{};
    pat.table_id = 0x00;
    pat.section_syntax_indicator = 1;
    pat.transport_stream_id = kTransportStreamId;
    pat.version_number = kPatVersion;
    pat.current_next_indicator = 1;
    pat.section_number = 0;
    pat.last_section_number = 0;
    pat.programs[0] = PatProgram{1, kProgramNumber, kPmtPid};
    return pat_to_section(section, pat, section_len);
}

int makeQVXPMT(WireBytes section, std::uint32_t* section_len, std::uint16_t pcr_pid,
               std::uint8_t stream_type1, std::uint16_t elementary_pid1,
               std::uint16_t es_info_length1, const std::uint8_t* descriptors1,
               std::uint8_t stream_type2, std::uint16_t elementary_pid2,
               std::uint16_t es_info_length2, const std::uint8_t* descriptors2) {
    if (es_info_length1 > kDescriptorRoom || es_info_length2 > kDescriptorRoom) return 0;
    if ((es_info_length1 > 0 && descriptors1 == nullptr) ||
        (stream_type2 != 0 && es_info_length2 > 0 && descriptors2 == nullptr))
        return 0;

    PmtInfo pmt{};
    pmt.in_use = 1;
    pmt.pid = kPmtPid;
    pmt.table_id = 0x02;
    pmt.section_syntax_indicator = 1;
    pmt.program_number = kProgramNumber;
    pmt.version_number = kPmtVersion;
    pmt.current_next_indicator = 1;
    pmt.section_number = 0;
    pmt.last_section_number = 0;
    pmt.pcr_pid = pcr_pid;
    pmt.program_info_length = sizeof kProgramDescriptors;
    std::memcpy(pmt.program_descriptors, kProgramDescriptors, sizeof kProgramDescriptors);

    PmtStreamInfo& first = pmt.streams[0];
    first.present = 1;
    first.stream_type = stream_type1;
    first.elementary_pid = elementary_pid1;
    first.es_info_length = es_info_length1;
    if (es_info_length1 > 0) std::memcpy(first.descriptors, descriptors1, es_info_length1);

    if (stream_type2 != 0) {
        PmtStreamInfo& second = pmt.streams[1];
        second.present = 1;
        second.stream_type = stream_type2;
        second.elementary_pid = elementary_pid2;
        second.es_info_length = es_info_length2;
        if (es_info_length2 > 0) std::memcpy(second.descriptors, descriptors2, es_info_length2);
    }
    return pmt_to_section(section, pmt, section_len);
}

bool init_psi_tables() {
    if (init_crc_table() == -1) return false;
    if (makeQVXPAT(g_pat.data, &g_pat.length) != 1) {
        dbg_printf("fail to makeQVXPAT\n");
        return false;
    }
    if (makeQVXPMT(g_pmt.data, &g_pmt.length, kPcrPid, kStreamTypeAvc, kVideoPid, 0, nullptr,
                   kStreamTypeLpcm, kAudioPid, sizeof kAudioDescriptors, kAudioDescriptors) != 1) {
        dbg_printf("fail to makeQVXPMT\n");
        return false;
    }
    return true;
}

int psi_to_ts(WireBytes out, std::uint32_t* out_len) {
    TsCounters& counters = ts_counters();
    // Both tables or neither: the room for the PMT is checked before the PAT goes in.
    const std::uint64_t need =
        std::uint64_t{section_ts_size(g_pat.length)} + section_ts_size(g_pmt.length);
    const bool fits = *out_len <= out.size() && need <= out.size() - *out_len;
    if (!fits || Section2TS(kPatPid, &counters.pat, g_pat.data, g_pat.length, out, out_len) != 1 ||
        Section2TS(kPmtPid, &counters.pmt, g_pmt.data, g_pmt.length, out, out_len) != 1) {
        dbg_printf("fail to Section2TS\n");
        return 0;
    }
    return 1;
}
