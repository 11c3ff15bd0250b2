// Per-channel analysis on traces made with the pulse model: which channels
// are fitted, with which start values and locks, and what the result block
// holds.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "physics/channel.h"
#include "fit/pulse_model.h"
#include "fit/vector_width.h"
#include "physics/window.h"

using zorv_fit::f;

namespace {

struct Pulse {
    double amplitude;
    double position;
};

constexpr double kLambda = -0.0015;
constexpr double kBaseline = -28000.0;
constexpr double kWidth = 2.0;

// Samples of the model, rounded to the nearest integer as a digitiser would.
std::vector<int16_t> channel_samples(std::vector<Pulse> const& pulses, double tail = 0.0)
{
    std::vector<double> sum(2500, kBaseline);
    for (int k = 0; k < 2500; ++k) sum[k] += tail * std::exp(kLambda * k);
    for (auto const& pl : pulses) {
        double p[8] = {pl.amplitude, kLambda, 0.0, pl.position, kWidth, 0.0, 0.0, 1500.0};
        for (int k = 0; k < 2500; ++k) sum[k] += f(k, p);
    }
    std::vector<int16_t> s(2500);
    for (int k = 0; k < 2500; ++k) s[k] = static_cast<int16_t>(std::lround(sum[k]));
    return s;
}

std::vector<int16_t> event_of(std::vector<int16_t> const& a, std::vector<int16_t> const& b)
{
    std::vector<int16_t> e(5000);
    for (int k = 0; k < 2500; ++k) {
        e[2 * k] = a[k];
        e[2 * k + 1] = b[k];
    }
    return e;
}

class Analysis : public ::testing::Test {
protected:
    // Result message of an event, as the worker fills it.
    std::vector<double> analyse(std::vector<int16_t> const& a, std::vector<int16_t> const& b)
    {
        static const SmoothingWindow kernel(func_nuttall, 17);
        const double baseline[2] = {kBaseline, kBaseline};
        std::vector<double> result(18, 0.0);
        std::vector<int16_t> e = event_of(a, b);
        analyse_event(e.data(), make_event_setup(kernel, baseline, decay_est, decay_held),
                      result.data(), outcomes);
        return result;
    }

    ChannelOutcome outcomes[2] = {};

    double decay_est[2] = {-0.0014, -0.0014};
    bool decay_held = false;
};

bool all_zero(std::vector<double> const& r, int c)
{
    for (int k = 0; k < 9; ++k)
        if (r[9 * c + k] != 0.0) return false;
    return true;
}

}  // namespace

// No pulse, a pulse too early, too many pulses: 9 zeros.
TEST_F(Analysis, ChannelsWithoutAUsablePeakPatternStayZero)
{
    auto flat = channel_samples({});
    auto early = channel_samples({{20000.0, 150.0}});
    auto three = channel_samples({{20000.0, 500.0}, {20000.0, 1000.0}, {20000.0, 1500.0}});
    auto close = channel_samples({{20000.0, 1000.0}, {20000.0, 1150.0}});
    auto r = analyse(flat, early);
    EXPECT_TRUE(all_zero(r, 0));
    EXPECT_TRUE(all_zero(r, 1));
    EXPECT_EQ(outcomes[0], ChannelOutcome::kNoPeak);
    EXPECT_EQ(outcomes[1], ChannelOutcome::kPeakTooEarly);
    r = analyse(three, close);
    EXPECT_TRUE(all_zero(r, 0));
    EXPECT_TRUE(all_zero(r, 1));
    EXPECT_EQ(outcomes[0], ChannelOutcome::kTooManyPeaks);
    EXPECT_EQ(outcomes[1], ChannelOutcome::kPeaksTooClose);
}

// A single pulse at 250 is fitted with the second pulse held at 0 and 1500;
// channel B is analysed on its own.
TEST_F(Analysis, SinglePulseIsFittedWithTheSecondPulseLocked)
{
    auto single = channel_samples({{20000.0, 250.0}}, 3000.0);
    auto flat = channel_samples({});
    auto r = analyse(single, flat);
    ASSERT_GT(r[0], 0.0);
    EXPECT_NEAR(r[1], 20000.0, 20.0);      // amplitude 1
    EXPECT_NEAR(r[2], kLambda, 1e-6);      // decay rate, free in this phase
    EXPECT_NEAR(r[3], kBaseline, 2.0);     // baseline
    EXPECT_NEAR(r[4], 250.0, 0.05);        // position 1
    EXPECT_NEAR(r[5], kWidth, 0.05);       // width
    EXPECT_NEAR(r[6], 3000.0, 20.0);       // tail
    EXPECT_EQ(r[7], 0.0);                  // amplitude 2, held
    EXPECT_EQ(r[8], 1500.0);               // position 2, held
    EXPECT_TRUE(all_zero(r, 1));

    r = analyse(flat, single);
    EXPECT_TRUE(all_zero(r, 0));
    ASSERT_GT(r[9], 0.0);
    EXPECT_NEAR(r[13], 250.0, 0.05);
    EXPECT_EQ(r[16], 0.0);
    EXPECT_EQ(r[17], 1500.0);
    EXPECT_EQ(outcomes[0], ChannelOutcome::kNoPeak);
    EXPECT_EQ(outcomes[1], ChannelOutcome::kFitted);
    EXPECT_STREQ(outcome_key(outcomes[1]), "fitted");
}

// Two pulses 250 apart are fitted with both pulses free.
TEST_F(Analysis, TwoSeparatedPulsesAreFittedTogether)
{
    auto pair = channel_samples({{15000.0, 1000.0}, {30000.0, 1250.0}});
    auto r = analyse(channel_samples({}), pair);
    EXPECT_TRUE(all_zero(r, 0));
    ASSERT_GT(r[9], 0.0);
    EXPECT_NEAR(r[10], 15000.0, 20.0);
    EXPECT_NEAR(r[13], 1000.0, 0.05);
    EXPECT_NEAR(r[15], 0.0, 20.0);
    EXPECT_NEAR(r[16], 30000.0, 20.0);
    EXPECT_NEAR(r[17], 1250.0, 0.05);
}

// With the decay rate locked the fitted value is the estimate, bit for bit.
TEST_F(Analysis, LockedDecayRateIsReturnedExactly)
{
    decay_held = true;
    decay_est[0] = -0.00151234;
    decay_est[1] = -0.00149876;
    auto a = channel_samples({{25000.0, 600.0}});
    auto b = channel_samples({{18000.0, 900.0}, {22000.0, 1400.0}});
    auto r = analyse(a, b);
    ASSERT_GT(r[0], 0.0);
    ASSERT_GT(r[9], 0.0);
    EXPECT_EQ(r[2], decay_est[0]);
    EXPECT_EQ(r[11], decay_est[1]);
    EXPECT_NEAR(r[4], 600.0, 0.5);
    EXPECT_NEAR(r[17], 1400.0, 0.5);
}

// The peak search on hand-made traces: strict maxima only, above 500 only,
// parabolic positions, amplitudes of the first two, at most 25 positions.
TEST(FindPeaks, StrictMaximaAboveTheThreshold)
{
    std::vector<double> t(2500, 0.0);
    double positions[kMaxPeaks];
    double p[8] = {0, 0, 0, 0, 0, 0, 0, 0};

    t[100] = 500.0;                                  // exactly the threshold
    t[300] = t[301] = 900.0;                         // equal neighbours
    t[0] = 5000.0;                                   // the ends are never centres
    t[2499] = 5000.0;
    EXPECT_EQ(find_peaks(t.data(), positions, p), 0);

    t[700] = 1000.0; t[699] = 600.0; t[701] = 800.0; // asymmetric: leans right
    t[1500] = 2000.0; t[1499] = 1000.0; t[1501] = 1000.0;
    t[2000] = 600.0;
    EXPECT_EQ(find_peaks(t.data(), positions, p), 3);
    // vertex of (699, 600), (700, 1000), (701, 800)
    EXPECT_DOUBLE_EQ(positions[0], 700.0 + 0.5 * (800.0 - 600.0) / (2 * 1000.0 - 600.0 - 800.0));
    EXPECT_EQ(positions[1], 1500.0);
    EXPECT_EQ(positions[2], 2000.0);
    EXPECT_EQ(p[0], 2.02932 * 1000.0);
    EXPECT_EQ(p[6], 2.02932 * 2000.0);

    std::vector<double> comb(2500, 0.0);
    for (int k = 0; k < 30; ++k) comb[50 + 80 * k] = 1000.0 + k;
    EXPECT_EQ(find_peaks(comb.data(), positions, p), 30);
    EXPECT_EQ(positions[24], 50.0 + 80 * 24);
}

// The sweep for a sample above the threshold gives the same answer at every
// vector width: lone peaks at the first and last centres (which fall in the
// sweep's tail at some widths), NaN around a peak, and NaN alone.
TEST(FindPeaks, EveryVectorWidthFindsTheSamePeaks)
{
    const double nan = std::nan("");
    struct Case {
        std::vector<std::pair<int, double>> samples;
        double fill;
        int peaks;
    } const cases[] = {
        {{{1, 501.0}}, 0.0, 1},
        {{{2498, 501.0}}, 0.0, 1},
        {{{2497, 501.0}, {2498, 500.5}}, 0.0, 1},
        {{{1200, 900.0}}, nan, 0},  // NaN neighbours: no strict maximum
        {{{1200, 900.0}, {1199, 0.0}, {1201, 0.0}}, nan, 1},
        {{}, nan, 0},
    };
    double positions[kMaxPeaks];
    double p[8];
    const int widest = zorv_fit::widest_vector_width();
    for (int lanes = 2; lanes <= widest; lanes *= 2) {
        zorv_fit::set_vector_width(lanes);
        for (Case const& c : cases) {
            std::vector<double> t(2500, c.fill);
            for (auto const& s : c.samples) t[s.first] = s.second;
            EXPECT_EQ(find_peaks(t.data(), positions, p), c.peaks) << lanes << " lanes";
        }
    }
    zorv_fit::set_vector_width(widest);
}
