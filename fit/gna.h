// Masked Gauss-Newton least-squares fit of the pulse model.
//
// gna repeats Gauss-Newton steps J^T J delta = J^T r (normal equations, solved
// by a Cholesky factorisation without pivoting, cholesky.h) until the relative
// step sqrt(sum delta_j^2 / p_j^2) falls below the step tolerance or the
// iteration limit is reached. Parameters outside the free set (free_params.h)
// are held at their current values; the normal equations are then restricted
// to the free parameters.
//
// Nothing is allocated while fitting: all work arrays have fixed sizes and
// live in a workspace the solver owns, one per thread, so gna is reentrant
// across threads but a thread runs one fit at a time.
//
//   zorv_fit::FitResult const fit = zorv_fit::gna(&data, p, free, options);
//   if (fit.status == zorv_fit::FitStatus::kConverged) ... fit.ssr, p ...
#ifndef ZORV_FIT_GNA_H
#define ZORV_FIT_GNA_H

#include "fit/free_params.h"
#include "fit/pulse_model.h"

namespace zorv_fit {

struct FitOptions {
  // Most Gauss-Newton steps computed; below 1 the fit fails at once.
  int max_iterations = 50;
  // Converged once sqrt(sum over free j of (delta_j / p_j)^2) is strictly
  // below this.
  double step_tolerance = 1e-9;
};

enum class FitStatus {
  kConverged = 0,
  // A step with a NaN or infinite entry (singular or indefinite normal
  // matrix, zero width, NaN or infinite data or parameters): p holds the
  // values at which that step's Jacobian was evaluated.
  kNonFiniteStep,
  // No step met the tolerance within max_iterations (p after the last
  // applied step), or max_iterations was below 1 (p untouched).
  kIterationLimit,
};

struct FitResult {
  FitStatus status = FitStatus::kIterationLimit;
  // The numbers below belong to a converged fit; after a failure they are 0.
  // The SSR and the standard errors are those at the parameters before the
  // converging step, from that iteration's residuals and factors.
  int iterations = 0;                       // zero-based index of the converging iteration
  double ssr = 0.0;                         // sum of squared residuals
  double standard_errors[kFitParams] = {};  // sqrt(v [N^-1]_jj), 0 for locked j
};

// Fits p to the data set by masked Gauss-Newton.
//
// data     (in)     kFitPoints pairs (x, y)
// p        (in/out) kFitParams starting values; updated in place by every
//                   applied step, on failure too (locked entries are never
//                   written)
// free     (in)     the parameters that may move
// options  (in)     iteration limit and step tolerance
//
// The residual variance behind the standard errors is v = SSR / (kFitPoints
// - free.count()).
FitResult gna(double const (*data)[kFitPoints][2], double* p, FreeParams free,
              FitOptions const& options = FitOptions());

}  // namespace zorv_fit

#endif
