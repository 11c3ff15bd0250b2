// Master side of a run phase (rank 0): hands the events of a range of raw
// waveform files to the workers one at a time and collects their results.
//
// Protocol, all on MPI_COMM_WORLD between rank 0 and one worker:
//   work message    rank 0 -> worker   5,000 MPI_SHORT   tag 17   one event record
//   result message  worker -> rank 0   18 MPI_DOUBLE     tag 17   its analysis
//   stop message    rank 0 -> worker   5,000 MPI_SHORT   tag 42   end of phase
// Each worker holds at most one event; the worker that answers is refilled
// at once, so no worker waits while events remain.
#ifndef ZORV_MASTER_H
#define ZORV_MASTER_H

constexpr int kWorkTag = 17;
constexpr int kStopTag = 42;

// Runs one phase over the sessions first .. last (inclusive).
void work_master(int first, int last);

// Reads the next event of the phase and sends it to `destination`; does
// nothing when the phase has no events left. Raw files open when their first
// record is needed and close after their last. A file that cannot be opened,
// or that ends before its last record, is reported and the rest of its
// session skipped (run_error is set).
void load_send_data(int destination, int first, int last);

#endif
