// The one random-number source of the tests and benchmarks: splitmix64, with
// Box-Muller for normal deviates. Small, fast and the same on every machine
// and library, so that test data and benchmark inputs are reproducible.
// Also a uniform random bit generator for <algorithm> and <random>
// (std::shuffle, std::uniform_int_distribution).
#ifndef ZORV_TEST_RNG_H
#define ZORV_TEST_RNG_H

#include <cmath>
#include <cstdint>

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    // The top 53 bits of the next splitmix64 output.
    uint64_t bits()
    {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        return z >> 11;
    }
    // Uniform on [0, 1).
    double uniform() { return bits() * 0x1.0p-53; }
    // Uniform on (0, 1): never 0, so that its logarithm is finite.
    double open_uniform() { return (bits() + 0.5) * 0x1.0p-53; }
    double normal()
    {
        return std::sqrt(-2.0 * std::log(open_uniform())) *
               std::cos(6.283185307179586 * open_uniform());
    }

    // Uniform random bit generator: 53 random bits per call.
    using result_type = uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return (uint64_t{1} << 53) - 1; }
    result_type operator()() { return bits(); }
};

#endif
