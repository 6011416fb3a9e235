// The service's only clock: the wall clock in microseconds. Every period of the main
// loop, the RTP and RTCP times and the 90 kHz transport stream time derive from it.
#pragma once

#include <cstdint>

// gettimeofday as seconds * 1000000 + microseconds, in 64 bits.
std::int64_t get_time_usec();

// The 90 kHz time of the transport stream (PTS and PCR base): now / 100 * 9, low 32 bits.
constexpr std::uint32_t clock_90k(std::int64_t now_usec) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now_usec) / 100u * 9u);
}
