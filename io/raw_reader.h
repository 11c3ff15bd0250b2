// Raw event records by event number: how a worker reads the raw files
// itself when rank 0 sends it event numbers instead of samples.
//
// Event e of a phase over the sessions first .. last is record
// e mod waveforms of "<infile_path>.<first + e div waveforms>", behind a
// header of data_offset bytes: the numbering of the master's session walk.
// The file of the current session stays open between calls, and a record is
// read by its offset (pread), so that events need not come in order.
//
// The worker may see other files than rank 0 (another folder, another node,
// or a file replaced while the run goes on), and records from another file
// would be booked as rank 0's raw events. So a session's file is read only
// when its state (size and modification time) is the one rank 0 recorded in
// the run's fingerprint, as told by expect().
#ifndef ZORV_RAW_READER_H
#define ZORV_RAW_READER_H

#include <cstdint>
#include <map>
#include <string>

#include "io/settings.h"

class RawEventReader {
public:
    // The raw files named and laid out by `settings` (which must outlive the
    // reader), relative to the working directory.
    explicit RawEventReader(RunSettings const& settings) : settings_(settings) {}
    ~RawEventReader();
    RawEventReader(RawEventReader const&) = delete;
    RawEventReader& operator=(RawEventReader const&) = delete;

    // Reads the `count` events `events` of the phase over `sessions` into
    // `records` (5,000 values each, in the order given). Events that follow
    // each other in one file are read in one go. Returns 0, or 1 with *why
    // saying what went wrong, naming the file: it cannot be opened, is not a
    // regular file, is not the file rank 0 read, holds too few complete
    // records, or cannot be read.
    int read(SessionRange sessions, int const* events, int count, int16_t* records,
             std::string* why);

    // Session `session`'s file is the one whose file_state() is `state`;
    // a file in another state is not read. A session never named here is
    // not read either.
    void expect(long long session, std::string const& state);

    // Closes the open file.
    void close();

private:
    int open_session(long long session, std::string* why);

    RunSettings const& settings_;
    int fd_ = -1;
    long long session_ = 0;  // the session of the open file
    int64_t complete_ = 0;   // its complete records behind the header
    std::string name_;
    std::map<long long, std::string> expected_;  // session -> state on rank 0
};

#endif
