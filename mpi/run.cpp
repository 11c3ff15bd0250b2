// Run sequence of zorv_mpi.
//
// Collectives pair up across ranks in this order: go/no-go flag, kernel
// count, kernel values, decay_est, bcg_est, barrier; after the calibration
// phase go/no-go flag and decay_est; after the processing phase the exit
// status. The go/no-go flags let rank 0 end the run cleanly on every rank
// when it cannot go on, instead of leaving the workers waiting.

#include "run.h"

#include <mpi.h>

#include <cstdio>
#include <ctime>

#include "calibrate.h"
#include "config.h"
#include "kernel_file.h"
#include "master.h"
#include "run_state.h"
#include "window.h"
#include "worker.h"

namespace {

void print_time_stamp()
{
    std::time_t now = std::time(nullptr);
    std::printf("%s", std::ctime(&now));
}

// Broadcasts rank 0's go/no-go flag; true means go on.
bool agree_to_go_on(int go)
{
    std::fflush(stdout);
    MPI_Bcast(&go, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return go != 0;
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

// One phase: workers loop until their stop message, rank 0 runs the master.
void run_phase(char const* announcement, int first, int last)
{
    if (my_rank == 0) {
        std::printf("%s\n", announcement);
        work_master(first, last);
    } else {
        work_slave();
    }
}

void print_summary()
{
    double all = static_cast<double>(counter_all);
    std::printf("Good waveforms:");
    std::printf(" %3.2f%%", 100.0 * static_cast<double>(nbr_ok[0]) / all);
    std::printf(" %3.2f%%", 100.0 * static_cast<double>(nbr_ok[1]) / all);
    std::printf(", All %3.2f%%\n", 100.0 * static_cast<double>(nbr_all_ok) / all);
    print_time_stamp();
}

int finish(int status)
{
    std::fflush(stdout);
    MPI_Finalize();
    return status;
}

}  // namespace

int run_zorv_mpi(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    MPI_Comm_rank(MPI_COMM_WORLD, &my_rank);
    MPI_Comm_size(MPI_COMM_WORLD, &world_size);

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

    int go = 1;
    if (my_rank == 0) {
        go = read_kernel_file("win.txt", kernel, kMaxKernel, &kernel_count) == 0 &&
             initialize() == 0 && validate_config() == 0;
    }
    if (!agree_to_go_on(go)) return finish(1);

    MPI_Bcast(&kernel_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
    MPI_Bcast(kernel, kernel_count, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(decay_est, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(bcg_est, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);

    win_load = new Window(kernel, kernel_count);
    std::printf("Window length = %d\n", kernel_count);
    std::fflush(stdout);

    MPI_Barrier(MPI_COMM_WORLD);

    run_phase("Starting calibration", start_cal_session, stop_cal_session);

    if (my_rank == 0 && !run_abort) calibrate();
    if (!agree_to_go_on(!run_abort)) return finish(1);
    MPI_Bcast(decay_est, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);

    glob_lock[1] = 1;  // the decay rate is held at its calibrated value from now on
    reset_phase_counters();

    run_phase("Processing...", start_session, stop_session);

    if (my_rank == 0) print_summary();

    int status = (run_error || run_abort) ? 1 : 0;
    std::fflush(stdout);
    MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return finish(status);
}
