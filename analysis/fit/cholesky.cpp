// Cholesky factorisation N = L L^T and the two triangular substitutions,
// restricted to the free indices of a lock mask.
//
// Entries with a locked index are neither read nor written. No pivoting and
// no test of the pivots: the normal matrix of a well-posed fit is positive
// definite, and a singular or indefinite one shows up as NaN or infinity in
// the step, which the solver tests for. Inner sums run over ascending k
// (descending in the back substitution), accumulated from 0 and then
// subtracted. The back substitution takes the entry (i, k) of L^T as
// L[k][i]: the same operands in the same order as a transposed copy would
// give, so the same bits, without the copy.
#include <cmath>

#include "gna.h"

namespace zorv_fit {

void cholesky(double (*N)[kFitParams], double (*L)[kFitParams], int const* lock)
{
  for (int i = 0; i < kFitParams; ++i) {
    if (lock[i] == 1) continue;
    double sum = 0.0;
    for (int k = 0; k < i; ++k)
      if (lock[k] != 1) sum += L[i][k] * L[i][k];
    L[i][i] = std::sqrt(N[i][i] - sum);
    for (int m = i + 1; m < kFitParams; ++m) {
      if (lock[m] == 1) continue;
      double sum_m = 0.0;
      for (int k = 0; k < i; ++k)
        if (lock[k] != 1) sum_m += L[m][k] * L[i][k];
      L[m][i] = (N[m][i] - sum_m) / L[i][i];
    }
  }
}

void solve_lower(double (*L)[kFitParams], double* z, double* b, int const* lock)
{
  for (int i = 0; i < kFitParams; ++i) {
    if (lock[i] == 1) continue;
    double sum = 0.0;
    for (int k = 0; k < i; ++k)
      if (lock[k] != 1) sum += L[i][k] * z[k];
    z[i] = (b[i] - sum) / L[i][i];
  }
}

void solve_upper(double (*L)[kFitParams], double* x, double* z, int const* lock)
{
  for (int i = kFitParams - 1; i >= 0; --i) {
    if (lock[i] == 1) continue;
    double sum = 0.0;
    for (int k = kFitParams - 1; k > i; --k)
      if (lock[k] != 1) sum += L[k][i] * x[k];  // (L^T)[i][k]
    x[i] = (z[i] - sum) / L[i][i];
  }
}

}  // namespace zorv_fit
