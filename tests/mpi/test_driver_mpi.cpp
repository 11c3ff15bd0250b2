// zorv_mpi end to end under mpiexec: start-up checks, the release of all
// ranks when rank 0 cannot go on, and the walk through both phases.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

std::string kernel17()
{
    std::string text;
    for (int i = 0; i < 17; ++i) text += std::to_string(i) + " " + std::to_string(1 + (i < 8 ? i : 16 - i)) + "\n";
    return text;
}

std::string ini(std::string const& sessions, std::string const& cal_sessions)
{
    return "# = test run\n"
           "infile_path = \"raw\"\n"
           "abfile_path = \"ab\"\n"
           "waveforms = 3\n"
           "data_offset = 12\n"
           "hist_overflow = 0.05\n"
           "refresh_interval = 1\n"
           "sessions = " + sessions + "\n"
           "cal_sessions = " + cal_sessions + "\n"
           "decay_est = -0.0015 -0.0015\n"
           "bcg_est = 0 0\n";
}

// raw.1 and raw.2: three events each, every sample 0, behind 12 header bytes.
void write_quiet_sessions()
{
    const std::vector<std::vector<int16_t>> quiet(3, std::vector<int16_t>(5000, 0));
    write_raw_file("raw.1", 12, quiet);
    write_raw_file("raw.2", 12, quiet);
}

bool any_output_file()
{
    return file_exists("ab0.bin") || file_exists("ab1.bin") || file_exists("decay0.txt") ||
           file_exists("decay1.txt") || file_exists("fit.txt");
}

}  // namespace

// A single rank has no worker: one line, non-zero status.
TEST(DriverMpi, OneRankPrintsOnlyTheWorldSizeMessage)
{
    TempDir dir;
    write_text("win.txt", kernel17());
    write_text("zorv_mpi.ini", ini("1 1", "1 1"));
    CommandResult r = run_mpi(1, ZORV_MPI_EXE, dir.path());
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.output, "Error: World size must be at least 2\n");
}

// Rank 0 cannot go on: every rank ends (the test would time out otherwise),
// with a non-zero status and without any output file.
TEST(DriverMpi, StartUpErrorsEndEveryRankWithoutOutput)
{
    TempDir dir;
    write_text("zorv_mpi.ini", ini("1 1", "1 1"));
    CommandResult r = run_mpi(3, ZORV_MPI_EXE, dir.path());
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("Error: Cannot open window file 'win.txt'\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Reading configuration file"), std::string::npos);
    EXPECT_EQ(count_of(r.output, "Window length"), 0);
    EXPECT_FALSE(any_output_file());

    write_text("win.txt", kernel17());
    write_text("zorv_mpi.ini", "waveforms 3\n");
    r = run_mpi(2, ZORV_MPI_EXE, dir.path());
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("  waveforms\nError: Missing '=' sign\n"), std::string::npos) << r.output;
    EXPECT_EQ(count_of(r.output, "Window length"), 0);
    EXPECT_FALSE(any_output_file());

    write_text("zorv_mpi.ini", ini("3 2", "2 1"));
    r = run_mpi(3, ZORV_MPI_EXE, dir.path());
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("End of configuration file\n"
                            "Error: Stop_session number must be larger than start_session number\n"),
              std::string::npos) << r.output;
    EXPECT_EQ(count_of(r.output, "Stop_cal_session"), 0);
    EXPECT_FALSE(any_output_file());
}

// A folder whose lock another process holds: the run refuses at once, names
// the holder as its lock file does, and makes no file. Once the holder is
// gone (its lock went with it; the file stays) the run goes ahead.
TEST(DriverMpi, SecondRunInAFolderRefusesAtOnce)
{
    TempDir dir;
    write_text("win.txt", kernel17());
    write_text("zorv_mpi.ini", ini("2 2", "1 1"));
    write_text("zorv_mpi.lock", "pid 4242 on host node07 since 2026-12-07 10:00:00\n");
    const int holder = open("zorv_mpi.lock", O_RDWR);
    ASSERT_GE(holder, 0);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(holder, F_SETLK, &whole), 0);

    // The lock is per process: mpiexec's rank 0 is another one.
    CommandResult r = run_mpi(2, ZORV_MPI_EXE, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Error: Another zorv_mpi runs in this folder (pid 4242 on host node07 "
                            "since 2026-12-07 10:00:00; it holds zorv_mpi.lock); two runs in one "
                            "folder would spoil each other's files, so this one does not start\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("Reading configuration file"), std::string::npos) << r.output;
    EXPECT_FALSE(any_output_file());
    EXPECT_FALSE(file_exists("zorv_mpi.checkpoint"));

    close(holder);
    write_quiet_sessions();
    r = run_mpi(2, ZORV_MPI_EXE, dir.path());
    EXPECT_NE(r.output.find("Good waveforms: 0.00% 0.00%, All 0.00%\n"), std::string::npos)
        << r.output;
    EXPECT_EQ(read_text("zorv_mpi.lock").rfind("pid ", 0), 0u);
}

// A FIFO by the name of a file the run writes or reads is refused by name or
// left alone, never waited on: each run ends well within its time limit.
TEST(DriverMpi, FifosInPlaceOfFilesHoldNothingUp)
{
    struct Case {
        char const* fifo;
        char const* settings;
        char const* expected;
    } const cases[] = {
        {"ab0.bin", "", "Error: Cannot create result file: ab0.bin (it is not a regular file)\n"},
        {"decay1.txt", "",
         "Error: Cannot create decay list: decay1.txt (it is not a regular file)\n"},
        {"fit.txt", "", "Good waveforms: 0.00% 0.00%, All 0.00%\n"},
        {"zorv_mpi.checkpoint.tmp", "", "Good waveforms: 0.00% 0.00%, All 0.00%\n"},
        {"zorv_mpi.checkpoint", "resume = 1\n",
         "Error: Cannot read checkpoint zorv_mpi.checkpoint (it is not a regular file)\n"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.fifo);
        TempDir dir;
        write_text("win.txt", kernel17());
        write_text("zorv_mpi.ini", ini("2 2", "1 1") + c.settings);
        write_quiet_sessions();
        ASSERT_EQ(mkfifo(c.fifo, 0644), 0);
        CommandResult r = run_mpi(2, ZORV_MPI_EXE, dir.path(), 60);
        EXPECT_NE(r.status, -1) << "held up";
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << r.output;
    }
}

// A fresh run that must refuse one of its outputs refuses before it cuts
// any, or replaces the checkpoint: the earlier run's results, checkpoint
// and raw files keep every byte.
TEST(DriverMpi, RefusedOutputLeavesTheEarlierResultsWhole)
{
    struct Case {
        char const* name;
        int (*make)(char const*);
        char const* expected;
    } const cases[] = {
        {"events.txt", [](char const* n) { return mkdir(n, 0755); },
         "Error: Cannot create provenance list: events.txt (it is a directory)\n"},
        {"events.txt", [](char const* n) { return mkfifo(n, 0644); },
         "Error: Cannot create provenance list: events.txt (it is not a regular file)\n"},
        {"events.txt", [](char const* n) { return symlink("gone", n); },
         "Error: Cannot use events.txt as an output: it is a symbolic link"},
        {"ab1.bin", [](char const* n) { return mkdir(n, 0755); },
         "Error: Cannot create result file: ab1.bin (it is a directory)\n"},
        {"decay1.txt", [](char const* n) { return mkfifo(n, 0644); },
         "Error: Cannot create decay list: decay1.txt (it is not a regular file)\n"},
        {"ab0.bin", [](char const* n) { return symlink("raw.1", n); },
         "Error: Cannot use ab0.bin as an output: it is a symbolic link"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.expected);
        TempDir dir;
        write_text("win.txt", kernel17());
        write_text("zorv_mpi.ini", ini("2 2", "1 1"));
        write_quiet_sessions();
        const std::string raw = read_text("raw.1");
        char const* kept[] = {"ab0.bin", "decay0.txt", "ab1.bin", "decay1.txt", "events.txt",
                              "zorv_mpi.checkpoint"};
        for (char const* name : kept) {
            if (std::string(name) != c.name) write_text(name, std::string("earlier ") + name);
        }
        ASSERT_EQ(c.make(c.name), 0);
        CommandResult r = run_mpi(2, ZORV_MPI_EXE, dir.path(), 60);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << r.output;
        EXPECT_EQ(read_text("raw.1"), raw);
        for (char const* name : kept) {
            if (std::string(name) != c.name) {
                EXPECT_EQ(read_text(name), std::string("earlier ") + name) << name;
            }
        }
    }
}

// A run that finished but lost events (its processing file is cut short)
// keeps its status 1 when it is started again, and says why; a summary that
// is missing then is written from the checkpoint.
TEST(DriverMpi, FinishedRunThatLostEventsKeepsItsStatus)
{
    TempDir dir;
    write_text("win.txt", kernel17());
    write_text("zorv_mpi.ini", ini("2 2", "1 1") + "resume = 1\n");
    std::vector<std::vector<int16_t>> quiet(3, std::vector<int16_t>(5000, 0));
    write_raw_file("raw.1", 12, quiet);
    quiet.pop_back();
    write_raw_file("raw.2", 12, quiet);
    CommandResult r = run_mpi(2, ZORV_MPI_EXE, dir.path());
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(read_text("zorv_mpi.summary.json").find("\"events_lost\": true"), std::string::npos);
    ASSERT_EQ(unlink("zorv_mpi.summary.json"), 0);
    for (int start = 0; start < 2; ++start) {
        r = run_mpi(2, ZORV_MPI_EXE, dir.path());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("Checkpoint zorv_mpi.checkpoint is of a finished run that did not "
                                "end well (events were lost, or a file could not be written): "
                                "nothing to do, and its status stays 1"),
                  std::string::npos)
            << r.output;
        const std::string summary = read_text("zorv_mpi.summary.json");
        EXPECT_NE(summary.find("\n  \"status\": \"finished\",\n"), std::string::npos) << summary;
        EXPECT_NE(summary.find("\"events_lost\": true"), std::string::npos) << summary;
    }
}

namespace {

// Every entry of the working folder with its size and modification time.
std::string folder_state()
{
    return run_command("ls -lA --time-style=+%s.%N | tail -n +2").output;
}

}  // namespace

// --check does what a run does before its first event, without MPI, and
// tells what the run would do; it writes nothing, and its status says
// whether a run could start.
TEST(DriverMpi, CheckTellsWhatARunWouldDoAndWritesNothing)
{
    struct Case {
        std::string settings;   // zorv_mpi.ini
        bool raw_files;         // raw.1 and raw.2 are there
        char const* link;       // an output made a link to raw.1
        int status;
        std::vector<std::string> expected;
    } const cases[] = {
        {ini("2 2", "1 1"), true, nullptr, 0,
         {"Check: calibration phase: sessions 1 to 1, 3 events of 3 each\n"
          "  raw.1: 30012 bytes, 3 complete records\n",
          "Check: outputs: ab0.bin, decay0.txt, ab1.bin, decay1.txt, events.txt, ab0.err.bin, ab1.err.bin, "
          "decay_hist0.txt, decay_hist1.txt, zorv_mpi.checkpoint and zorv_mpi.summary.json\n",
          "Check: a run could start; nothing was written\n"}},
        {"infile_path = \"raw\"\nabfile_path = \"ab\"\nwaveforms = 3\nsessions = 2 2\n"
         "cal_sessions = 1 1\n",
         true, nullptr, 0,
         {"Note: bcg_est is not set; using 0 0 (the baseline subtracted before the peak search)\n"
          "Note: decay_est is not set; using 0 0 (the decay rate the calibration's fits start "
          "from)\nNote: data_offset is not set; using 0 (the header bytes before the first "
          "record of each raw file)\n"}},
        {ini("2 2", "1 1"), false, nullptr, 1,
         {"  raw.1: cannot be read\n",
          "Error: None of the raw files of the calibration phase can be read\n"}},
        {ini("2 2", "1 1"), true, "events.txt", 1,
         {"Error: Cannot use events.txt as an output: it is a symbolic link"}},
        {ini("2 2", "1 1") + "waveform = 3\n", true, nullptr, 1, {"did you mean 'waveforms'?"}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.expected[0]);
        TempDir dir;
        write_text("win.txt", kernel17());
        write_text("zorv_mpi.ini", c.settings);
        if (c.raw_files) {
            write_quiet_sessions();
        }
        if (c.link) {
            ASSERT_EQ(symlink("raw.1", c.link), 0);
        }
        const std::string before = folder_state();
        const CommandResult r = run_command(std::string(ZORV_MPI_EXE) + " --check");
        EXPECT_EQ(r.status, c.status) << r.output;
        for (std::string const& line : c.expected) {
            EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
        }
        EXPECT_EQ(folder_state(), before);
    }
}

// --resume resumes as if resume = 1 stood in the settings, and the notes
// on unset keys are kept in the run summary.
TEST(DriverMpi, ResumeOptionAndNotesInTheSummary)
{
    TempDir dir;
    write_text("win.txt", kernel17());
    std::string settings = ini("2 2", "1 1");
    settings.erase(settings.find("bcg_est"));
    write_text("zorv_mpi.ini", settings);
    write_quiet_sessions();
    CommandResult r = run_command("OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
                                  "OMPI_MCA_mpi_yield_when_idle=1 " ZORV_MPIEXEC
                                  " --oversubscribe -n 2 " ZORV_MPI_EXE
                                  " --resume --events-per-message=5 --worker-reads 1 2>/dev/null");
    EXPECT_NE(r.output.find("End of configuration file\n"
                            "Resuming as --resume asks (resume = 1)\n"
                            "Using events_per_message = 5 as --events-per-message asks\n"
                            "Using worker_reads = 1 as --worker-reads asks\n"
                            "Note: bcg_est is not set; using 0 0 (the baseline subtracted before "
                            "the peak search)\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("No checkpoint zorv_mpi.checkpoint: starting from the beginning\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(read_text("zorv_mpi.summary.json")
                  .find("\"warnings\": [\n    \"Note: bcg_est is not set; using 0 0"),
              std::string::npos);
    EXPECT_NE(read_text("zorv_mpi.summary.json")
                  .find("\"events_per_message\": 5,\n    \"worker_reads\": 1\n"),
              std::string::npos)
        << read_text("zorv_mpi.summary.json");
}

// Both phases run: the kernel reaches every rank, both phases read their
// sessions, the summary closes the run.
TEST(DriverMpi, WalksThroughBothPhasesToTheSummary)
{
    TempDir dir;
    write_text("win.txt", kernel17());
    write_text("zorv_mpi.ini", ini("2 2", "1 1"));
    write_quiet_sessions();

    CommandResult r = run_mpi(3, ZORV_MPI_EXE, dir.path());
    EXPECT_EQ(count_of(r.output, "Window length = 17\n"), 3) << r.output;
    // Rank 0's lines keep their order; the workers' "Window length" lines
    // may reach the launcher late and fall in between.
    size_t cal = r.output.find("Starting calibration\n");
    size_t raw1 = r.output.find("\nProcessing file: raw.1\n");
    size_t proc = r.output.find("Processing...\nProcessing file: raw.2\n");
    EXPECT_LT(cal, raw1);
    size_t summary = r.output.find("Good waveforms: 0.00% 0.00%, All 0.00%\n");
    EXPECT_NE(cal, std::string::npos) << r.output;
    EXPECT_NE(proc, std::string::npos) << r.output;
    EXPECT_NE(summary, std::string::npos) << r.output;
    EXPECT_LT(cal, proc);
    EXPECT_LT(proc, summary);
    // Quiet traces are never fitted: empty result files and decay lists.
    EXPECT_EQ(file_size("ab0.bin"), 0);
    EXPECT_EQ(file_size("ab1.bin"), 0);
    EXPECT_EQ(file_size("decay0.txt"), 0);
    EXPECT_EQ(file_size("decay1.txt"), 0);
    EXPECT_EQ(file_size("fit.txt"), 0);
    // With nothing to calibrate on, the run says so and ends non-zero.
    EXPECT_NE(r.status, 0);
}
