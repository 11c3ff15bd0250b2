// Master side of a run phase (rank 0): hands the events of a range of raw
// waveform files to the workers one at a time (messages in protocol.h) and
// collects their results. Each worker holds at most one event; the worker
// that answers is refilled at once, so no worker waits while events remain.
#ifndef ZORV_MASTER_H
#define ZORV_MASTER_H

// Runs one phase over the sessions first .. last (inclusive).
void work_master(int first, int last);

// Reads the next event of the phase and sends it to `destination`; does
// nothing when the phase has no events left. Raw files open when their first
// record is needed and close after their last. A file that cannot be opened,
// or that ends before its last record, is reported and the rest of its
// session skipped (run_error is set).
void load_send_data(int destination, int first, int last);

#endif
