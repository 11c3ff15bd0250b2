// Per-event analysis of a worker: both channels of one event record.
#ifndef ZORV_ANALYSIS_H
#define ZORV_ANALYSIS_H

#include <cstdint>

// Analyses channel A and then channel B of `event` (5,000 values, sample k of
// channel c at 2k + c) and fills their blocks of `result` (18 doubles, already
// cleared by the caller): block c = residual sum of squares, then the fitted
// parameters. A channel that is not fitted keeps its 9 zeros.
void analyse_event(int16_t const* event, double* result);

#endif
