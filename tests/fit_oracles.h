// Plain oracles of the fit, for the tests: the whole Jacobian and residual
// vector of the pulse model, and the normal equations summed from them, each
// sum over the rows from row 0 upwards with a single accumulator. The solver
// never stores the Jacobian (analysis/fit/normal_pass.h); these are what its
// fused pass must reproduce bit for bit, and the reference iteration of the
// solver's tests is composed from them.
#ifndef ZORV_TESTS_FIT_ORACLES_H
#define ZORV_TESTS_FIT_ORACLES_H

#include "pulse_model.h"

namespace zorv_fit {

// Residuals and Jacobian over the whole data set in one pass.
//
// data  (in)  kFitPoints pairs (x, y)
// p     (in)  parameter vector
// J     (out) kFitPoints x kFitParams Jacobian of the model, every entry written
// r     (out) kFitPoints residuals y - model(x), every entry written
// lock  (in)  lock mask; only entries 6 and 7 are read: both equal to 1 selects
//             the single-pulse model (second pulse left out, columns 6 and 7
//             zero), anything else the two-pulse model.
//
// No input is validated: a zero width or an overflowing exp gives NaN or
// infinity in the outputs.
void initialize_J_rr(double (*data)[kFitPoints][2], double* p, double (*J)[kFitParams],
                     double* r, int const* lock);

// N[i][j] = sum_n J[n][i] J[n][j] over the kFitPoints rows, all 64 entries,
// free or locked (the mask is not read).
void multiply_matrices(double (*J)[kFitParams], double (*N)[kFitParams], int const* lock);

// b_j = sum_n J[n][j] r_n for free j; locked entries of b are not written.
void multiply_matrix_vector(double (*J)[kFitParams], double* r, double* b, int const* lock);

}  // namespace zorv_fit

#endif
