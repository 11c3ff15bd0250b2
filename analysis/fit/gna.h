// Masked Gauss-Newton least-squares fit of the pulse model.
//
// gna repeats Gauss-Newton steps J^T J delta = J^T r (normal equations, solved
// by a Cholesky factorisation without pivoting) until the relative step
// sqrt(sum delta_j^2 / p_j^2) falls below 1e-9 or the iteration limit is
// reached. A lock mask holds any subset of the parameters at their current
// values; the normal equations are then restricted to the free parameters.
//
// Lock mask: kFitParams ints, 1 = locked, anything else = free (callers use
// 0 and 1 only; the degrees of freedom count the entries equal to 0).
//
// Nothing is allocated while fitting: all work arrays have fixed sizes and
// live in a per-thread workspace, so gna is reentrant across threads but a
// thread runs one fit at a time.
#ifndef ZORV_FIT_GNA_H
#define ZORV_FIT_GNA_H

#include "pulse_model.h"

namespace zorv_fit {

// Fits p to the data set by masked Gauss-Newton.
//
// data      (in)     kFitPoints pairs (x, y)
// p         (in/out) starting values; updated in place by every applied step,
//                    on failure too (locked entries are never written)
// sp        (out)    standard errors, 0 for locked parameters; success only
// lock      (in)     lock mask
// max_iter  (in)     iteration limit, at least 1 (less: fails at once)
// ssr       (out)    sum of squared residuals; success only
// iter      (out)    zero-based index of the converging iteration; success only
//
// Returns 0 on success, 1 on a non-finite step (p then holds the values at
// which that step's Jacobian was evaluated) or when the limit is reached (p
// after the last applied step). The SSR, the factors and so the standard
// errors belong to the parameters before the converging step.
int gna(double (*data)[kFitPoints][2], double* p, double* sp, int* lock, int max_iter,
        double* ssr, int* iter);

// Cholesky factor L (lower triangle, free rows and columns only) of N,
// reading only the diagonal and lower triangle of N. No pivoting and no test
// of the pivots: a non-positive pivot gives NaN or infinity downstream.
void cholesky(double (*N)[kFitParams], double (*L)[kFitParams], int const* lock);

// Forward substitution L z = b over the free indices.
void solve_lower(double (*L)[kFitParams], double* z, double* b, int const* lock);

// Back substitution L^T x = z over the free indices: the upper-triangular
// system, read from L itself (its diagonal and lower triangle) rather than
// from a transposed copy.
void solve_upper(double (*L)[kFitParams], double* x, double* z, int const* lock);

}  // namespace zorv_fit

// The per-channel step of the analysis library calls the solver by its
// plain name.
using zorv_fit::gna;

#endif
