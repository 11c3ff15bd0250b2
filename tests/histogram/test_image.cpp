// False-colour images: the palette blend of interpolate and the PPM files
// of histogram2D::writeImage.
#include "histogram/color.h"
#include "histogram/histogram2d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// The image palette, as a reader of the pictures would write it down.
color palette[12] = {
    {0, 0, 0},     {112, 10, 171}, {56, 20, 176}, {18, 64, 171},
    {0, 153, 153}, {0, 204, 0},    {158, 237, 0}, {255, 255, 0},
    {255, 212, 0}, {255, 171, 0},  {255, 115, 0}, {255, 0, 0},
};

std::string rgb(double x, color* p = palette, int n = 12)
{
    int r = -1, g = -1, b = -1;
    interpolate(x, &r, &g, &b, p, n);
    return std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b);
}

// --- interpolate --------------------------------------------------------------

// x, the palette and the colour it gives.
TEST(Interpolate, Colours)
{
    color gray[2] = {{10, 20, 30}, {200, 200, 200}};
    color bw[2] = {{0, 0, 0}, {255, 255, 255}};
    color three[3] = {{1, 2, 3}, {40, 50, 60}, {7, 8, 9}};
    struct Case {
        double x;
        color* palette;
        int n;
        char const* rgb;
    };
    Case const cases[] = {
        // The ends, the middle (half-way between entries 5 and 6), a quarter
        // (three quarters of the way from entry 2 to 3).
        {0.0, palette, 12, "0 0 0"},
        {1.0, palette, 12, "255 0 0"},
        {0.5, palette, 12, "79 220 0"},
        {0.25, palette, 12, "23 57 171"},
        // Off the palette, just or far: the end entries exactly.
        {-1.0, palette, 12, "0 0 0"},
        {2.0, palette, 12, "255 0 0"},
        {-0.01, palette, 12, "0 0 0"},
        {1.01, palette, 12, "255 0 0"},
        {1e300, palette, 12, "255 0 0"},
        {-1e300, palette, 12, "0 0 0"},
        {INFINITY, palette, 12, "255 0 0"},
        {-INFINITY, palette, 12, "0 0 0"},
        // A NaN gets the first entry: black on the image palette.
        {NAN, palette, 12, "0 0 0"},
        {NAN, gray, 2, "10 20 30"},
        // Black and white: at x = 1/3 the weights are cos^2(pi/3) = 1/4 for
        // white and cos^2(pi/6) = 3/4 for black: 63.75 -> 63; half-way
        // 127.5 -> 127.
        {1.0 / 3.0, bw, 2, "63 63 63"},
        {0.5, bw, 2, "127 127 127"},
        {0.0, bw, 2, "0 0 0"},
        {1.0, bw, 2, "255 255 255"},
        // Every entry reached exactly where X is an integer that x
        // represents exactly.
        {0.0, three, 3, "1 2 3"},
        {0.5, three, 3, "40 50 60"},
        {1.0, three, 3, "7 8 9"},
    };
    for (Case const& c : cases)
        EXPECT_EQ(rgb(c.x, c.palette, c.n), c.rgb) << "x = " << c.x << ", " << c.n << " entries";
}

// --- writeImage -----------------------------------------------------------------

// Three sets: three files named from 1, three console lines, 3 header lines
// plus nx * ny pixel lines each; linear mode shows shift 0, normalization 1.
TEST(WriteImage, ThreeSetsLinear)
{
    TempDir dir;
    histogram2D h(4, 3, 3, 0.0, 3.0, 0.0, 2.0);
    h.add(1.0, 1.0, 2);
    std::string prefix = dir.file("img");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(h.writeImage(prefix.c_str(), false), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Shift 0, normalization 1\n"
              "Shift 0, normalization 1\n"
              "Shift 0, normalization 1\n");
    for (int s = 1; s <= 3; ++s) {
        auto l = read_lines(prefix + std::to_string(s) + ".ppm");
        ASSERT_EQ(l.size(), 3u + 4u * 3u) << s;
        EXPECT_EQ(l[0], "P3");
        EXPECT_EQ(l[1], "4 3");
        EXPECT_EQ(l[2], "255");
    }
    EXPECT_FALSE(fs::exists(prefix + "0.ppm"));
    EXPECT_FALSE(fs::exists(prefix + "4.ppm"));
    // Set 3 has its one count at (1, 1): red in linear mode, the rest black.
    // Row order: y bin 2 first, so (1, 1) is pixel 4 + 1 = 5.
    auto l = read_lines(prefix + "3.ppm");
    for (int k = 0; k < 12; ++k)
        EXPECT_EQ(l[3 + k], k == 5 ? "255 0 0" : "0 0 0") << k;
}

// The top row is the largest y, x grows to the right: a count in the top
// left corner is the first pixel, one in the bottom right corner the last.
TEST(WriteImage, Orientation)
{
    TempDir dir;
    histogram2D h(3, 3, 1, 0.0, 2.0, 0.0, 2.0);
    h.add(0.0, 2.0, 0);
    h.setCount(2, 0, 0, 0.5); // linear: half-way along the palette
    std::string prefix = dir.file("o");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(h.writeImage(prefix.c_str(), false), 0);
    ::testing::internal::GetCapturedStdout();
    auto l = read_lines(prefix + "1.ppm");
    ASSERT_EQ(l.size(), 12u);
    EXPECT_EQ(l[3], "255 0 0");
    EXPECT_EQ(l[11], "79 220 0");
    for (int k = 4; k < 11; ++k)
        EXPECT_EQ(l[k], "0 0 0");
}

// Logarithmic: interior min 2 and max 8 give shift ln 1 = 0 and
// normalization 1 / ln 8; the max is red, the min sits at t = 1/3, between
// entries 3 and 4 with weights 3/4 (entry 4) and 1/4 (entry 3):
// 0*3/4 + 18/4 = 4.5, 153*3/4 + 64/4 = 130.75, 153*3/4 + 171/4 = 157.5.
TEST(WriteImage, Logarithmic)
{
    TempDir dir;
    histogram2D h(4, 3, 1, 0.0, 3.0, 0.0, 2.0);
    for (int k = 0; k < 2; ++k)
        h.add(1.0, 1.0, 0);
    for (int k = 0; k < 8; ++k)
        h.add(2.0, 1.0, 0);
    std::string prefix = dir.file("log");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(h.writeImage(prefix.c_str(), true), 0);
    char expected[64];
    std::snprintf(expected, sizeof expected, "Shift %g, normalization %g\n", 0.0, 1.0 / std::log(8.0));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(std::string(expected), "Shift 0, normalization 0.480898\n");
    auto l = read_lines(prefix + "1.ppm");
    ASSERT_EQ(l.size(), 15u);
    // Middle row (y bin 1) is the second row: pixels 4..7.
    EXPECT_EQ(l[3 + 4], "0 0 0");
    EXPECT_EQ(l[3 + 5], "4 130 157");
    EXPECT_EQ(l[3 + 6], "255 0 0");
    EXPECT_EQ(l[3 + 7], "0 0 0");
}

// An empty interior in logarithmic mode falls back to shift 0 and
// normalization 1; its empty cells are black.
TEST(WriteImage, LogarithmicEmptyInterior)
{
    TempDir dir;
    histogram2D h(5, 4, 1, 0.0, 4.0, 0.0, 3.0);
    std::string prefix = dir.file("z");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(h.writeImage(prefix.c_str(), true), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Shift 0, normalization 1\n");
    auto l = read_lines(prefix + "1.ppm");
    ASSERT_EQ(l.size(), 3u + 20u);
    for (std::size_t k = 3; k < l.size(); ++k)
        EXPECT_EQ(l[k], "0 0 0");
}

// A negative cell has no logarithm: its NaN value is drawn black.
TEST(WriteImage, NegativeCellInLogarithmicMode)
{
    TempDir dir;
    histogram2D h(3, 3, 1, 0.0, 2.0, 0.0, 2.0);
    h.setCount(1, 1, 0, 4.0);
    h.setCount(0, 2, 0, -3.0);
    std::string prefix = dir.file("n");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(h.writeImage(prefix.c_str(), true), 0);
    ::testing::internal::GetCapturedStdout();
    auto l = read_lines(prefix + "1.ppm");
    ASSERT_EQ(l.size(), 12u);
    EXPECT_EQ(l[3], "0 0 0");     // (0, 2), negative
    EXPECT_EQ(l[3 + 4], "255 0 0"); // (1, 1), the maximum
}

// A long prefix (over 600 characters through nested directories) is used
// whole; a file name too long for the file system is an error, not an overrun.
TEST(WriteImage, LongPrefixes)
{
    TempDir dir;
    fs::path deep = fs::path(dir.path()) / std::string(200, 'a') / std::string(200, 'b') / std::string(200, 'c');
    fs::create_directories(deep);
    std::string prefix = (deep / "picture_").string();
    ASSERT_GT(prefix.size(), 600u);
    histogram2D h(3, 3, 2, 0.0, 2.0, 0.0, 2.0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h.writeImage(prefix.c_str(), false), 0);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_lines(prefix + "1.ppm").size(), 12u);
    EXPECT_EQ(read_lines(prefix + "2.ppm").size(), 12u);

    std::string too_long = dir.file("") + std::string(300, 'x');
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h.writeImage(too_long.c_str(), false), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Error: Cannot open file '" + too_long + "1.ppm' for writing\n");
}

// A picture landing on a full disk is reported.
TEST(WriteImage, DiskFull)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    fs::create_symlink("/dev/full", dir.file("f1.ppm"));
    histogram2D h(3, 3, 2, 0.0, 2.0, 0.0, 2.0);
    std::string prefix = dir.file("f");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h.writeImage(prefix.c_str(), false), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Shift 0, normalization 1\nError: Cannot write file '" + prefix + "1.ppm'\n");
    EXPECT_FALSE(fs::exists(prefix + "2.ppm"));
}

// A grid of fewer than 2 bins has no cell (1, 1): checked access stops it.
TEST(WriteImageDeathTest, GridTooSmall)
{
    TempDir dir;
    histogram2D h(1, 3, 1, 0.0, 1.0, 0.0, 2.0);
    std::string prefix = dir.file("s");
    EXPECT_DEATH(h.writeImage(prefix.c_str(), false), "Checked access failed: ");
}

} // namespace
