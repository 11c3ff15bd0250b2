// Per-channel analysis: baseline, smoothing, peak search, start values, fit.
//
// All working storage has fixed size and lives on the stack of the call; the
// only allocation is the smoothing's copy of the trace, which it keeps.

#include "channel.h"

#include <cmath>
#include <cstring>

#include "datafile.h"
#include "gna.h"
#include "vertex.h"
#include "window.h"

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
    // branches, which the compiler vectorises, tells.
    bool above = false;
    for (int i = 1; i < kSamples - 1; ++i) above |= t[i] > kPeakThreshold;
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

bool analyse_channel(int16_t const* event, int c, ChannelSetup const& setup, double* block)
{
    double p[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double positions[kMaxPeaks];
    double trace[kSamples];

    for (int k = 0; k < kSamples; ++k)
        trace[k] = static_cast<double>(record_sample(event, k, c)) - setup.baseline;
    movingWindow4(trace, kSamples, *setup.kernel);

    int count = find_peaks(trace, positions, p);
    if (count > 24) count = 24;
    // One or two pulses, well apart; a single pulse needs 200 samples of
    // lead-in (positions[1] is 0 then).
    if (count == 0 || count >= 3) return false;
    if (!(std::fabs(positions[0] - positions[1]) >= kMinSeparation)) return false;

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
    if (fit.status != zorv_fit::FitStatus::kConverged) return false;

    block[0] = fit.ssr;
    for (int j = 0; j < 8; ++j) block[1 + j] = p[j];
    return true;
}

void analyse_event(int16_t const* event, EventSetup const& setup, double* result)
{
    analyse_channel(event, 0, setup.channel[0], result);
    analyse_channel(event, 1, setup.channel[1], result + kBlockDoubles);
}
