/*
 * Synthetic coincidence events for zorv_gen.
 *
 * Each channel holds one pulse of the single-pulse model
 *   f(x) = exp((x - t) l + l^2 s^2 / 2) A/2 (1 - erf((-l s^2 - (x - t)) / (s sqrt 2)))
 *          + B + C exp(l x),
 * an exponentially modified Gaussian of amplitude A, decay rate l < 0,
 * position t and width s on a baseline B, plus a tail C exp(l x) measured
 * from x = 0. It is zorv_mpi's fit model with the second pulse switched off,
 * so fitting these events must give back the drawn parameters.
 *
 * Parameters p[0..5] = A, l, B, t, s, C, the first six slots of zorv_mpi's
 * parameter vector.
 */
#ifndef ZORV_GENERATOR_SYNTH_H
#define ZORV_GENERATOR_SYNTH_H

#include <cstdint>

#include "formats/record_format.h"

namespace zorv_synth {

// The single-pulse model at x; reads p[0] .. p[5]. The order of evaluation
// is fixed: the synthetic files depend on it to the last bit. In a namespace
// of its own: the fit library has an f of its own with the same signature.
double f(double x, double* p);

}  // namespace zorv_synth

// Draws a parameter set into p[0] .. p[5] from the global random stream:
// one uniform choosing the amplitude line, then amplitude, decay rate,
// baseline, position, width and tail in that order.
void generate_params(double* p);

// A sample from the model value plus noise: truncated toward zero to a
// 32-bit integer, then its low 16 bits. Values beyond the 16-bit range
// wrap modulo 65536 (a baseline drawn below -32768 does that); they are not
// clamped, so that the file shows what a 16-bit digitiser would have stored.
std::int16_t to_sample(double v);

// One event: the channel A parameter set, the channel B set, then for each
// x = 0 .. 2,499 the A sample and the B sample, each with its own noise draw.
// samples[2 j] is channel A and samples[2 j + 1] channel B at x = j.
void make_event(std::int16_t* samples);

// The event as its 10,000-byte record: sample by sample, low byte first,
// whatever the byte order of the host.
void encode_event(std::int16_t const* samples, unsigned char* record);

#endif
