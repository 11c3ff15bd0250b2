// zorv_mpi's command line. MPI is not started yet, so the rank comes from the
// launcher's environment: mpiexec -n 4 zorv_mpi --help prints the usage once,
// not four times.

#include "mpi/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "io/settings.h"
#include "run/stop_signal.h"
#include "zorv_version.h"

namespace {

// Exit statuses the usage states, held to their meaning in the code.
static_assert(kStoppedStatus == 75, "the usage text names status 75");
static_assert(kMaxEventsPerMessage == 4096, "the usage text names 4096 events per message");

char const kUsage[] =
    "Usage: mpiexec -n RANKS zorv_mpi [--resume] [--events-per-message N]\n"
    "                                 [--worker-reads 0|1]\n"
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
    "  --events-per-message N\n"
    "               hand out N events (1 to 4096) at a time, whatever\n"
    "               zorv_mpi.ini says; speed only, never the results\n"
    "  --worker-reads 0|1\n"
    "               1: the workers read the raw files themselves, whatever\n"
    "               zorv_mpi.ini says; speed only, never the results\n"
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

// The value of option `name` at argv[*i], given as "--name=V" or as
// "--name V" (then *i moves on to V); nullptr when argv[*i] is another
// argument. *missing is set when the option came without a value.
char const* option_value(char const* name, int argc, char** argv, int* i, bool* missing)
{
    const size_t n = std::strlen(name);
    char const* arg = argv[*i];
    if (std::strncmp(arg, name, n) != 0) return nullptr;
    if (arg[n] == '=') return arg + n + 1;
    if (arg[n] != '\0') return nullptr;
    if (*i + 1 >= argc) {
        *missing = true;
        return arg + n;
    }
    return argv[++*i];
}

// A decimal integer in [lo, hi], the whole text; false otherwise.
bool parse_int_in(char const* text, int lo, int hi, int* value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    *value = static_cast<int>(v);
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
    // The options with a value: the key they stand for, its range and what
    // the usage error says it takes.
    struct {
        char const* name;
        int* value;
        int lo, hi;
        char const* expects;
    } const valued[] = {
        {"--events-per-message", &options->events_per_message, 1, kMaxEventsPerMessage,
         "an integer from 1 to 4096"},
        {"--worker-reads", &options->worker_reads, 0, 1, "0 or 1"},
    };
    auto refuse = [&](std::string const& line) {
        if (speaks) {
            std::fprintf(stderr, "zorv_mpi: %s\n", line.c_str());
            std::fputs(kUsage, stderr);
        }
        return 2;
    };
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
            continue;
        }
        if (std::strcmp(arg, "--resume") == 0) {
            options->resume = true;
            continue;
        }
        bool known = false;
        for (auto const& o : valued) {
            bool missing = false;
            char const* text = option_value(o.name, *argc, argv, &i, &missing);
            if (text == nullptr) continue;
            if (missing) return refuse(std::string(o.name) + " takes " + o.expects);
            if (!parse_int_in(text, o.lo, o.hi, o.value))
                return refuse(std::string(o.name) + " takes " + o.expects + ", not '" + text + "'");
            known = true;
            break;
        }
        if (!known) return refuse(std::string("unknown option '") + arg + "'");
    }
    argv[1] = nullptr;
    *argc = 1;
    return kGoOn;
}
