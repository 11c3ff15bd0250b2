// Smoothing windows of zorv_mpi.
//
// A SmoothingWindow is a convolution kernel normalised so that the absolute
// values of its coefficients sum to 1 (a kernel with negative lobes keeps its
// shape).
// movingWindow4 applies it as a centred moving weighted average whose weights
// are renormalised where the kernel runs over either end of the data.
#ifndef ZORV_WINDOW_H
#define ZORV_WINDOW_H

#include <vector>

class SmoothingWindow {
public:
    // n coefficients fn(0, n) .. fn(n - 1, n), normalised.
    SmoothingWindow(double (*fn)(int, int), int n);
    // n coefficients copied from src, normalised.
    SmoothingWindow(double const* src, int n);

    int length;
    std::vector<double> coefficients;
};

// Coefficient i of the n-point symmetric four-term Nuttall window (continuous
// first derivative), before normalisation.
double func_nuttall(int i, int n);

// Smooths data[0 .. n - 1] in place with w. Tap m of the kernel weighs the
// sample i - h + m (h = w.length / 2), so coefficients[0] weighs the earliest
// sample; taps falling outside the data are dropped and the rest renormalised.
// A kernel longer than the data is refused with a message.
void movingWindow4(double* data, int n, SmoothingWindow const& w);

#endif
