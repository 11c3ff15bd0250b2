// Data files of zorv_mpi.
//
// Raw waveform file: a header of data_offset bytes, then event records of
// 10,000 bytes, each 2,500 sample pairs (channel A, channel B) of signed
// 16-bit little-endian integers. Result file: 72-byte records of 9 doubles
// (residual sum of squares, then the 8 fitted parameters), little-endian, no
// header. Decay list: one decay rate per line, "%.12f\n".
#ifndef ZORV_DATAFILE_H
#define ZORV_DATAFILE_H

#include <cstdint>
#include <cstdio>
#include <string>

// The files are read and written as the bytes lie in memory; that is the
// documented little-endian layout only on a little-endian host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "zorv_mpi reads and writes little-endian files as they lie in memory");

constexpr int kSamples = 2500;                       // samples per channel
constexpr int kRecordShorts = 2 * kSamples;          // 16-bit values per record
constexpr int kRecordBytes = kRecordShorts * 2;      // 10,000
constexpr int kBlockDoubles = 9;                     // doubles per result record
constexpr int kResultBytes = kBlockDoubles * 8;      // 72

// Sample k of channel c (0 = A, 1 = B) of an event record.
inline int16_t record_sample(int16_t const* record, int k, int c)
{
    return record[2 * k + c];
}

// Positions fp at record r (from 0) behind a header of `offset` bytes.
// Returns 0 on success, 1 when the stream cannot be positioned.
int seek_record(FILE* fp, long offset, int r);

// seek_record at the first record.
int seek_first_record(FILE* fp, long offset);

// Reads the next 10,000-byte record into `record` (5,000 values). Returns 1
// when a complete record was read, 0 at the end of the file or when only part
// of a record was left (the caller must not use it then).
int read_event_record(FILE* fp, int16_t* record);

// Appends one result record (9 doubles) to a file, or to the bytes that
// are to be written. Returns 0 on success, 1 on a write error.
int write_result_record(FILE* fp, double const* block);
void append_result_record(std::string& out, double const* block);

// Appends one decay-list line to a file, or to the bytes that are to be
// written. Returns 0 on success, 1 on a write error.
int write_decay_line(FILE* fp, double decay);
void append_decay_line(std::string& out, double decay);

#endif
