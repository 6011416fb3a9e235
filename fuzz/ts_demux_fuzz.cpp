// libFuzzer target for demux_ts_buffer: arbitrary bytes taken as transport packets.
// Input byte 0 steers the calls: its low nibble + 1 packets per call, and with bit 7 set
// a ragged tail (not a whole packet) goes in as a last call of its own.
//
// The demultiplexer's state lives for the process and its first PAT stays in force, so the
// harness pins that state: at start it feeds the service's own PAT and PMT (program PID
// 0x0042, video 0x0021, LPCM 0x0164), and after each input it empties every partial unit
// and feeds them again, which puts back a PMT that the input replaced. Every input thus
// starts from the same tables with empty buffers (only the PID filter set keeps what
// earlier inputs added, up to its 20 entries), and a crash input replays on its own.
//
// Each call's bytes get a heap block of exactly their size, so a read past the packets
// is caught; every delivered byte is read, so a unit pointer past the reassembled unit is
// caught too (the sanitizer build fences the working copy beyond the unit).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ts/psi_tables.h"
#include "ts/ts_demux.h"

namespace {

std::uint8_t g_tables[2 * 188];
std::uint32_t g_tables_len = 0;

std::uint32_t read_all(const std::uint8_t* p, std::uint32_t n) {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

void check_delivery(const DemuxResult& r) {
    const bool video = r.video_es != nullptr;
    const bool audio = r.audio_pcm != nullptr;
    if (video == audio) __builtin_trap();  // exactly one kind per delivery
    if (audio && r.audio_channels != 1 && r.audio_channels != 2) __builtin_trap();
    if (audio && r.audio_pcm_size == 0) __builtin_trap();
    volatile std::uint32_t sink =
        video ? read_all(r.video_es, r.video_es_size) : read_all(r.audio_pcm, r.audio_pcm_size);
    (void)sink;
}

// One call on a copy of exactly n bytes.
void feed(const std::uint8_t* data, std::size_t n) {
    std::uint8_t* copy = static_cast<std::uint8_t*>(std::malloc(n == 0 ? 1 : n));
    if (copy == nullptr) return;
    if (n > 0) std::memcpy(copy, data, n);
    DemuxResult result;
    std::uint32_t errors = 0;
    if (demux_ts_buffer(copy, static_cast<int>(n), &result, &errors) == 1) check_delivery(result);
    if (errors > 1) __builtin_trap();  // a reassembly error ends the call at once
    std::free(copy);
}

// For each followed PID one start packet with 4 payload bytes and a pointer_field of
// 0xFF: it discards a partial unit (one error) and is itself refused as too short, PSI
// or PES alike.
void flush_partial_units() {
    const KeyDataArray& filter = demux_pid_filter();
    std::uint16_t pids[kKeyDataEntries];
    int count = 0;
    std::uint32_t key = 0, value = 0;
    for (int i = GetFirstKeyDataArray(&filter, &key, &value); i >= 0;
         i = GetNextKeyDataArray(&filter, i, &key, &value))
        pids[count++] = static_cast<std::uint16_t>(key);
    for (int i = 0; i < count; ++i) {
        if (pids[i] == 0x1FFF) continue;
        std::uint8_t packet[188];
        std::memset(packet, 0xFF, sizeof packet);
        packet[0] = 0x47;
        packet[1] = static_cast<std::uint8_t>(0x40 | pids[i] >> 8);
        packet[2] = static_cast<std::uint8_t>(pids[i]);
        packet[3] = 0x30;
        packet[4] = 179;  // adaptation field up to byte 183, 4 payload bytes
        packet[5] = 0x00;
        feed(packet, sizeof packet);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    init_psi_tables();
    psi_to_ts(g_tables, &g_tables_len);
    feed(g_tables, g_tables_len);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t per_call = (static_cast<std::size_t>(data[0] & 0x0F) + 1) * 188;
    const bool ragged = (data[0] & 0x80) != 0;
    ++data;
    --size;

    for (std::size_t offset = 0; offset < size;) {
        std::size_t n = size - offset < per_call ? size - offset : per_call;
        if (n % 188 != 0 && !ragged) break;
        if (n > 188 && n % 188 != 0) n -= n % 188;  // whole packets first, the tail alone
        feed(data + offset, n);
        offset += n;
    }
    flush_partial_units();
    feed(g_tables, g_tables_len);
    return 0;
}
