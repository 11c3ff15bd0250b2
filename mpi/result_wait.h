// How rank 0 waits for the next result message.
#ifndef ZORV_RESULT_WAIT_H
#define ZORV_RESULT_WAIT_H

#include <mpi.h>

// Receives the next result message (kResultDoubles doubles, tag kWorkTag)
// from any worker into buffer; *status tells which worker sent it.
void receive_result(double* buffer, MPI_Status* status);

#endif
