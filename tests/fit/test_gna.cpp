// Tests of the masked Gauss-Newton solver gna, its free-parameter set and its
// routines: the normal-equation sums, Cholesky and substitutions against a
// direct solution, recovery of known parameters (noiseless and noisy, one and
// two pulses, decay rate free and locked), the edge cases of the iteration
// and their statuses, and bit identity with a reference composed literally
// from the plain oracles (fit_oracles.h) and the Cholesky routines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "fit/cholesky.h"
#include "fit_oracles.h"
#include "fit/gna.h"
#include "fit/normal_pass.h"
#include "test_rng.h"
#include "test_threshold_sets.h"
#include "fit/vector_width.h"

using namespace zorv_fit;

namespace {

using Data = double[kFitPoints][2];
using Jac = double[kFitPoints][kFitParams];
using Mat = double[kFitParams][kFitParams];

double const kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Trace x = 0..2499, y = f (without pulse 2 unless two) plus N(0, noise^2).
void make_trace(Data& d, double const* truth, bool two, double noise, uint64_t seed)
{
  double p[8];
  std::memcpy(p, truth, sizeof p);
  if (!two) p[6] = 0.0;
  Rng rng(seed);
  for (int i = 0; i < kFitPoints; ++i) {
    d[i][0] = i;
    d[i][1] = f(i, p) + (noise > 0.0 ? noise * rng.normal() : 0.0);
  }
}

// Typical pulses: amplitude 15,000 to 40,000, baseline about -28,000.
double const kTruth1[8] = {31000.0, -0.0015, -28000.0, 612.4, 2.7, 1800.0, 0.0, 1800.0};
double const kTruth2[8] = {24000.0, -0.0016, -27900.0, 455.8, 3.4, 1500.0, 17000.0, 1210.3};

// Start values as a worker would have them: a bit off, the locked decay rate exact.
void start_from(double* p, double const* truth, bool lambda_locked, bool two)
{
  std::memcpy(p, truth, 8 * sizeof(double));
  p[0] *= 1.06;
  if (!lambda_locked) p[1] *= 1.12;
  p[2] += 35.0;
  p[3] -= 1.6;
  p[4] *= 1.25;
  p[5] *= 0.85;
  if (two) {
    p[6] *= 0.93;
    p[7] += 1.3;
  } else {
    p[6] = 5000.0;  // ignored by the single-pulse model
    p[7] = 2000.0;
  }
}

FreeParams free_for(bool lambda_locked, bool two)
{
  FreeParams free;
  if (lambda_locked) free.lock(1);
  if (!two) free.lock(6).lock(7);
  return free;
}

FitOptions with_limit(int max_iterations)
{
  FitOptions o;
  o.max_iterations = max_iterations;
  return o;
}

// Reference: the iteration composed literally from the oracles and the
// Cholesky routines.
struct RefWork {
  Jac J;
  double r[kFitPoints];
  Mat N, L, inv;
  double b[8], z[8], dp[8];
};

FitResult reference_gna(Data& d, double* p, FreeParams free, int max_iter)
{
  static RefWork w;
  std::memset(&w, 0, sizeof w);
  FitResult failed;
  failed.status = FitStatus::kIterationLimit;
  if (max_iter < 1) return failed;
  double sum = 0.0;
  int k = 0;
  for (;; ++k) {
    initialize_J_rr(&d, p, w.J, w.r, free);
    multiply_matrices(w.J, w.N);
    cholesky(w.N, w.L, free);
    multiply_matrix_vector(w.J, w.r, w.b, free);
    solve_lower(w.L, w.z, w.b, free);
    solve_upper(w.L, w.dp, w.z, free);
    double s = 0.0;
    for (int j = 0; j < 8; ++j)
      if (free.is_free(j)) s += w.dp[j] * w.dp[j] / (p[j] * p[j]);
    for (int j = 0; j < 8; ++j) {
      if (free.is_free(j) && !std::isfinite(w.dp[j])) {
        failed.status = FitStatus::kNonFiniteStep;
        return failed;
      }
    }
    for (int j = 0; j < 8; ++j)
      if (free.is_free(j)) p[j] += w.dp[j];
    sum = 0.0;
    for (int n = 0; n < kFitPoints; ++n) sum += w.r[n] * w.r[n];
    if (std::sqrt(s) < 1e-9) break;
    if (k == max_iter - 1) return failed;
  }
  FitResult out;
  out.status = FitStatus::kConverged;
  out.ssr = sum;
  out.iterations = k;
  int n_free = 0;
  for (int j = 0; j < 8; ++j) n_free += free.is_free(j);
  double const v = sum / (2500 - n_free);
  for (int l = 0; l < 8; ++l) {
    if (free.is_locked(l)) continue;
    double e[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    e[l] = 1.0;
    solve_lower(w.L, w.z, e, free);
    solve_upper(w.L, w.inv[l], w.z, free);
    out.standard_errors[l] = std::sqrt(v * w.inv[l][l]);
  }
  return out;
}

// sqrt(s) of the first step from p, through the oracles and the routines.
double first_relative_step(Data& d, double const* p_in, FreeParams free)
{
  static RefWork w;
  double p[8];
  std::memcpy(p, p_in, sizeof p);
  initialize_J_rr(&d, p, w.J, w.r, free);
  multiply_matrices(w.J, w.N);
  cholesky(w.N, w.L, free);
  multiply_matrix_vector(w.J, w.r, w.b, free);
  solve_lower(w.L, w.z, w.b, free);
  solve_upper(w.L, w.dp, w.z, free);
  double s = 0.0;
  for (int j = 0; j < 8; ++j)
    if (free.is_free(j)) s += w.dp[j] * w.dp[j] / (p[j] * p[j]);
  return std::sqrt(s);
}

// The same outcome bit for bit: status, p, and on success every number.
void expect_same_fit(FitResult const& a, double const* pa, FitResult const& b, double const* pb)
{
  ASSERT_EQ(a.status, b.status);
  ASSERT_EQ(0, std::memcmp(pa, pb, 8 * sizeof(double)));
  ASSERT_EQ(a.iterations, b.iterations);
  ASSERT_TRUE(same_bits(a.ssr, b.ssr));
  ASSERT_EQ(0, std::memcmp(a.standard_errors, b.standard_errors, sizeof a.standard_errors));
}

// N (lower triangle), b and SSR at p through the plain routines: what the
// fused pass must reproduce.
void reference_normal(Data& d, double* p, FreeParams free, Mat& N, double* b, double& ssr)
{
  static Jac J;
  static double r[kFitPoints];
  initialize_J_rr(&d, p, J, r, free);
  multiply_matrices(J, N);
  multiply_matrix_vector(J, r, b, free);
  ssr = 0.0;
  for (double v : r) ssr += v * v;
}

// Bits equal, or both NaN: a NaN's payload follows whichever operand of a
// product carried it, which the fused pass and the plain sums need not share
// (and no fit reports a NaN: its step is not finite, and it fails).
bool same_value(double a, double b) { return same_bits(a, b) || (std::isnan(a) && std::isnan(b)); }

// Random symmetric positive-definite matrix M^T M + 8 I.
void random_spd(Mat& A, Rng& rng)
{
  double M[8][8];
  for (auto& row : M)
    for (double& v : row) v = 2.0 * rng.open_uniform() - 1.0;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) {
      double s = i == j ? 8.0 : 0.0;
      for (int k = 0; k < 8; ++k) s += M[k][i] * M[k][j];
      A[i][j] = s;
    }
}

// Direct solution of A x = b on the free indices: Gauss-Jordan in long double.
void direct_solve(Mat const& A, double const* b, FreeParams free, double* x)
{
  int idx[8], n = 0;
  for (int j = 0; j < 8; ++j)
    if (free.is_free(j)) idx[n++] = j;
  long double M[8][9];
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) M[i][j] = A[idx[i]][idx[j]];
    M[i][n] = b[idx[i]];
  }
  for (int c = 0; c < n; ++c) {
    int piv = c;
    for (int i = c + 1; i < n; ++i)
      if (std::fabs((double)M[i][c]) > std::fabs((double)M[piv][c])) piv = i;
    for (int j = 0; j <= n; ++j) std::swap(M[c][j], M[piv][j]);
    for (int i = 0; i < n; ++i) {
      if (i == c) continue;
      long double const q = M[i][c] / M[c][c];
      for (int j = c; j <= n; ++j) M[i][j] -= q * M[c][j];
    }
  }
  for (int i = 0; i < n; ++i) x[idx[i]] = (double)(M[i][n] / M[i][i]);
}

}  // namespace

// ---------------------------------------------------------------------------
// The free-parameter set and the routines.

// A lock mask reads 1 as locked and anything else as free, in every use
// alike: the set, its count (the degrees of freedom) and the model's path.
TEST(FreeParams, FromLockMask)
{
  struct Row {
    int lock[8];
    char const* free;  // '1' per free parameter
    int count;
    bool single;
  } const rows[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, "11111111", 8, false},
      {{0, 1, 0, 0, 0, 0, 1, 1}, "10111100", 5, true},
      {{1, 1, 1, 1, 1, 1, 1, 1}, "00000000", 0, true},
      {{0, 0, 0, 0, 0, 0, 1, 0}, "11111101", 7, false},
      {{2, -1, 0, 7, 1, 0, 1, 2}, "11110101", 6, false},
  };
  for (Row const& row : rows) {
    FreeParams const free = FreeParams::from_lock_mask(row.lock);
    for (int j = 0; j < 8; ++j) {
      EXPECT_EQ(free.is_free(j), row.free[j] == '1') << row.free << " " << j;
      EXPECT_EQ(free.is_locked(j), row.free[j] != '1') << row.free << " " << j;
    }
    EXPECT_EQ(free.count(), row.count) << row.free;
    EXPECT_EQ(free.single_pulse(), row.single) << row.free;
  }
  EXPECT_EQ(FreeParams().count(), 8);
  EXPECT_EQ(FreeParams::none().count(), 0);
  FreeParams free;
  for (int j = 0; j < 8; ++j) free.lock(j);
  EXPECT_TRUE(free == FreeParams::none());
  free = FreeParams().lock(3).lock(3).lock(6);
  EXPECT_EQ(free.count(), 6);
  free.release(3).release(5);
  EXPECT_TRUE(free == FreeParams().lock(6));
}

// The worker's limit and the convergence threshold are the defaults.
TEST(FitOptions, Defaults)
{
  FitOptions const o;
  EXPECT_EQ(o.max_iterations, 50);
  EXPECT_EQ(o.step_tolerance, 1e-9);
}

// N = J^T J: all 64 entries, row sums in order, whatever the mask.
TEST(NormalMatrix, SumsEveryEntryInRowOrder)
{
  static Jac J;
  static double r[kFitPoints];
  Rng rng(3);
  for (auto& row : J)
    for (double& v : row) v = 1000.0 * rng.normal();
  for (double& v : r) v = 50.0 * rng.normal();
  FreeParams const free = FreeParams().lock(0).lock(2).lock(5).lock(6);
  Mat N;
  double b[8];
  for (double& v : b) v = -7.0;
  multiply_matrices(J, N);
  multiply_matrix_vector(J, r, b, free);
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 8; ++j) {
      double s = 0.0;
      for (int n = 0; n < kFitPoints; ++n) s += J[n][i] * J[n][j];
      EXPECT_TRUE(same_bits(N[i][j], s)) << i << " " << j;
    }
    double s = 0.0;
    for (int n = 0; n < kFitPoints; ++n) s += J[n][i] * r[n];
    if (free.is_locked(i))
      EXPECT_EQ(b[i], -7.0) << i;
    else
      EXPECT_TRUE(same_bits(b[i], s)) << i;
  }
}

// Cholesky and the two substitutions solve a masked SPD system; the back
// substitution, reading L as L^T, gives the bits of the textbook one on an
// explicit transposed copy.
TEST(CholeskySolve, MatchesDirectSolutionWithMask)
{
  Rng rng(17);
  FreeParams const masks[] = {FreeParams(), FreeParams().lock(1).lock(4),
                              FreeParams().lock(0).lock(3).lock(6).lock(7)};
  for (FreeParams free : masks) {
    for (int trial = 0; trial < 20; ++trial) {
      Mat A, L, Ls, U;
      random_spd(A, rng);
      double b[8], z[8], x[8], ref[8];
      for (double& v : b) v = 10.0 * rng.normal() + 3.0;
      // Sentinels: nothing with a locked index may be written.
      for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) L[i][j] = -99.0;
      for (int j = 0; j < 8; ++j) z[j] = x[j] = -99.0;
      // The upper triangle of N is never read.
      Mat N;
      std::memcpy(N, A, sizeof N);
      for (int i = 0; i < 8; ++i)
        for (int j = i + 1; j < 8; ++j) N[i][j] = kNaN;
      cholesky(N, L, free);
      // Both substitutions read only the diagonal and below of L.
      std::memcpy(Ls, L, sizeof Ls);
      for (int i = 0; i < 8; ++i)
        for (int j = i + 1; j < 8; ++j) Ls[i][j] = kNaN;
      solve_lower(Ls, z, b, free);
      solve_upper(Ls, x, z, free);
      direct_solve(A, b, free, ref);
      // U = L^T, then x_i = (z_i - sum_{k > i, descending} U_ik x_k) / U_ii.
      double xt[8] = {};
      for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) U[i][j] = L[j][i];
      for (int i = 7; i >= 0; --i) {
        if (free.is_locked(i)) continue;
        double sum = 0.0;
        for (int k = 7; k > i; --k)
          if (free.is_free(k)) sum += U[i][k] * xt[k];
        xt[i] = (z[i] - sum) / U[i][i];
      }
      for (int i = 0; i < 8; ++i) {
        if (free.is_locked(i)) {
          EXPECT_EQ(x[i], -99.0);
          EXPECT_EQ(z[i], -99.0);
          for (int j = 0; j < 8; ++j) EXPECT_EQ(L[i][j], -99.0);
          for (int j = 0; j < 8; ++j) EXPECT_EQ(L[j][i], -99.0);
          continue;
        }
        EXPECT_NEAR(x[i], ref[i], 1e-12 * (1.0 + std::fabs(ref[i]))) << i;
        EXPECT_TRUE(same_bits(x[i], xt[i])) << i;
        for (int j = i + 1; j < 8; ++j) EXPECT_EQ(L[i][j], -99.0);  // upper untouched
        // L L^T reproduces A on the free indices.
        for (int j = 0; j <= i; ++j) {
          if (free.is_locked(j)) continue;
          double s = 0.0;
          for (int k = 0; k <= j; ++k)
            if (free.is_free(k)) s += L[i][k] * L[j][k];
          EXPECT_NEAR(s, A[i][j], 1e-12 * std::fabs(A[i][i]));
        }
      }
    }
  }
}

// Cholesky: the pivots follow d = N_ii - sum_k L_ik^2, summed first.
TEST(CholeskySolve, TwoByTwoByHand)
{
  Mat N = {}, L = {};
  FreeParams const free = FreeParams::none().release(1).release(4);
  N[1][1] = 4.0;
  N[4][1] = 6.0;
  N[4][4] = 25.0;
  cholesky(N, L, free);
  EXPECT_EQ(L[1][1], 2.0);
  EXPECT_EQ(L[4][1], 3.0);
  EXPECT_EQ(L[4][4], 4.0);
  // An indefinite matrix gives a NaN pivot, a singular one a zero pivot.
  N[4][4] = 8.0;
  cholesky(N, L, free);
  EXPECT_TRUE(std::isnan(L[4][4]));
  N[4][4] = 9.0;
  cholesky(N, L, free);
  EXPECT_EQ(L[4][4], 0.0);
}

// ---------------------------------------------------------------------------
// Recovery of known parameters.

struct Case {
  bool two;
  bool lambda_locked;
};
Case const kCases[] = {{false, false}, {false, true}, {true, false}, {true, true}};

// Noiseless trace made with f: every free parameter to ~1e-9.
TEST(GnaRecovery, NoiselessTraces)
{
  static Data d;
  for (Case c : kCases) {
    double const* truth = c.two ? kTruth2 : kTruth1;
    make_trace(d, truth, c.two, 0.0, 0);
    double p[8];
    start_from(p, truth, c.lambda_locked, c.two);
    FreeParams const free = free_for(c.lambda_locked, c.two);
    FitResult const fit = gna(&d, p, free);
    ASSERT_EQ(fit.status, FitStatus::kConverged) << c.two << c.lambda_locked;
    EXPECT_GT(fit.iterations, 1);
    for (int j = 0; j < 8; ++j) {
      if (free.is_locked(j)) continue;
      EXPECT_NEAR(p[j], truth[j], 1e-9 * std::fabs(truth[j])) << j << " two=" << c.two;
    }
    EXPECT_LT(fit.ssr, 1e-6);
  }
}

// Noisy trace (sigma 50): within a few standard errors of the truth.
TEST(GnaRecovery, NoisyTracesWithinStandardErrors)
{
  static Data d;
  for (Case c : kCases) {
    double const* truth = c.two ? kTruth2 : kTruth1;
    for (uint64_t seed = 1; seed <= 4; ++seed) {
      make_trace(d, truth, c.two, 50.0, 1000 * seed + 10 * c.two + c.lambda_locked);
      double p[8];
      start_from(p, truth, c.lambda_locked, c.two);
      FreeParams const free = free_for(c.lambda_locked, c.two);
      FitResult const fit = gna(&d, p, free);
      ASSERT_EQ(fit.status, FitStatus::kConverged);
      // SSR / dof estimates sigma^2 = 2500.
      EXPECT_NEAR(fit.ssr / (2500 - free.count()), 2500.0, 250.0);
      for (int j = 0; j < 8; ++j) {
        double const sp = fit.standard_errors[j];
        if (free.is_locked(j)) {
          EXPECT_EQ(sp, 0.0);
          continue;
        }
        EXPECT_GT(sp, 0.0);
        EXPECT_LT(std::fabs(p[j] - truth[j]), 4.5 * sp) << j << " two=" << c.two;
      }
    }
  }
}

// Reported standard errors match the scatter over repeated noise draws.
TEST(GnaRecovery, StandardErrorsMatchScatter)
{
  static Data d;
  for (Case c : {Case{false, true}, Case{true, false}}) {
    double const* truth = c.two ? kTruth2 : kTruth1;
    int const draws = 150;
    double sum[8] = {}, sum2[8] = {}, se_sum[8] = {};
    for (int t = 0; t < draws; ++t) {
      make_trace(d, truth, c.two, 50.0, 777 + t);
      double p[8];
      start_from(p, truth, c.lambda_locked, c.two);
      FitResult const fit = gna(&d, p, free_for(c.lambda_locked, c.two));
      ASSERT_EQ(fit.status, FitStatus::kConverged);
      for (int j = 0; j < 8; ++j) {
        sum[j] += p[j] - truth[j];
        sum2[j] += (p[j] - truth[j]) * (p[j] - truth[j]);
        se_sum[j] += fit.standard_errors[j];
      }
    }
    FreeParams const free = free_for(c.lambda_locked, c.two);
    for (int j = 0; j < 8; ++j) {
      if (free.is_locked(j)) continue;
      double const mean = sum[j] / draws;
      double const scatter = std::sqrt(sum2[j] / draws - mean * mean);
      double const se = se_sum[j] / draws;
      // The sample deviation of 150 draws is good to about 6 % (1 sigma).
      EXPECT_GT(scatter / se, 0.78) << j << " two=" << c.two;
      EXPECT_LT(scatter / se, 1.25) << j << " two=" << c.two;
      EXPECT_LT(std::fabs(mean), 4.0 * se / std::sqrt(draws)) << j;  // unbiased
    }
  }
}

// ---------------------------------------------------------------------------
// Edge cases of the iteration and the status each one ends with.

namespace {

// A failure reports its status and nothing else: no SSR, no iteration, no
// standard errors.
::testing::AssertionResult failed_with(FitResult const& fit, FitStatus status)
{
  if (fit.status != status)
    return ::testing::AssertionFailure() << "status " << static_cast<int>(fit.status);
  bool zero = fit.iterations == 0 && same_bits(fit.ssr, 0.0);
  for (double v : fit.standard_errors) zero = zero && same_bits(v, 0.0);
  if (!zero) return ::testing::AssertionFailure() << "a failed fit reports numbers";
  return ::testing::AssertionSuccess();
}

// Sum of squared residuals at p, in row order.
double ssr_at(Data& d, double const* p, FreeParams free)
{
  static Jac J;
  static double r[kFitPoints];
  initialize_J_rr(&d, p, J, r, free);
  double s = 0.0;
  for (double v : r) s += v * v;
  return s;
}

// Trace for the threshold case: with lambda = -1000 the tail column is 1 at
// x = 0 and exactly 0 elsewhere, so with only C free N = 1, the step equals
// the residual at x = 0 (the data value there, since B + C = 0) and
// sqrt(s) = |y_0 / C|.
double const kThreshold[8] = {0.0, -1000.0, -1.5, 0.0, 0.01, 1.5, 0.0, 0.0};
FreeParams const kOnlyC = FreeParams::none().release(5);

void threshold_trace(Data& d, double y0)
{
  for (int i = 0; i < kFitPoints; ++i) {
    d[i][0] = i;
    d[i][1] = -1.5;
  }
  d[0][1] = y0;
}

}  // namespace

// All eight locked: success at k = 0, nothing moves, SSR of the start.
TEST(GnaEdge, AllLocked)
{
  static Data d;
  make_trace(d, kTruth2, true, 50.0, 5);
  double p[8], p0[8];
  start_from(p, kTruth2, true, true);
  std::memcpy(p0, p, sizeof p);
  FitResult const fit = gna(&d, p, FreeParams::none());
  ASSERT_EQ(fit.status, FitStatus::kConverged);
  EXPECT_EQ(0, std::memcmp(p, p0, sizeof p));
  EXPECT_EQ(fit.iterations, 0);
  EXPECT_TRUE(same_bits(fit.ssr, ssr_at(d, p0, FreeParams::none())));
  EXPECT_GT(fit.ssr, 1e6);
  for (double v : fit.standard_errors) EXPECT_EQ(v, 0.0);
}

// Free t2 while A2 is exactly 0: column of zeros, fails at once, p unchanged.
TEST(GnaEdge, SingularColumnFailsFirstIteration)
{
  static Data d;
  make_trace(d, kTruth2, true, 50.0, 6);
  double p[8], p0[8];
  start_from(p, kTruth2, false, true);
  p[6] = 0.0;
  std::memcpy(p0, p, sizeof p);
  EXPECT_TRUE(failed_with(gna(&d, p, FreeParams()), FitStatus::kNonFiniteStep));
  EXPECT_EQ(0, std::memcmp(p, p0, sizeof p));
}

// NaN data: failure at once with free parameters, NaN SSR with none.
TEST(GnaEdge, NaNData)
{
  static Data d;
  make_trace(d, kTruth1, false, 50.0, 8);
  d[1234][1] = kNaN;
  double p[8], p0[8];
  start_from(p, kTruth1, true, false);
  std::memcpy(p0, p, sizeof p);
  EXPECT_TRUE(failed_with(gna(&d, p, free_for(true, false)), FitStatus::kNonFiniteStep));
  EXPECT_EQ(0, std::memcmp(p, p0, sizeof p));

  FitResult const fit = gna(&d, p, FreeParams::none());
  EXPECT_EQ(fit.status, FitStatus::kConverged);
  EXPECT_TRUE(std::isnan(fit.ssr));
  EXPECT_EQ(fit.iterations, 0);
}

// sqrt(s) exactly 1e-9 is not convergence; one ulp less is. The tolerance is
// the option's: one ulp above 1e-9 takes the step on the threshold too.
TEST(GnaEdge, StepExactlyAtThreshold)
{
  static Data d;
  // Find data values y0 that put sqrt(s) exactly on 1e-9 and just below it.
  double at = 0.0, below = 0.0;
  double up = 1.5e-9, down = 1.5e-9;
  for (int step = 0; step < 2000 && (at == 0.0 || below == 0.0); ++step) {
    for (double y : {up, down}) {
      threshold_trace(d, y);
      double const rs = first_relative_step(d, kThreshold, kOnlyC);
      if (rs == 1e-9) at = y;
      if (rs == std::nextafter(1e-9, 0.0)) below = y;
    }
    up = std::nextafter(up, 1.0);
    down = std::nextafter(down, 0.0);
  }
  ASSERT_NE(at, 0.0);
  ASSERT_NE(below, 0.0);

  double p[8];
  threshold_trace(d, at);
  std::memcpy(p, kThreshold, sizeof p);
  EXPECT_TRUE(failed_with(gna(&d, p, kOnlyC, with_limit(1)), FitStatus::kIterationLimit));
  EXPECT_EQ(p[5], 1.5 + at);  // the step was applied

  FitOptions wider = with_limit(1);
  wider.step_tolerance = std::nextafter(1e-9, 1.0);
  std::memcpy(p, kThreshold, sizeof p);
  EXPECT_EQ(gna(&d, p, kOnlyC, wider).status, FitStatus::kConverged);

  threshold_trace(d, below);
  std::memcpy(p, kThreshold, sizeof p);
  FitResult const fit = gna(&d, p, kOnlyC, with_limit(1));
  EXPECT_EQ(fit.status, FitStatus::kConverged);
  EXPECT_EQ(fit.iterations, 0);
  EXPECT_EQ(p[5], 1.5 + below);
  EXPECT_TRUE(same_bits(fit.ssr, below * below));
  EXPECT_TRUE(same_bits(fit.standard_errors[5], std::sqrt(below * below / 2499.0 * 1.0)));
}

// Convergence in the last allowed iteration is success; one fewer is failure
// with every applied step kept in p.
TEST(GnaEdge, ConvergenceAtLastAllowedIteration)
{
  static Data d;
  make_trace(d, kTruth2, true, 50.0, 9);
  FreeParams const free = free_for(false, true);
  double p[8], pk[8];
  start_from(p, kTruth2, false, true);
  FitResult const full = gna(&d, p, free);
  ASSERT_EQ(full.status, FitStatus::kConverged);
  int const K = full.iterations;
  ASSERT_GE(K, 2);

  start_from(pk, kTruth2, false, true);
  FitResult const last = gna(&d, pk, free, with_limit(K + 1));
  EXPECT_EQ(last.status, FitStatus::kConverged);
  EXPECT_EQ(last.iterations, K);
  EXPECT_EQ(0, std::memcmp(p, pk, sizeof p));
  EXPECT_TRUE(same_bits(last.ssr, full.ssr));

  start_from(pk, kTruth2, false, true);
  EXPECT_TRUE(failed_with(gna(&d, pk, free, with_limit(K)), FitStatus::kIterationLimit));
  double pr[8];
  start_from(pr, kTruth2, false, true);
  EXPECT_EQ(reference_gna(d, pr, free, K).status, FitStatus::kIterationLimit);
  EXPECT_EQ(0, std::memcmp(pk, pr, sizeof pk));  // K steps applied
  EXPECT_NE(0, std::memcmp(pk, p, sizeof pk));
}

// Locked parameters keep their bits on success and on both kinds of failure.
TEST(GnaEdge, LockedParametersKeepTheirBits)
{
  static Data d;
  make_trace(d, kTruth2, true, 50.0, 10);
  FreeParams const free = FreeParams().lock(1).lock(4);
  for (int limit : {50, 2}) {
    double p[8];
    start_from(p, kTruth2, true, true);
    p[1] = std::nextafter(-0.0016, 0.0);
    p[4] = std::nextafter(3.4, 4.0);
    double const l = p[1], s = p[4];
    FitResult const fit = gna(&d, p, free, with_limit(limit));
    EXPECT_EQ(fit.status, limit == 2 ? FitStatus::kIterationLimit : FitStatus::kConverged);
    EXPECT_TRUE(same_bits(p[1], l));
    EXPECT_TRUE(same_bits(p[4], s));
    EXPECT_EQ(fit.standard_errors[1], 0.0);
    EXPECT_EQ(fit.standard_errors[4], 0.0);
  }
  // Non-finite failure.
  d[10][1] = kNaN;
  double p[8];
  start_from(p, kTruth2, true, true);
  p[1] = std::nextafter(-0.0016, 0.0);
  EXPECT_TRUE(failed_with(gna(&d, p, free), FitStatus::kNonFiniteStep));
  EXPECT_TRUE(same_bits(p[1], std::nextafter(-0.0016, 0.0)));
}

// Decay rate and second pulse locked: v = SSR / 2495.
TEST(GnaEdge, DegreesOfFreedom2495)
{
  static Data d;
  make_trace(d, kTruth1, false, 50.0, 11);
  FreeParams const free = free_for(true, false);
  double p[8];
  start_from(p, kTruth1, true, false);
  ASSERT_EQ(gna(&d, p, free).status, FitStatus::kConverged);
  // From the converged point the next fit ends at k = 0, so its factors and
  // SSR are those of its own starting values.
  double p0[8];
  std::memcpy(p0, p, sizeof p);
  FitResult const fit = gna(&d, p, free);
  ASSERT_EQ(fit.status, FitStatus::kConverged);
  ASSERT_EQ(fit.iterations, 0);
  static RefWork w;
  initialize_J_rr(&d, p0, w.J, w.r, free);
  multiply_matrices(w.J, w.N);
  cholesky(w.N, w.L, free);
  double const ssr = ssr_at(d, p0, free);
  EXPECT_TRUE(same_bits(fit.ssr, ssr));
  for (int l = 0; l < 8; ++l) {
    if (free.is_locked(l)) {
      EXPECT_EQ(fit.standard_errors[l], 0.0);
      continue;
    }
    double e[8] = {0, 0, 0, 0, 0, 0, 0, 0}, z[8], x[8];
    e[l] = 1.0;
    solve_lower(w.L, z, e, free);
    solve_upper(w.L, x, z, free);
    EXPECT_TRUE(same_bits(fit.standard_errors[l], std::sqrt(ssr / 2495.0 * x[l]))) << l;
    EXPECT_FALSE(same_bits(fit.standard_errors[l], std::sqrt(ssr / 2492.0 * x[l]))) << l;
  }
}

// A free parameter that is 0 and stays 0: s is NaN every time, failure at the limit.
TEST(GnaEdge, ParameterStuckAtZeroNeverConverges)
{
  static Data d;
  double truth[8];
  std::memcpy(truth, kTruth1, sizeof truth);
  truth[2] = 0.0;
  make_trace(d, truth, false, 0.0, 0);
  FreeParams const free = FreeParams::none().release(2);
  double p[8];
  std::memcpy(p, truth, sizeof p);
  EXPECT_TRUE(failed_with(gna(&d, p, free, with_limit(5)), FitStatus::kIterationLimit));
  EXPECT_EQ(p[2], 0.0);

  // Starting from 0 with a real step: s is infinite once, then it converges.
  truth[2] = 37.0;
  make_trace(d, truth, false, 0.0, 0);
  p[2] = 0.0;
  FitResult const fit = gna(&d, p, free, with_limit(5));
  EXPECT_EQ(fit.status, FitStatus::kConverged);
  EXPECT_EQ(fit.iterations, 1);
  EXPECT_NEAR(p[2], 37.0, 1e-9);
}

// A limit below 1 fails without touching anything.
TEST(GnaEdge, NoIterationsAllowed)
{
  static Data d;
  make_trace(d, kTruth1, false, 50.0, 12);
  for (int limit : {0, -1}) {
    double p[8], p0[8];
    start_from(p, kTruth1, true, false);
    std::memcpy(p0, p, sizeof p);
    EXPECT_TRUE(failed_with(gna(&d, p, free_for(true, false), with_limit(limit)),
                            FitStatus::kIterationLimit));
    EXPECT_EQ(0, std::memcmp(p, p0, sizeof p));
  }
}

// ---------------------------------------------------------------------------
// gna against the literal composition of the oracles and the Cholesky
// routines, bit for bit.

TEST(GnaIdentity, MatchesReferenceBitForBit)
{
  static Data d;
  int compared = 0;
  for (Case c : kCases) {
    double const* truth = c.two ? kTruth2 : kTruth1;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      for (int limit : {50, 3}) {
        make_trace(d, truth, c.two, 50.0, 500 + seed);
        double p[8], pr[8];
        FreeParams const free = free_for(c.lambda_locked, c.two);
        start_from(p, truth, c.lambda_locked, c.two);
        p[3] += 0.37 * seed;
        std::memcpy(pr, p, sizeof p);
        FitResult const fit = gna(&d, p, free, with_limit(limit));
        SCOPED_TRACE(::testing::Message() << c.two << c.lambda_locked << seed << " " << limit);
        expect_same_fit(fit, p, reference_gna(d, pr, free, limit), pr);
        if (HasFatalFailure()) return;
        compared += fit.status == FitStatus::kConverged;
      }
    }
  }
  // Two-pulse path with only t2 locked, and with a pulse 2 that is tiny.
  FreeParams const free = FreeParams().lock(7);
  make_trace(d, kTruth2, true, 50.0, 99);
  double p[8], pr[8];
  start_from(p, kTruth2, false, true);
  p[6] = 3.0;
  std::memcpy(pr, p, sizeof p);
  FitResult const fit = gna(&d, p, free);
  expect_same_fit(fit, p, reference_gna(d, pr, free, 50), pr);
  EXPECT_GE(compared, 10);
}

// The fused pass against initialize_J_rr and the two sums, for all 256 sets,
// with and without a precomputed exp(lambda x), at every vector width this
// CPU has: the same bits, and nothing written outside the free lower triangle.
TEST(GnaIdentity, FusedPassMatchesRoutinesForEveryMask)
{
  int const widest = widest_vector_width();
  static Data d;
  static double e[kFitPoints];
  static zorv_fit::PassScratch scratch;
  make_trace(d, kTruth2, true, 50.0, 31);
  double p[8];
  start_from(p, kTruth2, false, true);
  zorv_fit::exp_lambda_x(&d, p[1], e);
  for (int m = 0; m < 256; ++m) {
    FreeParams free;
    for (int j = 0; j < 8; ++j)
      if ((m >> j) & 1) free.lock(j);
    Mat N_ref, N;
    double b_ref[8], b[8], ssr_ref, ssr = 0.0;
    reference_normal(d, p, free, N_ref, b_ref, ssr_ref);
    for (int t = 0; t < 6; ++t) {
      int const lanes = 2 << (t / 2);
      double const* cache = t % 2 ? e : nullptr;
      if (lanes > widest) break;
      ASSERT_EQ(set_vector_width(lanes), lanes);
      for (auto& row : N)
        for (double& v : row) v = -3.0;
      for (double& v : b) v = -3.0;
      zorv_fit::normal_pass(&d, p, free, cache, scratch, N, b, &ssr);
      ASSERT_TRUE(same_bits(ssr, ssr_ref)) << m << " lanes " << lanes;
      for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(free.is_locked(i) ? b[i] == -3.0 : same_bits(b[i], b_ref[i])) << m << " " << i;
        for (int j = 0; j < 8; ++j) {
          bool const used = free.is_free(i) && free.is_free(j) && j <= i;
          ASSERT_TRUE(used ? same_bits(N[i][j], N_ref[i][j]) : N[i][j] == -3.0) << m << " " << i << j;
        }
      }
    }
  }
  set_vector_width(widest);
}

// Across the thresholds of the exact shortcuts, NaN rows included (they make
// the pass run again with no column left out): the fused pass against the
// plain routines for the program's masks and two others, at every width.
TEST(GnaIdentity, FusedPassAcrossTheThresholdsAtEveryWidth)
{
  static Data d;
  static double e[kFitPoints];
  static zorv_fit::PassScratch scratch;
  FreeParams const masks[] = {FreeParams(), FreeParams().lock(6).lock(7), FreeParams().lock(1),
                              FreeParams().lock(1).lock(6).lock(7),
                              FreeParams().lock(0).lock(5).lock(7)};
  int const widest = widest_vector_width();
  for (auto const& c : threshold_cases()) {
    ASSERT_GE(threshold_data(c, d, 11), 12) << c.name;
    double p[8];
    std::memcpy(p, c.p, sizeof p);
    zorv_fit::exp_lambda_x(&d, p[1], e);
    for (FreeParams free : masks) {
      Mat N_ref, N;
      double b_ref[8], b[8], ssr_ref, ssr = 0.0;
      reference_normal(d, p, free, N_ref, b_ref, ssr_ref);
      for (int lanes = 2; lanes <= widest; lanes *= 2) {
        ASSERT_EQ(set_vector_width(lanes), lanes);
        zorv_fit::normal_pass(&d, p, free, free.is_locked(1) ? e : nullptr, scratch, N, b, &ssr);
        ASSERT_TRUE(same_value(ssr, ssr_ref)) << c.name << " lanes " << lanes;
        for (int i = 0; i < 8; ++i) {
          if (free.is_locked(i)) continue;
          ASSERT_TRUE(same_value(b[i], b_ref[i])) << c.name << " lanes " << lanes << " b " << i;
          for (int j = 0; j <= i; ++j) {
            if (free.is_locked(j)) continue;
            ASSERT_TRUE(same_value(N[i][j], N_ref[i][j])) << c.name << " lanes " << lanes << " N " << i << j;
          }
        }
      }
    }
    // Whole fits from the case's parameters: the same outcome and bits.
    for (FreeParams free : masks) {
      for (int lanes = 2; lanes <= widest; lanes *= 2) {
        set_vector_width(lanes);
        double p1[8], p2[8];
        std::memcpy(p1, c.p, sizeof p1);
        std::memcpy(p2, c.p, sizeof p2);
        FitResult const fit = gna(&d, p1, free);
        FitResult const ref = reference_gna(d, p2, free, 50);
        ASSERT_EQ(fit.status, ref.status) << c.name;
        for (int j = 0; j < 8; ++j) ASSERT_TRUE(same_value(p1[j], p2[j])) << c.name << " " << j;
        ASSERT_EQ(fit.iterations, ref.iterations);
        ASSERT_TRUE(same_bits(fit.ssr, ref.ssr));
        ASSERT_EQ(0, std::memcmp(fit.standard_errors, ref.standard_errors,
                                 sizeof fit.standard_errors));
      }
    }
  }
  set_vector_width(widest);
}
