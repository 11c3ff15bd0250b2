// Worker side of a run phase (every rank but 0).
#ifndef ZORV_WORKER_H
#define ZORV_WORKER_H

#include "channel.h"

// Receives events from rank 0 and answers each with one result message,
// analysed with `setup`, until the stop message (tag 42) arrives. Creates an
// empty "fit.txt" in the working directory on entry.
void work_slave(EventSetup const& setup);

#endif
