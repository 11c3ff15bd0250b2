/*
 * The two result files of a zorv_mpi run, read together.
 *
 * "<base>0.bin" (channel A) and "<base>1.bin" (channel B) are bare sequences
 * of 72-byte records, 9 little-endian IEEE doubles each: the residual sum of
 * squares, then the parameter vector p[0..7] (amplitude 1, decay rate,
 * baseline, position 1, width, tail amplitude, amplitude 2, position 2).
 * Record i of one file and record i of the other are the same event, so the
 * pair is only usable as a whole: both files present, both whole numbers of
 * records, equally long, every value finite. read_result_pair checks all of
 * that before the caller sees a single record, so that nothing is ever drawn
 * from a pair that would later turn out to be broken.
 */
#ifndef ZORV_SPECTRA_RESULT_FILE_H
#define ZORV_SPECTRA_RESULT_FILE_H

#include <array>
#include <string>
#include <vector>

constexpr int record_values = 9;
constexpr int record_bytes = 8 * record_values;

// Positions of the values in a record.
enum record_field {
    field_ssr = 0,
    field_amplitude1 = 1,
    field_decay = 2,
    field_baseline = 3,
    field_position1 = 4,
    field_width = 5,
    field_tail = 6,
    field_amplitude2 = 7,
    field_position2 = 8,
};

// Name of field k, as used in messages and the summary.
char const* field_name(int k);

using result_record = std::array<double, record_values>;

// The records of both channels; channel[c][i] is channel c of event i.
struct result_pair {
    std::string path[2];
    std::vector<result_record> channel[2];
    std::size_t events() const { return channel[0].size(); }
};

// A channel holds two pulses when its second amplitude was fitted: a
// single-pulse fit leaves amplitude 2 at exactly 0.0 (and position 2 at 1500).
inline bool two_pulses(result_record const& r) { return r[field_amplitude2] != 0.0; }

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
