// The C library's exponential, several lanes at a time, with its bits.
//
// The fused pass calls exp on blocks of arguments (exp(lambda x), exp(w),
// exp(u)). glibc's exp on x86-64 with FMA is a short table-driven sequence:
// x = k ln2/128 + r, 2^(k/128) from a table (exp_table.h), a polynomial in r
// and a few fused multiply-adds. lane_exp.cpp performs that same sequence,
// operation for operation in the library's order, in every lane of an AVX2
// or AVX-512 vector, and gives arguments outside the sequence's range
// (|x| < 2^-54, |x| >= 512, infinities, NaN) to the library one at a time.
// erf goes the same way where the library's erf is two exps and two
// rational functions (1.25 <= |z| < 6); nearer 0 the library computes it.
//
// Whether the lanes really match is not assumed: on first use each process
// compares them with the library, at every vector width its CPU has, on a
// fixed set of arguments that meets every table entry, both signs, r near 0
// and near +-ln2/256, and the edges of the range (erf: the edges of its
// lanes' range and branches, and 4,096 arguments in (-7, 7)). If one result
// differs in one bit (another C library, another version, a CPU without
// FMA, a table built wrong) the process calls the library for the whole
// run. With two lanes (SSE2, no fused multiply-add) the library is always
// called.
#ifndef ZORV_FIT_LANE_EXP_H
#define ZORV_FIT_LANE_EXP_H

namespace zorv_fit {

// The library calls of a block, as pulse_terms.h's exp_exact and
// exp_u_exact of each point:
//   exact  out[i] = exp_exact(w[i])
//   u      out[i] = exp_u_exact(u[i], erf_z[i], exp_w[i], limit)
//   erf    out[i] = erf_exact(z[i])
// n >= 0, any n. erf's lanes take 1.25 <= |z| < 6, the branch of glibc's
// erf that calls exp twice; the rest is the library's or exactly +-1.
struct ExpRuns {
  void (*exact)(double const* w, double* out, int n);
  void (*u)(double const* u, double const* erf_z, double const* exp_w, double limit, double* out,
            int n);
  void (*erf)(double const* z, double* out, int n);
};

// The runs for a pass `lanes` doubles wide (vector_width()): the lanes when
// the start-up comparison passed and the CPU has them, the library otherwise.
ExpRuns const& exp_runs(int lanes);

// "vector" when the fused pass at the width in use (vector_width()) computes
// exp in lanes, "library" when it calls the C library: two lanes (SSE2), the
// start-up comparison failed, or the environment variable ZORV_EXP=library
// asked for it (read once).
char const* exp_kind();

// For tests and benchmarks.
namespace exp_testing {

// Whether this CPU runs the lanes for a pass of that width: 4 (AVX2 with
// FMA), 8 (AVX-512F, DQ and VL; the same four lanes built for that unit).
bool lanes_available(int lanes);

// exp of each x[i] at that width, whatever the comparison said: the lanes
// where the library's fast sequence applies, the library elsewhere. Only
// for an available width.
void exp_in_lanes(int lanes, double const* x, double* out, int n);

// erf_exact of each z[i] in the lanes of that width, whatever the
// comparison said. Only for an available width.
void erf_in_lanes(int lanes, double const* z, double* out, int n);

// Runs the start-up comparison again, as a new process would, and adopts
// its verdict; returns exp_kind(). altered_entry >= 0 first flips the last
// bit of that table entry's head, which the comparison must notice; -1
// rebuilds the table as it should be.
char const* recheck(int altered_entry);

// The table in use (2 x 128 words, exp_table.h).
unsigned long long const* table();

}  // namespace exp_testing

}  // namespace zorv_fit

#endif
