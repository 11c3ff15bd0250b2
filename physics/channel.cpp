// Per-channel analysis: baseline, smoothing, peak search, start values, fit.
//
// All working storage has fixed size and lives on the stack of the call; the
// only allocation is the smoothing's copy of the trace, which it keeps.

#include "physics/channel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "formats/record_format.h"
#include "fit/gna.h"
#include "fit/vector_lanes.h"
#include "fit/vector_width.h"
#include "physics/vertex.h"
#include "physics/window.h"

// A result record is the residual sum of squares, then the fitted parameter
// vector in the fit's own order: the two orders are one.
static_assert(kFieldAmplitude1 == 1 + zorv_fit::kAmplitude1 &&
                  kFieldDecayRate == 1 + zorv_fit::kDecayRate &&
                  kFieldBaseline == 1 + zorv_fit::kBaseline &&
                  kFieldPosition1 == 1 + zorv_fit::kPosition1 &&
                  kFieldWidth == 1 + zorv_fit::kWidth &&
                  kFieldTailAmplitude == 1 + zorv_fit::kTailAmplitude &&
                  kFieldAmplitude2 == 1 + zorv_fit::kAmplitude2 &&
                  kFieldPosition2 == 1 + zorv_fit::kPosition2 && kBlockDoubles == 1 + 8,
              "a result record holds the SSR, then the parameters in the fit's order");

namespace {

using zorv_fit::kLanes;
using zorv_fit::load;

// True when any of t[0 .. n - 1] lies above `level`. Four vectors of W
// lanes keep the largest value seen in each lane, starting from `level`: a
// lane ends above `level` exactly when a value above it passed, and a NaN
// never replaces what a lane holds (it compares with nothing), as it never
// lies above `level`. Comparisons are exact at every width, so every width
// gives the same answer.
template <class V>
ZORV_INLINE bool any_above(double const* t, int n, double level)
{
    constexpr int W = kLanes<V>;
    V m0 = V{} + level, m1 = m0, m2 = m0, m3 = m0;
    int i = 0;
    for (; i + 4 * W <= n; i += 4 * W) {
        const V a = load<V>(t + i), b = load<V>(t + i + W), c = load<V>(t + i + 2 * W),
                d = load<V>(t + i + 3 * W);
        m0 = a > m0 ? a : m0;
        m1 = b > m1 ? b : m1;
        m2 = c > m2 ? c : m2;
        m3 = d > m3 ? d : m3;
    }
    m0 = m1 > m0 ? m1 : m0;
    m2 = m3 > m2 ? m3 : m2;
    m0 = m2 > m0 ? m2 : m0;
    bool any = false;
    for (int k = 0; k < W; ++k) any = any || m0[k] > level;
    for (; i < n; ++i) any = any || t[i] > level;
    return any;
}

__attribute__((target("avx512f"))) bool any_above_avx512(double const* t, int n, double level)
{
    return any_above<zorv_fit::v8d>(t, n, level);
}

__attribute__((target("avx2"))) bool any_above_avx2(double const* t, int n, double level)
{
    return any_above<zorv_fit::v4d>(t, n, level);
}

bool any_above_sse2(double const* t, int n, double level)
{
    return any_above<zorv_fit::v2d>(t, n, level);
}

}  // namespace

EventSetup make_event_setup(SmoothingWindow const& kernel, double const baseline[2],
                            double const decay[2], bool decay_held)
{
    EventSetup setup;
    zorv_fit::FreeParams free;
    if (decay_held) free.lock(zorv_fit::kDecayRate);
    for (int c = 0; c < 2; ++c) setup.channel[c] = {baseline[c], decay[c], free, &kernel};
    return setup;
}

int find_peaks(double const* t, double* positions, double* p)
{
    std::memset(positions, 0, sizeof(double) * kMaxPeaks);
    // A peak lies above the threshold. Most samples do not, and a trace with
    // none above it (a quiet channel) has no peak at all: one sweep without
    // branches, in vectors of the width in use, tells.
    bool above = false;
    switch (zorv_fit::vector_width()) {
    case 8: above = any_above_avx512(t + 1, kSamples - 2, kPeakThreshold); break;
    case 4: above = any_above_avx2(t + 1, kSamples - 2, kPeakThreshold); break;
    default: above = any_above_sse2(t + 1, kSamples - 2, kPeakThreshold); break;
    }
    if (!above) return 0;
    int count = 0;
    for (int i = 1; i < kSamples - 1; ++i) {
        // The threshold first: the three tests have no side effects, so
        // their order changes nothing but the time.
        if (!(t[i] > kPeakThreshold && t[i] > t[i - 1] && t[i] > t[i + 1])) continue;
        // The maximum is strict, so the parabola's denominator is never 0.
        double position = three_point_vertex(i - 1, t[i - 1], i, t[i], i + 1, t[i + 1]);
        if (count == 0) p[0] = kAmplitudeFactor * t[i];
        if (count == 1) p[6] = kAmplitudeFactor * t[i];
        if (count < kMaxPeaks) positions[count] = position;
        ++count;
    }
    return count;
}

ChannelOutcome analyse_channel(int16_t const* event, int c, ChannelSetup const& setup,
                               double* block, ChannelDetail* detail, double* precision)
{
    double p[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double positions[kMaxPeaks];
    double trace[kSamples];

    for (int k = 0; k < kSamples; ++k)
        trace[k] = static_cast<double>(record_sample(event, k, c)) - setup.baseline;
    movingWindow4(trace, kSamples, *setup.kernel);

    int count = find_peaks(trace, positions, p);
    if (count > 24) count = 24;
    if (detail) {
        *detail = ChannelDetail();
        detail->peaks = count;
        std::copy(positions, positions + std::min(count, kMaxPeaks), detail->positions);
        std::copy(trace, trace + kSamples, detail->trace);
    }
    // One or two pulses, well apart; a single pulse needs 200 samples of
    // lead-in (positions[1] is 0 then).
    if (count == 0) return ChannelOutcome::kNoPeak;
    if (count >= 3) return ChannelOutcome::kTooManyPeaks;
    if (!(std::fabs(positions[0] - positions[1]) >= kMinSeparation))
        return count == 1 ? ChannelOutcome::kPeakTooEarly : ChannelOutcome::kPeaksTooClose;

    double data_set[kSamples][2];
    for (int k = 0; k < kSamples; ++k) {
        data_set[k][0] = k;
        data_set[k][1] = record_sample(event, k, c);
    }

    zorv_fit::FreeParams free = setup.free;

    p[1] = setup.decay;
    p[2] = setup.baseline;
    p[3] = positions[0];
    p[4] = kStartWidth;
    p[5] = static_cast<double>(record_sample(event, 0, c)) - setup.baseline;
    if (count == 2) {
        p[7] = positions[1];
    } else {
        // A single pulse: the second is held at amplitude 0, which also
        // takes it out of the model.
        p[6] = 0.0;
        p[7] = kParkedPosition;
        free.lock(zorv_fit::kAmplitude2).lock(zorv_fit::kPosition2);
    }

    zorv_fit::FitOptions options;
    options.max_iterations = kMaxIterations;
    zorv_fit::FitResult const fit = zorv_fit::gna(&data_set, p, free, options);
    if (fit.status == zorv_fit::FitStatus::kConverged) {
        if (detail) {
            detail->iterations = fit.iterations + 1;
            std::copy(fit.standard_errors, fit.standard_errors + 8, detail->standard_errors);
        }
        if (precision) {
            precision[kFieldIterations] = fit.iterations + 1;
            for (int j = 0; j < 8; ++j) precision[1 + j] = fit.standard_errors[j];
        }
    }
    if (fit.status == zorv_fit::FitStatus::kNonFiniteStep) return ChannelOutcome::kFitNotFinite;
    if (fit.status != zorv_fit::FitStatus::kConverged) return ChannelOutcome::kFitNotConverged;

    block[0] = fit.ssr;
    for (int j = 0; j < 8; ++j) block[1 + j] = p[j];
    return fit.ssr > 0.0 ? ChannelOutcome::kFitted : ChannelOutcome::kNoResiduals;
}

void analyse_event(int16_t const* event, EventSetup const& setup, double* result,
                   ChannelOutcome* outcomes, double* precision)
{
    const ChannelOutcome a =
        analyse_channel(event, 0, setup.channel[0], result, nullptr, precision);
    const ChannelOutcome b =
        analyse_channel(event, 1, setup.channel[1], result + kBlockDoubles, nullptr,
                        precision ? precision + kBlockDoubles : nullptr);
    if (outcomes) {
        outcomes[0] = a;
        outcomes[1] = b;
    }
}
