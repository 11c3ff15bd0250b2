// Worker loop: receive, clear, analyse, answer; stop on tag 42.

#include "worker.h"

#include <mpi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "channel.h"
#include "datafile.h"
#include "output_file.h"
#include "protocol.h"

void work_slave(EventSetup const& setup)
{
    // Nothing is ever written to it; it marks the worker's working directory.
    // Whatever is in the way (a folder, a FIFO) is left alone.
    char const* refusal = nullptr;
    if (FILE* fit = open_output_file("fit.txt", OutputMode::kTruncate, &refusal)) std::fclose(fit);

    std::vector<int16_t> event(kWorkShorts);
    std::vector<double> result(kResultDoubles);

    for (;;) {
        MPI_Status status;
        MPI_Recv(event.data(), kWorkShorts, MPI_SHORT, 0, MPI_ANY_TAG, MPI_COMM_WORLD, &status);
        if (status.MPI_TAG == kStopTag) return;

        std::memset(result.data(), 0, sizeof(double) * result.size());
        analyse_event(event.data(), setup, result.data());
        MPI_Send(result.data(), kResultDoubles, MPI_DOUBLE, 0, kWorkTag, MPI_COMM_WORLD);
    }
}
