// zorv_spectra: reading and checking the result files, axis ranges, counts
// in the spectra and maps, amplitude lines, the summary, the command line,
// and the all-or-nothing output of the program.
#include "spectra/result_file.h"
#include "spectra/spectra.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

namespace {

// One channel record; the values that do not matter are plausible fits.
struct rec {
    double ssr = 6.0e6;
    double amplitude1 = 20000.0;
    double decay = -0.0015;
    double baseline = -28000.0;
    double position1 = 1250.0;
    double width = 3.0;
    double tail = 5000.0;
    double amplitude2 = 0.0;
    double position2 = kParkedPosition;
};

// Appends a record as little-endian doubles, byte by byte whatever the host.
void put_record(std::string* bytes, rec const& r)
{
    double v[kBlockDoubles] = {r.ssr, r.amplitude1, r.decay, r.baseline, r.position1,
                               r.width, r.tail, r.amplitude2, r.position2};
    for (double x : v) {
        std::uint64_t u;
        std::memcpy(&u, &x, 8);
        for (int b = 0; b < 8; ++b)
            bytes->push_back(static_cast<char>((u >> (8 * b)) & 0xff));
    }
}

void write_results(std::string const& path, std::vector<rec> const& records)
{
    std::string bytes;
    for (rec const& r : records)
        put_record(&bytes, r);
    write_text(path, bytes);
}

rec amp(double a1, double p1 = 1250.0)
{
    rec r;
    r.amplitude1 = a1;
    r.position1 = p1;
    return r;
}

rec two(double a1, double p1, double a2, double p2)
{
    rec r = amp(a1, p1);
    r.amplitude2 = a2;
    r.position2 = p2;
    return r;
}

// Counts of column c of a histogram table, one per line.
std::vector<double> column(std::string const& path, int c)
{
    std::vector<double> v;
    for (std::string const& line : read_lines(path)) {
        std::istringstream in(line);
        double x;
        for (int k = 0; k <= c; ++k)
            in >> x;
        v.push_back(x);
    }
    return v;
}

// The words behind `name` on the line of the summary that begins with it.
std::vector<std::string> row(std::string const& text, std::string const& name)
{
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> w;
    while (std::getline(lines, line)) {
        if (line.compare(0, name.size(), name) != 0)
            continue;
        std::istringstream in(line.substr(name.size()));
        std::string x;
        while (in >> x)
            w.push_back(x);
        break;
    }
    return w;
}

int run(std::vector<std::string> args, std::string* out = nullptr)
{
    std::vector<char const*> argv = {"zorv_spectra"};
    for (std::string const& a : args)
        argv.push_back(a.c_str());
    spectra_options opt;
    int status = -1;
    std::string text = capture_stdout([&] {
        status = parse_arguments(static_cast<int>(argv.size()), argv.data(), &opt);
        if (status == 0)
            status = run_spectra(opt);
    });
    if (out)
        *out = text;
    return status;
}

} // namespace

// ---------------------------------------------------------------- reading

// A record is decoded from little-endian bytes whatever the host's order.
TEST(SpectraRead, DecodesLittleEndianDoubles)
{
    unsigned char bytes[kResultBytes] = {};
    // 1.0 = 0x3FF0000000000000, -1000.5 = 0xC08F440000000000
    bytes[7] = 0x3F;
    bytes[6] = 0xF0;
    bytes[8 + 7] = 0xC0;
    bytes[8 + 6] = 0x8F;
    bytes[8 + 5] = 0x44;
    result_record r = decode_record(bytes);
    EXPECT_EQ(r[0], 1.0);
    EXPECT_EQ(r[1], -1000.5);
    EXPECT_EQ(r[8], 0.0);
}

// Both files of a base are read into events in record order.
TEST(SpectraRead, ReadsBothChannels)
{
    TempDir dir;
    write_results("ab0.bin", {amp(100.0), two(200.0, 900.0, 300.0, 1100.0)});
    write_results("ab1.bin", {amp(111.0), amp(222.0)});
    result_pair data;
    std::string out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 0); });
    EXPECT_EQ(out, "");
    ASSERT_EQ(data.events(), 2u);
    EXPECT_EQ(data.path[0], "ab0.bin");
    EXPECT_EQ(data.path[1], "ab1.bin");
    EXPECT_EQ(data.channel[0][1][kFieldAmplitude1], 200.0);
    EXPECT_EQ(data.channel[0][1][kFieldPosition2], 1100.0);
    EXPECT_EQ(data.channel[1][0][kFieldAmplitude1], 111.0);
    EXPECT_FALSE(holds_two_pulses(data.channel[0][0].data()));
    EXPECT_TRUE(holds_two_pulses(data.channel[0][1].data()));
}

// A missing file is named in the message, channel A or B.
TEST(SpectraRead, MissingFile)
{
    TempDir dir;
    write_results("ab0.bin", {amp(100.0)});
    result_pair data;
    std::string out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 1); });
    EXPECT_EQ(out.rfind("Error: Cannot open result file 'ab1.bin'", 0), 0u) << out;
    out = capture_stdout([&] { EXPECT_EQ(read_result_pair("xy", &data), 1); });
    EXPECT_EQ(out.rfind("Error: Cannot open result file 'xy0.bin'", 0), 0u) << out;
}

// A file cut inside a record.
TEST(SpectraRead, LengthNotMultipleOfRecord)
{
    TempDir dir;
    write_results("ab0.bin", {amp(100.0), amp(100.0)});
    std::string bytes = read_text("ab0.bin");
    write_text("ab1.bin", bytes.substr(0, 100));
    result_pair data;
    std::string out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 1); });
    EXPECT_EQ(out, "Error: Result file 'ab1.bin' is 100 bytes long, not a whole number of 72-byte "
                   "records (1 records and 28 bytes over)\n");
}

// Files of different lengths cannot be paired event by event.
TEST(SpectraRead, DifferentLengths)
{
    TempDir dir;
    write_results("ab0.bin", {amp(1.0), amp(2.0), amp(3.0)});
    write_results("ab1.bin", {amp(1.0), amp(2.0)});
    result_pair data;
    std::string out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 1); });
    EXPECT_EQ(out, "Error: Result files differ in length: 'ab0.bin' holds 3 records, 'ab1.bin' holds 2; "
                   "record i of both must be the same event\n");
}

// Two empty files: nothing to histogram.
TEST(SpectraRead, NoRecords)
{
    TempDir dir;
    write_results("ab0.bin", {});
    write_results("ab1.bin", {});
    result_pair data;
    std::string out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 1); });
    EXPECT_EQ(out, "Error: Result files 'ab0.bin' and 'ab1.bin' hold no records\n");
}

// A folder or a FIFO in place of a result file is refused by name, at once.
TEST(SpectraRead, RefusesWhatIsNotARegularFile)
{
    TempDir dir;
    write_results("ab1.bin", {amp(1.0)});
    result_pair data;
    ASSERT_EQ(mkdir("ab0.bin", 0700), 0);
    std::string out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 1); });
    EXPECT_EQ(out, "Error: Cannot read result file 'ab0.bin': it is a directory\n");
    ASSERT_EQ(rmdir("ab0.bin"), 0);
    ASSERT_EQ(mkfifo("ab0.bin", 0600), 0);
    out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 1); });
    EXPECT_EQ(out, "Error: Cannot read result file 'ab0.bin': it is not a regular file\n");
}

// NaN and infinity are refused, with file, record and field.
TEST(SpectraRead, NonFiniteValues)
{
    TempDir dir;
    rec bad = amp(1.0);
    bad.width = std::numeric_limits<double>::quiet_NaN();
    write_results("ab0.bin", {amp(1.0), amp(2.0)});
    write_results("ab1.bin", {amp(1.0), bad});
    result_pair data;
    std::string out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 1); });
    EXPECT_EQ(out.rfind("Error: Result file 'ab1.bin', record 1 (counted from 0): width is not finite", 0), 0u)
        << out;
    EXPECT_EQ(data.events(), 0u);

    bad = amp(1.0);
    bad.ssr = -std::numeric_limits<double>::infinity();
    write_results("ab0.bin", {bad, amp(2.0)});
    out = capture_stdout([&] { EXPECT_EQ(read_result_pair("ab", &data), 1); });
    EXPECT_EQ(out, "Error: Result file 'ab0.bin', record 0 (counted from 0): residual sum of squares "
                   "is not finite (-inf)\n");
}

// ---------------------------------------------------------------- ranges

// Quantiles interpolate between order statistics.
TEST(SpectraRange, Quantile)
{
    std::vector<double> v = {10.0, 20.0, 30.0, 40.0, 50.0};
    EXPECT_DOUBLE_EQ(quantile(v, 0.0), 10.0);
    EXPECT_DOUBLE_EQ(quantile(v, 1.0), 50.0);
    EXPECT_DOUBLE_EQ(quantile(v, 0.5), 30.0);
    EXPECT_DOUBLE_EQ(quantile(v, 0.1), 14.0);
    EXPECT_DOUBLE_EQ(quantile({7.0}, 0.3), 7.0);
    // Neighbours whose difference overflows.
    EXPECT_DOUBLE_EQ(quantile({-1e308, 1e308}, 0.25), -0.5e308);
    EXPECT_EQ(quantile({-1e308, 1e308}, 0.0), -1e308);
}

// Trimming leaves the outliers to the end bins.
TEST(SpectraRange, TrimmedRange)
{
    std::vector<double> v;
    for (int i = 0; i <= 100; ++i)
        v.push_back(1000.0 + i);
    v.back() = 1e12; // one wild fit
    axis_range r = derived_range(v, 1.0, 0.0, 1.0);
    EXPECT_DOUBLE_EQ(r.lo, 1001.0);
    EXPECT_DOUBLE_EQ(r.hi, 1099.0);
    r = derived_range(v, 0.0, 0.0, 1.0);
    EXPECT_DOUBLE_EQ(r.lo, 1000.0);
    EXPECT_DOUBLE_EQ(r.hi, 1e12);
}

// A range of zero width is widened; no values give the fallback.
TEST(SpectraRange, DegenerateRanges)
{
    axis_range r = derived_range({3.0, 3.0, 3.0}, 0.5, 0.0, 1.0);
    EXPECT_DOUBLE_EQ(r.lo, 2.97);
    EXPECT_DOUBLE_EQ(r.hi, 3.03);
    r = derived_range({0.0}, 0.5, 0.0, 1.0);
    EXPECT_DOUBLE_EQ(r.lo, -0.5);
    EXPECT_DOUBLE_EQ(r.hi, 0.5);
    r = derived_range({}, 0.5, -7.0, 9.0);
    EXPECT_EQ(r.lo, -7.0);
    EXPECT_EQ(r.hi, 9.0);
    // 1 % of the smallest subnormal rounds to 0: half a unit either side, as
    // around 0; 1 % of a larger subnormal still widens it.
    const double tiny = std::numeric_limits<double>::denorm_min();
    r = derived_range({tiny, tiny}, 0.5, 0.0, 1.0);
    EXPECT_EQ(r.lo, tiny - 0.5);
    EXPECT_EQ(r.hi, tiny + 0.5);
    r = derived_range({-1e-310}, 0.5, 0.0, 1.0);
    EXPECT_EQ(r.lo, -1e-310 - 1e-312);
    EXPECT_EQ(r.hi, -1e-310 + 1e-312);
}

// ---------------------------------------------------------------- counts

// Known records land in the expected bins of every spectrum and map.
TEST(SpectraFill, CountsInExpectedBins)
{
    TempDir dir;
    // Amplitude axis 0 .. 100 in 11 bins (spacing 10), position 1000 .. 1100.
    write_results("ab0.bin", {amp(10.0, 1000.0), amp(14.9, 1010.0), amp(15.0, 1010.0),
                              two(55.0, 1050.0, 40.0, 1080.0), amp(1e9, 1100.0)});
    write_results("ab1.bin", {amp(30.0, 1000.0), amp(30.0, 1020.0), amp(30.0, 1020.0),
                              amp(-5.0, 1050.0), two(100.0, 1100.0, 40.0, 1000.0)});
    std::string out;
    ASSERT_EQ(run({"ab", "-o", "out", "-n", "11", "-m", "11", "--amplitude", "0:100", "--position",
                   "1000:1100", "--dt", "-100:100"},
                  &out),
              0)
        << out;

    std::vector<double> a = column("out/amplitude.txt", 1);
    std::vector<double> b = column("out/amplitude.txt", 2);
    ASSERT_EQ(a.size(), 11u);
    // Channel A: 10 -> bin 1, 14.9 -> bin 1, 15.0 (half-way) -> bin 2,
    // 55 -> bin 6 (half-way up), 1e9 -> overflow in bin 10.
    std::vector<double> want_a = {0, 2, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    // Channel B: 30 x 3 -> bin 3, -5 -> k = 0 -> bin 0, 100 -> bin 10.
    std::vector<double> want_b = {1, 0, 0, 3, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(a, want_a);
    EXPECT_EQ(b, want_b);
    EXPECT_EQ(column("out/amplitude.txt", 0)[3], 30.0);

    // Time between pulses, only of the two-pulse channels: 1080 - 1050 = 30
    // in A (axis -100 .. 100, spacing 20: k = 130/20 + 0.5 = 7) and
    // 1000 - 1100 = -100 in B (bin 0).
    std::vector<double> dta = column("out/dt.txt", 1);
    std::vector<double> dtb = column("out/dt.txt", 2);
    EXPECT_EQ(dta, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(dtb, (std::vector<double>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    // Every event counts once per channel in the other spectra.
    for (char const* name : {"out/position.txt", "out/width.txt", "out/ssr.txt"}) {
        double sa = 0, sb = 0;
        for (double v : column(name, 1))
            sa += v;
        for (double v : column(name, 2))
            sb += v;
        EXPECT_EQ(sa, 5.0) << name;
        EXPECT_EQ(sb, 5.0) << name;
    }
    EXPECT_EQ(column("out/position.txt", 2)[2], 2.0);

    // Amplitude map: x = channel A, y = channel B; lines "x y count" with x
    // varying slowest, so cell (i, j) is line 11 i + j.
    std::vector<double> m = column("out/amplitude_map.txt", 2);
    ASSERT_EQ(m.size(), 121u);
    EXPECT_EQ(m[11 * 1 + 3], 2.0);  // (10, 30) and (14.9, 30)
    EXPECT_EQ(m[11 * 2 + 3], 1.0);  // (15, 30)
    EXPECT_EQ(m[11 * 6 + 0], 1.0);  // (55, -5)
    EXPECT_EQ(m[11 * 10 + 10], 1.0); // (1e9, 100)
    double total = 0;
    for (double v : m)
        total += v;
    EXPECT_EQ(total, 5.0);
    std::vector<double> pm = column("out/position_map.txt", 2);
    EXPECT_EQ(pm[11 * 1 + 2], 2.0); // (1010, 1020) twice
    EXPECT_EQ(pm[11 * 10 + 10], 1.0);

    // The PPM is renamed from the library's "<prefix>1.ppm".
    EXPECT_TRUE(file_exists("out/amplitude_map.ppm"));
    EXPECT_TRUE(file_exists("out/position_map.png"));
    EXPECT_FALSE(file_exists("out/amplitude_map1.ppm"));
    EXPECT_EQ(read_text("out/summary.txt").rfind("zorv_spectra: ab0.bin (channel A)", 0), 0u);
}

// Ranges from the data: the trimmed extremes of both channels are the
// centres of the end bins.
TEST(SpectraFill, RangesFromData)
{
    TempDir dir;
    write_results("ab0.bin", {amp(100.0), amp(300.0)});
    write_results("ab1.bin", {amp(200.0), amp(500.0)});
    ASSERT_EQ(run({"ab", "-o", "out", "-n", "5", "--trim", "0"}), 0);
    std::vector<double> x = column("out/amplitude.txt", 0);
    ASSERT_EQ(x.size(), 5u);
    EXPECT_EQ(x.front(), 100.0);
    EXPECT_EQ(x.back(), 500.0);
    // 100, 200, 300, 500 on centres 100, 200, 300, 400, 500.
    EXPECT_EQ(column("out/amplitude.txt", 1), (std::vector<double>{1, 0, 1, 0, 0}));
    EXPECT_EQ(column("out/amplitude.txt", 2), (std::vector<double>{0, 1, 0, 0, 1}));
}

// ---------------------------------------------------------------- lines

namespace {

// A Gaussian line of the given area on a histogram with unit bins.
void add_line(histogram1D* h, double centre, double sigma, int area, int column)
{
    for (int i = 0; i < area; ++i) {
        // Deterministic quantiles of the normal distribution via erf^-1 by
        // bisection: the line shape without random numbers.
        double p = (i + 0.5) / area, lo = -8, hi = 8;
        for (int k = 0; k < 60; ++k) {
            double mid = 0.5 * (lo + hi);
            (0.5 * (1 + std::erf(mid / std::sqrt(2.0))) < p ? lo : hi) = mid;
        }
        h->add(centre + sigma * 0.5 * (lo + hi), column);
    }
}

} // namespace

// Two lines on a flat continuum: found strongest first, at their centres,
// with the width of a Gaussian (2.3548 sigma).
TEST(SpectraLines, TwoLinesOnContinuum)
{
    histogram1D h(401, 1, 0.0, 400.0);
    for (int i = 0; i < 401; ++i)
        for (int k = 0; k < 3; ++k)
            h.add(i, 0);
    add_line(&h, 100.2, 4.0, 4000, 0);
    add_line(&h, 300.0, 6.0, 5000, 0);
    std::vector<amplitude_line> lines = strongest_lines(h, 0, 3);
    ASSERT_EQ(lines.size(), 2u);
    // 4000 / (4 sqrt(2 pi)) = 399 per bin against 5000 / (6 sqrt(2 pi)) = 332.
    EXPECT_NEAR(lines[0].position, 100.2, 0.1);
    EXPECT_NEAR(lines[1].position, 300.0, 0.1);
    EXPECT_GT(lines[0].counts, lines[1].counts);
    EXPECT_NEAR(lines[0].fwhm, 2.3548 * 4.0, 0.4);
    EXPECT_NEAR(lines[1].fwhm, 2.3548 * 6.0, 0.4);
}

// A bump on the flank of a line is no line of its own, nor is ripple.
TEST(SpectraLines, ShouldersAndContinuumAreNotLines)
{
    histogram1D h(101, 1, 0.0, 100.0);
    double shape[] = {10, 40, 100, 60, 70, 30, 8};
    for (int k = 0; k < 7; ++k)
        for (int c = 0; c < shape[k]; ++c)
            h.add(40 + k, 0);
    std::vector<amplitude_line> lines = strongest_lines(h, 0, 3);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].counts, 100.0);

    histogram1D flat(101, 1, 0.0, 100.0);
    for (int i = 0; i < 101; ++i)
        for (int c = 0; c < 4 + (i % 3); ++c)
            flat.add(i, 0);
    EXPECT_TRUE(strongest_lines(flat, 0, 3).empty());
}

// The noisy top of one line (maxima 2 bins apart with a dip between them)
// is one line; so is a broad line whose top spans more than 7 bins; a spike
// under 10 counts on a sparse spectrum is none.
TEST(SpectraLines, NoisyTopsBroadLinesAndSparseSpikes)
{
    histogram1D h(101, 1, 0.0, 100.0);
    double shape[] = {20, 60, 100, 45, 98, 50, 15};
    for (int k = 0; k < 7; ++k)
        for (int c = 0; c < shape[k]; ++c)
            h.add(40 + k, 0);
    std::vector<amplitude_line> lines = strongest_lines(h, 0, 3);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].counts, 100.0);

    histogram1D broad(101, 1, 0.0, 100.0);
    for (int i = 30; i <= 70; ++i)
        for (int c = 0; c < 100 - (i - 50) * (i - 50) / 5 - (i % 4 == 0 ? 6 : 0); ++c)
            broad.add(i, 0);
    ASSERT_EQ(strongest_lines(broad, 0, 3).size(), 1u);

    histogram1D sparse(101, 1, 0.0, 100.0);
    for (int i = 1; i < 100; ++i)
        for (int c = 0; c < (i == 50 ? 9 : i % 3); ++c)
            sparse.add(i, 0);
    EXPECT_TRUE(strongest_lines(sparse, 0, 3).empty());
    for (int c = 0; c < 2; ++c)
        sparse.add(50, 0);
    ASSERT_EQ(strongest_lines(sparse, 0, 3).size(), 1u);
}

// At most max_lines, and the end bins (overflow) are never lines.
TEST(SpectraLines, LimitAndEndBins)
{
    histogram1D h(101, 1, 0.0, 100.0);
    for (int c = 0; c < 500; ++c)
        h.add(-50.0, 0); // all below the axis: bin 0
    for (int p : {20, 40, 60, 80})
        for (int c = 0; c < 10 + p; ++c)
            h.add(p, 0);
    std::vector<amplitude_line> lines = strongest_lines(h, 0, 2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].counts, 90.0);
    EXPECT_EQ(lines[1].counts, 70.0);
}

// A line far out on the axis: its position is found without squaring it.
TEST(SpectraLines, LineNearTheLargestDouble)
{
    histogram1D h(401, 1, 0.0, 4e300);
    double const counts[] = {10, 30, 20};
    for (int k = 0; k < 3; ++k)
        for (int c = 0; c < counts[k]; ++c)
            h.add((99 + k) * 1e298, 0);
    std::vector<amplitude_line> lines = strongest_lines(h, 0, 1);
    ASSERT_EQ(lines.size(), 1u);
    // Parabola through (-1, 10), (0, 30), (1, 20) bins: vertex at +1/6 bin.
    EXPECT_NEAR(lines[0].position / 1e298, 100.0 + 1.0 / 6.0, 1e-9);
}

// ---------------------------------------------------------------- summary

TEST(SpectraSummary, CountsMeansAndSpreads)
{
    TempDir dir;
    write_results("ab0.bin", {amp(100.0, 1000.0), two(300.0, 1010.0, 50.0, 1210.0), amp(200.0, 1020.0)});
    write_results("ab1.bin", {two(10.0, 900.0, 20.0, 950.0), two(10.0, 900.0, 20.0, 1000.0), amp(10.0, 900.0)});
    result_pair data;
    ASSERT_EQ(read_result_pair("ab", &data), 0);
    spectra_options opt;
    opt.bins = 11;
    spectra_set s;
    fill_spectra(data, opt, &s);
    EXPECT_EQ(s.two_pulse[0], 1u);
    EXPECT_EQ(s.two_pulse[1], 2u);
    EXPECT_EQ(s.two_pulse_both, 1u);
    std::string t;
    ASSERT_EQ(summary_text(data, s, opt, &t), 0);
    EXPECT_NE(t.find("Events: 3\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Channels with two pulses: A 1, B 2, both in 1 events\n"), std::string::npos) << t;
    typedef std::vector<std::string> words;
    // Amplitude 1: A 100, 300, 200 -> mean 200, spread 100; B all 10 -> spread 0.
    EXPECT_EQ(row(t, "amplitude 1 "), (words{"200", "100", "10", "0"})) << t;
    EXPECT_EQ(row(t, "position 1 "), (words{"1010", "10", "900", "0"})) << t;
    // Second pulse only where there is one: A 1210 alone, B 950 and 1000.
    EXPECT_EQ(row(t, "position 2 * "), (words{"1210", "0", "975", "35.36"})) << t;
    EXPECT_EQ(row(t, "amplitude 2 * "), (words{"50", "0", "20", "0"})) << t;
    // A parameter held fixed has no spread at all, not a rounding error.
    EXPECT_EQ(row(t, "decay rate "), (words{"-0.0015", "0", "-0.0015", "0"})) << t;
    EXPECT_EQ(row(t, "position 2 - position 1 * "), (words{"200", "0", "75", "35.36"})) << t;
}

// Without two-pulse channels the second-pulse rows show dashes.
TEST(SpectraSummary, NoSecondPulses)
{
    TempDir dir;
    write_results("ab0.bin", {amp(100.0)});
    write_results("ab1.bin", {amp(200.0)});
    result_pair data;
    ASSERT_EQ(read_result_pair("ab", &data), 0);
    spectra_options opt;
    spectra_set s;
    fill_spectra(data, opt, &s);
    std::string t;
    ASSERT_EQ(summary_text(data, s, opt, &t), 0);
    EXPECT_EQ(row(t, "amplitude 2 * "), (std::vector<std::string>{"-", "-", "-", "-"})) << t;
    EXPECT_NE(t.find("A        none stands out"), std::string::npos) << t;
}

// Values near the largest double: mean and spread without overflow.
TEST(SpectraSummary, ExtremeButFiniteValues)
{
    TempDir dir;
    write_results("ab0.bin", {amp(1e308), amp(-1e308)});
    write_results("ab1.bin", {amp(1.0), amp(3.0)});
    result_pair data;
    ASSERT_EQ(read_result_pair("ab", &data), 0);
    spectra_options opt;
    opt.range[quantity_amplitude] = {true, -1.0, 1.0};
    spectra_set s;
    ASSERT_EQ(fill_spectra(data, opt, &s), 0);
    std::string t;
    ASSERT_EQ(summary_text(data, s, opt, &t), 0);
    EXPECT_EQ(row(t, "amplitude 1 "), (std::vector<std::string>{"0", "1.414e+308", "2", "1.414"})) << t;
}

// ---------------------------------------------------------------- command line

TEST(SpectraOptions, DefaultsAndValues)
{
    spectra_options opt;
    char const* argv[] = {"zorv_spectra", "run/ab"};
    ASSERT_EQ(parse_arguments(2, argv, &opt), 0);
    EXPECT_EQ(opt.base, "run/ab");
    EXPECT_EQ(opt.output_dir, "spectra");
    EXPECT_EQ(opt.bins, 1000);
    EXPECT_EQ(opt.map_bins, 200);
    EXPECT_EQ(opt.trim, 0.5);
    for (int q = 0; q < quantity_count; ++q)
        EXPECT_FALSE(opt.range[q].given);

    spectra_options o2;
    char const* argv2[] = {"zorv_spectra", "-o", "pics", "--bins=250", "-m", "50",
                           "--dt", "-200:300", "--trim=1.5", "--", "-ab"};
    ASSERT_EQ(parse_arguments(11, argv2, &o2), 0);
    EXPECT_EQ(o2.output_dir, "pics");
    EXPECT_EQ(o2.bins, 250);
    EXPECT_EQ(o2.map_bins, 50);
    EXPECT_EQ(o2.trim, 1.5);
    EXPECT_TRUE(o2.range[quantity_dt].given);
    EXPECT_EQ(o2.range[quantity_dt].lo, -200.0);
    EXPECT_EQ(o2.range[quantity_dt].hi, 300.0);
    EXPECT_EQ(o2.base, "-ab");
}

TEST(SpectraOptions, BadCommandLines)
{
    std::vector<std::vector<char const*>> bad = {
        {"zorv_spectra"},
        {"zorv_spectra", "ab", "cd"},
        {"zorv_spectra", "ab", "--bins", "2"},
        {"zorv_spectra", "ab", "--bins", "12x"},
        {"zorv_spectra", "ab", "-m"},
        {"zorv_spectra", "ab", "--amplitude", "5:5"},
        {"zorv_spectra", "ab", "--width", "1"},
        {"zorv_spectra", "ab", "--trim", "50"},
        {"zorv_spectra", "ab", "--colour"},
    };
    for (auto& argv : bad) {
        spectra_options opt;
        std::string out = capture_stdout(
            [&] { EXPECT_EQ(parse_arguments(static_cast<int>(argv.size()), argv.data(), &opt), 2); });
        EXPECT_EQ(out.rfind("Error: ", 0), 0u) << out;
    }
    spectra_options opt;
    char const* help[] = {"zorv_spectra", "--help"};
    std::string out = capture_stdout([&] { EXPECT_EQ(parse_arguments(2, help, &opt), 3); });
    EXPECT_EQ(out.rfind("Usage: zorv_spectra", 0), 0u);
}

// ---------------------------------------------------------------- program

// Bad input: a message, a non-zero status, and no output folder at all.
TEST(SpectraProgram, BadInputWritesNothing)
{
    TempDir dir;
    write_results("ab0.bin", {amp(1.0), amp(2.0)});
    write_results("ab1.bin", {amp(1.0)});
    CommandResult r = run_command(std::string(ZORV_SPECTRA_EXE) + " -o out ab");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output.rfind("Error: Result files differ in length", 0), 0u) << r.output;
    EXPECT_FALSE(file_exists("out"));

    r = run_command(std::string(ZORV_SPECTRA_EXE) + " -o out missing");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output.rfind("Error: Cannot open result file 'missing0.bin'", 0), 0u) << r.output;

    r = run_command(std::string(ZORV_SPECTRA_EXE) + " --bins 1 ab");
    EXPECT_EQ(r.status, 2);
    r = run_command(std::string(ZORV_SPECTRA_EXE) + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("-o, --output DIR"), std::string::npos);
}

// What cannot be represented is named, with a non-zero status and no output:
// an axis too wide for its bins, a difference of positions or a spread
// beyond the largest double.
TEST(SpectraProgram, ExtremeValuesThatCannotBeShown)
{
    TempDir dir;
    rec far_apart = two(1.0, -1e308, 5.0, 1e308);
    rec tail_up = amp(1.0), tail_down = amp(1.0);
    tail_up.tail = 1.7e308;
    tail_down.tail = -1.7e308;
    struct Case {
        std::vector<rec> a;
        std::string args;
        int status;
        char const* message;
    };
    std::vector<Case> const cases = {
        {{amp(1e308), amp(-1e308)}, "", 1,
         "Error: The amplitude axis from -9.85e+307 to 9.85e+307 is too wide for 1000 bins; "
         "give a narrower range with --amplitude LO:HI\n"},
        {{amp(1.0), amp(2.0)}, "--amplitude=-1e308:1e308", 2,
         "Error: The amplitude axis from -1e+308 to 1e+308 is too wide for 1000 bins; "
         "give a narrower range with --amplitude LO:HI\n"},
        {{amp(1.0), amp(2.0)}, "--ssr 0:1e306 --bins 1000", 2,
         "Error: The ssr axis from 0 to 1e+306 is too wide for 1000 bins; "
         "give a narrower range with --ssr LO:HI\n"},
        {{amp(1.0), far_apart}, "", 1,
         "Error: Result file 'ab0.bin', record 1 (counted from 0): position 2 - position 1 is "
         "beyond the largest double (1e+308 - -1e+308)\n"},
        {{tail_down, tail_up}, "", 1,
         "Error: The mean or spread of tail amplitude in channel A is beyond the largest double\n"},
    };
    for (Case const& c : cases) {
        write_results("ab0.bin", c.a);
        write_results("ab1.bin", std::vector<rec>(c.a.size(), amp(1.0)));
        CommandResult r = run_command(std::string(ZORV_SPECTRA_EXE) + " -o out " + c.args + " ab");
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.output, c.message) << c.args;
        EXPECT_FALSE(file_exists("out"));
    }
}

// Values that are all the same subnormal number get an axis around them.
TEST(SpectraProgram, SubnormalValuesGetAnAxis)
{
    TempDir dir;
    const double tiny = std::numeric_limits<double>::denorm_min();
    rec r0 = amp(tiny, tiny);
    r0.ssr = r0.decay = r0.baseline = r0.width = r0.tail = tiny;
    write_results("ab0.bin", {r0, r0});
    write_results("ab1.bin", {r0, r0});
    CommandResult r = run_command(std::string(ZORV_SPECTRA_EXE) + " -o out ab");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("Error"), std::string::npos) << r.output;
    EXPECT_TRUE(file_exists("out/summary.txt"));
}

// Under a memory limit a large pair ends with an "Error: " line, never an
// abort: refused before reading when the records do not fit, or later when
// the spectra do not. A device such as /dev/zero is refused, not read for
// ever. (AddressSanitizer reserves far more address space than any limit.)
TEST(SpectraProgram, LargeInputsUnderAMemoryLimit)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "no address-space limit under AddressSanitizer";
#endif
    TempDir dir;
    long const events = 1000000;  // 72 MB per file, sparse: all values 0
    for (char const* name : {"ab0.bin", "ab1.bin"}) {
        write_text(name, "");
        std::filesystem::resize_file(name, events * kResultBytes);
    }
    std::string const command = " " + std::string(ZORV_SPECTRA_EXE) + " -o out ab";
    std::string const records_refused = "Error: Not enough memory to hold the 1000000 records of "
                                        "'ab0.bin' and 'ab1.bin' (144000000 bytes)\n";
    // The records take 144 MB, what follows them some 25 MB: steps of 20 MB
    // meet each outcome at least once.
    int seen[3] = {0, 0, 0};  // refused before reading, refused later, done
    for (int limit_mb = 60; limit_mb <= 240; limit_mb += 20) {
        std::string limit = "ulimit -v " + std::to_string(limit_mb * 1000) + ";";
        CommandResult r = run_command(limit + command);
        if (r.status == 1 && r.output == records_refused)
            ++seen[0];
        else if (r.status == 1 && r.output == "Error: Not enough memory\n")
            ++seen[1];
        else if (r.status == 0 && r.output.find("Events: 1000000\n") != std::string::npos)
            ++seen[2];
        else
            ADD_FAILURE() << limit << " status " << r.status << ": " << r.output;
    }
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
    EXPECT_GT(seen[2], 0);
    ASSERT_EQ(std::remove("ab1.bin"), 0);
    ASSERT_EQ(symlink("/dev/zero", "ab1.bin"), 0);
    CommandResult r = run_command("ulimit -v 200000;" + command);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Error: Cannot read result file 'ab1.bin': it is not a regular file\n");
}

// A run that cannot put its files in place leaves an earlier run's outputs
// alone and no temporary folder behind.
TEST(SpectraProgram, FailedWriteLeavesOldOutputs)
{
    TempDir dir;
    write_results("ab0.bin", {amp(1.0), amp(2.0)});
    write_results("ab1.bin", {amp(1.0), amp(3.0)});
    ASSERT_EQ(run({"ab", "-o", "out"}), 0);
    std::string before = read_text("out/amplitude.txt");
    // A folder where the summary should go: the last file cannot be written.
    ASSERT_EQ(std::remove("out/summary.txt"), 0);
    ASSERT_EQ(run_command("mkdir out/summary.txt").status, 0);
    write_results("ab0.bin", {amp(5.0), amp(6.0)});
    std::string out;
    EXPECT_EQ(run({"ab", "-o", "out"}, &out), 1);
    EXPECT_EQ(out.find("Error: 'out/summary.txt' is a folder"), out.find("Error: ")) << out;
    EXPECT_EQ(read_text("out/amplitude.txt"), before);
    EXPECT_EQ(run_command("ls -A out | grep -c zorv_spectra").output, "0\n");

    // An output "folder" that is a file.
    write_text("plain", "x");
    EXPECT_EQ(run({"ab", "-o", "plain"}, &out), 1);
    EXPECT_EQ(out.rfind("Error: Cannot create output folder 'plain'", 0), 0u) << out;
}

// ---------------------------------------------------------------- --max-rms

// An event goes when either channel's RMS residual sqrt(ssr / 2500) exceeds
// the limit (one exactly at it stays); the summary says how many, and no
// spectrum or map counts what was left out. Event i: amplitude 100 (i + 1),
// bin i of the axis below, in both channels.
TEST(SpectraMaxRms, LeavesOutEventsFittedWorseInEitherChannel)
{
    TempDir dir;
    double const rms[5][2] = {{40, 40}, {50, 50}, {60, 40}, {40, 60}, {70, 70}};
    std::vector<rec> ab[2];
    for (int i = 0; i < 5; ++i)
        for (int c = 0; c < 2; ++c) {
            ab[c].push_back(amp(100.0 * (i + 1)));
            ab[c].back().ssr = 2500.0 * rms[i][c] * rms[i][c];
        }
    write_results("ab0.bin", ab[0]);
    write_results("ab1.bin", ab[1]);
    std::vector<std::pair<char const*, std::vector<double>>> const cases = {
        {"100", {1, 1, 1, 1, 1}},
        {"65", {1, 1, 1, 1, 0}},
        {"50", {1, 1, 0, 0, 0}},
        {"49.99", {1, 0, 0, 0, 0}}};
    for (auto const& c : cases) {
        ASSERT_EQ(
            run({"ab", "-o", "out", "-n", "5", "--amplitude", "100:500", "--max-rms", c.first}), 0);
        int kept =
            static_cast<int>(c.second[0] + c.second[1] + c.second[2] + c.second[3] + c.second[4]);
        std::string said = "Events: " + std::to_string(kept) + "\nLeft out " +
                           std::to_string(5 - kept) + " of 5 events with an RMS residual above " +
                           c.first + " ADC counts in either channel (--max-rms)\n";
        EXPECT_NE(read_text("out/summary.txt").find(said), std::string::npos)
            << read_text("out/summary.txt");
        EXPECT_EQ(column("out/amplitude.txt", 1), c.second) << c.first;
        EXPECT_EQ(column("out/amplitude.txt", 2), c.second) << c.first;
        std::vector<double> map = column("out/amplitude_map.txt", 2);
        EXPECT_EQ(std::accumulate(map.begin(), map.end(), 0.0), kept) << c.first;
    }
    ASSERT_EQ(run({"ab", "-o", "all"}), 0);
    EXPECT_EQ(read_text("all/summary.txt").find("Left out"), std::string::npos);
    std::string out;
    EXPECT_EQ(run({"ab", "-o", "none", "--max-rms=39"}, &out), 1);
    EXPECT_EQ(out,
              "Error: All 5 events have an RMS residual above 39 ADC counts in either channel; "
              "--max-rms leaves nothing to show\n");
    EXPECT_FALSE(file_exists("none"));
}

// A limit that is not a positive finite number, or none: one line naming the
// option, and the usage-error status.
TEST(SpectraMaxRms, BadLimits)
{
    for (char const* bad :
         std::vector<char const*>{"0", "-3", "nan", "inf", "1e400", "12x", "", nullptr}) {
        std::vector<char const*> argv = {"zorv_spectra", "ab", "--max-rms", bad};
        spectra_options opt;
        std::string out =
            capture_stdout([&] { EXPECT_EQ(parse_arguments(bad ? 4 : 3, argv.data(), &opt), 2); });
        EXPECT_EQ(out, bad ? "Error: --max-rms must be a positive number of ADC counts, not '" +
                                 std::string(bad) + "'; see zorv_spectra --help\n"
                           : "Error: Missing RMS residual (ADC counts) after '--max-rms'; see "
                             "zorv_spectra --help\n");
    }
}
