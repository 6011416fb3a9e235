// Transport packets (ISO/IEC 13818-1): the in-memory record of one 188-byte packet, its
// serialiser, and the producers that cut a PSI section, a PES packet or a lone PCR into
// packets. Used by the PSI tables, the LPCM PES writer, the TS output, the demultiplexer
// and the video PES writer. Pure code on caller buffers: nothing here sends, allocates or
// reads a clock.
//
// Output convention of every producer: out is the whole output buffer with its room; each
// packet is written at out[*out_len] and *out_len grows by 188. A producer first checks that
// every packet it is asked for fits in the room after *out_len, and refuses otherwise:
// nothing written, nothing advanced. Producers return 1 on success, 0 on failure.
#pragma once

#include <cstdint>

#include "core/wire_bytes.h"

// Fixed identifiers of the one program this service sends.
inline constexpr std::uint16_t kPatPid = 0x0000;
inline constexpr std::uint16_t kPmtPid = 0x0042;    // the PAT points here
inline constexpr std::uint16_t kPcrPid = 0x0022;    // PCR-only packets; PCR_PID of the PMT
inline constexpr std::uint16_t kAudioPid = 0x0164;  // LPCM PES packets
inline constexpr std::uint16_t kVideoPid = 0x0021;  // in the PMT only; never sent here
inline constexpr std::uint16_t kNullPid = 0x1FFF;
inline constexpr std::uint16_t kProgramNumber = 1;

inline constexpr std::uint32_t kTsPacketSize = 188;
inline constexpr std::uint32_t kTsPayloadMax = 184;  // payload of a packet without adaptation field
inline constexpr std::uint8_t kTsSyncByte = 0x47;

// Payload of each PES2TS packet: 188 - 4 header - 1 length - 6 adaptation field bytes
// (flags, private data length, four bytes of sequence number).
inline constexpr std::uint32_t kPesPayloadPerPacket = 177;

// Bytes of transport packets that PES2TS makes of a PES of pes_len bytes.
constexpr std::uint32_t pes_ts_size(std::uint32_t pes_len) {
    return (pes_len + kPesPayloadPerPacket - 1) / kPesPayloadPerPacket * kTsPacketSize;
}

// Bytes of transport packets that Section2TS makes of a section of section_len bytes.
constexpr std::uint32_t section_ts_size(std::uint32_t section_len) {
    return (section_len + kTsPayloadMax - 1) / kTsPayloadMax * kTsPacketSize;
}

// One transport packet before serialisation (or after parsing, for the demultiplexer).
// Plain integer fields, one per syntax element; the wire form is produced byte by byte by
// tsStruct2char, never by the layout of this record. Flags hold 0 or 1.
struct tsStruct {
    // Packet header.
    std::uint8_t sync_byte;                  // the serialiser always writes 0x47
    std::uint8_t transport_error_indicator;  // written as 0
    std::uint8_t payload_unit_start_indicator;
    std::uint8_t transport_priority;            // written as 0
    std::uint16_t pid;                          // 13 bits
    std::uint8_t transport_scrambling_control;  // written as 0
    std::uint8_t adaptation_field_control;      // 1 payload only, 2 adaptation only, 3 both
    std::uint8_t continuity_counter;            // 4 bits

    // Adaptation field. The serialiser writes only PCR_flag and transport_private_data_flag;
    // the other flags are kept for the parser and written as 0.
    std::uint8_t adaptation_field_length;
    std::uint8_t discontinuity_indicator;
    std::uint8_t random_access_indicator;
    std::uint8_t elementary_stream_priority_indicator;
    std::uint8_t pcr_flag;
    std::uint8_t opcr_flag;
    std::uint8_t splicing_point_flag;
    std::uint8_t transport_private_data_flag;
    std::uint8_t adaptation_field_extension_flag;

    // program_clock_reference: base bit 32 in the high word, bits 31..0 in the low word.
    std::uint32_t pcr_base_high;
    std::uint32_t pcr_base_low;
    std::uint16_t pcr_extension;  // 9 bits
    // original_program_clock_reference, same layout (filled only by a parser).
    std::uint32_t opcr_base_high;
    std::uint32_t opcr_base_low;
    std::uint16_t opcr_extension;
    std::uint8_t splice_countdown;  // filled only by a parser

    std::uint8_t transport_private_data_length;
    std::uint8_t transport_private_data[188];

    // Adaptation field extension flags (filled only by a parser).
    std::uint8_t ltw_flag;
    std::uint8_t piecewise_rate_flag;
    std::uint8_t seamless_splice_flag;

    std::uint8_t payload_length;  // at most 184
    const std::uint8_t* payload;  // not owned: the producer's (or parser's) input bytes
};

// The continuity counters of the stream's four PIDs and the sequence number that every
// audio PES carries in transport_private_data. Zero at start, never reset for the life of
// the process (not even when the TS socket is reopened). Each is written only through the
// producer that owns its PID: pat/pmt by psi_to_ts, pcr by make_pcr_packet, audio and
// pes_sequence_number by pcm_to_ts. Others read them.
struct TsCounters {
    std::uint8_t pat;
    std::uint8_t pmt;
    std::uint8_t pcr;
    std::uint8_t audio;
    std::uint32_t pes_sequence_number;
};
TsCounters& ts_counters();

// Writes one 188-byte packet at the start of out. The caller chooses adaptation_field_length
// and payload_length so that the parts add up to 188 (bytes they leave short are not
// written). Returns 1; 0 when out holds fewer than 188 bytes, or when the adaptation field's
// contents or the payload would run past its end or past byte 187 (what was written before
// that point is left as it is).
int tsStruct2char(const tsStruct& ts, WireBytes out);

// Cuts one PSI section (pointer_field first, CRC last; section_len counts both) into
// payload-only packets on pid, the first with payload_unit_start_indicator set, the tail
// of the last padded with 0xFF in the packet. The section buffer is only read. Advances
// *counter once per packet. Refuses (0, nothing written) a section of 0 bytes.
int Section2TS(std::uint16_t pid, std::uint8_t* counter, const std::uint8_t* section,
               std::uint32_t section_len, WireBytes out, std::uint32_t* out_len);

// Cuts one PES packet into packets on pid, each with an adaptation field carrying four
// bytes of transport_private_data: *sequence, most significant byte first, the same in
// every packet of this PES. *sequence grows by one per PES (wrapping at 2^32); *counter by
// one per packet. 177 payload bytes per packet; the last packet's shortfall becomes 0xFF
// stuffing in its adaptation field. Refuses (0, nothing written, nothing advanced) a PES
// of 0 bytes.
int PES2TS(std::uint16_t pid, std::uint8_t* counter, const std::uint8_t* pes, std::uint32_t pes_len,
           WireBytes out, std::uint32_t* out_len, std::uint32_t* sequence);

// One packet on the PCR PID carrying only a PCR: base = pcr_base (90 kHz units, bit 32
// clear), extension 0, 175 stuffing bytes, and 0xFF as its single payload byte (byte 187).
// Advances the PCR counter. Returns 1 (0 when the packet does not fit).
int make_pcr_packet(std::uint32_t pcr_base, WireBytes out, std::uint32_t* out_len);
