// Messages between rank 0 and the workers, all on MPI_COMM_WORLD:
//
//   work message    rank 0 -> worker   5,000 MPI_SHORT   tag 17   one event record, as stored
//   result message  worker -> rank 0   18 MPI_DOUBLE     tag 17   both channels' 9-double blocks
//   stop message    rank 0 -> worker   5,000 MPI_SHORT   tag 42   end of the phase
//
// A worker tells work from stop by the tag alone and holds at most one event,
// so a result always belongs to the event last sent to the rank it comes from.
#ifndef ZORV_PROTOCOL_H
#define ZORV_PROTOCOL_H

#include "datafile.h"

constexpr int kWorkTag = 17;    // work message, and every result message
constexpr int kStopTag = 42;    // end of the phase; the content is ignored

constexpr int kWorkShorts = kRecordShorts;         // one event record
constexpr int kResultDoubles = 2 * kBlockDoubles;  // one block per channel

#endif
