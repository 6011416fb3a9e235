// Transport packet serialiser and the section, PES and PCR packet producers.
#include "ts/ts_packet.h"

#include <cstdio>

#include "core/debug_log.h"

namespace {

TsCounters g_counters{};

// The single payload byte of a PCR-only packet: receivers see stuffing either way.
const std::uint8_t kPcrPacketPayload = 0xFF;

// Hands the packet's continuity_counter out of *counter and moves it on, modulo 16.
inline std::uint8_t take_counter(std::uint8_t* counter) {
    const std::uint8_t cc = static_cast<std::uint8_t>(*counter & 0x0Fu);
    *counter = static_cast<std::uint8_t>((*counter + 1u) & 0x0Fu);
    return cc;
}

// Whether `packets` whole packets fit in out after its first `used` bytes.
bool room_for(WireBytes out, std::uint32_t used, std::uint64_t packets) {
    return used <= out.size() && packets * kTsPacketSize <= out.size() - used;
}

}  // namespace

TsCounters& ts_counters() { return g_counters; }

int tsStruct2char(const tsStruct& ts, WireBytes out) {
    if (out.size() < kTsPacketSize) return 0;
    WireWriter w(out.first(kTsPacketSize));
    // transport_error_indicator, transport_priority and transport_scrambling_control are
    // always sent as 0: this writer never produces errored, prioritised or scrambled data.
    w.u8(kTsSyncByte)
        .be16(static_cast<std::uint16_t>(((ts.payload_unit_start_indicator & 1u) << 14) |
                                         (ts.pid & 0x1FFFu)))
        .u8(static_cast<std::uint8_t>(((ts.adaptation_field_control & 3u) << 4) |
                                      (ts.continuity_counter & 0x0Fu)));

    if (ts.adaptation_field_control == 2 || ts.adaptation_field_control == 3) {
        const std::size_t end = 5u + ts.adaptation_field_length;
        w.u8(ts.adaptation_field_length);
        if (ts.adaptation_field_length > 0) {
            w.u8(static_cast<std::uint8_t>(((ts.pcr_flag & 1u) << 4) |
                                           ((ts.transport_private_data_flag & 1u) << 1)));
            if (ts.pcr_flag) {
                // 33-bit base, 6 reserved '1' bits, 9-bit extension.
                const std::uint32_t low = ts.pcr_base_low;
                w.be32(((ts.pcr_base_high & 1u) << 31) | (low >> 1))
                    .be16(static_cast<std::uint16_t>(((low & 1u) << 15) | 0x7E00u |
                                                     (ts.pcr_extension & 0x1FFu)));
            }
            if (ts.transport_private_data_flag) {
                const std::uint8_t n = ts.transport_private_data_length;
                if (n > sizeof ts.transport_private_data) return 0;
                w.u8(n).bytes(ts.transport_private_data, n);
            }
            // Refused: the flagged fields do not fit in the adaptation field.
            if (w.pos() > end) return 0;
            w.fill(0xFF, end - w.pos());
        }
    }
    if ((ts.adaptation_field_control == 1 || ts.adaptation_field_control == 3) &&
        ts.payload_length > 0)
        w.bytes(ts.payload, ts.payload_length);
    return w.ok() ? 1 : 0;
}

int Section2TS(std::uint16_t pid, std::uint8_t* counter, const std::uint8_t* section,
               std::uint32_t section_len, WireBytes out, std::uint32_t* out_len) {
    if (section_len == 0) return 0;
    if (!room_for(out, *out_len, (std::uint64_t{section_len} + kTsPayloadMax - 1) / kTsPayloadMax))
        return 0;

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
        const WireBytes packet = out.subspan(*out_len, kTsPacketSize);
        ts.continuity_counter = take_counter(counter);
        ts.payload = section + offset;
        ts.payload_length = static_cast<std::uint8_t>(chunk);
        if (tsStruct2char(ts, packet) != 1) {
            std::puts("fail to tsStruct2char");
            return 0;
        }
        WireWriter(packet.subspan(4 + chunk)).fill(0xFF, kTsPayloadMax - chunk);
        *out_len += kTsPacketSize;
        ts.payload_unit_start_indicator = 0;
    }
    return 1;
}

int PES2TS(std::uint16_t pid, std::uint8_t* counter, const std::uint8_t* pes, std::uint32_t pes_len,
           WireBytes out, std::uint32_t* out_len, std::uint32_t* sequence) {
    if (pes_len == 0) return 0;
    if (!room_for(out, *out_len,
                  (std::uint64_t{pes_len} + kPesPayloadPerPacket - 1) / kPesPayloadPerPacket))
        return 0;

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
    put_be32(ts.transport_private_data, 0, seq);
    *sequence = seq + 1u;

    for (std::uint32_t offset = 0; offset < pes_len; offset += kPesPayloadPerPacket) {
        const std::uint32_t chunk =
            pes_len - offset < kPesPayloadPerPacket ? pes_len - offset : kPesPayloadPerPacket;
        ts.continuity_counter = take_counter(counter);
        ts.adaptation_field_length = static_cast<std::uint8_t>(6u + (kPesPayloadPerPacket - chunk));
        ts.payload = pes + offset;
        ts.payload_length = static_cast<std::uint8_t>(chunk);
        if (tsStruct2char(ts, out.subspan(*out_len, kTsPacketSize)) != 1) {
            dbg_printf("fail to tsStruct2char\n");
            return 0;
        }
        *out_len += kTsPacketSize;
        ts.payload_unit_start_indicator = 0;
    }
    return 1;
}

int make_pcr_packet(std::uint32_t pcr_base, WireBytes out, std::uint32_t* out_len) {
    if (!room_for(out, *out_len, 1)) return 0;
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
    if (tsStruct2char(ts, out.subspan(*out_len, kTsPacketSize)) != 1) {
        dbg_printf("fail to tsStruct2char\n");
        return 0;
    }
    *out_len += kTsPacketSize;
    return 1;
}
