// zorv_mpi's command line. MPI is not started yet, so the rank comes from the
// launcher's environment: mpiexec -n 4 zorv_mpi --help prints the usage once,
// not four times.

#include "mpi/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "run/stop_signal.h"
#include "zorv_version.h"

namespace {

// Exit statuses the usage states, held to their meaning in the code.
static_assert(kStoppedStatus == 75, "the usage text names status 75");

char const kUsage[] =
    "Usage: mpiexec -n RANKS zorv_mpi [--resume]\n"
    "  or:  zorv_mpi --check | --help | --version\n"
    "Two-channel detector pulse analysis: rank 0 hands the raw events to the\n"
    "other ranks (at least one), which fit each channel's pulses. A calibration\n"
    "phase finds each channel's decay rate; the processing phase fits with it.\n"
    "\n"
    "Reads from the current folder of rank 0:\n"
    "  zorv_mpi.ini           the settings, \"key = value\" (see zorv_mpi.ini(5))\n"
    "  win.txt                the smoothing kernel, \"index coefficient\" per line\n"
    "  INFILE.SESSION         the raw files, INFILE being infile_path\n"
    "Writes there:\n"
    "  AB0.bin, AB1.bin       fit results of channel A and B, AB being abfile_path\n"
    "  decay0.txt, decay1.txt  the decay rate of each result record\n"
    "  events.txt             the raw event (session, record) of each result record\n"
    "  decay_hist0.txt, decay_hist1.txt  the calibration's decay histograms\n"
    "  zorv_mpi.checkpoint    where the run stands, to resume it\n"
    "  zorv_mpi.summary.json  the run's account\n"
    "  zorv_mpi.lock          held while the run goes on: one run per folder\n"
    "and every worker an empty fit.txt in its own current folder.\n"
    "\n"
    "Options:\n"
    "  --check      check the setup without MPI and report what a run would do;\n"
    "               writes nothing\n"
    "  --resume     resume as if resume = 1 stood in zorv_mpi.ini\n"
    "  -h, --help   print this text and exit; writes nothing\n"
    "  --version    print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0   the run finished, or a finished run left nothing to do\n"
    "  1   the run could not start or go on, or lost events; the console says why\n"
    "  2   bad command line\n"
    "  75  stopped by SIGTERM, SIGINT, SIGUSR1 or SIGUSR2 after a checkpoint;\n"
    "      start it again with --resume to continue\n";

// The rank the launcher gave this process, or 0 when there is none (a start
// without mpiexec). Open MPI names it OMPI_COMM_WORLD_RANK; PMIx and PMI
// launchers PMIX_RANK and PMI_RANK.
bool is_first_rank()
{
    for (char const* name : {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK"}) {
        char const* value = std::getenv(name);
        if (value != nullptr) return std::strcmp(value, "0") == 0;
    }
    return true;
}

}  // namespace

char const* program_usage()
{
    return kUsage;
}

int parse_program_options(int* argc, char** argv, ProgramOptions* options)
{
    bool const speaks = is_first_rank();
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        char const* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            if (speaks) std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0) {
            if (speaks) std::printf("zorv_mpi %s\n", ZORV_VERSION);
            return 0;
        }
        if (std::strcmp(arg, "--check") == 0) {
            options->check = true;
        } else if (std::strcmp(arg, "--resume") == 0) {
            options->resume = true;
        } else {
            if (speaks) {
                std::fprintf(stderr, "zorv_mpi: unknown option '%s'\n", arg);
                std::fputs(kUsage, stderr);
            }
            return 2;
        }
    }
    argv[kept] = nullptr;
    *argc = kept;
    return kGoOn;
}
