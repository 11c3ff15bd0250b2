// The table of the C library's exponential: 2^(i/128), i = 0..127, as a head
// and a tail.
//
// The library's exp (glibc 2.36, x86-64) writes x = k ln2/128 + r and
// 2^(k/128) = 2^floor(k/128) 2^(i/128), i = k mod 128, with
//   2^(i/128) ~= H_i (1 + T_i),  H_i = 2^(i/128) rounded to double,
//                                T_i = (2^(i/128) - H_i) / H_i rounded,
// and keeps, per i, the bits of T_i and the bits of H_i less i << 45 (so that
// adding k << 45 puts floor(k/128) into the exponent and gives the bits of
// 2^floor(k/128) H_i). lane_exp.cpp reads this table.
//
// T_i is a rounding of a number near 2^-55: getting its last bit right needs
// 2^(i/128) to about 2^-125, more than __float128's 113 bits (with them,
// eight of the 128 tails come out one unit off). So the roots are formed in
// pairs of __float128 (about 220 bits).
#ifndef ZORV_FIT_EXP_TABLE_H
#define ZORV_FIT_EXP_TABLE_H

#include <cstdint>

namespace zorv_fit {

constexpr int kExpTableSize = 128;

// tab (out) 2 kExpTableSize words: tab[2i] = bits of T_i,
//           tab[2i + 1] = bits of H_i - (i << 45).
void build_exp_table(uint64_t* tab);

}  // namespace zorv_fit

#endif
