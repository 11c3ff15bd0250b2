// The master loop and message protocol end to end under mpiexec: file
// boundaries, phases shorter than the worker count, progress lines, and
// sessions that are missing or short.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

void write_setup(int waveforms, std::string const& sessions, std::string const& cal_sessions,
                 std::string const& refresh = "0")
{
    write_text("win.txt", "0 1\n1 2\n2 1\n");
    write_text("zorv_mpi.ini",
               "infile_path = \"raw\"\n"
               "abfile_path = \"ab\"\n"
               "waveforms = " + std::to_string(waveforms) + "\n"
               "data_offset = 12\n"
               "hist_overflow = 0.05\n"
               "refresh_interval = " + refresh + "\n"
               "sessions = " + sessions + "\n"
               "cal_sessions = " + cal_sessions + "\n"
               "decay_est = -0.0015 -0.0015\n"
               "bcg_est = 0 0\n");
}

void write_quiet_file(std::string const& name, int records)
{
    write_raw_file(name, 12, std::vector<std::vector<int16_t>>(records, std::vector<int16_t>(5000, 0)));
}

// The processing phase's part of the console output.
std::string processing_part(std::string const& out)
{
    size_t p = out.find("Processing...\n");
    return p == std::string::npos ? "" : out.substr(p);
}

}  // namespace

// Every event of every session reaches a worker and comes back, whatever the
// number of workers; each file is announced once per phase.
TEST(MasterMpi, MovesEveryEventWithTwoThreeAndFourRanks)
{
    TempDir dir;
    write_setup(130, "2 3", "1 1");
    write_quiet_file("raw.1", 130);
    write_quiet_file("raw.2", 130);
    write_quiet_file("raw.3", 130);
    for (int ranks : {2, 3, 4}) {
        CommandResult r = run_mpi(ranks, ZORV_MPI_EXE, dir.path());
        std::string proc = processing_part(r.output);
        EXPECT_EQ(count_of(r.output, "Processing file: raw.1\n"), 1) << r.output;
        EXPECT_EQ(count_of(proc, "Processing file: raw.2\n"), 1) << r.output;
        EXPECT_EQ(count_of(proc, "Processing file: raw.3\n"), 1) << r.output;
        // refresh_interval 0: every result after the 200th reports, so the
        // processing phase's 260 results give 60 progress lines.
        EXPECT_EQ(count_of(proc, "\r"), 60) << ranks << " ranks";
        EXPECT_EQ(count_of(proc, "Done: 100.0%, Good waveforms: 0.0% 0.0%, All 0.0%, Waveforms per second: "), 1);
        EXPECT_NE(proc.find("Good waveforms: 0.00% 0.00%, All 0.00%\n"), std::string::npos);
        EXPECT_EQ(file_size("ab0.bin"), 0);
        EXPECT_EQ(file_size("decay1.txt"), 0);
    }
}

// On a terminal the rest of a progress line is cleared before the next
// output; through a pipe (or into a log file) the bytes stay as they were.
TEST(MasterMpi, ProgressLineIsClearedOnATerminalOnly)
{
    TempDir dir;
    write_setup(202, "1 1", "1 1");
    write_quiet_file("raw.1", 202);
    CommandResult piped = run_mpi(2, ZORV_MPI_EXE, dir.path());
    EXPECT_EQ(piped.output.find('\x1b'), std::string::npos);
    EXPECT_NE(piped.output.find("\rGood waveforms: 0.00% 0.00%, All 0.00%\n"), std::string::npos)
        << piped.output;

    // script(1) runs the launcher on a terminal of its own.
    CommandResult tty = run_command(
        "cd '" + dir.path() + "' && OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
        "OMPI_MCA_mpi_yield_when_idle=1 script -qec '" ZORV_MPIEXEC " --oversubscribe -n 2 " +
        std::string(ZORV_MPI_EXE) + "' /dev/null 2>&1");
    EXPECT_NE(tty.output.find("\r\x1b[KReading decayfile...\r\n"), std::string::npos) << tty.output;
    EXPECT_NE(tty.output.find("\r\x1b[KGood waveforms: 0.00% 0.00%, All 0.00%\r\n"), std::string::npos)
        << tty.output;
}

// A phase of fewer events than workers: the idle worker only gets its stop.
TEST(MasterMpi, PhaseWithFewerEventsThanWorkersEnds)
{
    TempDir dir;
    write_setup(2, "1 1", "1 1");
    write_quiet_file("raw.1", 2);
    CommandResult r = run_mpi(4, ZORV_MPI_EXE, dir.path());
    EXPECT_EQ(count_of(r.output, "Processing file: raw.1\n"), 2) << r.output;
    EXPECT_NE(r.output.find("Good waveforms: 0.00% 0.00%, All 0.00%\n"), std::string::npos) << r.output;
    EXPECT_EQ(count_of(r.output, "\r"), 0);  // at most 200 events: no progress line
}

// The progress line: stepping by rate x refresh_interval keeps it rare.
TEST(MasterMpi, ProgressLinesMoveTheThresholdOn)
{
    TempDir dir;
    write_setup(400, "1 1", "1 1", "1000");
    write_quiet_file("raw.1", 400);
    CommandResult r = run_mpi(3, ZORV_MPI_EXE, dir.path());
    // At thousands of results per second the threshold jumps past the
    // phase's end after the first report.
    EXPECT_EQ(count_of(processing_part(r.output), "\r"), 1) << r.output;
    EXPECT_NE(r.output.find("Done: 50.2%, Good waveforms: 0.0% 0.0%, All 0.0%, Waveforms per second: "),
              std::string::npos) << r.output;
}

// A missing session is reported and skipped, the next one still processed,
// and the run ends non-zero; a short file sends only its complete records.
TEST(MasterMpi, MissingAndShortSessionsAreReportedAndSkipped)
{
    TempDir dir;
    write_setup(150, "1 3", "1 1");
    write_quiet_file("raw.1", 150);
    write_quiet_file("raw.3", 150);
    CommandResult r = run_mpi(3, ZORV_MPI_EXE, dir.path());
    std::string proc = processing_part(r.output);
    EXPECT_NE(proc.find("Processing file: raw.1\n"), std::string::npos) << r.output;
    EXPECT_NE(proc.find("ERROR: Cannot open file: raw.2 (No such file or directory)\n"), std::string::npos) << r.output;
    EXPECT_NE(proc.find("Processing file: raw.3\n"), std::string::npos) << r.output;
    EXPECT_EQ(count_of(proc, "\r"), 100);  // 300 results sent and received
    EXPECT_NE(proc.find("Good waveforms: 0.00% 0.00%, All 0.00%\n"), std::string::npos);
    EXPECT_NE(r.status, 0);

    // raw.2 now holds 120 complete records and half of one more.
    std::vector<std::vector<int16_t>> records(120, std::vector<int16_t>(5000, 0));
    records.push_back(std::vector<int16_t>(2500, 0));
    write_raw_file("raw.2", 12, records);
    r = run_mpi(3, ZORV_MPI_EXE, dir.path());
    proc = processing_part(r.output);
    EXPECT_NE(proc.find("Error: File raw.2 holds only 120 complete records behind its header, "
                        "150 expected; skipping the rest of it\n"),
              std::string::npos) << r.output;
    EXPECT_NE(proc.find("Processing file: raw.3\n"), std::string::npos) << r.output;
    EXPECT_EQ(count_of(proc, "\r"), 220);  // 420 results
    EXPECT_NE(r.status, 0);
}

// Output files that cannot be created end the run on every rank, non-zero.
TEST(MasterMpi, UncreatableResultFileEndsTheRun)
{
    TempDir dir;
    write_setup(3, "1 1", "1 1");
    write_text("zorv_mpi.ini", read_text("zorv_mpi.ini") + "abfile_path = \"no/such/dir/ab\"\n");
    write_quiet_file("raw.1", 3);
    CommandResult r = run_mpi(3, ZORV_MPI_EXE, dir.path());
    EXPECT_NE(r.status, 0);
    // The workers' "Window length" lines may reach the launcher late, so
    // only the order of rank 0's own lines is certain.
    size_t start = r.output.find("Starting calibration\n");
    size_t error = r.output.find(
        "\nError: Cannot create result file: no/such/dir/ab0.bin (No such file or directory)\n");
    EXPECT_NE(start, std::string::npos) << r.output;
    EXPECT_NE(error, std::string::npos) << r.output;
    EXPECT_LT(start, error) << r.output;
    EXPECT_EQ(r.output.find("Processing..."), std::string::npos);
    EXPECT_EQ(r.output.find("Good waveforms"), std::string::npos);
}
