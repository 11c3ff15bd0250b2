// Run sequence of zorv_mpi.
//
// Collectives pair up across ranks in this order: go/no-go flag, kernel
// count, kernel values, decay_est, bcg_est, the phase to start with,
// barrier; after the calibration phase its outcome and decay_est; after the
// processing phase the exit status. The go/no-go flag and the outcome let
// rank 0 end the run cleanly on every rank when it cannot or must not go on,
// instead of leaving the workers waiting.

#include "run.h"

#include <mpi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "calibrate.h"
#include "checkpoint.h"
#include "config.h"
#include "kernel_file.h"
#include "master.h"
#include "results.h"
#include "run_state.h"
#include "stop_signal.h"
#include "window.h"
#include "worker.h"

namespace {

// Where a run starts: from the beginning, or inside the phase its checkpoint
// names.
enum Start { kFresh = 0, kResumeCalibration = 1, kResumeProcessing = 2 };

char const* const kPhaseNames[2] = {"calibration", "processing"};

void print_time_stamp()
{
    std::time_t now = std::time(nullptr);
    std::printf("%s", std::ctime(&now));
}

// Broadcasts rank 0's value (a go/no-go flag, a phase's outcome); every rank
// returns it.
int agree_on(int value)
{
    std::fflush(stdout);
    MPI_Bcast(&value, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return value;
}

void reset_phase_counters()
{
    nbr_ok[0] = nbr_ok[1] = 0;
    nbr_all_ok = 0;
    counter_all = 0;
    msg_send = 0;
    msg_received = 0;
    info_count = 200;
}

// One phase: workers loop until their stop message, rank 0 runs the master
// and returns the phase's outcome (workers return 0).
int run_phase(char const* announcement, int first, int last, Checkpoint* record, bool resume)
{
    if (my_rank != 0) {
        work_slave();
        return 0;
    }
    std::printf("%s\n", announcement);
    return work_master(first, last, record, resume);
}

void print_summary()
{
    if (counter_all == 0) {
        // 0 of 0 is no fraction at all.
        std::printf("Error: The processing phase received no results, so there are no "
                    "good-fit fractions\n");
        run_error = 1;
    } else {
        double all = static_cast<double>(counter_all);
        std::printf("Good waveforms:");
        std::printf(" %3.2f%%", 100.0 * static_cast<double>(nbr_ok[0]) / all);
        std::printf(" %3.2f%%", 100.0 * static_cast<double>(nbr_ok[1]) / all);
        std::printf(", All %3.2f%%\n", 100.0 * static_cast<double>(nbr_all_ok) / all);
    }
    print_time_stamp();
}

// Rank 0: decides where the run starts. Without resume, or without a
// checkpoint of an unfinished run, it starts from the beginning. A checkpoint
// of another run, or outputs that no longer hold what it recorded, refuse
// the run before any file is touched. Returns 0 or 1.
int plan_run(double const* kernel, int count, Checkpoint* record, int* start)
{
    record->fingerprint = run_fingerprint(kernel, count);
    *start = kFresh;
    if (!resume) return 0;

    Checkpoint saved;
    const int got = read_checkpoint(&saved);
    if (got > 0) return 1;
    if (got < 0) {
        std::printf("No checkpoint %s: starting from the beginning\n", kCheckpointName);
        return 0;
    }
    if (saved.finished) {
        std::printf("Checkpoint %s is of a finished run: starting from the beginning\n",
                    kCheckpointName);
        return 0;
    }
    if (compare_fingerprints(saved.fingerprint, record->fingerprint)) return 1;
    const int64_t total = saved.phase == 0 ? phase_events(start_cal_session, stop_cal_session)
                                           : phase_events(start_session, stop_session);
    bool in_range = saved.next_event <= total;
    for (int e : saved.pending) in_range = in_range && e < total;
    if (!in_range) {
        std::printf("Error: Checkpoint %s names events beyond the phase's %lld\n", kCheckpointName,
                    static_cast<long long>(total));
        return 1;
    }
    if (check_phase_outputs(saved.outputs)) return 1;

    *record = saved;
    run_error = saved.run_error;
    *start = saved.phase == 0 ? kResumeCalibration : kResumeProcessing;
    std::printf("Resuming the %s phase from %s: %lld of %lld events done\n",
                kPhaseNames[saved.phase], kCheckpointName,
                static_cast<long long>(saved.counter_all), static_cast<long long>(total));
    return 0;
}

// Rank 0, resuming the processing phase: the calibration is not done again.
void take_calibration_from(Checkpoint const& record)
{
    std::printf("Calibration done before the interruption; decay rates from %s:\n",
                kCheckpointName);
    for (int c = 0; c < 2; ++c) {
        decay_est[c] = record.decay[c];
        std::printf("Channel %d decay: %.10f    (calibrated before the interruption)\n", c,
                    decay_est[c]);
    }
}

// Rank 0, after a phase that did not finish: where it stands and how to go
// on from there.
void report_unfinished_phase(int outcome, int phase, int first, int last)
{
    const long long total = static_cast<long long>(phase_events(first, last));
    if (outcome == kStoppedStatus)
        std::printf("Stopped by %s in the %s phase after %lld of %lld events",
                    stop_signal_name(), kPhaseNames[phase], static_cast<long long>(counter_all),
                    total);
    else
        std::printf("The run ended early in the %s phase after %lld of %lld events",
                    kPhaseNames[phase], static_cast<long long>(counter_all), total);
    std::printf("; to continue, set resume = 1 in zorv_mpi.ini and start it again\n");
}

int finish(int status)
{
    std::fflush(stdout);
    // After SIGTERM or SIGINT the launcher is already taking the job down and
    // would never complete MPI_Finalize's handshake; the files are safe, so
    // the rank simply ends before the launcher's kill.
    if (stop_is_final()) std::_Exit(status);
    MPI_Finalize();
    return status;
}

}  // namespace

int run_zorv_mpi(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    MPI_Comm_rank(MPI_COMM_WORLD, &my_rank);
    MPI_Comm_size(MPI_COMM_WORLD, &world_size);
    install_stop_handlers();

    if (world_size < 2) {
        std::printf("Error: World size must be at least 2\n");
        return finish(1);
    }

    if (my_rank == 0) {
        std::printf("zorv_mpi: two-channel pulse analysis\n");
        print_time_stamp();
    }

    for (int j = 0; j < 8; ++j) glob_lock[j] = 0;
    nbr_ok[0] = nbr_ok[1] = 0;
    nbr_all_ok = 0;
    counter_all = 0;

    // The kernel table lives here on every rank; rank 0 fills it from the
    // file, the others receive it.
    double kernel[kMaxKernel];
    int kernel_count = 0;
    // What every checkpoint of the run holds (rank 0).
    Checkpoint record;
    int start = kFresh;

    int go = 1;
    if (my_rank == 0) {
        go = read_kernel_file("win.txt", kernel, kMaxKernel, &kernel_count) == 0 &&
             initialize() == 0 && validate_config() == 0 &&
             plan_run(kernel, kernel_count, &record, &start) == 0;
    }
    if (!agree_on(go)) return finish(1);

    MPI_Bcast(&kernel_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
    MPI_Bcast(kernel, kernel_count, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(decay_est, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(bcg_est, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(&start, 1, MPI_INT, 0, MPI_COMM_WORLD);

    win_load = new Window(kernel, kernel_count);
    std::printf("Window length = %d\n", kernel_count);
    std::fflush(stdout);

    MPI_Barrier(MPI_COMM_WORLD);

    int outcome = 0;
    if (start != kResumeProcessing) {
        record.phase = 0;
        outcome = run_phase("Starting calibration", start_cal_session, stop_cal_session, &record,
                            start == kResumeCalibration);
        if (my_rank == 0 && outcome != 0)
            report_unfinished_phase(outcome, 0, start_cal_session, stop_cal_session);
        if (my_rank == 0 && outcome == 0) {
            calibrate();
            record.calibrated = true;
            record.decay[0] = decay_est[0];
            record.decay[1] = decay_est[1];
        }
    } else if (my_rank == 0) {
        take_calibration_from(record);
    }
    outcome = agree_on(outcome);
    if (outcome != 0) return finish(outcome);
    MPI_Bcast(decay_est, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);

    glob_lock[1] = 1;  // the decay rate is held at its calibrated value from now on
    reset_phase_counters();

    record.phase = 1;
    outcome = run_phase("Processing...", start_session, stop_session, &record,
                        start == kResumeProcessing);
    if (my_rank == 0) {
        if (outcome == 0) {
            print_summary();
            record.finished = true;
            record.run_error = run_error;
            if (write_checkpoint(record)) run_error = 1;
        } else {
            report_unfinished_phase(outcome, 1, start_session, stop_session);
        }
    }

    int status = outcome != 0 ? outcome : (run_error || run_abort) ? 1 : 0;
    status = agree_on(status);
    return finish(status);
}
