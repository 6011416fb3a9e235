#include "ts_tally.h"

void TsTally::add(const std::uint8_t* d, std::size_t n) {
    ++datagrams;
    if (n % 188 != 0) ++not_packets;
    for (std::size_t off = 0; off + 188 <= n; off += 188) {
        const std::uint8_t* p = d + off;
        const unsigned pid = (p[1] & 0x1Fu) << 8 | p[2];
        unsigned long& count = pid == 0       ? pat
                               : pid == 0x42  ? pmt
                               : pid == 0x22  ? pcr
                               : pid == 0x164 ? audio
                                              : other;
        ++count;
        if ((p[3] & 0x10) == 0) continue;  // no payload: the counter does not advance
        const unsigned cc = p[3] & 0x0Fu;
        const auto it = last_cc.find(pid);
        if (it != last_cc.end() && cc != ((it->second + 1) & 0x0Fu)) ++continuity_errors;
        last_cc[pid] = cc;
    }
}
