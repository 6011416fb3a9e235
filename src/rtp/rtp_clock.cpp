#include "rtp/rtp_clock.h"

#include <sys/time.h>

namespace {

std::uint64_t g_next_rtp_time = 0;

}  // namespace

const std::uint64_t& next_rtp_time = g_next_rtp_time;

std::uint64_t rtp_time_at(std::int64_t tv_sec, std::int64_t tv_usec, std::uint32_t rate) {
    const std::int64_t whole = static_cast<std::int64_t>(static_cast<std::int32_t>(tv_sec)) *
                               static_cast<std::int64_t>(rate);
    // Single precision on purpose: receivers of the deployed service see exactly these
    // sub-second steps.
    const float part = static_cast<float>(tv_usec) / 1000000.0f * static_cast<float>(rate);
    return static_cast<std::uint64_t>(whole) + static_cast<std::uint64_t>(part);
}

void get_rtp_time(std::uint32_t rate, std::uint64_t* out) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    *out = rtp_time_at(tv.tv_sec, tv.tv_usec, rate);
}

std::uint64_t take_packet_time(std::uint64_t clock_reading, std::uint32_t frames) {
    const std::uint64_t rtp_time = rtp_packet_time(clock_reading, g_next_rtp_time);
    g_next_rtp_time = rtp_time + frames;
    return rtp_time;
}
