// Master loop: priming, receive-any / refill-the-sender, checkpoints, stop
// messages.

#include "master.h"

#include <mpi.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "checkpoint.h"
#include "event_source.h"
#include "progress.h"
#include "protocol.h"
#include "result_wait.h"
#include "results.h"
#include "run_state.h"
#include "stop_signal.h"
#include "timer.h"

namespace {

EventSource source;
int16_t send_buffer[kWorkShorts];
// The event each worker holds, -1 for none.
std::vector<int> held;
// Events whose results were received but not booked (after a write error).
std::vector<int> undone;

void send_stop_messages()
{
    for (int w = 1; w < world_size; ++w)
        MPI_Send(send_buffer, kWorkShorts, MPI_SHORT, w, kStopTag, MPI_COMM_WORLD);
}

double monotonic_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Puts the outputs on disk, then the state that goes with them.
int write_phase_checkpoint(Checkpoint* record)
{
    if (flush_phase_outputs(true)) return 1;
    record->finished = false;
    record->next_event = source.position();
    std::vector<int>& pending = record->pending;
    pending = source.still_again();
    for (int e : held)
        if (e >= 0) pending.push_back(e);
    pending.insert(pending.end(), undone.begin(), undone.end());
    pending.insert(pending.end(), unwritten_events().begin(), unwritten_events().end());
    std::sort(pending.begin(), pending.end());
    record->counter_all = counter_all;
    record->nbr_ok[0] = nbr_ok[0];
    record->nbr_ok[1] = nbr_ok[1];
    record->nbr_all_ok = nbr_all_ok;
    record->run_error = run_error;
    record->outputs = written_output_sizes();
    return write_checkpoint(*record);
}

// A fresh phase: its first checkpoint goes to disk before the outputs are
// truncated, so that no older checkpoint can describe files that are gone.
int start_fresh_phase(Checkpoint* record)
{
    record->next_event = 0;
    record->pending.clear();
    record->counter_all = record->nbr_ok[0] = record->nbr_ok[1] = record->nbr_all_ok = 0;
    record->run_error = run_error;
    record->outputs = OutputSizes{{0, 0, 0, 0}};
    record->finished = false;
    if (write_checkpoint(*record)) return 1;
    return open_phase_outputs();
}

// An interrupted phase: counters and outputs as the checkpoint left them.
int continue_phase(Checkpoint const* record)
{
    counter_all = record->counter_all;
    nbr_ok[0] = record->nbr_ok[0];
    nbr_ok[1] = record->nbr_ok[1];
    nbr_all_ok = record->nbr_all_ok;
    return reopen_phase_outputs(record->outputs);
}

// Reads the next event of the phase and sends it to `destination`; does
// nothing when the phase has no events left.
void load_send_data(int destination)
{
    int event;
    if (!source.next(send_buffer, &event)) return;  // the phase has no events left
    MPI_Send(send_buffer, kWorkShorts, MPI_SHORT, destination, kWorkTag, MPI_COMM_WORLD);
    held[destination] = event;
    ++msg_send;
}

}  // namespace

int work_master(int first, int last, Checkpoint* record, bool resume)
{
    // Kept for the whole run: both phases receive into it.
    static double* received = new double[kResultDoubles];

    held.assign(static_cast<size_t>(world_size), -1);
    undone.clear();
    if (resume ? continue_phase(record) : start_fresh_phase(record)) {
        run_abort = 1;
        send_stop_messages();
        return 1;
    }
    source.begin(first, last, resume ? record->next_event : 0,
                 resume ? record->pending : std::vector<int>());

    msg_send = 0;
    msg_received = 0;
    timer.start();
    double next_checkpoint = monotonic_seconds() + checkpoint_interval;

    for (int w = 1; w < world_size && !stop_signal(); ++w) load_send_data(w);

    while (msg_received < msg_send) {
        MPI_Status status;
        receive_result(received, &status);
        ++msg_received;
        const int worker = status.MPI_SOURCE;
        const int event = held[worker];
        held[worker] = -1;
        if (run_abort) {
            // After a write error nothing more is booked; the event is done
            // again when the run is resumed.
            undone.push_back(event);
        } else {
            ++counter_all;
            if (record_result(received, event)) run_abort = 1;
        }
        if (msg_received > info_count) info(first, last);
        if (run_abort || stop_signal()) continue;
        load_send_data(worker);
        if (monotonic_seconds() >= next_checkpoint) {
            if (write_phase_checkpoint(record)) run_abort = 1;
            next_checkpoint = monotonic_seconds() + checkpoint_interval;
        }
    }
    end_progress_line();

    int outcome = run_abort ? 1 : source.exhausted() ? 0 : kStoppedStatus;
    if (write_phase_checkpoint(record)) outcome = 1;
    send_stop_messages();
    source.end();
    if (close_phase_outputs()) outcome = 1;
    if (outcome == 1) run_abort = 1;
    std::fflush(stdout);
    return outcome;
}
