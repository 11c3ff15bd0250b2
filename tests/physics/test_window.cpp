// Smoothing windows: normalisation, the Nuttall generator, the moving
// average at the ends, and the kernel file reader.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "io/kernel_file.h"
#include "test_util.h"
#include "fit/vector_width.h"
#include "physics/window.h"

// Normalisation by the sum of absolute values: scale-free, sign-preserving.
TEST(SmoothingWindow, NormalisesByTheSumOfAbsoluteValues)
{
    double a[] = {1.0, 2.0, 1.0};
    double b[] = {2.0, 4.0, 2.0};
    SmoothingWindow wa(a, 3), wb(b, 3);
    ASSERT_EQ(wa.length, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(wa.coefficients[i], wb.coefficients[i]);
    EXPECT_EQ(wa.coefficients[0], 0.25);
    EXPECT_EQ(wa.coefficients[1], 0.5);

    double neg[] = {-1.0, 3.0, -1.0};
    SmoothingWindow wn(neg, 3);
    EXPECT_EQ(wn.coefficients[0], -0.2);
    EXPECT_EQ(wn.coefficients[1], 0.6);
    a[1] = 100.0;  // the window holds its own copy
    EXPECT_EQ(wa.coefficients[1], 0.5);
}

// The 17-point Nuttall window: symmetric, peaked at 8, the published sums.
TEST(SmoothingWindow, NuttallFiguresForSeventeenPoints)
{
    EXPECT_NEAR(func_nuttall(8, 17), 1.0, 1e-15);
    EXPECT_NEAR(func_nuttall(0, 17), 0.0, 1e-15);
    EXPECT_NEAR(func_nuttall(16, 17), 0.0, 1e-15);
    double raw_sum = 0.0;
    for (int i = 0; i < 17; ++i) raw_sum += std::fabs(func_nuttall(i, 17));
    EXPECT_NEAR(raw_sum, 5.692288, 1e-12);
    EXPECT_NEAR(raw_sum, 16 * 0.355768, 1e-12);

    SmoothingWindow w(func_nuttall, 17);
    ASSERT_EQ(w.length, 17);
    EXPECT_NEAR(w.coefficients[8], 0.175676, 5e-7);
    EXPECT_NEAR(w.coefficients[7], 0.160370, 5e-7);
    EXPECT_NEAR(w.coefficients[9], 0.160370, 5e-7);
    EXPECT_NEAR(w.coefficients[1], 0.000463, 5e-7);
    EXPECT_NEAR(w.coefficients[15], 0.000463, 5e-7);
    double sum = 0.0;
    for (int i = 0; i < 17; ++i) {
        EXPECT_NEAR(w.coefficients[i], w.coefficients[16 - i], 1e-16);
        if (i != 8) {
            EXPECT_LT(w.coefficients[i], w.coefficients[8]);
        }
        sum += w.coefficients[i];
    }
    EXPECT_NEAR(sum, 1.0, 1e-15);
}

// An impulse comes out as the kernel reversed; a constant stays constant,
// the ends included.
TEST(MovingWindow4, ImpulseAndConstantResponses)
{
    double k[] = {1.0, 2.0, 3.0, 4.0, 5.0};
    SmoothingWindow w(k, 5);
    std::vector<double> d(20, 0.0);
    d[10] = 1.0;
    movingWindow4(d.data(), 20, w);
    for (int m = 0; m < 5; ++m) EXPECT_EQ(d[10 - 2 + m], w.coefficients[4 - m]) << m;
    EXPECT_EQ(d[7], 0.0);
    EXPECT_EQ(d[13], 0.0);

    SmoothingWindow nut(func_nuttall, 17);
    std::vector<double> c(40, -3.25);
    movingWindow4(c.data(), 40, nut);
    for (double v : c) EXPECT_NEAR(v, -3.25, 1e-14);
}

// At index 0 only the taps h .. 2h are used and renormalised.
TEST(MovingWindow4, RenormalisesAtTheEnds)
{
    double k[] = {1.0, 1.0, 2.0, 1.0, 1.0};
    SmoothingWindow w(k, 5);
    std::vector<double> d = {10.0, 20.0, 30.0, 40.0, 50.0, 60.0};
    movingWindow4(d.data(), 6, w);
    // index 0: taps m = 2, 3, 4 on samples 0, 1, 2 with weights 2, 1, 1
    EXPECT_DOUBLE_EQ(d[0], (2 * 10.0 + 20.0 + 30.0) / 4.0);
    // index 1: taps m = 1 .. 4 on samples 0 .. 3
    EXPECT_DOUBLE_EQ(d[1], (10.0 + 2 * 20.0 + 30.0 + 40.0) / 5.0);
    // index 2: all taps
    EXPECT_DOUBLE_EQ(d[2], (10.0 + 20.0 + 2 * 30.0 + 40.0 + 50.0) / 6.0);
    // last index: taps m = 0, 1, 2 on samples 3, 4, 5
    EXPECT_DOUBLE_EQ(d[5], (40.0 + 50.0 + 2 * 60.0) / 4.0);
}

// Length 1 copies (or negates) the data; the kernel may be as long as the
// data but not longer.
TEST(MovingWindow4, LengthOneAndDataLengthLimits)
{
    double plus[] = {7.0}, minus[] = {-0.5};
    SmoothingWindow wp(plus, 1), wm(minus, 1);
    std::vector<double> d = {1.5, -2.0, 3.0};
    movingWindow4(d.data(), 3, wp);
    EXPECT_EQ(d, (std::vector<double>{1.5, -2.0, 3.0}));
    movingWindow4(d.data(), 3, wm);
    EXPECT_EQ(d, (std::vector<double>{-1.5, 2.0, -3.0}));

    double k[] = {1.0, 1.0, 1.0};
    SmoothingWindow w3(k, 3);
    std::vector<double> three = {3.0, 6.0, 9.0};
    std::string out = capture_stdout([&] { movingWindow4(three.data(), 3, w3); });
    EXPECT_EQ(out, "");
    EXPECT_DOUBLE_EQ(three[0], 4.5);
    EXPECT_DOUBLE_EQ(three[1], 6.0);
    EXPECT_DOUBLE_EQ(three[2], 7.5);

    std::vector<double> two = {3.0, 6.0};
    out = capture_stdout([&] { movingWindow4(two.data(), 2, w3); });
    EXPECT_EQ(out, "Data length must be larger than window length!\n");
    EXPECT_EQ(two, (std::vector<double>{3.0, 6.0}));
}

// An even kernel never reads beyond its coefficients.
TEST(MovingWindow4, EvenKernelUsesOnlyItsOwnCoefficients)
{
    double k[] = {1.0, 3.0};
    SmoothingWindow w(k, 2);
    std::vector<double> d = {4.0, 8.0, 12.0};
    movingWindow4(d.data(), 3, w);
    // h = 1: tap 0 weighs i - 1, tap 1 weighs i; there is no tap 2
    EXPECT_DOUBLE_EQ(d[0], 4.0);
    EXPECT_DOUBLE_EQ(d[1], (4.0 + 3 * 8.0) / 4.0);
    EXPECT_DOUBLE_EQ(d[2], (8.0 + 3 * 12.0) / 4.0);
}

namespace {

struct KernelRead {
    int status;
    int count;
    std::string output;
    std::vector<double> values;
};

KernelRead read_kernel(std::string const& text)
{
    write_text("win.txt", text);
    KernelRead r{-1, -1, "", std::vector<double>(256, 0.0)};
    r.output = capture_stdout(
        [&] { r.status = read_kernel_file("win.txt", r.values.data(), 256, &r.count); });
    return r;
}

}  // namespace

// Counts, white space anywhere, file order.
TEST(KernelFile, ReadsTheSecondNumberOfEveryPair)
{
    TempDir dir;
    KernelRead r = read_kernel("\n\n  0 0.25\n1\t0.5\n\n2 0.25   \n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.values[0], 0.25);
    EXPECT_EQ(r.values[1], 0.5);
    EXPECT_EQ(r.values[2], 0.25);

    std::string text;
    for (int i = 0; i < 17; ++i) text += std::to_string(i) + " " + std::to_string(func_nuttall(i, 17)) + "\n";
    r = read_kernel(text);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.count, 17);

    text.clear();
    for (int i = 0; i < 255; ++i) text += "0 1\n";
    r = read_kernel(text);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.count, 255);
}

// Every refused file names itself and its reason; nothing past the table.
TEST(KernelFile, RefusesUnusableFiles)
{
    TempDir dir;
    int count = 9;
    double table[4];
    std::string out = capture_stdout([&] { EXPECT_EQ(read_kernel_file("win.txt", table, 4, &count), 1); });
    EXPECT_EQ(out, "Error: Cannot open window file 'win.txt'\n");
    EXPECT_EQ(count, 0);

    std::string text;
    for (int i = 0; i < 257; ++i) text += "0 1\n";
    EXPECT_EQ(read_kernel(text).output, "Error: Window file 'win.txt' holds more than 256 coefficients\n");

    EXPECT_EQ(read_kernel("0 1\n1 x\n2 1\n").output,
              "Error: Window file 'win.txt': pair number 2 is not a pair of numbers\n");
    EXPECT_EQ(read_kernel("0 1\n1 2\n2\n").output,
              "Error: Window file 'win.txt': the last pair (number 3) is incomplete\n");
    EXPECT_EQ(read_kernel("0 1\n1 nan\n2 1\n").output,
              "Error: Window file 'win.txt': coefficient number 2 is not finite\n");
    EXPECT_EQ(read_kernel("\n  \n").output, "Error: Window file 'win.txt' holds no coefficients\n");
    EXPECT_EQ(read_kernel("0 1\n1 1\n").output,
              "Error: Window file 'win.txt' holds an even number of coefficients (2); "
              "the kernel needs a centre\n");
    KernelRead r = read_kernel("0 0\n1 -0\n2 0.0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Error: Window file 'win.txt': all coefficients are zero\n");
}

// The smoothing equals the formula evaluated literally, to the last bit, at
// every vector width this CPU has: per output, the kept taps in increasing
// order with one accumulator, divided by the sum of their absolute values.
TEST(MovingWindow4, MatchesTheLiteralFormulaBitForBit)
{
    uint64_t s = 12345;
    auto next = [&s] {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(s >> 11) / 9007199254740992.0;
    };
    int const widest = zorv_fit::widest_vector_width();
    for (int lanes = 2; lanes <= widest; lanes *= 2) {
        ASSERT_EQ(zorv_fit::set_vector_width(lanes), lanes);
        for (int L : {1, 3, 17, 101, 255}) {
            std::vector<double> k(L);
            for (double& v : k) v = next() - 0.3;
            SmoothingWindow w(k.data(), L);
            for (int n : {L, L + 1, L + 37, 300, 2500}) {
                std::vector<double> d(n);
                for (double& v : d) v = 60000.0 * next() - 30000.0;
                std::vector<double> expected(n);
                const int h = L / 2;
                for (int i = 0; i < n; ++i) {
                    double sum = 0.0, norm = 0.0;
                    for (int m = 0; m <= 2 * h; ++m) {
                        int j = i - h + m;
                        if (j < 0 || j >= n) continue;
                        sum += w.coefficients[m] * d[j];
                        norm += std::fabs(w.coefficients[m]);
                    }
                    expected[i] = sum / norm;
                }
                movingWindow4(d.data(), n, w);
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(d[i], expected[i]) << "lanes " << lanes << " L " << L << " n " << n << " i " << i;
            }
        }
    }
    zorv_fit::set_vector_width(widest);
}
