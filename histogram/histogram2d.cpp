/*
 * Two-dimensional histogram: counting, table, cuts and band widths.
 *
 * Bin of (x, y):  ix = (nx - 1)(x - xmin)/(xmax - xmin) + 0.5, truncated and
 *                 folded into 0 .. nx - 1; iy likewise.
 * Band value:     V_s(j) = sum_{k=-w..w} counts[a + k][j][s]; 0 for w < 0.
 *                 Every bin of the band must lie on the grid: a band reaching
 *                 past the edge is the caller's mistake and stops the program
 *                 through the checked access (checked_access.h), like any
 *                 other index off the grid. Clipping it would return a sum
 *                 over fewer bins than asked for without a word.
 * Normalisation:  scale_s = 1e6 / T_s, T_s the total of the printed column,
 *                 so that each set's cut sums to 1,000,000. An empty cut has
 *                 T_s = 0 and prints NaN (0 x infinity): there is nothing to
 *                 normalise.
 * Per-set sums and scales are sized by the number of sets: any number of
 * sets can be written.
 */
#include "histogram/histogram2d.h"
#include "histogram/histogram_detail.h"

#include <algorithm>
#include <boost/assert.hpp>
#include <cstdio>
#include <vector>

histogram2D::histogram2D(int nx, int ny, int nsets, double xmin, double xmax, double ymin,
                         double ymax)
    : nx(nx), ny(ny), nsets(nsets), xmin(xmin), xmax(xmax), ymin(ymin), ymax(ymax),
      counts(boost::extents[nx][ny][nsets])
{
    std::fill_n(counts.data(), counts.num_elements(), 0.0);
}

histogram2D::~histogram2D() = default;

double histogram2D::xCentre(int i) const
{
    return (static_cast<double>(i) / (nx - 1)) * (xmax - xmin) + xmin;
}

double histogram2D::yCentre(int j) const
{
    return (static_cast<double>(j) / (ny - 1)) * (ymax - ymin) + ymin;
}

// The centre bin is checked even when the band is empty (w < 0).
double histogram2D::xBand(int a, int w, int j, int set) const
{
    BOOST_ASSERT(a >= 0 && a < nx);
    double v = 0.0;
    for (int k = -w; k <= w; ++k)
        v += counts[a + k][j][set];
    return v;
}

double histogram2D::yBand(int i, int b, int w, int set) const
{
    BOOST_ASSERT(b >= 0 && b < ny);
    double v = 0.0;
    for (int k = -w; k <= w; ++k)
        v += counts[i][b + k][set];
    return v;
}

void histogram2D::add(double x, double y, int set)
{
    double kx = (nx - 1) * (x - xmin) / (xmax - xmin) + 0.5;
    double ky = (ny - 1) * (y - ymin) / (ymax - ymin) + 0.5;
    counts[detail::clamped_bin(kx, nx)][detail::clamped_bin(ky, ny)][set] += 1.0;
}

int histogram2D::writeText(char const* path)
{
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr)
        return detail::report_open_failure(path);
    for (int i = 0; i < nx; ++i) {
        for (int j = 0; j < ny; ++j) {
            std::fprintf(f, "%f", xCentre(i));
            std::fprintf(f, " %f", yCentre(j));
            for (int s = 0; s < nsets; ++s)
                std::fprintf(f, " %f", counts[i][j][s]);
            std::fprintf(f, "\n");
        }
    }
    return detail::close_checked(f, path);
}

namespace {

// A profile along one axis written as lines "<lead><centre> <set 0> ...",
// count(k, s) of point k and set s, each set scaled to a sum of 10^6 (summed
// in point order) when `normalise`.
template <typename Count, typename Centre>
int write_profile(char const* path, int n, int nsets, bool normalise, char const* lead,
                  Count count, Centre centre)
{
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr)
        return detail::report_open_failure(path);
    std::vector<double> scale(nsets, 1.0);
    if (normalise) {
        for (int s = 0; s < nsets; ++s) {
            double T = 0.0;
            for (int k = 0; k < n; ++k)
                T += count(k, s);
            scale[s] = 1000000.0 / T;
        }
    }
    for (int k = 0; k < n; ++k) {
        std::fprintf(f, "%s%f", lead, centre(k));
        for (int s = 0; s < nsets; ++s)
            std::fprintf(f, " %f", count(k, s) * scale[s]);
        std::fprintf(f, "\n");
    }
    return detail::close_checked(f, path);
}

}  // namespace

int histogram2D::writeConstXCut(char const* path, int a, bool normalise)
{
    return write_profile(
        path, ny, nsets, normalise, " ", [&](int j, int s) { return counts[a][j][s]; },
        [&](int j) { return yCentre(j); });
}

int histogram2D::writeConstYCut(char const* path, int b, bool normalise)
{
    return write_profile(
        path, nx, nsets, normalise, "", [&](int i, int s) { return counts[i][b][s]; },
        [&](int i) { return xCentre(i); });
}

int histogram2D::writeConstXCutWide(char const* path, int a, int w, bool normalise)
{
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr)
        return detail::report_open_failure(path);
    // Band values of the y bins 1 .. ny - 2; the edge bins hold under- and
    // overflow and take no part. V[j][s], zero for the edge bins.
    boost::multi_array<double, 2> V(boost::extents[ny][nsets]);
    std::fill_n(V.data(), V.num_elements(), 0.0);
    std::vector<double> scale(nsets, 1.0);
    for (int s = 0; s < nsets; ++s) {
        double T = 0.0;
        for (int j = 1; j < ny - 1; ++j) {
            V[j][s] = xBand(a, w, j, s);
            T += V[j][s];
        }
        if (normalise)
            scale[s] = 1000000.0 / T;
    }
    for (int j = 0; j < ny; ++j) {
        std::fprintf(f, " %f", yCentre(j));
        bool edge = j == 0 || j == ny - 1;
        for (int s = 0; s < nsets; ++s)
            std::fprintf(f, " %f", edge ? 0.0 : V[j][s] * scale[s]);
        std::fprintf(f, "\n");
    }
    return detail::close_checked(f, path);
}

int histogram2D::writeConstYCutWide(char const* path, int b, int w, bool normalise)
{
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr)
        return detail::report_open_failure(path);
    BOOST_ASSERT(b >= 0 && b < ny);
    std::vector<double> scale(nsets, 1.0);
    if (normalise) {
        for (int s = 0; s < nsets; ++s) {
            double T = 0.0;
            for (int i = 0; i < nx; ++i)
                T += yBand(i, b, w, s);
            scale[s] = 1000000.0 / T;
        }
    }
    for (int i = 0; i < nx; ++i) {
        std::fprintf(f, "%f", xCentre(i));
        for (int s = 0; s < nsets; ++s) {
            // Each count is scaled before it is summed.
            double v = 0.0;
            for (int k = -w; k <= w; ++k)
                v += counts[i][b + k][s] * scale[s];
            std::fprintf(f, " %f", v);
        }
        std::fprintf(f, "\n");
    }
    return detail::close_checked(f, path);
}

/*
 * The y profile P[j] of the band is measured exactly like a histogram1D
 * column. The band must lie on the grid (see xBand); along the profile the
 * peak search skips bins off its ends, and a half-maximum scan that reaches
 * an end of the profile still above half maximum stops there and takes that
 * end bin as the crossing, so the width is the part of the peak on the grid.
 * A profile without a positive peak gives NaN.
 */
double histogram2D::fwhmConstXCutWide(int a, double y, int w, int set)
{
    if (!(y >= ymin && y <= ymax))
        return 0.0;
    std::vector<double> P(ny);
    for (int j = 0; j < ny; ++j)
        P[j] = xBand(a, w, j, set);
    int c = static_cast<int>((y - ymin) * (ny - 1) / (ymax - ymin) + 0.5);
    auto d = [&P](int j) { return P[j]; };
    double width = detail::half_max_width(d, ny, c);
    return width / (ny - 1) * (ymax - ymin);
}
