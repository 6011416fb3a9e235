// Writes the seed corpus of ts_demux_fuzz into a directory: streams made by the service's
// own writers (PAT and PMT, LPCM PES, video PES, PCR), each behind the control byte the
// target reads (packets per call in the low nibble, bit 7 for a ragged tail).
//   ts_demux_seeds <directory>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "ts/lpcm_pes.h"
#include "ts/psi_tables.h"
#include "ts/ts_demux.h"
#include "ts/ts_packet.h"
#include "ts/video_pes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes psi() {
    Bytes out(376);
    std::uint32_t len = 0;
    psi_to_ts(out.data(), &len);
    out.resize(len);
    return out;
}

Bytes audio(std::uint32_t channels, std::uint32_t n) {
    Bytes pcm(n);
    for (std::uint32_t i = 0; i < n; ++i) pcm[i] = static_cast<std::uint8_t>(i * 3);
    Bytes out(lpcm_ts_size(n));
    out.resize(pcm_to_ts(channels, pcm.data(), n, out.data()));
    return out;
}

Bytes video(std::uint32_t flags, std::uint8_t nal, std::uint32_t n) {
    Bytes au(n);
    for (std::uint32_t i = 0; i < n; ++i) au[i] = static_cast<std::uint8_t>(i * 11);
    au[0] = au[1] = au[2] = 0;
    au[3] = 1;
    au[4] = nal;
    Bytes out(video_ts_size(n));
    out.resize(video_to_ts(flags, au.data(), n, out.data()));
    return out;
}

// A stored section in one packet with its pointer_field pushing it to the packet's end,
// so that short units and section headers at the edge are a few mutations away.
Bytes section_at_end(std::uint16_t pid, const std::uint8_t* section, std::uint32_t len) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<std::uint8_t>(0x40 | pid >> 8);
    p[2] = static_cast<std::uint8_t>(pid);
    p[3] = 0x10;
    const std::uint32_t body = len - 1;  // the section without its own pointer_field
    p[4] = static_cast<std::uint8_t>(183 - body);
    for (std::uint32_t i = 0; i < body; ++i) p[188 - body + i] = section[1 + i];
    return p;
}

Bytes pcr() {
    Bytes out(188);
    std::uint32_t len = 0;
    make_pcr_packet(0x12345679, out.data(), &len);
    return out;
}

bool write_seed(const std::string& dir, const char* name, std::uint8_t control,
                std::initializer_list<Bytes> parts) {
    Bytes all = {control};
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(all.data(), 1, all.size(), f) == all.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    init_psi_tables();
    init_pes_header();
    set_pes_pts(0x12345678);
    demux_ts_buffer(nullptr, 0, nullptr, nullptr);  // builds the AUD the video writer inserts

    bool ok = true;
    ok &= write_seed(dir, "tables", 0x0F, {psi()});
    ok &= write_seed(dir, "stereo", 0x0F, {psi(), audio(2, 400)});
    ok &= write_seed(dir, "mono_one_packet_per_call", 0x00, {psi(), audio(1, 141)});
    ok &= write_seed(dir, "slice_with_aud", 0x0F, {psi(), video(0x3A, 0x65, 500)});
    ok &= write_seed(dir, "sps_then_slice", 0x03,
                     {psi(), video(0x08, 0x67, 20), video(0x00, 0x41, 300)});
    ok &= write_seed(dir, "mixed_with_pcr", 0x07,
                     {psi(), pcr(), audio(2, 192), video(0x02, 0x41, 200), audio(1, 40)});
    ok &= write_seed(dir, "sections_at_packet_end", 0x0F,
                     {section_at_end(0x0000, pat_section(), pat_section_length()),
                      section_at_end(0x0042, pmt_section(), pmt_section_length()), audio(2, 60)});
    Bytes tail(10, 0x47);
    ok &= write_seed(dir, "ragged_tail", 0x8F, {psi(), audio(2, 100), tail});
    if (!ok) {
        std::perror(dir.c_str());
        return 1;
    }
    return 0;
}
