// Transport stream demultiplexer: the receiving side of the transport packet, PSI and PES
// writers. It follows the first PAT and the PMTs, reassembles PES packets per PID (checking
// continuity counters and the four-byte sequence value in transport_private_data) and
// hands back the first complete H.264 access unit or LPCM block of a buffer. The service
// does not call it; tools, tests and the video PES writer (its AUD template) do.
//
// Hostile input is expected: every read stays inside the packet or the reassembled unit,
// and a packet or unit whose fields point outside it is refused. Memory is bounded: one
// reassembly buffer of kTsPayloadBufferSize bytes per PID, at most 20 PIDs, allocated once
// on a PID's first use and never freed. Not thread-safe: one module-wide state.
#pragma once

#include <cstdint>

#include "ts/psi_tables.h"
#include "ts/ts_packet.h"

// A fixed table of key/value pairs. Entries are taken in index order and never removed,
// so the used entries are always 0..n-1: walks stop at the first unused one.
inline constexpr int kKeyDataEntries = 20;

struct KeyData {
    std::uint32_t used;  // 0 or 1
    std::uint32_t key;
    std::uint32_t value;
};

struct KeyDataArray {
    KeyData entries[kKeyDataEntries];
};

void ClearKeyDataArray(KeyDataArray* array);
// Takes the first unused entry for key (value 0). Returns its index, or -1 after printing
// "No more space in KeyDataArray" (debug log) when all 20 are used.
int AllocKeyDataArray(KeyDataArray* array, std::uint32_t key);
// Index of the entry holding key (and its value in *value when value is not null), or -1.
int FindKeyDataArray(const KeyDataArray* array, std::uint32_t key, std::uint32_t* value);
// Iteration in index order: the first used entry, then the one after index. Both return
// the entry's index and fill *key and *value, or -1 at the end.
int GetFirstKeyDataArray(const KeyDataArray* array, std::uint32_t* key, std::uint32_t* value);
int GetNextKeyDataArray(const KeyDataArray* array, int index, std::uint32_t* key,
                        std::uint32_t* value);
// Sets the value of a used entry; 1, or 0 for an index out of range or unused.
int SetKeyDataArrayValue(KeyDataArray* array, int index, std::uint32_t value);

// One PID's reassembly buffer: a single heap block of this size.
inline constexpr std::uint32_t kTsPayloadBufferSize = 984280;
// An append that would take the fill beyond this is refused ("buffer overflow").
inline constexpr std::uint32_t kTsPayloadFillLimit = 984063;

struct TsPayloadBuffer {
    std::uint32_t tag[2];           // the caller's tag words (always 0 here)
    std::uint32_t expected_length;  // 0 = open-ended
    std::uint32_t complete_length;  // set when the unit is complete
    std::uint32_t next_counter;     // continuity_counter the next packet must carry
    std::uint32_t sequence;         // transport_private_data of the unit's first packet
    std::uint32_t fill;             // bytes in data
    std::uint8_t data[kTsPayloadBufferSize - 7 * sizeof(std::uint32_t)];
};
static_assert(sizeof(TsPayloadBuffer) == kTsPayloadBufferSize);

// One PES header as parsed; the ES bytes are not copied.
struct pesStruct {
    std::uint32_t start_code;  // packet_start_code_prefix << 8 | stream_id
    std::uint8_t pts_dts_flags;
    std::uint8_t escr_flag;
    std::uint8_t es_rate_flag;
    std::uint8_t dsm_trick_mode_flag;
    std::uint8_t additional_copy_info_flag;
    std::uint8_t pes_crc_flag;
    std::uint8_t pes_extension_flag;
    std::uint8_t pes_header_data_length;
    std::uint32_t pts;  // bits 31..0; bit 32 is dropped
    // PES extension flags: PES_private_data_flag, pack_header_field_flag,
    // program_packet_sequence_counter_flag, P-STD_buffer_flag, PES_extension_flag_2.
    std::uint8_t pes_private_data_flag;
    std::uint8_t pack_header_field_flag;
    std::uint8_t program_packet_sequence_counter_flag;
    std::uint8_t p_std_buffer_flag;
    std::uint8_t pes_extension_flag_2;
    std::uint8_t pes_private_data[16];
    std::uint8_t pes_extension_field_length;  // 7 bits
    std::uint32_t es_size;
    const std::uint8_t* es;  // inside the parsed unit
};

// What demux_ts_buffer delivers. Cleared at the start of every call, so after a return of
// 1 exactly one of video_es and audio_pcm is set. Both point into the demultiplexer's
// working copy of the unit and stay valid until the next call.
struct DemuxResult {
    const std::uint8_t* video_es;  // access unit without its leading AUD
    std::uint32_t video_es_size;
    std::uint8_t video_flags[3];    // PES_private_data bytes 9, 10, 11 of the video PES
    std::uint32_t video_pts;        // bits 31..0
    const std::uint8_t* audio_pcm;  // PCM after the 4-byte LPCM header
    std::uint32_t audio_pcm_size;
    std::uint32_t audio_channels;  // 1 or 2
};

// Takes length bytes of whole 188-byte packets. Returns 1 as soon as one video access unit
// (stream_type 0x1B, stream_id 0xE0) or LPCM block (stream_type 0x80, stream_id 0xBD) is
// complete; the packets after it are not examined. Returns 0 when the buffer ends without
// one, or at the first failure, after its message. Reassembly errors (counter gap, changed
// sequence value, a unit start inside an unfinished unit) discard the PID's partial unit
// and add 1 to *error_count (error_count may be null). A length that is not a multiple of
// 188 is refused with "Error : ts_len <remainder>". The first call builds the module state;
// should that fail (a PID table full, the CRC table refused: neither happens with the fixed
// set-up) the process exits with status 1, as every program using this module expects.
int demux_ts_buffer(const std::uint8_t* packets, int length, DemuxResult* result,
                    std::uint32_t* error_count);

// The H.264 access unit delimiter with its start code, 00 00 00 01 69 30: built by the first
// call of demux_ts_buffer (length 0 until then), used by the video PES writer.
struct AudTemplate {
    std::uint8_t bytes[6];
    std::uint32_t length;
};
const AudTemplate& aud_template();

// The PID filter set: key = PID, value = how often the PID was stored. Read-only view for
// diagnostics and tests.
const KeyDataArray& demux_pid_filter();

// Parsers of single packets and units, free of module state.

// 188 bytes -> record. 0 for a sync byte other than 0x47, an adaptation field longer than
// the packet, or adaptation fields (transport_private_data) that run past byte 187. PCR and
// OPCR are not decoded. A packet without transport_private_data leaves its bytes 0.
int char2tsStruct(const std::uint8_t* packet, tsStruct* ts);

// The PES header of a unit of length bytes. 0 for stream_ids that carry no such header
// (printing "invalid stream_id(%x)]" or "cannot process stream_id(%x)"), and for a header
// whose flagged fields or PES_header_data_length run past the unit.
int char2pesStruct(const std::uint8_t* unit, std::uint32_t length, pesStruct* pes);

// A PAT section starting with table_id (the unit after the pointer_field): up to ten
// program entries, 13-bit PIDs only. 0 for a table_id other than 0 (printing
// "char2PAT:66 table_id(%x) error") or a unit shorter than the fixed header.
int char2PAT(const std::uint8_t* unit, std::uint32_t length, PatInfo* pat);

// A PMT section on pid: 1 parsed (table_id 2; descriptors are skipped, not copied),
// 2 a private section (table_id 0x40..0xFE, printed, to be taken without effect),
// 0 any other table_id (printing "char2PMT:632 table_id(%x) error") or a unit shorter than
// the fixed header.
int char2PMT(std::uint16_t pid, const std::uint8_t* unit, std::uint32_t length, PmtInfo* pmt);

// The 4-byte LPCM header at the start of an ES of es_size bytes: size, channels (0x11 = 1,
// 0x31 = 2) and the PCM after it. 1, or 0 after one of "invalid es_length(%d)",
// "invalid es header length(%d)", "invalid es header channels(%x)" (debug log).
int parse_lpcm_header(const std::uint8_t* es, std::uint32_t es_size, const std::uint8_t** pcm,
                      std::uint32_t* pcm_size, std::uint32_t* channels);

// Diagnostic names of a PMT stream_type and a descriptor_tag, as ISO/IEC 13818-1 lists them.
const char* stream_type_name(std::uint8_t stream_type);
const char* descriptor_tag_name(std::uint8_t tag);
// Prints "Descriptor : Tag-%x(%s) length(%x)" for the descriptor at descriptor (tag and
// length bytes) on stdout; returns its whole size, 2 + descriptor_length.
std::uint32_t print_descriptor(const std::uint8_t* descriptor);
