// Cholesky factorisation N = L L^T and the two triangular substitutions,
// restricted to the free parameters (cholesky.h).
//
// Inner sums run over ascending k (descending in the back substitution),
// accumulated from 0 and then subtracted. The back substitution takes the
// entry (i, k) of L^T as L[k][i]: the same operands in the same order as a
// transposed copy would give, so the same bits, without the copy.
#include "fit/cholesky.h"

#include <cmath>

namespace zorv_fit {

void cholesky(double const (*N)[kFitParams], double (*L)[kFitParams], FreeParams free)
{
  for (int i = 0; i < kFitParams; ++i) {
    if (free.is_locked(i)) continue;
    double sum = 0.0;
    for (int k = 0; k < i; ++k)
      if (free.is_free(k)) sum += L[i][k] * L[i][k];
    L[i][i] = std::sqrt(N[i][i] - sum);
    for (int m = i + 1; m < kFitParams; ++m) {
      if (free.is_locked(m)) continue;
      double sum_m = 0.0;
      for (int k = 0; k < i; ++k)
        if (free.is_free(k)) sum_m += L[m][k] * L[i][k];
      L[m][i] = (N[m][i] - sum_m) / L[i][i];
    }
  }
}

void solve_lower(double const (*L)[kFitParams], double* z, double const* b, FreeParams free)
{
  for (int i = 0; i < kFitParams; ++i) {
    if (free.is_locked(i)) continue;
    double sum = 0.0;
    for (int k = 0; k < i; ++k)
      if (free.is_free(k)) sum += L[i][k] * z[k];
    z[i] = (b[i] - sum) / L[i][i];
  }
}

void solve_upper(double const (*L)[kFitParams], double* x, double const* z, FreeParams free)
{
  for (int i = kFitParams - 1; i >= 0; --i) {
    if (free.is_locked(i)) continue;
    double sum = 0.0;
    for (int k = kFitParams - 1; k > i; --k)
      if (free.is_free(k)) sum += L[k][i] * x[k];  // (L^T)[i][k]
    x[i] = (z[i] - sum) / L[i][i];
  }
}

}  // namespace zorv_fit
