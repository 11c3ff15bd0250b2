// Worker loop: probe, receive, analyse, answer; stop on tag 42.

#include "mpi/worker.h"

#include <mpi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "physics/channel.h"
#include "io/datafile.h"
#include "io/output_file.h"
#include "mpi/protocol.h"
#include "io/raw_reader.h"

namespace {

// Takes in a files message: one line "<session> <state>" per raw file.
void expect_files(std::string const& text, RawEventReader* raw)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const size_t space = text.find(' ', at);
        if (space < end)
            raw->expect(std::stoll(text.substr(at, space - at)),
                        text.substr(space + 1, end - space - 1));
        at = end + 1;
    }
}

}  // namespace

void work_slave(EventSetup const& setup, RunSettings const& settings, SessionRange sessions)
{
    // Nothing is ever written to it; it marks the worker's working directory.
    // Whatever is in the way (a folder, a FIFO) is left alone.
    char const* refusal = nullptr;
    if (FILE* fit = open_output_file(kWorkerMarkName, OutputMode::kTruncate, &refusal)) std::fclose(fit);

    const int most = settings.events_per_message;
    std::vector<int16_t> events(static_cast<size_t>(most) * kWorkShorts);
    std::vector<int> numbers(static_cast<size_t>(most));
    // Two result buffers in turn: the answer to one batch is sent without
    // waiting (a large one needs rank 0 to take part before it is done)
    // while the next batch is analysed.
    std::vector<double> results[2] = {
        std::vector<double>(static_cast<size_t>(most) * kAnswerDoubles),
        std::vector<double>(static_cast<size_t>(most) * kAnswerDoubles)};
    MPI_Request sent[2] = {MPI_REQUEST_NULL, MPI_REQUEST_NULL};
    int turn = 0;
    RawEventReader raw(settings);

    for (;;) {
        // The tag tells what comes, and its size how many events. Numbers come
        // only when workers read the raw files; the probe they need is left
        // out otherwise, so that samples land at once.
        MPI_Status status;
        status.MPI_TAG = kWorkTag;
        if (settings.worker_reads) MPI_Probe(0, MPI_ANY_TAG, MPI_COMM_WORLD, &status);
        int k = 0;
        if (status.MPI_TAG == kFilesTag) {
            int n = 0;
            MPI_Get_count(&status, MPI_CHAR, &n);
            std::string text(static_cast<size_t>(n), '\0');
            MPI_Recv(&text[0], n, MPI_CHAR, 0, kFilesTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            expect_files(text, &raw);
            continue;
        }
        if (status.MPI_TAG == kNumbersTag) {
            MPI_Get_count(&status, MPI_INT, &k);
            k = k < most ? k : most;
            MPI_Recv(numbers.data(), most, MPI_INT, 0, kNumbersTag, MPI_COMM_WORLD, &status);
            std::string why;
            if (raw.read(sessions, numbers.data(), k, events.data(), &why)) {
                // Nothing of the batch is analysed: rank 0 keeps all of it
                // to be done again. The failure names the batch by its first
                // event, since it may reach rank 0 before the answer to the
                // batch before.
                const std::string failure = std::to_string(numbers[0]) + " " + why;
                MPI_Send(failure.c_str(), static_cast<int>(failure.size()), MPI_CHAR, 0,
                         kReadFailureTag, MPI_COMM_WORLD);
                continue;
            }
        } else {
            MPI_Recv(events.data(), most * kWorkShorts, MPI_SHORT, 0, MPI_ANY_TAG, MPI_COMM_WORLD,
                     &status);
            if (status.MPI_TAG == kStopTag) {
                MPI_Waitall(2, sent, MPI_STATUSES_IGNORE);
                return;
            }
            MPI_Get_count(&status, MPI_SHORT, &k);
            k /= kWorkShorts;
        }

        std::vector<double>& out = results[turn];
        MPI_Wait(&sent[turn], MPI_STATUS_IGNORE);
        std::memset(out.data(), 0, sizeof(double) * kAnswerDoubles * static_cast<size_t>(k));
        for (int i = 0; i < k; ++i) {
            double* answer = &out[static_cast<size_t>(i) * kAnswerDoubles];
            ChannelOutcome outcomes[2];
            analyse_event(&events[static_cast<size_t>(i) * kWorkShorts], setup, answer, outcomes,
                          answer + kPrecisionAt);
            for (int c = 0; c < 2; ++c)
                answer[kResultDoubles + c] = static_cast<double>(static_cast<int>(outcomes[c]));
        }
        MPI_Isend(out.data(), k * kAnswerDoubles, MPI_DOUBLE, 0, kWorkTag, MPI_COMM_WORLD,
                  &sent[turn]);
        turn = 1 - turn;
    }
}
