// Settings of a zorv_mpi run.
//
// Read once from "zorv_mpi.ini" on rank 0 (config.h) and from then on passed
// by const reference: nothing changes a setting while the run goes on. What a
// phase computes with (the decay rates it starts from or holds) is derived
// from them, not written back into them.
#ifndef ZORV_SETTINGS_H
#define ZORV_SETTINGS_H

#include "formats/run_files.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int kPathLength = 256;  // names and paths, NUL included
constexpr int kMaxKernel = 256;   // coefficients of the smoothing kernel
constexpr int kMaxEventsPerMessage = 4096;  // events in one work message, at most

// The sessions (numbered raw files) of one phase, first .. last inclusive.
struct SessionRange {
    int first = 0;
    int last = 0;
};

struct RunSettings {
    std::string infile_path;        // raw files "<infile_path>.<session>"
    std::string abfile_path;        // result files "<abfile_path><channel>.bin"
    int waveforms = 0;              // event records per raw file
    int data_offset = 0;            // header bytes in front of the first record
    double hist_overflow = 0.0;     // fraction trimmed at each end of a decay list
    double refresh_interval = 0.0;  // seconds between progress lines
    int start_session = 0, stop_session = 0;
    int start_cal_session = 0, stop_cal_session = 0;
    double decay_est[2] = {0.0, 0.0};   // decay rate per channel the calibration starts from
    double bcg_est[2] = {0.0, 0.0};     // baseline per channel
    int resume = 0;                     // 1: continue from the checkpoint of an unfinished run
    double checkpoint_interval = 60.0;  // seconds between checkpoints
    int events_per_message = 1;         // events handed to a worker at a time
    int worker_reads = 0;               // 1: workers read the raw files themselves

    // The keys zorv_mpi.ini set, each once, in the order of their first
    // entry; a key not among them runs with its default. Comments are no
    // keys. No part of what the run computes.
    std::vector<std::string> keys_set;
    bool sets(std::string const& key) const
    {
        for (std::string const& k : keys_set)
            if (k == key) return true;
        return false;
    }

    SessionRange calibration_sessions() const { return {start_cal_session, stop_cal_session}; }
    SessionRange processing_sessions() const { return {start_session, stop_session}; }
    SessionRange sessions(Phase phase) const
    {
        return phase == Phase::kCalibration ? calibration_sessions() : processing_sessions();
    }
};

// Events of the sessions `r`: waveforms per session. Formed in 64 bits: no
// session range of a real run comes near 2^31 events, but a wrong
// configuration must not overflow.
inline int64_t phase_events(RunSettings const& s, SessionRange r)
{
    return static_cast<int64_t>(s.waveforms) * (static_cast<int64_t>(r.last) - r.first + 1);
}

#endif
