// Tests of the pulse model f and of initialize_J_rr (fit_oracles.h: the rows
// of the model's templates that the fit sums, stored whole): analytic Jacobian
// against central differences of f on both paths, residual consistency,
// the path choice, the far-ahead region where 1 - erf is exactly 0, the
// model against a direct numerical convolution, and the exact shortcuts
// against the formulas written out with a library call at every point.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "fit_oracles.h"
#include "test_rng.h"
#include "test_threshold_sets.h"

using zorv_fit::f;
using zorv_fit::FreeParams;
using zorv_fit::initialize_J_rr;

namespace {

using Data = double[kFitPoints][2];
using Jac = double[kFitPoints][kFitParams];

constexpr FreeParams kSingle = FreeParams().lock(6).lock(7);
constexpr FreeParams kBoth = FreeParams();

// Data set x = 0..2499, y = model(x) (with pulse 2 when two) plus jitter.
void make_data(Data& d, double const* p_in, bool two, double jitter, uint64_t seed)
{
  double p[8];
  std::memcpy(p, p_in, sizeof p);
  if (!two) p[6] = 0.0;
  Rng rng(seed);
  for (int i = 0; i < kFitPoints; ++i) {
    d[i][0] = i;
    d[i][1] = f(i, p) + jitter * (rng.uniform() - 0.5);
  }
}

// Realistic parameter sets, none near the origin; the last one has a rising
// exponential and a negative tail.
double const kSets[][8] = {
    {30000.0, -0.0015, -28000.0, 400.3, 2.5, 1500.0, 18000.0, 1300.7},
    {15500.0, -0.0032, -27500.0, 1020.2, 1.1, 800.0, 39000.0, 1800.4},
    {22000.0, -0.0009, -28300.0, 250.6, 4.7, -600.0, 16000.0, 2100.1},
    {9000.0, 0.0004, -1000.0, 700.5, 3.3, -250.0, 5000.0, 1500.5},
};

// Central difference of the model at x with respect to p[j].
double central_difference(double x, double const* p_in, int j, bool two)
{
  double p[8];
  std::memcpy(p, p_in, sizeof p);
  if (!two) p[6] = 0.0;
  double const h = 1e-6 * std::fabs(p[j]);
  double pp[8], pm[8];
  std::memcpy(pp, p, sizeof p);
  std::memcpy(pm, p, sizeof p);
  pp[j] += h;
  pm[j] -= h;
  return (f(x, pp) - f(x, pm)) / (pp[j] - pm[j]);
}

void check_jacobian_against_differences(bool two)
{
  static Data d;
  static Jac J;
  static double r[kFitPoints];
  for (auto const& set : kSets) {
    double p[8];
    std::memcpy(p, set, sizeof p);
    make_data(d, p, two, 10.0, 7);
    initialize_J_rr(&d, p, J, r, two ? kBoth : kSingle);
    for (int j = 0; j < kFitParams; ++j) {
      if (!two && j >= 6) continue;  // zero columns, checked elsewhere
      double scale = 0.0;
      for (int i = 0; i < kFitPoints; ++i) scale = std::fmax(scale, std::fabs(J[i][j]));
      ASSERT_GT(scale, 0.0) << "column " << j;
      for (int i = 0; i < kFitPoints; ++i) {
        double const fd = central_difference(d[i][0], p, j, two);
        ASSERT_NEAR(J[i][j], fd, 1e-6 * scale) << "column " << j << " row " << i;
      }
    }
  }
}

}  // namespace

// Jacobian: every column against central differences of f.
TEST(PulseModelJacobian, TwoPulseMatchesCentralDifferences) { check_jacobian_against_differences(true); }

TEST(PulseModelJacobian, SinglePulseMatchesCentralDifferences)
{
  check_jacobian_against_differences(false);
}

// Residuals: y - f, bit for bit, on the two-pulse path.
TEST(PulseModelResiduals, TwoPulseResidualsAreDataMinusF)
{
  static Data d;
  static Jac J;
  static double r[kFitPoints];
  double p[8];
  std::memcpy(p, kSets[0], sizeof p);
  make_data(d, p, true, 200.0, 11);
  initialize_J_rr(&d, p, J, r, kBoth);
  for (int i = 0; i < kFitPoints; ++i) ASSERT_EQ(r[i], d[i][1] - f(d[i][0], p)) << i;
}

// Single-pulse path: A2 and t2 are ignored, columns 6 and 7 are zero.
TEST(PulseModelResiduals, SinglePulseIgnoresSecondPulse)
{
  static Data d;
  static Jac J, J2;
  static double r[kFitPoints], r2[kFitPoints];
  double p[8];
  std::memcpy(p, kSets[1], sizeof p);
  make_data(d, p, true, 200.0, 12);
  initialize_J_rr(&d, p, J, r, kSingle);
  double p0[8];
  std::memcpy(p0, p, sizeof p);
  p0[6] = 0.0;
  int differs = 0;
  initialize_J_rr(&d, p, J2, r2, kBoth);
  for (int i = 0; i < kFitPoints; ++i) {
    ASSERT_EQ(r[i], d[i][1] - f(d[i][0], p0)) << i;
    ASSERT_EQ(J[i][6], 0.0);
    ASSERT_EQ(J[i][7], 0.0);
    for (int j = 0; j < 6; ++j) {
      if (j == 1 || j == 4) continue;  // these also carry pulse 2 on the other path
      ASSERT_EQ(J[i][j], J2[i][j]) << i << " " << j;
    }
    if (r[i] != r2[i]) ++differs;
  }
  EXPECT_GT(differs, 600);  // the second pulse (from t2 = 1800) is there on the other path
}

// One of parameters 6 and 7 locked is still the two-pulse path.
TEST(PulseModelResiduals, HalfLockedSecondPulseKeepsTwoPulsePath)
{
  static Data d;
  static Jac J, J2;
  static double r[kFitPoints], r2[kFitPoints];
  double p[8];
  std::memcpy(p, kSets[2], sizeof p);
  make_data(d, p, true, 50.0, 13);
  initialize_J_rr(&d, p, J2, r2, kBoth);
  FreeParams const only6 = FreeParams().lock(1).lock(6);
  FreeParams const only7 = FreeParams().lock(0).lock(3).lock(5).lock(7);
  for (FreeParams free : {only6, only7}) {
    initialize_J_rr(&d, p, J, r, free);
    ASSERT_EQ(0, std::memcmp(r, r2, sizeof r));
    ASSERT_EQ(0, std::memcmp(J, J2, sizeof J));
  }
  double nonzero6 = 0.0;
  for (int i = 0; i < kFitPoints; ++i) nonzero6 += std::fabs(J[i][6]) + std::fabs(J[i][7]);
  EXPECT_GT(nonzero6, 0.0);
}

// No pulses and no tail: residuals y - B, the shape columns vanish.
TEST(PulseModelResiduals, NoPulsesNoTail)
{
  static Data d;
  static Jac J;
  static double r[kFitPoints];
  double p[8] = {0.0, -0.0015, -28000.0, 400.3, 2.5, 0.0, 0.0, 1300.7};
  Rng rng(5);
  for (int i = 0; i < kFitPoints; ++i) {
    d[i][0] = i;
    d[i][1] = -28000.0 + 100.0 * rng.uniform();
  }
  initialize_J_rr(&d, p, J, r, kBoth);
  for (int i = 0; i < kFitPoints; ++i) {
    ASSERT_EQ(r[i], d[i][1] - -28000.0);
    ASSERT_EQ(J[i][1], 0.0);
    ASSERT_EQ(J[i][3], 0.0);
    ASSERT_EQ(J[i][4], 0.0);
    ASSERT_EQ(J[i][7], 0.0);
    ASSERT_EQ(J[i][2], 1.0);
    ASSERT_EQ(J[i][5], std::exp(-0.0015 * i));
  }
}

// Far ahead of a pulse erf returns 1: the pulse adds exactly 0 there.
TEST(PulseModelResiduals, ExactlyZeroWhereErfIsOne)
{
  static Data d;
  static Jac J;
  static double r[kFitPoints];
  double p[8] = {30000.0, -0.0015, -28000.0, 1900.0, 2.0, 1200.0, 25000.0, 2200.0};
  make_data(d, p, true, 100.0, 21);
  for (FreeParams free : {kBoth, kSingle}) {
    initialize_J_rr(&d, p, J, r, free);
    int zeros = 0;
    for (int i = 0; i < kFitPoints; ++i) {
      double const arg1 = (-p[1] * (p[4] * p[4]) - (i - p[3])) / (1.4142135623730951 * p[4]);
      if (std::erf(arg1) != 1.0) continue;
      ++zeros;
      ASSERT_EQ(J[i][0], 0.0) << i;
      ASSERT_EQ(J[i][6], 0.0) << i;  // pulse 2 lies even further on
      ASSERT_EQ(r[i], d[i][1] - (-28000.0 + 1200.0 * std::exp(-0.0015 * i))) << i;
    }
    EXPECT_GT(zeros, 1800);
  }
  // Just behind the first pulse, the pulse is present.
  initialize_J_rr(&d, p, J, r, kBoth);
  EXPECT_GT(J[1950][0], 0.5);
}

// f: with A2 = 0 it is the first pulse plus baseline plus tail.
TEST(PulseModelF, SecondPulseOffGivesSinglePulse)
{
  double p[8] = {25000.0, -0.002, -28000.0, 600.0, 3.0, 900.0, 0.0, 1700.0};
  for (double x : {0.0, 590.0, 600.0, 612.5, 1500.0, 2499.0}) {
    double const l = p[1], s = p[4];
    double const u = (x - p[3]) * l + 0.5 * (l * l) * (s * s);
    double const g = -l * (s * s) - (x - p[3]);
    double const pulse = p[0] * (0.5 * std::exp(u)) * (1.0 - std::erf(g / (1.4142135623730951 * s)));
    EXPECT_EQ(f(x, p), pulse + p[2] + p[5] * std::exp(l * x)) << x;
  }
}

// f: each pulse is a decay starting at t_k convolved with a unit Gaussian.
TEST(PulseModelF, PulseIsGaussianSmearedDecay)
{
  double const A = 20000.0, l = -0.004, t = 800.0, s = 3.5;
  double p[8] = {A, l, 0.0, t, s, 0.0, 0.0, 1500.0};
  for (double x : {780.0, 795.5, 800.0, 803.0, 812.0, 900.0}) {
    // Midpoint rule over the Gaussian, +-12 sigma.
    int const steps = 200000;
    double const lo = -12.0 * s, step = 24.0 * s / steps;
    double sum = 0.0;
    for (int k = 0; k < steps; ++k) {
      double const tau = lo + (k + 0.5) * step;
      double const arg = x - tau - t;
      double const decay = arg >= 0.0 ? A * std::exp(l * arg) : 0.0;
      sum += decay * std::exp(-tau * tau / (2.0 * s * s));
    }
    double const conv = sum * step / (s * std::sqrt(2.0 * M_PI));
    EXPECT_NEAR(f(x, p), conv, 1e-4 * A) << x;
  }
}

namespace {

// One row written out literally, with the library's exp and erf at every
// point and nothing known in advance: the reference for the shortcuts.
void literal_row(double x, double y, double const* p, bool single, double* J, double& r)
{
  double const l = p[1], s = p[4], C = p[5];
  double const sqrt2 = 1.4142135623730951, inv_sqrt_pi = 0.5641895835477563;
  double const l2 = l * l, s2 = s * s;
  double const e = std::exp(l * x);
  double h[2], c[2], q[2], d[2], g[2];
  for (int k = 0; k < 2; ++k) {
    d[k] = x - p[k == 0 ? 3 : 7];
    h[k] = 0.5 * std::exp(d[k] * l + 0.5 * l2 * s2);
    g[k] = -l * s2 - d[k];
    c[k] = 1.0 - std::erf(g[k] / (sqrt2 * s));
    q[k] = inv_sqrt_pi * std::exp(-g[k] * g[k] / (2.0 * s2));
  }
  double ah[2] = {p[0] * h[0], p[6] * h[1]};
  double dl[2], dt[2], ds[2];
  for (int k = 0; k < 2; ++k) {
    dl[k] = ah[k] * (-g[k] * c[k] + sqrt2 * s * q[k]);
    dt[k] = ah[k] * (-l * c[k] - sqrt2 / s * q[k]);
    ds[k] = ah[k] * (l2 * s * c[k] - sqrt2 * (d[k] / s2 - l) * q[k]);
  }
  if (single) {
    r = y - (ah[0] * c[0] + p[2] + C * e);
    J[1] = C * x * e + dl[0];
    J[4] = ds[0];
    J[6] = J[7] = 0.0;
  } else {
    r = y - (ah[0] * c[0] + ah[1] * c[1] + p[2] + C * e);
    J[1] = C * x * e + dl[0] + dl[1];
    J[4] = ds[0] + ds[1];
    J[6] = h[1] * c[1];
    J[7] = dt[1];
  }
  J[0] = h[0] * c[0];
  J[2] = 1.0;
  J[3] = dt[0];
  J[5] = e;
}

// Bits equal, or both NaN (a NaN's payload follows whichever operand of a
// product carried it, which two codes need not share).
bool same_value(double a, double b)
{
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

}  // namespace

// The shortcuts change no bit: initialize_J_rr against the literal formulas
// on points straddling every threshold, on both paths, NaN rows included.
TEST(PulseModelShortcuts, SameBitsAsTheLiteralFormulasAcrossTheThresholds)
{
  static Data d;
  static Jac J;
  static double r[kFitPoints];
  for (auto const& c : threshold_cases()) {
    ASSERT_GE(threshold_data(c, d, 3), 12) << c.name;
    double p[8];
    std::memcpy(p, c.p, sizeof p);
    int nan_rows = 0;
    for (bool single : {false, true}) {
      initialize_J_rr(&d, p, J, r, single ? kSingle : kBoth);
      for (int i = 0; i < kFitPoints; ++i) {
        double row[8], res;
        literal_row(d[i][0], d[i][1], p, single, row, res);
        ASSERT_TRUE(same_value(r[i], res)) << c.name << " row " << i << " x " << d[i][0];
        for (int j = 0; j < 8; ++j)
          ASSERT_TRUE(same_value(J[i][j], row[j])) << c.name << " row " << i << " column " << j;
        nan_rows += std::isnan(res);
      }
      // f too, with both pulses.
      for (int i = 0; i < kFitPoints && !single; ++i)
        ASSERT_TRUE(same_value(d[i][1] - f(d[i][0], p), r[i])) << c.name << " row " << i;
    }
    if (std::string(c.name) == "overflow") {
      EXPECT_GT(nan_rows, 0);  // inf * 0 kept
    }
  }
}
