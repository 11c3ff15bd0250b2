// Output side of a run phase on rank 0: the two result files, the two decay
// lists and the good-fit counters.
//
// The four files always hold the same events, record i of each belonging to
// one event. The records of coincident good events are gathered in memory
// and written a batch at a time; a batch that cannot be written completely
// (a full disk) is cut off again in all four files, so that they end at the
// last whole event, and its events are remembered as not done.
#ifndef ZORV_RESULTS_H
#define ZORV_RESULTS_H

#include <cstdint>
#include <vector>

// The four outputs in the order an event is written to them: result file 0,
// decay list 0, result file 1, decay list 1.
constexpr int kOutputFiles = 4;

struct OutputSizes {
    int64_t bytes[kOutputFiles];
};

// Creates (or truncates) "<abfile_path>0.bin", "decay0.txt",
// "<abfile_path>1.bin" and "decay1.txt". Returns 0 on success; on failure
// prints "Error: Cannot create ..." naming the file and the reason, closes
// whatever was opened and returns 1.
int open_phase_outputs();

// Checks that each of the four files exists and holds at least `sizes`
// bytes (a file recorded empty may also be missing), touching none of them. Returns 0, or 1 after printing which file
// does not.
int check_phase_outputs(OutputSizes const& sizes);

// Continues the four files of an interrupted phase: cuts each back to
// `sizes` (dropping whatever was written after the checkpoint) and opens it
// for appending. Call check_phase_outputs first. Returns 0, or 1 after
// printing why.
int reopen_phase_outputs(OutputSizes const& sizes);

// Books one result message of 18 doubles for event `event`: counts a good fit
// per channel (entry 0 resp. 9 strictly greater than 0), and when both
// channels are good queues both blocks for the result files and both decay
// rates (entries 2 and 11) for the decay lists. Returns 0, or 1 after a
// write error (printed once, naming the file); from then on nothing more is
// written or counted.
int record_result(double const* result, int event = -1);

// Writes what is queued; with `durable` also has the system put the four
// files on disk (fsync). Returns 0, or 1 when this write fails. After an
// earlier write error it writes nothing more and only puts the files, cut
// back to their last whole event, on disk.
int flush_phase_outputs(bool durable);

// Sizes of the four files up to the last batch written completely.
OutputSizes written_output_sizes();

// Events that were booked but whose records could not be written after a
// write error; their counts were taken back. They must be done again.
std::vector<int> const& unwritten_events();

// Writes what is queued and closes the four files in the order result 0,
// decay 0, result 1, decay 1. Returns 0, or 1 after printing which file
// could not be completed.
int close_phase_outputs();

// Name of output k as it is opened ("<abfile_path>0.bin", "decay0.txt", ...).
char const* output_name(int k);

#endif
