// The command line of every program: --help and --version answered at once
// with status 0, a wrong argument named in one line with the usage and
// status 2 (zorv_window: 1), and nothing written in either case; zorv_mpi
// the same under mpiexec, its usage printed once.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mpi/options.h"
#include "test_util.h"
#include "zorv_version.h"

namespace fs = std::filesystem;

namespace {

std::string first_line(std::string const& text)
{
    return text.substr(0, text.find('\n'));
}

}  // namespace

TEST(CommandLine, AnswersAtOnceAndWritesNothing)
{
    std::string const v = ZORV_VERSION;
    std::string const mpiexec =
        "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 " + std::string(ZORV_MPIEXEC) +
        " --oversubscribe -n 2 ";
    struct Row {
        std::string command;  // program and arguments, run in an empty folder
        int status;
        std::string out;  // first line of standard output
        std::string err;  // first line of standard error
    };
    std::vector<Row> const rows = {
        {ZORV_MPI_EXE " --help", 0,
         "Usage: mpiexec -n RANKS zorv_mpi [--resume] [--events-per-message N]", ""},
        {ZORV_MPI_EXE " -h", 0,
         "Usage: mpiexec -n RANKS zorv_mpi [--resume] [--events-per-message N]", ""},
        {ZORV_MPI_EXE " --version", 0, "zorv_mpi " + v, ""},
        {ZORV_MPI_EXE " --resume --version", 0, "zorv_mpi " + v, ""},
        {ZORV_MPI_EXE " --foo", 2, "", "zorv_mpi: unknown option '--foo'"},
        {ZORV_MPI_EXE " --check extra", 2, "", "zorv_mpi: unknown option 'extra'"},
        {ZORV_MPI_EXE " --events-per-message 0", 2, "",
         "zorv_mpi: --events-per-message takes an integer from 1 to 4096, not '0'"},
        {ZORV_MPI_EXE " --worker-reads=yes", 2, "",
         "zorv_mpi: --worker-reads takes 0 or 1, not 'yes'"},
        {ZORV_MPI_EXE " --worker-reads", 2, "", "zorv_mpi: --worker-reads takes 0 or 1"},
        {mpiexec + ZORV_MPI_EXE " --version", 0, "zorv_mpi " + v, ""},
        {mpiexec + ZORV_MPI_EXE " --resume --bar", 2, "", "zorv_mpi: unknown option '--bar'"},
        {ZORV_GEN_EXE " --help", 0, "Usage: zorv_gen [-o DIR]", ""},
        {ZORV_GEN_EXE " stray -h", 0, "Usage: zorv_gen [-o DIR]", ""},
        {ZORV_GEN_EXE " --version", 0, "zorv_gen " + v, ""},
        {ZORV_GEN_EXE " --outptu x", 2, "", "zorv_gen: unknown option '--outptu'"},
        {ZORV_GEN_EXE " -o", 2, "", "zorv_gen: missing output folder after '-o'"},
        {ZORV_GEN_EXE " -o out stray", 2, "", "zorv_gen: unexpected argument 'stray'"},
        {ZORV_WINDOW_EXE " --help", 0, "Usage: zorv_window N > win.txt", ""},
        {ZORV_WINDOW_EXE " --version", 0, "zorv_window " + v, ""},
        {ZORV_WINDOW_EXE " -x 5", 1, "", "zorv_window: unknown option '-x'"},
        {ZORV_WINDOW_EXE " 5 7", 1, "", "zorv_window: unexpected argument '7'"},
        {ZORV_WINDOW_EXE " -o win.txt 4", 1, "", "Usage: zorv_window N > win.txt"},
        {ZORV_SPECTRA_EXE " --version", 0, "zorv_spectra " + v, ""},
    };
    for (Row const& row : rows) {
        TempDir logs;
        TempDir dir;
        std::string const out = logs.file("out"), err = logs.file("err");
        CommandResult r = run_command("cd '" + dir.path() + "' && " + row.command + " > '" + out +
                                      "' 2> '" + err + "'");
        EXPECT_EQ(r.status, row.status) << row.command;
        EXPECT_EQ(first_line(read_text(out)), row.out) << row.command;
        EXPECT_EQ(first_line(read_text(err)), row.err) << row.command << "\n" << read_text(err);
        EXPECT_TRUE(fs::is_empty(dir.path())) << row.command;
        // The usage follows a wrong argument, and comes once under mpiexec.
        std::string const all = read_text(out) + read_text(err);
        size_t const usages = row.out.rfind("zorv", 0) == 0 ? 0 : 1;
        size_t at = 0, seen = 0;
        while ((at = all.find("Usage: ", at)) != std::string::npos) ++seen, ++at;
        EXPECT_EQ(seen, usages) << row.command;
    }
}

// What run_zorv_mpi is handed: the options, and argv for MPI_Init without them.
TEST(ProgramOptions, TakesItsOwnAndLeavesArgvZeroForMpi)
{
    struct Row {
        std::vector<std::string> args;
        int status;
        bool check, resume;
        int events_per_message = -1, worker_reads = -1;
    };
    std::vector<Row> const rows = {
        {{}, kGoOn, false, false},
        {{"--check"}, kGoOn, true, false},
        {{"--resume", "--check"}, kGoOn, true, true},
        {{"--resume", "-resume"}, 2, false, true},
        {{"--help", "--foo"}, 0, false, false},
        {{"--"}, 2, false, false},
        {{"--events-per-message", "32", "--worker-reads=1"}, kGoOn, false, false, 32, 1},
        {{"--events-per-message=4096", "--worker-reads", "0"}, kGoOn, false, false, 4096, 0},
        {{"--events-per-message=4097"}, 2, false, false},
        {{"--events-per-message", "8x"}, 2, false, false},
        {{"--events-per-messages=8"}, 2, false, false},
        {{"--worker-reads", "-1"}, 2, false, false},
    };
    for (Row const& row : rows) {
        std::vector<std::string> words = {"zorv_mpi"};
        words.insert(words.end(), row.args.begin(), row.args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int argc = static_cast<int>(words.size());
        ProgramOptions options;
        int status = -9;
        capture_stdout([&] { status = parse_program_options(&argc, argv.data(), &options); });
        EXPECT_EQ(status, row.status) << row.args.size();
        EXPECT_EQ(options.check, row.check) << row.args.size();
        EXPECT_EQ(options.resume, row.resume) << row.args.size();
        if (status == kGoOn) {
            EXPECT_EQ(options.events_per_message, row.events_per_message);
            EXPECT_EQ(options.worker_reads, row.worker_reads);
        }
        if (status == kGoOn) {
            EXPECT_EQ(argc, 1);
            EXPECT_EQ(argv[1], nullptr);
        }
    }
}
