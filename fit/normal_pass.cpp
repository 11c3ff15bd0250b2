// Fused residual, Jacobian and normal-equation pass (see normal_pass.h).
//
// Per block of kBlock rows, W rows at a time in the lanes of a vector (W = 2
// with SSE2, 4 with AVX2 or AVX-512, the unit chosen at run time,
// vector_width.h; 8 lanes were measured slower on a Zen 4, whose 512-bit
// operations take two 256-bit passes, so AVX-512 serves with its 32
// registers at 4 lanes):
//   (1) the arguments of every exp and erf;
//   (2) the library calls, skipped where the value is known exactly
//       (pulse_terms.h): for the whole block at once where every point's
//       value is known, point by point otherwise; exp in the lanes of a
//       vector with the library's bits where this process has proved that
//       it can (lane_exp.h);
//   (3) the rows of J and r by the model's templates, reordered to the pass's
//       columns and transposed to rows [J_free r];
//   (4) the lower triangle of [J_free r]^T [J_free r], which holds N, b and
//       SSR: for row i of the triangle, R_i times a vector of R_j, j <= i,
//       added to that vector's accumulators, row after row in order.
//
// Columns that vanish. Ahead of a pulse its amplitude, position and width
// columns are exact zeros. The pass puts the columns that never vanish first
// (lambda, B, C, then r) and the others last (sigma, A1, t1, A2, t2); where
// the last columns are zero in every row of a block, step (4) leaves their
// products out. Against finite values those are +-0, and that changes no
// bit: an accumulator starts at +0, and x + (-x) and +0 + -0 are +0 when
// rounding to nearest, so it is never -0, and adding a signed zero to it
// gives it back unchanged. Against an infinity or a NaN, inf * 0 = NaN must
// still reach the sums; such a value also meets itself on the diagonal, so
// normal_pass runs the whole pass again, nothing left out, when a diagonal
// sum ends up infinite or NaN.
#include "fit/normal_pass.h"

#include <utility>

#include "fit/lane_exp.h"
#include "fit/pulse_terms.h"
#include "fit/vector_lanes.h"
#include "fit/vector_width.h"

namespace zorv_fit {
namespace {

constexpr int kResidual = kFitParams;  // index of r among a row's values

// The pass's column order: never zero ahead of a pulse, then r, then the
// columns that are.
constexpr int kOrder[kPassCols] = {1, 2, 5, kResidual, 4, 0, 3, 6, 7};

// The columns of one pass: value index (parameter, or kResidual) of each.
struct Plan {
  int col[kPassCols];
  int m;          // number of columns
  int vanishing;  // columns from here on may vanish over a block
};

// What a pass needs besides its scratch.
struct PassInput {
  double const (*data)[2];
  double const* p;
  double const* exp_lx;  // null: form exp(lambda x) in the pass
  ExpRuns const* exp;    // the exponential's runs at this width
  PulseShape k;
  double limit[2];  // stand_in_limit of each pulse
  bool single;       // the second pulse left out of the model
  bool lambda_free;  // the decay rate's column is needed
  bool fixed;        // the columns of kOrder: every shape parameter free
  bool skip;         // vanishing columns may be left out of a block
  Plan plan;
};

// The pass at the chosen width, into acc (zeroed first).
void run_pass(PassInput const& in, PassScratch& s, double (*acc)[kRowWidth]);

// x and y of the W points at pt, from the data set's pairs.
template <class V>
ZORV_INLINE void load_xy(double const (*pt)[2], V& x, V& y)
{
  using M = MaskOf<V>;
  V const a = load<V>(pt[0]), b = load<V>(pt[kLanes<V> / 2]);
  if constexpr (kLanes<V> == 2) {
    x = __builtin_shuffle(a, b, M{0, 2});
    y = __builtin_shuffle(a, b, M{1, 3});
  } else {
    x = __builtin_shuffle(a, b, M{0, 2, 4, 6});
    y = __builtin_shuffle(a, b, M{1, 3, 5, 7});
  }
}

// Phase 1: arguments of the library calls.
template <class V, int kPulses>
ZORV_INLINE void block_arguments(PassInput const& in, double const (*pt)[2], PassScratch& s)
{
  double const t[2] = {in.p[3], in.p[7]};
  for (int n = 0; n < kBlock; n += kLanes<V>) {
    V x, y;
    load_xy(pt + n, x, y);
    if (!in.exp_lx) store(s.lx + n, in.k.l * x);
    for (int q = 0; q < kPulses; ++q) {
      PulseArgs<V> const a = pulse_args(in.k, x, t[q]);
      store(s.u[q] + n, a.u);
      store(s.z[q] + n, a.z);
      store(s.w[q] + n, a.w);
    }
  }
}

// Phase 2: the library calls. Where every point's value is known exactly the
// whole block is filled; otherwise its points go one by one through the same
// shortcuts as the plain routines.
template <class V, int kPulses>
ZORV_INLINE void block_calls(PassInput const& in, PassScratch& s)
{
  using M = MaskOf<V>;
  V const zero = splat<V>(0.0), one = splat<V>(1.0);
  if (!in.exp_lx) in.exp->exact(s.lx, s.e, kBlock);
  for (int q = 0; q < kPulses; ++q) {
    // Which values the whole block knows: far ahead of the pulse erf = 1,
    // exp(w) = 0 and h only multiplies zeros; far behind it erf = -1.
    M ahead = zero == zero, behind = ahead, gauss_zero = ahead;
    for (int n = 0; n < kBlock; n += kLanes<V>) {
      V const z = load<V>(s.z[q] + n), w = load<V>(s.w[q] + n), u = load<V>(s.u[q] + n);
      ahead &= (z >= kErfIsOne) & (w <= kExpIsZero) & (u < in.limit[q]);
      behind &= z <= -kErfIsOne;
      gauss_zero &= w <= kExpIsZero;
    }
    if (all_lanes(ahead)) {
      for (int n = 0; n < kBlock; n += kLanes<V>) {
        store(s.erfz[q] + n, one);
        store(s.ew[q] + n, zero);
        store(s.eu[q] + n, splat<V>(kStandIn));
      }
      continue;
    }
    if (all_lanes(behind))
      for (int n = 0; n < kBlock; n += kLanes<V>) store(s.erfz[q] + n, -one);
    else
      in.exp->erf(s.z[q], s.erfz[q], kBlock);
    if (all_lanes(gauss_zero))
      for (int n = 0; n < kBlock; n += kLanes<V>) store(s.ew[q] + n, zero);
    else
      in.exp->exact(s.w[q], s.ew[q], kBlock);
    in.exp->u(s.u[q], s.erfz[q], s.ew[q], in.limit[q], s.eu[q], kBlock);
  }
}

// Phase 3: rows [J_free r] of the block by the model's templates, in the
// pass's column order. kFixed: the columns of the program's own masks (every
// shape parameter free, lambda free when kLambdaColumn, the second pulse free
// when it is in the model), laid out at compile time; otherwise the plan's
// table. Returns how many leading columns the block needs: all of them,
// unless skipping is allowed and the trailing vanishing columns are zero in
// every row of the block.
template <class V, bool kLambdaColumn, int... C>
ZORV_INLINE void fixed_columns(V* col, V const* value, std::integer_sequence<int, C...>)
{
  ((col[C] = value[kOrder[C + !kLambdaColumn]]), ...);
}

template <class V, int kPulses, bool kLambdaColumn, bool kFixed>
ZORV_INLINE int block_rows(PassInput const& in, double const (*pt)[2], double const* e_in,
                           PassScratch& s)
{
  using M = MaskOf<V>;
  constexpr int W = kLanes<V>;
  constexpr int kFixedCols = kLambdaColumn + 6 + 2 * (kPulses == 2);
  int const m = kFixed ? kFixedCols : in.plan.m;
  int const vanishing = kFixed ? kLambdaColumn + 3 : in.plan.vanishing;
  int const chunks = (m + W - 1) / W;
  M nonzero[kPassCols] = {};
  for (int n = 0; n < kBlock; n += W) {
    V x, y;
    load_xy(pt + n, x, y);
    V const e = load<V>(e_in + n);
    PulseTerms<V> const m1 = pulse_terms(pulse_args(in.k, x, in.p[3]), load<V>(s.eu[0] + n),
                                         load<V>(s.erfz[0] + n), load<V>(s.ew[0] + n));
    PulseTerms<V> m2 = m1;
    if constexpr (kPulses == 2)
      m2 = pulse_terms(pulse_args(in.k, x, in.p[7]), load<V>(s.eu[1] + n),
                       load<V>(s.erfz[1] + n), load<V>(s.ew[1] + n));
    V value[kPassCols];
    if constexpr (!kLambdaColumn) value[1] = splat<V>(0.0);
    model_row<V, kPulses, kLambdaColumn>(in.k, in.p, x, y, e, m1, m2, value, value[kResidual]);

    V col[kRowWidth];
    if constexpr (kFixed)
      fixed_columns<V, kLambdaColumn>(col, value, std::make_integer_sequence<int, kFixedCols>{});
    else
      for (int c = 0; c < m; ++c) col[c] = value[in.plan.col[c]];
#pragma GCC unroll 16
    for (int c = m; c < chunks * W; ++c) col[c] = splat<V>(0.0);
#pragma GCC unroll 16
    for (int c = vanishing; c < m; ++c) nonzero[c] |= col[c] != 0.0;
    for (int c = 0; c < m; ++c) store(s.cols[c] + n, col[c]);
#pragma GCC unroll 5
    for (int h = 0; h < chunks; ++h) {
      transpose(col + h * W);
#pragma GCC unroll 4
      for (int l = 0; l < W; ++l) store(s.rows[n + l] + h * W, col[h * W + l]);
    }
  }
  int used = m;
  if (in.skip)
    while (used > vanishing && !any_lane(nonzero[used - 1])) --used;
  return used;
}

// Phase 4. acc[i] + W jc holds the accumulators of row i of the triangle,
// columns W jc .. W jc + W - 1; lanes above the diagonal are twins of entries
// summed elsewhere (or zero padding) and are never read. Rows [I0, I1) of the
// triangle at a time, so that their accumulators stay in registers: a
// spilled accumulator would chain every row through a store and a load. The
// (row, chunk) pairs of a group are enumerated at compile time and expanded
// into straight-line code.

// Accumulator vectors of rows [i0, i1): row i needs i / w + 1.
constexpr int pair_count(int w, int i0, int i1)
{
  int c = 0;
  for (int i = i0; i < i1; ++i) c += i / w + 1;
  return c;
}

// Row and chunk of the t-th pair counted from row i0.
constexpr int pair_row(int w, int i0, int t)
{
  int i = i0;
  while (t > i / w) t -= i / w + 1, ++i;
  return i;
}

constexpr int pair_chunk(int w, int i0, int t)
{
  int i = i0;
  while (t > i / w) t -= i / w + 1, ++i;
  return t;
}

// End of the group starting at row i0 (below p): as many rows as fit in
// `budget` accumulators, at least one.
constexpr int group_end(int w, int budget, int i0, int p)
{
  int i = i0, c = 0;
  while (i < p && c + i / w + 1 <= budget) c += i / w + 1, ++i;
  return i > i0 ? i : i0 + 1;
}

template <class V, int I0, int T>
struct Pair {
  static constexpr int i = pair_row(kLanes<V>, I0, T);
  static constexpr int j = pair_chunk(kLanes<V>, I0, T) * kLanes<V>;
};

template <class V, int I0, int... T>
ZORV_INLINE void accumulate_rows(PassScratch const& s, double (*acc)[kRowWidth],
                                 std::integer_sequence<int, T...>)
{
  V a[sizeof...(T)];
  ((a[T] = load<V>(acc[Pair<V, I0, T>::i] + Pair<V, I0, T>::j)), ...);
  for (int n = 0; n < kBlock; ++n) {
    double const* row = s.rows[n];
    ((a[T] += splat<V>(s.cols[Pair<V, I0, T>::i][n]) * load<V>(row + Pair<V, I0, T>::j)), ...);
  }
  ((store(acc[Pair<V, I0, T>::i] + Pair<V, I0, T>::j, a[T])), ...);
}

// Rows [I0, P) of the triangle, group by group: at most 9 accumulators with
// SSE2 (pairs) and 10 with AVX2 (quads, enough for all seven columns of a
// fit with the decay rate free), so that with the row's operands they fit
// the 16 vector registers.
template <class V, int P, int I0 = 0>
ZORV_INLINE void accumulate_prefix(PassScratch const& s, double (*acc)[kRowWidth])
{
  if constexpr (I0 < P) {
    constexpr int kBudget = kLanes<V> == 2 ? 9 : 10;
    constexpr int I1 = group_end(kLanes<V>, kBudget, I0, P);
    accumulate_rows<V, I0>(s, acc, std::make_integer_sequence<int, pair_count(kLanes<V>, I0, I1)>{});
    accumulate_prefix<V, P, I1>(s, acc);
  }
}

template <class V>
ZORV_INLINE void accumulate_block(int used, PassScratch const& s, double (*acc)[kRowWidth])
{
  static_assert(kPassCols == 9, "one case per number of columns");
  switch (used) {
    case 1: accumulate_prefix<V, 1>(s, acc); break;
    case 2: accumulate_prefix<V, 2>(s, acc); break;
    case 3: accumulate_prefix<V, 3>(s, acc); break;
    case 4: accumulate_prefix<V, 4>(s, acc); break;
    case 5: accumulate_prefix<V, 5>(s, acc); break;
    case 6: accumulate_prefix<V, 6>(s, acc); break;
    case 7: accumulate_prefix<V, 7>(s, acc); break;
    case 8: accumulate_prefix<V, 8>(s, acc); break;
    default: accumulate_prefix<V, 9>(s, acc); break;
  }
}

template <class V, int kPulses, bool kLambdaColumn, bool kFixed>
ZORV_INLINE void pass_blocks(PassInput const& in, PassScratch& s, double (*acc)[kRowWidth])
{
  for (int base = 0; base < kFitPoints; base += kBlock) {
    double const(*pt)[2] = in.data + base;
    block_arguments<V, kPulses>(in, pt, s);
    block_calls<V, kPulses>(in, s);
    double const* e = in.exp_lx ? in.exp_lx + base : s.e;
    int const used = block_rows<V, kPulses, kLambdaColumn, kFixed>(in, pt, e, s);
    accumulate_block<V>(used, s, acc);
  }
}

template <class V, int kPulses>
ZORV_INLINE void pass_pulses(PassInput const& in, PassScratch& s, double (*acc)[kRowWidth])
{
  if (in.fixed) {
    if (in.lambda_free) pass_blocks<V, kPulses, true, true>(in, s, acc);
    else pass_blocks<V, kPulses, false, true>(in, s, acc);
  } else {
    if (in.lambda_free) pass_blocks<V, kPulses, true, false>(in, s, acc);
    else pass_blocks<V, kPulses, false, false>(in, s, acc);
  }
}

template <class V>
ZORV_INLINE void pass(PassInput const& in, PassScratch& s, double (*acc)[kRowWidth])
{
  if (in.single) pass_pulses<V, 1>(in, s, acc);
  else pass_pulses<V, 2>(in, s, acc);
}

// One function per unit; everything above is inlined into each and compiled
// for its unit.
__attribute__((target("avx512f,avx512vl"))) void pass_avx512(PassInput const& in, PassScratch& s,
                                                             double (*acc)[kRowWidth])
{
  pass<v4d>(in, s, acc);
}

__attribute__((target("avx2"))) void pass_avx2(PassInput const& in, PassScratch& s,
                                               double (*acc)[kRowWidth])
{
  pass<v4d>(in, s, acc);
}

void pass_sse2(PassInput const& in, PassScratch& s, double (*acc)[kRowWidth])
{
  pass<v2d>(in, s, acc);
}

void run_pass(PassInput const& in, PassScratch& s, double (*acc)[kRowWidth])
{
  for (int i = 0; i < kPassCols; ++i)
    for (int j = 0; j < kRowWidth; ++j) acc[i][j] = 0.0;
  switch (vector_width()) {
    case 8: pass_avx512(in, s, acc); break;
    case 4: pass_avx2(in, s, acc); break;
    default: pass_sse2(in, s, acc); break;
  }
}

}  // namespace

void exp_lambda_x(double const (*data)[kFitPoints][2], double lambda, double* out)
{
  ExpRuns const& e = exp_runs(vector_width());
  double lx[kBlock];
  for (int base = 0; base < kFitPoints; base += kBlock) {
    for (int i = 0; i < kBlock; ++i) lx[i] = lambda * (*data)[base + i][0];
    e.exact(lx, out + base, kBlock);
  }
}

void normal_pass(double const (*data)[kFitPoints][2], double const* p, FreeParams free,
                 double const* exp_lx, PassScratch& s, double (*N)[kFitParams], double* b,
                 double* ssr)
{
  PassInput in;
  in.data = *data;
  in.p = p;
  in.k = pulse_shape(p[1], p[4]);
  in.limit[0] = stand_in_limit(p[0]);
  in.limit[1] = stand_in_limit(p[6]);
  in.exp_lx = exp_lx;
  in.exp = &exp_runs(vector_width());
  Plan& plan = in.plan;
  plan.m = 0;
  plan.vanishing = 0;
  for (int v : kOrder) {
    if (v != kResidual && free.is_locked(v)) continue;
    plan.col[plan.m++] = v;
    if (v == kResidual) plan.vanishing = plan.m;
  }

  in.single = free.single_pulse();
  in.lambda_free = free.is_free(1);
  in.fixed = free.is_free(0) && free.is_free(2) && free.is_free(3) && free.is_free(4) &&
             free.is_free(5) && (in.single || (free.is_free(6) && free.is_free(7)));

  // Left-out products are exact zeros only if every value they would have
  // met was finite. Each such value also meets itself on the diagonal, where
  // R^2 is +inf or NaN for an infinite or NaN R, and a sum of squares never
  // comes back from either: so a finite diagonal proves the pass exact, and
  // otherwise it runs again with nothing left out.
  alignas(64) double acc[kPassCols][kRowWidth];
  in.skip = true;
  run_pass(in, s, acc);
  for (int j = 0; j < plan.m; ++j) {
    if (acc[j][j] - acc[j][j] == 0.0) continue;
    in.skip = false;
    run_pass(in, s, acc);
    break;
  }

  // Entry (i, j), j <= i, of the triangle in the pass's order.
  for (int i = 0; i < plan.m; ++i) {
    for (int j = 0; j <= i; ++j) {
      int const a = plan.col[i], c = plan.col[j];
      double const v = acc[i][j];
      if (a == kResidual && c == kResidual) *ssr = v;
      else if (a == kResidual) b[c] = v;
      else if (c == kResidual) b[a] = v;
      else N[a > c ? a : c][a > c ? c : a] = v;
    }
  }
}

}  // namespace zorv_fit
