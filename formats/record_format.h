// Byte layouts of the records that cross between the programs.
//
// zorv_gen writes raw event records, zorv_mpi reads them and writes result
// records, zorv_spectra reads those; the Python package mirrors the same
// numbers (python/zorv/files.py, checked against this header by its tests).
// Everything is little-endian: the programs refuse to build for another host.
//
// Raw event record, 10,000 bytes: 2,500 sample pairs, each sample a signed
// 16-bit integer, channel A then channel B, so that sample k of channel c is
// 16-bit value 2k + c of the record.
//
// Result record, 72 bytes: 9 doubles, the residual sum of squares of the
// channel's fit and then the fit's parameter vector p[0] .. p[7].
//
// Precision record, 72 bytes, one beside each result record in the channel's
// precision file: 9 doubles, the number of Gauss-Newton iterations the fit
// took (the converging one included) and then the standard errors of p[0] ..
// p[7] in the positions the result record gives the parameters (0 for a
// parameter the fit held).
#ifndef ZORV_RECORD_FORMAT_H
#define ZORV_RECORD_FORMAT_H

#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record files are little-endian and are read and written as they lie in memory");

constexpr int kSamples = 2500;                   // samples per channel and event
constexpr int kRecordShorts = 2 * kSamples;      // 16-bit values per raw record
constexpr int kRecordBytes = 2 * kRecordShorts;  // bytes per raw record

// Sample k of channel c (0 = A, 1 = B) of a raw event record.
inline int16_t record_sample(int16_t const* record, int k, int c) { return record[2 * k + c]; }

constexpr int kBlockDoubles = 9;                 // doubles per result record
constexpr int kResultBytes = 8 * kBlockDoubles;  // bytes per result record

// Positions in a result record.
enum ResultField : int {
    kFieldSsr = 0,
    kFieldAmplitude1 = 1,
    kFieldDecayRate = 2,
    kFieldBaseline = 3,
    kFieldPosition1 = 4,
    kFieldWidth = 5,
    kFieldTailAmplitude = 6,
    kFieldAmplitude2 = 7,
    kFieldPosition2 = 8,
};

// Position of the iteration count in a precision record; its other entries
// are at the positions of the parameters they belong to.
constexpr int kFieldIterations = 0;

// The fields' names as the Python package calls its columns.
constexpr char const* kResultFieldKeys[kBlockDoubles] = {
    "ssr",   "amplitude1",     "decay_rate", "baseline",  "position1",
    "width", "tail_amplitude", "amplitude2", "position2",
};

// A channel fitted with a single pulse: its second pulse is held at
// amplitude exactly 0, which takes it out of the model, and at this position,
// which plays no part in the fit. Together they mark a single-pulse record
// for readers of the files. A position on the trace (0 .. 2,499), kept for
// the same reason.
constexpr double kParkedPosition = 1500.0;

// True when the record's channel was fitted with two pulses: a single-pulse
// fit leaves amplitude 2 at exactly 0.
inline bool holds_two_pulses(double const* record) { return record[kFieldAmplitude2] != 0.0; }

#endif
