// Decay-constant calibration.
//
// Between the two phases rank 0 turns the decay rates fitted freely in the
// calibration phase into one fixed decay rate per channel: the most probable
// value of the channel's decay list "decay%d.txt", found as the fullest bin
// of a 250-bin histogram over the trimmed range of the list and refined by a
// parabola through that bin and its two neighbours. The histogram is written
// to "decay_hist%d.txt" for inspection.
#ifndef ZORV_CALIBRATE_H
#define ZORV_CALIBRATE_H

#include "io/settings.h"
#include "physics/decay_estimate.h"


// Calibrates both channels from the decay lists of the calibration phase
// (the sessions and hist_overflow of `settings`). decay[c] holds the value to
// keep when channel c's list gives no estimate (the configured decay_est)
// and receives the calibrated value. Returns 0, or 1 when a channel kept its
// value or a decay histogram could not be written (the reason printed).
int calibrate(RunSettings const& settings, double decay[2]);

#endif
