// One pass over the data set that yields the normal equations of the free
// parameters directly, without storing the Jacobian.
//
// Produces the same bits as the plain composition the tests hold it to
// (tests/fit_oracles.h): the whole Jacobian and residuals first, then every
// entry of N and b and the SSR summed over them. Every row of J and r is
// formed by the same templates (pulse_terms.h), and every entry of N, b and
// SSR is still one accumulator running over the rows from row 0 upwards. Only
// the interleaving of those independent accumulators differs, and the work
// that no result depends on is skipped: entries with a locked index, the
// upper triangle (J_i J_j equals J_j J_i bit for bit), library calls whose
// value is known exactly, exp(lambda x) when the caller already holds it, and
// the products of a column that is exactly zero over a whole block of rows
// (see normal_pass.cpp).
#ifndef ZORV_FIT_NORMAL_PASS_H
#define ZORV_FIT_NORMAL_PASS_H

#include "fit/free_params.h"
#include "fit/pulse_model.h"

namespace zorv_fit {

constexpr int kBlock = 100;      // rows per block
constexpr int kMaxLanes = 4;     // doubles per vector in the pass (AVX2)
constexpr int kPassCols = kFitParams + 1;  // free columns of J, then r
constexpr int kRowWidth = 12;    // a row of the block, padded to whole vectors

static_assert(kFitPoints % kBlock == 0, "blocks tile the data set");
static_assert(kBlock % kMaxLanes == 0, "a block is whole vectors of every width");
static_assert(kRowWidth % kMaxLanes == 0 && kRowWidth >= kPassCols,
              "a row holds every column in whole vectors of every width");

// Scratch of one pass: the arguments and values of the block's library
// calls, and the block's rows [J_free | r], stored both by row and by column
// (the sums multiply a row's vector of columns by one column's value, which
// the compiler then loads on its own instead of picking it out of the row).
struct PassScratch {
  alignas(32) double lx[kBlock];       // lambda x
  alignas(32) double e[kBlock];        // exp(lambda x)
  alignas(32) double u[2][kBlock];     // u_k
  alignas(32) double z[2][kBlock];     // g_k / (sqrt2 sigma)
  alignas(32) double w[2][kBlock];     // -g_k^2 / (2 sigma^2)
  alignas(32) double eu[2][kBlock];    // exp(u_k), or its stand-in
  alignas(32) double erfz[2][kBlock];  // erf(g_k / (sqrt2 sigma))
  alignas(32) double ew[2][kBlock];    // exp(-g_k^2 / (2 sigma^2))
  alignas(32) double rows[kBlock][kRowWidth];
  alignas(32) double cols[kPassCols][kBlock];
};

// exp(lambda x_i) for every point, as the model forms it.
void exp_lambda_x(double const (*data)[kFitPoints][2], double lambda, double* out);

// Normal equations at p over the free parameters.
//
// data    (in)  data set
// p       (in)  parameter vector
// free    (in)  the free parameters; 6 and 7 both locked leave pulse 2 out
// exp_lx  (in)  exp(lambda x_i) from exp_lambda_x for this p[1], or null
// N       (out) N[i][j] = sum_n J[n][i] J[n][j] for free i >= j; nothing else written
// b       (out) b_j = sum_n J[n][j] r_n for free j; nothing else written
// ssr     (out) sum_n r_n^2
void normal_pass(double const (*data)[kFitPoints][2], double const* p, FreeParams free,
                 double const* exp_lx, PassScratch& s, double (*N)[kFitParams], double* b,
                 double* ssr);

}  // namespace zorv_fit

#endif
