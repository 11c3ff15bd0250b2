// What a phase's outcomes say about the settings.
//
// A run ends with status 0 whenever it has handled every event, whatever
// became of them; but when one way of failing takes most of a channel's
// events, the results cannot be what the user wants, and the cause is
// nearly always a setting. At the end of each phase rank 0 prints one
// "Warning: " line for each such channel and outcome, naming the phase, the
// channel, the share and what usually causes it, and the run summary keeps
// the line.
//
// The threshold is a share of kWarningShare (40 %) of a channel's events in
// one failing outcome, in a phase of at least kWarningMinEvents (20) events.
// Sound data stay far below it: on zorv_gen's synthetic files with the
// example settings every failing outcome is under 1 %, and on bench/
// make_mixed's files, whose channels fail in every way on purpose (no pulse,
// three pulses, close and early pulses, high baselines), the largest is 14 %
// (no_peak). The settings that break a run put one outcome far above it:
// bcg_est or data_offset unset, decay_est unset or of the wrong sign.
#ifndef ZORV_RUN_DIAGNOSIS_H
#define ZORV_RUN_DIAGNOSIS_H

#include <string>
#include <vector>

#include "formats/run_files.h"
#include "run/phase_counts.h"

constexpr double kWarningShare = 0.40;
constexpr int kWarningMinEvents = 20;

// The warnings (each a whole line without its line break, starting
// "Warning: ") for a phase that ended with `counts`.
std::vector<std::string> diagnose_phase(Phase phase, GoodFitCounts const& counts);

#endif
