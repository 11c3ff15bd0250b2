// Messages between rank 0 and the workers, all on MPI_COMM_WORLD. With
// events_per_message = N, a work message holds k events, 1 <= k <= N
// (consecutive events of the phase, but for events done again after a
// stop), and its answer holds their k results in the same order:
//
//   work       0 -> worker  k x 5,000 MPI_SHORT  tag 17  k event records, as stored
//   numbers    0 -> worker  k MPI_INT            tag 18  k event numbers (worker_reads = 1)
//   files      0 -> worker  MPI_CHAR text        tag 19  "<session> <state>\n" per raw file
//                                                        (worker_reads = 1)
//   result     worker -> 0  k x 38 MPI_DOUBLE    tag 17  per event both channels' 9-double
//                                                        blocks, their two outcomes, then
//                                                        their 9-double precision records
//   failure    worker -> 0  MPI_CHAR text        tag 43  "<first event> <what it could not read>"
//   stop       0 -> worker  5,000 MPI_SHORT      tag 42  end of the phase
//
// With N = 1 and worker_reads = 0 (the defaults) only work, result and stop
// messages pass, each of one event. A worker answers each work or numbers
// message with one result message or one read failure, in the order they
// came. A worker holds one work message at a time with the defaults, and up
// to two when it reads the raw files or is sent more than one event per
// message; its result messages answer them in order (a read failure names its batch by the first event, since
// it may overtake the answer to the batch before). Before a numbers message
// whose sessions it has not just named to that worker, rank 0 sends a files
// message with the state (size, modification time) in which it found each
// of those sessions' raw files; the worker reads only files in that state. A
// worker tells the messages apart by their tags.
#ifndef ZORV_PROTOCOL_H
#define ZORV_PROTOCOL_H

#include "physics/channel.h"
#include "io/datafile.h"

constexpr int kWorkTag = 17;         // work message, and every result message
constexpr int kNumbersTag = 18;      // numbers message
constexpr int kFilesTag = 19;        // files message: the raw files' states on rank 0
constexpr int kStopTag = 42;         // end of the phase; the content is ignored
constexpr int kReadFailureTag = 43;  // a worker could not read a raw file it was given

constexpr int kWorkShorts = kRecordShorts;         // one event record
constexpr int kResultDoubles = 2 * kBlockDoubles;  // one block per channel
// An event's answer: its two blocks, then what became of each channel (a
// ChannelOutcome, as a double), then the two channels' precision records.
constexpr int kPrecisionAt = kResultDoubles + 2;
constexpr int kAnswerDoubles = kPrecisionAt + kResultDoubles;

inline ChannelOutcome answer_outcome(double const* answer, int c)
{
    return static_cast<ChannelOutcome>(static_cast<int>(answer[kResultDoubles + c]));
}

inline double const* answer_precision(double const* answer) { return answer + kPrecisionAt; }
constexpr int kReadFailureChars = 512;             // the longest read failure text

#endif
