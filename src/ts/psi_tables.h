// The program's PAT and PMT: their descriptions, their section serialisers with the
// CRC-32/MPEG-2, and the two stored sections that start-up builds once and the TS output
// re-packetises every 500 ms. The demultiplexer reuses PatInfo, PmtInfo and the CRC.
// Serialisers return 1 on success, 0 on failure (a section that does not fit the room it is
// given is refused); nothing here ends the process: the caller decides.
#pragma once

#include <cstdint>

#include "core/wire_bytes.h"

inline constexpr std::uint32_t kSectionBufferSize = 4096;
inline constexpr std::uint32_t kPsiMaxEntries = 10;
inline constexpr std::uint32_t kDescriptorRoom = 200;

// Fixed table contents.
inline constexpr std::uint16_t kTransportStreamId = 0x260C;
inline constexpr std::uint8_t kPatVersion = 18;
inline constexpr std::uint8_t kPmtVersion = 7;
inline constexpr std::uint8_t kStreamTypeAvc = 0x1B;
inline constexpr std::uint8_t kStreamTypeLpcm = 0x80;

// Program level: registration_descriptor, format_identifier "HDMV".
inline constexpr std::uint8_t kProgramDescriptors[6] = {0x05, 0x04, 'H', 'D', 'M', 'V'};
// Audio stream: registration_descriptor "HDMV" with the stream_type again and the LPCM
// header's channel/frequency (0x31: stereo, 48 kHz) and bits (0x40: 16) bytes. Constant:
// a mono stream is still announced as stereo.
inline constexpr std::uint8_t kAudioDescriptors[10] = {0x05, 0x08, 'H',  'D',  'M',
                                                       'V',  0x00, 0x80, 0x31, 0x40};

// A description ends at the first entry whose present field is not 1.
struct PatProgram {
    std::uint32_t present;
    std::uint16_t program_number;
    std::uint16_t pid;  // program_map_PID, 13 bits
    bool operator==(const PatProgram&) const = default;
};

struct PatInfo {
    std::uint8_t table_id;
    std::uint8_t section_syntax_indicator;
    std::uint16_t transport_stream_id;
    std::uint8_t version_number;  // 5 bits
    std::uint8_t current_next_indicator;
    std::uint8_t section_number;
    std::uint8_t last_section_number;
    PatProgram programs[kPsiMaxEntries];
    bool operator==(const PatInfo&) const = default;
};

struct PmtStreamInfo {
    std::uint32_t present;
    std::uint8_t stream_type;
    std::uint16_t elementary_pid;  // 13 bits
    std::uint16_t es_info_length;  // 12 bits on the wire, at most kDescriptorRoom here
    std::uint8_t descriptors[kDescriptorRoom];
    bool operator==(const PmtStreamInfo&) const = default;
};

// Also the demultiplexer's PMT slot: in_use = 1 when the record holds a table.
struct PmtInfo {
    std::uint32_t in_use;
    std::uint16_t pid;  // the PID the PMT travels on
    std::uint8_t table_id;
    std::uint8_t section_syntax_indicator;
    std::uint16_t program_number;
    std::uint8_t version_number;  // 5 bits
    std::uint8_t current_next_indicator;
    std::uint8_t section_number;
    std::uint8_t last_section_number;
    std::uint16_t pcr_pid;              // 13 bits
    std::uint16_t program_info_length;  // 12 bits on the wire, at most kDescriptorRoom here
    std::uint8_t program_descriptors[kDescriptorRoom];
    PmtStreamInfo streams[kPsiMaxEntries];
    bool operator==(const PmtInfo&) const = default;
};

// A CRC table entry. A CRC context is 257 of them: 256 entries and a flag word (1 =
// process a byte at a time).
using AVCRC = std::uint32_t;
inline constexpr int kCrcContextWords = 257;

// Start-up: the CRC table, then the PAT and the PMT into their stored sections. True when
// all three are built; false after the failed step's message ("fail to av_crc_init",
// "fail to makeQVXPAT", "fail to makeQVXPMT"). The service then ends with status 1.
bool init_psi_tables();

// The stored sections (pointer_field first, CRC last; length 0 until init_psi_tables).
const std::uint8_t* pat_section();
std::uint32_t pat_section_length();
const std::uint8_t* pmt_section();
std::uint32_t pmt_section_length();

// Fill a description with the fixed contents and serialise it into section (the stored
// sections hold kSectionBufferSize bytes). makeQVXPMT's descriptor pointers may be null when their
// length is 0; a length above kDescriptorRoom is refused. The second stream is present
// only when its stream_type is not 0.
int makeQVXPAT(WireBytes section, std::uint32_t* section_len);
int makeQVXPMT(WireBytes section, std::uint32_t* section_len, std::uint16_t pcr_pid,
               std::uint8_t stream_type1, std::uint16_t elementary_pid1,
               std::uint16_t es_info_length1, const std::uint8_t* descriptors1,
               std::uint8_t stream_type2, std::uint16_t elementary_pid2,
               std::uint16_t es_info_length2, const std::uint8_t* descriptors2);

// Serialise a description into section: pointer_field, the section with section_length and
// its CRC. At most ten entries are read. Refused (0, *section_len unchanged): a section that
// does not fit in section, and in pmt_to_section descriptor lengths above kDescriptorRoom.
int pat_to_section(WireBytes section, const PatInfo& pat, std::uint32_t* section_len);
int pmt_to_section(WireBytes section, const PmtInfo& pmt, std::uint32_t* section_len);

// Builds a table-driven CRC context: le 0 = most significant bit first, bits 8..32,
// polynomial below 2^bits, context size 1028 or 4096 bytes (other sizes print
// "sizeof(AVCRC) = 4" and fail). Returns 0, or -1 for refused parameters.
int av_crc_init(AVCRC* ctx, int le, int bits, std::uint32_t poly, int ctx_size);

// Runs the CRC register over data. For le 0 the register holds the CRC byte-swapped (its
// low byte is the CRC's top byte), so callers byte-swap the result.
std::uint32_t av_crc(const AVCRC* ctx, std::uint32_t crc, const std::uint8_t* data,
                     std::uint32_t length);

// Builds the PSI CRC table. 0, or -1 after printing "fail to av_crc_init".
int init_crc_table();

// CRC-32/MPEG-2 of data (initial 0xFFFFFFFF, no final inversion); the most significant
// byte goes first on the wire. Over a whole section from table_id to its CRC it gives 0.
std::uint32_t section_crc32(const std::uint8_t* data, std::uint32_t length);

// Appends the PAT packet(s) on PID 0 and the PMT packet(s) on the PMT PID to out after
// *out_len, each with its own continuity counter. Returns 1; or 0 after "fail to Section2TS"
// when the packets of both do not fit in out (nothing appended, no counter moved) or a
// table was never built.
int psi_to_ts(WireBytes out, std::uint32_t* out_len);
