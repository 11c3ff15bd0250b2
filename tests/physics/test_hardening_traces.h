// Raw channels made to upset the analysis: samples pinned at the ends of the
// 16-bit range, all-equal samples, random bytes, alternating extremes, huge
// spikes, clipped pulses and pulses with a sample torn out, mixed with
// ordinary pulses so that both run phases have enough fits to work with.
#ifndef ZORV_TEST_HARDENING_TRACES_H
#define ZORV_TEST_HARDENING_TRACES_H

#include <cstdint>
#include <vector>

#include "test_rng.h"

enum TraceKind {
    kPulse,        // one pulse, noise of 20
    kTwoPulses,    // two pulses 300 to 700 samples apart
    kTop,          // every sample 32767
    kBottom,       // every sample -32768
    kFlat,         // every sample the same value, drawn from the whole range
    kRandomBytes,  // uniform random 16-bit samples
    kAlternating,  // 32767, -32768, 32767, ...
    kSpikes,       // quiet baseline with one to three samples at 32767 or -32768
    kClipped,      // a pulse far too high for the digitiser, cut at 32767
    kDropout,      // a pulse whose highest sample reads -32768
    kStep,         // baseline, then 32767 to the end
    kTailFromTop,  // starts at 32767 and decays, a pulse on the tail
    kTraceKinds
};

char const* trace_kind_name(int kind);

// The 2,500 samples of one channel of the given kind.
std::vector<int16_t> hardening_trace(int kind, Rng& rng);

// A kind drawn so that about half the channels hold ordinary pulses and the
// other half is spread evenly over the troublesome kinds.
int draw_trace_kind(Rng& rng);

// One event record (5,000 values, sample k of channel c at 2k + c) of two
// channels of the given kinds.
std::vector<int16_t> hardening_event(int kind_a, int kind_b, Rng& rng);

#endif
