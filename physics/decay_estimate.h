// The most probable decay rate of a channel, from the decay rates its fits
// gave in the calibration phase.
//
// With the n values v sorted ascending, m = n - 1 and f = hist_overflow:
//   lo = v[trunc(m f)],  hi = v[trunc((1 - f) m)],  step = (hi - lo) / 249
//   bin of a value x:  trunc((x - lo) 249 / (hi - lo) + 0.5), clamped to 0..249
// so that bin k is centred on lo + k step and the trimmed tails pile up in
// bins 0 and 249. The estimate is the centre of the fullest of bins 1..248
// (the lowest on ties), refined to the vertex of the parabola through that
// bin and its two neighbours when their counts do not lie on a line.
//
// A function of the values alone: the calibration's file half (run/
// calibrate.cpp) reads the decay lists, prints and writes the histograms.
#ifndef ZORV_PHYSICS_DECAY_ESTIMATE_H
#define ZORV_PHYSICS_DECAY_ESTIMATE_H

#include <vector>

// Number of bins of the decay histogram.
constexpr int kDecayBins = 250;

struct DecayEstimate {
    bool has_range = false;  // hi > lo and finite: a histogram could be made
    double lo = 0.0, hi = 0.0, step = 0.0;
    int hist[kDecayBins] = {};
    int fullest = 0;         // the fullest of bins 1 .. 248
    double maximum = 0.0;    // its centre
    bool has_vertex = false; // the parabola through its neighbours has a vertex
    double vertex = 0.0;     // the refined estimate, when it has
};

// The estimate from `sorted` (ascending, no NaN, not empty) with
// hist_overflow `overflow`.
DecayEstimate estimate_decay(std::vector<double> const& sorted, double overflow);

#endif
