// Window construction, the Nuttall generator and the edge-renormalised
// moving weighted average.

#include "window.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Divides every coefficient by the sum of their absolute values. An all-zero
// kernel has nothing to normalise and is left as it is.
void normalise(double* c, int n, double abs_sum)
{
    if (abs_sum == 0.0) return;
    for (int i = 0; i < n; ++i) c[i] /= abs_sum;
}

}  // namespace

Window::Window(double (*fn)(int, int), int n) : length(n), coefficients(new double[n > 0 ? n : 0])
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        coefficients[i] = fn(i, n);
        sum += std::fabs(coefficients[i]);
    }
    normalise(coefficients, n, sum);
}

Window::Window(double* src, int n) : length(n), coefficients(new double[n > 0 ? n : 0])
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        coefficients[i] = src[i];
        sum += std::fabs(coefficients[i]);
    }
    normalise(coefficients, n, sum);
}

double func_nuttall(int i, int n)
{
    const double a0 = 0.355768;
    const double a1 = 0.487396;
    const double a2 = 0.144232;
    const double a3 = 0.012604;
    const double two_pi = 6.283185307179586;
    const double four_pi = 12.566370614359172;
    const double six_pi = 18.84955592153876;
    return a0 - a1 * std::cos(two_pi * i / (n - 1)) + a2 * std::cos(four_pi * i / (n - 1)) -
           a3 * std::cos(six_pi * i / (n - 1));
}

void movingWindow4(double* data, int n, Window w)
{
    const int L = w.length;
    if (n < L) {
        std::printf("Data length must be larger than window length!\n");
        return;
    }
    if (L <= 0 || n <= 0) return;  // no taps: nothing to average

    // The copy of the input and the interior sums are kept between calls:
    // the worker smooths two channels per event and should not allocate for
    // each of them.
    static thread_local std::vector<double> temp;
    static thread_local std::vector<double> acc;
    temp.assign(data, data + n);
    const double* t = temp.data();
    const double* c = w.coefficients;

    const int h = L / 2;
    // An even kernel has no centre tap; it is applied with the taps
    // 0 .. L - 1 that exist, never reading past the coefficients.
    const int taps = (2 * h + 1 < L) ? 2 * h + 1 : L;

    // Interior: every tap falls inside the data, the divisor is always the
    // same sum. Each output's products are still summed in tap order with
    // one accumulator; only the loops are exchanged, so that the outputs
    // accumulate independently of each other instead of in one long chain.
    const int lo = h;                 // first i with i - h >= 0
    const int hi = n - taps + h;      // last i with i - h + taps <= n
    double full_norm = 0.0;
    for (int m = 0; m < taps; ++m) full_norm += std::fabs(c[m]);
    if (hi >= lo) {
        acc.assign(static_cast<size_t>(hi - lo + 1), 0.0);
        double* __restrict a = acc.data();
        const int count = hi - lo + 1;
        for (int m = 0; m < taps; ++m) {
            const double cm = c[m];
            const double* __restrict src = t + (lo - h + m);
            for (int k = 0; k < count; ++k) a[k] += cm * src[k];
        }
        for (int k = 0; k < count; ++k) data[lo + k] = a[k] / full_norm;
    }

    // Ends: taps outside the data are dropped, the rest renormalised.
    for (int i = 0; i < n; ++i) {
        if (i >= lo && i <= hi) continue;
        const int first = i - h;
        double sum = 0.0;
        double norm = 0.0;
        for (int m = 0; m < taps; ++m) {
            const int k = first + m;
            if (k < 0 || k >= n) continue;
            sum += c[m] * t[k];
            norm += std::fabs(c[m]);
        }
        data[i] = sum / norm;
    }
}
