// Throughput of the pulse fit gna on typical synthetic traces.
//
// Traces: amplitude 15,000 to 40,000, decay rate about -0.0015, baseline about
// -28,000, width 1 to 5, Gaussian noise of standard deviation 50; start values
// a bit off the truth as a worker would make them, the decay rate exact when
// it is locked. Four cases: one or two pulses, decay rate free or locked.
//
// Counters: fits/s (one core), mean Gauss-Newton iterations per fit, the cost
// of one iteration, and the floor: the exp and erf calls that one iteration's
// formulas need over 2,500 points (exp(lambda x) and, per pulse, exp(u),
// erf and the Gaussian exp), timed in the same run. iter/floor is the ratio
// of a full iteration to that floor; iter/strict the ratio to the floor
// without exp(lambda x), which need not be recomputed while lambda is locked.
// BM_Floor reports the floor alone. Times are CPU times of this thread.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "fit/gna.h"
#include "test_rng.h"

namespace {

// CPU time of this thread: the machine is shared, wall time is not ours.
double thread_seconds()
{
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

constexpr int kTraces = 32;
using Data = double[kFitPoints][2];

struct Set {
  Data data[kTraces];
  double truth[kTraces][8];
  double start[kTraces][8];
  zorv_fit::FreeParams free;
};

void make_set(Set& s, bool two, bool lambda_locked)
{
  Rng rng(two * 2 + lambda_locked + 1);
  for (int t = 0; t < kTraces; ++t) {
    double* p = s.truth[t];
    p[0] = 15000.0 + 25000.0 * rng.open_uniform();
    p[1] = -0.0015 * (0.9 + 0.2 * rng.open_uniform());
    p[2] = -28000.0 + 200.0 * (rng.open_uniform() - 0.5);
    p[3] = 300.0 + 500.0 * rng.open_uniform();
    p[4] = 1.0 + 4.0 * rng.open_uniform();
    p[5] = 500.0 + 1500.0 * rng.open_uniform();
    p[6] = two ? 15000.0 + 25000.0 * rng.open_uniform() : 0.0;
    p[7] = two ? p[3] + 400.0 + 1000.0 * rng.open_uniform() : 2000.0;
    for (int i = 0; i < kFitPoints; ++i) {
      s.data[t][i][0] = i;
      s.data[t][i][1] = zorv_fit::f(i, p) + 50.0 * rng.normal();
    }
    double* q = s.start[t];
    std::memcpy(q, p, 8 * sizeof(double));
    q[0] *= 1.05;
    if (!lambda_locked) q[1] *= 1.1;
    q[2] += 30.0;
    q[3] -= 1.5;
    q[4] *= 1.2;
    q[5] *= 0.9;
    if (two) {
      q[6] *= 0.95;
      q[7] += 1.0;
    }
  }
  s.free = zorv_fit::FreeParams();
  if (lambda_locked) s.free.lock(1);
  if (!two) s.free.lock(6).lock(7);
}

// Arguments of every exp and erf call of one iteration at p.
struct FloorArgs {
  double e[kFitPoints];                     // lambda x
  double u[2][kFitPoints];                  // u_k
  double z[2][kFitPoints];                  // g_k / (sqrt2 sigma)
  double g[2][kFitPoints];                  // -g_k^2 / (2 sigma^2)
  int pulses;
};

void floor_args(FloorArgs& a, Data const& d, double const* p, bool two)
{
  double const l = p[1], s = p[4];
  a.pulses = two ? 2 : 1;
  for (int i = 0; i < kFitPoints; ++i) {
    double const x = d[i][0];
    a.e[i] = l * x;
    for (int k = 0; k < a.pulses; ++k) {
      double const dx = x - (k ? p[7] : p[3]);
      double const g = -l * (s * s) - dx;
      a.u[k][i] = dx * l + 0.5 * (l * l) * (s * s);
      a.z[k][i] = g / (1.4142135623730951 * s);
      a.g[k][i] = -g * g / (2.0 * (s * s));
    }
  }
}

// The calls alone, each function in its own tight loop over stored
// arguments: the cheapest way to make them. Without exp(lambda x) when
// with_lx is false.
double floor_once(FloorArgs const& a, bool with_lx)
{
  static double out[kFitPoints];
  double sum = 0.0;
  if (with_lx) {
    for (int i = 0; i < kFitPoints; ++i) out[i] = std::exp(a.e[i]);
    sum += out[kFitPoints - 1];
  }
  for (int k = 0; k < a.pulses; ++k) {
    for (int i = 0; i < kFitPoints; ++i) out[i] = std::exp(a.u[k][i]);
    sum += out[kFitPoints - 1];
    for (int i = 0; i < kFitPoints; ++i) out[i] = std::erf(a.z[k][i]);
    sum += out[kFitPoints - 1];
    for (int i = 0; i < kFitPoints; ++i) out[i] = std::exp(a.g[k][i]);
    sum += out[kFitPoints - 1];
  }
  benchmark::DoNotOptimize(out);
  return sum;
}

// Seconds of one floor for trace t, with its arguments hot in cache (the
// floor must not be flattered by misses).
double floor_seconds(Set const& s, int t, bool two, bool with_lx)
{
  static FloorArgs a;
  floor_args(a, s.data[t], s.truth[t], two);
  benchmark::DoNotOptimize(floor_once(a, with_lx));
  double const t0 = thread_seconds();
  benchmark::DoNotOptimize(floor_once(a, with_lx));
  return thread_seconds() - t0;
}

// Each fit is followed by the floor of its trace, so that both see the same
// load on a shared machine; the counters come from these two timers alone
// (the Time column holds both and is not the cost of a fit).
void BM_Fit(benchmark::State& state)
{
  bool const two = state.range(0);
  bool const lambda_locked = state.range(1);
  static Set s;
  make_set(s, two, lambda_locked);

  long fits = 0, iterations = 0, failures = 0;
  double fit_s = 0.0, floor_s = 0.0, strict_s = 0.0;
  int t = 0;
  for (auto _ : state) {
    double p[8];
    std::memcpy(p, s.start[t], sizeof p);
    double const t0 = thread_seconds();
    zorv_fit::FitResult const fit = zorv_fit::gna(&s.data[t], p, s.free);
    fit_s += thread_seconds() - t0;
    benchmark::DoNotOptimize(p);
    ++fits;
    if (fit.status == zorv_fit::FitStatus::kConverged)
      iterations += fit.iterations + 1;
    else
      ++failures;
    double const fl = floor_seconds(s, t, two, true);
    floor_s += fl;
    // While lambda is locked exp(lambda x) need not be recomputed: the strict floor.
    strict_s += lambda_locked ? floor_seconds(s, t, two, false) : fl;
    t = (t + 1) % kTraces;
  }
  double const per_iter = fit_s / iterations;
  state.counters["fits/s"] = fits / fit_s;
  state.counters["iters"] = double(iterations) / fits;
  state.counters["failed"] = failures;
  state.counters["iter_us"] = per_iter * 1e6;
  state.counters["floor_us"] = floor_s / fits * 1e6;
  state.counters["iter/floor"] = per_iter / (floor_s / fits);
  state.counters["iter/strict"] = per_iter / (strict_s / fits);
}

void BM_Floor(benchmark::State& state)
{
  bool const two = state.range(0);
  static Set s;
  make_set(s, two, false);
  static FloorArgs a;
  floor_args(a, s.data[0], s.truth[0], two);
  for (auto _ : state) benchmark::DoNotOptimize(floor_once(a, true));
}

}  // namespace

BENCHMARK(BM_Fit)->ArgNames({"two", "lambda_locked"})->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Floor)->ArgName("two")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
