// Run sequence of zorv_mpi.
//
// Collectives pair up across ranks in this order: the hosts' names (gathered
// on rank 0), go/no-go flag, kernel count, kernel values, decay_est,
// bcg_est, the phase to start with, what the workers need of the settings,
// how the workers compute exp (counted on rank 0), barrier; after the calibration phase its outcome and the decay rates the
// processing phase holds; after the processing phase the exit status. The
// go/no-go flag and the outcome let rank 0 end the run cleanly on every rank
// when it cannot or must not go on, instead of leaving the workers waiting.

#include "mpi/run.h"

#include <mpi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fit/lane_exp.h"
#include "run/calibrate.h"
#include "run/diagnosis.h"
#include "physics/channel.h"
#include "run/checkpoint.h"
#include "io/config.h"
#include "io/datafile.h"
#include "io/kernel_file.h"
#include "mpi/master.h"
#include "run/results.h"
#include "run/run_lock.h"
#include "run/run_summary.h"
#include "io/settings.h"
#include "run/stop_signal.h"
#include "physics/window.h"
#include "mpi/worker.h"

namespace {

// Where a run starts: from the beginning, or inside the phase its checkpoint
// names.
enum Start { kFresh = 0, kResumeCalibration = 1, kResumeProcessing = 2 };

// What rank 0 decides before the kernel goes out: stop with status 1, go
// ahead, or stop with status 0 (the run's checkpoint says it is finished).
enum Go { kRefuse = 0, kGo = 1, kNothingToDo = 2 };

void print_time_stamp()
{
    std::time_t now = std::time(nullptr);
    std::printf("%s", std::ctime(&now));
}

// Broadcasts rank 0's value (a go/no-go flag, a phase's outcome); every rank
// returns it.
int agree_on(int value)
{
    std::fflush(stdout);
    MPI_Bcast(&value, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return value;
}

// What rank 0 knows of the run: its settings, where it starts, what every
// checkpoint holds, and the host of each rank.
struct RunPlan {
    RunSettings settings;
    std::vector<std::string> notes;  // the notes on the settings, for the summary
    bool dry = false;                // --check: touch nothing
    Checkpoint record;
    int start = kFresh;
    std::vector<std::string> hosts;
};

// The settings a worker needs, as they travel from rank 0: how its work
// comes (events per message, samples or numbers) and, for numbers, where
// the raw files are and how they are laid out.
struct WorkerSettings {
    char infile_path[kPathLength];
    int waveforms;
    int data_offset;
    int events_per_message;
    int worker_reads;
    int start_session, stop_session;
    int start_cal_session, stop_cal_session;
};

// Rank 0's settings reach every rank; the others fill theirs from them.
void share_worker_settings(int rank, RunSettings* s)
{
    WorkerSettings w = {};
    if (rank == 0) {
        std::snprintf(w.infile_path, sizeof w.infile_path, "%s", s->infile_path.c_str());
        w.waveforms = s->waveforms;
        w.data_offset = s->data_offset;
        w.events_per_message = s->events_per_message;
        w.worker_reads = s->worker_reads;
        w.start_session = s->start_session;
        w.stop_session = s->stop_session;
        w.start_cal_session = s->start_cal_session;
        w.stop_cal_session = s->stop_cal_session;
    }
    // Every rank runs the same program on the same kind of host.
    MPI_Bcast(&w, sizeof w, MPI_BYTE, 0, MPI_COMM_WORLD);
    if (rank == 0) return;
    s->infile_path = w.infile_path;
    s->waveforms = w.waveforms;
    s->data_offset = w.data_offset;
    s->events_per_message = w.events_per_message;
    s->worker_reads = w.worker_reads;
    s->start_session = w.start_session;
    s->stop_session = w.stop_session;
    s->start_cal_session = w.start_cal_session;
    s->stop_cal_session = w.stop_cal_session;
}

// How the workers compute exp, on rank 0: "vector" when every worker's
// lanes matched the C library at start-up, "library" when none did, "mixed"
// otherwise.
std::string gather_exp_kinds(int rank, int world_size)
{
    int vector = rank != 0 && std::strcmp(zorv_fit::exp_kind(), "vector") == 0 ? 1 : 0;
    int workers_in_vector = 0;
    MPI_Reduce(&vector, &workers_in_vector, 1, MPI_INT, MPI_SUM, 0, MPI_COMM_WORLD);
    return workers_in_vector == world_size - 1 ? "vector"
           : workers_in_vector == 0            ? "library"
                                               : "mixed";
}

// The name of every rank's host, on rank 0.
std::vector<std::string> gather_hosts(int rank, int world_size)
{
    char name[MPI_MAX_PROCESSOR_NAME] = {};
    int length = 0;
    MPI_Get_processor_name(name, &length);
    std::vector<char> all(rank == 0 ? static_cast<size_t>(world_size) * MPI_MAX_PROCESSOR_NAME : 1);
    MPI_Gather(name, MPI_MAX_PROCESSOR_NAME, MPI_CHAR, all.data(), MPI_MAX_PROCESSOR_NAME, MPI_CHAR,
               0, MPI_COMM_WORLD);
    std::vector<std::string> hosts;
    if (rank == 0)
        for (int r = 0; r < world_size; ++r)
            hosts.emplace_back(&all[static_cast<size_t>(r) * MPI_MAX_PROCESSOR_NAME]);
    return hosts;
}

// Prints the good-fit fractions of the processing phase; returns 1 when
// there are none.
int print_summary(GoodFitCounts const& counts)
{
    int status = 0;
    if (counts.counter_all == 0) {
        // 0 of 0 is no fraction at all.
        std::printf("Error: The processing phase received no results, so there are no "
                    "good-fit fractions\n");
        status = 1;
    } else {
        double all = static_cast<double>(counts.counter_all);
        std::printf("Good waveforms:");
        std::printf(" %3.2f%%", 100.0 * static_cast<double>(counts.nbr_ok[0]) / all);
        std::printf(" %3.2f%%", 100.0 * static_cast<double>(counts.nbr_ok[1]) / all);
        std::printf(", All %3.2f%%\n", 100.0 * static_cast<double>(counts.nbr_all_ok) / all);
    }
    print_time_stamp();
    return status;
}

// The files a run writes in place (the other outputs are replaced whole by a
// rename), and the files it reads: the raw files of both phases (the first
// 100,000 sessions of each; a run over more is rare and its files would take
// long to look at), the settings and the kernel.
std::vector<std::string> run_outputs(RunSettings const& s)
{
    PhaseOutputs outputs(s.abfile_path);
    std::vector<std::string> names;
    for (int k = 0; k < kOutputFiles; ++k) names.emplace_back(outputs.name(k));
    return names;
}

std::vector<std::string> run_inputs(RunSettings const& s)
{
    std::vector<std::string> names = {kConfigName, kKernelName};
    for (SessionRange r : {s.calibration_sessions(), s.processing_sessions()})
        for (long long session = r.first; session <= r.last && session < r.first + 100000LL;
             ++session)
            names.push_back(raw_file_name(s.infile_path, session));
    return names;
}

// The local time now, as "2026-12-07T10:00:00+0100".
std::string local_time()
{
    const std::time_t now = std::time(nullptr);
    char text[40] = "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", std::localtime(&now));
    return text;
}

// Rank 0, for a finished run whose summary may not have been written (the
// disk was full when it ended): writes it from the checkpoint unless the
// summary there says the run finished.
void complete_summary(RunPlan const& plan, Checkpoint const& saved)
{
    FILE* f = std::fopen(kSummaryName, "r");
    std::string text;
    char chunk[4096];
    size_t n;
    while (f && (n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    if (f) std::fclose(f);
    if (text.find("\n  \"status\": \"finished\",\n") != std::string::npos) return;
    RunSettings const& s = plan.settings;
    RunSummary summary;
    summary.status = kStatusFinished;
    summary.started = local_time();
    summary.settings = &s;
    summary.hosts = plan.hosts;
    summary.phase = Phase::kProcessing;
    struct {
        GoodFitCounts counts;
        double seconds;
    } const phases[2] = {{saved.calibration, saved.calibration_seconds},
                         {saved.counts, saved.seconds}};
    const SessionRange ranges[2] = {s.calibration_sessions(), s.processing_sessions()};
    for (int p = 0; p < 2; ++p) {
        summary.phases[p].state = kStateDone;
        summary.phases[p].events = phase_events(s, ranges[p]);
        summary.phases[p].counts = phases[p].counts;
        summary.phases[p].seconds = phases[p].seconds;
    }
    summary.calibrated = saved.calibrated;
    summary.decay_rates[0] = saved.decay[0];
    summary.decay_rates[1] = saved.decay[1];
    summary.events_lost = true;
    note_raw_files(&summary, saved.fingerprint);
    write_summary(summary);
}

// Rank 0: decides where the run starts. Without resume, or without a
// checkpoint, it starts from the beginning. The checkpoint of a finished run
// leaves it alone: its results stay as they are. A checkpoint of another run,
// one that does not hold together, or outputs that no longer hold what it
// recorded, refuse the run before any file is touched. Returns kGo,
// kNothingToDo or kRefuse.
int plan_run(double const* kernel, int count, RunPlan* plan)
{
    RunSettings const& s = plan->settings;
    plan->record.fingerprint = run_fingerprint(s, kernel, count);
    plan->start = kFresh;
    if (!s.resume) return kGo;

    Checkpoint saved;
    const int got = read_checkpoint(&saved);
    if (got > 0) return kRefuse;
    if (got < 0) {
        std::printf("No checkpoint %s: starting from the beginning\n", kCheckpointName);
        return kGo;
    }
    const SessionRange sessions = s.sessions(saved.phase);
    const int64_t total = phase_events(s, sessions);
    if (saved.finished) {
        // A finished run has read every event of its last phase.
        if (saved.phase != Phase::kProcessing || saved.next_event != total || !saved.pending.empty() ||
            check_checkpoint(saved, total)) {
            std::printf("Error: Checkpoint %s says the run finished, but it did not read "
                        "every event; remove it or set resume = 0\n",
                        kCheckpointName);
            return kRefuse;
        }
        if (saved.run_error) {
            std::printf(
                "Checkpoint %s is of a finished run that did not end well (events were lost, "
                "or a file could not be written): nothing to do, and its status stays 1 (set "
                "resume = 0 to run it again)\n",
                kCheckpointName);
            if (!plan->dry) complete_summary(*plan, saved);
            return kRefuse;
        }
        std::printf(
            "Checkpoint %s is of a finished run: nothing to do (set resume = 0 to run it "
            "again)\n",
            kCheckpointName);
        return kNothingToDo;
    }
    if (compare_fingerprints(saved.fingerprint, plan->record.fingerprint)) return kRefuse;
    if (check_checkpoint(saved, total)) return kRefuse;
    if (PhaseOutputs(s.abfile_path, sessions.first, s.waveforms)
            .check(saved.outputs, saved.phase == Phase::kProcessing ? saved.decay : nullptr, saved.next_event,
                   saved.pending))
        return kRefuse;

    plan->record = saved;
    plan->start = saved.phase == Phase::kCalibration ? kResumeCalibration : kResumeProcessing;
    std::printf("Resuming the %s phase from %s: %lld of %lld events done\n",
                phase_name(saved.phase), kCheckpointName,
                static_cast<long long>(saved.counts.counter_all), static_cast<long long>(total));
    return kGo;
}

// Rank 0: prints the warnings a phase's outcomes give and keeps them in the
// run summary.
void warn_about(Phase phase, GoodFitCounts const& counts, RunSummary* summary)
{
    for (std::string const& line : diagnose_phase(phase, counts)) {
        std::printf("%s\n", line.c_str());
        summary->warnings.push_back(line);
    }
}

// Rank 0, resuming the processing phase: the calibration is not done again.
void take_calibration_from(Checkpoint const& record, double decay[2])
{
    std::printf("Calibration done before the interruption; decay rates from %s:\n",
                kCheckpointName);
    for (int c = 0; c < 2; ++c) {
        decay[c] = record.decay[c];
        std::printf("Channel %d decay: %.10f    (calibrated before the interruption)\n", c,
                    decay[c]);
    }
}

// Rank 0, after a phase that did not finish: where it stands and how to go
// on from there. A phase that never started has said why, and has touched
// nothing.
void report_unfinished_phase(PhaseResult const& result, Phase phase, RunSettings const& s,
                             Checkpoint const& record)
{
    if (!result.started) return;
    const SessionRange r = s.sessions(phase);
    const long long total = static_cast<long long>(phase_events(s, r));
    const long long done = static_cast<long long>(record.counts.counter_all);
    if (result.status == kStoppedStatus)
        std::printf("Stopped by %s in the %s phase after %lld of %lld events", stop_signal_name(),
                    phase_name(phase), done, total);
    else
        std::printf("The run ended early in the %s phase after %lld of %lld events",
                    phase_name(phase), done, total);
    if (result.saved)
        std::printf("; to continue, set resume = 1 in zorv_mpi.ini and start it again\n");
    else if (s.checkpoint_interval == 0.0)
        std::printf(
            "; checkpoint_interval = 0 keeps no checkpoint, so the run can only be started "
            "again from the beginning\n");
    else
        std::printf(
            "; its last checkpoint could not be written, so a resume continues from an "
            "earlier one, if there is one\n");
}

// One phase: workers loop until their stop message, rank 0 runs the master
// and returns the phase's result (workers return a default one).
PhaseResult run_phase(int rank, char const* announcement, EventSetup const& setup, RunPlan* plan,
                      SessionRange sessions, bool resume, RunSummary* summary)
{
    if (rank != 0) {
        work_slave(setup, plan->settings, sessions);
        return PhaseResult();
    }
    std::printf("%s\n", announcement);
    return work_master(plan->settings, sessions, &plan->record, plan->hosts, resume, summary);
}

// Rank 0: how a phase ended, into the run summary, which is then written.
// A phase that never started has touched nothing, and the summary of an
// earlier run stays as it is, unless this start wrote one (`written`) that
// says the run goes on: that one now says the run ended in error. A summary
// that cannot be written is removed, so that none tells what is no longer
// true. Returns 1 when the summary cannot be written.
int summarise_phase(RunSummary* summary, Phase phase, PhaseResult const& result,
                    Checkpoint const& record, bool written = false)
{
    if (!result.started) {
        if (!written) return 0;
        summary->phase = phase;
        summary->phases[static_cast<int>(phase)].state = kStateError;
        summary->status = kStatusError;
        if (write_summary(*summary) == 0) return 0;
        unlink(kSummaryName);
        return 1;
    }
    PhaseSummary& p = summary->phases[static_cast<int>(phase)];
    p.counts = record.counts;
    p.seconds = record.seconds;
    p.state = result.status == 0                ? kStateDone
              : result.status == kStoppedStatus ? kStateStopped
                                                : kStateError;
    summary->phase = phase;
    summary->status = result.status == 0
                          ? (phase == Phase::kCalibration ? kStatusRunning : kStatusFinished)
                      : result.status == kStoppedStatus ? kStatusStopped
                                                        : kStatusError;
    if (result.status == kStoppedStatus) summary->stopped_by = stop_signal_name();
    summary->events_lost = record.run_error != 0;
    summary->calibrated = record.calibrated;
    summary->decay_rates[0] = record.decay[0];
    summary->decay_rates[1] = record.decay[1];
    note_raw_files(summary, record.fingerprint);
    if (write_summary(*summary) == 0) return 0;
    unlink(kSummaryName);
    return 1;
}

int finish(int status)
{
    std::fflush(stdout);
    // After SIGTERM or SIGINT to the whole job the launcher is already taking
    // it down and would never complete MPI_Finalize's handshake; the files
    // are safe, so the rank simply ends before the launcher's kill. A run
    // that ended well was not being taken down (a SIGTERM to one worker
    // alone): it finalises like any other, or the launcher would report it
    // as failed.
    if (stop_is_final() && status != 0) std::_Exit(status);
    MPI_Finalize();
    return status;
}

// Two reals as the settings' echo shows them.
std::string real_pair(double const v[2])
{
    char text[64];
    std::snprintf(text, sizeof text, "%g %g", v[0], v[1]);
    return text;
}

// Rank 0 (or --check): reads zorv_mpi.ini (which echoes it), applies
// --resume, --events-per-message and --worker-reads, names the keys whose zero default a run rarely wants and checks
// the settings. Returns 0, or 1 after the reader's or the check's message.
int read_settings(ProgramOptions const& options, RunPlan* plan)
{
    RunSettings& s = plan->settings;
    if (initialize(&s)) return 1;
    if (options.resume) {
        s.resume = 1;
        std::printf("Resuming as --resume asks (resume = 1)\n");
    }
    if (options.events_per_message >= 0) {
        s.events_per_message = options.events_per_message;
        std::printf("Using events_per_message = %d as --events-per-message asks\n",
                    s.events_per_message);
    }
    if (options.worker_reads >= 0) {
        s.worker_reads = options.worker_reads;
        std::printf("Using worker_reads = %d as --worker-reads asks\n", s.worker_reads);
    }
    // Each of these defaults to 0, which nearly always gives bad results
    // without an error: say what was assumed, where the user looks.
    struct {
        char const* key;
        std::string value;
        char const* meaning;
    } const assumed[] = {
        {"bcg_est", real_pair(s.bcg_est), "the baseline subtracted before the peak search"},
        {"decay_est", real_pair(s.decay_est), "the decay rate the calibration's fits start from"},
        {"data_offset", std::to_string(s.data_offset),
         "the header bytes before the first record of each raw file"},
    };
    for (auto const& a : assumed) {
        if (s.sets(a.key)) continue;
        const std::string note = std::string("Note: ") + a.key + " is not set; using " + a.value +
                                 " (" + a.meaning + ")";
        std::printf("%s\n", note.c_str());
        plan->notes.push_back(note);
    }
    return validate_config(s);
}

// --check: everything a run does before its first event, without MPI and
// without writing anything, then what the run would do. Returns 0 when a run
// could start (or a finished run has nothing to do), 1 otherwise.
int check_setup(ProgramOptions const& options)
{
    std::printf("zorv_mpi --check: the setup in this folder, as a run would see it\n");
    RunPlan plan;
    plan.dry = true;
    double kernel[kMaxKernel];
    int count = 0;
    if (lock_held_elsewhere(kLockName)) return 1;
    if (read_kernel_file(kKernelName, kernel, kMaxKernel, &count) || read_settings(options, &plan))
        return 1;
    RunSettings const& s = plan.settings;
    if (OutputLocks::check(run_outputs(s), run_inputs(s))) return 1;
    const int go = plan_run(kernel, count, &plan);
    if (go == kRefuse) return 1;
    if (go == kNothingToDo) {
        std::printf("Check: a run would have nothing to do; nothing was written\n");
        return 0;
    }
    bool readable = true;
    for (Phase phase : {Phase::kCalibration, Phase::kProcessing}) {
        const SessionRange r = s.sessions(phase);
        const long long sessions = static_cast<long long>(r.last) - r.first + 1;
        std::printf("Check: %s phase: sessions %d to %d, %lld events of %d each\n",
                    phase_name(phase), r.first, r.last,
                    static_cast<long long>(phase_events(s, r)), s.waveforms);
        int any = 0;
        for (long long session = r.first; session <= r.last; ++session) {
            const std::string name = raw_file_name(s.infile_path, session);
            struct stat st;
            const bool there = stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
            any += there ? 1 : 0;
            if (session - r.first >= 20) continue;
            if (!there) {
                std::printf("  %s: cannot be read\n", name.c_str());
                continue;
            }
            const long long size = static_cast<long long>(st.st_size);
            const long long complete =
                size > s.data_offset ? (size - s.data_offset) / kRecordBytes : 0;
            std::printf("  %s: %lld bytes, %lld complete records%s\n", name.c_str(), size,
                        complete, complete < s.waveforms ? " (fewer than waveforms)" : "");
        }
        if (sessions > 20) std::printf("  ... and %lld more sessions\n", sessions - 20);
        if (any == 0) {
            std::printf("Error: None of the raw files of the %s phase can be read\n",
                        phase_name(phase));
            readable = false;
        }
    }
    std::string outputs;
    for (std::string const& name : run_outputs(s)) outputs += name + ", ";
    std::printf("Check: outputs: %s%s, %s, %s and %s\n", outputs.c_str(),
                decay_histogram_name(0).c_str(), decay_histogram_name(1).c_str(),
                kCheckpointName, kSummaryName);
    if (!readable) return 1;
    std::printf("Check: a run could start; nothing was written\n");
    return 0;
}

}  // namespace

int run_zorv_mpi(int argc, char** argv, ProgramOptions const& options)
{
    if (options.check) return check_setup(options);
    // Before MPI_Init, which takes a good part of a second: a stop signal
    // that comes during it is noted, not fatal.
    install_stop_handlers();
    MPI_Init(&argc, &argv);
    int rank = 0;
    int world_size = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &world_size);

    if (world_size < 2) {
        std::printf("Error: World size must be at least 2\n");
        return finish(1);
    }

    if (rank == 0) {
        std::printf("zorv_mpi: two-channel pulse analysis\n");
        print_time_stamp();
    }

    // The kernel table lives here on every rank; rank 0 fills it from the
    // file, the others receive it. So do the estimates each channel's
    // analysis starts from.
    double kernel[kMaxKernel];
    int kernel_count = 0;
    double baseline[2] = {0.0, 0.0};
    double decay[2] = {0.0, 0.0};
    RunPlan plan;  // the settings a worker needs on every rank, the rest on rank 0
    RunLock lock;  // rank 0, for the whole run
    OutputLocks output_locks;  // rank 0, for the whole run
    plan.hosts = gather_hosts(rank, world_size);

    int go = kGo;
    if (rank == 0) {
        const bool usable = lock.acquire() == 0 &&
                            read_kernel_file(kKernelName, kernel, kMaxKernel, &kernel_count) == 0 &&
                            read_settings(options, &plan) == 0 &&
                            output_locks.acquire(run_outputs(plan.settings),
                                                 run_inputs(plan.settings)) == 0;
        go = usable ? plan_run(kernel, kernel_count, &plan) : kRefuse;
        if (go != kGo) output_locks.remove_unused();
        for (int c = 0; c < 2; ++c) {
            baseline[c] = plan.settings.bcg_est[c];
            decay[c] = plan.settings.decay_est[c];
        }
    }
    go = agree_on(go);
    if (go != kGo) return finish(go == kNothingToDo ? 0 : 1);
    RunSettings const& settings = plan.settings;

    int start = plan.start;
    MPI_Bcast(&kernel_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
    MPI_Bcast(kernel, kernel_count, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(decay, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(baseline, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(&start, 1, MPI_INT, 0, MPI_COMM_WORLD);
    share_worker_settings(rank, &plan.settings);

    const std::string exp_kind = gather_exp_kinds(rank, world_size);
    const SmoothingWindow window(kernel, kernel_count);
    std::printf("Window length = %d\n", kernel_count);
    std::fflush(stdout);

    MPI_Barrier(MPI_COMM_WORLD);

    // Rank 0's account of the run, for the run summary.
    RunSummary summary;
    summary.started = local_time();
    summary.settings = &settings;
    summary.hosts = plan.hosts;
    summary.exp = exp_kind;
    summary.warnings = plan.notes;
    summary.phases[0].events = phase_events(settings, settings.calibration_sessions());
    summary.phases[1].events = phase_events(settings, settings.processing_sessions());
    if (start == kResumeProcessing) {
        summary.phases[0].state = kStateDone;
        summary.phases[0].counts = plan.record.calibration;
        summary.phases[0].seconds = plan.record.calibration_seconds;
    }

    PhaseResult result;
    if (start != kResumeProcessing) {
        plan.record.phase = Phase::kCalibration;
        result = run_phase(rank, "Starting calibration",
                           make_event_setup(window, baseline, decay, false), &plan,
                           settings.calibration_sessions(), start == kResumeCalibration, &summary);
        if (rank == 0 && result.status != 0)
            report_unfinished_phase(result, Phase::kCalibration, settings, plan.record);
        if (rank == 0 && result.status == 0) {
            if (calibrate(settings, decay)) plan.record.run_error = 1;
            plan.record.calibrated = true;
            plan.record.decay[0] = decay[0];
            plan.record.decay[1] = decay[1];
            plan.record.calibration = plan.record.counts;
            plan.record.calibration_seconds = plan.record.seconds;
        }
        // After the phase's own lines, so that they stand out.
        if (rank == 0 && result.started)
            warn_about(Phase::kCalibration, plan.record.counts, &summary);
        // A run without its summary does not end well.
        if (rank == 0 && summarise_phase(&summary, Phase::kCalibration, result, plan.record))
            plan.record.run_error = 1;
    } else if (rank == 0) {
        warn_about(Phase::kCalibration, plan.record.calibration, &summary);
        take_calibration_from(plan.record, decay);
    }
    int outcome = agree_on(result.status);
    if (outcome != 0) return finish(outcome);
    // The decay rate is held at its calibrated value from now on.
    MPI_Bcast(decay, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);

    plan.record.phase = Phase::kProcessing;
    result = run_phase(rank, "Processing...", make_event_setup(window, baseline, decay, true),
                       &plan, settings.processing_sessions(), start == kResumeProcessing, &summary);
    outcome = result.status;
    int run_error = 0;
    if (rank == 0) {
        if (outcome == 0) {
            if (print_summary(plan.record.counts)) plan.record.run_error = 1;
            plan.record.finished = true;
        } else {
            report_unfinished_phase(result, Phase::kProcessing, settings, plan.record);
        }
        // The last lines of the run, where a reader looks first.
        if (result.started) warn_about(Phase::kProcessing, plan.record.counts, &summary);
        if (summarise_phase(&summary, Phase::kProcessing, result, plan.record, start != kResumeProcessing))
            plan.record.run_error = 1;
        if (outcome == 0 && settings.checkpoint_interval > 0.0 && write_checkpoint(plan.record))
            plan.record.run_error = 1;
        run_error = plan.record.run_error;
    }

    int status = outcome != 0 ? outcome : run_error ? 1 : 0;
    status = agree_on(status);
    return finish(status);
}
