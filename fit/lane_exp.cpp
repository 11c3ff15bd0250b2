// glibc's exponential in vector lanes (lane_exp.h).
//
// The sequence, read from the machine code of the library's FMA variant
// (__exp_finite on x86-64 with FMA resolves to it), for 2^-54 <= |x| < 512:
//   kd  = fma(x, 128/ln2, 0x1.8p52)     k rounded into kd's low bits
//   ki  = bits of kd;  kd = kd - 0x1.8p52
//   r   = fma(kd, -ln2hi/128, x);  r = fma(kd, -ln2lo/128, r)
//   i   = ki mod 128;  T = tail_i;  sbits = (ki << 45) + head_i
//   r2  = r r
//   p   = fma(fma(r, C3, C2), r2, r + T)
//   tmp = fma(r2 r2, fma(r, C5, C4), p)
//   exp = fma(scale, tmp, scale),  scale = double of sbits
// Each step is one IEEE operation, so in a lane it rounds as the library's
// scalar instruction does. Outside that range the library takes other
// branches (1 + x, overflow, underflow, the scaled tail of |x| >= 512); such
// lanes call it.
//
// The fused multiply-adds are written as instructions (asm), so that the
// templates below compile inside functions built for any unit; they are only
// ever run where the CPU has FMA. -ffp-contract=off still keeps the compiler
// from fusing anything else.
#include "fit/lane_exp.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "fit/exp_table.h"
#include "fit/library_exp.h"
#include "fit/pulse_terms.h"
#include "fit/vector_lanes.h"
#include "fit/vector_width.h"

namespace zorv_fit {

namespace {

// The library's constants (its data next to the table).
constexpr double kInvLn2N = 0x1.71547652b82fep+7;     // 128 / ln2
constexpr double kShift = 0x1.8p52;                   // rounds to an integer in the low bits
constexpr double kNegLn2HiN = -0x1.62e42fefa0000p-8;  // -ln2 / 128, leading bits
constexpr double kNegLn2LoN = -0x1.cf79abc9e3b3ap-47; // -ln2 / 128, the rest
constexpr double kC2 = 0x1.ffffffffffdbdp-2;          // ~1/2
constexpr double kC3 = 0x1.555555555543cp-3;          // ~1/6
constexpr double kC4 = 0x1.55555cf172b91p-5;          // ~1/24
constexpr double kC5 = 0x1.1111167a4d017p-7;          // ~1/120

// The table (exp_table.h): tab[2i] tail, tab[2i + 1] head less i << 45.
alignas(64) uint64_t tab[2 * kExpTableSize];

template <class I>
ZORV_INLINE I splat_int(long long a)
{
  I v = {};
  for (unsigned i = 0; i < sizeof(I) / sizeof(long long); ++i) v[i] = a;
  return v;
}

// c + a b, one rounding.
ZORV_INLINE v4d fma(v4d a, v4d b, v4d c)
{
  asm("vfmadd231pd %2, %1, %0" : "+x"(c) : "x"(a), "x"(b));
  return c;
}

// exp of every lane by the library's fast sequence (meaningful where
// fast_lanes holds).
ZORV_INLINE v4d exp_fast(v4d x)
{
  typedef unsigned long long U __attribute__((vector_size(32)));  // bits, wrapping as the library's
  using V = v4d;
  V kd = fma(x, splat<V>(kInvLn2N), splat<V>(kShift));
  U const ki = reinterpret_cast<U>(kd);
  kd = kd - splat<V>(kShift);
  V r = fma(kd, splat<V>(kNegLn2HiN), x);
  r = fma(kd, splat<V>(kNegLn2LoN), r);
  // Each lane's entry, tail and head side by side: one 16-byte load per
  // lane, then lanes 0 and 2, 1 and 3 paired and split into tails and heads.
  U const i2 = (ki & 127) * 2;
  auto entry = [&](int l) { return load<v2d>(reinterpret_cast<double const*>(tab + i2[l])); };
  V const e02 = __builtin_shufflevector(entry(0), entry(2), 0, 1, 2, 3);
  V const e13 = __builtin_shufflevector(entry(1), entry(3), 0, 1, 2, 3);
  V const tail = __builtin_shuffle(e02, e13, U{0, 4, 2, 6});
  U const head = reinterpret_cast<U>(__builtin_shuffle(e02, e13, U{1, 5, 3, 7}));
  V const scale = reinterpret_cast<V>((ki << 45) + head);
  V const r2 = r * r;
  V const p = fma(fma(r, splat<V>(kC3), splat<V>(kC2)), r2, r + tail);
  V const tmp = fma(r2 * r2, fma(r, splat<V>(kC5), splat<V>(kC4)), p);
  return fma(scale, tmp, scale);
}

// Where the fast sequence is the library's: 2^-54 <= |x| < 512 (NaN fails
// both tests).
ZORV_INLINE MaskOf<v4d> fast_lanes(v4d x)
{
  using I = MaskOf<v4d>;
  v4d const ax = reinterpret_cast<v4d>(reinterpret_cast<I>(x) & splat_int<I>(0x7fffffffffffffffLL));
  return (ax >= 0x1p-54) & (ax < 512.0);
}

ZORV_INLINE bool fast_point(double x)
{
  double const ax = std::fabs(x);
  return ax >= 0x1p-54 && ax < 512.0;
}

ZORV_INLINE v4d select(MaskOf<v4d> m, v4d a, v4d b)
{
  using I = MaskOf<v4d>;
  return reinterpret_cast<v4d>((reinterpret_cast<I>(a) & m) | (reinterpret_cast<I>(b) & ~m));
}

// Four points of exp_exact; returns the lanes that the library must redo.
ZORV_INLINE MaskOf<v4d> exact_lanes(double const* w, double* out)
{
  v4d const x = load<v4d>(w);
  MaskOf<v4d> const zero = x <= kExpIsZero;
  store(out, select(zero, splat<v4d>(0.0), exp_fast(x)));
  return ~(fast_lanes(x) | zero);
}

// Four points of exp_u_exact. The stand-in's lanes are not computed (their u
// may lie far outside the fast range): 1 stands in for their argument.
ZORV_INLINE MaskOf<v4d> u_lanes(double const* u, double const* erf_z, double const* exp_w,
                                double limit, double* out)
{
  v4d const x = load<v4d>(u);
  MaskOf<v4d> const stand_in = (load<v4d>(erf_z) == 1.0) & (load<v4d>(exp_w) == 0.0) & (x < limit);
  v4d const xs = select(stand_in, splat<v4d>(1.0), x);
  store(out, select(stand_in, splat<v4d>(kStandIn), exp_fast(xs)));
  return ~(fast_lanes(xs) | stand_in);
}

// A run of n points: whole vectors, then the rest padded with arguments in
// the fast range; then, if any lane was outside it, the library for each
// such point (rare in a fit: exp(0) at x = 0, the Gaussian's far tails).
ZORV_INLINE void exact_run(double const* w, double* out, int n)
{
  MaskOf<v4d> slow = {};
  int i = 0;
  for (; i + 4 <= n; i += 4) slow |= exact_lanes(w + i, out + i);
  if (i < n) {
    double a[4], b[4];
    for (int l = 0; l < 4; ++l) a[l] = i + l < n ? w[i + l] : 1.0;
    slow |= exact_lanes(a, b);
    for (int l = 0; i + l < n; ++l) out[i + l] = b[l];
  }
  if (any_lane(slow))
    for (i = 0; i < n; ++i)
      if (!(w[i] <= kExpIsZero) && !fast_point(w[i])) out[i] = library_exp(w[i]);
}

ZORV_INLINE void u_run(double const* u, double const* erf_z, double const* exp_w, double limit,
                       double* out, int n)
{
  MaskOf<v4d> slow = {};
  int i = 0;
  for (; i + 4 <= n; i += 4) slow |= u_lanes(u + i, erf_z + i, exp_w + i, limit, out + i);
  if (i < n) {
    double a[4], ez[4], ew[4], b[4];
    for (int l = 0; l < 4; ++l) {
      bool const in = i + l < n;
      a[l] = in ? u[i + l] : 1.0;
      ez[l] = in ? erf_z[i + l] : 0.0;
      ew[l] = in ? exp_w[i + l] : 1.0;
    }
    slow |= u_lanes(a, ez, ew, limit, b);
    for (int l = 0; i + l < n; ++l) out[i + l] = b[l];
  }
  if (any_lane(slow))
    for (i = 0; i < n; ++i) {
      bool const stand_in = erf_z[i] == 1.0 && exp_w[i] == 0.0 && u[i] < limit;
      if (!stand_in && !fast_point(u[i])) out[i] = library_exp(u[i]);
    }
}

// One function per unit: AVX-512 runs the same four lanes (as the fused pass
// does), with its own encoding and registers.
__attribute__((target("avx2,fma"))) void exact_run_avx2(double const* w, double* out, int n)
{
  exact_run(w, out, n);
}

__attribute__((target("avx2,fma"))) void u_run_avx2(double const* u, double const* erf_z,
                                                    double const* exp_w, double limit, double* out,
                                                    int n)
{
  u_run(u, erf_z, exp_w, limit, out, n);
}

__attribute__((target("avx512f,avx512dq,avx512vl"))) void exact_run_avx512(double const* w, double* out, int n)
{
  exact_run(w, out, n);
}

__attribute__((target("avx512f,avx512dq,avx512vl"))) void u_run_avx512(double const* u, double const* erf_z,
                                                     double const* exp_w, double limit,
                                                     double* out, int n)
{
  u_run(u, erf_z, exp_w, limit, out, n);
}

// The library, point by point.
void exact_run_library(double const* w, double* out, int n)
{
  for (int i = 0; i < n; ++i) out[i] = exp_exact(w[i]);
}

void u_run_library(double const* u, double const* erf_z, double const* exp_w, double limit,
                   double* out, int n)
{
  for (int i = 0; i < n; ++i) out[i] = exp_u_exact(u[i], erf_z[i], exp_w[i], limit);
}

ExpRuns const library_runs = {exact_run_library, u_run_library};
ExpRuns const avx2_runs = {exact_run_avx2, u_run_avx2};
ExpRuns const avx512_runs = {exact_run_avx512, u_run_avx512};

bool has_lanes(int lanes)
{
  __builtin_cpu_init();
  if (lanes == 8)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl");
  if (lanes == 4) return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return false;
}

ExpRuns const& runs_of(int lanes)
{
  return lanes == 8 ? avx512_runs : lanes == 4 ? avx2_runs : library_runs;
}

// The start-up comparison's arguments: x = (k + f) ln2/128 for every table
// entry i = k mod 128, with k = i + 128 m for multiples m from one end of
// the fast range to the other (|x| near 512 at m = +-738) and offsets f
// from r near 0 to the edges of the reduction's interval, where k rounds
// either way; then the edges of the fast range, the shortcut's threshold,
// the special values, and arguments spread over the range the fit uses.
std::vector<double> check_arguments()
{
  constexpr double kLn2N = 0x1.62e42fefa39efp-8;  // ln2 / 128
  static double const kOffsets[] = {0.0,  1e-12, -1e-12, 0x1p-30,   0.125,     -0.25,
                                    0.37, 0.5,   -0.5,   0.4999999, -0.4999999, 0.5000001};
  static int const kMultiples[] = {-738, -737, -500, -100, -10, -1, 0, 1, 10, 100, 500, 737, 738};
  std::vector<double> x;
  for (int i = 0; i < kExpTableSize; ++i)
    for (int m : kMultiples)
      for (double f : kOffsets) x.push_back((i + 128.0 * m + f) * kLn2N);
  double const kEdges[] = {0x1p-54, 0x1.0000000000001p-54, 0x1.fffffffffffffp-55, 0x1p-53, 1e-10,
                           0x1.fffffffffffffp+8, 511.9, 512.0, 600.0, 709.78, 709.79, 745.13,
                           745.14, 746.0, 800.0, 1e300};
  for (double v : kEdges) {
    x.push_back(v);
    x.push_back(-v);
  }
  for (double v : {0.0, -0.0, HUGE_VAL, -HUGE_VAL, std::nan("")}) x.push_back(v);
  uint64_t s = 0x2545f4914f6cdd1dULL;
  for (int i = 0; i < 4096; ++i) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    x.push_back((static_cast<double>(s >> 11) * 0x1p-53 - 0.75) * 1000.0);  // [-750, 250)
  }
  return x;
}

bool same_bits(double a, double b)
{
  uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y || (a != a && b != b);
}

// Every width the CPU has against the library, on check_arguments: exp_u
// where it never stands in (all n at once) and exp_exact in runs of 7, so
// that the padded rest of a run is compared too.
bool lanes_match_library()
{
  std::vector<double> const x = check_arguments();
  int const n = static_cast<int>(x.size());
  std::vector<double> want(n), got(n), half(n, 0.5);
  for (int i = 0; i < n; ++i) want[i] = library_exp(x[i]);
  for (int lanes : {4, 8}) {
    if (!has_lanes(lanes)) continue;
    ExpRuns const& r = runs_of(lanes);
    r.u(x.data(), half.data(), half.data(), 0.0, got.data(), n);
    for (int i = 0; i < n; ++i)
      if (!same_bits(got[i], want[i])) return false;
    for (int i = 0; i < n; i += 7) r.exact(x.data() + i, got.data() + i, n - i < 7 ? n - i : 7);
    for (int i = 0; i < n; ++i)
      if (!same_bits(got[i], exp_exact(x[i]))) return false;
  }
  return true;
}

bool vector_in_use = false;

void decide(int altered_entry)
{
  build_exp_table(tab);
  if (altered_entry >= 0 && altered_entry < kExpTableSize) tab[2 * altered_entry + 1] ^= 1;
  char const* asked = std::getenv("ZORV_EXP");
  bool const library_asked = asked && std::strcmp(asked, "library") == 0;
  vector_in_use = !library_asked && lanes_match_library();
}

// Decided once per process, on first use.
void decide_once()
{
  static bool const decided = (decide(-1), true);
  (void)decided;
}

}  // namespace

ExpRuns const& exp_runs(int lanes)
{
  decide_once();
  return vector_in_use && has_lanes(lanes) ? runs_of(lanes) : library_runs;
}

char const* exp_kind()
{
  decide_once();
  return vector_in_use && has_lanes(vector_width()) ? "vector" : "library";
}

namespace exp_testing {

bool lanes_available(int lanes) { return has_lanes(lanes); }

void exp_in_lanes(int lanes, double const* x, double* out, int n)
{
  decide_once();
  ExpRuns const& r = runs_of(lanes);
  // exp_u with erf(z) != 1: the library's exp in every lane.
  constexpr int kChunk = 1024;
  static double ez[kChunk], ew[kChunk];
  if (ez[0] == 0.0)
    for (int i = 0; i < kChunk; ++i) ez[i] = ew[i] = 0.5;
  for (int i = 0; i < n; i += kChunk) r.u(x + i, ez, ew, 0.0, out + i, n - i < kChunk ? n - i : kChunk);
}

char const* recheck(int altered_entry)
{
  decide_once();
  decide(altered_entry);
  return exp_kind();
}

unsigned long long const* table() { return reinterpret_cast<unsigned long long const*>(tab); }

}  // namespace exp_testing

}  // namespace zorv_fit
