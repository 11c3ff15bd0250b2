// The platform's libm against the values that the fit's shortcuts assume
// (pulse_terms.h): erf is exactly +-1 from |z| = 5.9215871957945074 on, exp
// is exactly +0 from w = -745.1332191019412 down, and exp stays finite below
// 709.7. A libm that disagrees must fail here rather than let the fits drift.
// And the exponential the fit calls without errno's wrapper is exp itself.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "fit/library_exp.h"
#include "fit/pulse_terms.h"

namespace {

double const kInf = std::numeric_limits<double>::infinity();
double const kErfBoundary = 5.9215871957945074;
double const kExpBoundary = -745.1332191019412;

}  // namespace

// The shortcuts' margins lie beyond the boundaries.
TEST(ExactCalls, MarginsLieBeyondTheBoundaries)
{
  EXPECT_GE(zorv_fit::kErfIsOne, kErfBoundary);
  EXPECT_LE(zorv_fit::kExpIsZero, kExpBoundary);
  EXPECT_LT(zorv_fit::kStandInMargin, 709.7);
}

// erf(z) = +1 and erf(-z) = -1 at the boundary and everywhere beyond it.
TEST(ExactCalls, ErfIsExactlyOneFromTheBoundaryOn)
{
  for (double z : {kErfBoundary, std::nextafter(kErfBoundary, kInf), 5.95, 6.0, 6.5, 10.0, 27.0,
                   1e3, 1e300, DBL_MAX, kInf}) {
    EXPECT_EQ(std::erf(z), 1.0) << z;
    EXPECT_EQ(std::erf(-z), -1.0) << z;
  }
  // Densely from the boundary to past the margin.
  for (double z = kErfBoundary; z < 8.0; z += 1e-5) {
    ASSERT_EQ(std::erf(z), 1.0) << z;
    ASSERT_EQ(std::erf(-z), -1.0) << z;
  }
}

// exp(w) = +0 (not -0) at the boundary and everywhere below it.
TEST(ExactCalls, ExpIsExactlyPlusZeroFromTheBoundaryDown)
{
  for (double w : {kExpBoundary, std::nextafter(kExpBoundary, -kInf), -745.5, -746.0, -800.0,
                   -1e4, -1e300, -DBL_MAX, -kInf}) {
    EXPECT_EQ(std::exp(w), 0.0) << w;
    EXPECT_FALSE(std::signbit(std::exp(w))) << w;
  }
  for (double w = kExpBoundary; w > -760.0; w -= 1e-4) {
    double const e = std::exp(w);
    ASSERT_TRUE(e == 0.0 && !std::signbit(e)) << w;
  }
}

// exp(u) is finite below 709.7 and overflows just above; the stand-in's
// margin keeps 0.5 exp(u) times an amplitude finite.
TEST(ExactCalls, ExpIsFiniteBelowTheOverflow)
{
  EXPECT_TRUE(std::isfinite(std::exp(709.7)));
  EXPECT_EQ(std::exp(709.8), kInf);
  for (double A : {1.0, 3.0, 30000.0, 1e300, DBL_MAX}) {
    double const u = std::nextafter(zorv_fit::stand_in_limit(A), -kInf);
    EXPECT_TRUE(std::isfinite(A * (0.5 * std::exp(u)))) << A;
  }
  EXPECT_EQ(zorv_fit::stand_in_limit(kInf), -kInf);  // never a stand-in
}

// The shortcut functions return what the library returns, on both sides of
// every threshold (exp_u_exact only where its stand-in does not apply).
TEST(ExactCalls, ShortcutsAgreeWithTheLibrary)
{
  for (double z : {-kInf, -7.0, -6.0, std::nextafter(-6.0, 0.0), -kErfBoundary, -5.0, 0.0, 5.0,
                   kErfBoundary, std::nextafter(6.0, 0.0), 6.0, 7.0, kInf}) {
    EXPECT_EQ(zorv_fit::erf_exact(z), std::erf(z)) << z;
  }
  EXPECT_TRUE(std::isnan(zorv_fit::erf_exact(std::nan(""))));
  for (double w : {-kInf, -800.0, -746.0, std::nextafter(-746.0, 0.0), kExpBoundary, -745.0,
                   -700.0, 0.0, 700.0, 710.0, kInf}) {
    double const a = zorv_fit::exp_exact(w), b = std::exp(w);
    EXPECT_TRUE(a == b && std::signbit(a) == std::signbit(b)) << w;
  }
  EXPECT_TRUE(std::isnan(zorv_fit::exp_exact(std::nan(""))));
  // exp(u) itself wherever erf(z) is not 1, exp(w) is not 0 or u is too large.
  double const limit = zorv_fit::stand_in_limit(30000.0);
  EXPECT_EQ(zorv_fit::exp_u_exact(3.0, 0.999, 0.0, limit), std::exp(3.0));
  EXPECT_EQ(zorv_fit::exp_u_exact(3.0, 1.0, 1e-300, limit), std::exp(3.0));
  EXPECT_EQ(zorv_fit::exp_u_exact(limit, 1.0, 0.0, limit), std::exp(limit));
  EXPECT_EQ(zorv_fit::exp_u_exact(800.0, 1.0, 0.0, limit), kInf);
  EXPECT_EQ(zorv_fit::exp_u_exact(3.0, 1.0, 0.0, limit), zorv_fit::kStandIn);
}

// The exponential the fit calls is exp, to the last bit and sign, over the
// whole range: ordinary arguments, both ends, the shortcuts' neighbourhood.
TEST(ExactCalls, LibraryExpIsExp)
{
  auto same = [](double a, double b) {
    return (a == b && std::signbit(a) == std::signbit(b)) || (std::isnan(a) && std::isnan(b));
  };
  for (double x : {0.0, -0.0, 1.0, -1.0, 1e-300, -1e-300, 709.782712893384, 709.8, -745.1332191019412,
                   -745.14, -746.0, -1e300, 1e300, kInf, -kInf, std::nan("")}) {
    EXPECT_TRUE(same(zorv_fit::library_exp(x), std::exp(x))) << x;
  }
  uint64_t s = 1;
  for (int i = 0; i < 2000000; ++i) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    double const x = (static_cast<double>(s >> 11) * 0x1.0p-53 - 0.5) * 1600.0;
    ASSERT_TRUE(same(zorv_fit::library_exp(x), std::exp(x))) << x;
  }
}
