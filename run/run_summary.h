// The run summary "zorv_mpi.summary.json": what a run did, for pipelines
// and for the report, so that nothing has to be read back from the console.
//
// Rank 0 writes it whole (temporary file, fsync, rename) at the end of each
// phase, when the run stops and when it ends. It holds the status, the
// program's version, the settings, the ranks and their hosts, per phase its
// events, results, good fits, the outcomes of each channel and its duration,
// and the calibrated decay rates with 17 significant digits (they read back
// bit for bit).
#ifndef ZORV_RUN_SUMMARY_H
#define ZORV_RUN_SUMMARY_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "formats/run_files.h"
#include "run/phase_counts.h"
#include "io/settings.h"

struct PhaseSummary {
    // "not started", "running" (it ended early and the run can go on),
    // "done", "stopped" (by a signal) or "error" (it had to end early).
    std::string state = kStateNotStarted;
    int64_t events = 0;    // events of the phase
    GoodFitCounts counts;  // what it received
    double seconds = 0.0;  // how long it ran, in all starts
};

struct RunSummary {
    // "running" (between the phases), "finished", "stopped" or "error".
    std::string status = kStatusRunning;
    std::string stopped_by;  // the signal that stopped the run, if one did
    std::string started;     // when this start began, local time
    RunSettings const* settings = nullptr;
    std::vector<std::string> hosts;  // of each rank, rank 0 first
    // How the workers computed exp: "vector" (in lanes, with the C
    // library's bits, as every worker's start-up check found), "library"
    // (the C library, lane by lane), "mixed" (some each); empty: not known.
    std::string exp;
    // Each raw file the run has opened, with its state when it first did
    // ("size S, modified T", or "missing"): what a reader compares a raw
    // file with to tell whether it is still the one the run read.
    std::vector<std::pair<std::string, std::string>> raw_files;
    // Each note and warning the run printed about its settings and results,
    // as its line.
    std::vector<std::string> warnings;
    Phase phase = Phase::kCalibration;  // the phase the run is in or ended in
    PhaseSummary phases[2];          // calibration, processing
    bool calibrated = false;
    double decay_rates[2] = {0.0, 0.0};  // held in the processing phase
    bool events_lost = false;            // a raw file could not be read, an estimate not made, ...
};

// Notes in *summary that the phase of `record` runs, with the counts, time
// and raw files `record` holds.
struct Checkpoint;
void note_running(RunSummary* summary, Checkpoint const& record);

// Sets summary->raw_files from the raw-file items of a run's fingerprint.
void note_raw_files(RunSummary* summary,
                    std::vector<std::pair<std::string, std::string>> const& fingerprint);

// The summary as JSON text.
std::string summary_json(RunSummary const& summary);

// Writes the summary to `name` whole. Returns 0, or 1 after printing
// "Error: Cannot write the run summary ...".
int write_summary(RunSummary const& summary, char const* name = kSummaryName);

#endif
