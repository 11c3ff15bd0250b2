// The events of a phase, read from the raw waveform files one record at a
// time.
//
// A phase covers the sessions first .. last; every raw file holds
// `waveforms` records, so event e (counted from 0) is record e mod waveforms
// of the file "<infile_path>.<first + e div waveforms>", positioned behind a
// header of `data_offset` bytes. Events are delivered in that order, one
// file at a time. A session whose file is missing, is not a regular file, or
// ends early is reported and the rest of it skipped (lost() tells): a
// partial record is never delivered.
//
// A resumed phase starts reading at its recorded position and first delivers
// again the events that were in flight when it stopped, so the events
// already done need not be a prefix of the phase.
#ifndef ZORV_EVENT_SOURCE_H
#define ZORV_EVENT_SOURCE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "io/settings.h"

class EventSource {
public:
    // The raw files named and laid out by `settings`, which must outlive
    // the source. Without `read_samples` the source walks the sessions as
    // before (the same numbering, messages and checks, a session's complete
    // records taken from its file's size) but reads no record: the workers
    // read them.
    explicit EventSource(RunSettings const& settings, bool read_samples = true)
        : settings_(settings), read_samples_(read_samples)
    {}
    ~EventSource();
    EventSource(EventSource const&) = delete;
    EventSource& operator=(EventSource const&) = delete;

    // Starts the phase over sessions first .. last. Sequential reading
    // begins at event `next` (0 for a fresh phase); the events of `again`
    // are delivered first, in the order given. `skipped` events were lost
    // before (a resumed phase).
    void begin(SessionRange sessions, int next, std::vector<int> const& again, int64_t skipped = 0);

    // Reads the next event into record (5,000 values; not touched without
    // read_samples) and its number into *event. Returns 1, or 0 when the
    // phase has no events left.
    int next(int16_t* record, int* event);

    // The event that sequential reading delivers next.
    int position() const { return next_; }

    // Events of `again` not yet delivered.
    std::vector<int> const& still_again() const { return again_; }

    // True when every event of the phase has been delivered or skipped.
    bool exhausted() const;

    // True when events were lost: a session skipped, or an event in flight
    // that could not be read again.
    bool lost() const { return lost_; }

    // Events of the phase lost so far, those of `skipped` included.
    int64_t skipped() const { return skipped_; }

    // The raw files this source has opened (or failed to open), each with
    // its state when it was first opened: fingerprint items.
    std::vector<std::pair<std::string, std::string>> const& opened() const { return opened_; }

    // The state recorded for raw file `name` when this source first opened
    // it, or null when it has not opened it (or could not).
    std::string const* opened_state(std::string const& name) const;

    // Closes the open raw file.
    void end();

private:
    int session_of(int e) const;
    bool open_session_at(int e);
    void skip_session();
    void note_opened(char const* name, FILE* f);
    int read_again(int e, int16_t* record);

    bool has_record(FILE* f, int e) const;

    RunSettings const& settings_;
    bool read_samples_;
    int64_t complete_ = 0;  // without read_samples: complete records of the open file
    int first_ = 0;
    int last_ = -1;
    int next_ = 0;
    std::vector<int> again_;
    FILE* file_ = nullptr;
    char name_[kPathLength] = {0};
    bool lost_ = false;
    int64_t skipped_ = 0;
    std::vector<std::pair<std::string, std::string>> opened_;
};

// Opens a raw waveform file for reading, refusing what is not a regular file
// (a directory, or a FIFO that would block the run). Prints "ERROR: Cannot
// open file: <name> (<reason>)" or "Error: Cannot read raw file <name>: it is
// ..." and returns null when it cannot be used.
FILE* open_raw_file(char const* name);

#endif
