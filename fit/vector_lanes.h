// Vectors of 2, 4 and 8 doubles (GCC's vector extension) and the few lane
// operations the fused pass and the smoothing need beyond plain arithmetic.
//
// The code that uses them is written once, as templates over the vector type,
// and every helper here is always inlined: a template instantiated inside a
// function compiled for AVX2 or AVX-512 (target attribute) is then compiled
// for that unit, while the same source serves SSE2 everywhere else. Nothing
// here fuses a multiply and an add, so every width rounds like scalar code.
#ifndef ZORV_FIT_VECTOR_LANES_H
#define ZORV_FIT_VECTOR_LANES_H

#include <cstring>

#include "fit/pulse_terms.h"

namespace zorv_fit {

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef long long v2i __attribute__((vector_size(16)));
typedef long long v4i __attribute__((vector_size(32)));
typedef long long v8i __attribute__((vector_size(64)));

template <class V>
constexpr int kLanes = sizeof(V) / sizeof(double);

// The lane mask of a comparison of two V.
template <class V>
using MaskOf = decltype(V{} < V{});

template <class V>
ZORV_INLINE V load(double const* a)
{
  V v;
  std::memcpy(&v, a, sizeof v);
  return v;
}

template <class V>
ZORV_INLINE void store(double* a, V v)
{
  std::memcpy(a, &v, sizeof v);
}

// Whether every lane of a comparison holds, or any lane: halves folded onto
// each other, then lane 0.
template <class M>
ZORV_INLINE M fold_and(M m)
{
  if constexpr (sizeof(M) == 64) {
    m &= __builtin_shuffle(m, M{4, 5, 6, 7, 4, 5, 6, 7});
    m &= __builtin_shuffle(m, M{2, 3, 2, 3, 2, 3, 2, 3});
    m &= __builtin_shuffle(m, M{1, 1, 1, 1, 1, 1, 1, 1});
  } else if constexpr (sizeof(M) == 32) {
    m &= __builtin_shuffle(m, M{2, 3, 2, 3});
    m &= __builtin_shuffle(m, M{1, 1, 1, 1});
  } else {
    m &= __builtin_shuffle(m, M{1, 1});
  }
  return m;
}

template <class M>
ZORV_INLINE bool all_lanes(M m)
{
  return fold_and(m)[0] != 0;
}

template <class M>
ZORV_INLINE bool any_lane(M m)
{
  return fold_and(~m)[0] == 0;
}

// One step of an in-register transpose: swaps bit b of the vector index with
// bit b of the lane index for the pair c[k], c[k + b] (bit b of k clear).
// Lanes with bit b clear in c[k] and set in c[k + b] stay; the others cross.
template <class V, int b>
ZORV_INLINE void transpose_step(V* c)
{
  using M = MaskOf<V>;
  constexpr int W = kLanes<V>;
  M lo = {}, hi = {};
  if constexpr (W == 2) {
    lo = M{0, 2};
    hi = M{1, 3};
  } else if constexpr (b == 1) {
    lo = M{0, 4, 2, 6};
    hi = M{1, 5, 3, 7};
  } else {
    lo = M{0, 1, 4, 5};
    hi = M{2, 3, 6, 7};
  }
#pragma GCC unroll 4
  for (int k = 0; k < W; ++k) {
    if (k & b) continue;
    V const a = c[k], d = c[k + b];
    c[k] = __builtin_shuffle(a, d, lo);
    c[k + b] = __builtin_shuffle(a, d, hi);
  }
}

// c[k][l] becomes c[l][k]: W vectors of W lanes, W = 2 or 4.
template <class V>
ZORV_INLINE void transpose(V* c)
{
  static_assert(kLanes<V> <= 4, "2 or 4 lanes");
  transpose_step<V, 1>(c);
  if constexpr (kLanes<V> == 4) transpose_step<V, 2>(c);
}

}  // namespace zorv_fit

#endif
