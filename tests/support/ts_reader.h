// A deliberately small transport packet reader for tests: it takes packets apart by the
// byte positions of ISO/IEC 13818-1 so that tests can check what the writers produced
// without trusting the writers' own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ReadPacket {
    bool sync_ok, pusi;
    unsigned pid, afc, cc;                       // afc: adaptation_field_control
    int af_length;                               // -1 without adaptation field
    unsigned af_flags;                           // byte 5 when af_length > 0
    std::vector<std::uint8_t> af_body, payload;  // af_body: bytes 6 .. 4 + af_length
};

inline ReadPacket read_packet(const std::uint8_t* p) {
    ReadPacket r{};
    r.sync_ok = p[0] == 0x47;
    r.pusi = (p[1] & 0x40) != 0;
    r.pid = (p[1] & 0x1Fu) * 256u + p[2];
    r.afc = (p[3] >> 4) & 3u;
    r.cc = p[3] & 15u;
    std::size_t start = 4;
    r.af_length = -1;
    if (r.afc == 2 || r.afc == 3) {
        r.af_length = p[4];
        start = 5 + static_cast<std::size_t>(p[4]);
        if (r.af_length > 0) {
            r.af_flags = p[5];
            r.af_body.assign(p + 6, p + start);
        }
    }
    if ((r.afc == 1 || r.afc == 3) && start < 188) r.payload.assign(p + start, p + 188);
    return r;
}

inline std::vector<ReadPacket> read_packets(const std::uint8_t* p, std::size_t len) {
    std::vector<ReadPacket> out;
    for (std::size_t off = 0; off + 188 <= len; off += 188) out.push_back(read_packet(p + off));
    return out;
}
