// Output side of a run phase on rank 0: the two result files, the two decay
// lists and the good-fit counters.
#ifndef ZORV_RESULTS_H
#define ZORV_RESULTS_H

// Creates (or truncates) "<abfile_path>0.bin", "decay0.txt",
// "<abfile_path>1.bin" and "decay1.txt". Returns 0 on success; on failure
// prints "Error: Cannot create ..." naming the file, closes whatever was
// opened and returns 1.
int open_phase_outputs();

// Books one result message of 18 doubles: counts a good fit per channel
// (entry 0 resp. 9 strictly greater than 0), and when both channels are good
// appends both blocks to the result files and both decay rates (entries 2
// and 11) to the decay lists. Returns 0, or 1 after the first write error
// (printed once, naming the file); from then on nothing more is written, so
// the four files stay aligned record for record.
int record_result(double const* result);

// Closes the four files in the order result 0, decay 0, result 1, decay 1.
// Returns 0, or 1 after printing which file could not be completed.
int close_phase_outputs();

#endif
