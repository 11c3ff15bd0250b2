/*
 * The two result files of a zorv_mpi run, read together.
 *
 * "<base>0.bin" (channel A) and "<base>1.bin" (channel B) are bare sequences
 * of the result records of formats/record_format.h, 72 bytes each, 9
 * little-endian IEEE doubles: the residual sum of squares, then the
 * parameter vector p[0..7] (amplitude 1, decay rate, baseline, position 1,
 * width, tail amplitude, amplitude 2, position 2).
 * Record i of one file and record i of the other are the same event, so the
 * pair is only usable as a whole: both files present, both whole numbers of
 * records, equally long, every value finite. read_result_pair checks all of
 * that before the caller sees a single record, so that nothing is ever drawn
 * from a pair that would later turn out to be broken.
 */
#ifndef ZORV_SPECTRA_RESULT_FILE_H
#define ZORV_SPECTRA_RESULT_FILE_H

#include "formats/record_format.h"

#include <array>
#include <string>
#include <vector>

// Name of field k (a ResultField), as used in messages and the summary.
char const* field_name(int k);

using result_record = std::array<double, kBlockDoubles>;

// The records of both channels; channel[c][i] is channel c of event i.
struct result_pair {
    std::string path[2];
    std::vector<result_record> channel[2];
    std::size_t events() const { return channel[0].size(); }
};

// "<base>0.bin" or "<base>1.bin".
std::string result_path(std::string const& base, int channel);

/*
 * Decodes one record from 72 bytes (little-endian doubles, whatever the byte
 * order of the host).
 */
result_record decode_record(unsigned char const* bytes);

/*
 * Reads and checks both result files of `base` into *out.
 * Returns 0, or prints one "Error: ..." line on standard output and returns 1
 * when a file is missing, unreadable or not a regular file, is not a whole
 * number of 72-byte records, the two differ in length, they hold no record at
 * all, there is not enough memory for their records, or a value is not
 * finite.
 */
int read_result_pair(std::string const& base, result_pair* out);

#endif
