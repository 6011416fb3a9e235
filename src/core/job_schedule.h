// Which periodic jobs of the main loop are due. A pure function of the last run times,
// the iteration's clock reading and the settings, so that the loop only acts on it.
#pragma once

#include <cstdint>

#include "core/shm_config.h"

// Start of the iteration in which each job last ran; all zero at start, so every job
// whose conditions hold is due in the first iteration.
struct JobClocks {
    std::int64_t detect;
    std::int64_t psi;
    std::int64_t pcr;
    std::int64_t rtcp;
};

struct DueJobs {
    bool detect;  // format poll: every 2 s, or at once after command 4
    bool psi;     // PAT + PMT every 500 ms in transport stream mode
    bool pcr;     // PCR every 100 ms in transport stream mode
    bool rtcp;    // sender report pass every second in RTP mode
};

inline constexpr std::int64_t kDetectPeriodUsec = 2000000;
inline constexpr std::int64_t kPsiPeriodUsec = 500000;
inline constexpr std::int64_t kPcrPeriodUsec = 100000;
inline constexpr std::int64_t kRtcpPeriodUsec = 1000000;

// A period has elapsed when now - last, as an unsigned 64-bit difference, exceeds the
// period minus 1 us: a clock that stepped backwards makes the job due at once.
constexpr bool period_elapsed(std::int64_t now, std::int64_t last, std::int64_t period) {
    return static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(last) >
           static_cast<std::uint64_t>(period - 1);
}

constexpr DueJobs due_jobs(const JobClocks& last, std::int64_t now, const Settings& s,
                           bool ts_socket_open, bool force_detect) {
    const bool ts_allowed =
        ts_socket_open && s.output_mode == 2 && !(s.ts_keep_alive == 0 && s.channel_mode == 3);
    return DueJobs{
        force_detect || period_elapsed(now, last.detect, kDetectPeriodUsec),
        ts_allowed && period_elapsed(now, last.psi, kPsiPeriodUsec),
        ts_allowed && period_elapsed(now, last.pcr, kPcrPeriodUsec),
        s.output_mode == 1 && s.enable != 0 && s.channel_mode != 3 &&
            period_elapsed(now, last.rtcp, kRtcpPeriodUsec),
    };
}
