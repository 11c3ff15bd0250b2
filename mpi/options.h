// The command line of zorv_mpi, read before MPI starts: the same with and
// without mpiexec, and --help or --version answered without a world.
#ifndef ZORV_OPTIONS_H
#define ZORV_OPTIONS_H

struct ProgramOptions {
    bool check = false;   // --check: look at the setup without MPI, write nothing
    bool resume = false;  // --resume: as if resume = 1 stood in zorv_mpi.ini
    // --events-per-message N and --worker-reads 0|1, for the keys that change
    // how work is handed out, never the results; -1: as zorv_mpi.ini says.
    int events_per_message = -1;
    int worker_reads = -1;
};

// parse_program_options returns this when the run goes on.
constexpr int kGoOn = -1;

// Reads the options from argv[1 .. *argc - 1] into *options and removes them,
// so that MPI_Init sees argv[0] alone. Returns kGoOn when the run goes on,
// or the exit status when the command line is answered here: 0 after
// --help (-h) or --version, 2 after an unknown argument or a value out of
// its range (one line naming it, then the usage, on standard error).
// Nothing is written to any file. Under a launcher only its rank 0 prints,
// and every rank returns the same status.
int parse_program_options(int* argc, char** argv, ProgramOptions* options);

// The usage text of --help.
char const* program_usage();

#endif
