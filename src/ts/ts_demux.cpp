// Transport stream demultiplexer: packet and PES parsers, PAT/PMT tracking, per-PID
// reassembly with continuity and sequence checks, delivery of video and LPCM units.
#include "ts/ts_demux.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/debug_log.h"
#include "core/wire_bytes.h"

// Under AddressSanitizer the working copy beyond the current unit is poisoned, so that a
// parser reading past the unit's end fails loudly in the sanitizer builds and the fuzzer
// even though the bytes lie inside the static working area.
#if defined(__SANITIZE_ADDRESS__)
#define TS_DEMUX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TS_DEMUX_ASAN 1
#endif
#endif
#ifdef TS_DEMUX_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr std::uint32_t kPmtSlots = 10;
constexpr std::uint32_t kPacket = kTsPacketSize;
constexpr std::uint8_t kStreamIdVideo = 0xE0;
constexpr std::uint8_t kStreamIdPrivate1 = 0xBD;

// Results of processTSHeader and processTSBuffering.
constexpr int kGoOn = 0;      // processTSHeader: the packet goes to reassembly
constexpr int kComplete = 0;  // processTSBuffering: the PID's unit is complete
constexpr int kSkip = 2;      // null packet, or no payload
constexpr int kIgnore = 3;    // a PID not followed (yet), or a unit still incomplete
constexpr int kError = 4;

struct DemuxState {
    std::uint32_t first_call = 1;
    KeyDataArray pid_filter{};     // key PID, value: times stored
    KeyDataArray payload_table{};  // key PID, value: index into buffers
    // A 64-bit host cannot keep an address in the table's 32-bit value, so the table
    // holds the index of the PID's block here.
    TsPayloadBuffer* buffers[kKeyDataEntries] = {};
    PatInfo pat_store{};  // the first PAT; only its program PIDs are used
    PmtInfo pmt_slots[kPmtSlots]{};
    std::uint32_t table_state = 0;  // 0 no PAT yet, 1 last table a PAT, 2 last table a PMT
    std::uint32_t pat_wanted = 1;
};

DemuxState g_demux;
AudTemplate g_aud{};

// The finished unit is copied here once; delivered pointers point into it. Static rather
// than on the stack: it is almost a megabyte.
alignas(8) TsPayloadBuffer g_unit;

void fence_unit(TsPayloadBuffer& unit, std::uint32_t length) {
#ifdef TS_DEMUX_ASAN
    ASAN_POISON_MEMORY_REGION(unit.data + length, sizeof unit.data - length);
#else
    (void)unit;
    (void)length;
#endif
}

void unfence_unit(TsPayloadBuffer& unit) {
#ifdef TS_DEMUX_ASAN
    ASAN_UNPOISON_MEMORY_REGION(unit.data, sizeof unit.data);
#else
    (void)unit;
#endif
}

// 3 reserved bits, then a 13-bit PID; 4 reserved bits, then a 12-bit length.
std::uint16_t pid13(ConstWireBytes b, std::size_t at) {
    return static_cast<std::uint16_t>(get_be16(b, at) & 0x1FFFu);
}

std::uint16_t length12(ConstWireBytes b, std::size_t at) {
    return static_cast<std::uint16_t>(get_be16(b, at) & 0x0FFFu);
}

// PID classifiers.

bool is_psi_pid(const DemuxState& s, std::uint16_t pid) {
    if (pid <= 0x0002) return true;
    for (std::uint32_t i = 0; i < kPsiMaxEntries && s.pat_store.programs[i].present == 1; ++i)
        if (s.pat_store.programs[i].pid == pid) return true;
    return false;
}

bool is_pcr_only_pid(const DemuxState& s, std::uint16_t pid) {
    for (const PmtInfo& pmt : s.pmt_slots) {
        if (pmt.in_use != 1 || pmt.pcr_pid != pid) continue;
        bool carries_es = false;
        for (std::uint32_t i = 0; i < kPsiMaxEntries && pmt.streams[i].present == 1; ++i)
            if (pmt.streams[i].elementary_pid == pid) carries_es = true;
        if (!carries_es) return true;
    }
    return false;
}

// stream_type of the first stream announcing pid, or 0 when no PMT lists it.
std::uint8_t es_stream_type(const DemuxState& s, std::uint16_t pid) {
    for (const PmtInfo& pmt : s.pmt_slots) {
        if (pmt.in_use != 1) continue;
        for (std::uint32_t i = 0; i < kPsiMaxEntries && pmt.streams[i].present == 1; ++i)
            if (pmt.streams[i].elementary_pid == pid) return pmt.streams[i].stream_type;
    }
    return 0;
}

int store_PID(DemuxState& s, std::uint16_t pid) {
    std::uint32_t times = 0;
    int index = FindKeyDataArray(&s.pid_filter, pid, &times);
    if (index < 0) {
        index = AllocKeyDataArray(&s.pid_filter, pid);
        if (index < 0) {
            std::printf("%s:%d fail to AllocKeyDataArray\n", "store_PID", 652);
            return 0;
        }
        times = 0;
    }
    SetKeyDataArrayValue(&s.pid_filter, index, times + 1);
    return 1;
}

TsPayloadBuffer* get_TSPayloadBuff(DemuxState& s, std::uint16_t pid) {
    std::uint32_t slot = 0;
    int index = FindKeyDataArray(&s.payload_table, pid, &slot);
    if (index < 0) {
        index = AllocKeyDataArray(&s.payload_table, pid);
        if (index < 0) {
            std::printf("%s:%d fail to AllocKeyDataArray\n", "get_TSPayloadBuff", 31);
            return nullptr;
        }
        slot = static_cast<std::uint32_t>(index);
        SetKeyDataArrayValue(&s.payload_table, index, slot);
    }
    if (s.buffers[slot] == nullptr) {
        // Once per PID for the life of the process; the data area is left untouched so
        // that its pages cost nothing until they are filled.
        TsPayloadBuffer* buf = new (std::nothrow) TsPayloadBuffer;
        if (buf == nullptr) {
            DBG_TRACE();
            dbg_perror("new TsPayloadBuffer");
            return nullptr;
        }
        buf->tag[0] = buf->tag[1] = 0;
        buf->expected_length = buf->complete_length = buf->next_counter = 0;
        buf->sequence = buf->fill = 0;
        s.buffers[slot] = buf;
    }
    return s.buffers[slot];
}

int processTSHeader(DemuxState& s, const tsStruct& ts) {
    if (ts.pid == kNullPid) return kSkip;
    if (FindKeyDataArray(&s.pid_filter, ts.pid, nullptr) < 0) return kIgnore;
    if (s.table_state == 0 && ts.pid != kPatPid) return kIgnore;
    if (ts.adaptation_field_control == 0 || ts.adaptation_field_control == 2) return kSkip;
    const TsPayloadBuffer* buf = get_TSPayloadBuff(s, ts.pid);
    if (buf == nullptr) return kError;
    if (buf->fill == 0 && ts.payload_unit_start_indicator == 0) return kIgnore;
    if (ts.payload_length == 0) return kError;
    return kGoOn;
}

void empty_buffer(TsPayloadBuffer* buf) {
    buf->fill = 0;
    buf->expected_length = 0;
    buf->complete_length = 0;
}

int discard_unit(TsPayloadBuffer* buf, std::uint32_t* error_count) {
    if (error_count != nullptr) ++*error_count;
    empty_buffer(buf);
    return kError;
}

int append(TsPayloadBuffer* buf, std::uint16_t pid, const std::uint8_t* data, std::uint32_t len) {
    if (buf->fill + len > kTsPayloadFillLimit) {
        std::printf("pid[0x%x] buffer overflow( %d %d )\n", pid, static_cast<int>(buf->fill),
                    static_cast<int>(len));
        return kError;
    }
    std::memcpy(buf->data + buf->fill, data, len);
    buf->fill += len;
    return kGoOn;
}

int processTSBuffering(DemuxState& s, const tsStruct& ts, std::uint32_t* error_count) {
    TsPayloadBuffer* buf = get_TSPayloadBuff(s, ts.pid);
    if (buf == nullptr) return kError;
    const bool psi = is_psi_pid(s, ts.pid);
    // The sequence value of packets without four bytes of transport_private_data is made
    // of the bytes they have, the rest read as 0 (char2tsStruct zeroes the record): a
    // stream without any private data compares 0 with 0 throughout.
    const std::uint32_t sequence = get_be32(ts.transport_private_data, 0);
    const ConstWireBytes payload(ts.payload, ts.payload_length);
    const std::uint8_t* data = ts.payload;
    std::uint32_t len = ts.payload_length;

    if (ts.payload_unit_start_indicator) {
        if (buf->fill != 0) return discard_unit(buf, error_count);
        std::uint32_t expected = 0;
        if (psi) {
            // Refused rather than read beyond the packet: a pointer_field that skips past
            // the payload, or too little left for table_id and section_length.
            const std::uint32_t skip = 1u + get_u8(payload, 0);
            if (skip + 3 > len) return kError;
            data += skip;
            len -= skip;
            const std::uint32_t section_length = length12(payload, skip + 1);
            expected = section_length == 0 ? 0 : section_length + 3;
        } else {
            // Refused rather than read beyond the packet: no room for PES_packet_length.
            if (len < 6) return kError;
            const std::uint32_t pes_length = get_be16(payload, 4);
            expected = pes_length == 0 ? 0 : pes_length + 6;
        }
        buf->expected_length = expected;
        buf->complete_length = 0;
        buf->next_counter = (ts.continuity_counter + 1u) & 15u;
        buf->sequence = sequence;
    } else {
        if (buf->fill == 0) {
            std::printf("%s:%d none pusi received when data_bytes is %d\n", "processTSBuffering",
                        299, 0);
            empty_buffer(buf);
            return kError;
        }
        if (ts.continuity_counter != buf->next_counter || sequence != buf->sequence)
            return discard_unit(buf, error_count);
        buf->next_counter = (buf->next_counter + 1u) & 15u;
    }
    if (append(buf, ts.pid, data, len) != kGoOn) return kError;

    const bool complete = psi ? buf->fill >= buf->expected_length
                              : buf->expected_length != 0 && buf->fill >= buf->expected_length;
    if (!complete) return kIgnore;
    buf->complete_length = buf->fill;
    return kComplete;
}

int GetFinishedTSBuff(DemuxState& s, std::uint16_t pid, TsPayloadBuffer* out) {
    TsPayloadBuffer* buf = get_TSPayloadBuff(s, pid);
    if (buf == nullptr || buf->fill == 0 || buf->complete_length > buf->fill) return kError;
    const std::uint32_t complete = buf->complete_length;
    unfence_unit(*out);
    out->tag[0] = buf->tag[0];
    out->tag[1] = buf->tag[1];
    out->expected_length = buf->expected_length;
    out->complete_length = complete;
    out->next_counter = buf->next_counter;
    out->sequence = buf->sequence;
    out->fill = buf->fill;
    std::memcpy(out->data, buf->data, complete);
    fence_unit(*out, complete);

    // Bytes beyond the unit begin the next one.
    const std::uint32_t rest = buf->fill - complete;
    if (rest > 0) std::memmove(buf->data, buf->data + complete, rest);
    buf->fill = rest;
    buf->complete_length = 0;
    return kGoOn;
}

int processSection(DemuxState& s, std::uint16_t pid, const std::uint8_t* unit,
                   std::uint32_t length) {
    if (pid == kPatPid) {
        PatInfo pat{};
        if (char2PAT(unit, length, &pat) != 1) {
            std::printf("fail to char2PAT soffset(%08x)\n", 0u);  // the section starts the unit
            return 0;
        }
        int ok = 1;
        if (s.pat_wanted == 1) {
            for (std::uint32_t i = 0; i < kPsiMaxEntries && pat.programs[i].present == 1; ++i)
                if (store_PID(s, pat.programs[i].pid) != 1) ok = 0;
            s.pat_wanted = 0;
            s.pat_store = pat;
        }
        s.table_state = 1;
        return ok;
    }

    bool listed = false;
    for (std::uint32_t i = 0; i < kPsiMaxEntries && s.pat_store.programs[i].present == 1; ++i)
        if (s.pat_store.programs[i].pid == pid) listed = true;
    if (!listed) return 1;

    PmtInfo pmt{};
    const int parsed = char2PMT(pid, unit, length, &pmt);
    if (parsed == 0) {
        std::puts("fail to char2PMT");
        return 0;
    }
    if (parsed == 2) return 1;  // a private section on the PMT PID: nothing to take

    PmtInfo* slot = nullptr;
    for (PmtInfo& candidate : s.pmt_slots)
        if (candidate.in_use == 1 && candidate.pid == pid) slot = &candidate;
    for (std::uint32_t i = 0; slot == nullptr && i < kPmtSlots; ++i)
        if (s.pmt_slots[i].in_use != 1) slot = &s.pmt_slots[i];
    if (slot == nullptr) {
        std::puts("No more pmt");
        return 0;
    }
    int ok = 1;
    if (!(*slot == pmt)) {
        for (std::uint32_t i = 0; i < kPsiMaxEntries && pmt.streams[i].present == 1; ++i) {
            const PmtStreamInfo& es = pmt.streams[i];
            if (es.stream_type == kStreamTypeAvc || es.stream_type == kStreamTypeLpcm)
                if (store_PID(s, es.elementary_pid) != 1) ok = 0;
        }
        *slot = pmt;
    }
    s.table_state = 2;
    return ok;
}

void first_call_setup(DemuxState& s) {
    const std::uint8_t aud[6] = {0x00, 0x00, 0x00, 0x01, 0x69, 0x30};
    std::memcpy(g_aud.bytes, aud, sizeof aud);
    g_aud.length = sizeof aud;
    ClearKeyDataArray(&s.pid_filter);
    // PAT, CAT, TSDT and null packets are always let through.
    const std::uint16_t always[] = {0x0000, 0x0001, 0x0002, kNullPid};
    bool ok = true;
    for (std::uint16_t pid : always) ok = store_PID(s, pid) == 1 && ok;
    ClearKeyDataArray(&s.payload_table);
    if (!ok || init_crc_table() != 0) std::exit(1);
    s.first_call = 0;
}

}  // namespace

void ClearKeyDataArray(KeyDataArray* array) { *array = KeyDataArray{}; }

int AllocKeyDataArray(KeyDataArray* array, std::uint32_t key) {
    for (int i = 0; i < kKeyDataEntries; ++i) {
        KeyData& e = array->entries[i];
        if (e.used == 0) {
            e = KeyData{1, key, 0};
            return i;
        }
    }
    dbg_printf("No more space in KeyDataArray\n");
    return -1;
}

int FindKeyDataArray(const KeyDataArray* array, std::uint32_t key, std::uint32_t* value) {
    for (int i = 0; i < kKeyDataEntries && array->entries[i].used != 0; ++i) {
        if (array->entries[i].key == key) {
            if (value != nullptr) *value = array->entries[i].value;
            return i;
        }
    }
    return -1;
}

int GetFirstKeyDataArray(const KeyDataArray* array, std::uint32_t* key, std::uint32_t* value) {
    return GetNextKeyDataArray(array, -1, key, value);
}

int GetNextKeyDataArray(const KeyDataArray* array, int index, std::uint32_t* key,
                        std::uint32_t* value) {
    const int next = index + 1;
    if (index < -1 || next >= kKeyDataEntries || array->entries[next].used == 0) return -1;
    *key = array->entries[next].key;
    *value = array->entries[next].value;
    return next;
}

int SetKeyDataArrayValue(KeyDataArray* array, int index, std::uint32_t value) {
    if (index < 0 || index >= kKeyDataEntries || array->entries[index].used == 0) return 0;
    array->entries[index].value = value;
    return 1;
}

const AudTemplate& aud_template() { return g_aud; }

const KeyDataArray& demux_pid_filter() { return g_demux.pid_filter; }

int char2tsStruct(const std::uint8_t* packet, tsStruct* ts) {
    *ts = tsStruct{};
    const ConstWireBytes p(packet, kPacket);
    if (get_u8(p, 0) != kTsSyncByte) return 0;
    ts->sync_byte = get_u8(p, 0);
    ts->transport_error_indicator = static_cast<std::uint8_t>(get_u8(p, 1) >> 7);
    ts->payload_unit_start_indicator = static_cast<std::uint8_t>((get_u8(p, 1) >> 6) & 1u);
    ts->transport_priority = static_cast<std::uint8_t>((get_u8(p, 1) >> 5) & 1u);
    ts->pid = pid13(p, 1);
    ts->transport_scrambling_control = static_cast<std::uint8_t>(get_u8(p, 3) >> 6);
    ts->adaptation_field_control = static_cast<std::uint8_t>((get_u8(p, 3) >> 4) & 3u);
    ts->continuity_counter = static_cast<std::uint8_t>(get_u8(p, 3) & 15u);

    std::uint32_t start = 4;
    if (ts->adaptation_field_control == 2 || ts->adaptation_field_control == 3) {
        const std::uint32_t af_length = get_u8(p, 4);
        // Refused: an adaptation field beyond byte 187 would put the payload outside the
        // packet.
        if (5 + af_length > kPacket) return 0;
        ts->adaptation_field_length = static_cast<std::uint8_t>(af_length);
        if (af_length > 0) {
            const std::uint8_t f = get_u8(p, 5);
            ts->discontinuity_indicator = (f >> 7) & 1u;
            ts->random_access_indicator = (f >> 6) & 1u;
            ts->elementary_stream_priority_indicator = (f >> 5) & 1u;
            ts->pcr_flag = (f >> 4) & 1u;
            ts->opcr_flag = (f >> 3) & 1u;
            ts->splicing_point_flag = (f >> 2) & 1u;
            ts->transport_private_data_flag = (f >> 1) & 1u;
            ts->adaptation_field_extension_flag = f & 1u;
            std::uint32_t pos = 6;
            if (ts->pcr_flag) pos += 6;
            if (ts->opcr_flag) pos += 6;
            if (ts->splicing_point_flag) ts->splice_countdown = get_u8(p, pos++);
            if (ts->transport_private_data_flag) {
                // Refused: private data said to run past the packet's last byte.
                const std::uint32_t n = get_u8(p, pos);
                if (pos + 1 + n > kPacket) return 0;
                ts->transport_private_data_length = static_cast<std::uint8_t>(n);
                std::memcpy(ts->transport_private_data, p.subspan(pos + 1, n).data(), n);
                pos += 1 + n;
            }
            if (ts->adaptation_field_extension_flag) {
                // Length byte, then the flags; the flagged fields (ltw 2, piecewise_rate
                // 3, seamless_splice 5 bytes) are skipped unread.
                if (pos + 2 > kPacket) return 0;  // refused: the flags byte is outside
                const std::uint8_t e = get_u8(p, pos + 1);
                ts->ltw_flag = (e >> 7) & 1u;
                ts->piecewise_rate_flag = (e >> 6) & 1u;
                ts->seamless_splice_flag = (e >> 5) & 1u;
            }
        }
        start = 5 + af_length;
    }
    if (ts->adaptation_field_control == 0) start = kPacket;  // reserved: no payload
    ts->payload = packet + start;
    ts->payload_length = static_cast<std::uint8_t>(kPacket - start);
    return 1;
}

int char2pesStruct(const std::uint8_t* unit, std::uint32_t length, pesStruct* pes) {
    *pes = pesStruct{};
    const ConstWireBytes u(unit, length);
    if (length < 4) return 0;  // refused: no stream_id
    pes->start_code = get_be32(u, 0);
    const std::uint8_t stream_id = get_u8(u, 3);
    if (stream_id <= 0xBB) {
        std::printf("invalid stream_id(%x)]\n", stream_id);
        return 0;
    }
    switch (stream_id) {
        // program_stream_map, padding, private_stream_2, ECM, EMM, DSMCC, H.222.1 type E,
        // program_stream_directory: no optional PES header to parse.
        case 0xBC:
        case 0xBE:
        case 0xBF:
        case 0xF0:
        case 0xF1:
        case 0xF2:
        case 0xF8:
        case 0xFF:
            std::printf("cannot process stream_id(%x)\n", stream_id);
            return 0;
        default:
            break;
    }
    if (length < 9) return 0;  // refused: the header flags lie beyond the unit

    const std::uint8_t f = get_u8(u, 7);
    pes->pts_dts_flags = static_cast<std::uint8_t>(f >> 6);
    pes->escr_flag = (f >> 5) & 1u;
    pes->es_rate_flag = (f >> 4) & 1u;
    pes->dsm_trick_mode_flag = (f >> 3) & 1u;
    pes->additional_copy_info_flag = (f >> 2) & 1u;
    pes->pes_crc_flag = (f >> 1) & 1u;
    pes->pes_extension_flag = f & 1u;
    pes->pes_header_data_length = get_u8(u, 8);

    // Each flagged field that is read must lie inside the unit; otherwise the unit is
    // refused.
    std::uint32_t pos = 9;
    const auto fits = [&](std::uint32_t n) { return pos + n <= length; };
    if (pes->pts_dts_flags == 2 || pes->pts_dts_flags == 3) {
        if (!fits(5)) return 0;
        // '001x' PTS[32..30] marker PTS[29..15] marker PTS[14..0] marker; bit 32 dropped.
        pes->pts = (static_cast<std::uint32_t>((get_u8(u, pos) >> 1) & 3u) << 30) |
                   (static_cast<std::uint32_t>(get_be16(u, pos + 1) >> 1) << 15) |
                   static_cast<std::uint32_t>(get_be16(u, pos + 3) >> 1);
        pos += pes->pts_dts_flags == 3 ? 10 : 5;
    }
    if (pes->escr_flag) pos += 6;
    if (pes->es_rate_flag) pos += 3;
    if (pes->dsm_trick_mode_flag) pos += 1;
    if (pes->additional_copy_info_flag) pos += 1;
    if (pes->pes_crc_flag) pos += 2;
    if (pes->pes_extension_flag) {
        if (!fits(1)) return 0;
        const std::uint8_t e = get_u8(u, pos++);
        pes->pes_private_data_flag = (e >> 7) & 1u;
        pes->pack_header_field_flag = (e >> 6) & 1u;
        pes->program_packet_sequence_counter_flag = (e >> 5) & 1u;
        pes->p_std_buffer_flag = (e >> 4) & 1u;
        pes->pes_extension_flag_2 = e & 1u;
        if (pes->pes_private_data_flag) {
            if (!fits(16)) return 0;
            std::memcpy(pes->pes_private_data, u.subspan(pos, 16).data(), 16);
            pos += 16;
        }
        if (pes->pack_header_field_flag) {
            if (!fits(1)) return 0;
            pos += 1u + get_u8(u, pos);
        }
        if (pes->program_packet_sequence_counter_flag) pos += 2;
        if (pes->p_std_buffer_flag) pos += 2;
        if (pes->pes_extension_flag_2) {
            if (!fits(1)) return 0;
            pes->pes_extension_field_length = get_u8(u, pos) & 0x7Fu;
        }
    }
    const std::uint32_t es_start = 9u + pes->pes_header_data_length;
    if (es_start > length) return 0;  // refused: the header claims more than the unit
    pes->es = unit + es_start;
    pes->es_size = length - es_start;
    return 1;
}

int char2PAT(const std::uint8_t* unit, std::uint32_t length, PatInfo* pat) {
    *pat = PatInfo{};
    const ConstWireBytes u(unit, length);
    if (length < 1) return 0;  // refused: empty unit
    if (get_u8(u, 0) != 0x00) {
        std::printf("%s:%d table_id(%x) error\n", "char2PAT", 66, get_u8(u, 0));
        return 0;
    }
    if (length < 8) return 0;  // refused: the fixed header lies beyond the unit
    pat->table_id = get_u8(u, 0);
    pat->section_syntax_indicator = static_cast<std::uint8_t>(get_u8(u, 1) >> 7);
    pat->transport_stream_id = get_be16(u, 3);
    pat->version_number = (get_u8(u, 5) >> 1) & 0x1Fu;
    pat->current_next_indicator = get_u8(u, 5) & 1u;
    pat->section_number = get_u8(u, 6);
    pat->last_section_number = get_u8(u, 7);
    // Entries run up to the CRC (section_length counts from byte 3 and ends with the CRC),
    // and never beyond the unit.
    const std::uint32_t section_end = 3u + length12(u, 1);
    std::uint32_t limit = section_end >= 4 ? section_end - 4 : 0;
    if (limit > length) limit = length;
    std::uint32_t pos = 8;
    for (std::uint32_t i = 0; i < kPsiMaxEntries && pos + 4 <= limit; ++i, pos += 4) {
        pat->programs[i].present = 1;
        pat->programs[i].program_number = get_be16(u, pos);
        pat->programs[i].pid = pid13(u, pos + 2);
    }
    return 1;
}

int char2PMT(std::uint16_t pid, const std::uint8_t* unit, std::uint32_t length, PmtInfo* pmt) {
    *pmt = PmtInfo{};
    const ConstWireBytes u(unit, length);
    if (length < 1) return 0;  // refused: empty unit
    const std::uint8_t table_id = get_u8(u, 0);
    if (table_id >= 0x40 && table_id <= 0xFE) {
        std::printf("PMT(%x) is using private section(table_id-%x)\n", pid, table_id);
        return 2;
    }
    if (table_id != 0x02) {
        std::printf("%s:%d table_id(%x) error\n", "char2PMT", 632, table_id);
        return 0;
    }
    if (length < 12) return 0;  // refused: the fixed header lies beyond the unit
    pmt->in_use = 1;
    pmt->pid = pid;
    pmt->table_id = table_id;
    pmt->section_syntax_indicator = static_cast<std::uint8_t>(get_u8(u, 1) >> 7);
    pmt->program_number = get_be16(u, 3);
    pmt->version_number = (get_u8(u, 5) >> 1) & 0x1Fu;
    pmt->current_next_indicator = get_u8(u, 5) & 1u;
    pmt->section_number = get_u8(u, 6);
    pmt->last_section_number = get_u8(u, 7);
    pmt->pcr_pid = pid13(u, 8);
    pmt->program_info_length = length12(u, 10);

    const std::uint32_t section_end = 3u + length12(u, 1);
    std::uint32_t limit = section_end >= 4 ? section_end - 4 : 0;
    if (limit > length) limit = length;
    std::uint32_t pos = 12u + pmt->program_info_length;
    for (std::uint32_t i = 0; i < kPsiMaxEntries && pos + 5 <= limit; ++i) {
        PmtStreamInfo& es = pmt->streams[i];
        es.present = 1;
        es.stream_type = get_u8(u, pos);
        es.elementary_pid = pid13(u, pos + 1);
        es.es_info_length = length12(u, pos + 3);
        pos += 5u + es.es_info_length;
    }
    return 1;
}

int parse_lpcm_header(const std::uint8_t* es, std::uint32_t es_size, const std::uint8_t** pcm,
                      std::uint32_t* pcm_size, std::uint32_t* channels) {
    const ConstWireBytes e(es, es_size);
    if (es_size <= 4) {
        dbg_printf("invalid es_length(%d)\n", static_cast<int>(es_size));
        return 0;
    }
    const std::uint32_t declared = get_be16(e, 0);
    if (declared != es_size - 4) {
        dbg_printf("invalid es header length(%d)\n", static_cast<int>(declared));
        return 0;
    }
    if (get_u8(e, 2) == 0x11) {
        *channels = 1;
    } else if (get_u8(e, 2) == 0x31) {
        *channels = 2;
    } else {
        dbg_printf("invalid es header channels(%x)\n", get_u8(e, 2));
        return 0;
    }
    *pcm = es + 4;
    *pcm_size = declared;
    return 1;
}

int demux_ts_buffer(const std::uint8_t* packets, int length, DemuxResult* result,
                    std::uint32_t* error_count) {
    DemuxState& s = g_demux;
    if (s.first_call) first_call_setup(s);

    DemuxResult scratch{};
    if (result == nullptr) result = &scratch;
    *result = DemuxResult{};

    if (length % static_cast<int>(kPacket) != 0) {
        dbg_printf("Error : ts_len %d\n", length % static_cast<int>(kPacket));
        return 0;
    }
    for (int offset = 0; offset + static_cast<int>(kPacket) <= length;
         offset += static_cast<int>(kPacket)) {
        tsStruct ts;
        if (char2tsStruct(packets + offset, &ts) != 1) {
            dbg_printf("fail to char2tsStruct offset(%08x)\n", static_cast<unsigned>(offset));
            return 0;
        }
        int r = processTSHeader(s, ts);
        if (r == kError) {
            dbg_printf("fail to processTSHeader\n");
            return 0;
        }
        if (r != kGoOn) continue;
        r = processTSBuffering(s, ts, error_count);
        if (r == kError) return 0;
        if (r != kComplete) continue;
        if (GetFinishedTSBuff(s, ts.pid, &g_unit) != kGoOn) {
            dbg_printf("fail to GetFinishedTSBuff\n");
            return 0;
        }
        const std::uint8_t* unit = g_unit.data;
        const std::uint32_t unit_length = g_unit.complete_length;

        if (is_psi_pid(s, ts.pid)) {
            if (processSection(s, ts.pid, unit, unit_length) != 1) {
                dbg_printf("fail to processSection\n");
                return 0;
            }
            continue;
        }
        if (is_pcr_only_pid(s, ts.pid)) continue;

        pesStruct pes;
        if (char2pesStruct(unit, unit_length, &pes) != 1) {
            dbg_printf("fail to char2pesStruct PID(%x) byte-%d\n", ts.pid,
                       static_cast<int>(unit_length));
            return 0;
        }
        if (pes.es_size == 0)
            dbg_printf("PID[%x] es_data_size %d ???\n", ts.pid, static_cast<int>(pes.es_size));

        const std::uint8_t stream_id = static_cast<std::uint8_t>(pes.start_code);
        const std::uint8_t stream_type = es_stream_type(s, ts.pid);
        if (stream_type == kStreamTypeAvc && stream_id == kStreamIdVideo) {
            const std::uint8_t* es = pes.es;
            std::uint32_t size = pes.es_size;
            if (g_aud.length > 0 && size >= g_aud.length &&
                std::memcmp(es, g_aud.bytes, g_aud.length) == 0) {
                es += g_aud.length;
                size -= g_aud.length;
            }
            result->video_es = es;
            result->video_es_size = size;
            result->video_flags[0] = pes.pes_private_data[9];
            result->video_flags[1] = pes.pes_private_data[10];
            result->video_flags[2] = pes.pes_private_data[11];
            result->video_pts = pes.pts;
            return 1;
        }
        if (stream_type == kStreamTypeLpcm && stream_id == kStreamIdPrivate1) {
            if (parse_lpcm_header(pes.es, pes.es_size, &result->audio_pcm, &result->audio_pcm_size,
                                  &result->audio_channels) != 1)
                return 0;
            return 1;
        }
    }
    return 0;
}

const char* stream_type_name(std::uint8_t stream_type) {
    static const char* const kNames[] = {
        "ITU-T | ISO/IEC Reserved",
        "ISO/IEC 11172 Video",
        "ITU-T Rec. H.262 | ISO/IEC 13818-2 Video or ISO/IEC 11172-2 constrained parameter "
        "video stream",
        "ISO/IEC 11172 Audio",
        "ISO/IEC 13818-3 Audio",
        "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 private_sections",
        "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 PES packets containing private data",
        "ISO/IEC 13522 MHEG",
        "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 Annex A DSM-CC",
        "ITU-T Rec. H.222.1",
        "ISO/IEC 13818-6 type A",
        "ISO/IEC 13818-6 type B",
        "ISO/IEC 13818-6 type C",
        "ISO/IEC 13818-6 type D",
        "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 auxiliary",
        "ISO/IEC 13818-7 Audio with ADTS transport syntax",
        "ISO/IEC 14496-2 Visual",
        "ISO/IEC 14496-3 Audio with the LATM transport syntax as defined in ISO/IEC 14496-3 / "
        "AMD 1",
        "ISO/IEC 14496-1 SL-packetized stream or FlexMux stream carried in PES packets",
        "ISO/IEC 14496-1 SL-packetized stream or FlexMux stream carried in ISO/IEC14496_sections.",
        "ISO/IEC 13818-6 Synchronized Download Protocol",
        "Metadata carried in PES packets",
        "Metadata carried in metadata_sections",
        "Metadata carried in ISO/IEC 13818-6 Data Carousel",
        "Metadata carried in ISO/IEC 13818-6 Object Carousel",
        "Metadata carried in ISO/IEC 13818-6 Synchronized Download Protocol",
        "IPMP stream (defined in ISO/IEC 13818-11, MPEG-2 IPMP)",
        "AVC video stream as defined in ITU-T Rec. H.264 | ISO/IEC 14496-10 Video",
    };
    static_assert(sizeof kNames / sizeof kNames[0] == 0x1C, "one name per type up to 0x1B");
    if (stream_type < sizeof kNames / sizeof kNames[0]) return kNames[stream_type];
    if (stream_type < 0x7F) return "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 Reserved";
    if (stream_type == 0x7F) return "IPMP stream";
    return "User Private";
}

const char* descriptor_tag_name(std::uint8_t tag) {
    static const char* const kLow[] = {
        "Reserved",
        "Reserved",
        "video_stream_descriptor",
        "audio_stream_descriptor",
        "hierarchy_descriptor",
        "registration_descriptor",
        "data_stream_alignment_descriptor",
        "target_background_grid_descriptor",
        "Video_window_descriptor",
        "CA_descriptor",
        "ISO_639_language_descriptor",
        "System_clock_descriptor",
        "Multiplex_buffer_utilization_descriptor",
        "Copyright_descriptor",
        "Maximum_bitrate_descriptor",
        "Private_data_indicator_descriptor",
        "Smoothing_buffer_descriptor",
        "STD_descriptor",
        "IBP_descriptor",
    };
    static const char* const kHigh[] = {
        // from 0x1B
        "MPEG-4_video_descriptor",
        "MPEG-4_audio_descriptor",
        "IOD_descriptor",
        "SL_descriptor",
        "FMC_descriptor",
        "External_ES_ID_descriptor",
        "MuxCode_descriptor",
        "FmxBufferSize_descriptor",
        "MultiplexBuffer_descriptor",
        "Content_labeling_descriptor",
        "Metadata_pointer_descriptor",
        "Metadata_descriptor",
        "Metadata_STD_descriptor",
        "AVC video descriptor",
        "IPMP_descriptor (defined in ISO/IEC 13818-11, MPEG-2 IPMP)",
        "AVC timing and HRD descriptor",
    };
    constexpr std::uint32_t kLowCount = sizeof kLow / sizeof kLow[0];
    constexpr std::uint32_t kHighCount = sizeof kHigh / sizeof kHigh[0];
    static_assert(kLowCount == 0x13 && 0x1B + kHighCount == 0x2B, "names up to 0x12, 0x1B..0x2A");
    if (tag < kLowCount) return kLow[tag];
    if (tag < 0x1B) return "Defined in ISO/IEC 13818-6";
    if (tag < 0x1B + kHighCount) return kHigh[tag - 0x1B];
    if (tag < 0x40) return "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 Reserved";
    return "User Private";
}

std::uint32_t print_descriptor(const std::uint8_t* descriptor) {
    std::printf("Descriptor : Tag-%x(%s) length(%x)\n", descriptor[0],
                descriptor_tag_name(descriptor[0]), descriptor[1]);
    return 2u + descriptor[1];
}
