// zorv_mpi: MPI batch analysis of two-channel detector pulses.
// Rank 0 is the master, every other rank a worker; the program takes no
// options of its own (the arguments go to MPI).

#include "mpi/run.h"

int main(int argc, char** argv)
{
    return run_zorv_mpi(argc, argv);
}
