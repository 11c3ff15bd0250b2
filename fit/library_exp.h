// The C library's exp, called without its errno wrapper.
//
// glibc's exp is a thin wrapper that calls the exponential itself and then
// sets errno on overflow and underflow; on this code's hot path (thousands of
// calls per fit iteration) the wrapper costs about a third of each call, and
// nothing here reads errno. glibc still exports the exponential itself as
// __exp_finite (version GLIBC_2.15), the very routine the wrapper calls,
// chosen for the CPU the same way; library_exp is that routine when the C
// library has it, and exp otherwise. Either way the values are exp's to the
// last bit (tests/test_exact_calls.cpp compares them).
#ifndef ZORV_FIT_LIBRARY_EXP_H
#define ZORV_FIT_LIBRARY_EXP_H

namespace zorv_fit {

extern double (*const library_exp)(double);

}  // namespace zorv_fit

#endif
