// Troublesome raw channels for the hardening tests. The pulses are drawn from
// the pulse model itself, on a baseline of -28,000 like the synthetic files.

#include "test_hardening_traces.h"

#include <cmath>

#include "fit/pulse_model.h"

using zorv_fit::f;

namespace {

constexpr double kBaseline = -28000.0;
constexpr double kLambda = -0.0015;

// What a 16-bit digitiser records for a value: rounded and cut at its range.
int16_t digitise(double y)
{
    if (!(y < 32767.0)) return 32767;
    if (y < -32768.0) return -32768;
    return static_cast<int16_t>(std::lround(y));
}

void model_trace(std::vector<int16_t>& s, double const* p, double noise, Rng& rng)
{
    double q[8];
    for (int j = 0; j < 8; ++j) q[j] = p[j];
    for (int k = 0; k < 2500; ++k) s[k] = digitise(f(k, q) + noise * rng.normal());
}

}  // namespace

char const* trace_kind_name(int kind)
{
    static char const* const names[kTraceKinds] = {
        "pulse", "two pulses", "top", "bottom", "flat", "random bytes",
        "alternating", "spikes", "clipped", "dropout", "step", "tail from top"};
    return kind >= 0 && kind < kTraceKinds ? names[kind] : "?";
}

std::vector<int16_t> hardening_trace(int kind, Rng& rng)
{
    std::vector<int16_t> s(2500, static_cast<int16_t>(kBaseline));
    double const t1 = 250.0 + 1900.0 * rng.uniform();
    double const amplitude = 12000.0 + 28000.0 * rng.uniform();
    double const width = 1.0 + 4.0 * rng.uniform();
    switch (kind) {
    case kPulse: {
        double tail = 1500.0 * rng.uniform();
        double p[8] = {amplitude, kLambda, kBaseline, t1, width, tail, 0.0, 1500.0};
        model_trace(s, p, 20.0, rng);
        break;
    }
    case kTwoPulses: {
        double t0 = 250.0 + 1200.0 * rng.uniform();
        double p[8] = {amplitude, kLambda, kBaseline, t0, width, 0.0,
                       12000.0 + 28000.0 * rng.uniform(), t0 + 300.0 + 400.0 * rng.uniform()};
        model_trace(s, p, 20.0, rng);
        break;
    }
    case kTop:
        for (auto& v : s) v = 32767;
        break;
    case kBottom:
        for (auto& v : s) v = -32768;
        break;
    case kFlat: {
        int16_t value = static_cast<int16_t>(static_cast<int>(rng.bits() & 0xffff) - 32768);
        for (auto& v : s) v = value;
        break;
    }
    case kRandomBytes:
        for (auto& v : s) v = static_cast<int16_t>(static_cast<int>(rng.bits() & 0xffff) - 32768);
        break;
    case kAlternating:
        for (int k = 0; k < 2500; ++k) s[k] = (k % 2 == 0) ? 32767 : -32768;
        break;
    case kSpikes: {
        int n = 1 + static_cast<int>(3.0 * rng.uniform());
        for (int i = 0; i < n; ++i) {
            int k = static_cast<int>(2500.0 * rng.uniform());
            s[k] = rng.uniform() < 0.7 ? 32767 : -32768;
        }
        break;
    }
    case kClipped: {
        // From a few samples cut to a flat top of a dozen.
        double p[8] = {65000.0 + 60000.0 * rng.uniform(), kLambda, kBaseline, t1, width, 0.0, 0.0,
                       1500.0};
        model_trace(s, p, 20.0, rng);
        break;
    }
    case kDropout: {
        double p[8] = {amplitude, kLambda, kBaseline, t1, width, 0.0, 0.0, 1500.0};
        model_trace(s, p, 20.0, rng);
        int top = 0;
        for (int k = 1; k < 2500; ++k)
            if (s[k] > s[top]) top = k;
        s[top] = -32768;
        break;
    }
    case kStep: {
        int from = static_cast<int>(t1);
        for (int k = from; k < 2500; ++k) s[k] = 32767;
        break;
    }
    case kTailFromTop:
    default: {
        double p[8] = {amplitude, kLambda, kBaseline, t1, width, 32767.0 - kBaseline, 0.0, 1500.0};
        model_trace(s, p, 20.0, rng);
        break;
    }
    }
    return s;
}

int draw_trace_kind(Rng& rng)
{
    double u = rng.uniform();
    if (u < 0.4) return kPulse;
    if (u < 0.5) return kTwoPulses;
    int k = kTop + static_cast<int>((u - 0.5) / 0.5 * (kTraceKinds - kTop));
    return k < kTraceKinds ? k : kTraceKinds - 1;
}

std::vector<int16_t> hardening_event(int kind_a, int kind_b, Rng& rng)
{
    std::vector<int16_t> a = hardening_trace(kind_a, rng);
    std::vector<int16_t> b = hardening_trace(kind_b, rng);
    std::vector<int16_t> e(5000);
    for (int k = 0; k < 2500; ++k) {
        e[2 * k] = a[k];
        e[2 * k + 1] = b[k];
    }
    return e;
}
