// Output side of a run phase on rank 0: the two result files, the two decay
// lists, the provenance list "events.txt", the two precision files and the
// good-fit counts.
//
// The seven files always hold the same events, record i of each belonging to
// one event; line i of "events.txt" names that event's raw event as
// "<session> <record>" (the record's index in its raw file, from 0), and
// record i of a precision file holds the iterations and standard errors of
// the fit in record i of its channel's result file. The records of
// coincident good events are gathered in memory and written a batch at a
// time; a batch that cannot be written completely (a full disk) is cut off
// again in all seven files, so that they end at the last whole event, and
// its events are remembered as not done.
#ifndef ZORV_RESULTS_H
#define ZORV_RESULTS_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/run_files.h"
#include "io/output_file.h"
#include "run/progress.h"

// The seven outputs in the order an event is written to them: result file 0,
// decay list 0, result file 1, decay list 1, the provenance list, precision
// file 0, precision file 1.
constexpr int kOutputFiles = 7;
constexpr int kEventsList = 4;
constexpr int kPrecisionFile0 = 5;

// The size, in a checkpoint written before there was one, of the provenance
// list or of a precision file: their contents are not known. The file is
// made anew with a placeholder ("- -", or a record of NaN) for each record.
constexpr int64_t kUnknownSize = -1;

// True for the outputs a checkpoint of an older version may not know.
inline bool may_be_unknown(int k) { return k >= kEventsList; }

struct OutputSizes {
    int64_t bytes[kOutputFiles];
};

class PhaseOutputs {
public:
    // The outputs of a run whose result files are "<abfile_path>0.bin" and
    // "<abfile_path>1.bin", for a phase whose event e is record e mod
    // `waveforms` of session first_session + e div `waveforms`; nothing is
    // opened yet.
    explicit PhaseOutputs(std::string const& abfile_path, int first_session = 0, int waveforms = 1);
    ~PhaseOutputs();
    PhaseOutputs(PhaseOutputs const&) = delete;
    PhaseOutputs& operator=(PhaseOutputs const&) = delete;

    // Opens "<abfile_path>0.bin", "decay0.txt", "<abfile_path>1.bin",
    // "decay1.txt", "events.txt", "<abfile_path>0.err.bin" and
    // "<abfile_path>1.err.bin" for writing, creating the missing ones,
    // and cuts nothing: a run that cannot open every one of them must not
    // have cut any. Returns 0 on success; on failure prints "Error: Cannot
    // create ..." naming the file and the reason, closes whatever was opened
    // and returns 1.
    int prepare();

    // After prepare(): cuts the seven files to nothing; the counts start at
    // 0. Returns 0, or 1 after printing which file could not be cut.
    int start_anew();

    // prepare(), then start_anew().
    int open();

    // Checks, touching none of them, that each of the seven files is a
    // regular file that holds at least `sizes` bytes (a file recorded empty
    // may also be missing), and that within those sizes they hold whole,
    // aligned events: as many decay-list lines as result records, line i of
    // each list the decay rate of record i of its channel's result file and,
    // when `held_decay` is given (the processing phase), every record's
    // decay rate equal to the held one. The provenance list names each raw
    // event once, one read before `next_event` and not among `pending` (an
    // event still to be done has no record). Returns 0, or 1 after printing
    // what does not agree.
    int check(OutputSizes const& sizes, double const* held_decay = nullptr, int next_event = -1,
              std::vector<int> const& pending = {}) const;

    // Continues the seven files of an interrupted phase with the counts it
    // had: opens each for appending, then cuts it back to `sizes` (dropping
    // whatever was written after the checkpoint). A provenance list or
    // precision file of unknown size (a checkpoint of a version without it)
    // is made anew with the line "- -", or a record of NaN, for each record
    // already written. Call check() first.
    // Returns 0, or 1 after printing why.
    int reopen(OutputSizes const& sizes, GoodFitCounts const& counts);

    // Books the 18 doubles of event `event`'s result and what became of its
    // channels: counts a good fit per channel (entry 0 resp. 9 strictly
    // greater than 0) and the outcomes, and when both channels are good
    // queues both blocks for the result files, both decay rates (entries 2
    // and 11) for the decay lists, the event's session and record for the
    // provenance list and both channels' precision records (18 doubles; not
    // known, NaN, when `precision` is null) for the precision files. Returns
    // 0, or 1 after a write error (printed once, naming the file); from then
    // on nothing more is written or counted.
    int record(double const* result, ChannelOutcome const outcomes[2], int event,
               double const* precision = nullptr);

    // Writes what is queued; with `durable` also has the system put the seven
    // files on disk (fsync). Returns 0, or 1 when this write fails. After an
    // earlier write error it writes nothing more and only puts the files, cut
    // back to their last whole event, on disk.
    int flush(bool durable);

    // Writes what is queued and closes the seven files in the order result 0,
    // decay 0, result 1, decay 1, events.txt, precision 0, precision 1.
    // Returns 0, or 1 after printing which file could not be completed.
    int close();

    // The counts of the events booked and written (or queued).
    GoodFitCounts const& counts() const { return counts_; }

    // Sizes of the seven files up to the last batch written completely.
    OutputSizes written_sizes() const { return written_; }

    // Events that were booked but whose records could not be written after a
    // write error; their counts were taken back. They must be done again.
    std::vector<int> const& unwritten_events() const { return lost_events_; }

    // True once cutting a file back after a write error failed.
    bool cut_failed() const { return cut_failed_; }

    // Name of output k as it is opened ("<abfile_path>0.bin", "decay0.txt", ...,
    // "events.txt", "<abfile_path>0.err.bin", "<abfile_path>1.err.bin").
    char const* name(int k) const { return names_[k].c_str(); }

private:
    int check_channel(int c, OutputSizes const& sizes, double const* held) const;
    int check_events(OutputSizes const& sizes, int next_event,
                     std::vector<int> const& pending) const;
    void queue_placeholders(int k, int64_t records);
    bool open_output(int k, OutputMode mode);
    bool cut_to(int k, int64_t bytes);
    void close_all_quietly();
    void report_write_error(int k, int error) const;
    void cut_back_to_written();
    void take_back_queued_events();
    int write_queued();
    void reset_queues();

    std::string names_[kOutputFiles];
    int first_session_;
    int waveforms_;
    FILE* files_[kOutputFiles] = {};
    std::string queued_[kOutputFiles];
    std::vector<int> queued_events_;
    std::vector<int> lost_events_;
    OutputSizes written_ = {};
    GoodFitCounts counts_;
    bool write_failed_ = false;
    bool cut_failed_ = false;
};

#endif
