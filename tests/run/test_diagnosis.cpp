// Warnings from a phase's outcomes: one failing outcome that takes 40 % or
// more of a channel's events (in a phase of 20 events or more) gives one
// line naming the phase, the channel, the share and the usual cause; below
// that, and for fits, nothing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/diagnosis.h"

namespace {

// A phase of n events whose channel c ended `k` times as outcome o, the
// rest fitted.
GoodFitCounts counts(int64_t n, int c, ChannelOutcome o, int64_t k)
{
    GoodFitCounts g;
    g.counter_all = n;
    for (int ch = 0; ch < 2; ++ch) g.outcomes[ch][0] = n;
    g.outcomes[c][0] -= k;
    g.outcomes[c][static_cast<int>(o)] += k;
    return g;
}

}  // namespace

TEST(Diagnosis, OneLineForAFailingOutcomeThatTakesMostOfAChannel)
{
    struct Case {
        int64_t n;
        int channel;
        ChannelOutcome outcome;
        int64_t k;
        char const* expected;  // nullptr: no warning
    } const cases[] = {
        {100, 0, ChannelOutcome::kNoPeak, 39, nullptr},
        {100, 0, ChannelOutcome::kNoPeak, 40,
         "Warning: processing phase, channel A: 40.0% of the events (40 of 100) ended as "
         "no_peak; this is usually bcg_est far below the baseline, or pulses under the "
         "threshold of 500"},
        {1000, 1, ChannelOutcome::kTooManyPeaks, 999,
         "Warning: processing phase, channel B: 99.9% of the events (999 of 1000) ended as "
         "three_or_more_peaks; this is usually noise above the threshold, i.e. the baseline "
         "above bcg_est + 500"},
        {200, 1, ChannelOutcome::kFitNotConverged, 80, "ended as fit_not_converged; this is "
                                                       "usually decay_est far from"},
        {200, 0, ChannelOutcome::kFitNotFinite, 200, "ended as fit_not_finite"},
        {200, 0, ChannelOutcome::kPeakTooEarly, 100, "a wrong data_offset"},
        {19, 0, ChannelOutcome::kNoPeak, 19, nullptr},  // too few events to judge
        {20, 0, ChannelOutcome::kNoPeak, 20, "(20 of 20)"},
    };
    for (Case const& c : cases) {
        const auto lines = diagnose_phase(Phase::kProcessing, counts(c.n, c.channel, c.outcome, c.k));
        SCOPED_TRACE(c.expected ? c.expected : "quiet");
        ASSERT_EQ(lines.size(), c.expected ? 1u : 0u);
        if (c.expected) {
            EXPECT_NE(lines[0].find(c.expected), std::string::npos) << lines[0];
        }
    }
    // Every failing outcome has a cause to name; a phase all fitted is quiet.
    for (int o = 1; o < kOutcomes; ++o) {
        const auto lines = diagnose_phase(Phase::kCalibration,
                                          counts(50, 0, static_cast<ChannelOutcome>(o), 50));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].find("Warning: calibration phase, channel A: 100.0%"), 0u);
        EXPECT_GT(lines[0].size(), lines[0].find("this is usually ") + 20) << lines[0];
    }
    EXPECT_TRUE(diagnose_phase(Phase::kProcessing, counts(500, 0, ChannelOutcome::kFitted, 0)).empty());
}
