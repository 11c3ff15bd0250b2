// Worker side of a run phase (every rank but 0).
#ifndef ZORV_WORKER_H
#define ZORV_WORKER_H

#include "physics/channel.h"
#include "io/settings.h"

// Receives work from rank 0 and answers each work message with one result
// message, every event analysed with `setup`, until the stop message (tag
// 42) arrives. Events that come as numbers (worker_reads) are read from the
// raw files of `sessions`, named and laid out by `settings`, relative to the
// working directory; a file that cannot be read is reported to rank 0
// instead of the results. Creates an empty "fit.txt" in the working
// directory on entry.
void work_slave(EventSetup const& setup, RunSettings const& settings, SessionRange sessions);

#endif
