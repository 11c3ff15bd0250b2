// Master loop: priming, receive-any / refill-the-sender, stop messages.

#include "master.h"

#include <mpi.h>

#include <cstdio>

#include "datafile.h"
#include "progress.h"
#include "protocol.h"
#include "result_wait.h"
#include "results.h"
#include "run_state.h"
#include "timer.h"

namespace {

FILE* infile = nullptr;
char infile_name[kPathLength];
int16_t send_buffer[kWorkShorts];
// Index of the next event to read. It equals msg_send unless a session was
// skipped: skipped events are never sent, so msg_send keeps counting only
// what a worker will answer.
int next_event = 0;

void close_infile()
{
    if (infile) std::fclose(infile);
    infile = nullptr;
}

// Skips the rest of the current session.
void skip_session()
{
    close_infile();
    next_event += waveforms - next_event % waveforms;
    run_error = 1;
}

void send_stop_messages()
{
    for (int w = 1; w < world_size; ++w)
        MPI_Send(send_buffer, kWorkShorts, MPI_SHORT, w, kStopTag, MPI_COMM_WORLD);
}

}  // namespace

void load_send_data(int destination, int first, int last)
{
    for (;;) {
        if (next_event % waveforms == 0) {
            long long session = static_cast<long long>(first) + next_event / waveforms;
            if (session > last) return;  // the phase has no events left
            // The configuration check makes sure every name fits.
            if (std::snprintf(infile_name, kPathLength, "%s.%d", infile_path,
                              static_cast<int>(session)) >= kPathLength) {
                std::printf("Error: Raw file name for session %d is too long\n",
                            static_cast<int>(session));
                skip_session();
                continue;
            }
            infile = std::fopen(infile_name, "rb");
            if (!infile) {
                std::printf("ERROR: Cannot open file: %s\n", infile_name);
                skip_session();
                continue;
            }
            std::printf("Processing file: %s\n", infile_name);
            if (seek_first_record(infile, data_offset)) {
                std::printf("Error: Cannot position file %s at byte %d\n", infile_name,
                            data_offset);
                skip_session();
                continue;
            }
        }
        if (!read_event_record(infile, send_buffer)) {
            // Never send a partial record: what is missing cannot be made up.
            std::printf("Error: File %s holds only %d complete records behind its header, "
                        "%d expected; skipping the rest of it\n",
                        infile_name, next_event % waveforms, waveforms);
            skip_session();
            continue;
        }
        MPI_Send(send_buffer, kWorkShorts, MPI_SHORT, destination, kWorkTag, MPI_COMM_WORLD);
        ++msg_send;
        ++next_event;
        if (next_event % waveforms == 0) close_infile();  // that was its last record
        return;
    }
}

void work_master(int first, int last)
{
    // Kept for the whole run: both phases receive into it.
    static double* received = new double[kResultDoubles];

    if (open_phase_outputs()) {
        run_abort = 1;
        send_stop_messages();
        return;
    }

    msg_send = 0;
    msg_received = 0;
    next_event = 0;
    timer.start();

    for (int w = 1; w < world_size; ++w) load_send_data(w, first, last);

    while (msg_received < msg_send) {
        MPI_Status status;
        receive_result(received, &status);
        ++counter_all;
        ++msg_received;
        // After a write error the phase only collects what is in flight.
        if (record_result(received)) run_abort = 1;
        if (msg_received > info_count) info(first, last);
        if (!run_abort) load_send_data(status.MPI_SOURCE, first, last);
    }

    send_stop_messages();
    close_infile();
    if (close_phase_outputs()) run_abort = 1;
    std::fflush(stdout);
}
