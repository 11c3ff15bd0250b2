// Master side of a run phase (rank 0): hands the events of a range of raw
// waveform files to the workers in batches of up to events_per_message
// events (messages in protocol.h) and collects their results. A worker holds
// one batch, or two when it reads the raw files itself; the worker that
// answers is refilled at once, so no worker waits while events remain.
//
// The phase keeps its checkpoint up to date: at its start, every
// checkpoint_interval seconds and at its end. A stop signal ends the handing
// out of events; the events in flight are still collected and written
// before the last checkpoint of the phase.
#ifndef ZORV_MASTER_H
#define ZORV_MASTER_H

#include <string>
#include <vector>

#include "io/settings.h"
#include "run/stop_signal.h"

struct Checkpoint;
struct RunSummary;

// How a phase ended on rank 0.
struct PhaseResult {
    // 0 when every event of the phase was handled, kStoppedStatus when a
    // signal stopped it early, 1 when it could not start (no raw file of the
    // phase can be read, an output or checkpoint cannot be made) or had to
    // end early (an output or checkpoint that cannot be written).
    int status = 0;
    bool started = false;  // its outputs were made, or continued
    bool saved = false;    // a checkpoint on disk holds its last state
};

// Runs one phase over `sessions`. `record` carries what every checkpoint of
// the run holds (phase, calibrated decay rates, fingerprint) and receives the
// phase's state at every checkpoint: its counts, and in run_error whether
// events were lost; with `resume` the phase continues from the position,
// counts, pending events and output sizes in it. A fresh phase touches no
// output before it has found at least one of its raw files readable.
// `hosts` names the host of each rank, for messages. With `summary`, every
// checkpoint also writes the run summary, saying that the phase runs and
// what it has done so far, so that a reader learns where a run stands from
// the summary alone.
PhaseResult work_master(RunSettings const& settings, SessionRange sessions, Checkpoint* record,
                        std::vector<std::string> const& hosts, bool resume,
                        RunSummary* summary = nullptr);

#endif
