// Per-event analysis of a worker: both channels of one event record.
//
// Per channel: subtract the baseline estimate, smooth with win_load, find
// the strict local maxima above 500, and fit the pulse model when there are
// one or two peaks at least 200 samples apart (a single peak: at least 200
// samples from the start). The fit uses the raw samples; its start values
// come from the peaks and the run's estimates.
#ifndef ZORV_CHANNEL_H
#define ZORV_CHANNEL_H

#include <cstdint>

constexpr int kMaxPeaks = 25;          // peak positions kept per channel
constexpr double kPeakThreshold = 500.0;
constexpr double kAmplitudeFactor = 2.02932;  // smoothed height -> start amplitude
constexpr double kMinSeparation = 200.0;

// Peak search on a smoothed trace of 2,500 samples: every centre i = 1 ..
// 2,498 with trace[i] strictly above both neighbours and above 500. The
// position of a peak is the vertex of the parabola through its three
// samples. positions (kMaxPeaks entries) is cleared first and receives the
// first 25 positions; p[0] and p[6] receive the start amplitudes of the
// first and second peak. Returns the number of peaks found.
int find_peaks(double const* trace, double* positions, double* p);

// Analyses channel c (0 = A, 1 = B) of `event` (5,000 values, sample k of
// channel c at 2k + c) and fills `block` (9 doubles, cleared by the caller)
// with the residual sum of squares and the fitted parameters, or leaves it
// at zero when the channel is not fitted or its fit fails. Returns 1 when
// the channel was fitted.
int analyse_channel(int16_t const* event, int c, double* block);

// Analyses channel A and then channel B of `event` into `result` (18
// doubles, already cleared by the caller).
void analyse_event(int16_t const* event, double* result);

#endif
