// SmoothingWindow construction, the Nuttall generator and the edge-renormalised
// moving weighted average.

#include "physics/window.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "fit/vector_lanes.h"
#include "fit/vector_width.h"

namespace {

using zorv_fit::kLanes;
using zorv_fit::load;
using zorv_fit::splat;
using zorv_fit::store;

// The interior of the smoothing: out[k] = (sum over the taps m = 0 .. taps - 1,
// in order, of c[m] t[k + m]) / norm for k < count. Each output keeps its own
// accumulator and adds its products in tap order, exactly as the formula
// reads; the outputs are independent, so 4 W of them at a time sit in the
// lanes of four vectors of W doubles while the taps go by.
template <class V>
ZORV_INLINE void interior_sums(double* out, const double* t, const double* c, int taps, int count,
                               double norm)
{
    constexpr int W = kLanes<V>;
    int k = 0;
    for (; k + 4 * W <= count; k += 4 * W) {
        V a0 = {}, a1 = {}, a2 = {}, a3 = {};
        for (int m = 0; m < taps; ++m) {
            const V cm = splat<V>(c[m]);
            const double* src = t + k + m;
            a0 += cm * load<V>(src);
            a1 += cm * load<V>(src + W);
            a2 += cm * load<V>(src + 2 * W);
            a3 += cm * load<V>(src + 3 * W);
        }
        store(out + k, a0 / norm);
        store(out + k + W, a1 / norm);
        store(out + k + 2 * W, a2 / norm);
        store(out + k + 3 * W, a3 / norm);
    }
    for (; k + W <= count; k += W) {
        V a = {};
        for (int m = 0; m < taps; ++m) a += splat<V>(c[m]) * load<V>(t + k + m);
        store(out + k, a / norm);
    }
    for (; k < count; ++k) {
        double a = 0.0;
        for (int m = 0; m < taps; ++m) a += c[m] * t[k + m];
        out[k] = a / norm;
    }
}

// One function per vector unit; the template is inlined into each and
// compiled for its unit.
__attribute__((target("avx512f"))) void interior_avx512(double* out, const double* t, const double* c,
                                                        int taps, int count, double norm)
{
    interior_sums<zorv_fit::v8d>(out, t, c, taps, count, norm);
}

__attribute__((target("avx2"))) void interior_avx2(double* out, const double* t, const double* c,
                                                   int taps, int count, double norm)
{
    interior_sums<zorv_fit::v4d>(out, t, c, taps, count, norm);
}

void interior_sse2(double* out, const double* t, const double* c, int taps, int count, double norm)
{
    interior_sums<zorv_fit::v2d>(out, t, c, taps, count, norm);
}

// Divides every coefficient by the sum of their absolute values. An all-zero
// kernel has nothing to normalise and is left as it is.
void normalise(double* c, int n, double abs_sum)
{
    if (abs_sum == 0.0) return;
    for (int i = 0; i < n; ++i) c[i] /= abs_sum;
}

}  // namespace

SmoothingWindow::SmoothingWindow(double (*fn)(int, int), int n)
    : length(n), coefficients(n > 0 ? n : 0)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        coefficients[i] = fn(i, n);
        sum += std::fabs(coefficients[i]);
    }
    normalise(coefficients.data(), n, sum);
}

SmoothingWindow::SmoothingWindow(double const* src, int n) : length(n), coefficients(n > 0 ? n : 0)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        coefficients[i] = src[i];
        sum += std::fabs(coefficients[i]);
    }
    normalise(coefficients.data(), n, sum);
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

void movingWindow4(double* data, int n, SmoothingWindow const& w)
{
    const int L = w.length;
    if (n < L) {
        std::printf("Data length must be larger than window length!\n");
        return;
    }
    if (L <= 0 || n <= 0) return;  // no taps: nothing to average

    // The copy of the input is kept between calls: the worker smooths two
    // channels per event and should not allocate for each of them.
    static thread_local std::vector<double> temp;
    temp.assign(data, data + n);
    const double* t = temp.data();
    const double* c = w.coefficients.data();

    const int h = L / 2;
    // An even kernel has no centre tap; it is applied with the taps
    // 0 .. L - 1 that exist, never reading past the coefficients.
    const int taps = (2 * h + 1 < L) ? 2 * h + 1 : L;

    // Interior: every tap falls inside the data, the divisor is always the
    // same sum, and each output's products are summed in tap order with one
    // accumulator, at the vector width chosen at run time (every width gives
    // the same bits).
    const int lo = h;                 // first i with i - h >= 0
    const int hi = n - taps + h;      // last i with i - h + taps <= n
    double full_norm = 0.0;
    for (int m = 0; m < taps; ++m) full_norm += std::fabs(c[m]);
    if (hi >= lo) {
        const int count = hi - lo + 1;
        switch (zorv_fit::vector_width()) {
        case 8: interior_avx512(data + lo, t + (lo - h), c, taps, count, full_norm); break;
        case 4: interior_avx2(data + lo, t + (lo - h), c, taps, count, full_norm); break;
        default: interior_sse2(data + lo, t + (lo - h), c, taps, count, full_norm); break;
        }
    }

    // Ends: taps outside the data are dropped, the rest renormalised. The
    // outputs below lo and above hi (all of them when the interior is empty).
    auto end_output = [&](int i) {
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
    };
    if (hi < lo) {
        for (int i = 0; i < n; ++i) end_output(i);
        return;
    }
    for (int i = 0; i < lo; ++i) end_output(i);
    for (int i = hi + 1; i < n; ++i) end_output(i);
}
