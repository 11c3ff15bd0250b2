// Cost of one synthetic event (two parameter sets, 5,000 model values and
// 5,000 normal deviates) and of its encoding as a raw record: zorv_gen makes
// 10,000 of them.
#include "generator/random.h"
#include "generator/synth.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

static void BM_make_event(benchmark::State& state)
{
    generator_state = 1;
    normal_state = 0;
    std::vector<std::int16_t> s(kRecordShorts);
    for (auto _ : state) {
        make_event(s.data());
        benchmark::DoNotOptimize(s.data());
    }
    state.SetItemsProcessed(state.iterations() * kRecordShorts);
}
BENCHMARK(BM_make_event);

static void BM_encode_event(benchmark::State& state)
{
    std::vector<std::int16_t> s(kRecordShorts, -21533);
    std::vector<unsigned char> r(kRecordBytes);
    for (auto _ : state) {
        encode_event(s.data(), r.data());
        benchmark::DoNotOptimize(r.data());
    }
    state.SetBytesProcessed(state.iterations() * kRecordBytes);
}
BENCHMARK(BM_encode_event);

BENCHMARK_MAIN();
