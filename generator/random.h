/*
 * Reproducible random numbers for zorv_gen.
 *
 * One global stream: a Lehmer multiplicative congruential generator
 *   s' = 69621 * s  mod  (2^31 - 1),
 * a uniform deviate s' / (2^31 - 1) in (0, 1), and a standard normal deviate
 * from the Box-Muller transform that keeps its second value for the next call.
 *
 * The synthetic files must be identical to the last bit on every machine, so
 * everything here is part of the output: the order of the two uniforms, that
 * the sine branch comes first and the cosine branch second, and that seeding
 * (assigning generator_state) leaves a cached normal deviate in place.
 */
#ifndef ZORV_GENERATOR_RANDOM_H
#define ZORV_GENERATOR_RANDOM_H

#include <cstdint>

// Last value produced by the generator, and the seed before the first step.
// Seed by assigning it; valid seeds are 1 .. 2147483646 (0 is a fixed point).
extern std::int32_t generator_state;

// 1 while normal_value holds a deviate not yet handed out, else 0.
extern std::int32_t normal_state;

// Cosine branch of the last Box-Muller pair.
extern double normal_value;

// One generator step; returns the new state (1 .. 2147483646), unreduced.
std::int32_t random_int();

// One generator step; returns the new state / 2147483647.0, strictly in (0, 1).
double uniform();

// Standard normal deviate (mean 0, variance 1); takes two steps every second
// call and none in between.
double normal();

#endif
