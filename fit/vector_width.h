// The width of vector unit that the fused pass and the smoothing use, chosen
// when the program runs: the widest this CPU offers, so that one binary runs
// on any x86-64 and uses AVX2 or AVX-512 where they exist. Every width gives
// the same bits (each lane is an ordinary IEEE operation on doubles, and no
// width fuses a multiply and an add), so the choice only changes the speed.
#ifndef ZORV_FIT_VECTOR_WIDTH_H
#define ZORV_FIT_VECTOR_WIDTH_H

namespace zorv_fit {

// Doubles per vector: 2 (SSE2, every x86-64), 4 (AVX2), 8 (AVX-512F with
// AVX-512VL).
int widest_vector_width();

// The width in use: the widest, or less when the environment variable
// ZORV_SIMD names a narrower unit (sse2, avx2) or set_vector_width asked for
// less. Read once, on first use.
int vector_width();

// For tests and benchmarks that compare the widths: use at most `lanes`
// doubles per vector (never more than the CPU has). Returns the width now in
// use.
int set_vector_width(int lanes);

}  // namespace zorv_fit

#endif
