// Fused residual, Jacobian and normal-equation pass (see normal_pass.h).
//
// Per block of rows: (1) the arguments of every exp and erf, two rows at a
// time; (2) the library calls alone, in tight loops; (3) the rows of J and r,
// two rows at a time, compacted to the free columns with r appended; (4) the
// lower triangle of [J_free r]^T [J_free r], which holds N, b (its last row)
// and SSR (its last diagonal entry). Pairs of doubles use the compiler's
// vector extension: each lane is an ordinary IEEE operation, so the lanes
// round exactly as scalar code does.
#include "normal_pass.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "pulse_terms.h"

namespace zorv_fit {

namespace {

typedef double v2d __attribute__((vector_size(16)));
typedef long long v2i __attribute__((vector_size(16)));

inline v2d load2(double const* a)
{
  v2d v;
  std::memcpy(&v, a, sizeof v);
  return v;
}

inline void store2(double* a, v2d v) { std::memcpy(a, &v, sizeof v); }

inline v2d splat(double a) { return v2d{a, a}; }

// x and y of points n and n + 1.
inline void load_xy(double const (*pt)[2], v2d& x, v2d& y)
{
  v2d const a = load2(pt[0]);
  v2d const c = load2(pt[1]);
  x = __builtin_shuffle(a, c, v2i{0, 2});
  y = __builtin_shuffle(a, c, v2i{1, 3});
}

// Phase 1: arguments of the special functions for rows [base, base + kBlock).
template <int kPulses>
void block_arguments(double const (*pt)[2], PulseShape const& k, double const* t, bool need_lx,
                     PassScratch& s)
{
  v2d const l = splat(k.l), u0 = splat(k.u0), g0 = splat(k.g0), rs = splat(k.rs);
  v2d const s2x2 = splat(k.s2x2);
  for (int n = 0; n < kBlock; n += 2) {
    v2d x, y;
    load_xy(pt + n, x, y);
    if (need_lx) store2(s.lx + n, l * x);
    for (int q = 0; q < kPulses; ++q) {
      v2d const d = x - splat(t[q]);
      v2d const g = g0 - d;
      store2(s.u[q] + n, d * l + u0);
      store2(s.z[q] + n, g / rs);
      store2(s.w[q] + n, -g * g / s2x2);
    }
  }
}

// Phase 2: the library calls, nothing else.
template <int kPulses>
void block_calls(bool need_lx, PassScratch& s)
{
  if (need_lx)
    for (int n = 0; n < kBlock; ++n) s.e[n] = std::exp(s.lx[n]);
  for (int q = 0; q < kPulses; ++q) {
    for (int n = 0; n < kBlock; ++n) s.eu[q][n] = std::exp(s.u[q][n]);
    for (int n = 0; n < kBlock; ++n) s.erfz[q][n] = std::erf(s.z[q][n]);
    for (int n = 0; n < kBlock; ++n) s.ew[q][n] = std::exp(s.w[q][n]);
  }
}

// Stores columns cols[0..m) of rows n and n + 1 (lane 0 and lane 1) as
// rows[n][0..m) and rows[n + 1][0..m), a pair of columns at a time; an odd m
// is padded with a zero column.
inline void store_rows(v2d const* cols, int m, double* row0, double* row1)
{
  for (int c = 0; c < m; c += 2) {
    v2d const hi = c + 1 < m ? cols[c + 1] : splat(0.0);
    store2(row0 + c, __builtin_shuffle(cols[c], hi, v2i{0, 2}));
    store2(row1 + c, __builtin_shuffle(cols[c], hi, v2i{1, 3}));
  }
}

// Phase 3: rows of J (free columns) and r, by the expressions of
// initialize_J_rr. kLayout > 0 is a known mask (free: A1, B, t1, sigma, C,
// plus lambda when kLayout is 2, plus A2 and t2 when kPulses is 2), laid out
// at compile time; kLayout 0 gathers any mask through free_idx.
template <int kPulses, int kLayout>
void block_rows(double const (*pt)[2], double const* p, PulseShape const& k, double const* e_in,
                int const* free_idx, int nf, PassScratch& s)
{
  v2d const l = splat(k.l), l2s = splat(k.l2s), s2 = splat(k.s2), g0 = splat(k.g0);
  v2d const rs = splat(k.rs), rs_inv = splat(k.rs_inv);
  v2d const A1 = splat(p[0]), B = splat(p[2]), t1 = splat(p[3]), C = splat(p[5]);
  v2d const A2 = splat(p[6]), t2 = splat(p[7]);
  for (int n = 0; n < kBlock; n += 2) {
    v2d x, y;
    load_xy(pt + n, x, y);
    v2d const e = load2(e_in + n);
    v2d J[kFitParams];

    v2d const d1 = x - t1;
    v2d const h1 = 0.5 * load2(s.eu[0] + n);
    v2d const g1 = g0 - d1;
    v2d const c1 = 1.0 - load2(s.erfz[0] + n);
    v2d const q1 = kInvSqrtPi * load2(s.ew[0] + n);
    v2d const a1h1 = A1 * h1;
    v2d r;
    J[0] = h1 * c1;
    J[2] = splat(1.0);
    J[3] = a1h1 * (-l * c1 - rs_inv * q1);
    J[5] = e;
    if (kPulses == 1) {
      r = y - (a1h1 * c1 + B + C * e);
      if (kLayout != 1) J[1] = C * x * e + a1h1 * (-g1 * c1 + rs * q1);
      J[4] = a1h1 * (l2s * c1 - kSqrt2 * (d1 / s2 - l) * q1);
      J[6] = J[7] = splat(0.0);
    } else {
      v2d const d2 = x - t2;
      v2d const h2 = 0.5 * load2(s.eu[1] + n);
      v2d const g2 = g0 - d2;
      v2d const c2 = 1.0 - load2(s.erfz[1] + n);
      v2d const q2 = kInvSqrtPi * load2(s.ew[1] + n);
      v2d const a2h2 = A2 * h2;
      r = y - (a1h1 * c1 + a2h2 * c2 + B + C * e);
      if (kLayout != 1)
        J[1] = C * x * e + a1h1 * (-g1 * c1 + rs * q1) + a2h2 * (-g2 * c2 + rs * q2);
      J[4] = a1h1 * (l2s * c1 - kSqrt2 * (d1 / s2 - l) * q1) +
             a2h2 * (l2s * c2 - kSqrt2 * (d2 / s2 - l) * q2);
      J[6] = h2 * c2;
      J[7] = a2h2 * (-l * c2 - rs_inv * q2);
    }

    if (kLayout == 0) {
      v2d cols[kFitParams + 1];
      for (int c = 0; c < nf; ++c) cols[c] = J[free_idx[c]];
      cols[nf] = r;
      store_rows(cols, nf + 1, s.rows[n], s.rows[n + 1]);
    } else {
      constexpr int kCols = 5 + (kLayout == 2) + 2 * (kPulses == 2) + 1;
      v2d cols[kCols];
      int c = 0;
      cols[c++] = J[0];
      if (kLayout == 2) cols[c++] = J[1];
      cols[c++] = J[2];
      cols[c++] = J[3];
      cols[c++] = J[4];
      cols[c++] = J[5];
      if (kPulses == 2) {
        cols[c++] = J[6];
        cols[c++] = J[7];
      }
      cols[c] = r;
#pragma GCC unroll 5
      for (int cc = 0; cc < kCols; cc += 2) {
        v2d const hi = cc + 1 < kCols ? cols[cc + 1] : splat(0.0);
        store2(s.rows[n] + cc, __builtin_shuffle(cols[cc], hi, v2i{0, 2}));
        store2(s.rows[n + 1] + cc, __builtin_shuffle(cols[cc], hi, v2i{1, 3}));
      }
    }
  }
}

// Phase 4: acc[i][jp] += R_i (R_2jp, R_2jp+1) over the rows of the block, in
// row order, for the M columns R = [J_free r]. Lane 1 of the last pair of an
// even i is the upper-triangle twin of an entry summed elsewhere (or the zero
// pad) and is not used. Rows i in [I0, I1) at a time, so that their
// accumulators (at most 9 pairs) stay in registers: a spilled accumulator
// would chain every row through a store and a load. The pairs (i, jp) of a
// group are enumerated at compile time and expanded into straight-line code.

// Number of pairs (i, jp), jp <= i / 2, for i in [i0, i1).
constexpr int pair_count(int i0, int i1)
{
  int c = 0;
  for (int i = i0; i < i1; ++i) c += i / 2 + 1;
  return c;
}

// Row i and pair jp of the t-th pair counted from row i0.
constexpr int pair_row(int i0, int t)
{
  int i = i0;
  while (t > i / 2) t -= i / 2 + 1, ++i;
  return i;
}

constexpr int pair_col(int i0, int t)
{
  int i = i0;
  while (t > i / 2) t -= i / 2 + 1, ++i;
  return t;
}

template <int I0, int T>
struct Pair {
  static constexpr int i = pair_row(I0, T);
  static constexpr int jp = pair_col(I0, T);
};

template <int I0, int... T>
inline void load_acc(v2d* a, v2d const (*acc)[5], std::integer_sequence<int, T...>)
{
  ((a[T] = acc[Pair<I0, T>::i][Pair<I0, T>::jp]), ...);
}

template <int I0, int... T>
inline void store_acc(v2d const* a, v2d (*acc)[5], std::integer_sequence<int, T...>)
{
  ((acc[Pair<I0, T>::i][Pair<I0, T>::jp] = a[T]), ...);
}

template <int I0, int... T>
inline void multiply_add(v2d* a, double const* row, std::integer_sequence<int, T...>)
{
  ((a[T] += splat(row[Pair<I0, T>::i]) * load2(row + 2 * Pair<I0, T>::jp)), ...);
}

template <int I0, int I1>
void accumulate_rows(PassScratch const& s, v2d (*acc)[5])
{
  constexpr int kCount = pair_count(I0, I1);
  using Seq = std::make_integer_sequence<int, kCount>;
  v2d a[kCount];
  load_acc<I0>(a, acc, Seq{});
  for (int n = 0; n < kBlock; ++n) multiply_add<I0>(a, s.rows[n], Seq{});
  store_acc<I0>(a, acc, Seq{});
}

template <int M>
void block_accumulate(PassScratch const& s, v2d (*acc)[5])
{
  if constexpr (M <= 5) {
    accumulate_rows<0, M>(s, acc);
  } else if constexpr (M <= 7) {
    accumulate_rows<0, 5>(s, acc);
    accumulate_rows<5, M>(s, acc);
  } else {
    accumulate_rows<0, 5>(s, acc);
    accumulate_rows<5, 7>(s, acc);
    accumulate_rows<7, M>(s, acc);
  }
}

void accumulate(int M, PassScratch const& s, v2d (*acc)[5])
{
  switch (M) {
    case 1: block_accumulate<1>(s, acc); break;
    case 2: block_accumulate<2>(s, acc); break;
    case 3: block_accumulate<3>(s, acc); break;
    case 4: block_accumulate<4>(s, acc); break;
    case 5: block_accumulate<5>(s, acc); break;
    case 6: block_accumulate<6>(s, acc); break;
    case 7: block_accumulate<7>(s, acc); break;
    case 8: block_accumulate<8>(s, acc); break;
    default: block_accumulate<9>(s, acc); break;
  }
}

template <int kPulses, int kLayout>
void pass(double (*data)[kFitPoints][2], double const* p, double const* exp_lx,
          int const* free_idx, int nf, PassScratch& s, v2d (*acc)[5])
{
  PulseShape const k = pulse_shape(p[1], p[4]);
  double const t[2] = {p[3], p[7]};
  bool const need_lx = exp_lx == nullptr;
  int const M = nf + 1;
  for (int n = 0; n < kBlock; ++n) s.rows[n][M] = 0.0;  // pad, odd M
  for (int base = 0; base < kFitPoints; base += kBlock) {
    double const(*pt)[2] = (*data) + base;
    block_arguments<kPulses>(pt, k, t, need_lx, s);
    block_calls<kPulses>(need_lx, s);
    block_rows<kPulses, kLayout>(pt, p, k, need_lx ? s.e : exp_lx + base, free_idx, nf, s);
    accumulate(M, s, acc);
  }
}

}  // namespace

void exp_lambda_x(double (*data)[kFitPoints][2], double lambda, double* out)
{
  for (int i = 0; i < kFitPoints; ++i) out[i] = std::exp(lambda * (*data)[i][0]);
}

void normal_pass(double (*data)[kFitPoints][2], double const* p, int const* lock,
                 double const* exp_lx, PassScratch& s, double (*N)[kFitParams], double* b,
                 double* ssr)
{
  int free_idx[kFitParams];
  int nf = 0;
  for (int j = 0; j < kFitParams; ++j)
    if (lock[j] != 1) free_idx[nf++] = j;

  v2d acc[kFitParams + 1][5];
  for (auto& row : acc)
    for (v2d& v : row) v = splat(0.0);

  // The masks of the program's fits get a layout fixed at compile time.
  bool const single = lock[6] == 1 && lock[7] == 1;
  bool const shape_free = lock[0] != 1 && lock[2] != 1 && lock[3] != 1 && lock[4] != 1 && lock[5] != 1;
  bool const second_free = lock[6] != 1 && lock[7] != 1;
  int const layout = !shape_free || !(single || second_free) ? 0 : lock[1] == 1 ? 1 : 2;
  if (single) {
    if (layout == 1) pass<1, 1>(data, p, exp_lx, free_idx, nf, s, acc);
    else if (layout == 2) pass<1, 2>(data, p, exp_lx, free_idx, nf, s, acc);
    else pass<1, 0>(data, p, exp_lx, free_idx, nf, s, acc);
  } else {
    if (layout == 1) pass<2, 1>(data, p, exp_lx, free_idx, nf, s, acc);
    else if (layout == 2) pass<2, 2>(data, p, exp_lx, free_idx, nf, s, acc);
    else pass<2, 0>(data, p, exp_lx, free_idx, nf, s, acc);
  }

  // Unpack the lower triangle of [J_free r]^T [J_free r].
  for (int i = 0; i < nf; ++i)
    for (int j = 0; j <= i; ++j) N[free_idx[i]][free_idx[j]] = acc[i][j / 2][j % 2];
  for (int j = 0; j < nf; ++j) b[free_idx[j]] = acc[nf][j / 2][j % 2];
  *ssr = acc[nf][nf / 2][nf % 2];
}

}  // namespace zorv_fit
