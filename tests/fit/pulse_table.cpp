// Writes a table of the fitter's pulse model for the Python model to be
// compared with (python/tests): for a set of parameter vectors, single and
// two pulses, narrow to wide, the model at 2,500 abscissae each, dense
// around the pulses, fractional, and well before and after them.
//
// Output on standard output, "%.17g" throughout:
//   p A1 lambda B t1 sigma C A2 t2 pulses     (pulses: 1 or 2)
//   x model(x)                                 (2,500 lines)
// The model is taken from the residuals of initialize_J_rr (fit_oracles.h)
// with y = 0, whose rows come from the very templates the fitter evaluates; a
// single-pulse set locks parameters 6 and 7, as the worker does for a channel
// with one peak.
#include <cstdio>

#include "fit_oracles.h"

namespace {

struct Case {
    double p[kFitParams];
    int pulses;
};

Case const cases[] = {
    {{15330.0, -0.0015, -28000.0, 1250.0, 3.0, 5000.0, 0.0, 1500.0}, 1},
    {{38236.0, -0.00149987, -27123.5, 1249.37, 1.131, 0.0, 0.0, 1500.0}, 1},
    {{12000.0, -0.0015, -24000.0, 300.25, 0.5, 9999.0, 0.0, 1500.0}, 1},
    {{20000.0, -0.004, 100.0, 2000.0, 12.0, -300.0, 0.0, 1500.0}, 1},
    {{15330.0, -0.0015, -28000.0, 800.0, 2.0, 4000.0, 9000.0, 1400.5}, 2},
    {{30000.0, -0.0015, -26500.0, 1250.0, 4.5, 0.0, 30000.0, 1460.0}, 2},
    {{5000.0, -0.0009, 0.0, 210.0, 1.0, 1000.0, 25000.0, 2300.0}, 2},
    {{14000.0, -0.0015, -28000.0, 1000.0, 8.0, 2000.0, -3000.0, 1700.0}, 2},
};

}  // namespace

int main()
{
    static double data[kFitPoints][2];
    static double J[kFitPoints][kFitParams];
    static double r[kFitPoints];
    for (Case const& c : cases) {
        double p[kFitParams];
        for (int j = 0; j < kFitParams; ++j) p[j] = c.p[j];
        zorv_fit::FreeParams free;
        if (c.pulses == 1) free.lock(6).lock(7);
        // 500 points every 6.4 samples from -300, then 1,000 points in steps
        // of 0.0625 around each pulse position (2,000 for a single pulse).
        int i = 0;
        for (; i < 500; ++i) data[i][0] = -300.0 + 6.4 * i;
        for (int k = 0; i < kFitPoints; ++i, ++k) {
            double t = (c.pulses == 2 && k >= 1000) ? p[7] : p[3];
            data[i][0] = t - 31.25 + 0.0625 * (k % 1000);
            if (c.pulses == 1 && k >= 1000) data[i][0] = t + 31.25 + 0.3125 * (k - 1000);
        }
        for (i = 0; i < kFitPoints; ++i) data[i][1] = 0.0;
        zorv_fit::initialize_J_rr(&data, p, J, r, free);
        std::printf("p");
        for (int j = 0; j < kFitParams; ++j) std::printf(" %.17g", p[j]);
        std::printf(" %d\n", c.pulses);
        for (i = 0; i < kFitPoints; ++i) std::printf("%.17g %.17g\n", data[i][0], -r[i]);
    }
    return 0;
}
