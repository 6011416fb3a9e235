// Writes the seed corpus of ts_demux_fuzz into a directory: streams made by the service's
// own writers (PAT and PMT, LPCM PES, video PES, PCR), each behind the control byte the
// target reads (packets per call in the low nibble, bit 7 for a ragged tail).
//   ts_demux_seeds <directory>
#include <cstdint>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "ts/lpcm_pes.h"
#include "ts/psi_tables.h"
#include "ts/ts_demux.h"
#include "ts/video_pes.h"

using Bytes = std::vector<std::uint8_t>;

// n bytes of a pattern; with a NAL header byte, an access unit: start code, then nal.
static Bytes pattern(std::uint32_t n, int nal = -1) {
    Bytes b(n);
    for (std::uint32_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 11);
    if (nal >= 0) b[0] = b[1] = b[2] = 0, b[3] = 1, b[4] = static_cast<std::uint8_t>(nal);
    return b;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;  // usage: ts_demux_seeds <directory>
    if (!init_psi_tables()) return 1;
    init_pes_header();
    set_pes_pts(0x12345678);
    demux_ts_buffer(nullptr, 0, nullptr, nullptr);  // builds the AUD the video writer inserts
    static std::uint8_t out[64 * 188];
    std::uint32_t len = 0;
    psi_to_ts(out, &len);
    const Bytes psi(out, out + len);
    make_pcr_packet(0x12345679, out, &(len = 0));
    const Bytes pcr(out, out + len);
    const auto audio = [](std::uint32_t channels, std::uint32_t n) {
        return Bytes(out, out + pcm_to_ts(channels, pattern(n).data(), n, out));
    };
    const auto video = [](std::uint32_t flags, int nal, std::uint32_t n) {
        return Bytes(out, out + video_to_ts(flags, pattern(n, nal).data(), n, out));
    };
    // Name, control byte, parts: made in this order, as the writers' counters run on.
    const std::tuple<const char*, std::uint8_t, std::vector<Bytes>> seeds[] = {
        {"tables", 0x0F, {psi}},
        {"stereo", 0x0F, {psi, audio(2, 400)}},
        {"mono_one_packet_per_call", 0x00, {psi, audio(1, 141)}},
        {"slice_with_aud", 0x0F, {psi, video(0x3A, 0x65, 500)}},
        {"sps_then_slice", 0x03, {psi, video(0x08, 0x67, 20), video(0x00, 0x41, 300)}},
        {"mixed_with_pcr", 0x07, {psi, pcr, audio(2, 192), video(0x02, 0x41, 200), audio(1, 40)}},
        {"ragged_tail", 0x8F, {psi, audio(2, 100), Bytes(10, 0x47)}}};
    for (const auto& [name, control, parts] : seeds) {
        Bytes all = {control};
        for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
        std::ofstream file(std::string(argv[1]) + "/" + name, std::ios::binary);
        if (!file.write(reinterpret_cast<const char*>(all.data()), std::streamsize(all.size())))
            return 1;  // the directory is not writable
    }
    return 0;
}
