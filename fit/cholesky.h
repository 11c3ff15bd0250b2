// Cholesky factorisation N = L L^T of the normal matrix and the two
// triangular substitutions that solve N x = b with it, restricted to the free
// parameters: entries with a locked index are neither read nor written.
//
// No pivoting and no test of the pivots: the normal matrix of a well-posed
// fit is positive definite, and a singular or indefinite one shows up as NaN
// or infinity in the solution, which the solver tests for.
#ifndef ZORV_FIT_CHOLESKY_H
#define ZORV_FIT_CHOLESKY_H

#include "fit/free_params.h"

namespace zorv_fit {

// Cholesky factor L of N: the diagonal and lower triangle of L over the free
// rows and columns, from the diagonal and lower triangle of N. A pivot below
// 0 gives a NaN diagonal, a pivot of 0 a zero one.
void cholesky(double const (*N)[kFitParams], double (*L)[kFitParams], FreeParams free);

// Forward substitution L z = b over the free indices.
void solve_lower(double const (*L)[kFitParams], double* z, double const* b, FreeParams free);

// Back substitution L^T x = z over the free indices: the upper-triangular
// system, read from L itself (its diagonal and lower triangle) rather than
// from a transposed copy.
void solve_upper(double const (*L)[kFitParams], double* x, double const* z, FreeParams free);

}  // namespace zorv_fit

#endif
