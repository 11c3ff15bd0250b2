// Checkpoints of a run: what it takes to continue an interrupted run exactly
// where it stopped.
//
// Rank 0 keeps "zorv_mpi.checkpoint" in its working directory, beside the
// decay lists. It is written at intervals, at the end of every phase and when
// the run stops: first the seven outputs are written out and put on disk,
// then the state goes to a temporary file that is put on disk and renamed
// into place, so that the checkpoint on disk is always a whole one and never
// describes more than the outputs hold.
//
// The file is text, one item per line, so that a user can see where a run
// stands:
//   zorv_mpi checkpoint 2
//   state running | finished
//   phase calibration | processing
//   next_event N            the event that sequential reading delivers next
//   pending K e1 .. eK      events sent but not booked: done again first
//   counters ALL OK0 OK1 BOTH
//   outcomes0 N1 .. N8      what became of channel 0, per ChannelOutcome
//   outcomes1 N1 .. N8      the same for channel 1
//   seconds T               time the phase has run so far
//   skipped S               events of the phase lost (unreadable raw files)
//   run_error 0 | 1         a session was lost or an estimate not made
//   calibrated D0 D1        the calibrated decay rates (processing phase)
//   calibration_counters .. the finished calibration's counters, outcomes0,
//   calibration_outcomes0 .. outcomes1 and seconds, in the processing phase
//   calibration_outcomes1 ..
//   calibration_seconds T
//   outputs B0 .. B6        bytes of ab0, decay0, ab1, decay1, events.txt,
//                           ab0.err, ab1.err
//   fingerprint KEY VALUE   one line per setting, kernel and raw file
//   checksum H              64-bit FNV-1a of every byte above, in hex
//   end
// A file of version 1 (no skipped and no checksum line, four outputs) is
// still read, and so is a version 2 file of five outputs; the sizes of the
// outputs they do not name (provenance list, precision files) are
// kUnknownSize.
//
// Before a resume touches anything, the checkpoint must hold together: its
// checksum, and a state that a run can have been in (check_checkpoint).
#ifndef ZORV_CHECKPOINT_H
#define ZORV_CHECKPOINT_H

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "formats/run_files.h"
#include "io/input_file.h"
#include "run/results.h"
#include "io/settings.h"

// What a run depends on, as (item, value) pairs: the settings that shape the
// results, the kernel, and the size and modification time of each raw file,
// taken when the run first opened it. A file the run has not reached yet is
// not part of it: a session that appears (or changes) before it is reached
// does no harm.
using Fingerprint = std::vector<std::pair<std::string, std::string>>;

// The item of a raw file is this prefix and the file's name.
constexpr char kRawFileItem[] = "raw file ";

struct Checkpoint {
    bool finished = false;
    Phase phase = Phase::kCalibration;
    int next_event = 0;
    std::vector<int> pending;
    GoodFitCounts counts;
    double seconds = 0.0;  // time the phase has run so far, in all starts
    int64_t skipped = -1;  // -1: not recorded (a version 1 file)
    int run_error = 0;
    bool calibrated = false;
    double decay[2] = {0.0, 0.0};
    GoodFitCounts calibration;  // the finished calibration (processing phase)
    double calibration_seconds = 0.0;
    OutputSizes outputs = {};
    Fingerprint fingerprint;
};

// Writes cp to `name` through "<name>.tmp", fsync and rename. Returns 0, or
// 1 after printing why (the previous checkpoint is then still in place).
int write_checkpoint(Checkpoint const& cp, char const* name = kCheckpointName);

// Removes the checkpoint `name` (a run without checkpoints leaves none that
// could describe its outputs). Returns 0, also when there was none, or 1
// after printing why it cannot be removed.
int remove_checkpoint(char const* name = kCheckpointName);

// Reads `name` into *cp. Returns 0 when it was read, -1 when there is no such
// file, 1 after printing why it cannot be used (it cannot be read, is not a
// regular file, is cut short, damaged or fails its checksum).
int read_checkpoint(Checkpoint* cp, char const* name = kCheckpointName);

// Checks that an unfinished run's checkpoint describes a state its run can
// have been in, for a phase of `phase_events` events: next_event within the
// phase; pending events unique and below next_event; counters that are not
// negative, that nest (both good <= each channel good <= results) and that
// add up with the pending and skipped events to next_event; skipped events
// only with the run's error recorded (a version 1 file included); the good events
// in both channels equal the records of the outputs; result files of whole,
// equal numbers of records, and precision files (when known) of as many; finite calibrated decay rates present exactly in
// the processing phase. Touches nothing. Returns 0, or 1 after printing
// "Error: Checkpoint ... does not hold together: <what>".
int check_checkpoint(Checkpoint const& cp, int64_t phase_events,
                     char const* name = kCheckpointName);

// The fingerprint of the configured run as it starts: every setting except
// refresh_interval, resume and checkpoint_interval, which do not change
// results, then the kernel of `count` coefficients. The raw files join it
// as they are opened.
Fingerprint run_fingerprint(RunSettings const& settings, double const* kernel, int count);

// The item of raw file `name`, and the state it records: "size S, modified
// T" from the file's status, or "missing" when there is no such file.
std::string raw_file_item(std::string const& name);
std::string raw_file_state(char const* name);

// Appends to *fp the items of `items` that it does not hold yet.
void add_to_fingerprint(Fingerprint* fp, Fingerprint const& items);

// 0 when `now` (the settings and kernel of this start) matches `saved` and
// every raw file that `saved` names is still as it was then; otherwise
// prints "Error: " naming the first item that differs and returns 1.
int compare_fingerprints(Fingerprint const& saved, Fingerprint const& now);

#endif
