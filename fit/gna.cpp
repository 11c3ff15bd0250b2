// Masked Gauss-Newton iteration for the pulse model.
//
// Iteration k at parameters p:
//   N, b, SSR = J^T J, J^T r, sum r_n^2 at p
//   L L^T = N;  L z = b;  L^T delta = z
//   s      = sum over free j of delta_j^2 / p_j^2   (relative step, before update)
//   fail if any free delta_j is not finite; else p += delta
//   converged if sqrt(s) < step tolerance, failed if k is the last allowed iteration.
// On success the standard errors are sqrt(v [N^-1]_ll) with the residual
// variance v = SSR / (kFitPoints - free parameters), from the factors of the
// last iteration.
//
// J^T J, J^T r and SSR come from one fused pass over the data (normal_pass.h)
// that never stores J; the 8 x 8 algebra is that of cholesky.h. While the
// decay rate is locked, exp(lambda x) is the same in every iteration and is
// computed once per call.
#include "fit/gna.h"

#include <cmath>

#include "fit/cholesky.h"
#include "fit/normal_pass.h"

namespace zorv_fit {

namespace {

// Work arrays of one fit, about 40 KB (the fused pass needs no Jacobian):
// one per thread, reused by every call, off the stack.
struct Workspace {
  double exp_lx[kFitPoints];
  PassScratch scratch;
  double N[kFitParams][kFitParams];
  double L[kFitParams][kFitParams];
  double inv[kFitParams][kFitParams];
  double b[kFitParams];
  double z[kFitParams];
  double dp[kFitParams];
};

thread_local Workspace workspace;

}  // namespace

FitResult gna(double const (*data)[kFitPoints][2], double* p, FreeParams free,
              FitOptions const& options)
{
  FitResult result;
  result.status = FitStatus::kIterationLimit;
  if (options.max_iterations < 1) return result;
  Workspace& w = workspace;

  // p[1] is never written while it is locked.
  bool const lambda_locked = free.is_locked(1);
  if (lambda_locked) exp_lambda_x(data, p[1], w.exp_lx);

  double sum_r2 = 0.0;
  int k = 0;
  for (;; ++k) {
    double ssr_k;
    normal_pass(data, p, free, lambda_locked ? w.exp_lx : nullptr, w.scratch, w.N, w.b, &ssr_k);
    cholesky(w.N, w.L, free);
    solve_lower(w.L, w.z, w.b, free);
    solve_upper(w.L, w.dp, w.z, free);

    double s = 0.0;
    for (int j = 0; j < kFitParams; ++j)
      if (free.is_free(j)) s += w.dp[j] * w.dp[j] / (p[j] * p[j]);

    // delta * 0 is 0 unless delta is NaN or infinite.
    for (int j = 0; j < kFitParams; ++j) {
      if (free.is_free(j) && w.dp[j] * 0.0 != 0.0) {
        result.status = FitStatus::kNonFiniteStep;
        return result;
      }
    }

    for (int j = 0; j < kFitParams; ++j)
      if (free.is_free(j)) p[j] += w.dp[j];

    sum_r2 = ssr_k;

    if (std::sqrt(s) < options.step_tolerance) break;
    if (k == options.max_iterations - 1) return result;
  }

  result.status = FitStatus::kConverged;
  result.iterations = k;
  result.ssr = sum_r2;

  double const v = sum_r2 / (kFitPoints - free.count());

  // Column l of N^-1 from N x = e_l; only its diagonal entry is needed.
  for (int l = 0; l < kFitParams; ++l) {
    if (free.is_locked(l)) continue;
    double e[kFitParams] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    e[l] = 1.0;
    solve_lower(w.L, w.z, e, free);
    solve_upper(w.L, w.inv[l], w.z, free);
  }
  for (int l = 0; l < kFitParams; ++l)
    if (free.is_free(l)) result.standard_errors[l] = std::sqrt(v * w.inv[l][l]);
  return result;
}

}  // namespace zorv_fit
