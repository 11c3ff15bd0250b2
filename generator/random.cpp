/*
 * Lehmer generator (multiplier 69621, modulus 2^31 - 1) and Box-Muller
 * normal deviates with one cached value.
 *
 * Step:    s' = (s * 69621) mod 2147483647 in signed 64-bit arithmetic; the
 *          product of a 31-bit state and a 17-bit multiplier cannot overflow.
 * Uniform: u = s' / 2147483647.0.
 * Normal:  u1, u2 from two steps; r = sqrt(-2 ln u1), theta = 2 pi u2;
 *          return r sin(theta), keep r cos(theta) for the next call.
 */
#include "generator/random.h"

#include <cmath>

std::int32_t generator_state = 1;
std::int32_t normal_state = 0;
double normal_value = 0.0;

namespace {

constexpr std::int64_t lehmer_multiplier = 69621;
constexpr std::int64_t lehmer_modulus = 2147483647;
constexpr double lehmer_modulus_d = 2147483647.0;
constexpr double two_pi = 6.283185307179586;

inline std::int32_t step()
{
    std::int64_t s = generator_state;
    generator_state = static_cast<std::int32_t>((s * lehmer_multiplier) % lehmer_modulus);
    return generator_state;
}

} // namespace

std::int32_t random_int()
{
    return step();
}

double uniform()
{
    return static_cast<double>(step()) / lehmer_modulus_d;
}

double normal()
{
    if (normal_state != 0) {
        normal_state = 0;
        return normal_value;
    }
    normal_state = 1;
    double u1 = uniform(); /* feeds the radius */
    double u2 = uniform(); /* feeds the angle */
    double r = std::sqrt(std::log(u1) * (-2.0));
    double theta = u2 * two_pi;
    double s = std::sin(theta);
    double c = std::cos(theta);
    normal_value = r * c;
    return r * s;
}
