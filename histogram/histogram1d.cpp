/*
 * One-dimensional histogram: counting, table output, axis recalibration,
 * half-maximum width and kernel smoothing.
 *
 * Bin of x:  k = (n - 1)(x - xmin)/(xmax - xmin) + 0.5, truncated; so a value
 *            half-way between two centres goes to the upper bin.
 * Centre i:  x_i = (i / (n - 1))(xmax - xmin) + xmin.
 * Width:     (right - left)/(n - 1)(xmax - xmin), right and left the
 *            interpolated half-maximum crossings in bin units.
 * Smoothing: bin k = sum_d w[d + h] t[k + d] / sum_d w[d + h] over the taps
 *            with 0 < k + d < n - 1; the end bins hold under- and overflow
 *            and must not leak into the spectrum.
 */
#include "histogram/histogram1d.h"
#include "histogram/histogram_detail.h"

#include <cstdio>
#include <vector>

HistogramWindow::HistogramWindow(double (*fn)(int, int), int length) : length(length)
{
    coefficients = new double[length > 0 ? length : 0];
    double sum = 0.0;
    for (int i = 0; i < length; ++i) {
        coefficients[i] = fn(i, length);
        sum += coefficients[i];
    }
    for (int i = 0; i < length; ++i)
        coefficients[i] /= sum;
}

// The shape comes from an extent generator of our own, not boost::extents: a
// histogram may be a global of another translation unit, constructed before
// this unit's boost::extents exists.
histogram1D::histogram1D(int n, int m, double xmin, double xmax)
    : n(n), m(m), xmin(xmin), xmax(xmax),
      counts(boost::multi_array_types::extent_gen()[n][m])
{
    clearData();
}

histogram1D::~histogram1D() = default;

void histogram1D::add(double x, int column)
{
    double k = (n - 1) * (x - xmin) / (xmax - xmin) + 0.5;
    counts[detail::clamped_bin(k, n)][column] += 1.0;
}

void histogram1D::clearData()
{
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < m; ++c)
            counts[i][c] = 0.0;
}

int histogram1D::write(char const* path)
{
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr)
        return detail::report_open_failure(path);
    for (int i = 0; i < n; ++i) {
        double x = (static_cast<double>(i) / (n - 1)) * (xmax - xmin) + xmin;
        std::fprintf(f, "%f", x);
        for (int c = 0; c < m; ++c)
            std::fprintf(f, " %f", counts[i][c]);
        std::fprintf(f, "\n");
    }
    return detail::close_checked(f, path);
}

void histogram1D::calibrate(double a, double b)
{
    xmin = xmin * a + b;
    xmax = a * xmax + b;
}

double histogram1D::fwhm(double x, int column)
{
    // Written as a negation so that a NaN position also gives 0.0.
    if (!(x >= xmin && x <= xmax))
        return 0.0;
    int c = static_cast<int>((n - 1) * (x - xmin) / (xmax - xmin) + 0.5);
    auto d = [this, column](int i) { return counts[i][column]; };
    double width = detail::half_max_width(d, n, c);
    return width / (n - 1) * (xmax - xmin);
}

void histogram1D::smooth(HistogramWindow w)
{
    if (n < w.length) {
        std::printf("Data length must be larger than window length!\n");
        return;
    }
    // An even kernel has no centre tap: offsets -h .. h would need
    // length + 1 coefficients.
    if (w.length < 1 || w.length % 2 == 0) {
        std::printf("Window length must be a positive odd number!\n");
        return;
    }
    int h = w.length / 2;
    std::vector<double> t(n);
    for (int c = 0; c < m; ++c) {
        for (int i = 0; i < n; ++i) {
            t[i] = counts[i][c];
            counts[i][c] = 0.0;
        }
        for (int k = 1; k < n; ++k) {
            double S = 0.0;
            for (int d = -h; d <= h; ++d) {
                int j = k + d;
                if (0 < j && j < n - 1) {
                    counts[k][c] += w.coefficients[d + h] * t[j];
                    S += w.coefficients[d + h];
                }
            }
            counts[k][c] /= S;
        }
    }
}
