// Two-dimensional histogram: binning, the grid table, cuts through single
// bins and bands, normalisation, and the width of band profiles.
#include "histogram/histogram2d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// Numbers of each line of a file.
std::vector<std::vector<double>> table_of(std::string const& path)
{
    std::vector<std::vector<double>> t;
    for (auto const& line : read_lines(path)) {
        std::istringstream s(line);
        std::vector<double> row;
        std::string word;
        while (s >> word)
            row.push_back(std::strtod(word.c_str(), nullptr));
        t.push_back(row);
    }
    return t;
}

void add_n(histogram2D& h, double x, double y, int set, int n)
{
    for (int k = 0; k < n; ++k)
        h.add(x, y, set);
}

double total(histogram2D const& h, int set)
{
    double s = 0.0;
    for (int i = 0; i < h.xBins(); ++i)
        for (int j = 0; j < h.yBins(); ++j)
            s += h.count(i, j, set);
    return s;
}

// --- Binning ----------------------------------------------------------------

// Centres x 0, 1, 2 and y 0 .. 3; points far off the grid land in the
// corners and edges, half-way points go up, a NaN coordinate goes to bin 0.
TEST(Histogram2D, CornersAndEdges)
{
    histogram2D h(3, 4, 1, 0.0, 2.0, 0.0, 3.0);
    h.add(-100.0, -100.0, 0);
    EXPECT_EQ(h.count(0, 0, 0), 1.0);
    h.add(100.0, 100.0, 0);
    EXPECT_EQ(h.count(2, 3, 0), 1.0);
    h.add(-1e300, 1e300, 0);
    EXPECT_EQ(h.count(0, 3, 0), 1.0);
    h.add(INFINITY, -INFINITY, 0);
    EXPECT_EQ(h.count(2, 0, 0), 1.0);
    h.add(1.0, 50.0, 0);
    EXPECT_EQ(h.count(1, 3, 0), 1.0);
    h.add(-3.0, 1.2, 0);
    EXPECT_EQ(h.count(0, 1, 0), 1.0);
    h.add(0.5, 1.5, 0);
    EXPECT_EQ(h.count(1, 2, 0), 1.0);
    h.add(1.49, 2.49, 0);
    EXPECT_EQ(h.count(1, 2, 0), 2.0);
    h.add(NAN, 3.0, 0);
    EXPECT_EQ(h.count(0, 3, 0), 2.0);
    EXPECT_EQ(total(h, 0), 9.0);
}

// Sets are independent; a set off the array is stopped by checked access.
TEST(Histogram2DDeathTest, Sets)
{
    histogram2D h(3, 3, 2, 0.0, 2.0, 0.0, 2.0);
    h.add(1.0, 1.0, 1);
    EXPECT_EQ(h.count(1, 1, 0), 0.0);
    EXPECT_EQ(h.count(1, 1, 1), 1.0);
    EXPECT_DEATH(h.add(1.0, 1.0, 2), "Checked access failed: ");
    TempDir dir;
    std::string path = dir.file("cut.txt");
    EXPECT_DEATH(h.writeConstXCut(path.c_str(), 3, false), "Checked access failed: ");
    EXPECT_DEATH(h.fwhmConstXCutWide(1, 1.0, 0, 2), "Checked access failed: ");
}

// --- writeText ----------------------------------------------------------------

// 3 x 2 grid with 2 sets: 6 lines of 4 numbers, x slowest.
TEST(Histogram2D, WriteTextOrder)
{
    TempDir dir;
    histogram2D h(3, 2, 2, 0.0, 1.0, 10.0, 20.0);
    h.add(0.0, 10.0, 0);
    add_n(h, 0.5, 20.0, 1, 2);
    add_n(h, 1.0, 10.0, 0, 3);
    std::string path = dir.file("grid.txt");
    ASSERT_EQ(h.writeText(path.c_str()), 0);
    EXPECT_EQ(read_text(path),
              "0.000000 10.000000 1.000000 0.000000\n"
              "0.000000 20.000000 0.000000 0.000000\n"
              "0.500000 10.000000 0.000000 0.000000\n"
              "0.500000 20.000000 0.000000 2.000000\n"
              "1.000000 10.000000 3.000000 0.000000\n"
              "1.000000 20.000000 0.000000 0.000000\n");
}

// --- Single-bin cuts --------------------------------------------------------

// Raw cuts: a cut along y has lines beginning with a blank, one along x not.
TEST(Histogram2D, CutFormats)
{
    TempDir dir;
    histogram2D h(3, 3, 2, 0.0, 2.0, -1.0, 1.0);
    add_n(h, 1.0, -1.0, 0, 1);
    add_n(h, 1.0, 0.0, 0, 2);
    add_n(h, 1.0, 1.0, 1, 4);
    add_n(h, 2.0, 0.0, 1, 5);
    std::string xc = dir.file("xcut.txt");
    std::string yc = dir.file("ycut.txt");
    ASSERT_EQ(h.writeConstXCut(xc.c_str(), 1, false), 0);
    ASSERT_EQ(h.writeConstYCut(yc.c_str(), 1, false), 0);
    EXPECT_EQ(read_text(xc),
              " -1.000000 1.000000 0.000000\n"
              " 0.000000 2.000000 0.000000\n"
              " 1.000000 0.000000 4.000000\n");
    EXPECT_EQ(read_text(yc),
              "0.000000 0.000000 0.000000\n"
              "1.000000 2.000000 0.000000\n"
              "2.000000 0.000000 5.000000\n");
}

// Normalised cuts: every set's column sums to 1,000,000, whatever the number
// of sets (three here: more than two must not overrun anything).
TEST(Histogram2D, NormalisedCutsSumToAMillion)
{
    TempDir dir;
    histogram2D h(4, 5, 3, 0.0, 3.0, 0.0, 4.0);
    for (int s = 0; s < 3; ++s) {
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 5; ++j)
                add_n(h, i, j, s, 1 + (i * 7 + j * 3 + s) % 5);
    }
    std::string xc = dir.file("x.txt");
    std::string yc = dir.file("y.txt");
    std::string xw = dir.file("xw.txt");
    std::string yw = dir.file("yw.txt");
    ASSERT_EQ(h.writeConstXCut(xc.c_str(), 2, true), 0);
    ASSERT_EQ(h.writeConstYCut(yc.c_str(), 3, true), 0);
    ASSERT_EQ(h.writeConstXCutWide(xw.c_str(), 1, 1, true), 0);
    ASSERT_EQ(h.writeConstYCutWide(yw.c_str(), 2, 1, true), 0);
    for (auto const& path : {xc, yc, xw, yw}) {
        auto t = table_of(path);
        ASSERT_FALSE(t.empty());
        for (int s = 0; s < 3; ++s) {
            double sum = 0.0;
            for (auto const& row : t) {
                ASSERT_EQ(row.size(), 4u) << path;
                sum += row[1 + s];
            }
            // Each printed value is rounded to 1e-6.
            EXPECT_NEAR(sum, 1000000.0, 1e-5 * t.size()) << path << " set " << s;
        }
    }
    // Hand check of one value: x bin 2 of set 0 holds 1 + (14 + 3j) % 5 for
    // j = 0..4: 5, 3, 1, 4, 2 (total 15); y bin 1 shows 3 / 15 of a million.
    auto t = table_of(xc);
    EXPECT_NEAR(t[1][1], 200000.0, 1e-6);
}

// An empty set normalised: 0 x infinity, NaN.
TEST(Histogram2D, NormalisedEmptyCutIsNan)
{
    TempDir dir;
    histogram2D h(3, 3, 1, 0.0, 2.0, 0.0, 2.0);
    std::string path = dir.file("e.txt");
    ASSERT_EQ(h.writeConstXCut(path.c_str(), 1, true), 0);
    auto t = table_of(path);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_TRUE(std::isnan(t[1][1]));
}

// --- Band cuts --------------------------------------------------------------

// With w = 0 the band cut along x is the single-bin cut, raw or normalised.
TEST(Histogram2D, YCutWideWithZeroWidth)
{
    TempDir dir;
    histogram2D h(5, 4, 2, 0.0, 4.0, 0.0, 3.0);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j) {
            add_n(h, i, j, 0, (i + 2 * j) % 4);
            add_n(h, i, j, 1, 1 + (3 * i + j) % 3);
        }
    for (bool norm : {false, true}) {
        std::string a = dir.file("a.txt"), b = dir.file("b.txt");
        ASSERT_EQ(h.writeConstYCut(a.c_str(), 2, norm), 0);
        ASSERT_EQ(h.writeConstYCutWide(b.c_str(), 2, 0, norm), 0);
        EXPECT_EQ(read_text(a), read_text(b)) << norm;
    }
}

// With w = 0 and raw counts the band cut along y equals the single-bin cut
// on the inner y bins; its first and last lines show 0.
TEST(Histogram2D, XCutWideWithZeroWidth)
{
    TempDir dir;
    histogram2D h(3, 5, 1, 0.0, 2.0, 0.0, 4.0);
    for (int j = 0; j < 5; ++j)
        add_n(h, 1.0, j, 0, j + 1);
    std::string a = dir.file("a.txt"), b = dir.file("b.txt");
    ASSERT_EQ(h.writeConstXCut(a.c_str(), 1, false), 0);
    ASSERT_EQ(h.writeConstXCutWide(b.c_str(), 1, 0, false), 0);
    auto la = read_lines(a), lb = read_lines(b);
    ASSERT_EQ(la.size(), 5u);
    ASSERT_EQ(lb.size(), 5u);
    EXPECT_EQ(la[0], " 0.000000 1.000000");
    EXPECT_EQ(lb[0], " 0.000000 0.000000");
    for (int j = 1; j < 4; ++j)
        EXPECT_EQ(la[j], lb[j]);
    EXPECT_EQ(la[4], " 4.000000 5.000000");
    EXPECT_EQ(lb[4], " 4.000000 0.000000");
}

// The first and last y bins of writeConstXCutWide take no part in the band
// or the normalisation: counts 5 | 1, 3 | 7 give 250,000 and 750,000.
TEST(Histogram2D, XCutWideEdgeBins)
{
    TempDir dir;
    histogram2D h(3, 4, 1, 0.0, 2.0, 0.0, 3.0);
    add_n(h, 1.0, 0.0, 0, 5);
    add_n(h, 1.0, 1.0, 0, 1);
    add_n(h, 1.0, 2.0, 0, 3);
    add_n(h, 1.0, 3.0, 0, 7);
    std::string path = dir.file("w.txt");
    ASSERT_EQ(h.writeConstXCutWide(path.c_str(), 1, 0, true), 0);
    EXPECT_EQ(read_text(path),
              " 0.000000 0.000000\n"
              " 1.000000 250000.000000\n"
              " 2.000000 750000.000000\n"
              " 3.000000 0.000000\n");
}

// Two y bins have no inner bin: both lines show 0.
TEST(Histogram2D, XCutWideTwoYBins)
{
    TempDir dir;
    histogram2D h(3, 2, 1, 0.0, 2.0, 0.0, 1.0);
    add_n(h, 1.0, 0.0, 0, 2);
    add_n(h, 1.0, 1.0, 0, 3);
    std::string path = dir.file("w.txt");
    ASSERT_EQ(h.writeConstXCutWide(path.c_str(), 1, 1, false), 0);
    EXPECT_EQ(read_text(path), " 0.000000 0.000000\n 1.000000 0.000000\n");
}

// Bands sum neighbouring rows or columns; a negative half-width gives an
// empty band.
TEST(Histogram2D, BandSums)
{
    TempDir dir;
    histogram2D h(4, 3, 1, 0.0, 3.0, 0.0, 2.0);
    // Column i holds 10^i counts at y bin 1, and i + 1 at y bin 2.
    for (int i = 0; i < 4; ++i) {
        add_n(h, i, 1.0, 0, static_cast<int>(std::pow(10, i)));
        add_n(h, i, 2.0, 0, i + 1);
    }
    std::string path = dir.file("b.txt");
    ASSERT_EQ(h.writeConstXCutWide(path.c_str(), 1, 1, false), 0);
    EXPECT_EQ(read_lines(path)[1], " 1.000000 111.000000");
    ASSERT_EQ(h.writeConstXCutWide(path.c_str(), 2, 1, false), 0);
    EXPECT_EQ(read_lines(path)[1], " 1.000000 1110.000000");
    ASSERT_EQ(h.writeConstXCutWide(path.c_str(), 2, -1, false), 0);
    EXPECT_EQ(read_lines(path)[1], " 1.000000 0.000000");

    // Along x: y bins 0, 1 and 2 summed for every x bin.
    ASSERT_EQ(h.writeConstYCutWide(path.c_str(), 1, 1, false), 0);
    EXPECT_EQ(read_text(path),
              "0.000000 2.000000\n"
              "1.000000 12.000000\n"
              "2.000000 103.000000\n"
              "3.000000 1004.000000\n");
    ASSERT_EQ(h.writeConstYCutWide(path.c_str(), 2, -1, false), 0);
    EXPECT_EQ(read_lines(path)[3], "3.000000 0.000000");
}

// --- Output failures ----------------------------------------------------------

TEST(Histogram2D, WriterCannotOpen)
{
    TempDir dir;
    histogram2D h(3, 3, 1, 0.0, 2.0, 0.0, 2.0);
    std::string path = dir.file("sub");
    fs::create_directory(path);
    std::string expected = "Error: Cannot open file '" + path + "' for writing\n";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h.writeText(path.c_str()), 1);
    EXPECT_EQ(h.writeConstXCut(path.c_str(), 1, false), 1);
    EXPECT_EQ(h.writeConstYCut(path.c_str(), 1, false), 1);
    EXPECT_EQ(h.writeConstXCutWide(path.c_str(), 1, 1, false), 1);
    EXPECT_EQ(h.writeConstYCutWide(path.c_str(), 1, 1, false), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              expected + expected + expected + expected + expected);
}

TEST(Histogram2D, WriterDiskFull)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    histogram2D h(3, 3, 1, 0.0, 2.0, 0.0, 2.0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h.writeText("/dev/full"), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error: Cannot write file '/dev/full'\n");
}

// --- fwhmConstXCutWide ------------------------------------------------------

// A single positive bin in the profile: one y spacing, (ymax - ymin)/(ny - 1).
TEST(Histogram2D, FwhmSingleBin)
{
    histogram2D h(5, 11, 2, 0.0, 4.0, 0.0, 5.0);
    add_n(h, 2.0, 2.5, 1, 3);
    EXPECT_DOUBLE_EQ(h.fwhmConstXCutWide(2, 2.5, 0, 1), 0.5);
    EXPECT_DOUBLE_EQ(h.fwhmConstXCutWide(2, 2.0, 0, 1), 0.5);
    // Set 0 is empty there: 0 / 0.
    EXPECT_TRUE(std::isnan(h.fwhmConstXCutWide(2, 2.5, 0, 0)));
    // The band of x bins 1 .. 3 holds the same single bin.
    EXPECT_DOUBLE_EQ(h.fwhmConstXCutWide(1, 2.5, 1, 1), 0.5);
    // Off the y axis: 0.0.
    EXPECT_EQ(h.fwhmConstXCutWide(2, -0.1, 0, 1), 0.0);
    EXPECT_EQ(h.fwhmConstXCutWide(2, 5.1, 0, 1), 0.0);
}

// The band profile is a sum over x: two columns with single bins at y bins 4
// and 5 form the profile 0 .. 3, 3, 0 ..: h = 1.5, crossings 3.5 and 5.5.
TEST(Histogram2D, FwhmBandProfile)
{
    histogram2D h(5, 11, 1, 0.0, 4.0, 0.0, 10.0);
    add_n(h, 1.0, 4.0, 0, 3);
    add_n(h, 3.0, 5.0, 0, 3);
    EXPECT_DOUBLE_EQ(h.fwhmConstXCutWide(2, 4.0, 1, 0), 2.0);
    // Only one of the columns in the band: one bin wide.
    EXPECT_DOUBLE_EQ(h.fwhmConstXCutWide(1, 4.0, 0, 0), 1.0);
    // The band may span the whole grid.
    EXPECT_DOUBLE_EQ(h.fwhmConstXCutWide(2, 4.0, 2, 0), 2.0);
}

// A band reaching past the grid, or centred off it, is an index off the
// grid: stopped by the checked access, not clipped to a partial sum.
TEST(Histogram2DDeathTest, BandsOffTheGrid)
{
    TempDir dir;
    histogram2D h(4, 3, 1, 0.0, 3.0, 0.0, 2.0);
    std::string path = dir.file("b.txt");
    char const* p = path.c_str();
    struct Case {
        char const* what;
        std::function<void()> call;
    };
    Case const cases[] = {
        {"x band below bin 0", [&] { h.writeConstXCutWide(p, 0, 1, false); }},
        {"x band past the last bin", [&] { h.writeConstXCutWide(p, 3, 1, false); }},
        {"x centre off the grid, empty band", [&] { h.writeConstXCutWide(p, 4, -1, false); }},
        {"y band below bin 0", [&] { h.writeConstYCutWide(p, 0, 1, true); }},
        {"y band past the last bin", [&] { h.writeConstYCutWide(p, 2, 1, false); }},
        {"fwhm band below bin 0", [&] { h.fwhmConstXCutWide(0, 1.0, 1, 0); }},
        {"fwhm band past the last bin", [&] { h.fwhmConstXCutWide(2, 1.0, 2, 0); }},
    };
    for (Case const& c : cases)
        EXPECT_DEATH(c.call(), "Checked access failed: ") << c.what;
}

// A peak in the last y bin: the scan stops there, which is still above half
// maximum, so the upper crossing is that bin. Counts 4, 10 at the top:
// left = ((10 - 5) * 9 + (5 - 4) * 10) / 6 = 55/6; right = 10.
TEST(Histogram2D, FwhmPeakAtTopBin)
{
    histogram2D h(3, 11, 1, 0.0, 2.0, 0.0, 10.0);
    add_n(h, 1.0, 9.0, 0, 4);
    add_n(h, 1.0, 10.0, 0, 10);
    EXPECT_NEAR(h.fwhmConstXCutWide(1, 10.0, 0, 0), 10.0 - 55.0 / 6.0, 1e-12);
    // Empty profile at the bottom end: no neighbour below, NaN.
    EXPECT_TRUE(std::isnan(h.fwhmConstXCutWide(0, 0.0, 0, 0)));
}

} // namespace
