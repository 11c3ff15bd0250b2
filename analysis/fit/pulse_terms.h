// Per-pulse quantities of the pulse model, shared by the model, the Jacobian
// and the solver's fused pass so that all of them round identically.
//
// With d = x - t_k:
//   u = d lambda + 0.5 lambda^2 sigma^2    h = 0.5 exp(u)
//   g = -lambda sigma^2 - d                c = 1 - erf(g / (sqrt2 sigma))
//   q = (1/sqrtpi) exp(-g^2 / (2 sigma^2))
// Every expression keeps the operand order of these formulas; the factors
// that do not depend on x are computed once per parameter vector (the same
// subexpressions, hence the same bits).
#ifndef ZORV_FIT_PULSE_TERMS_H
#define ZORV_FIT_PULSE_TERMS_H

#include <cmath>

namespace zorv_fit {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kInvSqrtPi = 0.5641895835477563;

// Factors of one parameter vector that do not depend on x.
struct PulseShape {
  double l;       // lambda
  double s;       // sigma
  double l2;      // lambda^2
  double s2;      // sigma^2
  double u0;      // 0.5 lambda^2 sigma^2
  double g0;      // -lambda sigma^2
  double rs;      // sqrt2 sigma
  double rs_inv;  // sqrt2 / sigma
  double s2x2;    // 2 sigma^2
  double l2s;     // lambda^2 sigma
};

inline PulseShape pulse_shape(double l, double s)
{
  PulseShape k;
  k.l = l;
  k.s = s;
  k.l2 = l * l;
  k.s2 = s * s;
  k.u0 = 0.5 * k.l2 * k.s2;
  k.g0 = -l * k.s2;
  k.rs = kSqrt2 * s;
  k.rs_inv = kSqrt2 / s;
  k.s2x2 = 2.0 * k.s2;
  k.l2s = k.l2 * s;
  return k;
}

// Quantities of one pulse at one abscissa.
struct PulseTerms {
  double d;  // x - t_k
  double h;
  double g;
  double c;
  double q;
};

inline PulseTerms pulse_terms(PulseShape const& k, double x, double t)
{
  PulseTerms m;
  m.d = x - t;
  m.h = 0.5 * std::exp(m.d * k.l + k.u0);
  m.g = k.g0 - m.d;
  m.c = 1.0 - std::erf(m.g / k.rs);
  m.q = kInvSqrtPi * std::exp(-m.g * m.g / k.s2x2);
  return m;
}

// d pulse_k / d lambda divided by A_k h_k: -g c + sqrt2 sigma q.
inline double dlambda_factor(PulseShape const& k, PulseTerms const& m)
{
  return -m.g * m.c + k.rs * m.q;
}

// d pulse_k / d t_k divided by A_k h_k: -lambda c - (sqrt2/sigma) q.
inline double dt_factor(PulseShape const& k, PulseTerms const& m)
{
  return -k.l * m.c - k.rs_inv * m.q;
}

// d pulse_k / d sigma divided by A_k h_k: lambda^2 sigma c - sqrt2 (d/sigma^2 - lambda) q.
inline double dsigma_factor(PulseShape const& k, PulseTerms const& m)
{
  return k.l2s * m.c - kSqrt2 * (m.d / k.s2 - k.l) * m.q;
}

}  // namespace zorv_fit

#endif
