// How work reaches the workers changes speed, never results: batches of
// events per message (one that does not divide the phase, one larger than
// the phase) and workers that read the raw files themselves give every event
// the record the default protocol gives it. A worker that cannot read the
// raw files keeps its events for a resume.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fit/lane_exp.h"
#include "run/checkpoint.h"
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
// raw files, then with other files of the same names and sizes: the run
// names the worker, its host and the file, ends with status 1 and keeps the
// events of that batch pending in its checkpoint.
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

    // Files of the same names and sizes that are not rank 0's are not read:
    // their events stay pending too.
    ASSERT_EQ(chdir(other.c_str()), 0);
    write_session("raw.1", 33);
    write_session("raw.2", 44);
    ASSERT_EQ(chdir(top.path().c_str()), 0);
    CommandResult foreign = launch();
    EXPECT_NE(foreign.status, 0);
    EXPECT_NE(foreign.output.find("cannot read raw file raw.1 (it is not the file rank 0 read: "
                                  "size "),
              std::string::npos)
        << foreign.output;
    ASSERT_EQ(read_checkpoint(&cp, (dir + "/" + kCheckpointName).c_str()), 0);
    EXPECT_EQ(cp.counts.counter_all, 0);

    for (char const* raw : {"raw.1", "raw.2"}) {
        ASSERT_EQ(unlink((other + "/" + raw).c_str()), 0);
        ASSERT_EQ(symlink((dir + "/" + raw).c_str(), (other + "/" + raw).c_str()), 0);
    }
    CommandResult resumed = launch();
    EXPECT_EQ(resumed.status, 0) << resumed.output;
    const Made got = made_in(dir, resumed);
    EXPECT_TRUE(got.events == ref.events);
    EXPECT_EQ(got.histograms, ref.histograms);
    EXPECT_EQ(got.summary, ref.summary);
}

namespace {

// The value of `"key": <value>` after `from` in JSON text, as text: a
// number, a string or a flat array.
std::string json_value(std::string const& json, std::string const& key, size_t from = 0)
{
    const size_t at = json.find("\"" + key + "\": ", from);
    if (at == std::string::npos) return "";
    const size_t start = at + key.size() + 4;
    const size_t end =
        json[start] == '[' ? json.find(']', start) + 1 : json.find_first_of(",}\n", start);
    return json.substr(start, end - start);
}

// The outcome counts of phase `phase` in the summary, channel by channel, as
// "name count" pairs.
std::vector<std::vector<std::string>> summary_outcomes(std::string const& json,
                                                       std::string const& phase)
{
    std::vector<std::vector<std::string>> channels;
    size_t at = json.find("\"outcomes\": [", json.find("\"" + phase + "\": {"));
    for (int c = 0; c < 2 && at != std::string::npos; ++c) {
        const size_t open = json.find('{', at), close = json.find('}', open);
        std::vector<std::string> pairs;
        std::string body = json.substr(open + 1, close - open - 1);
        for (size_t q = body.find('"'); q != std::string::npos; q = body.find('"', q)) {
            const size_t end = body.find('"', q + 1);
            pairs.push_back(body.substr(q + 1, end - q - 1) + " " +
                            json_value(body, body.substr(q + 1, end - q - 1), q));
            q = end + 1;
        }
        channels.push_back(pairs);
        at = close;
    }
    return channels;
}

}  // namespace

// Every record knows its raw event, and the exponential computed in vector
// lanes changes no bit: with four workers (records in arrival
// order, batches of 7), line i of events.txt names the raw event whose fit by
// a lone worker (records in event order) is record i, bit for bit. The run
// summary's outcomes add up to the results and are the same with one worker
// and with four, and its decay rates read back to the held ones bit for bit.
TEST(FarmMpi, EveryRecordKnowsItsRawEventAndTheSummaryItsOutcomes)
{
    TempDir top;
    const std::string one = run_folder(top, "one", "");
    const std::string four = run_folder(top, "four", "events_per_message = 7\n");
    // The lone worker computes exp with the C library alone, the four in
    // vector lanes where their start-up check allows: the same records.
    setenv("ZORV_EXP", "library", 1);
    ASSERT_EQ(run_mpi(2, ZORV_MPI_EXE, one).status, 0);
    unsetenv("ZORV_EXP");
    ASSERT_EQ(run_mpi(5, ZORV_MPI_EXE, four).status, 0);

    auto records_of = [](std::string const& dir) {
        std::vector<std::string> events = read_lines(dir + "/events.txt");
        std::string ab[2] = {read_text(dir + "/ab0.bin"), read_text(dir + "/ab1.bin")};
        std::vector<std::pair<std::string, std::string>> out;
        EXPECT_EQ(events.size() * 72, ab[0].size());
        for (size_t i = 0; i < events.size() && 72 * i < ab[0].size(); ++i)
            out.emplace_back(events[i], ab[0].substr(72 * i, 72) + ab[1].substr(72 * i, 72));
        return out;
    };
    const auto lone = records_of(one);
    ASSERT_GT(lone.size(), 50u);
    std::map<std::string, std::string> by_event;
    for (size_t i = 0; i < lone.size(); ++i) {
        // A lone worker answers in event order: raw.2, records ascending.
        int session = 0, record = 0, prev = -1;
        ASSERT_EQ(std::sscanf(lone[i].first.c_str(), "%d %d", &session, &record), 2);
        if (i > 0) std::sscanf(lone[i - 1].first.c_str(), "%*d %d", &prev);
        EXPECT_EQ(session, 2);
        EXPECT_GT(record, prev);
        by_event[lone[i].first] = lone[i].second;
    }
    const auto many = records_of(four);
    EXPECT_EQ(many.size(), lone.size());
    std::set<std::string> seen;
    for (auto const& r : many) {
        EXPECT_TRUE(seen.insert(r.first).second) << r.first;
        ASSERT_EQ(by_event.count(r.first), 1u) << r.first;
        EXPECT_TRUE(by_event[r.first] == r.second) << r.first;
    }

    // zorv_event analyses a raw event as a worker did: the numbers of a
    // record, to the last bit.
    std::string args;
    for (size_t i = 0; i < many.size() && i < 30; ++i) args += " " + many[i].first;
    const CommandResult event = run_command("cd '" + four + "' && " ZORV_EVENT_EXE + args);
    ASSERT_EQ(event.status, 0) << event.output;
    size_t at = 0;
    for (size_t i = 0; i < many.size() && i < 30; ++i) {
        for (int c = 0; c < 2; ++c) {
            double block[9];
            std::memcpy(block, many[i].second.data() + 72 * c, 72);
            std::string result = "\"outcome\": \"fitted\"";
            at = event.output.find(result, at);
            result = "\"result\": [";
            for (int k = 0; k < 9; ++k) {
                char number[40];
                std::snprintf(number, sizeof number, "%.17g", block[k]);
                result += (k ? ", " : "") + std::string(number);
            }
            at = event.output.find(result + "]", at);
            ASSERT_NE(at, std::string::npos) << many[i].first << " channel " << c;
        }
    }
    EXPECT_EQ(run_command(ZORV_EVENT_EXE " 2").status, 2);

    const std::string json_one = read_text(one + "/zorv_mpi.summary.json");
    const std::string json_four = read_text(four + "/zorv_mpi.summary.json");
    EXPECT_EQ(json_value(json_four, "status"), "\"finished\"");
    EXPECT_EQ(json_value(json_one, "exp"), "\"library\"");
    EXPECT_EQ(json_value(json_four, "exp"), "\"" + std::string(zorv_fit::exp_kind()) + "\"");
    for (char const* phase : {"calibration", "processing"}) {
        SCOPED_TRACE(phase);
        const auto outcomes = summary_outcomes(json_four, phase);
        ASSERT_EQ(outcomes.size(), 2u);
        EXPECT_EQ(outcomes, summary_outcomes(json_one, phase));
        const long results =
            std::stol(json_value(json_four, "results", json_four.find("\"" + std::string(phase))));
        EXPECT_EQ(results, kEvents);
        for (auto const& channel : outcomes) {
            long sum = 0;
            for (auto const& pair : channel) sum += std::stol(pair.substr(pair.find(' ') + 1));
            EXPECT_EQ(sum, results);
        }
    }
    const std::string rates = json_value(json_four, "decay_rates");
    double decay[2] = {0.0, 0.0};
    ASSERT_EQ(std::sscanf(rates.c_str(), "[%lf, %lf", &decay[0], &decay[1]), 2) << rates;
    const auto ab0 = read_result_file(four + "/ab0.bin");
    const auto ab1 = read_result_file(four + "/ab1.bin");
    ASSERT_FALSE(ab0.empty());
    EXPECT_EQ(ab0[0][2], decay[0]);
    EXPECT_EQ(ab1[0][2], decay[1]);
}
