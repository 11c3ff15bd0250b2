/*
 * Two-dimensional multi-set histogram: counting on a grid, the whole grid as
 * a text table, cuts at a fixed x or y (one bin or a band of bins, raw or
 * normalised to a total of 1,000,000 per set), the half-maximum width of a
 * y profile, and false-colour PPM images.
 *
 * Grid point (i, j) sits at x_i = (i / (nx - 1)) (xmax - xmin) + xmin and
 * y_j = (j / (ny - 1)) (ymax - ymin) + ymin; the edge rows and columns also
 * collect everything off the grid, as in histogram1D. Counts live in a
 * Boost.MultiArray indexed [x bin][y bin][set] with checked access
 * (checked_access.h).
 *
 * Writers return 0, or print an "Error: " line naming the file and return 1
 * when it cannot be opened or written.
 */
#ifndef ZORV_HISTOGRAM_HISTOGRAM2D_H
#define ZORV_HISTOGRAM_HISTOGRAM2D_H

#include "histogram/checked_access.h"

class histogram2D {
public:
    // nx x ny grid points with centres xmin .. xmax and ymin .. ymax, nsets
    // independent sets, all counts 0.
    histogram2D(int nx, int ny, int nsets, double xmin, double xmax, double ymin, double ymax);
    ~histogram2D();

    histogram2D(histogram2D const&) = delete;
    histogram2D& operator=(histogram2D const&) = delete;

    // Adds 1.0 to the grid point nearest to (x, y) in the set; off-grid
    // points count in the nearest edge or corner, a NaN coordinate in bin 0.
    void add(double x, double y, int set);

    // nx * ny lines "x_i y_j c_0 .. c_{nsets-1}", x varying slowest.
    int writeText(char const* path);

    // Cut along y at x bin a: ny lines " y_j c_0 .. " (leading blank).
    int writeConstXCut(char const* path, int a, bool normalise);

    // Cut along x at y bin b: nx lines "x_i c_0 .. ".
    int writeConstYCut(char const* path, int b, bool normalise);

    // Cut along y summed over the x bins a - w .. a + w, which must all lie
    // on the grid (a band off the grid stops the program, as any index off
    // the grid does); w < 0 gives an empty band of value 0. Only the y bins
    // 1 .. ny - 2 carry band sums and enter the normalisation; the lines of
    // the first and the last y bin show 0.
    int writeConstXCutWide(char const* path, int a, int w, bool normalise);

    // Cut along x summed over the y bins b - w .. b + w, all on the grid.
    int writeConstYCutWide(char const* path, int b, int w, bool normalise);

    // Full width at half maximum, in y units, of the peak nearest to y in
    // the y profile of the x bins a - w .. a + w (all on the grid) of a set;
    // 0.0 for y off the axis. See histogram2d.cpp for a peak at the ends of
    // the profile.
    double fwhmConstXCutWide(int a, double y, int w, int set);

    // One plain PPM ("P3") file "<prefix><s + 1>.ppm" per set, linear or
    // logarithmic colour scale; prints "Shift %g, normalization %g" per set.
    // Needs at least 2 bins in x and y.
    int writeImage(char const* prefix, bool logarithmic);

    int xBins() const { return nx; }
    int yBins() const { return ny; }
    int sets() const { return nsets; }
    // Checked access to single grid points, e.g. to load a map computed
    // elsewhere (which, unlike counts, may hold negative values).
    double count(int i, int j, int set) const { return counts[i][j][set]; }
    void setCount(int i, int j, int set, double v) { counts[i][j][set] = v; }

private:
    double xCentre(int i) const;
    double yCentre(int j) const;
    // Band sums over x bins a - w .. a + w (y bins b - w .. b + w), every one
    // checked; 0 for an empty band (w < 0).
    double xBand(int a, int w, int j, int set) const;
    double yBand(int i, int b, int w, int set) const;

    int nx;
    int ny;
    int nsets;
    double xmin;
    double xmax;
    double ymin;
    double ymax;
    boost::multi_array<double, 3> counts;
};

#endif
