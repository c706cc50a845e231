#include "model/multi_sine_fit.h"

#include <ceres/ceres.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace fazorn {

namespace {

constexpr double kTwoPi = 2.0 * M_PI;

// The layout of the parameter vector: [c, (a_k, b_k) per active term,
// f per free active term].
struct Layout {
  std::vector<int> active;     // table indices of the enabled terms
  std::vector<int> slot;       // table index -> position in `active`, -1 when off
  std::vector<int> freqParam;  // per active term: its frequency parameter, -1 when related
  int parameters = 0;
};

// All n residuals in one block over the one parameter block of p values;
// `evaluate` (parameters, residuals, row-major Jacobian or null) is the
// model's own analytic derivative.
class SineSumCost final : public ceres::CostFunction {
 public:
  using Model = std::function<void(const double*, double*, double*)>;
  SineSumCost(int residuals, int parameters, Model evaluate) : evaluate_(std::move(evaluate)) {
    set_num_residuals(residuals);
    mutable_parameter_block_sizes()->push_back(parameters);
  }
  bool Evaluate(double const* const* parameters, double* residuals,
                double** jacobians) const override {
    evaluate_(parameters[0], residuals, jacobians != nullptr ? jacobians[0] : nullptr);
    const Eigen::Map<const Eigen::VectorXd> r(residuals, num_residuals());
    // A step into overflow is refused, and the trust region shrinks.
    return r.allFinite();
  }

 private:
  Model evaluate_;
};

double wrapPhase(double cycles) {
  double p = cycles - std::floor(cycles);
  return p >= 1.0 ? 0.0 : p;
}

}  // namespace

std::vector<double> evaluateFrequencyTable(const FrequencyTable& table,
                                           std::span<const double> time) {
  std::vector<double> y(time.size(), table.zeroPoint);
  for (const auto& t : table.terms) {
    if (!t.enabled) continue;
    for (std::size_t j = 0; j < time.size(); ++j)
      y[j] += t.amplitude * std::sin(kTwoPi * (t.frequency * (time[j] - table.epoch) + t.phase));
  }
  return y;
}

MultiSineFitResult fitFrequencyTable(std::span<const double> time, std::span<const double> value,
                                     std::span<const double> error, FrequencyTable& table,
                                     const MultiSineFitOptions& options) {
  MultiSineFitResult result;
  const std::size_t n = std::min(time.size(), value.size());
  const int termCount = static_cast<int>(table.terms.size());
  Layout L;
  L.slot.assign(static_cast<std::size_t>(termCount), -1);
  for (int k = 0; k < termCount; ++k)
    if (table.terms[static_cast<std::size_t>(k)].enabled) {
      L.slot[static_cast<std::size_t>(k)] = static_cast<int>(L.active.size());
      L.active.push_back(k);
    }
  const int m = static_cast<int>(L.active.size());
  // Relations: parents must be enabled and free.
  for (int s = 0; s < m; ++s) {
    const auto& t = table.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])];
    if (!t.fixedToCombination) continue;
    const Combination& c = t.combination;
    for (int p : {c.i, c.j}) {
      if (p < 0 && p == c.j) continue;
      if (!c.valid() || p >= termCount || L.slot[static_cast<std::size_t>(p)] < 0 ||
          table.terms[static_cast<std::size_t>(p)].fixedToCombination) {
        result.message = "f" + std::to_string(L.active[static_cast<std::size_t>(s)] + 1) +
                         " is fixed to " + combinationText(c) +
                         ", which needs enabled terms that are not fixed themselves";
        return result;
      }
    }
  }
  int p = 1 + 2 * m;
  L.freqParam.assign(static_cast<std::size_t>(m), -1);
  for (int s = 0; s < m; ++s)
    if (!table.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])]
             .fixedToCombination)
      L.freqParam[static_cast<std::size_t>(s)] = p++;
  L.parameters = p;
  if (static_cast<int>(n) <= p) {
    result.message =
        "too few points (" + std::to_string(n) + ") for " + std::to_string(p) + " parameters";
    return result;
  }
  double tMin = std::numeric_limits<double>::infinity(), tMax = -tMin, tSum = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    tMin = std::min(tMin, time[j]);
    tMax = std::max(tMax, time[j]);
    tSum += time[j];
  }
  const double span = tMax - tMin;
  // The epoch in the middle of the data keeps frequency and phase nearly
  // uncorrelated; a table's own epoch is kept when it lies in the data.
  const double epoch = (table.epoch >= tMin && table.epoch <= tMax && !table.terms.empty())
                           ? table.epoch
                           : tSum / static_cast<double>(n);
  Eigen::VectorXd sw(static_cast<Eigen::Index>(n));  // sqrt of the weights
  for (std::size_t j = 0; j < n; ++j) {
    double w = 1.0;
    if (options.useWeights && j < error.size()) {
      const double e = error[j];
      w = (e > 0.0 && std::isfinite(e)) ? 1.0 / e : 0.0;
    }
    sw[static_cast<Eigen::Index>(j)] = w;
  }
  // Start: a, b from amplitude and phase at the new epoch.
  Eigen::VectorXd x(p);
  x[0] = table.zeroPoint;
  for (int s = 0; s < m; ++s) {
    const auto& t = table.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])];
    const double theta = kTwoPi * (t.phase + t.frequency * (epoch - table.epoch));
    x[1 + 2 * s] = t.amplitude * std::sin(theta);
    x[2 + 2 * s] = t.amplitude * std::cos(theta);
    if (L.freqParam[static_cast<std::size_t>(s)] >= 0)
      x[L.freqParam[static_cast<std::size_t>(s)]] = t.frequency;
  }
  auto frequencies = [&](const double* v) {
    std::vector<double> f(static_cast<std::size_t>(m));
    for (int s = 0; s < m; ++s)
      if (L.freqParam[static_cast<std::size_t>(s)] >= 0)
        f[static_cast<std::size_t>(s)] = v[L.freqParam[static_cast<std::size_t>(s)]];
    for (int s = 0; s < m; ++s) {
      const auto& t = table.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])];
      if (L.freqParam[static_cast<std::size_t>(s)] >= 0) continue;
      const Combination& c = t.combination;
      double fc = c.n * f[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(c.i)])];
      if (c.j >= 0) fc += c.m * f[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(c.j)])];
      f[static_cast<std::size_t>(s)] = fc;
    }
    return f;
  };
  const auto N = static_cast<Eigen::Index>(n);
  for (std::size_t j = 0; j < n; ++j)
    if (!std::isfinite(value[j]) || !std::isfinite(sw[static_cast<Eigen::Index>(j)])) {
      result.message = "the values or the starting table are not finite";
      return result;
    }
  if (!x.allFinite()) {
    result.message = "the values or the starting table are not finite";
    return result;
  }
  // A parameter without influence makes the normal equations singular from
  // the start: no point carries weight, or every term whose frequency a
  // parameter moves has no amplitude.
  {
    bool anyWeight = false;
    for (Eigen::Index j = 0; j < N; ++j) anyWeight = anyWeight || sw[j] > 0.0;
    std::vector<char> moved(static_cast<std::size_t>(p), 0);
    for (int s = 0; s < m; ++s) {
      if (x[1 + 2 * s] == 0.0 && x[2 + 2 * s] == 0.0) continue;
      const int fp = L.freqParam[static_cast<std::size_t>(s)];
      if (fp >= 0) {
        moved[static_cast<std::size_t>(fp)] = 1;
        continue;
      }
      const Combination& cb =
          table.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])].combination;
      for (int parent : {cb.i, cb.j})
        if (parent >= 0 && (parent == cb.i ? cb.n : cb.m) != 0)
          moved[static_cast<std::size_t>(
              L.freqParam[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(parent)])])] = 1;
    }
    bool allMoved = true;
    for (int s = 0; s < m; ++s) {
      const int fp = L.freqParam[static_cast<std::size_t>(s)];
      if (fp >= 0) allMoved = allMoved && moved[static_cast<std::size_t>(fp)];
    }
    if (!anyWeight || !allMoved) {
      result.message = "a parameter has no influence on the model (zero amplitude or no data)";
      return result;
    }
  }
  // Weighted residuals r = sw (value - model) and, when asked, their
  // Jacobian (row-major, n x p) at the parameters v.
  auto evaluate = [&](const double* v, double* r, double* jacobian) {
    const std::vector<double> f = frequencies(v);
    for (Eigen::Index j = 0; j < N; ++j) {
      const double tau = time[static_cast<std::size_t>(j)] - epoch;
      const double w = sw[j];
      double* row = jacobian ? jacobian + j * p : nullptr;
      if (row) {
        // Every cell is set below; only the frequency columns accumulate
        // (a combination adds to its parents').
        row[0] = -w;
        for (int q = 1 + 2 * m; q < p; ++q) row[q] = 0.0;
      }
      double model = v[0];
      for (int s = 0; s < m; ++s) {
        const double arg = kTwoPi * f[static_cast<std::size_t>(s)] * tau;
        const double c = std::cos(arg), si = std::sin(arg);
        const double a = v[1 + 2 * s], b = v[2 + 2 * s];
        model += a * c + b * si;
        if (!row) continue;
        row[1 + 2 * s] = -w * c;
        row[2 + 2 * s] = -w * si;
        const double dfd = -w * kTwoPi * tau * (b * c - a * si);
        const int fp = L.freqParam[static_cast<std::size_t>(s)];
        if (fp >= 0) {
          row[fp] += dfd;
        } else {
          const Combination& cb =
              table.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])]
                  .combination;
          row[L.freqParam[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(cb.i)])]] +=
              cb.n * dfd;
          if (cb.j >= 0)
            row[L.freqParam[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(cb.j)])]] +=
                cb.m * dfd;
        }
      }
      r[j] = w * (value[static_cast<std::size_t>(j)] - model);
    }
  };
  SineSumCost cost(static_cast<int>(N), p, evaluate);
  ceres::Problem::Options problemOptions;
  problemOptions.cost_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
  ceres::Problem problem(problemOptions);
  problem.AddResidualBlock(&cost, nullptr, x.data());
  ceres::Solver::Options solverOptions;
  // Levenberg-Marquardt on the normal equations, solved by Eigen's dense
  // Cholesky on one thread: the same arithmetic in the same order whatever
  // the machine or the callers' thread count (a threaded LAPACK would sum
  // in an order that depends on it).
  solverOptions.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  solverOptions.linear_solver_type = ceres::DENSE_NORMAL_CHOLESKY;
  solverOptions.dense_linear_algebra_library_type = ceres::EIGEN;
  solverOptions.num_threads = 1;
  solverOptions.max_num_iterations = std::max(options.maxIterations, 1);
  solverOptions.logging_type = ceres::SILENT;
  solverOptions.minimizer_progress_to_stdout = false;
  // Converged when a step lowers chi^2 (the sum of squares over the
  // residual variance) by less than 1e-6: the parameters then move by about
  // 1e-3 of their errors. Ceres compares the change with the cost itself,
  // which is (n - p) variances at the minimum. Its gradient and step
  // tests are off: they are absolute in the units of the values and the
  // parameters (the step's against the norm of all parameters, zero point
  // and frequencies included), and would mean something else for
  // magnitudes than for fluxes of 1e5.
  solverOptions.function_tolerance = 1e-6 / (static_cast<double>(n) - p);
  solverOptions.gradient_tolerance = 0.0;
  solverOptions.parameter_tolerance = 0.0;
  ceres::Solver::Summary summary;
  ceres::Solve(solverOptions, &problem, &summary);
  result.iterations = summary.num_successful_steps + summary.num_unsuccessful_steps;
  if (summary.termination_type == ceres::NO_CONVERGENCE) {
    result.message = "no convergence in " + std::to_string(options.maxIterations) + " iterations";
    return result;
  }
  if (summary.termination_type != ceres::CONVERGENCE) {
    // Ceres fails when the model cannot be evaluated at the start or the
    // damped normal equations cannot be factored.
    result.message = summary.initial_cost >= 0.0 && std::isfinite(summary.initial_cost)
                         ? "the normal equations could not be solved: a parameter without "
                           "influence, or two frequencies closer than the data resolve"
                         : "the values or the starting table are not finite";
    return result;
  }
  Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> J(N, p);
  Eigen::VectorXd r(N);
  evaluate(x.data(), r.data(), J.data());
  const double rss = r.squaredNorm();
  Eigen::MatrixXd A(p, p);
  A.setZero();
  A.selfadjointView<Eigen::Lower>().rankUpdate(J.transpose());
  A = A.selfadjointView<Eigen::Lower>();
  // The trust region shrank to nothing: no step lowers the sum of squares.
  // That is a minimum only when the gradient is negligible against the
  // scale of the normal equations.
  if (!summary.iterations.empty() &&
      summary.iterations.back().trust_region_radius <= solverOptions.min_trust_region_radius) {
    const Eigen::VectorXd g = J.transpose() * r;
    const Eigen::VectorXd d = A.diagonal();
    const double gn =
        (g.array() / d.array().max(std::numeric_limits<double>::min()).sqrt()).matrix().norm();
    if (!(gn <= 1e-8 * std::sqrt(rss + 1e-300))) {
      result.message = "no step lowers the sum of squares (the trust region shrank to nothing)";
      return result;
    }
  }
  // Covariance: s^2 (J^T J)^-1 with s^2 = rss / (n - p).
  Eigen::FullPivLU<Eigen::MatrixXd> lu(A);
  if (!lu.isInvertible() || lu.rcond() < 1e-15) {
    result.message =
        "the normal equations are singular: two frequencies closer than the data resolve, or "
        "a term without amplitude";
    return result;
  }
  const double dof = static_cast<double>(n) - p;
  const Eigen::MatrixXd cov = lu.inverse() * (rss / dof);
  const std::vector<double> f = frequencies(x.data());
  // Frequencies must stay distinct and positive.
  for (int s = 0; s < m; ++s)
    if (!(f[static_cast<std::size_t>(s)] > 0.0)) {
      result.message = "f" + std::to_string(L.active[static_cast<std::size_t>(s)] + 1) +
                       " ran to a frequency of 0 or below";
      return result;
    }

  // Unweighted residual rms for the analytic errors and the report.
  std::vector<double> residual(n);
  double sumSq = 0.0;
  {
    for (std::size_t j = 0; j < n; ++j) {
      const double tau = time[j] - epoch;
      double model = x[0];
      for (int s = 0; s < m; ++s) {
        const double arg = kTwoPi * f[static_cast<std::size_t>(s)] * tau;
        model += x[1 + 2 * s] * std::cos(arg) + x[2 + 2 * s] * std::sin(arg);
      }
      residual[j] = value[j] - model;
      sumSq += residual[j] * residual[j];
    }
  }
  const double sigmaRes = std::sqrt(sumSq / dof);
  const double dn = static_cast<double>(n);

  FrequencyTable out = table;
  out.epoch = epoch;
  out.zeroPoint = x[0];
  out.points = static_cast<int>(n);
  out.timeSpan = span;
  out.residualRms = std::sqrt(sumSq / dn);
  for (int s = 0; s < m; ++s) {
    auto& t = out.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])];
    const int ia = 1 + 2 * s, ib = 2 + 2 * s;
    const double a = x[ia], b = x[ib];
    const double amp = std::hypot(a, b);
    t.frequency = f[static_cast<std::size_t>(s)];
    t.amplitude = amp;
    t.phase = wrapPhase(std::atan2(a, b) / kTwoPi);
    // Amplitude and phase from (a, b): dA = (a da + b db) / A,
    // dtheta = (b da - a db) / A^2.
    const double caa = cov(ia, ia), cbb = cov(ib, ib), cab = cov(ia, ib);
    if (amp > 0.0) {
      t.amplitudeError =
          std::sqrt(std::max(0.0, (a * a * caa + b * b * cbb + 2 * a * b * cab) / (amp * amp)));
      t.phaseError = std::sqrt(std::max(0.0, (b * b * caa + a * a * cbb - 2 * a * b * cab))) /
                     (amp * amp) / kTwoPi;
    } else {
      t.amplitudeError = t.phaseError = std::numeric_limits<double>::quiet_NaN();
    }
    const int fp = L.freqParam[static_cast<std::size_t>(s)];
    if (fp >= 0) {
      t.frequencyError = std::sqrt(std::max(0.0, cov(fp, fp)));
    } else {
      const Combination& c = t.combination;
      const int pi = L.freqParam[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(c.i)])];
      double var = c.n * c.n * cov(pi, pi);
      if (c.j >= 0) {
        const int pj = L.freqParam[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(c.j)])];
        var += c.m * c.m * cov(pj, pj) + 2.0 * c.n * c.m * cov(pi, pj);
      }
      t.frequencyError = std::sqrt(std::max(0.0, var));
    }
    t.amplitudeErrorMO = std::sqrt(2.0 / dn) * sigmaRes;
    t.phaseErrorMO =
        amp > 0.0 ? t.amplitudeErrorMO / (kTwoPi * amp) : std::numeric_limits<double>::quiet_NaN();
    t.frequencyErrorMO = (amp > 0.0 && span > 0.0)
                             ? std::sqrt(6.0 / dn) * sigmaRes / (M_PI * span * amp)
                             : std::numeric_limits<double>::quiet_NaN();
  }
  table = std::move(out);
  result.converged = true;
  result.residualRms = table.residualRms;
  result.residual = std::move(residual);
  return result;
}

}  // namespace fazorn
