// Plain oracles of the fit (fit_oracles.h): the model's rows through the same
// templates as the fused pass (pulse_terms.h), the sums written out.
#include "fit_oracles.h"

#include "fit/pulse_terms.h"

namespace zorv_fit {

void initialize_J_rr(double const (*data)[kFitPoints][2], double const* p,
                     double (*J)[kFitParams], double* r, FreeParams free)
{
  PulseShape const k = pulse_shape(p[1], p[4]);
  double const limit1 = stand_in_limit(p[0]);
  double const limit2 = stand_in_limit(p[6]);
  bool const single = free.single_pulse();

  for (int i = 0; i < kFitPoints; ++i) {
    double const x = (*data)[i][0];
    double const y = (*data)[i][1];
    double const e = exp_exact(p[1] * x);
    PulseTerms<double> const m1 = pulse_terms_at(k, x, p[3], limit1);
    if (single) {
      model_row<double, 1>(k, p, x, y, e, m1, m1, J[i], r[i]);
    } else {
      PulseTerms<double> const m2 = pulse_terms_at(k, x, p[7], limit2);
      model_row<double, 2>(k, p, x, y, e, m1, m2, J[i], r[i]);
    }
  }
}

void multiply_matrices(double const (*J)[kFitParams], double (*N)[kFitParams])
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

void multiply_matrix_vector(double const (*J)[kFitParams], double const* r, double* b,
                            FreeParams free)
{
  for (int j = 0; j < kFitParams; ++j) {
    if (free.is_locked(j)) continue;
    double sum = 0.0;
    for (int n = 0; n < kFitPoints; ++n) sum += J[n][j] * r[n];
    b[j] = sum;
  }
}

}  // namespace zorv_fit
