// The main loop's decision of which periodic jobs are due, with exact clock values.
#include "core/job_schedule.h"

#include <gtest/gtest.h>

#include <tuple>

#include "core/clock.h"

namespace {

constexpr Settings kRtp{1, 1, 1, 0}, kTs{2, 1, 1, 0};
using Due = std::tuple<bool, bool, bool, bool>;  // detect, psi, pcr, rtcp

Due due(const JobClocks& last, std::int64_t now, const Settings& s, bool ts_socket,
        bool force_detect = false) {
    const DueJobs d = due_jobs(last, now, s, ts_socket, force_detect);
    return {d.detect, d.psi, d.pcr, d.rtcp};
}

TEST(JobSchedule, PeriodsJustUnderAndJustOverAndBackwards) {
    const std::int64_t t0 = 5'000'000'000;
    const JobClocks last{t0, t0, t0, t0};
    // clang-format off
    const std::tuple<std::int64_t, Due> rows[] = {  // microseconds since each job last ran
        {0, {false, false, false, false}},       {99'999, {false, false, false, false}},
        {100'000, {false, false, true, false}},  {499'999, {false, false, true, false}},
        {500'000, {false, true, true, false}},   {999'999, {false, true, true, false}},
        {1'000'000, {false, true, true, true}},  {1'999'999, {false, true, true, true}},
        {2'000'000, {true, true, true, true}},
        {-1, {true, true, true, true}}};  // a clock that stepped back makes every job due
    // clang-format on
    for (const auto& [elapsed, want] : rows) {
        const Due ts = due(last, t0 + elapsed, kTs, true),
                  rtp = due(last, t0 + elapsed, kRtp, false);
        EXPECT_EQ(Due(std::get<0>(ts), std::get<1>(ts), std::get<2>(ts), std::get<3>(rtp)), want)
            << elapsed;
    }
}

TEST(JobSchedule, FirstIterationRunsEachJobItsConditionsAllow) {
    const std::int64_t now = 1'700'000'000'000'000;
    // Forced detection runs even when its period has not passed, whatever the output mode.
    const JobClocks just_ran{now, now, now, now};
    EXPECT_EQ(due(just_ran, now, kRtp, false, true), Due(true, false, false, false));
    EXPECT_EQ(due(just_ran, now, kRtp, false), Due(false, false, false, false));
    EXPECT_TRUE(std::get<0>(due({}, now, Settings{0, 0, 3, 0}, false)));
    // RTCP: output mode 1, enabled, channel mode not 3. PSI and PCR together: socket open,
    // output mode 2, not (keep-alive 0 with channel mode 3); enable does not gate them.
    // clang-format off
    const std::tuple<Settings, bool, bool, bool> cases[] = {  // settings, socket, rtcp, ts jobs
        {{1, 0, 1, 0}, false, false, false}, {{1, 1, 3, 1}, false, false, false},
        {{1, 1, 2, 0}, false, true, false},  {{2, 1, 1, 0}, true, false, true},
        {{2, 1, 1, 0}, false, false, false}, {{1, 1, 1, 0}, true, true, false},
        {{2, 1, 3, 0}, true, false, false},  {{2, 1, 3, 1}, true, false, true},
        {{2, 0, 1, 0}, true, false, true}};
    // clang-format on
    for (const auto& [s, socket, rtcp, ts] : cases)
        EXPECT_EQ(due({}, now, s, socket), Due(true, ts, ts, rtcp))
            << s.output_mode << s.enable << s.channel_mode << s.ts_keep_alive << socket;
}

TEST(JobSchedule, Clock90kDividesBeforeMultiplyingAndKeepsTheLow32Bits) {
    EXPECT_EQ(clock_90k(1'000'000), 90'000u);
    EXPECT_EQ(clock_90k(199), 9u);
    // 1'700'000'000'123'456 / 100 * 9 = 153'000'000'011'106 = 0x8B27'16A6'BB62.
    EXPECT_EQ(clock_90k(1'700'000'000'123'456), 0x16A6BB62u);
}

}  // namespace
