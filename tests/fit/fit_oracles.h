// Plain oracles of the fit, for the tests: the whole Jacobian and residual
// vector of the pulse model, and the normal equations summed from them, each
// sum over the rows from row 0 upwards with a single accumulator. The solver
// never stores the Jacobian (analysis/fit/normal_pass.h); these are what its
// fused pass must reproduce bit for bit, and the reference iteration of the
// solver's tests is composed from them.
#ifndef ZORV_TESTS_FIT_ORACLES_H
#define ZORV_TESTS_FIT_ORACLES_H

#include "fit/free_params.h"
#include "fit/pulse_model.h"

namespace zorv_fit {

// Residuals and Jacobian over the whole data set in one pass.
//
// data  (in)  kFitPoints pairs (x, y)
// p     (in)  parameter vector
// J     (out) kFitPoints x kFitParams Jacobian of the model, every entry written
// r     (out) kFitPoints residuals y - model(x), every entry written
// free  (in)  only the second pulse's parameters are read: 6 and 7 both
//             locked select the single-pulse model (second pulse left out,
//             columns 6 and 7 zero), anything else the two-pulse model.
//
// No input is validated: a zero width or an overflowing exp gives NaN or
// infinity in the outputs.
void initialize_J_rr(double const (*data)[kFitPoints][2], double const* p,
                     double (*J)[kFitParams], double* r, FreeParams free);

// N[i][j] = sum_n J[n][i] J[n][j] over the kFitPoints rows, all 64 entries,
// free or locked.
void multiply_matrices(double const (*J)[kFitParams], double (*N)[kFitParams]);

// b_j = sum_n J[n][j] r_n for free j; locked entries of b are not written.
void multiply_matrix_vector(double const (*J)[kFitParams], double const* r, double* b,
                            FreeParams free);

}  // namespace zorv_fit

#endif
