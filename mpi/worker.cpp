// Worker loop: probe, receive, analyse, answer; stop on tag 42.

#include "worker.h"

#include <mpi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "channel.h"
#include "datafile.h"
#include "output_file.h"
#include "protocol.h"
#include "raw_reader.h"

void work_slave(EventSetup const& setup, RunSettings const& settings, SessionRange sessions)
{
    // Nothing is ever written to it; it marks the worker's working directory.
    // Whatever is in the way (a folder, a FIFO) is left alone.
    char const* refusal = nullptr;
    if (FILE* fit = open_output_file("fit.txt", OutputMode::kTruncate, &refusal)) std::fclose(fit);

    const int most = settings.events_per_message;
    std::vector<int16_t> events(static_cast<size_t>(most) * kWorkShorts);
    std::vector<int> numbers(static_cast<size_t>(most));
    std::vector<double> results(static_cast<size_t>(most) * kResultDoubles);
    RawEventReader raw(settings);

    for (;;) {
        // The tag tells what comes, and its size how many events. Numbers come
        // only when workers read the raw files; the probe they need is left
        // out otherwise, so that samples land at once.
        MPI_Status status;
        status.MPI_TAG = kWorkTag;
        if (settings.worker_reads) MPI_Probe(0, MPI_ANY_TAG, MPI_COMM_WORLD, &status);
        int k = 0;
        if (status.MPI_TAG == kNumbersTag) {
            MPI_Get_count(&status, MPI_INT, &k);
            k = k < most ? k : most;
            MPI_Recv(numbers.data(), most, MPI_INT, 0, kNumbersTag, MPI_COMM_WORLD, &status);
            std::string why;
            for (int i = 0; i < k && why.empty(); ++i)
                raw.read(sessions, numbers[i], &events[static_cast<size_t>(i) * kWorkShorts], &why);
            if (!why.empty()) {
                // Nothing of the batch is analysed: rank 0 keeps all of it
                // to be done again.
                MPI_Send(why.c_str(), static_cast<int>(why.size()), MPI_CHAR, 0, kReadFailureTag,
                         MPI_COMM_WORLD);
                continue;
            }
        } else {
            MPI_Recv(events.data(), most * kWorkShorts, MPI_SHORT, 0, MPI_ANY_TAG, MPI_COMM_WORLD,
                     &status);
            if (status.MPI_TAG == kStopTag) return;
            MPI_Get_count(&status, MPI_SHORT, &k);
            k /= kWorkShorts;
        }

        std::memset(results.data(), 0, sizeof(double) * kResultDoubles * static_cast<size_t>(k));
        for (int i = 0; i < k; ++i)
            analyse_event(&events[static_cast<size_t>(i) * kWorkShorts], setup,
                          &results[static_cast<size_t>(i) * kResultDoubles]);
        MPI_Send(results.data(), k * kResultDoubles, MPI_DOUBLE, 0, kWorkTag, MPI_COMM_WORLD);
    }
}
