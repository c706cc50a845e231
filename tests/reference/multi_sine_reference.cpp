#include "reference/multi_sine_reference.h"

#include <cmath>
#include <utility>

namespace fazorn::reference {

namespace {

using Matrix = std::vector<std::vector<double>>;

// The inverse of a symmetric positive definite matrix by Gauss-Jordan with
// partial pivoting.
Matrix inverse(Matrix a) {
  const std::size_t p = a.size();
  Matrix inv(p, std::vector<double>(p, 0.0));
  for (std::size_t i = 0; i < p; ++i) inv[i][i] = 1.0;
  for (std::size_t col = 0; col < p; ++col) {
    std::size_t pivot = col;
    for (std::size_t r = col + 1; r < p; ++r)
      if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
    std::swap(a[col], a[pivot]);
    std::swap(inv[col], inv[pivot]);
    const double d = a[col][col];
    for (std::size_t k = 0; k < p; ++k) a[col][k] /= d, inv[col][k] /= d;
    for (std::size_t r = 0; r < p; ++r) {
      if (r == col) continue;
      const double factor = a[r][col];
      for (std::size_t k = 0; k < p; ++k)
        a[r][k] -= factor * a[col][k], inv[r][k] -= factor * inv[col][k];
    }
  }
  return inv;
}

}  // namespace

ReferenceSineFit fitSinesByGaussNewton(std::span<const double> time, std::span<const double> value,
                                       std::span<const double> error, double epoch, double c,
                                       std::vector<ReferenceSine> start) {
  const std::size_t m = start.size();
  ReferenceSineFit out;
  out.frequencyParameter.assign(m, -1);
  std::size_t p = 1 + 2 * m;
  for (std::size_t k = 0; k < m; ++k)
    if (start[k].parentI < 0) out.frequencyParameter[k] = static_cast<int>(p++);
  std::vector<double> x(p);
  x[0] = c;
  for (std::size_t k = 0; k < m; ++k) {
    x[1 + 2 * k] = start[k].a;
    x[2 + 2 * k] = start[k].b;
    if (out.frequencyParameter[k] >= 0)
      x[static_cast<std::size_t>(out.frequencyParameter[k])] = start[k].f;
  }
  auto frequencyOf = [&](const std::vector<double>& v, std::size_t k) {
    const ReferenceSine& s = start[k];
    if (s.parentI < 0) return v[static_cast<std::size_t>(out.frequencyParameter[k])];
    double f =
        s.n *
        v[static_cast<std::size_t>(out.frequencyParameter[static_cast<std::size_t>(s.parentI)])];
    if (s.parentJ >= 0)
      f += s.m *
           v[static_cast<std::size_t>(out.frequencyParameter[static_cast<std::size_t>(s.parentJ)])];
    return f;
  };
  auto model = [&](const std::vector<double>& v, double t) {
    double y = v[0];
    for (std::size_t k = 0; k < m; ++k) {
      const double arg = 2.0 * M_PI * frequencyOf(v, k) * (t - epoch);
      y += v[1 + 2 * k] * std::cos(arg) + v[2 + 2 * k] * std::sin(arg);
    }
    return y;
  };
  auto weight = [&](std::size_t j) { return error.empty() ? 1.0 : 1.0 / (error[j] * error[j]); };
  auto squares = [&](const std::vector<double>& v) {
    double s = 0.0;
    for (std::size_t j = 0; j < time.size(); ++j) {
      const double r = value[j] - model(v, time[j]);
      s += weight(j) * r * r;
    }
    return s;
  };
  // Normal equations J^T W J and J^T W r from central differences.
  auto normalEquations = [&](const std::vector<double>& v, Matrix& a, std::vector<double>& g) {
    a.assign(p, std::vector<double>(p, 0.0));
    g.assign(p, 0.0);
    std::vector<double> row(p);
    for (std::size_t j = 0; j < time.size(); ++j) {
      for (std::size_t q = 0; q < p; ++q) {
        const double h = 1e-6 * std::max(std::fabs(v[q]), 1e-3);
        std::vector<double> up = v, down = v;
        up[q] += h;
        down[q] -= h;
        row[q] = (model(up, time[j]) - model(down, time[j])) / (2.0 * h);
      }
      const double r = value[j] - model(v, time[j]), w = weight(j);
      for (std::size_t q = 0; q < p; ++q) {
        g[q] += w * row[q] * r;
        for (std::size_t s = 0; s < p; ++s) a[q][s] += w * row[q] * row[s];
      }
    }
  };
  Matrix a;
  std::vector<double> g;
  double ss = squares(x);
  for (int iteration = 0; iteration < 50; ++iteration) {
    normalEquations(x, a, g);
    const Matrix inv = inverse(a);
    std::vector<double> step(p, 0.0);
    for (std::size_t q = 0; q < p; ++q)
      for (std::size_t s = 0; s < p; ++s) step[q] += inv[q][s] * g[s];
    bool lowered = false;
    for (double scale = 1.0; scale > 1e-6; scale *= 0.5) {
      std::vector<double> trial = x;
      for (std::size_t q = 0; q < p; ++q) trial[q] += scale * step[q];
      const double trialSs = squares(trial);
      if (trialSs < ss) {
        x = std::move(trial);
        lowered = ss - trialSs > 1e-12 * ss;
        ss = trialSs;
        break;
      }
    }
    if (!lowered) break;
  }
  normalEquations(x, a, g);
  out.covariance = inverse(a);
  const double variance = ss / static_cast<double>(time.size() - p);
  for (auto& rowOfCov : out.covariance)
    for (double& e : rowOfCov) e *= variance;
  out.c = x[0];
  out.terms = start;
  for (std::size_t k = 0; k < m; ++k) {
    out.terms[k].a = x[1 + 2 * k];
    out.terms[k].b = x[2 + 2 * k];
    out.terms[k].f = frequencyOf(x, k);
  }
  return out;
}

}  // namespace fazorn::reference
