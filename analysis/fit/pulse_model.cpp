// Pulse model and Jacobian: two exponentially modified Gaussian pulses with a
// shared decay rate and width, a baseline and an exponential tail.
//
// c_k is formed as 1 - erf rather than erfc so that it is exactly 0 wherever
// the library erf returns exactly 1, far ahead of a pulse.
#include "pulse_model.h"

#include <cmath>

#include "pulse_terms.h"

namespace zorv_fit {

double f(double x, double* p)
{
  PulseShape const k = pulse_shape(p[1], p[4]);
  PulseTerms const m1 = pulse_terms(k, x, p[3]);
  PulseTerms const m2 = pulse_terms(k, x, p[7]);
  double const pulse1 = p[0] * m1.h * m1.c;
  double const pulse2 = p[6] * m2.h * m2.c;
  return pulse1 + pulse2 + p[2] + p[5] * std::exp(p[1] * x);
}

void initialize_J_rr(double (*data)[kFitPoints][2], double* p, double (*J)[kFitParams],
                     double* r, int const* lock)
{
  double const A1 = p[0], l = p[1], B = p[2], t1 = p[3];
  double const C = p[5], A2 = p[6], t2 = p[7];
  PulseShape const k = pulse_shape(l, p[4]);
  bool const single = lock[6] == 1 && lock[7] == 1;

  for (int i = 0; i < kFitPoints; ++i) {
    double const x = (*data)[i][0];
    double const y = (*data)[i][1];
    double const e = std::exp(l * x);
    PulseTerms const m1 = pulse_terms(k, x, t1);
    double const a1h1 = A1 * m1.h;
    double* row = J[i];
    if (single) {
      r[i] = y - (a1h1 * m1.c + B + C * e);
      row[0] = m1.h * m1.c;
      row[1] = C * x * e + a1h1 * dlambda_factor(k, m1);
      row[2] = 1.0;
      row[3] = a1h1 * dt_factor(k, m1);
      row[4] = a1h1 * dsigma_factor(k, m1);
      row[5] = e;
      row[6] = 0.0;
      row[7] = 0.0;
    } else {
      PulseTerms const m2 = pulse_terms(k, x, t2);
      double const a2h2 = A2 * m2.h;
      r[i] = y - (a1h1 * m1.c + a2h2 * m2.c + B + C * e);
      row[0] = m1.h * m1.c;
      row[1] = C * x * e + a1h1 * dlambda_factor(k, m1) + a2h2 * dlambda_factor(k, m2);
      row[2] = 1.0;
      row[3] = a1h1 * dt_factor(k, m1);
      row[4] = a1h1 * dsigma_factor(k, m1) + a2h2 * dsigma_factor(k, m2);
      row[5] = e;
      row[6] = m2.h * m2.c;
      row[7] = a2h2 * dt_factor(k, m2);
    }
  }
}

}  // namespace zorv_fit
