// What a phase has received so far, as rank 0 counts it.
#ifndef ZORV_PHASE_COUNTS_H
#define ZORV_PHASE_COUNTS_H

#include <cstdint>

#include "physics/channel.h"

// The results booked, the results with a good fit in channel 0 and in
// channel 1 and with good fits in both, and what became of each channel
// (outcomes[c][o] counts outcome o of channel c; each channel's counts add
// up to counter_all, and its kFitted count is nbr_ok[c]).
struct GoodFitCounts {
    int64_t counter_all = 0;
    int64_t nbr_ok[2] = {0, 0};
    int64_t nbr_all_ok = 0;
    int64_t outcomes[2][kOutcomes] = {};
};

#endif
