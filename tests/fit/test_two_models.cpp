// One program with both pulse models: the fit library's f (up to two pulses)
// and the generator's f (one pulse) have the same name and signature, each in
// a namespace of its own, so that they link together.
#include <gtest/gtest.h>

#include <cmath>

#include "fit/pulse_model.h"
#include "generator/synth.h"

// The same single pulse from both models; the second pulse only in the fit's.
TEST(TwoModels, BothLinkAndAgreeOnOnePulse)
{
  double p[8] = {25000.0, -0.002, -28000.0, 600.0, 3.0, 900.0, 0.0, 1700.0};
  for (double x : {0.0, 590.0, 600.0, 612.5, 1500.0, 2499.0})
    EXPECT_NEAR(zorv_fit::f(x, p), zorv_synth::f(x, p), 1e-9 * 28000.0) << x;

  p[6] = 5000.0;
  EXPECT_EQ(zorv_fit::f(590.0, p), zorv_synth::f(590.0, p));  // pulse 2 not yet begun
  EXPECT_GT(zorv_fit::f(1750.0, p) - zorv_synth::f(1750.0, p), 4000.0);
}
