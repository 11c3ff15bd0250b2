// How work reaches the workers changes speed, never results: batches of
// events per message (one that does not divide the phase, one larger than
// the phase) and workers that read the raw files themselves give every event
// the record the default protocol gives it. A worker that cannot read the
// raw files keeps its events for a resume.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "checkpoint.h"
#include "test_sessions.h"
#include "test_util.h"

namespace {

// What a run made: its events as (ab0 record, ab1 record, decay0 line,
// decay1 line), sorted, its decay histograms and its summary line.
struct Made {
    int status;
    std::string output;
    std::vector<std::string> events;
    std::string histograms;
    std::string summary;
};

Made made_in(std::string const& dir, CommandResult const& r)
{
    Made m{r.status, r.output, {}, "", ""};
    const std::string ab[2] = {read_text(dir + "/ab0.bin"), read_text(dir + "/ab1.bin")};
    const std::vector<std::string> decay[2] = {read_lines(dir + "/decay0.txt"),
                                               read_lines(dir + "/decay1.txt")};
    EXPECT_EQ(ab[0].size(), ab[1].size());
    for (size_t i = 0; i < ab[0].size() / 72 && i < decay[0].size() && i < decay[1].size(); ++i)
        m.events.push_back(ab[0].substr(72 * i, 72) + ab[1].substr(72 * i, 72) + decay[0][i] +
                           "\n" + decay[1][i]);
    std::sort(m.events.begin(), m.events.end());
    m.histograms = read_text(dir + "/decay_hist0.txt") + read_text(dir + "/decay_hist1.txt");
    const size_t at = r.output.find("Good waveforms: ");
    if (at != std::string::npos) m.summary = r.output.substr(at, r.output.find('\n', at) - at);
    return m;
}

// A run folder holding the setup (with `extra` settings) and both sessions.
std::string run_folder(TempDir& top, std::string const& name, std::string const& extra)
{
    const std::string dir = top.file(name.c_str());
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(chdir(dir.c_str()), 0);
    write_setup(extra);
    write_session("raw.1", 11);
    write_session("raw.2", 22);
    EXPECT_EQ(chdir(top.path().c_str()), 0);
    return dir;
}

}  // namespace

TEST(FarmMpi, EveryWayOfHandingOutWorkGivesTheSameRecords)
{
    TempDir top;
    const std::string reference = run_folder(top, "reference", "");
    const Made ref = made_in(reference, run_mpi(2, ZORV_MPI_EXE, reference));
    ASSERT_EQ(ref.status, 0) << ref.output;
    ASSERT_GT(ref.events.size(), 50u);
    ASSERT_FALSE(ref.summary.empty());

    struct Mode {
        char const* settings;
        int workers;
    } const modes[] = {
        {"events_per_message = 7\n", 2},  // 150 = 21 x 7 + 3
        {"events_per_message = 7\n", 4},
        {"events_per_message = 32\nworker_reads = 1\n", 2},
        {"events_per_message = 32\nworker_reads = 1\n", 4},
        {"events_per_message = 500\nworker_reads = 1\n", 4},  // more than a phase
        {"events_per_message = 1\nworker_reads = 1\n", 4},
    };
    int n = 0;
    for (Mode const& m : modes) {
        SCOPED_TRACE(std::string(m.settings) + std::to_string(m.workers) + " workers");
        const std::string dir = run_folder(top, "mode" + std::to_string(n++), m.settings);
        const Made got = made_in(dir, run_mpi(m.workers + 1, ZORV_MPI_EXE, dir));
        EXPECT_EQ(got.status, 0) << got.output;
        EXPECT_TRUE(got.events == ref.events);
        EXPECT_EQ(got.histograms, ref.histograms);
        EXPECT_EQ(got.summary, ref.summary);
    }
}

// Workers started in a folder of their own (mpiexec --wdir) that lacks the
// raw files: the run names the worker, its host and the file, ends with
// status 1 and keeps the events of that batch pending in its checkpoint.
// Once the files are there, a resume finishes the run with the records of
// one that never failed.
TEST(FarmMpi, WorkerWithoutTheRawFilesKeepsItsEventsForAResume)
{
    TempDir top;
    const std::string reference = run_folder(top, "reference", "");
    const Made ref = made_in(reference, run_mpi(2, ZORV_MPI_EXE, reference));
    ASSERT_EQ(ref.status, 0) << ref.output;

    const std::string dir = run_folder(
        top, "run",
        "events_per_message = 32\nworker_reads = 1\nresume = 1\ncheckpoint_interval = 5\n");
    const std::string other = top.file("workers");
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    auto launch = [&] {
        return run_command("cd '" + dir +
                           "' && OMPI_ALLOW_RUN_AS_ROOT=1 "
                           "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_mpi_yield_when_idle=1 "
                           "timeout 120 " ZORV_MPIEXEC " --oversubscribe -n 1 " ZORV_MPI_EXE
                           " : -n 2 --wdir '" +
                           other + "' " ZORV_MPI_EXE " 2>/dev/null");
    };
    CommandResult failed = launch();
    EXPECT_NE(failed.status, 0);
    EXPECT_NE(failed.output.find("cannot read raw file raw.1 (No such file or directory); its "
                                 "events are kept to be done again when the run is resumed\n"),
              std::string::npos)
        << failed.output;
    // One line per worker, however many of its batches fail.
    EXPECT_LE(count_of(failed.output, "cannot read raw file"), 2) << failed.output;
    EXPECT_NE(failed.output.find("Error: Worker "), std::string::npos) << failed.output;
    EXPECT_NE(failed.output.find("The run ended early in the calibration phase after 0 of 150 "
                                 "events; to continue, set resume = 1"),
              std::string::npos)
        << failed.output;
    Checkpoint cp;
    ASSERT_EQ(read_checkpoint(&cp, (dir + "/" + kCheckpointName).c_str()), 0);
    EXPECT_FALSE(cp.finished);
    EXPECT_GE(cp.pending.size(), 32u);
    EXPECT_EQ(cp.counts.counter_all, 0);

    for (char const* raw : {"raw.1", "raw.2"})
        ASSERT_EQ(symlink((dir + "/" + raw).c_str(), (other + "/" + raw).c_str()), 0);
    CommandResult resumed = launch();
    EXPECT_EQ(resumed.status, 0) << resumed.output;
    const Made got = made_in(dir, resumed);
    EXPECT_TRUE(got.events == ref.events);
    EXPECT_EQ(got.histograms, ref.histograms);
    EXPECT_EQ(got.summary, ref.summary);
}
