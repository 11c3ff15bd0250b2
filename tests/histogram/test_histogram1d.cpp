// One-dimensional histogram of the histogram library: bin rule, table
// output, recalibration, half-maximum width, smoothing and its kernel.
#include "histogram/histogram1d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// Index of the single non-zero bin of column 0, or -1.
int only_bin(histogram1D const& h, int column = 0)
{
    int found = -1;
    for (int i = 0; i < h.bins(); ++i) {
        if (h.count(i, column) != 0.0) {
            if (found >= 0)
                return -2;
            found = i;
        }
    }
    return found;
}

double column_sum(histogram1D const& h, int column)
{
    double s = 0.0;
    for (int i = 0; i < h.bins(); ++i)
        s += h.count(i, column);
    return s;
}

double flat(int, int) { return 1.0; }
double ramp(int i, int) { return i + 1.0; }          // 1, 2, 3, ...
double mexican(int i, int) { return i == 1 ? 4.0 : -1.0; } // -1, 4, -1
double zero_sum(int i, int) { return i - 1.0; }       // -1, 0, 1

// --- Construction -----------------------------------------------------------

TEST(Histogram1D, StartsEmpty)
{
    histogram1D h(5, 3, 0.0, 4.0);
    EXPECT_EQ(h.bins(), 5);
    EXPECT_EQ(h.columns(), 3);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(column_sum(h, c), 0.0);
}

// --- Bin rule ---------------------------------------------------------------

// With centres 0 .. 249 (step 1), 3.5 lies half-way between bins 3 and 4 and
// goes up; a hair below stays in bin 3.
TEST(Histogram1D, HalfWayGoesUp)
{
    histogram1D h(250, 1, 0.0, 249.0);
    h.add(3.5, 0);
    EXPECT_EQ(only_bin(h), 4);
    h.clearData();
    h.add(3.4999999, 0);
    EXPECT_EQ(only_bin(h), 3);
    h.clearData();
    h.add(4.4999999, 0);
    EXPECT_EQ(only_bin(h), 4);
}

// Centres -8 .. 8 with 1,601 bins (step 0.01): [0, 1) maps to bins 800 .. 900.
TEST(Histogram1D, GeneratorAxisUnitInterval)
{
    histogram1D h(1601, 1, -8.0, 8.0);
    h.add(0.0, 0);
    EXPECT_EQ(only_bin(h), 800);
    h.clearData();
    h.add(0.999999, 0);
    EXPECT_EQ(only_bin(h), 900);
    h.clearData();
    h.add(0.0049, 0);
    EXPECT_EQ(only_bin(h), 800);
    h.clearData();
    h.add(0.0051, 0);
    EXPECT_EQ(only_bin(h), 801);
}

// Values off the axis land in the end bins, however far off.
TEST(Histogram1D, OffAxisInEndBins)
{
    histogram1D h(10, 1, 0.0, 9.0);
    h.add(-0.4, 0);
    h.add(-0.6, 0);
    h.add(-1e300, 0);
    h.add(-INFINITY, 0);
    EXPECT_EQ(h.count(0, 0), 4.0);
    h.add(9.4, 0);
    h.add(9.6, 0);
    h.add(1e300, 0);
    h.add(INFINITY, 0);
    EXPECT_EQ(h.count(9, 0), 4.0);
    EXPECT_EQ(column_sum(h, 0), 8.0);
}

// A NaN has no nearest bin; it is kept in bin 0 rather than dropped.
TEST(Histogram1D, NanCountedInBinZero)
{
    histogram1D h(10, 1, 0.0, 9.0);
    h.add(NAN, 0);
    EXPECT_EQ(h.count(0, 0), 1.0);
    EXPECT_EQ(column_sum(h, 0), 1.0);
}

// Columns are independent.
TEST(Histogram1D, ColumnsIndependent)
{
    histogram1D h(4, 2, 0.0, 3.0);
    h.add(1.0, 0);
    h.add(2.0, 1);
    h.add(2.0, 1);
    EXPECT_EQ(h.count(1, 0), 1.0);
    EXPECT_EQ(h.count(2, 0), 0.0);
    EXPECT_EQ(h.count(1, 1), 0.0);
    EXPECT_EQ(h.count(2, 1), 2.0);
}

// A column off the array is stopped by the checked access.
TEST(Histogram1DDeathTest, BadColumnAsserts)
{
    histogram1D h(4, 2, 0.0, 3.0);
    EXPECT_DEATH(h.add(1.0, 2), "Checked access failed: ");
    EXPECT_DEATH(h.add(1.0, -1), "Checked access failed: ");
}

// --- clearData ----------------------------------------------------------------

TEST(Histogram1D, ClearData)
{
    histogram1D h(4, 2, 0.0, 3.0);
    h.add(1.0, 0);
    h.add(3.0, 1);
    h.clearData();
    EXPECT_EQ(column_sum(h, 0), 0.0);
    EXPECT_EQ(column_sum(h, 1), 0.0);
    EXPECT_EQ(h.lower(), 0.0);
    EXPECT_EQ(h.upper(), 3.0);
}

// --- write ------------------------------------------------------------------

// n lines of m + 1 numbers: centre with "%f", counts with " %f".
TEST(Histogram1D, WriteFormat)
{
    TempDir dir;
    histogram1D h(3, 2, -1.0, 1.0);
    h.add(-1.0, 0);
    h.add(0.2, 1);
    h.add(0.3, 1);
    h.add(7.0, 0);
    std::string path = dir.file("h.txt");
    EXPECT_EQ(h.write(path.c_str()), 0);
    EXPECT_EQ(read_text(path),
              "-1.000000 1.000000 0.000000\n"
              "0.000000 0.000000 2.000000\n"
              "1.000000 1.000000 0.000000\n");
}

// The generator's test histogram starts with "-8.000000 0.000000 0.000000".
TEST(Histogram1D, WriteGeneratorShape)
{
    TempDir dir;
    histogram1D h(1601, 2, -8.0, 8.0);
    h.add(0.5, 0);
    std::string path = dir.file("g.txt");
    ASSERT_EQ(h.write(path.c_str()), 0);
    std::ifstream in(path);
    std::string line;
    int lines = 0;
    std::string first, middle;
    while (std::getline(in, line)) {
        if (lines == 0)
            first = line;
        if (lines == 850)
            middle = line;
        ++lines;
    }
    EXPECT_EQ(lines, 1601);
    EXPECT_EQ(first, "-8.000000 0.000000 0.000000");
    EXPECT_EQ(middle, "0.500000 1.000000 0.000000");
}

// A file that cannot be created: an "Error: " line naming it, status 1.
TEST(Histogram1D, WriteCannotOpen)
{
    TempDir dir;
    histogram1D h(3, 1, 0.0, 2.0);
    std::string path = dir.file("sub");
    fs::create_directory(path); // a directory cannot be opened for writing
    ::testing::internal::CaptureStdout();
    int status = h.write(path.c_str());
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "Error: Cannot open file '" + path + "' for writing\n");
}

// A full disk: the write fails at the latest when the buffer is flushed.
TEST(Histogram1D, WriteDiskFull)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    histogram1D h(3, 1, 0.0, 2.0);
    ::testing::internal::CaptureStdout();
    int status = h.write("/dev/full");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "Error: Cannot write file '/dev/full'\n");
}

// --- calibrate ----------------------------------------------------------------

// a = 2, b = 1 maps -8 .. 8 to -15 .. 17; counts stay in their bins.
TEST(Histogram1D, Calibrate)
{
    TempDir dir;
    histogram1D h(5, 1, -8.0, 8.0);
    h.add(-4.0, 0);
    h.calibrate(2.0, 1.0);
    EXPECT_EQ(h.lower(), -15.0);
    EXPECT_EQ(h.upper(), 17.0);
    EXPECT_EQ(only_bin(h), 1);
    std::string path = dir.file("c.txt");
    ASSERT_EQ(h.write(path.c_str()), 0);
    EXPECT_EQ(read_text(path),
              "-15.000000 0.000000\n"
              "-7.000000 1.000000\n"
              "1.000000 0.000000\n"
              "9.000000 0.000000\n"
              "17.000000 0.000000\n");
    // The new axis bins new values: 9.0 is the centre of bin 3 now.
    h.add(9.0, 0);
    EXPECT_EQ(h.count(3, 0), 1.0);
}

// --- fwhm -------------------------------------------------------------------

// A single positive bin p: crossings at p - 0.5 and p + 0.5, one spacing.
TEST(Histogram1D, FwhmSingleBin)
{
    histogram1D h(11, 1, 0.0, 5.0); // spacing 0.5
    for (int k = 0; k < 7; ++k)
        h.add(2.5, 0); // bin 5
    EXPECT_DOUBLE_EQ(h.fwhm(2.5, 0), 0.5);
    // Started one or two bins off, the search still finds the peak.
    EXPECT_DOUBLE_EQ(h.fwhm(2.0, 0), 0.5); // c = 4: c + 1 is the peak
    EXPECT_DOUBLE_EQ(h.fwhm(3.5, 0), 0.5); // c = 7: c - 2 is the peak
}

// A sampled Gaussian of sigma 6 bins: the width is 2 sqrt(2 ln 2) sigma up to
// the error of the linear interpolation (well below 1 %).
TEST(Histogram1D, FwhmGaussian)
{
    const double sigma = 6.0, mu = 100.0;
    histogram1D h(201, 1, 0.0, 100.0); // spacing 0.5
    for (int i = 0; i < 201; ++i) {
        int n = static_cast<int>(std::lround(10000.0 * std::exp(-0.5 * (i - mu) * (i - mu) / (sigma * sigma))));
        for (int k = 0; k < n; ++k)
            h.add(0.5 * i, 0);
    }
    double expected = 2.0 * std::sqrt(2.0 * std::log(2.0)) * sigma * 0.5;
    EXPECT_NEAR(h.fwhm(50.0, 0), expected, 0.01 * expected);
    // Searching from 1 bin to the left of the maximum still finds it.
    EXPECT_NEAR(h.fwhm(49.5, 0), expected, 0.01 * expected);
}

// Off the axis: 0.0. Nothing around x: 0 / 0, NaN.
TEST(Histogram1D, FwhmOffAxisAndEmpty)
{
    histogram1D h(11, 1, 0.0, 10.0);
    h.add(5.0, 0);
    EXPECT_EQ(h.fwhm(-0.1, 0), 0.0);
    EXPECT_EQ(h.fwhm(10.1, 0), 0.0);
    EXPECT_EQ(h.fwhm(NAN, 0), 0.0);
    histogram1D e(11, 1, 0.0, 10.0);
    EXPECT_TRUE(std::isnan(e.fwhm(5.0, 0)));
}

// Widths of hand-made profiles: counts per bin, bin spacing, the bin where
// the search starts, and the width in bins.
TEST(Histogram1D, FwhmProfiles)
{
    struct Case {
        char const* what;
        std::vector<int> counts;
        double spacing;
        int start;
        double width;
    };
    Case const cases[] = {
        // Half maximum 2 met exactly at bins 4 and 6.
        {"triangle 2 4 2", {0, 0, 0, 0, 2, 4, 2, 0, 0, 0, 0}, 1.0, 5, 2.0},
        // h = 4: left = ((8 - 4) 4 + (4 - 3) 5) / (8 - 3) = 4.2,
        // right = ((8 - 4) 6 + (4 - 3) 5) / 5 = 5.8.
        {"interpolated 1 3 8 3 1", {0, 0, 0, 1, 3, 8, 3, 1, 0, 0, 0}, 2.0, 5, 1.6},
        // Start at 10: ties keep the start bin, and c - 2 (bin 8) wins over
        // an equal c + 1. An isolated bin, width 1; had the search settled
        // on 11, the crossings would be 10 and 11.5.
        {"peak search order", {0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 2, 4, 0, 0}, 1.0, 10, 1.0},
        // A peak in the first bin: the downward scan stops at bin 0, still
        // above half maximum, which is then the left crossing;
        // right = ((10 - 5) 1 + (5 - 4) 0) / (10 - 4) = 5/6.
        {"peak in the first bin", {10, 4, 0, 0, 0, 0, 0, 0, 0, 0}, 2.0, 0, 5.0 / 6.0},
        {"peak in the first bin, searched from bin 1", {10, 4, 0, 0, 0, 0, 0, 0, 0, 0}, 2.0, 1,
         5.0 / 6.0},
        {"peak in the last bin", {0, 0, 0, 0, 0, 0, 0, 0, 4, 10}, 1.0, 9, 5.0 / 6.0},
        // Both scans stop at the ends: the width is the whole axis.
        {"peak wider than the axis", {6, 8, 9, 8, 6}, 1.0, 2, 4.0},
    };
    for (Case const& c : cases) {
        int n = static_cast<int>(c.counts.size());
        histogram1D h(n, 1, 0.0, c.spacing * (n - 1));
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < c.counts[i]; ++k)
                h.add(c.spacing * i, 0);
        EXPECT_NEAR(h.fwhm(c.spacing * c.start, 0), c.width * c.spacing, 1e-12) << c.what;
    }
}

// An empty column at an end has no neighbour for one crossing: NaN.
TEST(Histogram1D, FwhmEmptyAtEnds)
{
    histogram1D h(5, 1, 0.0, 4.0);
    EXPECT_TRUE(std::isnan(h.fwhm(0.0, 0)));
    EXPECT_TRUE(std::isnan(h.fwhm(4.0, 0)));
}

// --- HistogramWindow ----------------------------------------------------------

// Normalised by the plain signed sum.
TEST(HistogramWindow, PlainSumNormalisation)
{
    HistogramWindow w(ramp, 3);  // 1, 2, 3 over 6
    ASSERT_EQ(w.length, 3);
    EXPECT_DOUBLE_EQ(w.coefficients[0], 1.0 / 6.0);
    EXPECT_DOUBLE_EQ(w.coefficients[1], 2.0 / 6.0);
    EXPECT_DOUBLE_EQ(w.coefficients[2], 3.0 / 6.0);

    HistogramWindow m(mexican, 3);  // -1, 4, -1 over 2, not over 6
    EXPECT_DOUBLE_EQ(m.coefficients[0], -0.5);
    EXPECT_DOUBLE_EQ(m.coefficients[1], 2.0);
    EXPECT_DOUBLE_EQ(m.coefficients[2], -0.5);
}

// A kernel summing to 0 gives infinite or NaN coefficients.
TEST(HistogramWindow, ZeroSum)
{
    HistogramWindow w(zero_sum, 3);
    EXPECT_TRUE(std::isinf(w.coefficients[0]));
    EXPECT_TRUE(std::isnan(w.coefficients[1]));
    EXPECT_TRUE(std::isinf(w.coefficients[2]));
}

// Copies share the coefficient array.
TEST(HistogramWindow, CopiesShare)
{
    HistogramWindow w(flat, 5);
    HistogramWindow v = w;
    EXPECT_EQ(v.coefficients, w.coefficients);
    EXPECT_EQ(v.length, 5);
}

// --- smooth -----------------------------------------------------------------

// Counts t = 0, 3, 6, 12, 30 at bins 0..4 with the kernel 1, 2, 3 (over 6):
// the end bins 0 and 4 do not contribute, bin 0 ends at 0, and the taps that
// fall inside 1 .. 3 are renormalised.
//   bin 1: taps at j = 1 (w1), 2 (w2):          (2*3 + 3*6) / 5 = 24/5
//   bin 2: j = 1 (w0), 2 (w1), 3 (w2):   (1*3 + 2*6 + 3*12) / 6 = 51/6
//   bin 3: j = 2 (w0), 3 (w1):                  (1*6 + 2*12) / 3 = 10
//   bin 4: j = 3 (w0):                                          12
TEST(Histogram1D, SmoothAsymmetricKernel)
{
    histogram1D h(5, 2, 0.0, 4.0);
    int t[5] = {0, 3, 6, 12, 30};
    for (int i = 0; i < 5; ++i)
        for (int k = 0; k < t[i]; ++k) {
            h.add(i, 0);
            h.add(i, 1);
        }
    h.smooth(HistogramWindow(ramp, 3));
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(h.count(0, c), 0.0);
        EXPECT_NEAR(h.count(1, c), 24.0 / 5.0, 1e-12);
        EXPECT_NEAR(h.count(2, c), 51.0 / 6.0, 1e-12);
        EXPECT_NEAR(h.count(3, c), 10.0, 1e-12);
        EXPECT_NEAR(h.count(4, c), 12.0, 1e-12);
    }
}

// A length-1 kernel keeps the interior bins as they are; bin n - 1 has no tap
// inside 1 .. n - 2, so it becomes 0 / 0.
TEST(Histogram1D, SmoothIdentityKernel)
{
    histogram1D h(4, 1, 0.0, 3.0);
    h.add(0.0, 0);
    h.add(1.0, 0);
    h.add(2.0, 0);
    h.add(2.0, 0);
    h.add(3.0, 0);
    h.smooth(HistogramWindow(flat, 1));
    EXPECT_EQ(h.count(0, 0), 0.0);
    EXPECT_EQ(h.count(1, 0), 1.0);
    EXPECT_EQ(h.count(2, 0), 2.0);
    EXPECT_TRUE(std::isnan(h.count(3, 0)));
}

// One bin: the column ends at 0.
TEST(Histogram1D, SmoothOneBin)
{
    histogram1D h(1, 2, 0.0, 1.0);
    h.add(0.0, 0);
    h.add(0.0, 1);
    h.smooth(HistogramWindow(flat, 1));
    EXPECT_EQ(h.count(0, 0), 0.0);
    EXPECT_EQ(h.count(0, 1), 0.0);
}

// Two bins: bin 0 becomes 0, bin 1 gets 0 / 0 since no tap falls inside.
TEST(Histogram1D, SmoothTwoBins)
{
    histogram1D h(2, 1, 0.0, 1.0);
    h.add(0.0, 0);
    h.add(1.0, 0);
    h.smooth(HistogramWindow(flat, 1));
    EXPECT_EQ(h.count(0, 0), 0.0);
    EXPECT_TRUE(std::isnan(h.count(1, 0)));
}

// A kernel longer than the axis is refused with a message; equal is accepted.
TEST(Histogram1D, SmoothKernelTooLong)
{
    histogram1D h(3, 1, 0.0, 2.0);
    h.add(1.0, 0);
    ::testing::internal::CaptureStdout();
    h.smooth(HistogramWindow(flat, 5));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Data length must be larger than window length!\n");
    EXPECT_EQ(h.count(1, 0), 1.0);

    ::testing::internal::CaptureStdout();
    h.smooth(HistogramWindow(flat, 3));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(h.count(1, 0), 1.0); // single interior bin: its own average
    EXPECT_EQ(h.count(0, 0), 0.0);
}

// An even kernel has no centre tap: refused with a message, no change.
TEST(Histogram1D, SmoothEvenKernelRefused)
{
    histogram1D h(10, 1, 0.0, 9.0);
    h.add(0.0, 0);
    h.add(4.0, 0);
    ::testing::internal::CaptureStdout();
    h.smooth(HistogramWindow(flat, 4));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Window length must be a positive odd number!\n");
    EXPECT_EQ(h.count(0, 0), 1.0);
    EXPECT_EQ(h.count(4, 0), 1.0);

    ::testing::internal::CaptureStdout();
    h.smooth(HistogramWindow(flat, 0));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Window length must be a positive odd number!\n");
    EXPECT_EQ(h.count(0, 0), 1.0);
}

// Smoothing a flat interior with a flat kernel keeps it flat.
TEST(Histogram1D, SmoothFlatStaysFlat)
{
    histogram1D h(9, 1, 0.0, 8.0);
    for (int i = 0; i < 9; ++i)
        for (int k = 0; k < 5; ++k)
            h.add(i, 0);
    h.smooth(HistogramWindow(flat, 5));
    EXPECT_EQ(h.count(0, 0), 0.0);
    for (int i = 1; i < 9; ++i)
        EXPECT_NEAR(h.count(i, 0), 5.0, 1e-12) << i;
}

} // namespace
