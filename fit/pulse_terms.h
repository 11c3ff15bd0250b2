// The pulse model written once: the per-pulse quantities, one point's
// residual and Jacobian row, and the exact shortcuts of the library calls.
// Templates over the number type T: double for the model f (pulse_model.cpp)
// and the tests' plain Jacobian (tests/fit_oracles.cpp), a vector of doubles
// for the fused pass (normal_pass.cpp), each lane an ordinary IEEE operation,
// so that all of them round identically.
//
// With d = x - t_k:
//   u = d lambda + 0.5 lambda^2 sigma^2    h = 0.5 exp(u)
//   g = -lambda sigma^2 - d                c = 1 - erf(z),  z = g / (sqrt2 sigma)
//   q = (1/sqrtpi) exp(w),                 w = -g^2 / (2 sigma^2)
// Every expression keeps the operand order of these formulas; the factors
// that do not depend on x are computed once per parameter vector (the same
// subexpressions, hence the same bits).
//
// exp is the C library's, called without its errno wrapper (library_exp.h).
//
// Exact shortcuts (IEEE double, round to nearest, the platform's libm, which
// tests/test_exact_calls.cpp holds to these values):
//   erf(z) is exactly +1 for z >= 5.9215871957945074 and -1 for z <= -5.92...,
//   because 1 - erf(z) < 2^-54 there; we use |z| >= 6.
//   exp(w) is exactly +0 for w <= -745.1332191019412; we use w <= -746.
//   Where c = 0 and q = 0 (erf(z) = 1 and exp(w) = 0, far ahead of a pulse),
//   h only multiplies exact zeros, and any positive finite stand-in for
//   exp(u) gives the same signed zeros, as long as the true exp(u) and
//   A exp(u) are finite too: an infinite h or A h would make inf * 0 = NaN,
//   which must come out as it always has. kStandInMargin keeps
//   |A| 0.5 exp(u) below 0.5 e^708 whatever rounding log and exp do.
#ifndef ZORV_FIT_PULSE_TERMS_H
#define ZORV_FIT_PULSE_TERMS_H

#include <cmath>
#include <type_traits>

#include "fit/library_exp.h"

#define ZORV_INLINE inline __attribute__((always_inline))

namespace zorv_fit {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kInvSqrtPi = 0.5641895835477563;

constexpr double kErfIsOne = 6.0;         // erf(z) = +-1 for |z| >= this
constexpr double kExpIsZero = -746.0;     // exp(w) = +0 for w <= this
constexpr double kStandInMargin = 708.0;  // exp(u) < e^708 / max(|A|, 1): h and A h finite
constexpr double kStandIn = 1.0;          // exp(u) where it only multiplies zeros

// a in every lane of T (double or a vector of doubles).
template <class T>
ZORV_INLINE T splat(double a)
{
  if constexpr (std::is_same_v<T, double>) {
    return a;
  } else {
    T v = {};
    for (unsigned i = 0; i < sizeof(T) / sizeof(double); ++i) v[i] = a;
    return v;
  }
}

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

ZORV_INLINE PulseShape pulse_shape(double l, double s)
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

// Bound on u below which exp(u) may be replaced by kStandIn for a pulse of
// amplitude A (never, for an infinite A).
ZORV_INLINE double stand_in_limit(double A)
{
  return kStandInMargin - std::log(std::fmax(std::fabs(A), 1.0));
}

// The library calls with their exact shortcuts, one point at a time.
ZORV_INLINE double erf_exact(double z)
{
  return z >= kErfIsOne ? 1.0 : z <= -kErfIsOne ? -1.0 : std::erf(z);
}

ZORV_INLINE double exp_exact(double w) { return w <= kExpIsZero ? 0.0 : library_exp(w); }

// exp(u) for h, given erf(z) and exp(w) of the same pulse and point.
ZORV_INLINE double exp_u_exact(double u, double erf_z, double exp_w, double u_limit)
{
  return erf_z == 1.0 && exp_w == 0.0 && u < u_limit ? kStandIn : library_exp(u);
}

// Arguments of the pulse's library calls at x.
template <class T>
struct PulseArgs {
  T d;  // x - t_k
  T g;
  T u;  // for exp(u)
  T z;  // for erf(z)
  T w;  // for exp(w)
};

template <class T>
ZORV_INLINE PulseArgs<T> pulse_args(PulseShape const& k, T x, double t)
{
  PulseArgs<T> a;
  a.d = x - t;
  a.g = k.g0 - a.d;
  a.u = a.d * k.l + k.u0;
  a.z = a.g / k.rs;
  a.w = -a.g * a.g / k.s2x2;
  return a;
}

// Quantities of one pulse at one abscissa, from the calls' values.
template <class T>
struct PulseTerms {
  T d;
  T g;
  T h;
  T c;
  T q;
};

template <class T>
ZORV_INLINE PulseTerms<T> pulse_terms(PulseArgs<T> const& a, T exp_u, T erf_z, T exp_w)
{
  PulseTerms<T> m;
  m.d = a.d;
  m.g = a.g;
  m.h = 0.5 * exp_u;
  m.c = 1.0 - erf_z;
  m.q = kInvSqrtPi * exp_w;
  return m;
}

// The pulse at x through the plain calls with their shortcuts.
ZORV_INLINE PulseTerms<double> pulse_terms_at(PulseShape const& k, double x, double t,
                                              double u_limit)
{
  PulseArgs<double> const a = pulse_args(k, x, t);
  double const erf_z = erf_exact(a.z);
  double const exp_w = exp_exact(a.w);
  return pulse_terms(a, exp_u_exact(a.u, erf_z, exp_w, u_limit), erf_z, exp_w);
}

// d pulse_k / d lambda divided by A_k h_k: -g c + sqrt2 sigma q.
template <class T>
ZORV_INLINE T dlambda_factor(PulseShape const& k, PulseTerms<T> const& m)
{
  return -m.g * m.c + k.rs * m.q;
}

// d pulse_k / d t_k divided by A_k h_k: -lambda c - (sqrt2/sigma) q.
template <class T>
ZORV_INLINE T dt_factor(PulseShape const& k, PulseTerms<T> const& m)
{
  return -k.l * m.c - k.rs_inv * m.q;
}

// d pulse_k / d sigma divided by A_k h_k: lambda^2 sigma c - sqrt2 (d/sigma^2 - lambda) q.
template <class T>
ZORV_INLINE T dsigma_factor(PulseShape const& k, PulseTerms<T> const& m)
{
  return k.l2s * m.c - kSqrt2 * (m.d / k.s2 - k.l) * m.q;
}

// The model at one point: pulse_1 + pulse_2 + B + C e, with one pulse
// (kPulses 1: the second left out entirely) or two; e is exp(lambda x).
template <class T, int kPulses>
ZORV_INLINE T model_value(double const* p, T e, PulseTerms<T> const& m1, PulseTerms<T> const& m2)
{
  static_assert(kPulses == 1 || kPulses == 2, "one or two pulses");
  double const A1 = p[0], B = p[2], C = p[5], A2 = p[6];
  if constexpr (kPulses == 1)
    return A1 * m1.h * m1.c + B + C * e;
  else
    return A1 * m1.h * m1.c + A2 * m2.h * m2.c + B + C * e;
}

// One point's residual r = y - model(x) and Jacobian row J[0..7] (with one
// pulse, J[6] = J[7] = 0). Without kLambdaColumn, J[1] is not formed: the
// caller has the decay rate locked and never reads it.
template <class T, int kPulses, bool kLambdaColumn = true>
ZORV_INLINE void model_row(PulseShape const& k, double const* p, T x, T y, T e,
                           PulseTerms<T> const& m1, PulseTerms<T> const& m2, T* J, T& r)
{
  double const A1 = p[0], C = p[5], A2 = p[6];
  T const a1h1 = A1 * m1.h;
  r = y - model_value<T, kPulses>(p, e, m1, m2);
  J[0] = m1.h * m1.c;
  J[2] = splat<T>(1.0);
  J[3] = a1h1 * dt_factor(k, m1);
  J[5] = e;
  if constexpr (kPulses == 1) {
    if constexpr (kLambdaColumn) J[1] = C * x * e + a1h1 * dlambda_factor(k, m1);
    J[4] = a1h1 * dsigma_factor(k, m1);
    J[6] = J[7] = splat<T>(0.0);
  } else {
    T const a2h2 = A2 * m2.h;
    if constexpr (kLambdaColumn)
      J[1] = C * x * e + a1h1 * dlambda_factor(k, m1) + a2h2 * dlambda_factor(k, m2);
    J[4] = a1h1 * dsigma_factor(k, m1) + a2h2 * dsigma_factor(k, m2);
    J[6] = m2.h * m2.c;
    J[7] = a2h2 * dt_factor(k, m2);
  }
}

}  // namespace zorv_fit

#endif
