// Normal equations of the linearised least-squares problem: N = J^T J and
// b = J^T r, each entry summed over the rows from row 0 upwards with a single
// accumulator, so that the result is fixed to the last bit.
#include "gna.h"

namespace zorv_fit {

void multiply_matrices(double (*J)[kFitParams], double (*N)[kFitParams], int const* /*lock*/)
{
  // All 64 entries, symmetric or locked alike.
  for (int i = 0; i < kFitParams; ++i) {
    for (int j = 0; j < kFitParams; ++j) {
      double sum = 0.0;
      for (int n = 0; n < kFitPoints; ++n) sum += J[n][i] * J[n][j];
      N[i][j] = sum;
    }
  }
}

void multiply_matrix_vector(double (*J)[kFitParams], double* r, double* b, int const* lock)
{
  for (int j = 0; j < kFitParams; ++j) {
    if (lock[j] == 1) continue;
    double sum = 0.0;
    for (int n = 0; n < kFitPoints; ++n) sum += J[n][j] * r[n];
    b[j] = sum;
  }
}

}  // namespace zorv_fit
