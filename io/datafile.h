// Data files of zorv_mpi.
//
// Raw waveform file: a header of data_offset bytes, then raw event records.
// Result file: result records, no header. (Both records: record_format.h.)
// Decay list: one decay rate per line, "%.12f\n".
#ifndef ZORV_DATAFILE_H
#define ZORV_DATAFILE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "formats/record_format.h"
#include "formats/run_files.h"

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
