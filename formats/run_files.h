// The run folder's vocabulary: the names of the files a run reads and
// writes, its phases and statuses with the names the run summary gives them,
// what can become of a channel, and which raw event an event number of a
// phase is. The Python package mirrors this header (python/zorv/vocabulary.py),
// and python/tests/test_formats.py holds the two together: a change here is
// made there too.
#ifndef ZORV_FORMATS_RUN_FILES_H
#define ZORV_FORMATS_RUN_FILES_H

#include <cstdint>
#include <string>

// --- files ------------------------------------------------------------------

constexpr char kConfigName[] = "zorv_mpi.ini";
constexpr char kKernelName[] = "win.txt";
constexpr char kLockName[] = "zorv_mpi.lock";
constexpr char kCheckpointName[] = "zorv_mpi.checkpoint";
constexpr char kSummaryName[] = "zorv_mpi.summary.json";
constexpr char kEventsName[] = "events.txt";  // the raw event of each record
constexpr char kWorkerMarkName[] = "fit.txt";  // made empty by each worker
constexpr char kTemporarySuffix[] = ".tmp";    // a file written whole goes through it

// The raw file of session `session`: "<infile_path>.<session>".
inline std::string raw_file_name(std::string const& infile_path, long long session)
{
    return infile_path + "." + std::to_string(session);
}

// Channel c's result file: "<abfile_path><c>.bin".
inline std::string result_file_name(std::string const& abfile_path, int c)
{
    return abfile_path + std::to_string(c) + ".bin";
}

// Channel c's precision file, beside its result file and aligned with it:
// "<abfile_path><c>.err.bin".
inline std::string error_file_name(std::string const& abfile_path, int c)
{
    return abfile_path + std::to_string(c) + ".err.bin";
}

// Channel c's decay list: "decay<c>.txt".
inline std::string decay_list_name(int c)
{
    return "decay" + std::to_string(c) + ".txt";
}

// Channel c's decay histogram: "decay_hist<c>.txt".
inline std::string decay_histogram_name(int c)
{
    return "decay_hist" + std::to_string(c) + ".txt";
}

// --- phases and statuses ----------------------------------------------------

enum class Phase : int {
    kCalibration = 0,  // the decay rate fitted freely
    kProcessing = 1,   // the decay rate held at its calibrated value
};
constexpr int kPhases = 2;
constexpr char const* kPhaseNames[kPhases] = {"calibration", "processing"};

inline char const* phase_name(Phase phase)
{
    return kPhaseNames[static_cast<int>(phase)];
}

// The run's status in the summary: between the phases (or before the end)
// "running", then "finished", "stopped" (by a signal) or "error".
constexpr char kStatusRunning[] = "running";
constexpr char kStatusFinished[] = "finished";
constexpr char kStatusStopped[] = "stopped";
constexpr char kStatusError[] = "error";

// A phase's state in the summary: "not started", "running" (it ended early
// and the run can go on), "done", "stopped" or "error".
constexpr char kStateNotStarted[] = "not started";
constexpr char kStateRunning[] = "running";
constexpr char kStateDone[] = "done";
constexpr char kStateStopped[] = "stopped";
constexpr char kStateError[] = "error";

// --- what became of a channel -----------------------------------------------

// Only kFitted fills the channel's result block (with a residual sum of
// squares above 0, which is what the master counts as a good fit).
enum class ChannelOutcome : int {
    kFitted = 0,       // fitted, residual sum of squares above 0
    kNoPeak,           // no peak above the threshold
    kTooManyPeaks,     // three or more peaks
    kPeaksTooClose,    // two peaks less than 200 samples apart
    kPeakTooEarly,     // a single peak before sample 200
    kFitNotFinite,     // the fit met a step that is not finite
    kFitNotConverged,  // the fit used up its iterations
    kNoResiduals,      // fitted, but with a residual sum of squares of 0
};
constexpr int kOutcomes = 8;

// The outcomes' names in the run summary, in the order of ChannelOutcome.
constexpr char const* kOutcomeKeys[kOutcomes] = {
    "fitted",         "no_peak",          "three_or_more_peaks", "peaks_too_close",
    "peak_too_early", "fit_not_finite",   "fit_not_converged",   "no_residuals"};

inline char const* outcome_key(ChannelOutcome outcome)
{
    const int o = static_cast<int>(outcome);
    return o >= 0 && o < kOutcomes ? kOutcomeKeys[o] : "unknown";
}

// --- raw events -------------------------------------------------------------

// Event e of a phase over sessions first .. last is record e mod waveforms
// of session first + e div waveforms.
struct RawEvent {
    long long session;
    int64_t record;
};

inline RawEvent raw_event(int first_session, int waveforms, int64_t event)
{
    return RawEvent{first_session + event / waveforms, event % waveforms};
}

// The event number of a raw event, the inverse of raw_event.
inline int64_t event_number(int first_session, int waveforms, RawEvent raw)
{
    return (raw.session - first_session) * waveforms + raw.record;
}

#endif
