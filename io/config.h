// Configuration reader of zorv_mpi.
//
// "zorv_mpi.ini" is a sequence of entries "key = value [remark]". Every entry
// is echoed to standard output as it is read, so the console log of a run
// documents the settings it ran with. Rank 0 alone reads the file.
#ifndef ZORV_CONFIG_H
#define ZORV_CONFIG_H

#include <cstdio>

#include "io/settings.h"

// Reads "zorv_mpi.ini" from the working directory into *settings, which
// starts from the defaults of RunSettings. Returns 0 when the whole file was
// read, 1 on the first error (after printing its message and a line
// "zorv_mpi.ini:LINE: ..." with the line of the entry and what would be right
// there). Values stored before an error stay stored. settings->keys_set
// lists the keys the file set.
// A value must end at white space or at the end of the file; integers must
// fit in 32 bits, reals must be finite. A leading UTF-8 byte-order mark is
// skipped; a directory or anything else that is not a regular file is refused.
int initialize(RunSettings* settings);

// Reads a double-quoted string from fp into target (256 bytes, cleared
// first). Blanks and tabs may precede the opening quote; a line break may
// not. Returns 1 on success, 0 after printing an error.
int read_quoted_string(FILE* fp, char* target);

// True when a and b are the same NUL-terminated byte strings.
bool compare_str(char const* a, char const* b);

// Checks that the settings the run depends on are usable: waveforms at least
// 1, data_offset not negative, both paths given, hist_overflow in [0, 0.5),
// resume 0 or 1, checkpoint_interval in [0, 1e9] seconds (and above 0 with
// resume), events_per_message in 1 .. 4096, worker_reads 0 or 1,
// session ranges in order, phase sizes and file names within their limits.
// Prints one "Error: " line for the first problem and returns 1; returns 0
// when everything is usable.
int validate_config(RunSettings const& settings);

#endif
