#include "search/period_refinement.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "search/aov_periodogram.h"
#include "search/frequency_blocks.h"
#include "search/lomb_scargle.h"
#include "search/transit_periodogram.h"

namespace fazorn {

namespace {

const double kPi = 2.0 * std::asin(1.0);

// Frequencies per block of the direct loops (fixed: thread independence).
constexpr std::int64_t kDirectBlock = 64;

std::vector<double> copyOf(std::span<const double> s) { return {s.begin(), s.end()}; }

// Evaluates f(frequency) at first + k step on rc's threads.
template <class F>
std::vector<double> directPowers(double first, double step, int count, const RunControl& rc,
                                 F&& f) {
  std::vector<double> out(static_cast<std::size_t>(std::max(0, count)), 0.0);
  runFrequencyBlocks(
      count, kDirectBlock, rc, [] { return 0; },
      [&](int&, std::int64_t a, std::int64_t e) {
        for (std::int64_t k = a; k < e; ++k)
          out[static_cast<std::size_t>(k)] = f(first + static_cast<double>(k) * step);
      });
  return out;
}

class AovStatistic : public PeriodStatistic {
 public:
  AovStatistic(const LightCurveView& lc, int harmonics, SearchRoute route)
      : time_(copyOf(lc.time)),
        value_(copyOf(lc.value)),
        weight_(copyOf(lc.weight)),
        route_(route) {
    terms_ = 2 * std::max(1, harmonics) + 1;
    prepared_ = prepareAov(view(), terms_);
  }
  double power(double frequency) const override {
    const double p = aovPower(prepared_, 2.0 * kPi * frequency);
    return std::isfinite(p) && p >= 0.0 && p <= 1.0 + 1e-9 ? p : 0.0;
  }
  std::vector<double> powers(double first, double step, int count,
                             const RunControl& rc) const override {
    if (count <= 0) return {};
    AovOptions o;
    o.grid = FrequencyGrid{first, step, count};
    o.harmonicTerms = terms_;
    o.route = route_;
    AovResult r = computeAovPeriodogram(view(), o, rc);
    r.power.resize(static_cast<std::size_t>(count), 0.0);
    return std::move(r.power);
  }
  int linearParameters() const override { return terms_; }
  std::size_t pointCount() const override { return time_.size(); }

 private:
  LightCurveView view() const { return {time_, value_, weight_}; }
  std::vector<double> time_, value_, weight_;
  SearchRoute route_;
  int terms_ = 5;
  AovPrepared prepared_;
};

// The Lomb power with the time offset tau of Lomb (1976), normalised by the
// sample variance: the statistic of the Lomb-Scargle engine, at any
// frequency.
class LombScargleStatistic : public PeriodStatistic {
 public:
  LombScargleStatistic(const LightCurveView& lc, SearchRoute route)
      : time_(copyOf(lc.time)), value_(copyOf(lc.value)), route_(route) {
    const AverageAndVariance av = averageAndVariance(value_);
    variance_ = av.variance;
    span_ = timeSpanOf(time_);
    const double mid = time_.empty() ? 0.0
                                     : 0.5 * (*std::max_element(time_.begin(), time_.end()) +
                                              *std::min_element(time_.begin(), time_.end()));
    centredTime_.resize(time_.size());
    centredValue_.resize(time_.size());
    for (std::size_t i = 0; i < time_.size(); ++i) {
      centredTime_[i] = time_[i] - mid;
      centredValue_[i] = value_[i] - av.average;
    }
  }
  double power(double frequency) const override {
    const double w = 2.0 * kPi * frequency;
    double s2 = 0, c2 = 0;
    for (double t : centredTime_) {
      s2 += std::sin(2 * w * t);
      c2 += std::cos(2 * w * t);
    }
    const double tau = 0.5 * std::atan2(s2, c2);
    double yc = 0, ys = 0, cc = 0, ss = 0;
    for (std::size_t i = 0; i < centredTime_.size(); ++i) {
      const double a = w * centredTime_[i] - tau;
      const double c = std::cos(a), s = std::sin(a);
      yc += centredValue_[i] * c;
      ys += centredValue_[i] * s;
      cc += c * c;
      ss += s * s;
    }
    if (!(cc > 0) || !(ss > 0) || !(variance_ > 0)) return 0.0;
    return 0.5 * (yc * yc / cc + ys * ys / ss) / variance_;
  }
  std::vector<double> powers(double first, double step, int count,
                             const RunControl& rc) const override {
    // A grid of multiples of the step goes through the engine's recurrence.
    const double m = first / step;
    if (count > 256 && span_ > 0 && m >= 1 && std::abs(m - std::round(m)) < 1e-9) {
      const auto firstIndex = static_cast<std::int64_t>(std::llround(m));
      const std::int64_t nout = firstIndex + count - 1;
      LombScargleOptions o;
      o.oversampling = 1.0 / (step * span_);
      o.highFrequencyFactor = (static_cast<double>(nout) + 0.5) /
                              (0.5 * o.oversampling * static_cast<double>(time_.size()));
      o.route = route_;
      LombScargleResult r = computeLombScarglePeriodogram(time_, value_, o, rc);
      if (r.status == SearchStatus::Ok && static_cast<std::int64_t>(r.power.size()) >= nout) {
        return std::vector<double>(r.power.begin() + (firstIndex - 1), r.power.begin() + nout);
      }
    }
    return directPowers(first, step, count, rc, [this](double f) { return power(f); });
  }
  double explainedFraction(double power) const override {
    const double n = static_cast<double>(time_.size());
    return n > 1 ? 2.0 * power / (n - 1.0) : 0.0;
  }
  int linearParameters() const override { return 3; }
  std::size_t pointCount() const override { return time_.size(); }

 private:
  std::vector<double> time_, value_, centredTime_, centredValue_;
  double variance_ = 0.0, span_ = 0.0;
  SearchRoute route_;
};

class TransitStatistic : public PeriodStatistic {
 public:
  TransitStatistic(const LightCurveView& lc, int binFactor, SearchRoute route)
      : time_(copyOf(lc.time)),
        value_(copyOf(lc.value)),
        weight_(copyOf(lc.weight)),
        route_(route) {
    binFactor_ = std::max(1, binFactor);
  }
  double power(double frequency) const override {
    RunControl one;
    return powers(frequency, 1.0, 1, one)[0];
  }
  std::vector<double> powers(double first, double step, int count,
                             const RunControl& rc) const override {
    if (count <= 0) return {};
    TransitOptions o;
    o.grid = FrequencyGrid{first, step, count};
    o.binFactor = binFactor_;
    o.binSets = 5;
    o.route = route_;
    TransitResult r = computeTransitPeriodogram({time_, value_, weight_}, o, rc);
    r.power.resize(static_cast<std::size_t>(count), 0.0);
    return std::move(r.power);
  }
  int linearParameters() const override { return 2; }
  std::size_t pointCount() const override { return time_.size(); }

 private:
  std::vector<double> time_, value_, weight_;
  int binFactor_ = 2;
  SearchRoute route_;
};

// Index of the first strict maximum above 0; -1 without one.

}  // namespace

std::vector<double> PeriodStatistic::powers(double first, double step, int count,
                                            const RunControl& rc) const {
  return directPowers(first, step, count, rc, [this](double f) { return power(f); });
}

std::unique_ptr<PeriodStatistic> makePeriodStatistic(SearchEngine engine, const LightCurveView& lc,
                                                     int harmonics, SearchRoute route) {
  switch (engine) {
    case SearchEngine::Aov:
      return std::make_unique<AovStatistic>(lc, harmonics, route);
    case SearchEngine::LombScargle:
      return std::make_unique<LombScargleStatistic>(lc, route);
    case SearchEngine::AovTransit:
      return std::make_unique<TransitStatistic>(lc, harmonics, route);
  }
  return nullptr;
}

double frequencyUncertainty(const PeriodStatistic& statistic, double frequency, double peakWidth) {
  const double p0 = statistic.power(frequency);
  const double dof =
      static_cast<double>(statistic.pointCount()) - statistic.linearParameters() - 1.0;
  const double unexplained = 1.0 - statistic.explainedFraction(p0);
  if (!(dof > 0) || !(unexplained > 0) || !(peakWidth > 0)) return 0.0;
  // chi^2(f) = D (1 - e(f)), e the explained fraction. With the noise
  // variance estimated as chi^2_min / dof, the one-sigma interval is where
  // chi^2 rises by 1 sigma^2: e drops by (1 - e0) / dof.
  const double drop = unexplained / dof;
  if (statistic.linearParameters() != 2) {
    // Smooth statistics: from the curvature, sigma^2 = 2 (1 - e0) / (dof (-e'')).
    const double h = peakWidth * 0.02;
    const double pm = statistic.power(frequency - h);
    const double pp = statistic.power(frequency + h);
    const double curvature = statistic.explainedFraction(pp - 2 * p0 + pm) / (h * h);
    if (!(curvature < 0)) return 0.0;
    return std::sqrt(2.0 * drop / -curvature);
  }
  // Box powers jump wherever a point enters or leaves the box, by far more
  // than that drop, and stay flat while the box still holds the whole
  // transit: the width of the peak itself is the honest measure. Its half
  // width at half maximum, taken as that of a Gaussian (1.18 sigma), found
  // on each side by a scan and a bisection.
  const double half = 0.5 * p0;
  auto reach = [&](double direction) {
    const double scan = peakWidth / 40.0;
    double inside = 0.0, outside = 0.0;
    for (int k = 1; k <= 200; ++k) {
      const double h = k * scan;
      if (statistic.power(frequency + direction * h) < half) {
        outside = h;
        break;
      }
      inside = h;
    }
    if (outside == 0.0) return inside;
    for (int it = 0; it < 20; ++it) {
      const double mid = 0.5 * (inside + outside);
      if (statistic.power(frequency + direction * mid) < half)
        outside = mid;
      else
        inside = mid;
    }
    return 0.5 * (inside + outside);
  };
  return 0.5 * (reach(-1.0) + reach(1.0)) / 1.1774;
}

RefinedPeak refinePeak(const PeriodStatistic& statistic, double frequency, double step,
                       double peakWidth) {
  RefinedPeak out;
  const double fine = step / 8.0;
  constexpr int kHalf = 12;
  RunControl one;
  const std::vector<double> local =
      statistic.powers(frequency - kHalf * fine, fine, 2 * kHalf + 1, one);
  std::int64_t j = firstStrictMaximum(local);
  if (j < 0) j = kHalf;
  double a = frequency + static_cast<double>(j - kHalf - 1) * fine;
  double b = frequency + static_cast<double>(j - kHalf + 1) * fine;
  // Golden-section search for the maximum between the neighbours.
  const double g = 0.5 * (std::sqrt(5.0) - 1.0);
  double x1 = b - g * (b - a), x2 = a + g * (b - a);
  double p1 = statistic.power(x1), p2 = statistic.power(x2);
  const double tolerance = std::max(peakWidth * 1e-7, std::abs(frequency) * 1e-15);
  for (int it = 0; it < 200 && b - a > tolerance; ++it) {
    if (p1 >= p2) {
      b = x2, x2 = x1, p2 = p1;
      x1 = b - g * (b - a);
      p1 = statistic.power(x1);
    } else {
      a = x1, x1 = x2, p1 = p2;
      x2 = a + g * (b - a);
      p2 = statistic.power(x2);
    }
  }
  out.frequency = p1 >= p2 ? x1 : x2;
  out.power = std::max(p1, p2);
  const double gridBest = local[static_cast<std::size_t>(j)];
  if (gridBest > out.power) {
    out.frequency = frequency + static_cast<double>(j - kHalf) * fine;
    out.power = gridBest;
  }
  out.frequencyError = frequencyUncertainty(statistic, out.frequency, peakWidth);
  return out;
}

const char* aliasName(AliasDecision decision) {
  switch (decision) {
    case AliasDecision::None:
      return "none";
    case AliasDecision::Doubled:
      return "doubled";
    case AliasDecision::Halved:
      return "halved";
  }
  return "";
}

namespace {

// Continued fraction of the incomplete beta function (modified Lentz).
double betaContinuedFraction(double a, double b, double x) {
  constexpr double kTiny = 1e-300, kEps = 1e-14;
  const double qab = a + b, qap = a + 1, qam = a - 1;
  double c = 1, d = 1 - qab * x / qap;
  if (std::abs(d) < kTiny) d = kTiny;
  d = 1 / d;
  double h = d;
  for (int m = 1; m <= 500; ++m) {
    const double m2 = 2.0 * m;
    double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
    d = 1 + aa * d;
    if (std::abs(d) < kTiny) d = kTiny;
    c = 1 + aa / c;
    if (std::abs(c) < kTiny) c = kTiny;
    d = 1 / d;
    h *= d * c;
    aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
    d = 1 + aa * d;
    if (std::abs(d) < kTiny) d = kTiny;
    c = 1 + aa / c;
    if (std::abs(c) < kTiny) c = kTiny;
    d = 1 / d;
    const double del = d * c;
    h *= del;
    if (std::abs(del - 1) < kEps) break;
  }
  return h;
}

// The regularised incomplete beta function I_x(a, b).
double incompleteBeta(double a, double b, double x) {
  if (x <= 0) return 0;
  if (x >= 1) return 1;
  const double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) +
                                a * std::log(x) + b * std::log1p(-x));
  if (x < (a + 1) / (a + b + 2)) return front * betaContinuedFraction(a, b, x) / a;
  return 1 - front * betaContinuedFraction(b, a, 1 - x) / b;
}

// Weighted least-squares residual sum of squares of a Fourier series at
// `frequency` with the given harmonics (constant included), solved by
// Cholesky on the normal equations; -1 when singular.
double fourierResidual(const LightCurveView& lc, double frequency,
                       const std::vector<int>& harmonics, bool useWeights) {
  const std::size_t n = lc.time.size();
  const std::size_t k = 1 + 2 * harmonics.size();
  if (n <= k) return -1;
  const double t0 = timeSpanOf(lc.time) * 0.5 + *std::min_element(lc.time.begin(), lc.time.end());
  std::vector<double> a(k * k, 0.0), rhs(k, 0.0), row(k);
  double yy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = useWeights ? lc.weight[i] : 1.0;
    const double x = 2.0 * kPi * frequency * (lc.time[i] - t0);
    row[0] = 1.0;
    for (std::size_t h = 0; h < harmonics.size(); ++h) {
      row[1 + 2 * h] = std::cos(harmonics[h] * x);
      row[2 + 2 * h] = std::sin(harmonics[h] * x);
    }
    for (std::size_t p = 0; p < k; ++p) {
      rhs[p] += w * row[p] * lc.value[i];
      for (std::size_t q = 0; q <= p; ++q) a[p * k + q] += w * row[p] * row[q];
    }
    yy += w * lc.value[i] * lc.value[i];
  }
  // Cholesky: a = L L^T in the lower triangle.
  for (std::size_t p = 0; p < k; ++p) {
    for (std::size_t q = 0; q <= p; ++q) {
      double s = a[p * k + q];
      for (std::size_t r = 0; r < q; ++r) s -= a[p * k + r] * a[q * k + r];
      if (p == q) {
        if (!(s > 1e-12 * a[0])) return -1;
        a[p * k + p] = std::sqrt(s);
      } else {
        a[p * k + q] = s / a[q * k + q];
      }
    }
  }
  // Explained sum of squares = |L^-1 rhs|^2.
  double explained = 0.0;
  std::vector<double> z(k);
  for (std::size_t p = 0; p < k; ++p) {
    double s = rhs[p];
    for (std::size_t r = 0; r < p; ++r) s -= a[p * k + r] * z[r];
    z[p] = s / a[p * k + p];
    explained += z[p] * z[p];
  }
  return std::max(0.0, yy - explained);
}

}  // namespace

double fTestPValue(double f, int q, int dof) {
  if (!(f > 0) || q <= 0 || dof <= 0) return 1.0;
  const double x = dof / (dof + q * f);
  return incompleteBeta(0.5 * dof, 0.5 * q, x);
}

double unequalHalvesPValue(const LightCurveView& lc, double frequency, int harmonics,
                           bool useWeights) {
  std::vector<int> all, even;
  for (int h = 1; h <= 2 * harmonics; ++h) {
    all.push_back(h);
    if (h % 2 == 0) even.push_back(h);
  }
  const double full = fourierResidual(lc, frequency, all, useWeights);
  const double reduced = fourierResidual(lc, frequency, even, useWeights);
  const int dof = static_cast<int>(lc.time.size()) - static_cast<int>(1 + 2 * all.size());
  if (full < 0 || reduced < 0 || dof <= 0 || !(full > 0)) return 1.0;
  const int q = 2 * harmonics;
  const double f = ((reduced - full) / q) / (full / dof);
  return fTestPValue(f, q, dof);
}

}  // namespace fazorn
