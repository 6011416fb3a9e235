// libFuzzer target for demux_ts_buffer: arbitrary bytes taken as transport packets. Input
// byte 0 steers the calls: its low nibble + 1 packets per call, and with bit 7 set a ragged
// tail (not a whole packet) goes in as a last call of its own.
//
// The demultiplexer's state lives for the process and its first PAT stays in force, so the
// harness pins it: at start it feeds the service's own PAT and PMT, and after each input it
// empties every partial unit and feeds them again (which puts back a PMT the input replaced).
// Every input thus starts from the same tables with empty buffers, and a crash replays alone.
//
// Each call's bytes get a heap block of exactly their size, so a read past the packets is
// caught; every delivered byte is read, so a unit pointer past the reassembled unit is caught
// too (the sanitizer build fences the working copy beyond the unit).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ts/psi_tables.h"
#include "ts/ts_demux.h"

namespace {

std::uint8_t g_tables[2 * 188];
std::uint32_t g_tables_len = 0;

// One call on a copy of exactly n bytes; a delivery is exactly one unit, read whole.
void feed(const std::uint8_t* data, std::size_t n) {
    const std::vector<std::uint8_t> copy(data, data + n);
    DemuxResult r;
    std::uint32_t errors = 0;
    if (demux_ts_buffer(copy.data(), static_cast<int>(n), &r, &errors) == 1) {
        const bool audio = r.audio_pcm != nullptr;
        if ((r.video_es != nullptr) == audio) __builtin_trap();
        if (audio && (r.audio_pcm_size == 0 || r.audio_channels < 1 || r.audio_channels > 2))
            __builtin_trap();
        const std::uint8_t* p = audio ? r.audio_pcm : r.video_es;
        const std::vector<std::uint8_t> delivered(p,
                                                  p + (audio ? r.audio_pcm_size : r.video_es_size));
    }
    if (errors > 1) __builtin_trap();  // a reassembly error ends the call at once
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!init_psi_tables() || psi_to_ts(g_tables, &g_tables_len) != 1) __builtin_trap();
    feed(g_tables, g_tables_len);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t per_call = (static_cast<std::size_t>(data[0] & 0x0F) + 1) * 188;
    const bool ragged = (data[0] & 0x80) != 0;
    for (std::size_t offset = 1; offset < size;) {
        std::size_t n = size - offset < per_call ? size - offset : per_call;
        if (n % 188 != 0 && !ragged) break;
        if (n > 188 && n % 188 != 0) n -= n % 188;  // whole packets first, the tail alone
        feed(data + offset, n);
        offset += n;
    }
    // For each followed PID a start packet whose adaptation field leaves 4 payload bytes: it
    // discards a partial unit and is itself refused as too short (the filter set stays).
    const KeyDataArray& filter = demux_pid_filter();
    std::uint32_t pid = 0, times = 0;
    for (int i = GetFirstKeyDataArray(&filter, &pid, &times); i >= 0;
         i = GetNextKeyDataArray(&filter, i, &pid, &times)) {
        std::uint8_t packet[188] = {0x47,
                                    static_cast<std::uint8_t>(0x40 | pid >> 8),
                                    static_cast<std::uint8_t>(pid),
                                    0x30,
                                    179,
                                    0x00};
        std::memset(packet + 6, 0xFF, sizeof packet - 6);
        if (pid != 0x1FFF) feed(packet, sizeof packet);
    }
    feed(g_tables, g_tables_len);
    return 0;
}
