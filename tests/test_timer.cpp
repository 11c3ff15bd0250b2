// Stopwatch difference arithmetic and the progress line.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "progress.h"
#include "run_state.h"
#include "test_util.h"
#include "timer.h"

namespace {

Timer timer_with(int64_t s0, int64_t u0, int64_t s1, int64_t u1)
{
    Timer t;
    t.started = t.stopped = true;
    t.start_time = {s0, u0};
    t.stop_time = {s1, u1};
    return t;
}

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

}  // namespace

// A fresh stopwatch, and one with a flag missing, report 0.0 although the
// times are an hour apart; the global one starts cleared.
TEST(Timer, ZeroUnlessStartedAndStopped)
{
    Timer fresh;
    EXPECT_FALSE(fresh.started);
    EXPECT_FALSE(fresh.stopped);
    EXPECT_EQ(fresh.secDiff(), 0.0);
    EXPECT_FALSE(timer.started || timer.stopped);

    Timer a = timer_with(1000, 0, 4600, 0);
    a.stopped = false;  // started, never stopped
    EXPECT_EQ(a.secDiff(), 0.0);
    EXPECT_EQ(a.msecDiff(), 0.0);
    EXPECT_EQ(a.usecDiff(), 0.0);
    Timer b = timer_with(1000, 0, 4600, 0);
    b.started = false;  // stopped, never started
    EXPECT_EQ(b.secDiff(), 0.0);
    EXPECT_EQ(b.msecDiff(), 0.0);
    EXPECT_EQ(b.usecDiff(), 0.0);
}

// s and u from the low 32 bits, u possibly negative.
TEST(Timer, Differences)
{
    struct Case {
        int64_t s0, u0, s1, u1;
        double sec;
    } cases[] = {
        {1700000000, 250000, 1700000001, 750000, 1.5},   // s = 1, u = 500000
        {1700000000, 750000, 1700000002, 500000, 1.75},  // s = 2, u = -250000
        {500, 200000, 497, 700000, -2.5},                // stop before start
        {0x1FFFFFFFFLL, 0, 0x200000001LL, 0, 2.0},       // low word wraps
        {0x100000005LL, 100, 0x300000005LL, 100, 0.0},   // high word ignored
    };
    for (const Case& c : cases) {
        Timer t = timer_with(c.s0, c.u0, c.s1, c.u1);
        EXPECT_DOUBLE_EQ(t.secDiff(), c.sec) << c.s0;
        EXPECT_DOUBLE_EQ(t.msecDiff(), c.sec * 1000.0) << c.s0;
        EXPECT_DOUBLE_EQ(t.usecDiff(), c.sec * 1000000.0) << c.s0;
    }
}

// start and stop set the flags and read a plausible clock.
TEST(Timer, StartAndStop)
{
    Timer t;
    t.start();
    EXPECT_TRUE(t.started);
    EXPECT_FALSE(t.stopped);
    EXPECT_EQ(t.secDiff(), 0.0);
    EXPECT_GT(t.start_time.tv_sec, 1600000000);
    EXPECT_LT(t.start_time.tv_usec, 1000000);
    t.stop();
    t.stop();
    EXPECT_TRUE(t.started && t.stopped);
    EXPECT_GE(t.stop_time.tv_sec, t.start_time.tv_sec);
}

class Progress : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_run_state();
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
        reset_run_state();
        timer = Timer();
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
    counter_all = msg_received = 300;
    nbr_ok[0] = 150;
    nbr_ok[1] = 120;
    nbr_all_ok = 90;
    waveforms = 1000;
    refresh_interval = 2.0;
    ASSERT_EQ(info_report(out_, 3, 4, kNow, 2.0), 1);
    EXPECT_EQ(contents(out_),
              "Done: 15.0%, Good waveforms: 50.0% 40.0%, All 30.0%, Waveforms per second: 150.0,"
              " Estimated time Tue Nov 14 22:13:31 2023\r");
    EXPECT_EQ(info_count, 500);
}

// A resumed phase: the counters hold the whole phase, earlier runs
// included, while the rate counts this run's results alone. 1300 of 2000
// done, 300 of them in the last 2 s: 150 per second, 700 / 150 = 4.67 s to go.
TEST_F(Progress, ResumedPhaseShowsTheWholePhaseAtThisRunsRate)
{
    counter_all = 1300;
    msg_received = 300;
    nbr_ok[0] = nbr_ok[1] = nbr_all_ok = 650;
    waveforms = 1000;
    refresh_interval = 2.0;
    ASSERT_EQ(info_report(out_, 3, 4, kNow, 2.0), 1);
    EXPECT_EQ(contents(out_),
              "Done: 65.0%, Good waveforms: 50.0% 50.0%, All 50.0%, Waveforms per second: 150.0,"
              " Estimated time Tue Nov 14 22:13:24 2023\r");
}

// One decimal, the rate padded to four characters; the end time in the
// local zone (22:13:25 UTC is 17:13:25 EST).
TEST_F(Progress, RoundingPaddingAndZone)
{
    set_tz("EST5");
    counter_all = msg_received = 3;
    nbr_ok[0] = 1;
    nbr_ok[1] = 2;
    nbr_all_ok = 1;
    waveforms = 7;
    ASSERT_EQ(info_report(out_, 5, 5, kNow, 4.0), 1);
    // rate 0.75; 4 events left -> 5.33 s -> 5 s
    EXPECT_EQ(contents(out_),
              "Done: 42.9%, Good waveforms: 33.3% 66.7%, All 33.3%, Waveforms per second:  0.8,"
              " Estimated time Tue Nov 14 17:13:25 2023\r");
}

// elapsed 0.0: no line, threshold unchanged.
TEST_F(Progress, SilentWhenNoTimeHasPassed)
{
    counter_all = msg_received = 201;
    waveforms = 1000;
    refresh_interval = 5.0;
    EXPECT_EQ(info_report(out_, 1, 1, kNow, 0.0), 0);
    EXPECT_EQ(contents(out_), "");
    EXPECT_EQ(info_count, 200);
}

// The threshold moves by trunc(rate) * refresh_interval and the sum is
// truncated; it stays with refresh_interval 0, a rate below one per second,
// or a step below one; it saturates instead of overflowing.
TEST_F(Progress, ThresholdStepping)
{
    waveforms = 1000000;
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
        counter_all = msg_received = c.results;
        refresh_interval = c.interval;
        info_count = c.before;
        info_report(out_, 1, 1, kNow, c.elapsed);
        EXPECT_EQ(info_count, c.after) << c.results << " " << c.interval;
    }
}

// Before any result the rate is 0: the end time cannot be rendered and the
// line keeps its layout.
TEST_F(Progress, UnknownEndTime)
{
    waveforms = 10;
    ASSERT_EQ(info_report(out_, 1, 1, kNow, 1.0), 1);
    std::string s = contents(out_);
    EXPECT_NE(s.find("Estimated time unknown                 \r"), std::string::npos) << s;
}

// info itself: silent while the stopwatch was never started (it does stop
// it); with the start moved ten seconds back, one line of the right shape.
TEST_F(Progress, Info)
{
    counter_all = msg_received = 1000;
    nbr_ok[0] = 500;
    nbr_ok[1] = 250;
    nbr_all_ok = 100;
    waveforms = 1000;
    refresh_interval = 1.0;
    EXPECT_EQ(capture_stdout([] { info(1, 4); }), "");
    EXPECT_EQ(info_count, 200);
    EXPECT_TRUE(timer.stopped);

    timer.start();
    timer.start_time.tv_sec -= 10;
    std::string s = capture_stdout([] { info(1, 4); });
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
    EXPECT_GT(info_count, 200);
}
