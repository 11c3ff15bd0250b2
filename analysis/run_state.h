// Run state of zorv_mpi.
//
// Plain globals, one copy per rank. Rank 0 fills the configured items from
// "zorv_mpi.ini"; only decay_est, bcg_est and win_load are made equal on all
// ranks (by broadcast). Everything starts at zero or empty unless noted.
#ifndef ZORV_RUN_STATE_H
#define ZORV_RUN_STATE_H

#include <cstdint>

class Window;

constexpr int kPathLength = 256;  // names and paths, NUL included
constexpr int kMaxKernel = 256;   // coefficients of the smoothing kernel

extern int my_rank;
extern int world_size;

extern int glob_lock[8];      // 1 = parameter held fixed in every fit
extern double decay_est[2];   // decay rate per channel (start value, then calibrated)
extern double bcg_est[2];     // baseline per channel
extern Window* win_load;      // smoothing kernel, built once, never released

extern int result_length;     // doubles in a result message (18)
extern int info_count;        // next progress report after this many results (200)
extern int64_t counter_all;   // results received in this phase
extern int64_t nbr_ok[2];     // results with a good fit in channel 0 / 1
extern int64_t nbr_all_ok;    // results with a good fit in both channels
extern int msg_send;          // events sent in this phase
extern int msg_received;      // results received in this phase

extern int start_session, stop_session;
extern int start_cal_session, stop_cal_session;
extern int waveforms;         // event records per raw file
extern int data_offset;       // header bytes in front of the first record
extern double refresh_interval;
extern double hist_overflow;
extern char infile_path[kPathLength];
extern char abfile_path[kPathLength];
extern int resume;                   // 1: continue from the checkpoint of an unfinished run
extern double checkpoint_interval;   // seconds between checkpoints (60)

extern int max_iter;          // iteration limit of every fit (kMaxIterations, set on entering the worker loop)

// Set when something went wrong that the run survived but the user must
// notice (a missing raw file, a short file, an estimate that could not be
// made, a failed write). main turns it into a non-zero exit status.
extern int run_error;

// Set when the run cannot go on (an output file that cannot be created or
// written): the phase stops handing out events, and the run ends after it.
extern int run_abort;

// Puts every item back to its initial value (used by tests and at start-up).
void reset_run_state();

// Events of the sessions first .. last: waveforms per session. Formed in 64
// bits: no session range of a real run comes near 2^31 events, but a wrong
// configuration must not overflow.
inline int64_t phase_events(int first, int last)
{
    return static_cast<int64_t>(waveforms) * (static_cast<int64_t>(last) - first + 1);
}

#endif
