#include "model/multi_sine_fit.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
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
  std::vector<double> f0(static_cast<std::size_t>(m));
  for (int s = 0; s < m; ++s) {
    const auto& t = table.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])];
    const double theta = kTwoPi * (t.phase + t.frequency * (epoch - table.epoch));
    x[1 + 2 * s] = t.amplitude * std::sin(theta);
    x[2 + 2 * s] = t.amplitude * std::cos(theta);
    f0[static_cast<std::size_t>(s)] = t.frequency;
    if (L.freqParam[static_cast<std::size_t>(s)] >= 0)
      x[L.freqParam[static_cast<std::size_t>(s)]] = t.frequency;
  }
  auto frequencies = [&](const Eigen::VectorXd& v) {
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
  Eigen::MatrixXd J(N, p);
  Eigen::VectorXd r(N);
  // Weighted residuals, and the Jacobian of the model when wanted.
  auto evaluate = [&](const Eigen::VectorXd& v, bool jacobian) {
    const std::vector<double> f = frequencies(v);
    if (jacobian) J.setZero();
    for (Eigen::Index j = 0; j < N; ++j) {
      const double tau = time[static_cast<std::size_t>(j)] - epoch;
      double model = v[0];
      if (jacobian) J(j, 0) = sw[j];
      for (int s = 0; s < m; ++s) {
        const double arg = kTwoPi * f[static_cast<std::size_t>(s)] * tau;
        const double c = std::cos(arg), si = std::sin(arg);
        const double a = v[1 + 2 * s], b = v[2 + 2 * s];
        model += a * c + b * si;
        if (!jacobian) continue;
        J(j, 1 + 2 * s) = sw[j] * c;
        J(j, 2 + 2 * s) = sw[j] * si;
        const double dfd = sw[j] * kTwoPi * tau * (b * c - a * si);
        const int fp = L.freqParam[static_cast<std::size_t>(s)];
        if (fp >= 0) {
          J(j, fp) += dfd;
        } else {
          const Combination& cb =
              table.terms[static_cast<std::size_t>(L.active[static_cast<std::size_t>(s)])]
                  .combination;
          J(j, L.freqParam[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(cb.i)])]) +=
              cb.n * dfd;
          if (cb.j >= 0)
            J(j, L.freqParam[static_cast<std::size_t>(L.slot[static_cast<std::size_t>(cb.j)])]) +=
                cb.m * dfd;
        }
      }
      r[j] = sw[j] * (value[static_cast<std::size_t>(j)] - model);
    }
    return r.squaredNorm();
  };

  double rss = evaluate(x, true);
  if (!std::isfinite(rss)) {
    result.message = "the values or the starting table are not finite";
    return result;
  }
  double lambda = 1e-3;
  bool converged = false;
  Eigen::MatrixXd A(p, p);
  Eigen::VectorXd g(p);
  int it = 0;
  for (; it < options.maxIterations; ++it) {
    A.setZero();
    A.selfadjointView<Eigen::Lower>().rankUpdate(J.transpose());
    A = A.selfadjointView<Eigen::Lower>();
    g = J.transpose() * r;
    const Eigen::VectorXd d = A.diagonal();
    if ((d.array() <= 0.0).any()) {
      result.message = "a parameter has no influence on the model (zero amplitude or no data)";
      return result;
    }
    bool improved = false;
    Eigen::VectorXd step;
    for (int tries = 0; tries < 30; ++tries) {
      Eigen::MatrixXd Ad = A;
      Ad.diagonal() += lambda * d;
      Eigen::LDLT<Eigen::MatrixXd> ldlt(Ad);
      if (ldlt.info() != Eigen::Success) {
        lambda *= 10.0;
        continue;
      }
      step = ldlt.solve(g);
      const Eigen::VectorXd trial = x + step;
      const double trialRss = evaluate(trial, false);
      if (std::isfinite(trialRss) && trialRss <= rss) {
        const double drop = rss - trialRss;
        x = trial;
        rss = evaluate(x, true);
        lambda = std::max(lambda / 10.0, 1e-12);
        improved = true;
        // Converged when a step lowers chi^2 (the sum of squares over the
        // residual variance) by less than 1e-6: the parameters then move
        // by about 1e-3 of their errors.
        const double variance = rss / (static_cast<double>(n) - p);
        if (drop <= 1e-6 * variance) converged = true;
        break;
      }
      lambda *= 10.0;
    }
    if (!improved) {
      // No step lowers the sum of squares: at a minimum when the gradient
      // is negligible against the scale of the normal equations.
      const double gn = (g.array() / d.array().sqrt()).matrix().norm();
      converged = gn <= 1e-8 * std::sqrt(rss + 1e-300);
      if (!converged) result.message = "no step lowers the sum of squares (lambda grew past 1e30)";
      break;
    }
    if (converged) break;
  }
  result.iterations = it + 1;
  if (!converged) {
    if (result.message.empty())
      result.message = "no convergence in " + std::to_string(options.maxIterations) + " iterations";
    return result;
  }
  // Covariance: s^2 (J^T J)^-1 with s^2 = rss / (n - p).
  A.setZero();
  A.selfadjointView<Eigen::Lower>().rankUpdate(J.transpose());
  A = A.selfadjointView<Eigen::Lower>();
  Eigen::FullPivLU<Eigen::MatrixXd> lu(A);
  if (!lu.isInvertible() || lu.rcond() < 1e-15) {
    result.message =
        "the normal equations are singular: two frequencies closer than the data resolve, or "
        "a term without amplitude";
    return result;
  }
  const double dof = static_cast<double>(n) - p;
  const Eigen::MatrixXd cov = lu.inverse() * (rss / dof);
  const std::vector<double> f = frequencies(x);
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
  (void)f0;
  table = std::move(out);
  result.converged = true;
  result.residualRms = table.residualRms;
  result.residual = std::move(residual);
  return result;
}

}  // namespace fazorn
