/*
 * Single-pulse model, parameter draws and events of zorv_gen.
 *
 * Amplitude: 30 % from a line at 15330 (0.3 % wide), 20 % from a line at
 * 38236 (0.15 % wide), the rest flat between 12,000 and 42,000.
 * Decay rate -0.0015 (0.05 %), baseline -28000 (5 %), position 1250 (5 %),
 * width flat in 1 .. 5 samples, tail flat in 0 .. 10,000.
 * Noise: Gaussian, standard deviation 50, one draw per sample.
 */
#include "generator/synth.h"

#include "generator/random.h"

#include <cmath>

double zorv_synth::f(double x, double* p)
{
    double A = p[0], l = p[1], B = p[2], t = p[3], s = p[4], C = p[5];
    double E = std::exp((x - t) * l + 0.5 * l * l * s * s);
    double R = std::erf((-l * s * s - (x - t)) / (s * 1.4142135623730951));
    return E * 0.5 * A * (1 - R) + B + std::exp(x * l) * C;
}

void generate_params(double* p)
{
    double u = uniform();
    if (u < 0.3)
        p[0] = (normal() * 0.003 + 1.0) * 15330.0;
    else if (u < 0.5)
        p[0] = (normal() * 0.0015 + 1.0) * 38236.0;
    else
        p[0] = uniform() * 30000.0 + 12000.0;
    p[1] = (normal() * 0.0005 + 1.0) * (-0.0015);
    p[2] = (normal() * 0.05 + 1.0) * (-28000.0);
    p[3] = (normal() * 0.05 + 1.0) * 1250.0;
    p[4] = uniform() * 4.0 + 1.0;
    p[5] = uniform() * 10000.0;
}

std::int16_t to_sample(double v)
{
    std::int32_t i = static_cast<std::int32_t>(v);
    // Low 16 bits as two's complement; the conversion of an out-of-range
    // value to a signed type is defined (modulo 2^16) since C++20 and by
    // every compiler we use before it.
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(i & 0xFFFF));
}

void make_event(std::int16_t* samples)
{
    double a[6], b[6];
    generate_params(a);
    generate_params(b);
    for (int j = 0; j < kSamples; ++j) {
        double x = j;
        double fa = zorv_synth::f(x, a);
        samples[2 * j] = to_sample(normal() * 50.0 + fa);
        double fb = zorv_synth::f(x, b);
        samples[2 * j + 1] = to_sample(normal() * 50.0 + fb);
    }
}

void encode_event(std::int16_t const* samples, unsigned char* record)
{
    for (int k = 0; k < kRecordShorts; ++k) {
        std::uint16_t u = static_cast<std::uint16_t>(samples[k]);
        record[2 * k] = static_cast<unsigned char>(u & 0xFF);
        record[2 * k + 1] = static_cast<unsigned char>(u >> 8);
    }
}
