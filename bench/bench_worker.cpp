// Where a worker's time goes: smoothing, peak search and fit of one channel,
// on single-pulse traces drawn like the synthetic files (amplitude 12,000 to
// 42,000, decay rate about -0.0015, baseline about -28,000 with a 5% spread,
// width 1 to 5, tail up to 10,000, noise of standard deviation 50), with the
// example's 101-point Nuttall kernel and the decay rate free as in the
// calibration phase.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "physics/channel.h"
#include "fit/pulse_model.h"
#include "test_rng.h"
#include "physics/window.h"

namespace {

constexpr int kEvents = 64;

std::vector<std::vector<int16_t>> const& events()
{
    static std::vector<std::vector<int16_t>> ev;
    if (!ev.empty()) return ev;
    Rng rng(2024);
    for (int e = 0; e < kEvents; ++e) {
        std::vector<int16_t> rec(5000);
        for (int c = 0; c < 2; ++c) {
            double p[8] = {12000.0 + 30000.0 * rng.uniform(), -0.0015 * (1.0 + 0.0005 * rng.normal()),
                           -28000.0 * (1.0 + 0.05 * rng.normal()), 1250.0 * (1.0 + 0.05 * rng.normal()),
                           1.0 + 4.0 * rng.uniform(), 10000.0 * rng.uniform(), 0.0, 1500.0};
            for (int k = 0; k < 2500; ++k) rec[2 * k + c] = static_cast<int16_t>(zorv_fit::f(k, p) + 50.0 * rng.normal());
        }
        ev.push_back(rec);
    }
    return ev;
}

// Channel A as the calibration phase analyses it.
ChannelSetup const& setup()
{
    static const SmoothingWindow kernel(func_nuttall, 101);
    static const ChannelSetup s = {-28000.0, -0.0015, zorv_fit::FreeParams(), &kernel};
    return s;
}

void trace_of(std::vector<int16_t> const& rec, double* trace)
{
    for (int k = 0; k < 2500; ++k) trace[k] = rec[2 * k] - setup().baseline;
}

void BM_Smoothing(benchmark::State& state)
{
    double trace[2500];
    size_t e = 0;
    for (auto _ : state) {
        trace_of(events()[e++ % kEvents], trace);
        movingWindow4(trace, 2500, *setup().kernel);
        benchmark::DoNotOptimize(trace[1000]);
    }
    state.counters["channels/s"] = benchmark::Counter(state.iterations(), benchmark::Counter::kIsRate);
}

void BM_PeakSearch(benchmark::State& state)
{
    std::vector<std::vector<double>> smoothed(kEvents, std::vector<double>(2500));
    for (int e = 0; e < kEvents; ++e) {
        trace_of(events()[e], smoothed[e].data());
        movingWindow4(smoothed[e].data(), 2500, *setup().kernel);
    }
    double positions[kMaxPeaks];
    double p[8];
    size_t e = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(find_peaks(smoothed[e++ % kEvents].data(), positions, p));
    }
    state.counters["channels/s"] = benchmark::Counter(state.iterations(), benchmark::Counter::kIsRate);
}

// The whole channel: baseline, smoothing, peak search and (when usable) fit.
void BM_Channel(benchmark::State& state)
{
    double block[9];
    size_t e = 0;
    int64_t fitted = 0;
    for (auto _ : state) {
        fitted += analyse_channel(events()[e++ % kEvents].data(), 0, setup(), block) ==
                  ChannelOutcome::kFitted;
    }
    state.counters["channels/s"] = benchmark::Counter(state.iterations(), benchmark::Counter::kIsRate);
    state.counters["fitted"] = static_cast<double>(fitted) / state.iterations();
}

}  // namespace

BENCHMARK(BM_Smoothing);
BENCHMARK(BM_PeakSearch);
BENCHMARK(BM_Channel);
BENCHMARK_MAIN();
