/*
 * One-dimensional multi-column histogram and its smoothing kernel.
 *
 * Bin i of an n-bin axis sits at x_i = (i / (n - 1)) (xmax - xmin) + xmin:
 * xmin and xmax are the centres of the end bins, not outer edges, and a value
 * belongs to the nearest centre. The two end bins also collect everything
 * below and above the axis, so no value is ever dropped.
 *
 * Counts live in a Boost.MultiArray indexed [bin][column] whose element access
 * is checked in every build type (checked_access.h): a bad bin or column
 * number stops the program with a message instead of writing into someone
 * else's memory.
 *
 * Its smoothing kernel is a HistogramWindow, normalised by the plain sum of
 * its coefficients; zorv_mpi's SmoothingWindow is normalised by the sum of
 * their absolute values.
 */
#ifndef ZORV_HISTOGRAM_HISTOGRAM1D_H
#define ZORV_HISTOGRAM_HISTOGRAM1D_H

#include "histogram/checked_access.h"

/*
 * Smoothing kernel of the histogram library: `length` coefficients
 * fn(i, length), i = 0 .. length - 1, divided by their plain signed sum.
 * A plain value: copies share the coefficient array, which is never released
 * (kernels live as long as the program). A kernel summing to 0 gives
 * infinite or NaN coefficients.
 */
class HistogramWindow {
public:
    HistogramWindow(double (*fn)(int, int), int length);

    int length;
    double* coefficients;
};

class histogram1D {
public:
    // n bins with centres xmin .. xmax, m independent columns, all counts 0.
    histogram1D(int n, int m, double xmin, double xmax);
    ~histogram1D();

    histogram1D(histogram1D const&) = delete;
    histogram1D& operator=(histogram1D const&) = delete;

    // Adds 1.0 to the bin of x in the given column; values off the axis land
    // in the end bins, a NaN in bin 0.
    void add(double x, int column);

    // Sets every count to 0; shape and axis stay.
    void clearData();

    // Writes n lines "x_i count_0 .. count_{m-1}" ("%f", then " %f" each).
    // Returns 0, or prints "Error: Cannot write file '<path>'" and returns 1
    // when the file cannot be opened or written.
    int write(char const* path);

    // Maps the axis: xmin -> xmin a + b, xmax -> a xmax + b. Counts stay.
    void calibrate(double a, double b);

    // Full width at half maximum, in axis units, of the peak nearest to x in
    // one column; 0.0 when x is off the axis. See histogram1d.cpp for what
    // happens when the peak runs into the ends of the axis.
    double fwhm(double x, int column);

    // Smooths every column in place with w; the end bins do not contribute
    // and bin 0 ends at 0. Refuses (message, no change) a kernel longer than
    // the axis or of even length.
    void smooth(HistogramWindow w);

    int bins() const { return n; }
    int columns() const { return m; }
    double lower() const { return xmin; }
    double upper() const { return xmax; }
    // Checked read access to bin i of a column.
    double count(int i, int column) const { return counts[i][column]; }

private:
    int n;
    int m;
    double xmin;
    double xmax;
    boost::multi_array<double, 2> counts;
};

#endif
