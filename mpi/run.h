// The life of one rank of zorv_mpi: start-up, configuration (rank 0), kernel
// and estimates broadcast, calibration phase, decay calibration, processing
// phase, summary. With `resume = 1` a run continues from its checkpoint.
#ifndef ZORV_RUN_H
#define ZORV_RUN_H

#include "mpi/options.h"

// Runs the whole job on this rank. Returns the process exit status, the same
// on every rank: 0 for a clean run; kStoppedStatus (75) when a signal
// stopped it and it can be resumed; 1 when the run could not start or go on,
// or when events were lost on the way (a missing or short raw file) or an
// estimate could not be made. `options` is the command line read before
// MPI_Init (mpi/options.h).
int run_zorv_mpi(int argc, char** argv, ProgramOptions const& options);

#endif
