// Peer benchmark, Ceres Solver's side: the traces of peer_gna fitted by Ceres.
//
//   peer_ceres TRACES RESULTS TIMINGS [SECONDS]
//
// Same single-pulse model as gna fits (first pulse, baseline, tail; the
// second pulse is locked out), six free parameters A1, lambda, B, t1, sigma,
// C, written as a CostFunction of its own with the analytic Jacobian:
//
//   r_i = A1 h c + B + C exp(lambda x) - y_i,   h = 0.5 exp((x - t1) lambda + 0.5 lambda^2 sigma^2),
//   c = 1 - erf(g / (sqrt2 sigma)),  g = -lambda sigma^2 - (x - t1),  q = exp(-g^2 / (2 sigma^2)) / sqrt(pi).
//
// Solver: trust region, Levenberg-Marquardt, DENSE_NORMAL_CHOLESKY (Eigen),
// one thread, otherwise Ceres's defaults. Stopping: gna stops when the
// relative step sqrt(sum (delta_j / p_j)^2) falls below 1e-9. Ceres's own
// parameter test is a norm over the whole vector, |delta| <= tol |p|, which
// with parameters from 1e-3 (lambda) to 3e4 (A1, B) cannot say the same, so
// an IterationCallback applies exactly our test to every successful step
// and ends the solve with USER_SUCCESS. Ceres's function, gradient and
// parameter tolerances are set to 0, so that otherwise only a standstill
// ends it: a step that leaves the cost unchanged to the last bit, or a zero
// step. That happens when the steps have become too small for the cost to
// tell them apart, before our test is met; such fits count as converged by
// Ceres's own test. At most 50 iterations, as the worker allows gna.
//
// Timed per trace: building the Problem and Solve, CPU time of this thread,
// pass after pass until SECONDS (default 1) are used. The fits go to
// RESULTS, one line "ceres FITS CPU_SECONDS WALL_SECONDS" is appended to
// TIMINGS.
#include <ceres/ceres.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "peer_files.h"

namespace {

constexpr int kFree = 6;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kInvSqrtPi = 0.5641895835477563;
constexpr double kStepTolerance = 1e-9;

double thread_seconds()
{
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

double wall_seconds()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

// Residuals model - y over the 2,500 samples (x = sample index) and, when
// asked, the 2,500 x 6 Jacobian, row-major. One exp(lambda x), one exp(u) and
// one erf per point; the Gaussian exp only for the Jacobian.
class PulseCost final : public ceres::SizedCostFunction<kPeerPoints, kFree> {
public:
  explicit PulseCost(double const* y) : y_(y) {}

  bool Evaluate(double const* const* parameters, double* residuals,
                double** jacobians) const override
  {
    double const* q = parameters[0];
    double const A = q[0], l = q[1], B = q[2], t = q[3], s = q[4], C = q[5];
    double const ss = s * s;
    double const half_l2s2 = 0.5 * l * l * ss;
    double const z_scale = 1.0 / (kSqrt2 * s);
    double* J = jacobians != nullptr ? jacobians[0] : nullptr;
    for (int i = 0; i < kPeerPoints; ++i) {
      double const x = i;
      double const d = x - t;
      double const e = std::exp(l * x);
      double const h = 0.5 * std::exp(d * l + half_l2s2);
      double const g = -l * ss - d;
      double const c = 1.0 - std::erf(g * z_scale);
      residuals[i] = A * h * c + B + C * e - y_[i];
      if (J == nullptr) continue;
      double const gauss = kInvSqrtPi * std::exp(-g * g / (2.0 * ss));
      double const Ah = A * h;
      double* row = J + kFree * i;
      row[0] = h * c;
      row[1] = C * x * e + Ah * (-g * c + kSqrt2 * s * gauss);
      row[2] = 1.0;
      row[3] = Ah * (-l * c - kSqrt2 / s * gauss);
      row[4] = Ah * (l * l * s * c - kSqrt2 * (d / ss - l) * gauss);
      row[5] = e;
    }
    return true;
  }

private:
  double const* y_;
};

// gna's convergence test on Ceres's successful steps: sqrt(sum over the
// free j of (delta_j / p_j)^2) < 1e-9, p_j before the step. Needs
// update_state_every_iteration, so that q holds the current parameters.
class RelativeStep final : public ceres::IterationCallback {
public:
  explicit RelativeStep(double const* q) : q_(q) { std::memcpy(prev_, q, sizeof prev_); }

  ceres::CallbackReturnType operator()(ceres::IterationSummary const& summary) override
  {
    if (summary.iteration == 0 || !summary.step_is_successful) return ceres::SOLVER_CONTINUE;
    double s = 0.0;
    for (int j = 0; j < kFree; ++j) {
      double const d = q_[j] - prev_[j];
      s += d * d / (prev_[j] * prev_[j]);
      prev_[j] = q_[j];
    }
    return std::sqrt(s) < kStepTolerance ? ceres::SOLVER_TERMINATE_SUCCESSFULLY
                                         : ceres::SOLVER_CONTINUE;
  }

private:
  double const* q_;
  double prev_[kFree];
};

// Largest relative difference between the analytic Jacobian and central
// differences at the start values of one trace, over entries that matter
// (|J| above 1e-6 of its column's largest entry).
double jacobian_check(PeerTrace const& t)
{
  PulseCost cost(t.y);
  std::vector<double> r(kPeerPoints), rp(kPeerPoints), rm(kPeerPoints), J(kPeerPoints * kFree);
  double q[kFree];
  std::memcpy(q, t.p0, sizeof q);
  double const* params[1] = {q};
  double* jac[1] = {J.data()};
  cost.Evaluate(params, r.data(), jac);
  double worst = 0.0;
  for (int j = 0; j < kFree; ++j) {
    double const step = 1e-6 * std::fabs(q[j]);
    double qp[kFree], qm[kFree];
    std::memcpy(qp, q, sizeof q);
    std::memcpy(qm, q, sizeof q);
    qp[j] += step;
    qm[j] -= step;
    double const* pp[1] = {qp};
    double const* pm[1] = {qm};
    cost.Evaluate(pp, rp.data(), nullptr);
    cost.Evaluate(pm, rm.data(), nullptr);
    double col_max = 0.0;
    for (int i = 0; i < kPeerPoints; ++i) col_max = std::fmax(col_max, std::fabs(J[kFree * i + j]));
    for (int i = 0; i < kPeerPoints; ++i) {
      double const a = J[kFree * i + j];
      if (std::fabs(a) < 1e-6 * col_max) continue;
      double const fd = (rp[i] - rm[i]) / (qp[j] - qm[j]);
      worst = std::fmax(worst, std::fabs(fd - a) / col_max);
    }
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc < 4) {
    std::printf("usage: peer_ceres TRACES RESULTS TIMINGS [SECONDS]\n");
    return 1;
  }
  double const min_seconds = argc > 4 ? std::atof(argv[4]) : 1.0;
  std::vector<PeerTrace> traces;
  if (read_peer_file(argv[1], kTracesMagic, traces) || traces.empty()) {
    std::printf("Error: cannot read '%s'\n", argv[1]);
    return 1;
  }
  int const n = static_cast<int>(traces.size());
  for (auto const& t : traces) {
    bool single = t.lock[6] == 1 && t.lock[7] == 1;
    for (int j = 0; j < kFree; ++j) single = single && t.lock[j] == 0;
    if (!single) {
      std::printf("Error: peer_ceres fits the single-pulse model with A1 .. C free only\n");
      return 1;
    }
  }
  std::printf("ceres: Jacobian vs central differences on trace 0: %.1e of the column scale\n",
              jacobian_check(traces[0]));

  ceres::Solver::Options options;
  options.minimizer_type = ceres::TRUST_REGION;
  options.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  options.linear_solver_type = ceres::DENSE_NORMAL_CHOLESKY;
  options.dense_linear_algebra_library_type = ceres::EIGEN;
  options.num_threads = 1;
  options.max_num_iterations = 50;
  options.function_tolerance = 0.0;
  options.gradient_tolerance = 0.0;
  options.parameter_tolerance = 0.0;
  options.update_state_every_iteration = true;
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;
  std::string why;
  if (!options.IsValid(&why)) {
    std::printf("Error: Ceres options: %s\n", why.c_str());
    return 1;
  }

  ceres::Problem::Options problem_options;
  problem_options.cost_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;

  std::vector<PeerResult> results(n);
  double cpu = 0.0;
  double const wall0 = wall_seconds();
  long fits = 0;
  for (int pass = 0; pass == 0 || cpu < min_seconds; ++pass) {
    double const t0 = thread_seconds();
    for (int i = 0; i < n; ++i) {
      PeerTrace const& t = traces[i];
      double q[kFree];
      std::memcpy(q, t.p0, sizeof q);
      PulseCost cost(t.y);
      ceres::Problem problem(problem_options);
      problem.AddResidualBlock(&cost, nullptr, q);
      RelativeStep test(q);
      ceres::Solver::Options o = options;
      o.callbacks.push_back(&test);
      ceres::Solver::Summary summary;
      ceres::Solve(o, &problem, &summary);
      if (pass == 0) {
        PeerResult& r = results[i];
        std::memset(&r, 0, sizeof r);
        r.status = summary.termination_type == ceres::USER_SUCCESS  ? kConverged
                   : summary.termination_type == ceres::CONVERGENCE ? kOwnTest
                                                                     : kFailed;
        r.n_jac = summary.num_jacobian_evaluations;
        r.n_fun = summary.num_residual_evaluations;
        r.ssr = 2.0 * summary.final_cost;
        std::memcpy(r.p, q, sizeof q);
        r.p[6] = t.p0[6];
        r.p[7] = t.p0[7];
      }
    }
    cpu += thread_seconds() - t0;
    fits += n;
  }
  double const wall = wall_seconds() - wall0;

  if (write_peer_file(argv[2], kResultsMagic, results)) {
    std::printf("Error: cannot write '%s'\n", argv[2]);
    return 1;
  }
  FILE* tf = std::fopen(argv[3], "a");
  if (!tf) return 1;
  std::fprintf(tf, "ceres %ld %.6f %.6f\n", fits, cpu, wall);
  std::fclose(tf);
  std::printf("ceres: %5ld fits in %.3f s CPU (%.3f s wall): %.0f fits/s\n", fits, cpu, wall,
              fits / cpu);
  return 0;
}
