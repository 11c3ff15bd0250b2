// Decay-constant calibration and its sort.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "run/calibrate.h"
#include "io/settings.h"
#include "test_rng.h"
#include "test_util.h"

namespace {

// Limits this process's address space to what it maps now plus `extra`
// bytes. Returns 0, or 1 when that cannot be done.
int limit_address_space(long extra)
{
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 1;
    const bool read = std::fscanf(statm, "%ld", &pages) == 1;
    std::fclose(statm);
    const rlim_t limit = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + extra);
    const rlimit as = {limit, limit};
    return read && setrlimit(RLIMIT_AS, &as) == 0 ? 0 : 1;
}

// The file's text, "<missing>" when there is none.
std::string read_file(const char* name)
{
    return file_exists(name) ? read_text(name) : "<missing>";
}

void write_file(const char* name, const std::string& text)
{
    ASSERT_TRUE(write_text(name, text)) << name;
}

// One value per line, as the master writes the decay lists.
void write_list(const char* name, const std::vector<double>& v)
{
    std::string text;
    char line[64];
    for (double x : v) {
        std::snprintf(line, sizeof line, "%.10f\n", x);
        text += line;
    }
    write_file(name, text);
}

// v plus `times` copies of x.
std::vector<double> add(std::vector<double> v, double x, int times)
{
    v.insert(v.end(), static_cast<size_t>(times), x);
    return v;
}

// Count column of a decay histogram file.
std::vector<int> hist_counts(const char* name)
{
    std::vector<int> counts;
    for (const std::string& line : split_lines(read_file(name))) {
        double centre;
        int count;
        if (std::sscanf(line.c_str(), "%lf %d", &centre, &count) == 2) counts.push_back(count);
    }
    return counts;
}

std::string fmt(const char* format, int c, double x)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, format, c, x);
    return buf;
}

// The seven lines of a channel that gives an estimate.
std::vector<std::string> channel_lines(int c, int n, double maximum, double parabolic)
{
    return {"Reading decayfile...",
            "Waveforms read: " + std::to_string(n),
            "Sorting...",
            "Binning...",
            "Writing histograms...",
            fmt("Channel %d decay: %.10f    (maximum)", c, maximum),
            fmt("Channel %d decay: %.10f    (parabolic)", c, parabolic)};
}

// Each test runs calibrate in a temporary directory of its own, with 10
// events per session over sessions 1 .. 100 and configured estimates.
class Calibrate : public ::testing::Test {
protected:
    void SetUp() override
    {
        s_.waveforms = 10;
        s_.start_cal_session = 1;
        s_.stop_cal_session = 100;
    }
    // Writes both lists, calibrates, returns the console lines.
    std::vector<std::string> run(const std::vector<double>& list0, const std::vector<double>& list1)
    {
        write_list("decay0.txt", list0);
        write_list("decay1.txt", list1);
        return run();
    }
    std::vector<std::string> run()
    {
        out_ = capture_stdout([this] { run_error = calibrate(s_, decay_est); });
        return split_lines(out_);
    }
    TempDir dir_;  // the working directory while the test runs
    std::string out_;
    RunSettings s_;
    double decay_est[2] = {-0.0015, -0.0025};  // configured, then calibrated
    int run_error = -1;
};

}  // namespace

// The 101 values 0 .. 100, shuffled, f = 0.1: lo = 10, hi = 90; bin 0 holds
// 0 .. 10, bin 249 holds 90 .. 100, 11 falls into bin 3, the first filled
// one of bins 1 .. 248, so e = 3. The file has 250 lines "%.10f %d\n".
TEST_F(Calibrate, HundredAndOneValues)
{
    std::vector<double> v;
    for (int i = 0; i <= 100; ++i) v.push_back(i);
    Rng rng(7);
    std::shuffle(v.begin(), v.end(), rng);
    s_.hist_overflow = 0.1;
    std::vector<std::string> lines = run(v, v);
    ASSERT_EQ(lines.size(), 14u) << out_;
    EXPECT_EQ(lines[1], "Waveforms read: 101");

    std::vector<int> h = hist_counts("decay_hist0.txt");
    ASSERT_EQ(h.size(), 250u);
    EXPECT_EQ(h[0], 11);
    EXPECT_EQ(h[249], 11);
    EXPECT_EQ(h[1] + h[2], 0);
    EXPECT_EQ(h[3], 1);
    int inside = 0;
    for (int k = 1; k <= 248; ++k) inside += h[k];
    EXPECT_EQ(inside, 79);  // 11 .. 89

    const double step = 80.0 / 249.0;
    std::string expected;
    char line[64];
    for (int k = 0; k < 250; ++k) {
        std::snprintf(line, sizeof line, "%.10f %d\n", static_cast<double>(k) * step + 10.0, h[k]);
        expected += line;
    }
    EXPECT_EQ(read_file("decay_hist0.txt"), expected);
    EXPECT_EQ(read_file("decay_hist1.txt"), expected);
    EXPECT_EQ(split_lines(expected).front(), "10.0000000000 11");
    EXPECT_EQ(split_lines(expected).back(), "90.0000000000 11");

    const double maximum = 3.0 * step + 10.0;
    EXPECT_EQ(lines[5], fmt("Channel %d decay: %.10f    (maximum)", 0, maximum));
    EXPECT_NEAR(decay_est[0], maximum, 1e-12);  // empty neighbours: symmetric
    EXPECT_NEAR(decay_est[1], maximum, 1e-12);
    EXPECT_EQ(run_error, 0);
}

// Trimmed indices trunc(m f) and trunc((1 - f) m) with 1 - f formed first.
// 12 values, f = 0.34, m = 11: lo = v[3], hi = v[trunc(7.26)] = v[7] (not the
// mirror index 8). 51 values, m = 50: (1 - 0.34) * 50 is 32.99999999999999
// in double, so hi = v[32] (50 - 50 * 0.34 would give 33), lo = v[17].
TEST_F(Calibrate, TrimmedIndices)
{
    std::vector<double> a, b;
    for (int i = 11; i >= 0; --i) a.push_back(i);
    for (int i = 0; i <= 50; ++i) b.push_back(i);
    s_.hist_overflow = 0.34;
    run(a, b);
    std::vector<std::string> h0 = split_lines(read_file("decay_hist0.txt"));
    std::vector<std::string> h1 = split_lines(read_file("decay_hist1.txt"));
    ASSERT_EQ(h0.size(), 250u);
    ASSERT_EQ(h1.size(), 250u);
    EXPECT_EQ(h0[0], "3.0000000000 4");
    EXPECT_EQ(h0[249], "7.0000000000 5");
    EXPECT_EQ(h1[0], "17.0000000000 18");
    EXPECT_EQ(h1[249], "32.0000000000 19");
}

// Half a bin above a centre goes up: lo 0, hi 249 (step 1), 3.5 counts in
// bin 4, 3.4999 in bin 3. With f = 0 the ends are the centres of bins 0 and
// 249. Bins 3 and 4 tie: the lower one is e.
TEST_F(Calibrate, HalfBinAndTies)
{
    std::vector<double> a = {0.0, 249.0, 3.5, 3.4999};
    std::vector<double> b = add(add(add({0.0, 249.0}, 20.0, 3), 10.0, 3), 200.0, 3);
    std::vector<std::string> lines = run(a, b);
    ASSERT_EQ(lines.size(), 14u) << out_;
    std::vector<std::string> h0 = split_lines(read_file("decay_hist0.txt"));
    ASSERT_EQ(h0.size(), 250u);
    EXPECT_EQ(h0[0], "0.0000000000 1");
    EXPECT_EQ(h0[3], "3.0000000000 1");
    EXPECT_EQ(h0[4], "4.0000000000 1");
    EXPECT_EQ(h0[249], "249.0000000000 1");
    EXPECT_EQ(lines[5], "Channel 0 decay: 3.0000000000    (maximum)");
    EXPECT_EQ(lines[12], "Channel 1 decay: 10.0000000000    (maximum)");
    EXPECT_EQ(lines[13], "Channel 1 decay: 10.0000000000    (parabolic)");
}

// Maximum in bin 1 (channel 0) or bin 248 (channel 1): the parabola uses bin
// 0 or 249 with the trimmed tail. Counts 4, 3, 1 at 0, 1, 2 put the vertex
// at -0.5; counts 1, 3, 4 at 247, 248, 249 at 249.5. Both channels, in
// order, seven lines each.
TEST_F(Calibrate, EdgeMaximaBothChannels)
{
    std::vector<double> a = add(add(add({249.0}, 2.0, 1), 1.0, 3), 0.0, 4);
    std::vector<double> b = add(add(add({0.0}, 247.0, 1), 248.0, 3), 249.0, 4);
    std::vector<std::string> expected = channel_lines(0, 9, 1.0, -0.5);
    std::vector<std::string> second = channel_lines(1, 9, 248.0, 249.5);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(run(a, b), expected);
    EXPECT_EQ(out_.back(), '\n');
    EXPECT_DOUBLE_EQ(decay_est[0], -0.5);
    EXPECT_DOUBLE_EQ(decay_est[1], 249.5);
    EXPECT_EQ(run_error, 0);
}

// Decay-like values: a symmetric neighbourhood (2, 5, 2) gives the maximum
// value to within rounding; 1, 5, 3 moves it a sixth of a bin up.
TEST_F(Calibrate, SymmetricNeighbourhood)
{
    const double lo = -0.0031, hi = -0.0007;
    const double step = (hi - lo) / 249.0;
    auto centre = [&](int k) { return static_cast<double>(k) * step + lo; };
    std::vector<double> a = add(add(add({lo, hi}, centre(99), 2), centre(100), 5), centre(101), 2);
    std::vector<double> b = add(add(add({lo, hi}, centre(99), 1), centre(100), 5), centre(101), 3);
    run(a, b);
    EXPECT_NEAR(decay_est[0], centre(100), 1e-12);
    EXPECT_NEAR(decay_est[1], centre(100) + step / 6.0, 1e-12);
}

// Reading: up to the capacity (2 events x 2 sessions = 4 values); a
// malformed entry or a NaN ends it, the values before count.
TEST_F(Calibrate, ReadingStops)
{
    s_.waveforms = 2;
    s_.start_cal_session = 7;
    s_.stop_cal_session = 8;
    write_list("decay0.txt", {0.0, 249.0, 100.0, 100.0, 5.0, 5.0, 5.0});
    write_file("decay1.txt", "0.0\n249.0\n120.0\nnan\n7.0\n7.0\n");
    std::vector<std::string> lines = run();
    ASSERT_EQ(lines.size(), 14u) << out_;
    EXPECT_EQ(lines[1], "Waveforms read: 4");
    EXPECT_EQ(lines[8], "Waveforms read: 3");
    EXPECT_DOUBLE_EQ(decay_est[0], 100.0);
    EXPECT_DOUBLE_EQ(decay_est[1], 120.0);

    write_file("decay1.txt", "0.0\n249.0\n130.0\nabc\n7.0\n7.0\n");
    lines = run();
    ASSERT_EQ(lines.size(), 14u) << out_;
    EXPECT_EQ(lines[8], "Waveforms read: 3");
    EXPECT_DOUBLE_EQ(decay_est[1], 130.0);
    EXPECT_EQ(run_error, 0);
}

// A missing list keeps the configured value, says so and marks the run;
// the other channel is calibrated as usual.
TEST_F(Calibrate, MissingListKeepsEstimate)
{
    write_list("decay1.txt", {0.0, 249.0, 60.0});
    std::vector<std::string> lines = run();
    ASSERT_EQ(lines.size(), 8u) << out_;
    EXPECT_EQ(lines[0],
              "Error: Cannot open decay list decay0.txt, channel 0 keeps decay_est -0.0015000000");
    EXPECT_EQ(lines[7], "Channel 1 decay: 60.0000000000    (parabolic)");
    EXPECT_EQ(decay_est[0], -0.0015);
    EXPECT_DOUBLE_EQ(decay_est[1], 60.0);
    EXPECT_EQ(run_error, 1);
    EXPECT_EQ(read_file("decay_hist0.txt"), "<missing>");
}

// An empty list (channel 0) and one without spread (channel 1: f = 0.25 on
// 0 1 1 1 1 1 1 9 makes both limits 1) keep the configured values.
TEST_F(Calibrate, EmptyOrNoSpreadKeepsEstimate)
{
    write_file("decay0.txt", "\n");
    write_list("decay1.txt", {9.0, 1.0, 1.0, 0.0, 1.0, 1.0, 1.0, 1.0});
    s_.hist_overflow = 0.25;
    std::vector<std::string> lines = run();
    ASSERT_EQ(lines.size(), 7u) << out_;
    EXPECT_EQ(lines[1], "Waveforms read: 0");
    EXPECT_EQ(lines[2],
              "Error: Decay list decay0.txt holds no values, channel 0 keeps decay_est -0.0015000000");
    EXPECT_EQ(lines[5], "Sorting...");
    EXPECT_EQ(lines[6],
              "Error: Decay list decay1.txt gives no histogram range (lo 1.0000000000,"
              " hi 1.0000000000), channel 1 keeps decay_est -0.0025000000");
    EXPECT_EQ(decay_est[0], -0.0015);
    EXPECT_EQ(decay_est[1], -0.0025);
    EXPECT_EQ(run_error, 1);

    // A single value has no spread either.
    write_file("decay1.txt", "-0.002\n");
    lines = run();
    ASSERT_EQ(lines.size(), 7u) << out_;
    EXPECT_EQ(lines[6],
              "Error: Decay list decay1.txt gives no histogram range (lo -0.0020000000,"
              " hi -0.0020000000), channel 1 keeps decay_est -0.0025000000");
}

// Counts on a line have no vertex: a flat top (bins 0, 1, 2 equal), or on
// decay-like limits the counts 1, 3, 5 of bins 247 .. 249, where rounding
// leaves a denominator of about 2e-19 that would put the "vertex" near 1e8.
// The maximum-bin value stays, said in the seventh line; not an error.
TEST_F(Calibrate, CollinearCountsKeepMaximumValue)
{
    const double lo = -0.0015630142146052365, hi = -0.0007233140399609135;
    const double step = (hi - lo) / 249.0;
    auto centre = [&](int k) { return static_cast<double>(k) * step + lo; };
    write_list("decay0.txt", add(add(add({249.0}, 0.0, 2), 1.0, 2), 2.0, 2));
    std::string text;
    char line[64];
    for (double x : add(add(add({lo}, centre(247), 1), centre(248), 3), hi, 5)) {
        std::snprintf(line, sizeof line, "%.17g\n", x);  // exact round trip
        text += line;
    }
    write_file("decay1.txt", text);
    std::vector<std::string> lines = run();
    ASSERT_EQ(lines.size(), 14u) << out_;
    EXPECT_EQ(lines[5], "Channel 0 decay: 1.0000000000    (maximum)");
    EXPECT_EQ(lines[6],
              "Channel 0 decay: 1.0000000000    (maximum kept: counts 2 2 2 of bins 0 to 2"
              " lie on a line, no parabolic vertex)");
    EXPECT_EQ(lines[13], fmt("Channel %d decay: %.10f    (maximum kept: counts 1 3 5 of bins"
                             " 247 to 249 lie on a line, no parabolic vertex)",
                             1, centre(248)));
    EXPECT_DOUBLE_EQ(decay_est[0], 1.0);
    EXPECT_EQ(decay_est[1], centre(248));
    EXPECT_EQ(run_error, 0);
}

// A histogram file that cannot be created (a directory of that name, or a
// FIFO, which must not hold the run): an error line naming it, and the
// estimate all the same.
TEST_F(Calibrate, HistogramFileCannotBeCreated)
{
    ASSERT_EQ(mkdir("decay_hist0.txt", 0755), 0);
    ASSERT_EQ(mkfifo("decay_hist1.txt", 0644), 0);
    std::vector<double> v = {0.0, 249.0, 30.0, 30.0};
    std::vector<std::string> lines = run(v, v);
    ASSERT_EQ(lines.size(), 16u) << out_;
    EXPECT_EQ(lines[4], "Writing histograms...");
    EXPECT_EQ(lines[5], "Error: Cannot create decay histogram decay_hist0.txt (it is a directory)");
    EXPECT_EQ(lines[13],
              "Error: Cannot create decay histogram decay_hist1.txt (it is not a regular file)");
    EXPECT_EQ(lines[7], "Channel 0 decay: 30.0000000000    (parabolic)");
    EXPECT_DOUBLE_EQ(decay_est[0], 30.0);
    EXPECT_DOUBLE_EQ(decay_est[1], 30.0);
    EXPECT_EQ(run_error, 1);
}

// No room for any value (no events per session): both estimates kept.
TEST_F(Calibrate, NoCapacityKeepsEstimates)
{
    s_.waveforms = 0;
    run({0.0, 249.0, 30.0}, {0.0, 249.0, 30.0});
    EXPECT_EQ(out_,
              "Error: No room for decay values (waveforms 0, calibration sessions 1 to 100),"
              " decay_est kept at -0.0015000000 and -0.0025000000\n");
    EXPECT_EQ(decay_est[0], -0.0015);
    EXPECT_EQ(decay_est[1], -0.0025);
    EXPECT_EQ(run_error, 1);
}

// The value buffer holds what the list holds, not what the sessions could
// deliver: 600 values with waveforms = 50,000,000 over two sessions (room
// for 800 MB) calibrate within 256 MB more address space than the process
// uses, to the same lines and files as with room for 1,000. In a child
// process, whose address space is limited.
using CalibrateDeathTest = Calibrate;
TEST_F(CalibrateDeathTest, BufferSizedByTheList)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit";
#endif
    Rng rng(600);
    std::vector<double> v(600);
    for (double& x : v) x = -0.0015 * (1.0 + 0.001 * rng.normal());
    ASSERT_EQ(run(v, v).at(1), "Waveforms read: 600");
    const std::string expected = out_;
    const std::string hist = read_file("decay_hist1.txt");
    s_.waveforms = 50000000;
    s_.stop_cal_session = 2;
    auto calibrate_limited = [&] {
        if (limit_address_space(256L << 20) != 0) std::_Exit(2);
        run();
        std::fputs(out_.c_str(), stderr);
        std::_Exit(out_ == expected && read_file("decay_hist1.txt") == hist ? 0 : 1);
    };
    EXPECT_EXIT(calibrate_limited(), ::testing::ExitedWithCode(0), "");
}
