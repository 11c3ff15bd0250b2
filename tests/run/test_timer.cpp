// Stopwatch and the progress line.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "run/progress.h"
#include "test_util.h"
#include "run/timer.h"

namespace {

// Everything written to `f` from the start.
std::string contents(FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

GoodFitCounts counts(int64_t all, int64_t ok0, int64_t ok1, int64_t both)
{
    GoodFitCounts c;
    c.counter_all = all;
    c.nbr_ok[0] = ok0;
    c.nbr_ok[1] = ok1;
    c.nbr_all_ok = both;
    return c;
}

}  // namespace

// 0.0 until both start() and stop() were called; then the same interval in
// three units.
TEST(Timer, ZeroUnlessStartedAndStoppedThenTheIntervalInThreeUnits)
{
    Timer fresh;
    EXPECT_FALSE(fresh.started() || fresh.stopped());
    EXPECT_EQ(fresh.secDiff(), 0.0);
    Timer never_started;
    never_started.stop();
    EXPECT_EQ(never_started.secDiff(), 0.0);

    Timer t;
    t.start_at(Timer::Clock::now() - std::chrono::seconds(10));
    EXPECT_EQ(t.usecDiff(), 0.0);  // started, never stopped
    t.stop();
    EXPECT_GE(t.secDiff(), 10.0);
    EXPECT_LT(t.secDiff(), 100.0);
    EXPECT_NEAR(t.msecDiff(), 1e3 * t.secDiff(), 1e-6);
    EXPECT_NEAR(t.usecDiff(), 1e6 * t.secDiff(), 1e-3);
}

class Progress : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A fixed zone, so that the end time has a known text.
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_) old_tz_ = tz;
        set_tz("UTC0");
        out_ = std::tmpfile();
        ASSERT_NE(out_, nullptr);
    }
    void TearDown() override
    {
        std::fclose(out_);
        if (had_tz_)
            set_tz(old_tz_.c_str());
        else
            unsetenv("TZ");
        tzset();
    }
    static void set_tz(const char* tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }
    FILE* out_ = nullptr;
    bool had_tz_ = false;
    std::string old_tz_;
};

// 1700000000 is Tue Nov 14 22:13:20 2023 UTC.
constexpr time_t kNow = 1700000000;

// 300 of 2000 events in 2 s: 150 results per second, 1700 / 150 = 11.33 s
// to go, truncated to 11; threshold 200 + 150 * 2.
TEST_F(Progress, LineFormat)
{
    ProgressReport progress(2000, 2.0);
    ASSERT_EQ(progress.report(out_, counts(300, 150, 120, 90), 300, kNow, 2.0), 1);
    EXPECT_EQ(contents(out_),
              "Done: 15.0%, Good waveforms: 50.0% 40.0%, All 30.0%, Waveforms per second: 150.0,"
              " Estimated time Tue Nov 14 22:13:31 2023\r");
    EXPECT_EQ(progress.info_count(), 500);
}

// A resumed phase: the counters hold the whole phase, earlier runs
// included, while the rate counts this run's results alone. 1300 of 2000
// done, 300 of them in the last 2 s: 150 per second, 700 / 150 = 4.67 s to go.
TEST_F(Progress, ResumedPhaseShowsTheWholePhaseAtThisRunsRate)
{
    ProgressReport progress(2000, 2.0);
    ASSERT_EQ(progress.report(out_, counts(1300, 650, 650, 650), 300, kNow, 2.0), 1);
    EXPECT_EQ(contents(out_),
              "Done: 65.0%, Good waveforms: 50.0% 50.0%, All 50.0%, Waveforms per second: 150.0,"
              " Estimated time Tue Nov 14 22:13:24 2023\r");
}

// One decimal, the rate padded to four characters; the end time in the
// local zone (22:13:25 UTC is 17:13:25 EST).
TEST_F(Progress, RoundingPaddingAndZone)
{
    set_tz("EST5");
    ProgressReport progress(7, 0.0);
    ASSERT_EQ(progress.report(out_, counts(3, 1, 2, 1), 3, kNow, 4.0), 1);
    // rate 0.75; 4 events left -> 5.33 s -> 5 s
    EXPECT_EQ(contents(out_),
              "Done: 42.9%, Good waveforms: 33.3% 66.7%, All 33.3%, Waveforms per second:  0.8,"
              " Estimated time Tue Nov 14 17:13:25 2023\r");
}

// elapsed 0.0: no line, threshold unchanged.
TEST_F(Progress, SilentWhenNoTimeHasPassed)
{
    ProgressReport progress(1000, 5.0);
    EXPECT_EQ(progress.report(out_, counts(201, 0, 0, 0), 201, kNow, 0.0), 0);
    EXPECT_EQ(contents(out_), "");
    EXPECT_EQ(progress.info_count(), 200);
}

// The threshold moves by trunc(rate) * refresh_interval and the sum is
// truncated; it stays with refresh_interval 0, a rate below one per second,
// or a step below one; it saturates instead of overflowing.
TEST_F(Progress, ThresholdStepping)
{
    struct Case {
        int64_t results;
        double elapsed, interval;
        int before, after;
    } cases[] = {
        {109, 10.0, 10.0, 200, 300},    // rate 10.9 counts as 10, not 309
        {109, 10.0, 0.25, 300, 302},    // 302.5 -> 302
        {500, 1.0, 0.0, 200, 200},      // refresh_interval 0
        {500, 1000.0, 30.0, 200, 200},  // 0.5 results per second
        {500, 5.0, 0.009, 200, 200},    // 100 * 0.009 < 1
        {1000000, 1e-6, 1e9, 200, INT_MAX},
    };
    for (const Case& c : cases) {
        ProgressReport progress(1000000, c.interval);
        progress.set_info_count(c.before);
        progress.report(out_, counts(c.results, 0, 0, 0), c.results, kNow, c.elapsed);
        EXPECT_EQ(progress.info_count(), c.after) << c.results << " " << c.interval;
    }
}

// Before any result the rate is 0: the end time cannot be rendered and the
// line keeps its layout.
TEST_F(Progress, UnknownEndTime)
{
    ProgressReport progress(10, 0.0);
    ASSERT_EQ(progress.report(out_, GoodFitCounts(), 0, kNow, 1.0), 1);
    std::string s = contents(out_);
    EXPECT_NE(s.find("Estimated time unknown                 \r"), std::string::npos) << s;
}

// info itself: silent while the stopwatch was never started (it does stop
// it); with the start moved ten seconds back, one line of the right shape.
TEST_F(Progress, Info)
{
    ProgressReport progress(4000, 1.0);
    const GoodFitCounts c = counts(1000, 500, 250, 100);
    EXPECT_EQ(capture_stdout([&] { progress.info(c, 1000); }), "");
    EXPECT_EQ(progress.info_count(), 200);
    EXPECT_TRUE(progress.timer().stopped());

    progress.timer().start_at(Timer::Clock::now() - std::chrono::seconds(10));
    std::string s = capture_stdout([&] { progress.info(c, 1000); });
    const std::string head =
        "Done: 25.0%, Good waveforms: 50.0% 25.0%, All 10.0%, Waveforms per second: ";
    const std::string mid = ", Estimated time ";
    ASSERT_EQ(s.compare(0, head.size(), head), 0) << s;
    size_t at = s.find(mid);
    ASSERT_NE(at, std::string::npos) << s;
    double rate = 0.0;
    EXPECT_EQ(std::sscanf(s.c_str() + head.size(), "%lf", &rate), 1);
    EXPECT_GT(rate, 0.0);
    EXPECT_EQ(s.size() - (at + mid.size()), 25u) << s;  // 24 characters and "\r"
    EXPECT_EQ(s.back(), '\r');
    EXPECT_GT(progress.info_count(), 200);
}
