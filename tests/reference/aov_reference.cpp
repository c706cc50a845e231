#include "reference/aov_reference.h"

#include <algorithm>
#include <cmath>

namespace fazorn::reference {

namespace {

struct Cx {
  double re = 0.0, im = 0.0;
};
using ComplexVector = std::vector<Cx>;

void difference(const ComplexVector& a, const ComplexVector& b, ComplexVector& out) {
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = {a[i].re - b[i].re, a[i].im - b[i].im};
}
void product(const ComplexVector& a, const ComplexVector& b, ComplexVector& out) {
  for (std::size_t i = 0; i < a.size(); ++i)
    out[i] = {a[i].re * b[i].re - a[i].im * b[i].im, a[i].re * b[i].im + a[i].im * b[i].re};
}
void productConj(const ComplexVector& a, const ComplexVector& b, ComplexVector& out) {
  for (std::size_t i = 0; i < a.size(); ++i)
    out[i] = {a[i].re * b[i].re + a[i].im * b[i].im, a[i].im * b[i].re - a[i].re * b[i].im};
}
void scale(const ComplexVector& a, Cx s, ComplexVector& out) {
  for (std::size_t i = 0; i < a.size(); ++i)
    out[i] = {a[i].re * s.re - a[i].im * s.im, a[i].re * s.im + a[i].im * s.re};
}
void fillOne(ComplexVector& a) {
  for (auto& e : a) e = {1.0, 0.0};
}
Cx weightedInner(const ComplexVector& a, const ComplexVector& b, std::span<const double> w) {
  Cx s;
  for (std::size_t i = 0; i < a.size(); ++i) {
    s.re += w[i] * (a[i].re * b[i].re + a[i].im * b[i].im);
    s.im += w[i] * (a[i].im * b[i].re - a[i].re * b[i].im);
  }
  return s;
}
Cx quotient(Cx a, Cx b) {
  const double d = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}

}  // namespace

AovReferenceResult aovPeriodogramSlice(double maxFrequency, double minFrequency,
                                       std::span<const double> time, std::span<const double> value,
                                       std::span<const double> weight, int harmonicTerms,
                                       double resolution, long first, long count) {
  AovReferenceResult r;
  const std::size_t n = time.size();
  std::vector<double> x(value.begin(), value.end()), t(time.begin(), time.end());
  double mean = 0.0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  const double tmin = *std::min_element(t.begin(), t.end());
  double d = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    x[i] -= mean;
    t[i] -= tmin;
    d += weight[i] * x[i] * x[i];
  }
  const long total = static_cast<long>(std::trunc((maxFrequency - minFrequency) / resolution));
  const double pi = 2.0 * std::asin(1.0);
  double omega = 2.0 * pi * minFrequency;
  const double deltaOmega = 2.0 * pi * resolution;
  ComplexVector c(n), phi(n), psi(n), z(n), zeta(n), s1(n), s2(n), s3(n);
  const int m = static_cast<int>(std::floor(harmonicTerms * 0.5 - 0.4));
  double best = 0.0;
  for (long j = 0; j < total && j < first + count; ++j, omega = omega + deltaOmega) {
    if (j < first) continue;
    for (std::size_t i = 0; i < n; ++i) {
      const double a = (omega * t[i]) * m;
      c[i] = {x[i] * std::cos(a), x[i] * std::sin(a)};
      z[i] = {std::cos(omega * t[i]), std::sin(omega * t[i])};
    }
    double theta = 0.0;
    Cx alpha;
    for (int deg = 0; deg < harmonicTerms; ++deg) {
      if (deg == 0) {
        fillOne(phi);
        fillOne(zeta);
      } else {
        product(z, psi, s1);         // z psi
        productConj(zeta, psi, s2);  // zeta conj(psi)
        scale(s2, alpha, s3);        // alpha zeta conj(psi)
        difference(s1, s3, phi);
        product(zeta, z, s1);
        zeta = s1;
      }
      product(z, phi, s1);
      const Cx a = weightedInner(s1, phi, weight);
      productConj(zeta, phi, s2);
      const Cx b = weightedInner(s2, phi, weight);
      alpha = quotient(a, b);
      const double s = std::sqrt(weightedInner(phi, phi, weight).re);
      const Cx g0 = weightedInner(c, phi, weight);
      const Cx g{g0.re / s, g0.im / s};
      theta += g.re * g.re + g.im * g.im;
      psi = phi;
    }
    const double p = theta / d;
    if (p > best) {
      best = p;
      r.bestFrequency = omega / (2.0 * pi);
      r.bestIndex = static_cast<int>(j);
    }
    r.frequency.push_back(omega / (2.0 * pi));
    r.power.push_back(p);
  }
  r.maxPower = best;
  return r;
}

AovReferenceResult aovPeriodogram(double maxFrequency, double minFrequency,
                                  std::span<const double> time, std::span<const double> value,
                                  std::span<const double> weight, int harmonicTerms,
                                  double resolution) {
  return aovPeriodogramSlice(maxFrequency, minFrequency, time, value, weight, harmonicTerms,
                             resolution, 0, 1L << 40);
}

}  // namespace fazorn::reference
