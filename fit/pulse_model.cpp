// Pulse model: two exponentially modified Gaussian pulses with a shared decay
// rate and width, a baseline and an exponential tail, through the templates
// of pulse_terms.h that also give the fit its Jacobian rows.
//
// c_k is formed as 1 - erf rather than erfc so that it is exactly 0 wherever
// the library erf returns exactly 1, far ahead of a pulse.
#include "fit/pulse_model.h"

#include "fit/pulse_terms.h"

namespace zorv_fit {

double f(double x, double* p)
{
  PulseShape const k = pulse_shape(p[1], p[4]);
  PulseTerms<double> const m1 = pulse_terms_at(k, x, p[3], stand_in_limit(p[0]));
  PulseTerms<double> const m2 = pulse_terms_at(k, x, p[7], stand_in_limit(p[6]));
  return model_value<double, 2>(p, exp_exact(p[1] * x), m1, m2);
}

}  // namespace zorv_fit
