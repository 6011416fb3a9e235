// The RTP clock: the wall clock in ticks of the RTP clock rate (the applied sample rate),
// and the RTP time of each data packet, which follows that clock yet never goes back. The
// packetiser takes a time for every packet; the sender reports read the clock for a pass.
#pragma once

#include <cstdint>

// RTP time at which the next packet may start, in ticks of the applied sample rate.
// Starts at 0 and never goes back, also not when receivers or the rate change; only
// take_packet_time moves it.
extern const std::uint64_t& next_rtp_time;

// The wall clock in ticks of `rate`.
void get_rtp_time(std::uint32_t rate, std::uint64_t* out);

// The RTP time of a packet of `frames` sample frames, given a clock reading: see
// rtp_packet_time. next_rtp_time becomes that time plus the frames.
std::uint64_t take_packet_time(std::uint64_t clock_reading, std::uint32_t frames);

// --- Decisions, kept free of clocks ----------------------------------------------------

// get_rtp_time from a time of day: seconds (as signed 32-bit) times rate in 64 bits, plus
// the microseconds in single precision, (usec / 1000000) * rate, truncated.
std::uint64_t rtp_time_at(std::int64_t tv_sec, std::int64_t tv_usec, std::uint32_t rate);

// A packet starts at the clock reading, or at next_rtp_time when that lies ahead: the
// timestamp follows the wall clock yet never goes back, and a burst faster than real time
// gets consecutive timestamps.
constexpr std::uint64_t rtp_packet_time(std::uint64_t clock_reading, std::uint64_t next_time) {
    return next_time > clock_reading ? next_time : clock_reading;
}
