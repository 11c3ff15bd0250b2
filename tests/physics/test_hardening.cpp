// The per-channel analysis and the solver on raw content that produces NaN
// or infinity if anything lets it through: extremes of the 16-bit range,
// all-equal samples, random bytes, alternating extremes, spikes, clipped
// pulses. Whatever the samples, a channel's 9 result entries are either all
// zero (not fitted) or finite, and a fit that gna reports as successful has a
// finite residual sum of squares and finite parameters.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "physics/channel.h"
#include "fit/gna.h"
#include "io/kernel_file.h"
#include "io/settings.h"
#include "test_hardening_traces.h"
#include "test_rng.h"
#include "test_util.h"
#include "physics/window.h"

namespace {

// The example kernel of the main job (101-point Nuttall).
SmoothingWindow* example_window()
{
    static double table[kMaxKernel];
    static int count = 0;
    static SmoothingWindow* w = nullptr;
    if (!w) {
        if (read_kernel_file(ZORV_SOURCE_DIR "/examples/win.txt", table, kMaxKernel, &count) != 0)
            return nullptr;
        w = new SmoothingWindow(table, count);
    }
    return w;
}

class Hardening : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(example_window(), nullptr); }
};

bool all_finite(double const* v, int n)
{
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

bool all_zero(double const* v, int n)
{
    for (int i = 0; i < n; ++i)
        if (v[i] != 0.0) return false;
    return true;
}

}  // namespace

// Every kind of channel, both phases, two kernels, two baseline estimates:
// the block is zero or finite, and the troublesome kinds do reach the fitter.
// With the 17-point kernel a flat channel far above bcg_est shows maxima of
// rounding size near both ends, and its fit ends with a sum of squares of
// exactly 0; the master does not count such a fit as good.
TEST_F(Hardening, ChannelBlocksAreZeroOrFinite)
{
    constexpr int kDraws = 12;
    static SmoothingWindow nuttall17(func_nuttall, 17);
    SmoothingWindow* kernels[2] = {example_window(), &nuttall17};
    int fitted[kTraceKinds] = {};
    Rng rng(8);
    for (SmoothingWindow* kernel : kernels) {
        for (double bcg : {-24000.0, -28000.0}) {
            for (int locked = 0; locked < 2; ++locked) {
                ChannelSetup setup = {bcg, -0.0015, zorv_fit::FreeParams(), kernel};
                if (locked) setup.free.lock(zorv_fit::kDecayRate);
                for (int kind = 0; kind < kTraceKinds; ++kind) {
                    for (int n = 0; n < kDraws; ++n) {
                        std::vector<int16_t> e = hardening_event(kind, kind, rng);
                        for (int c = 0; c < 2; ++c) {
                            SCOPED_TRACE(::testing::Message()
                                         << trace_kind_name(kind) << ", kernel " << kernel->length
                                         << ", bcg_est " << bcg << ", locked " << locked);
                            double block[9] = {};
                            const ChannelOutcome outcome =
                                analyse_channel(e.data(), c, setup, block);
                            const bool ok = outcome == ChannelOutcome::kFitted ||
                                            outcome == ChannelOutcome::kNoResiduals;
                            ASSERT_TRUE(all_finite(block, 9));
                            if (!ok) {
                                EXPECT_TRUE(all_zero(block, 9));
                                continue;
                            }
                            ++fitted[kind];
                            EXPECT_GE(block[0], 0.0);
                            if (locked) {
                                EXPECT_EQ(block[2], setup.decay);
                            }
                        }
                    }
                }
            }
        }
    }
    for (int kind = 0; kind < kTraceKinds; ++kind)
        std::printf("%-14s fitted %d of %d\n", trace_kind_name(kind), fitted[kind], 8 * kDraws * 2);
    EXPECT_GT(fitted[kPulse], 0);
    EXPECT_GT(fitted[kFlat], 0);
    EXPECT_GT(fitted[kClipped], 0);
    EXPECT_GT(fitted[kDropout], 0);
    EXPECT_GT(fitted[kTailFromTop], 0);
}

// gna from far-off and degenerate starts on troublesome data: whatever it
// returns, a success comes with a finite sum of squares and finite
// parameters, so a result block can never carry a NaN or an infinity.
TEST(HardeningGna, SuccessComesWithFiniteResults)
{
    static double data[kFitPoints][2];
    struct Change {
        int j;
        double value;
    };
    Change const changes[] = {{-1, 0.0},     {0, 1e200},   {0, -1e200},  {0, 1e-300},
                              {1, 0.0},      {1, 0.5},     {1, -5.0},    {1, 1e-300},
                              {2, 1e200},    {2, -1e200},  {3, -1e6},    {3, 1e6},
                              {4, 0.0},      {4, 1e-300},  {4, 1e6},     {4, -1.0},
                              {5, 1e200},    {6, 1e200},   {7, -1e6}};
    int const kinds[] = {kPulse, kTwoPulses, kTop, kBottom, kRandomBytes, kAlternating, kSpikes,
                         kClipped, kStep};
    int successes = 0, failures = 0;
    Rng rng(21);
    for (int kind : kinds) {
        std::vector<int16_t> s = hardening_trace(kind, rng);
        int top = 0;
        for (int k = 0; k < kFitPoints; ++k) {
            data[k][0] = k;
            data[k][1] = s[k];
            if (s[k] > s[top]) top = k;
        }
        // Start values as a worker would choose them, the first pulse at the
        // highest sample, the second 400 samples later.
        double const base[8] = {30000.0, -0.0015, -28000.0, top - 1.0, 1.131, 0.0, 10000.0,
                                top + 400.0};
        for (Change const& change : changes) {
            for (int mask = 0; mask < 4; ++mask) {
                zorv_fit::FreeParams free;
                if (mask & 1) free.lock(1);
                if (mask & 2) free.lock(6).lock(7);
                double p[8];
                std::memcpy(p, base, sizeof p);
                if (change.j >= 0) p[change.j] = change.value;
                zorv_fit::FitResult const fit = zorv_fit::gna(&data, p, free);
                if (fit.status != zorv_fit::FitStatus::kConverged) {
                    ++failures;
                    continue;
                }
                ++successes;
                SCOPED_TRACE(::testing::Message() << trace_kind_name(kind) << ", p[" << change.j
                                                  << "] = " << change.value << ", mask " << mask);
                EXPECT_TRUE(std::isfinite(fit.ssr)) << fit.ssr;
                EXPECT_GE(fit.ssr, 0.0);
                EXPECT_TRUE(all_finite(p, 8));
            }
        }
    }
    std::printf("%d fits converged, %d failed\n", successes, failures);
    EXPECT_GT(successes, 0);
    EXPECT_GT(failures, 0);
}

// A kernel file of finite coefficients whose absolute sum overflows: the
// SmoothingWindow would divide by infinity and smooth every trace to NaN, so the
// reader refuses it. Just below the overflow it is accepted and normalises.
TEST(HardeningKernel, CoefficientsTooLargeToNormaliseAreRefused)
{
    TempDir dir;
    double table[kMaxKernel];
    int count = -1;

    ASSERT_TRUE(write_text("win.txt", "0 1e308\n1 1e308\n2 1e308\n"));
    auto read = [&] { return read_kernel_file("win.txt", table, kMaxKernel, &count); };
    std::string out = capture_stdout([&] { EXPECT_EQ(read(), 1); });
    EXPECT_EQ(out, "Error: Window file 'win.txt': the coefficients are too large to normalise\n");
    EXPECT_EQ(count, 0);

    ASSERT_TRUE(write_text("win.txt", "0 -1.7e308\n1 0\n2 1e307\n"));
    capture_stdout([&] { EXPECT_EQ(read(), 1); });

    ASSERT_TRUE(write_text("win.txt", "0 8e307\n1 -8e307\n2 1e307\n"));
    out = capture_stdout([&] { EXPECT_EQ(read(), 0); });
    EXPECT_EQ(out, "");
    ASSERT_EQ(count, 3);
    SmoothingWindow w(table, count);
    EXPECT_DOUBLE_EQ(w.coefficients[0], 8.0 / 17.0);
    EXPECT_DOUBLE_EQ(w.coefficients[1], -8.0 / 17.0);
    EXPECT_DOUBLE_EQ(w.coefficients[2], 1.0 / 17.0);
}
