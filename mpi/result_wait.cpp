// Waiting for results without taking a core from the workers.

#include "result_wait.h"

#include <time.h>

#include "protocol.h"

namespace {

// Pause between two tests for a result while the master waits.
constexpr long kResultPollNanoseconds = 100000;

}  // namespace

// Open MPI's blocking receive polls in a busy loop, so a master that only
// waits would take a whole core from the workers when the node runs one
// worker per core next to it. The master instead tests a non-blocking receive
// and sleeps briefly between tests; a result waits at most one such pause.
void receive_result(double* buffer, MPI_Status* status)
{
    MPI_Request request;
    MPI_Irecv(buffer, kResultDoubles, MPI_DOUBLE, MPI_ANY_SOURCE, kWorkTag, MPI_COMM_WORLD,
              &request);
    const timespec pause = {0, kResultPollNanoseconds};
    int done = 0;
    for (;;) {
        MPI_Test(&request, &done, status);
        if (done) return;
        nanosleep(&pause, nullptr);
    }
}
