// The life of one rank of zorv_mpi: start-up, configuration (rank 0), kernel
// and estimates broadcast, calibration phase, decay calibration, processing
// phase, summary.
#ifndef ZORV_RUN_H
#define ZORV_RUN_H

// Runs the whole job on this rank. Returns the process exit status: 0 for a
// clean run, 1 when the run could not start or go on, or when events were
// lost on the way (a missing or short raw file) or an estimate could not be
// made. Every rank returns the same status.
int run_zorv_mpi(int argc, char** argv);

#endif
