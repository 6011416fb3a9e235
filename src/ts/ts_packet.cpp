// Transport packet serialiser and the section, PES and PCR packet producers.
#include "ts/ts_packet.h"

#include <cstdio>
#include <cstring>

#include "core/debug_log.h"

namespace {

TsCounters g_counters{};

// The single payload byte of a PCR-only packet: receivers see stuffing either way.
const std::uint8_t kPcrPacketPayload = 0xFF;

inline std::uint8_t lo8(std::uint32_t v) { return static_cast<std::uint8_t>(v & 0xFFu); }

// Hands the packet's continuity_counter out of *counter and moves it on, modulo 16.
inline std::uint8_t take_counter(std::uint8_t* counter) {
    const std::uint8_t cc = static_cast<std::uint8_t>(*counter & 0x0Fu);
    *counter = static_cast<std::uint8_t>((*counter + 1u) & 0x0Fu);
    return cc;
}

}  // namespace

TsCounters& ts_counters() { return g_counters; }

int tsStruct2char(const tsStruct& ts, std::uint8_t* out) {
    // transport_error_indicator, transport_priority and transport_scrambling_control are
    // always sent as 0: this writer never produces errored, prioritised or scrambled data.
    out[0] = kTsSyncByte;
    out[1] = static_cast<std::uint8_t>(((ts.payload_unit_start_indicator & 1u) << 6) |
                                       ((ts.pid >> 8) & 0x1Fu));
    out[2] = lo8(ts.pid);
    out[3] = static_cast<std::uint8_t>(((ts.adaptation_field_control & 3u) << 4) |
                                       (ts.continuity_counter & 0x0Fu));

    std::uint32_t end = 4;
    if (ts.adaptation_field_control == 2 || ts.adaptation_field_control == 3) {
        const std::uint32_t af_len = ts.adaptation_field_length;
        out[4] = ts.adaptation_field_length;
        end = 5 + af_len;
        if (af_len > 0) {
            out[5] = static_cast<std::uint8_t>(((ts.pcr_flag & 1u) << 4) |
                                               ((ts.transport_private_data_flag & 1u) << 1));
            std::uint32_t p = 6;
            if (ts.pcr_flag) {
                // 33-bit base, 6 reserved '1' bits, 9-bit extension.
                const std::uint32_t low = ts.pcr_base_low;
                out[p + 0] =
                    static_cast<std::uint8_t>(((ts.pcr_base_high & 1u) << 7) | (low >> 25));
                out[p + 1] = lo8(low >> 17);
                out[p + 2] = lo8(low >> 9);
                out[p + 3] = lo8(low >> 1);
                out[p + 4] = static_cast<std::uint8_t>(((low & 1u) << 7) | 0x7Eu |
                                                       ((ts.pcr_extension >> 8) & 1u));
                out[p + 5] = lo8(ts.pcr_extension);
                p += 6;
            }
            if (ts.transport_private_data_flag) {
                out[p] = ts.transport_private_data_length;
                std::memcpy(out + p + 1, ts.transport_private_data,
                            ts.transport_private_data_length);
                p += 1u + ts.transport_private_data_length;
            }
            while (p < end) out[p++] = 0xFF;
        }
    }
    if ((ts.adaptation_field_control == 1 || ts.adaptation_field_control == 3) &&
        ts.payload_length > 0)
        std::memcpy(out + end, ts.payload, ts.payload_length);
    return 1;
}

int Section2TS(std::uint16_t pid, std::uint8_t* counter, const std::uint8_t* section,
               std::uint32_t section_len, std::uint8_t* out, std::uint32_t* out_len) {
    if (section_len == 0) return 0;

    tsStruct ts{};
    ts.sync_byte = kTsSyncByte;
    ts.pid = pid;
    ts.payload_unit_start_indicator = 1;
    ts.adaptation_field_control = 1;

    // One section per call: a packet never carries the end of one section and the start of
    // the next, so every packet but the last is full and the last is padded with 0xFF.
    for (std::uint32_t offset = 0; offset < section_len; offset += kTsPayloadMax) {
        const std::uint32_t chunk =
            section_len - offset < kTsPayloadMax ? section_len - offset : kTsPayloadMax;
        std::uint8_t* packet = out + *out_len;
        ts.continuity_counter = take_counter(counter);
        ts.payload = section + offset;
        ts.payload_length = static_cast<std::uint8_t>(chunk);
        if (tsStruct2char(ts, packet) != 1) {
            std::puts("fail to tsStruct2char");
            return 0;
        }
        std::memset(packet + 4 + chunk, 0xFF, kTsPayloadMax - chunk);
        *out_len += kTsPacketSize;
        ts.payload_unit_start_indicator = 0;
    }
    return 1;
}

int PES2TS(std::uint16_t pid, std::uint8_t* counter, const std::uint8_t* pes, std::uint32_t pes_len,
           std::uint8_t* out, std::uint32_t* out_len, std::uint32_t* sequence) {
    if (pes_len == 0) return 0;

    tsStruct ts{};
    ts.sync_byte = kTsSyncByte;
    ts.pid = pid;
    ts.payload_unit_start_indicator = 1;
    ts.adaptation_field_control = 3;
    // The sequence number lets a receiver tell that every packet of a PES belongs to the
    // same PES even when a whole PES worth of counters was lost.
    ts.transport_private_data_flag = 1;
    ts.transport_private_data_length = 4;
    const std::uint32_t seq = *sequence;
    ts.transport_private_data[0] = lo8(seq >> 24);
    ts.transport_private_data[1] = lo8(seq >> 16);
    ts.transport_private_data[2] = lo8(seq >> 8);
    ts.transport_private_data[3] = lo8(seq);
    *sequence = seq + 1u;

    for (std::uint32_t offset = 0; offset < pes_len; offset += kPesPayloadPerPacket) {
        const std::uint32_t chunk =
            pes_len - offset < kPesPayloadPerPacket ? pes_len - offset : kPesPayloadPerPacket;
        ts.continuity_counter = take_counter(counter);
        ts.adaptation_field_length = static_cast<std::uint8_t>(6u + (kPesPayloadPerPacket - chunk));
        ts.payload = pes + offset;
        ts.payload_length = static_cast<std::uint8_t>(chunk);
        if (tsStruct2char(ts, out + *out_len) != 1) {
            dbg_printf("fail to tsStruct2char\n");
            return 0;
        }
        *out_len += kTsPacketSize;
        ts.payload_unit_start_indicator = 0;
    }
    return 1;
}

int make_pcr_packet(std::uint32_t pcr_base, std::uint8_t* out, std::uint32_t* out_len) {
    tsStruct ts{};
    ts.sync_byte = kTsSyncByte;
    ts.pid = kPcrPid;
    ts.payload_unit_start_indicator = 1;
    ts.adaptation_field_control = 3;
    ts.continuity_counter = take_counter(&g_counters.pcr);
    ts.pcr_flag = 1;
    ts.pcr_base_high = 0;  // the 90 kHz clock is 32 bits wide
    ts.pcr_base_low = pcr_base;
    ts.pcr_extension = 0;
    ts.adaptation_field_length = 182;
    ts.payload = &kPcrPacketPayload;
    ts.payload_length = 1;
    if (tsStruct2char(ts, out + *out_len) != 1) {
        dbg_printf("fail to tsStruct2char\n");
        return 0;
    }
    *out_len += kTsPacketSize;
    return 1;
}
