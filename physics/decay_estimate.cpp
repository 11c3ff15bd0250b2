// The most probable decay rate: a 250-bin histogram over the trimmed range
// of the values, its fullest inner bin, refined by a parabola.

#include "physics/decay_estimate.h"

#include <cmath>
#include <cstdint>

#include "histogram/histogram1d.h"
#include "physics/vertex.h"

namespace {

constexpr int kLastBin = kDecayBins - 1;  // 249: bins span lo .. hi in 249 steps

}  // namespace

DecayEstimate estimate_decay(std::vector<double> const& v, double overflow)
{
    DecayEstimate e;
    const int n = static_cast<int>(v.size());
    // Trimmed limits. With hist_overflow in [0, 1] both indices lie in
    // 0 .. n-1; the clamps only keep a bad value from reading past the list.
    const double m = static_cast<double>(n - 1);
    const double one_minus_f = 1.0 - overflow;
    const int ilo = static_cast<int>(std::fmax(0.0, std::fmin(m, m * overflow)));
    const int ihi = static_cast<int>(std::fmax(0.0, std::fmin(m, one_minus_f * m)));
    e.lo = v[ilo];
    e.hi = v[ihi];
    // hi == lo (one value, or all trimmed values equal) leaves no width to
    // bin; hi < lo or an infinite width would give a meaningless histogram.
    if (!(e.hi > e.lo) || !std::isfinite(e.hi - e.lo)) return e;
    e.has_range = true;

    // The histogram's bin of x is trunc(249 (x - lo) / (hi - lo) + 0.5),
    // clamped to the end bins: bin k is centred on lo + k step, and the
    // trimmed tails pile up in bins 0 and 249. Its counts are exact integers.
    histogram1D binned(kDecayBins, 1, e.lo, e.hi);
    for (int i = 0; i < n; ++i) binned.add(v[i], 0);
    for (int k = 0; k < kDecayBins; ++k) e.hist[k] = static_cast<int>(binned.count(k, 0));
    e.step = (e.hi - e.lo) / 249.0;

    // Fullest bin among 1 .. 248; bins 0 and 249 also hold the trimmed tails
    // and are never candidates. Strictly greater: the lowest bin wins ties.
    int best_bin = 1;
    int best = e.hist[1];
    for (int k = 2; k <= kLastBin - 1; ++k) {
        if (e.hist[k] > best) {
            best = e.hist[k];
            best_bin = k;
        }
    }
    e.fullest = best_bin;
    const double x2 = static_cast<double>(best_bin) * e.step + e.lo;
    e.maximum = x2;

    // Parabola through bins e-1, e, e+1 (they exist since 1 <= e <= 248).
    const double x1 = static_cast<double>(best_bin - 1) * e.step + e.lo;
    const double x3 = static_cast<double>(best_bin + 1) * e.step + e.lo;
    const int y1 = e.hist[best_bin - 1], y2 = e.hist[best_bin], y3 = e.hist[best_bin + 1];
    // Counts on a straight line (y1 - 2 y2 + y3 = 0, e.g. a flat top) have
    // no vertex: the denominator is zero in exact arithmetic, and whatever
    // rounding leaves of it would put the "vertex" anywhere. Tested on the
    // integer counts, so the decision is exact.
    const bool collinear =
        static_cast<int64_t>(y1) + static_cast<int64_t>(y3) == 2 * static_cast<int64_t>(y2);
    if (collinear) return e;
    const double vertex = three_point_vertex(x1, static_cast<double>(y1), x2,
                                             static_cast<double>(y2), x3, static_cast<double>(y3));
    // A zero denominator shows as a vertex that is not finite.
    e.has_vertex = std::isfinite(vertex);
    if (e.has_vertex) e.vertex = vertex;
    return e;
}
