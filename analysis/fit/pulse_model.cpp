// Pulse model and Jacobian: two exponentially modified Gaussian pulses with a
// shared decay rate and width, a baseline and an exponential tail, point by
// point through the templates of pulse_terms.h.
//
// c_k is formed as 1 - erf rather than erfc so that it is exactly 0 wherever
// the library erf returns exactly 1, far ahead of a pulse.
#include "pulse_model.h"

#include "pulse_terms.h"

namespace zorv_fit {

double f(double x, double* p)
{
  PulseShape const k = pulse_shape(p[1], p[4]);
  PulseTerms<double> const m1 = pulse_terms_at(k, x, p[3], stand_in_limit(p[0]));
  PulseTerms<double> const m2 = pulse_terms_at(k, x, p[7], stand_in_limit(p[6]));
  return model_value<double, 2>(p, exp_exact(p[1] * x), m1, m2);
}

void initialize_J_rr(double (*data)[kFitPoints][2], double* p, double (*J)[kFitParams],
                     double* r, int const* lock)
{
  PulseShape const k = pulse_shape(p[1], p[4]);
  double const limit1 = stand_in_limit(p[0]);
  double const limit2 = stand_in_limit(p[6]);
  bool const single = lock[6] == 1 && lock[7] == 1;

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

}  // namespace zorv_fit
