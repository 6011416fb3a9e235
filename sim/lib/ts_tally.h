// The tally a receiver of the service's transport stream keeps: datagrams, 188-byte packets
// by PID (PAT 0x0000, PMT 0x0042, PCR 0x0022, audio 0x0164, other) and continuity errors.
// Used by the sim_ts_dump stand-in. Reads only the packet headers; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

struct TsTally {
    unsigned long datagrams = 0, pat = 0, pmt = 0, pcr = 0, audio = 0, other = 0;
    // Packets with a payload whose counter is not the previous one of their PID plus one
    // (the first packet of a PID sets its counter).
    unsigned long continuity_errors = 0;
    unsigned long not_packets = 0;  // datagrams whose length is not a multiple of 188
    std::map<unsigned, unsigned> last_cc;

    // Counts one datagram of n bytes; its whole 188-byte packets are looked at.
    void add(const std::uint8_t* d, std::size_t n);
    unsigned long packets() const { return pat + pmt + pcr + audio + other; }
};
