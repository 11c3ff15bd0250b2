// One run of zorv_mpi interrupted again and again and resumed each time: a
// write error under a file-size limit, a checkpoint of another run, SIGTERM
// to mpiexec in the calibration phase, SIGUSR1 in the processing phase,
// checkpoints that do not hold together, SIGKILL of rank 0 and of a worker,
// a second start in the same folder. In the end its outputs must equal those
// of a run that was never interrupted, and after every graceful stop the four
// files must hold whole, aligned events; the finished run then keeps them
// when it is started again without its raw files.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "run/checkpoint.h"
#include "test_util.h"

namespace {

// Long enough that SIGTERM, which mpiexec passes on to the ranks only after
// its kill timeout of a second, still finds the phase running with one
// worker; under AddressSanitizer the fits are several times slower, so fewer
// events do.
#ifdef __SANITIZE_ADDRESS__
constexpr int kWaveforms = 2000;
#else
constexpr int kWaveforms = 6000;
#endif

std::string ini(char const* bcg = "-24000 -24000",
                char const* checkpoints = "resume = 1\ncheckpoint_interval = 0.2\n")
{
    return std::string(
               "infile_path = \"synth\"\n"
               "abfile_path = \"ab\"\n"
               "waveforms = ") +
           std::to_string(kWaveforms) +
           "\n"
           "data_offset = 12\n"
           "hist_overflow = 0.05\n"
           "refresh_interval = 1\n"
           "cal_sessions = 1 1\n"
           "sessions = 2 2\n"
           "decay_est = -0.0015 -0.0015\n"
           "bcg_est = " +
           bcg + "\n" + checkpoints;
}

// A run directory on zorv_gen's synthetic files, sessions 1 and 2.
void set_up_run(std::string const& dir, std::string const& data)
{
    mkdir(dir.c_str(), 0755);
    for (char const* link : {"synth.1", "synth.2"}) {
        std::string target = data + (link[6] == '1' ? "/synth-1.zvx" : "/synth-1.sgl");
        ASSERT_EQ(symlink(target.c_str(), (dir + "/" + link).c_str()), 0);
    }
    ASSERT_TRUE(write_text(dir + "/win.txt", read_text(ZORV_SOURCE_DIR "/examples/win.txt")));
    ASSERT_TRUE(write_text(dir + "/zorv_mpi.ini", ini()));
}

// mpiexec with rank 0 and one worker in `dir`, its output in
// <dir>.console<n>.
pid_t start_job(std::string const& dir, int n)
{
    std::string cmd = "cd '" + dir + "' && OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
                      "OMPI_MCA_mpi_yield_when_idle=1 exec " ZORV_MPIEXEC
                      " --oversubscribe -n 2 " ZORV_MPI_EXE " > '" + dir + ".console" +
                      std::to_string(n) + "' 2> '" + dir + ".launcher" + std::to_string(n) + "'";
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int wait_job(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Polls the run's checkpoint until it shows `phase` with at least `events`
// events read, and the run summary, which every checkpoint writes too, says
// that phase runs. False when the job ended first or it takes too long.
bool wait_for_progress(pid_t job, std::string const& dir, int phase, int events)
{
    const std::string name = dir + "/" + kCheckpointName;
    for (int i = 0; i < 6000; ++i) {
        if (waitpid(job, nullptr, WNOHANG) == job) return false;
        Checkpoint cp;
        std::string out = capture_stdout([&] { read_checkpoint(&cp, name.c_str()); });
        const std::string summary = read_text(dir + "/" + kSummaryName);
        const std::string running = "\"status\": \"running\",\n";
        const std::string in_phase =
            "\"phase\": \"" + std::string(kPhaseNames[phase]) + "\",\n";
        if (!cp.finished && static_cast<int>(cp.phase) == phase && cp.next_event >= events &&
            summary.find(running) != std::string::npos && summary.find(in_phase) != std::string::npos)
            return true;
        const timespec pause = {0, 10000000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// The rank `rank` started by mpiexec `launcher`, found among its children.
pid_t rank_pid(pid_t launcher, int rank)
{
    const std::string wanted = "OMPI_COMM_WORLD_RANK=" + std::to_string(rank);
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    while (dirent* d = readdir(proc)) {
        pid_t pid = std::atoi(d->d_name);
        if (pid <= 0) continue;
        std::string stat = read_text("/proc/" + std::string(d->d_name) + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos || std::atoi(stat.c_str() + close + 4) != launcher) continue;
        std::string env = read_text("/proc/" + std::string(d->d_name) + "/environ");
        for (size_t at = 0; at < env.size(); at = env.find('\0', at) + 1)
            if (env.compare(at, wanted.size() + 1, wanted + '\0') == 0) found = pid;
    }
    closedir(proc);
    return found;
}

// A small file system of its own for the run, so that its disk can be full.
// Needs the right to mount (root, as in CI); `mounted` is false otherwise.
struct SmallDisk {
    std::string dir;
    bool mounted;
    SmallDisk(std::string const& d, char const* size)
        : dir(d), mounted(run_command("mount -t tmpfs -o size=" + std::string(size) + " tmpfs '" +
                                      d + "' 2>/dev/null").status == 0) {}
    void grow() { run_command("mount -o remount,size=64m '" + dir + "'"); }
    ~SmallDisk()
    {
        if (mounted) run_command("umount '" + dir + "'");
    }
};

std::string decay_text(double v)
{
    char text[400];
    std::snprintf(text, sizeof text, "%.12f", v);
    return text;
}

// The events of the seven outputs as (ab0 record, decay0 line, ab1 record,
// decay1 line, events.txt line, ab0.err record, ab1.err record), checking on
// the way that they hold whole, aligned events: record i of both result and
// precision files and line i of both decay lists and of the provenance list
// belong to one event, whose decay rate the decay lines repeat.
std::vector<std::string> aligned_events(std::string const& dir)
{
    std::string ab[2] = {read_text(dir + "/ab0.bin"), read_text(dir + "/ab1.bin")};
    std::vector<std::string> decay[2] = {read_lines(dir + "/decay0.txt"),
                                         read_lines(dir + "/decay1.txt")};
    const std::vector<std::string> raw = read_lines(dir + "/events.txt");
    const std::string err[2] = {read_text(dir + "/ab0.err.bin"), read_text(dir + "/ab1.err.bin")};
    EXPECT_EQ(err[0].size(), ab[0].size());
    EXPECT_EQ(err[1].size(), ab[0].size());
    EXPECT_EQ(ab[0].size() % 72, 0u);
    EXPECT_EQ(ab[0].size(), ab[1].size());
    const size_t n = ab[0].size() / 72;
    EXPECT_EQ(decay[0].size(), n);
    EXPECT_EQ(decay[1].size(), n);
    EXPECT_EQ(raw.size(), n);
    EXPECT_EQ(n ? read_text(dir + "/decay0.txt").back() : '\n', '\n');
    std::vector<std::string> events;
    for (size_t i = 0; i < n && i < decay[0].size() && i < decay[1].size(); ++i) {
        std::string event;
        for (int c = 0; c < 2; ++c) {
            double rate;
            std::memcpy(&rate, ab[c].data() + 72 * i + 16, sizeof rate);
            EXPECT_EQ(decay[c][i], decay_text(rate)) << "event " << i << " channel " << c;
            event += ab[c].substr(72 * i, 72) + decay[c][i] + "\n";
        }
        event += i < raw.size() ? raw[i] : "";
        for (int c = 0; c < 2; ++c) event += err[c].substr(72 * i, 72);
        events.push_back(event);
    }
    std::sort(events.begin(), events.end());
    return events;
}

// Every file of a directory but the run lock (which each start takes):
// name -> size, modification time and contents.
std::map<std::string, std::string> snapshot(std::string const& dir)
{
    std::map<std::string, std::string> files;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, "zorv_mpi.lock") == 0) continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        files[e->d_name] = std::to_string(st.st_mtim.tv_sec) + "." +
                           std::to_string(st.st_mtim.tv_nsec) + " " + read_text(path);
    }
    closedir(d);
    return files;
}

// The console lines of a run that start with `prefix`, carriage returns
// taken as line ends.
std::vector<std::string> lines_starting(std::string const& console, std::string const& prefix)
{
    std::string text = console;
    std::replace(text.begin(), text.end(), '\r', '\n');
    std::vector<std::string> found;
    for (std::string const& line : split_lines(text))
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
}

bool contains(std::string const& text, std::string const& what)
{
    return text.find(what) != std::string::npos;
}

}  // namespace

TEST(ResumeMpi, InterruptedRunEndsWithTheResultsOfAnUninterruptedOne)
{
    TempDir top;
    const std::string data = top.file("data"), whole = top.file("whole"), run = top.file("run");
    mkdir(data.c_str(), 0755);
    mkdir(run.c_str(), 0755);
    ASSERT_EQ(run_command("cd '" + data + "' && " ZORV_GEN_EXE " > /dev/null").status, 0);
    // 512 KiB hold about 1,500 events of the seven outputs (328 bytes each),
    // a few checkpoints' worth: the disk fills up in the middle of the
    // calibration phase.
    SmallDisk disk(run, "512k");
    set_up_run(whole, data);
    set_up_run(run, data);
    auto console_of = [&](int n) { return read_text(run + ".console" + std::to_string(n)); };

    // The reference: never interrupted. resume = 1 without a checkpoint
    // starts from the beginning and says so.
    ASSERT_EQ(wait_job(start_job(whole, 0)), 0)
        << read_text(whole + ".console0") << read_text(whole + ".launcher0");
    const std::string reference = read_text(whole + ".console0");
    EXPECT_TRUE(contains(reference, "No checkpoint zorv_mpi.checkpoint: starting from the beginning\n"));

    // Without checkpoints: the same results, and no checkpoint is left, not
    // even an older one that would describe outputs the run replaced. A
    // SIGTERM to the worker alone does not end the run either: the worker
    // finishes its part and ends cleanly, so that mpiexec reports success.
    const std::string bare = top.file("bare");
    set_up_run(bare, data);
    ASSERT_TRUE(
        write_text(bare + "/zorv_mpi.ini", ini("-24000 -24000", "checkpoint_interval = 0\n")));
    ASSERT_TRUE(write_text(bare + "/" + kCheckpointName, read_text(whole + "/" + kCheckpointName)));
    pid_t job = start_job(bare, 0);
    pid_t worker = -1;
    // Once the run is under way (a signal before a process has even begun
    // its main function is the default's to handle).
    for (int i = 0; i < 3000 && worker < 0; ++i) {
        const timespec pause = {0, 10000000};
        nanosleep(&pause, nullptr);
        if (contains(read_text(bare + ".console0"), "Processing file: synth.1\n"))
            worker = rank_pid(job, 1);
    }
    ASSERT_GT(worker, 0);
    kill(worker, SIGTERM);
    ASSERT_EQ(wait_job(job), 0) << read_text(bare + ".console0") << read_text(bare + ".launcher0");
    EXPECT_FALSE(file_exists(bare + "/" + kCheckpointName));
    EXPECT_TRUE(aligned_events(bare) == aligned_events(whole));

    // 1. A full disk: the outputs end at the last whole event.
    std::string console;
    if (disk.mounted) {
        EXPECT_EQ(wait_job(start_job(run, 1)), 1);
        console = console_of(1);
        EXPECT_TRUE(contains(console, "(No space left on device)\n")) << console;
        EXPECT_TRUE(contains(console, "The run ended early in the calibration phase after ")) << console;
        EXPECT_GT(aligned_events(run).size(), 0u);
        disk.grow();
    } else {
        // Without the right to mount a small file system the full disk is
        // not tried; a stop early in the phase leaves the checkpoint instead.
        std::printf("No right to mount a small file system: the full disk is not tried\n");
        pid_t early = start_job(run, 1);
        ASSERT_TRUE(wait_for_progress(early, run, 0, 300));
        kill(early, SIGUSR1);
        EXPECT_EQ(wait_job(early), 75);
    }

    // 2. A checkpoint of another run is refused, and nothing is touched.
    auto before = snapshot(run);
    ASSERT_TRUE(write_text(run + "/zorv_mpi.ini", ini("-24001 -24000")));
    before["zorv_mpi.ini"] = snapshot(run)["zorv_mpi.ini"];
    EXPECT_EQ(wait_job(start_job(run, 2)), 1);
    console = console_of(2);
    EXPECT_TRUE(contains(console, "Error: Checkpoint zorv_mpi.checkpoint belongs to another run: "
                                  "bcg_est was -24000 -24000, is now -24001 -24000\n")) << console;
    EXPECT_TRUE(snapshot(run) == before);
    ASSERT_TRUE(write_text(run + "/zorv_mpi.ini", ini()));

    // 3. SIGTERM to mpiexec in the calibration phase.
    job = start_job(run, 3);
    // Soon after the restart, so that most of the phase is still ahead.
    Checkpoint restart;
    ASSERT_EQ(read_checkpoint(&restart, (run + "/" + kCheckpointName).c_str()), 0);
    ASSERT_TRUE(wait_for_progress(job, run, 0, restart.next_event + 100));
    kill(job, SIGTERM);
    wait_job(job);
    console = console_of(3);
    EXPECT_TRUE(contains(console, "Resuming the calibration phase from zorv_mpi.checkpoint: ")) << console;
    EXPECT_TRUE(contains(console, "Stopped by SIGTERM in the calibration phase after ")) << console;
    aligned_events(run);

    // 4. SIGUSR1 in the processing phase: mpiexec forwards it and the job
    // ends with the ranks' own status.
    job = start_job(run, 4);
    ASSERT_TRUE(wait_for_progress(job, run, 1, kWaveforms / 6));
    kill(job, SIGUSR1);
    EXPECT_EQ(wait_job(job), 75);
    const std::string calibrated = console_of(4);
    EXPECT_TRUE(contains(calibrated, "Stopped by SIGUSR1 in the processing phase after ")) << calibrated;
    EXPECT_EQ(aligned_events(run).size() * 72, static_cast<size_t>(file_size(run + "/ab0.bin")));

    // A checkpoint that does not hold together, edited by hand (with its
    // checksum made to match) or damaged on disk, is refused before any file
    // is touched.
    {
        const std::string name = run + "/" + kCheckpointName;
        const std::string saved_text = read_text(name);
        Checkpoint good;
        ASSERT_EQ(read_checkpoint(&good, name.c_str()), 0);
        ASSERT_GT(good.counts.nbr_all_ok, 0);
        const double nan = 0.0 / 0.0, inf = 1.0 / 0.0;
        const int64_t huge = INT64_MAX;
        const std::string apart = "does not hold together: ";
        struct Edit {
            char const* what;
            std::function<void(Checkpoint&)> change;
            std::string message;
        } const edits[] = {
            {"next_event 0", [](Checkpoint& c) { c.next_event = 0; }, apart},
            {"next_event beyond what was read", [](Checkpoint& c) { c.next_event += 847; }, apart},
            {"pending named twice",
             [](Checkpoint& c) {
                 c.pending = {5, 5, 5};
             },
             apart},
            {"calibrated nan", [=](Checkpoint& c) { c.decay[0] = c.decay[1] = nan; }, apart},
            {"calibrated inf", [=](Checkpoint& c) { c.decay[0] = inf, c.decay[1] = -inf; }, apart},
            {"first output 100 bytes", [](Checkpoint& c) { c.outputs.bytes[0] = 100; }, apart},
            {"ab1 and decay1 of one event",
             [](Checkpoint& c) { c.outputs.bytes[2] = 72, c.outputs.bytes[3] = 16; }, apart},
            {"counters above the events",
             [](Checkpoint& c) { c.counts.counter_all = c.counts.nbr_ok[0] = 118024; }, apart},
            {"INT64_MAX counters",
             [=](Checkpoint& c) {
                 c.counts.counter_all = c.counts.nbr_ok[0] = c.counts.nbr_ok[1] = huge;
             },
             apart},
            {"phase calibration on processing outputs", [](Checkpoint& c) { c.phase = Phase::kCalibration; }, apart},
            {"a decay list one line short", [](Checkpoint& c) { c.outputs.bytes[1] -= 16; },
             "Error: Cannot continue: line "},
            {"a damaged byte", nullptr, "is damaged (its checksum does not match its contents)"},
        };
        for (Edit const& e : edits) {
            SCOPED_TRACE(e.what);
            if (e.change) {
                Checkpoint edited = good;
                e.change(edited);
                ASSERT_EQ(write_checkpoint(edited, name.c_str()), 0);
            } else {
                std::string text = saved_text;
                text[text.find("next_event ") + 11] ^= 1;  // a digit one off
                ASSERT_TRUE(write_text(name, text));
            }
            const auto files = snapshot(run);
            EXPECT_EQ(wait_job(start_job(run, 41)), 1);
            EXPECT_TRUE(contains(console_of(41), e.message)) << console_of(41);
            EXPECT_TRUE(snapshot(run) == files);
        }
        ASSERT_TRUE(write_text(name, saved_text));
    }

    // 5 and 6. Hard kills of rank 0 and of a worker: the last checkpoint is
    // the way back. These two starts hand out batches of 32 events that the
    // worker reads itself (how work is handed out is no part of the run's
    // fingerprint, so a run resumes with other settings for it), so that
    // the kills find whole batches in flight.
    ASSERT_TRUE(
        write_text(run + "/zorv_mpi.ini", ini("-24000 -24000",
                                              "resume = 1\ncheckpoint_interval = 0.2\n"
                                              "events_per_message = 32\nworker_reads = 1\n")));
    for (int rank : {0, 1}) {
        job = start_job(run, 5 + rank);
        ASSERT_TRUE(wait_for_progress(job, run, 1, kWaveforms / 2 + kWaveforms / 4 * rank));
        pid_t victim = rank_pid(job, rank);
        ASSERT_GT(victim, 0);
        kill(victim, SIGKILL);
        EXPECT_NE(wait_job(job), 0);
        EXPECT_TRUE(contains(console_of(5 + rank),
                             "Calibration done before the interruption; decay rates from "
                             "zorv_mpi.checkpoint:\n"));
    }

    // 7. The last resume finishes the run, one event at a time again. A
    // second start in the same folder meanwhile (a requeue overlapping a
    // start by hand) refuses and leaves the running one alone.
    ASSERT_TRUE(write_text(run + "/zorv_mpi.ini", ini()));
    job = start_job(run, 7);
    Checkpoint before_last;
    ASSERT_EQ(read_checkpoint(&before_last, (run + "/" + kCheckpointName).c_str()), 0);
    ASSERT_TRUE(wait_for_progress(job, run, 1, before_last.next_event + 1));
    EXPECT_EQ(wait_job(start_job(run, 70)), 1);
    EXPECT_TRUE(contains(console_of(70), "Error: Another zorv_mpi runs in this folder (pid "))
        << console_of(70);
    ASSERT_EQ(wait_job(job), 0) << console_of(7);
    const std::string last = console_of(7);
    EXPECT_TRUE(aligned_events(run) == aligned_events(whole));
    for (char const* hist : {"/decay_hist0.txt", "/decay_hist1.txt"})
        EXPECT_EQ(read_text(run + hist), read_text(whole + hist));
    EXPECT_EQ(lines_starting(calibrated, "Channel "), lines_starting(reference, "Channel "));
    EXPECT_EQ(lines_starting(last, "Good waveforms: "), lines_starting(reference, "Good waveforms: "));
    EXPECT_EQ(lines_starting(last, "Good waveforms: ").size(), 1u);
    Checkpoint cp;
    ASSERT_EQ(read_checkpoint(&cp, (run + "/" + kCheckpointName).c_str()), 0);
    EXPECT_TRUE(cp.finished);

    // A finished run started again, its raw files gone, keeps its results:
    // with resume = 1 there is nothing to do; with resume = 0 no raw file of
    // the calibration can be read, and nothing is touched either.
    unlink((run + "/synth.1").c_str());
    unlink((run + "/synth.2").c_str());
    const auto finished = snapshot(run);
    EXPECT_EQ(wait_job(start_job(run, 8)), 0);
    EXPECT_TRUE(contains(console_of(8),
                         "Checkpoint zorv_mpi.checkpoint is of a finished run: "
                         "nothing to do (set resume = 0 to run it again)\n"))
        << console_of(8);
    EXPECT_TRUE(snapshot(run) == finished);
    ASSERT_TRUE(write_text(run + "/zorv_mpi.ini", ini("-24000 -24000", "resume = 0\n")));
    EXPECT_EQ(wait_job(start_job(run, 9)), 1);
    // The reader's own line for each file, then what it means.
    EXPECT_TRUE(contains(console_of(9),
                         "ERROR: Cannot open file: synth.1 (No such file or directory)\n"
                         "Error: None of the raw files synth.1 to synth.1 of the "
                         "calibration phase can be read; no output was touched\n"))
        << console_of(9);
    // (The worker has made its empty fit.txt anew as it does in every phase.)
    auto untouched = snapshot(run);
    untouched["zorv_mpi.ini"] = finished.at("zorv_mpi.ini");
    untouched["fit.txt"] = finished.at("fit.txt");
    EXPECT_TRUE(untouched == finished);
}
