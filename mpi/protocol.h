// Messages between rank 0 and the workers, all on MPI_COMM_WORLD. With
// events_per_message = N, a work message holds k events, 1 <= k <= N
// (consecutive events of the phase, but for events done again after a
// stop), and its answer holds their k results in the same order:
//
//   work message    rank 0 -> worker   k x 5,000 MPI_SHORT  tag 17   k event records, as stored
//   numbers message rank 0 -> worker   k MPI_INT            tag 18   k event numbers of the phase
//                                                                    (worker_reads = 1)
//   result message  worker -> rank 0   k x 18 MPI_DOUBLE    tag 17   both channels' 9-double blocks
//   read failure    worker -> rank 0   MPI_CHAR text        tag 43   the file it could not read,
//   why stop message    rank 0 -> worker   5,000 MPI_SHORT      tag 42   end of the phase
//
// With N = 1 and worker_reads = 0 (the defaults) only work, result and stop
// messages pass, each of one event. A worker holds at most one work message
// at a time and answers it with one result message (or a read failure), so
// a result message always belongs to the work message last sent to the rank
// it comes from. A worker tells the messages apart by their tags.
#ifndef ZORV_PROTOCOL_H
#define ZORV_PROTOCOL_H

#include "datafile.h"

constexpr int kWorkTag = 17;         // work message, and every result message
constexpr int kNumbersTag = 18;      // numbers message
constexpr int kStopTag = 42;         // end of the phase; the content is ignored
constexpr int kReadFailureTag = 43;  // a worker could not read a raw file it was given

constexpr int kWorkShorts = kRecordShorts;         // one event record
constexpr int kResultDoubles = 2 * kBlockDoubles;  // one block per channel
constexpr int kReadFailureChars = 512;             // the longest read failure text

#endif
