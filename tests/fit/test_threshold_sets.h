// Data sets whose abscissae straddle every threshold of the fit's exact
// shortcuts (pulse_terms.h): for each pulse, erf's argument z at +-6 and at
// +-5.9215871957945074 (where erf becomes +-1), exp's Gaussian argument w at
// -746 and -745.1332191019412 (where exp becomes 0), and u at the stand-in's
// limit and at exp's overflow. Around each crossing a cluster of abscissae one
// ulp apart, the rest a grid; y is a baseline with noise.
#ifndef ZORV_TEST_THRESHOLD_SETS_H
#define ZORV_TEST_THRESHOLD_SETS_H

#include <cmath>
#include <functional>
#include <vector>

#include "fit/pulse_terms.h"
#include "test_rng.h"

struct ThresholdCase {
  char const* name;
  double p[8];
  bool infinite_sample;  // y = +inf at x = 200, far ahead of both pulses
};

// Ordinary pulses: z and w cross their thresholds ahead of and behind both.
// Steep decay far ahead of the pulses: u crosses the stand-in's limit and
// exp's overflow where erf(z) = 1 and exp(w) = 0 (NaN rows beyond it).
// Rising tail: exp(lambda x) overflows ahead of late pulses. An infinite
// sample far ahead of the pulses, where their columns are exact zeros over
// whole blocks: inf * 0 = NaN must reach their sums.
inline std::vector<ThresholdCase> const& threshold_cases()
{
  static std::vector<ThresholdCase> const cases = {
      {"pulses", {31000.0, -0.0015, -28000.0, 612.4, 2.7, 1800.0, 17000.0, 1800.3}, false},
      {"overflow", {30000.0, -0.5, -28000.0, 2000.0, 1.0, 0.0, 20000.0, 2600.0}, false},
      {"rising tail", {25000.0, 0.4, -28000.0, 2900.0, 2.0, 1500.0, 15000.0, 2950.0}, false},
      {"infinite sample", {31000.0, -0.0015, -28000.0, 612.4, 2.7, 1800.0, 17000.0, 1800.3}, true},
  };
  return cases;
}

// Fills d (x, y) for case c; returns the number of thresholds crossed.
inline int threshold_data(ThresholdCase const& c, double (&d)[2500][2], uint64_t seed)
{
  using zorv_fit::PulseArgs;
  zorv_fit::PulseShape const k = zorv_fit::pulse_shape(c.p[1], c.p[4]);
  std::vector<double> xs;
  int crossed = 0;
  // Every crossing of arg(x) = level on a grid from -500 to 3000, refined by
  // bisection, with 12 abscissae on each side, one ulp apart.
  auto straddle = [&](std::function<double(double)> const& arg, double level) {
    double a = -500.0;
    for (double b = a + 0.25; b <= 3000.0; a = b, b += 0.25) {
      double const fa = arg(a) - level, fb = arg(b) - level;
      if (!((fa < 0.0) != (fb < 0.0))) continue;
      double lo = a, hi = b;
      for (int i = 0; i < 200 && std::nextafter(lo, hi) != hi; ++i) {
        double const mid = 0.5 * (lo + hi);
        ((arg(mid) - level < 0.0) == (fa < 0.0) ? lo : hi) = mid;
      }
      double x = lo;
      for (int i = 0; i < 11; ++i) x = std::nextafter(x, -1e9);
      for (int i = 0; i < 24; ++i, x = std::nextafter(x, 1e9)) xs.push_back(x);
      ++crossed;
    }
  };
  for (int q = 0; q < 2; ++q) {
    double const t = c.p[q == 0 ? 3 : 7];
    double const A = c.p[q == 0 ? 0 : 6];
    auto z = [&](double x) { return zorv_fit::pulse_args(k, x, t).z; };
    auto w = [&](double x) { return zorv_fit::pulse_args(k, x, t).w; };
    auto u = [&](double x) { return zorv_fit::pulse_args(k, x, t).u; };
    for (double level : {zorv_fit::kErfIsOne, 5.9215871957945074}) {
      straddle(z, level);
      straddle(z, -level);
    }
    for (double level : {zorv_fit::kExpIsZero, -745.1332191019412}) straddle(w, level);
    for (double level : {zorv_fit::stand_in_limit(A), 709.782712893384}) straddle(u, level);
  }
  // The rest: a grid over the trace.
  int const grid = 2500 - static_cast<int>(xs.size());
  for (int i = 0; i < grid; ++i) xs.push_back(i * (2500.0 / grid));
  Rng rng(seed);
  for (int i = 0; i < 2500; ++i) {
    d[i][0] = xs[i];
    d[i][1] = c.p[2] + 50.0 * rng.normal();
  }
  if (c.infinite_sample) {
    int const i = 2500 - grid + static_cast<int>(200.0 / (2500.0 / grid));
    d[i][1] = HUGE_VAL;
  }
  return crossed;
}

#endif
