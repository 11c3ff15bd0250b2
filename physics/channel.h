// Per-event analysis of a worker: both channels of one event record.
//
// Per channel: subtract the baseline estimate, smooth with the kernel, find
// the strict local maxima above 500, and fit the pulse model when there are
// one or two peaks at least 200 samples apart (a single peak: at least 200
// samples from the start). The fit uses the raw samples; its start values
// come from the peaks and the channel's setup.
//
// The analysis is a function of its arguments alone: the event's samples and
// the setup of each channel, which a phase fixes for all its events.
#ifndef ZORV_CHANNEL_H
#define ZORV_CHANNEL_H

#include <cstdint>

#include "fit/free_params.h"
#include "formats/record_format.h"
#include "formats/run_files.h"

class SmoothingWindow;

constexpr int kMaxPeaks = 25;          // peak positions kept per channel
constexpr double kPeakThreshold = 500.0;
constexpr double kAmplitudeFactor = 2.02932;  // smoothed height -> start amplitude
constexpr double kMinSeparation = 200.0;

// Start value of the width p[4], in samples, for every channel. The fit
// finds each channel's own width from there within a few iterations, but
// the start is part of the method: the fitted values depend on it in their
// last digits, so the result files stay the same only while it does.
constexpr double kStartWidth = 1.131;

// Iteration limit of every fit. From these start values Gauss-Newton
// converges in 6 to 12 iterations on the synthetic data; 50 leaves room for
// slow starts and caps what a fit that never converges costs at a few
// ordinary fits. It belongs to the analysis, not to the worker loop, so that
// a test, a benchmark or a tool analyses a channel exactly as a worker does.
// It also decides which fits fail, so it is part of the results.
constexpr int kMaxIterations = 50;

// What the analysis of one channel depends on besides its samples.
struct ChannelSetup {
    double baseline = 0.0;           // bcg_est: subtracted before smoothing, start of p[2]
    double decay = 0.0;              // start value of the decay rate p[1], or its held value
    zorv_fit::FreeParams free;       // what the fit may move; the processing phase locks p[1]
    SmoothingWindow const* kernel = nullptr;  // smoothing kernel
};

// The setups of channel A and channel B in one phase.
struct EventSetup {
    ChannelSetup channel[2];
};

// Channel c's setup: baseline[c] and decay[c], the decay rate held or free
// and every other parameter free, the kernel (which must outlive the setup).
EventSetup make_event_setup(SmoothingWindow const& kernel, double const baseline[2],
                            double const decay[2], bool decay_held);

// Peak search on a smoothed trace of 2,500 samples: every centre i = 1 ..
// 2,498 with trace[i] strictly above both neighbours and above 500. The
// position of a peak is the vertex of the parabola through its three
// samples. positions (kMaxPeaks entries) is cleared first and receives the
// first 25 positions; p[0] and p[6] receive the start amplitudes of the
// first and second peak. Returns the number of peaks found.
int find_peaks(double const* trace, double* positions, double* p);


// What a channel's analysis saw on its way, beyond its result block: for a
// tool that explains an event, a test, or a record of the fit's precision.
struct ChannelDetail {
    int peaks = 0;                       // peaks found (counted up to 24)
    double positions[kMaxPeaks] = {};    // the first min(peaks, 25) positions
    int iterations = 0;                  // of a converged fit, the converging one included
    double standard_errors[8] = {};      // of p[0] .. p[7] (0: held, or no converged fit)
    double trace[kSamples] = {};         // the smoothed trace, baseline subtracted
};

// Analyses channel c (0 = A, 1 = B) of `event` (5,000 values, sample k of
// channel c at 2k + c) with `setup` and fills `block` (9 doubles, cleared by
// the caller) with the residual sum of squares and the fitted parameters, or
// leaves it at zero when the channel is not fitted or its fit fails. When
// given, `precision` (9 doubles, cleared by the caller) receives the
// precision record of a converged fit (its iterations and the standard
// errors, laid out as the result record) and *detail what the analysis saw;
// neither changes anything else. Returns what became of the channel.
ChannelOutcome analyse_channel(int16_t const* event, int c, ChannelSetup const& setup,
                               double* block, ChannelDetail* detail = nullptr,
                               double* precision = nullptr);

// Analyses channel A and then channel B of `event` into `result` (18
// doubles, already cleared by the caller), what became of each into
// `outcomes` (2 entries, when given) and, when given, both channels'
// precision records into `precision` (18 doubles, already cleared).
void analyse_event(int16_t const* event, EventSetup const& setup, double* result,
                   ChannelOutcome* outcomes = nullptr, double* precision = nullptr);

#endif
