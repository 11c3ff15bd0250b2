// Master loop: priming, receive-any / refill-the-sender, checkpoints, stop
// messages. Work goes out in batches of up to events_per_message events, as
// samples or (worker_reads) as event numbers, and the worker that answers is
// refilled at once. Every worker holds two batches: the next one waits in
// its queue while it works on the first, so that it never waits for rank 0
// between batches (with one event per message, the default, the wait for
// rank 0 took a tenth of the worker's time on quick events). Only on a farm
// whose second batches of samples would take more than kMostSampleBytes of
// rank 0's memory does a worker sent samples hold one at a time.

#include "mpi/master.h"

#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run/checkpoint.h"
#include "io/datafile.h"
#include "run/event_source.h"
#include "io/input_file.h"
#include "run/progress.h"
#include "mpi/protocol.h"
#include "mpi/result_wait.h"
#include "run/results.h"
#include "run/run_summary.h"
#include "run/run_lock.h"
#include "run/stop_signal.h"
#include "run/timer.h"

namespace {

// Everything a phase holds on rank 0, from its first event to its stop
// messages.
class MasterPhase {
public:
    MasterPhase(RunSettings const& settings, SessionRange sessions, Checkpoint* record,
                std::vector<std::string> const& hosts, RunSummary* summary)
        : settings_(settings), sessions_(sessions), record_(record), hosts_(hosts),
          summary_(summary),
          source_(settings, settings.worker_reads == 0),
          outputs_(settings.abfile_path, sessions.first, settings.waveforms),
          progress_(phase_events(settings, sessions), settings.refresh_interval),
          most_(settings.events_per_message),
          wait_(most_ * kAnswerDoubles, settings.worker_reads == 1),
          checkpoints_(settings.checkpoint_interval > 0.0)
    {
        MPI_Comm_size(MPI_COMM_WORLD, &world_size_);
        held_.resize(static_cast<size_t>(world_size_));
        samples_.resize(static_cast<size_t>(most_) * kWorkShorts);
        // A second batch of samples needs a buffer of its own per worker
        // while it travels; beyond kMostSampleBytes of them a worker holds
        // one, so that rank 0's memory stays bounded on a large farm.
        const double second_buffers = static_cast<double>(world_size_ - 1) * most_ *
                                      static_cast<double>(kRecordBytes);
        sample_pairs_ = !settings.worker_reads && second_buffers <= kMostSampleBytes;
        depth_ = settings.worker_reads || sample_pairs_ ? 2 : 1;
        last_failure_.resize(static_cast<size_t>(world_size_));
    }

    PhaseResult run(bool resume);

private:
    void send_stop_messages();
    int write_phase_checkpoint();
    bool any_raw_file_readable() const;
    int start_fresh();
    int continue_interrupted();
    bool load_send_data(int destination);
    void name_files(int destination, std::vector<int> const& batch);
    int take_message();

    RunSettings const& settings_;
    SessionRange sessions_;
    Checkpoint* record_;
    std::vector<std::string> const& hosts_;  // host of each rank
    RunSummary* summary_;                    // written at every checkpoint, when given
    int world_size_ = 0;
    EventSource source_;
    PhaseOutputs outputs_;
    ProgressReport progress_;
    const int most_;  // events per work message, at most
    ResultWait wait_;
    std::vector<int16_t> samples_;  // a work message of samples
    // The batches a worker holds, oldest first: a ring of depth_ batches,
    // each its events in batch order and (numbers) the send that took them.
    struct Batch {
        std::vector<int> events;
        MPI_Request send = MPI_REQUEST_NULL;
        std::vector<int16_t> samples;  // its samples while they travel (sample_pairs_)
    };
    struct Held {
        Batch batch[2];
        int first = 0;  // the oldest batch
        int count = 0;  // batches held
        // worker_reads: the session whose raw file the worker was told of
        // last, and the files message that told it.
        long long named_session = kNoSession;
        std::string files;
        MPI_Request files_send = MPI_REQUEST_NULL;
    };
    static constexpr long long kNoSession = -(1LL << 62);
    std::vector<Held> held_;
    std::vector<std::string> last_failure_;  // the read failure a worker reported last
    int depth_ = 1;                          // batches a worker holds at most
    bool sample_pairs_ = false;              // two batches of samples per worker
    static constexpr double kMostSampleBytes = 1 << 30;
    // Events whose results were received but not booked (after a write
    // error), or that a worker could not read.
    std::vector<int> undone_;
    int busy_ = 0;              // batches held by the workers
    int64_t msg_received_ = 0;  // results received in this run of the phase
    bool abort_ = false;        // an output cannot be written: book and hand out nothing more
    bool read_failed_ = false;  // a worker could not read: hand out nothing more
    bool checkpoints_;          // false: checkpoint_interval 0, no checkpoint at all
    bool saved_ = false;        // the last checkpoint written holds the phase as it stands
    double started_ = 0.0;      // when this start of the phase began (monotonic seconds)
    double seconds_before_ = 0.0;  // the time earlier starts spent in the phase
};

void MasterPhase::send_stop_messages()
{
    for (Held& h : held_) MPI_Wait(&h.files_send, MPI_STATUS_IGNORE);
    for (int w = 1; w < world_size_; ++w)
        MPI_Send(samples_.data(), kWorkShorts, MPI_SHORT, w, kStopTag, MPI_COMM_WORLD);
}

// Puts the outputs on disk, then the state that goes with them. The record
// follows the phase even when the outputs cannot be put on disk, so that it
// always tells where the phase stands. Without checkpoints the outputs are
// only written out, not forced to disk, and nothing else is written.
int MasterPhase::write_phase_checkpoint()
{
    const int flushed = outputs_.flush(checkpoints_);
    Checkpoint& cp = *record_;
    cp.finished = false;
    cp.next_event = source_.position();
    std::vector<int>& pending = cp.pending;
    pending = source_.still_again();
    for (Held const& h : held_)
        for (int i = 0; i < h.count; ++i) {
            std::vector<int> const& events = h.batch[(h.first + i) % 2].events;
            pending.insert(pending.end(), events.begin(), events.end());
        }
    pending.insert(pending.end(), undone_.begin(), undone_.end());
    pending.insert(pending.end(), outputs_.unwritten_events().begin(),
                   outputs_.unwritten_events().end());
    std::sort(pending.begin(), pending.end());
    cp.counts = outputs_.counts();
    cp.seconds = seconds_before_ + (monotonic_seconds() - started_);
    cp.skipped = source_.skipped();
    add_to_fingerprint(&cp.fingerprint, source_.opened());
    if (source_.lost() || outputs_.cut_failed()) cp.run_error = 1;
    cp.outputs = outputs_.written_sizes();
    saved_ = false;
    if (flushed || !checkpoints_) return flushed;
    if (write_checkpoint(cp)) return 1;
    saved_ = true;
    if (summary_) {
        // The summary follows the checkpoint; one that cannot be written is
        // removed rather than left telling an older state.
        note_running(summary_, cp);
        if (write_summary(*summary_)) unlink(kSummaryName);
    }
    return 0;
}

// True when at least one raw file of the phase can be opened for reading;
// otherwise prints why not. A phase with nothing to read must not replace
// the outputs of an earlier run (whose raw files may have been moved away).
bool MasterPhase::any_raw_file_readable() const
{
    for (long long session = sessions_.first; session <= sessions_.last; ++session) {
        const std::string name = raw_file_name(settings_.infile_path, session);
        char const* refusal = nullptr;
        if (FILE* f = open_input_file(name.c_str(), "rb", &refusal)) {
            std::fclose(f);
            return true;
        }
    }
    // Each file with the reader's own message, then what it means.
    for (long long session = sessions_.first; session <= sessions_.last; ++session) {
        const std::string name = raw_file_name(settings_.infile_path, session);
        if (FILE* f = open_raw_file(name.c_str())) std::fclose(f);
    }
    std::printf(
        "Error: None of the raw files %s.%d to %s.%d of the %s phase can be read; no "
        "output was touched\n",
        settings_.infile_path.c_str(), sessions_.first, settings_.infile_path.c_str(),
        sessions_.last, phase_name(record_->phase));
    return false;
}

// A fresh phase: its first checkpoint goes to disk before the outputs are
// cut, so that no older checkpoint can describe files that are gone.
// Without checkpoints an older one is removed instead.
int MasterPhase::start_fresh()
{
    if (!any_raw_file_readable()) return 1;
    Checkpoint& cp = *record_;
    cp.next_event = 0;
    cp.pending.clear();
    cp.counts = GoodFitCounts();
    cp.seconds = 0.0;
    cp.skipped = 0;
    cp.outputs = OutputSizes{};
    cp.finished = false;
    // Every output is opened (and so checked) before the checkpoint is
    // replaced and any output cut: a run that refuses leaves the results
    // and checkpoint of the one before it whole.
    if (outputs_.prepare()) return 1;
    if (checkpoints_ ? write_checkpoint(cp) : remove_checkpoint()) return 1;
    return outputs_.start_anew();
}

// An interrupted phase: counts and outputs as the checkpoint left them.
int MasterPhase::continue_interrupted()
{
    return outputs_.reopen(record_->outputs, record_->counts);
}

// Sends `destination` the next batch of up to events_per_message events of
// the phase, their samples or (worker_reads) their numbers, unless it holds
// as many batches as it may; does nothing when the phase has no events left.
// Returns whether a batch went out.
bool MasterPhase::load_send_data(int destination)
{
    Held& h = held_[static_cast<size_t>(destination)];
    if (h.count == depth_) return false;
    Batch& b = h.batch[(h.first + h.count) % 2];
    std::vector<int>& batch = b.events;
    batch.clear();
    if (sample_pairs_) b.samples.resize(samples_.size());
    int16_t* samples = sample_pairs_ ? b.samples.data() : samples_.data();
    int event;
    while (static_cast<int>(batch.size()) < most_ &&
           source_.next(&samples[batch.size() * kWorkShorts], &event))
        batch.push_back(event);
    const int k = static_cast<int>(batch.size());
    if (k == 0) return false;  // the phase has no events left
    if (settings_.worker_reads) {
        name_files(destination, batch);
        // Not waited for: the worker may be busy with the batch before.
        MPI_Isend(batch.data(), k, MPI_INT, destination, kNumbersTag, MPI_COMM_WORLD, &b.send);
    } else if (sample_pairs_) {
        // Not waited for either; the buffer stays the batch's until its
        // answer comes.
        MPI_Isend(samples, k * kWorkShorts, MPI_SHORT, destination, kWorkTag, MPI_COMM_WORLD,
                  &b.send);
    } else {
        MPI_Send(samples, k * kWorkShorts, MPI_SHORT, destination, kWorkTag, MPI_COMM_WORLD);
    }
    ++h.count;
    ++busy_;
    return true;
}

// Tells `destination`, before it reads `batch`, in which state rank 0 found
// the raw files of the batch's sessions, unless it was told just before. The
// source has opened each of them (a session it could not open gives no
// events).
void MasterPhase::name_files(int destination, std::vector<int> const& batch)
{
    Held& h = held_[static_cast<size_t>(destination)];
    std::string text;
    for (int e : batch) {
        const long long session = raw_event(sessions_.first, settings_.waveforms, e).session;
        if (session == h.named_session) continue;
        std::string const* state = source_.opened_state(raw_file_name(settings_.infile_path, session));
        text += std::to_string(session) + " " + (state ? *state : std::string("missing")) + "\n";
        h.named_session = session;
    }
    if (text.empty()) return;
    // The worker takes it before the batch, so the one before has long gone.
    MPI_Wait(&h.files_send, MPI_STATUS_IGNORE);
    h.files = std::move(text);
    MPI_Isend(h.files.data(), static_cast<int>(h.files.size()), MPI_CHAR, destination, kFilesTag,
              MPI_COMM_WORLD, &h.files_send);
}

// Takes the next message of a worker: books the results of its oldest
// batch, or keeps the batch the worker could not read to be done again.
// Returns the worker.
int MasterPhase::take_message()
{
    MPI_Status status;
    double const* received = nullptr;
    std::string why;
    const int tag = wait_.receive(&received, &why, &status);
    const int worker = status.MPI_SOURCE;
    Held& h = held_[static_cast<size_t>(worker)];
    // A result message answers the oldest batch the worker holds; a read
    // failure names its batch by the first event, since it may overtake the
    // answer to the batch before.
    int slot = h.first;
    if (tag == kReadFailureTag) {
        const size_t space = why.find(' ');
        const int first = std::atoi(why.c_str());
        why.erase(0, space == std::string::npos ? why.size() : space + 1);
        if (h.count == 2 && !h.batch[slot].events.empty() && h.batch[slot].events[0] != first)
            slot = (slot + 1) % 2;
    }
    Batch& b = h.batch[slot];
    std::vector<int>& batch = b.events;
    // The worker has the batch, so its send is done.
    if (b.send != MPI_REQUEST_NULL) MPI_Wait(&b.send, MPI_STATUS_IGNORE);
    if (slot == h.first) h.first = (h.first + 1) % 2;
    --h.count;
    --busy_;
    if (tag == kReadFailureTag) {
        // One line per worker and file, however many of its batches fail.
        if (why != last_failure_[static_cast<size_t>(worker)]) {
            end_progress_line();
            std::printf(
                "Error: Worker %d on host %s cannot read %s; its events are kept to be "
                "done again when the run is resumed\n",
                worker, hosts_[static_cast<size_t>(worker)].c_str(), why.c_str());
            last_failure_[static_cast<size_t>(worker)] = why;
        }
        undone_.insert(undone_.end(), batch.begin(), batch.end());
        batch.clear();
        read_failed_ = true;
        return worker;
    }
    msg_received_ += static_cast<int64_t>(batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
        if (abort_) {
            // After a write error nothing more is booked; the event is done
            // again when the run is resumed.
            undone_.push_back(batch[i]);
        } else {
            double const* answer = &received[i * kAnswerDoubles];
            const ChannelOutcome outcomes[2] = {answer_outcome(answer, 0),
                                                answer_outcome(answer, 1)};
            if (outputs_.record(answer, outcomes, batch[i], answer_precision(answer)))
                abort_ = true;
        }
    }
    batch.clear();
    return worker;
}

PhaseResult MasterPhase::run(bool resume)
{
    PhaseResult result;
    started_ = monotonic_seconds();
    seconds_before_ = resume ? record_->seconds : 0.0;
    if (resume ? continue_interrupted() : start_fresh()) {
        send_stop_messages();
        result.status = 1;
        return result;
    }
    result.started = true;
    // A checkpoint of the version before skipped events were recorded: they
    // are what the counters and pending events leave of next_event.
    Checkpoint const& cp = *record_;
    const int64_t skipped = !resume           ? 0
                            : cp.skipped >= 0 ? cp.skipped
                                              : cp.next_event - cp.counts.counter_all -
                                                    static_cast<int64_t>(cp.pending.size());
    source_.begin(sessions_, resume ? cp.next_event : 0, resume ? cp.pending : std::vector<int>(),
                  skipped);
    // A resumed phase records at once that its outputs were cut back to the
    // checkpoint, as a fresh phase records that it starts.
    if (resume && checkpoints_ && write_phase_checkpoint()) {
        send_stop_messages();
        outputs_.close();
        result.status = 1;
        return result;
    }

    progress_.start();
    const double interval = checkpoints_ ? settings_.checkpoint_interval : HUGE_VAL;
    double next_checkpoint = monotonic_seconds() + interval;

    for (int round = 0; round < depth_; ++round)
        for (int w = 1; w < world_size_ && !stop_signal(); ++w) load_send_data(w);

    while (busy_ > 0) {
        const int worker = take_message();
        if (progress_.due(msg_received_)) progress_.info(outputs_.counts(), msg_received_);
        if (abort_ || read_failed_ || stop_signal()) continue;
        load_send_data(worker);
        if (monotonic_seconds() >= next_checkpoint) {
            if (!run_lock_intact()) {
                // Another run could start in this folder now; stop while
                // the files are this run's alone.
                end_progress_line();
                std::printf("Error: %s was removed or replaced while this run went on; it "
                            "stops here, so that no second run can start beside it\n",
                            kLockName);
                abort_ = true;
            }
            if (write_phase_checkpoint()) abort_ = true;
            next_checkpoint = monotonic_seconds() + interval;
        }
    }
    end_progress_line();

    result.status = abort_ || read_failed_ ? 1 : source_.exhausted() ? 0 : kStoppedStatus;
    if (write_phase_checkpoint()) result.status = 1;
    result.saved = saved_;
    send_stop_messages();
    source_.end();
    if (outputs_.close()) result.status = 1;
    std::fflush(stdout);
    return result;
}

}  // namespace

PhaseResult work_master(RunSettings const& settings, SessionRange sessions, Checkpoint* record,
                        std::vector<std::string> const& hosts, bool resume, RunSummary* summary)
{
    MasterPhase phase(settings, sessions, record, hosts, summary);
    return phase.run(resume);
}
