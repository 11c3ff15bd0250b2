/*
 * Pieces shared by the one- and two-dimensional histograms: the bin rule,
 * the half-maximum width scan and the checked closing of output files.
 * Private to the histogram library.
 */
#ifndef ZORV_HISTOGRAM_DETAIL_H
#define ZORV_HISTOGRAM_DETAIL_H

#include <cmath>
#include <cstdio>
#include <limits>

namespace detail {

/*
 * Bin of a value for counting. k = (n - 1)(x - lo)/(hi - lo) + 0.5 is formed
 * by the caller in its own order of evaluation; this truncates it toward zero
 * and folds everything below the axis into bin 0 and everything above into
 * bin n - 1. The comparisons are made on the double, before the conversion,
 * so that values far off the axis (even infinite ones) cannot overflow the
 * integer. A NaN has no nearest bin; it is counted in bin 0 so that the
 * total of a column stays the number of add calls.
 */
inline int clamped_bin(double k, int n)
{
    if (std::isnan(k) || k < 0.0)
        return 0;
    if (k >= static_cast<double>(n))
        return n - 1;
    return static_cast<int>(k);
}

/*
 * Full width at half maximum, in bin units, of the peak of the profile
 * d(0) .. d(n - 1) nearest to bin c (0 <= c < n).
 *
 * Peak: p starts at c and moves to the bins c - 2, c - 1, c, c + 1 (in this
 * order, those that exist) on a strictly greater value. h = d(p) / 2. L is the
 * first bin from p downwards with d(L) <= h, R the first bin above p with
 * d(R) <= h (no scan, L = R = p, unless d(p) > h). The crossings are
 * interpolated linearly between L and L + 1 and between R - 1 and R.
 *
 * At the ends of the profile the scans stop: if the end bin is still above
 * half maximum, the crossing is placed at that end bin, so the width is the
 * part of the peak that lies on the axis (a lower bound). Without a positive
 * peak (L = R = p) the crossings need both neighbours of p; at an end one is
 * missing and the width is NaN, as it is in the interior when the
 * neighbours are empty too (0 / 0).
 */
template <class Profile>
double half_max_width(Profile const& d, int n, int c)
{
    int p = c;
    for (int b = c - 2; b <= c + 1; ++b)
        if (b >= 0 && b < n && d(b) > d(p))
            p = b;
    double h = 0.5 * d(p);

    int L = p;
    while (L > 0 && d(L) > h)
        --L;
    int R = p;
    if (d(p) > h) {
        while (R < n - 1 && d(R) > h)
            ++R;
    }

    double const nan = std::numeric_limits<double>::quiet_NaN();
    double left;
    if (d(L) > h)
        left = L;
    else if (L + 1 > n - 1)
        return nan;
    else
        left = ((d(L + 1) - h) * L + (h - d(L)) * (L + 1)) / (d(L + 1) - d(L));

    double right;
    if (d(R) > h)
        right = R;
    else if (R - 1 < 0)
        return nan;
    else
        right = ((d(R - 1) - h) * R + (h - d(R)) * (R - 1)) / (d(R - 1) - d(R));

    return right - left;
}

// "Error: " line for an output file that could not be created.
inline int report_open_failure(char const* path)
{
    std::printf("Error: Cannot open file '%s' for writing\n", path);
    return 1;
}

/*
 * Closes f and tells whether everything written reached the file: stdio
 * buffers, so a full disk often shows only at the final flush in fclose.
 * Returns 0, or prints an "Error: " line naming the file and returns 1.
 */
inline int close_checked(std::FILE* f, char const* path)
{
    bool failed = std::ferror(f) != 0;
    if (std::fclose(f) != 0)
        failed = true;
    if (failed) {
        std::printf("Error: Cannot write file '%s'\n", path);
        return 1;
    }
    return 0;
}

} // namespace detail

#endif
