// zorv_mpi: MPI batch analysis of two-channel detector pulses.
// Rank 0 is the master, every other rank a worker. The options are read
// before MPI starts (mpi/options.h), so that --help and --version answer at
// once, with or without mpiexec; MPI_Init sees what is left, argv[0].

#include "mpi/options.h"
#include "mpi/run.h"

int main(int argc, char** argv)
{
    ProgramOptions options;
    int const status = parse_program_options(&argc, argv, &options);
    if (status != kGoOn) return status;
    return run_zorv_mpi(argc, argv, options);
}
