// Masked Gauss-Newton iteration for the pulse model.
//
// Iteration k at parameters p:
//   J, r   = Jacobian and residuals at p
//   N, b   = J^T J, J^T r;  L L^T = N;  L z = b;  L^T delta = z
//   s      = sum over free j of delta_j^2 / p_j^2   (relative step, before update)
//   fail if any free delta_j is not finite; else p += delta
//   SSR    = sum r_n^2 (at p before the update)
//   converged if sqrt(s) < 1e-9, failed if k is the last allowed iteration.
// On success the standard errors are sqrt(v [N^-1]_ll) with the residual
// variance v = SSR / (kFitPoints - free parameters), from the factors of the
// last iteration.
//
// J^T J, J^T r and SSR come from one fused pass over the data (normal_pass.h)
// that never stores J; the 8 x 8 algebra uses the public routines as they
// are. While the decay rate is locked, exp(lambda x) is the same in every
// iteration and is computed once per call.
#include "gna.h"

#include <cmath>

#include "normal_pass.h"

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

constexpr double kStepTolerance = 1e-9;

}  // namespace

int gna(double (*data)[kFitPoints][2], double* p, double* sp, int* lock, int max_iter,
        double* ssr, int* iter)
{
  if (max_iter < 1) return 1;
  Workspace& w = workspace;

  // p[1] is never written while it is locked.
  bool const lambda_locked = lock[1] == 1;
  if (lambda_locked) exp_lambda_x(data, p[1], w.exp_lx);

  double sum_r2 = 0.0;
  int k = 0;
  for (;; ++k) {
    double ssr_k;
    normal_pass(data, p, lock, lambda_locked ? w.exp_lx : nullptr, w.scratch, w.N, w.b, &ssr_k);
    cholesky(w.N, w.L, lock);
    solve_lower(w.L, w.z, w.b, lock);
    solve_upper(w.L, w.dp, w.z, lock);

    double s = 0.0;
    for (int j = 0; j < kFitParams; ++j)
      if (lock[j] != 1) s += w.dp[j] * w.dp[j] / (p[j] * p[j]);

    // delta * 0 is 0 unless delta is NaN or infinite.
    for (int j = 0; j < kFitParams; ++j)
      if (lock[j] != 1 && w.dp[j] * 0.0 != 0.0) return 1;

    for (int j = 0; j < kFitParams; ++j)
      if (lock[j] != 1) p[j] += w.dp[j];

    sum_r2 = ssr_k;

    if (std::sqrt(s) < kStepTolerance) break;
    if (k == max_iter - 1) return 1;
  }

  *ssr = sum_r2;
  *iter = k;

  int n_free = 0;
  for (int j = 0; j < kFitParams; ++j)
    if (lock[j] == 0) ++n_free;
  double const v = sum_r2 / (kFitPoints - n_free);

  for (int j = 0; j < kFitParams; ++j) sp[j] = 0.0;
  // Column l of N^-1 from N x = e_l; only its diagonal entry is needed.
  for (int l = 0; l < kFitParams; ++l) {
    if (lock[l] == 1) continue;
    double e[kFitParams] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    e[l] = 1.0;
    solve_lower(w.L, w.z, e, lock);
    solve_upper(w.L, w.inv[l], w.z, lock);
  }
  for (int l = 0; l < kFitParams; ++l)
    if (lock[l] != 1) sp[l] = std::sqrt(v * w.inv[l][l]);
  return 0;
}

}  // namespace zorv_fit
