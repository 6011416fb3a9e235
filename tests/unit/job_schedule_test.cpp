// The main loop's decision of which periodic jobs are due, with exact clock values.
#include "core/job_schedule.h"

#include <gtest/gtest.h>

#include "core/clock.h"


namespace {

constexpr Settings kRtp{1, 1, 1, 0};
constexpr Settings kTs{2, 1, 1, 0};

TEST(JobSchedule, FirstIterationMakesEveryAllowedJobDue) {
    const JobClocks start{};
    const std::int64_t now = 1'700'000'000'000'000;
    DueJobs d = due_jobs(start, now, kRtp, false, false);
    EXPECT_TRUE(d.detect);
    EXPECT_TRUE(d.rtcp);
    EXPECT_FALSE(d.psi);
    EXPECT_FALSE(d.pcr);

    d = due_jobs(start, now, kTs, true, false);
    EXPECT_TRUE(d.detect && d.psi && d.pcr);
    EXPECT_FALSE(d.rtcp);
}

TEST(JobSchedule, PeriodsJustUnderAndJustOver) {
    const std::int64_t t0 = 5'000'000'000;
    const JobClocks last{t0, t0, t0, t0};
    struct Row {
        std::int64_t elapsed;
        bool detect, psi, pcr, rtcp;
    } rows[] = {
        {0, false, false, false, false},
        {99'999, false, false, false, false},
        {100'000, false, false, true, false},
        {499'999, false, false, true, false},
        {500'000, false, true, true, false},
        {999'999, false, true, true, false},
        {1'999'999, false, true, true, false},
        {2'000'000, true, true, true, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.elapsed);
        const DueJobs d = due_jobs(last, t0 + r.elapsed, kTs, true, false);
        EXPECT_EQ(d.detect, r.detect);
        EXPECT_EQ(d.psi, r.psi);
        EXPECT_EQ(d.pcr, r.pcr);
        EXPECT_EQ(due_jobs(last, t0 + r.elapsed, kRtp, false, false).rtcp, r.elapsed >= 1'000'000);
    }
}

TEST(JobSchedule, BackwardsClockStepMakesEveryJobDue) {
    const std::int64_t t0 = 5'000'000'000;
    const JobClocks last{t0, t0, t0, t0};
    const DueJobs ts = due_jobs(last, t0 - 1, kTs, true, false);
    EXPECT_TRUE(ts.detect && ts.psi && ts.pcr);
    EXPECT_TRUE(due_jobs(last, t0 - 1, kRtp, false, false).rtcp);
}

TEST(JobSchedule, ConditionsOfEachJob) {
    const JobClocks start{};
    const std::int64_t now = 10'000'000;

    // Forced detection runs even when its period has not passed.
    const JobClocks just_ran{now, now, now, now};
    EXPECT_TRUE(due_jobs(just_ran, now, kRtp, false, true).detect);
    EXPECT_FALSE(due_jobs(just_ran, now, kRtp, false, false).detect);
    // Detection runs whatever the output mode.
    EXPECT_TRUE(due_jobs(start, now, Settings{0, 0, 3, 0}, false, false).detect);

    // RTCP: output mode 1, enabled, channel mode not 3.
    EXPECT_FALSE(due_jobs(start, now, Settings{1, 0, 1, 0}, false, false).rtcp);
    EXPECT_FALSE(due_jobs(start, now, Settings{1, 1, 3, 1}, false, false).rtcp);
    EXPECT_FALSE(due_jobs(start, now, Settings{2, 1, 1, 0}, true, false).rtcp);
    EXPECT_TRUE(due_jobs(start, now, Settings{1, 1, 2, 0}, false, false).rtcp);

    // PSI and PCR: socket open, output mode 2, and not (keep-alive 0 with channel mode 3).
    auto ts = [&](Settings s, bool sock) {
        const DueJobs d = due_jobs(start, now, s, sock, false);
        EXPECT_EQ(d.psi, d.pcr);
        return d.psi;
    };
    EXPECT_TRUE(ts(Settings{2, 1, 1, 0}, true));
    EXPECT_FALSE(ts(Settings{2, 1, 1, 0}, false));
    EXPECT_FALSE(ts(Settings{1, 1, 1, 0}, true));
    EXPECT_FALSE(ts(Settings{2, 1, 3, 0}, true));
    EXPECT_TRUE(ts(Settings{2, 1, 3, 1}, true));
    EXPECT_TRUE(ts(Settings{2, 0, 1, 0}, true));  // enable does not gate the TS jobs
}

TEST(JobSchedule, Clock90kUsesTheSameWallClock) {
    EXPECT_EQ(clock_90k(0), 0u);
    EXPECT_EQ(clock_90k(1'000'000), 90'000u);
    EXPECT_EQ(clock_90k(199), 9u);  // divided by 100 before the multiplication
    // Low 32 bits of (now / 100 * 9).
    const std::int64_t now = 1'700'000'000'123'456;
    EXPECT_EQ(clock_90k(now), static_cast<std::uint32_t>(17'000'000'001'234ull * 9ull));
}

}  // namespace
