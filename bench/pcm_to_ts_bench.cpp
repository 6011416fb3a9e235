// pcm_to_ts on one 1920-byte stereo block (10 ms at 48 kHz), side by side with a plain
// memcpy of the same bytes: the floor below which no packetiser can go. Prints the ratio.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ts/lpcm_pes.h"

namespace {

constexpr std::uint32_t kBlock = 1920;

std::uint8_t g_pcm[kBlock];
std::uint8_t g_out[lpcm_ts_size(kBlock)];

void fill_pcm() {
    for (std::uint32_t i = 0; i < kBlock; ++i) g_pcm[i] = static_cast<std::uint8_t>(i * 31);
}

void BM_memcpy_floor(benchmark::State& state) {
    fill_pcm();
    for (auto _ : state) {
        std::memcpy(g_out, g_pcm, kBlock);
        benchmark::DoNotOptimize(g_out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
}
BENCHMARK(BM_memcpy_floor);

void BM_pcm_to_ts(benchmark::State& state) {
    fill_pcm();
    init_pes_header();
    std::uint32_t pts = 0;
    for (auto _ : state) {
        set_pes_pts(pts += 900);
        benchmark::DoNotOptimize(pcm_to_ts(2, g_pcm, kBlock, g_out));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
}
BENCHMARK(BM_pcm_to_ts);

// The console report, plus the CPU time per iteration of each run kept for the ratio
// (CPU rather than wall time: the build machine is shared).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    double time_of(const std::string& name) const {
        const auto it = times_.find(name);
        return it == times_.end() ? 0.0 : it->second;
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double floor = reporter.time_of("BM_memcpy_floor");
    const double ours = reporter.time_of("BM_pcm_to_ts");
    if (floor > 0.0 && ours > 0.0)
        std::printf("pcm_to_ts / memcpy of %u bytes: %.1fx (%.0f ns vs %.0f ns CPU)\n", kBlock,
                    ours / floor, ours, floor);
    benchmark::Shutdown();
    return 0;
}
