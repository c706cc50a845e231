#include "search/period_refinement.h"

#include <algorithm>
#include <cmath>
#include <limits>
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
    TransitResult r = computeTransitPeriodogram({time_, value_, weight_},
                                                options(FrequencyGrid{first, step, count}), rc);
    r.power.resize(static_cast<std::size_t>(count), 0.0);
    return std::move(r.power);
  }
  // Off the exact route, the segments' folds (close to the powers, about
  // sqrt(n) instead of n work per frequency on long light curves).
  std::vector<double> candidatePowers(double first, double step, int count,
                                      const RunControl& rc) const override {
    if (route_ == SearchRoute::Exact || count <= 0) return powers(first, step, count, rc);
    TransitResult r = computeTransitCandidates({time_, value_, weight_},
                                               options(FrequencyGrid{first, step, count}), rc);
    r.power.resize(static_cast<std::size_t>(count), 0.0);
    return std::move(r.power);
  }
  // Off the exact route, the light curve prepared once for all windows and
  // only the highest power of them all recomputed exactly.
  std::vector<double> windowPowers(const std::vector<FrequencyGrid>& windows,
                                   const RunControl& rc) const override {
    if (route_ == SearchRoute::Exact) return PeriodStatistic::windowPowers(windows, rc);
    return computeTransitWindows({time_, value_, weight_}, options({}), windows, rc);
  }
  bool approximateCandidates(double step) const override {
    if (route_ == SearchRoute::Exact || time_.empty()) return false;
    const auto [lo, hi] = std::minmax_element(time_.begin(), time_.end());
    return transitCandidatesFold(time_.size(), binFactor_, kBinSets, step, *hi - *lo);
  }
  int linearParameters() const override { return 2; }
  std::size_t pointCount() const override { return time_.size(); }

 private:
  static constexpr int kBinSets = 5;  // shifted bin sets of the search
  // The search's options on a grid: every route and pass uses the same bins.
  TransitOptions options(const FrequencyGrid& grid) const {
    TransitOptions o;
    o.grid = grid;
    o.binFactor = binFactor_;
    o.binSets = kBinSets;
    o.route = route_;
    return o;
  }
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

double sharpDipPValue(const LightCurveView& lc, double frequency, bool useWeights, bool dipIsHigh) {
  const std::size_t n = lc.time.size();
  constexpr std::size_t k = 5;  // mean, cos x, sin x, cos 2x, sin 2x
  if (n <= k + 2 || !(frequency > 0)) return 1.0;
  const double t0 = timeSpanOf(lc.time) * 0.5 + *std::min_element(lc.time.begin(), lc.time.end());
  double sw = 0.0, swy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = useWeights ? lc.weight[i] : 1.0;
    sw += w;
    swy += w * lc.value[i];
  }
  if (!(sw > 0)) return 1.0;
  const double centre = swy / sw;
  double a[k][k] = {}, rhs[k] = {}, yy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = useWeights ? lc.weight[i] : 1.0;
    const double x = 2.0 * kPi * frequency * (lc.time[i] - t0);
    const double c1 = std::cos(x), s1 = std::sin(x);
    const double row[k] = {1.0, c1, s1, c1 * c1 - s1 * s1, 2.0 * s1 * c1};
    const double y = lc.value[i] - centre;
    for (std::size_t p = 0; p < k; ++p) {
      rhs[p] += w * row[p] * y;
      for (std::size_t q = 0; q < k; ++q) a[p][q] += w * row[p] * row[q];
    }
    yy += w * y * y;
  }
  // The inverse of the normal matrix by Gauss-Jordan elimination with
  // partial pivoting (5 x 5).
  double inv[k][k] = {};
  for (std::size_t p = 0; p < k; ++p) inv[p][p] = 1.0;
  const double scale = a[0][0];
  for (std::size_t c = 0; c < k; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < k; ++r)
      if (std::abs(a[r][c]) > std::abs(a[pivot][c])) pivot = r;
    if (!(std::abs(a[pivot][c]) > 1e-12 * scale)) return 1.0;
    std::swap(a[pivot], a[c]);
    std::swap(inv[pivot], inv[c]);
    const double d = a[c][c];
    for (std::size_t q = 0; q < k; ++q) {
      a[c][q] /= d;
      inv[c][q] /= d;
    }
    for (std::size_t r = 0; r < k; ++r) {
      if (r == c) continue;
      const double f = a[r][c];
      for (std::size_t q = 0; q < k; ++q) {
        a[r][q] -= f * a[c][q];
        inv[r][q] -= f * inv[c][q];
      }
    }
  }
  double beta[k] = {}, explained = 0.0;
  for (std::size_t p = 0; p < k; ++p) {
    for (std::size_t q = 0; q < k; ++q) beta[p] += inv[p][q] * rhs[q];
    explained += beta[p] * rhs[p];
  }
  const double dof = static_cast<double>(n - k);
  const double variance = std::max(yy - explained, 0.0) / dof;
  if (!(variance > 0) || (beta[1] == 0.0 && beta[2] == 0.0)) return 1.0;
  // The fundamental is R cos(x - phi); cos 2(x - d) is the same for d = phi
  // and d = phi + pi, so only the sign of the test depends on the dip's side.
  const double phi = std::atan2(beta[2], beta[1]);
  const double u = std::cos(2 * phi), v = std::sin(2 * phi);
  const double c = beta[3] * u + beta[4] * v;
  const double cVariance =
      variance * (u * u * inv[3][3] + 2 * u * v * inv[3][4] + v * v * inv[4][4]);
  if (!(cVariance > 0)) return 1.0;
  const double t = (dipIsHigh ? c : -c) / std::sqrt(cVariance);
  const double twoSided = fTestPValue(t * t, 1, static_cast<int>(dof));
  return t > 0 ? 0.5 * twoSided : 1.0 - 0.5 * twoSided;
}

RefinedPeak refineFourierPeak(const LightCurveView& lc, double frequency, int harmonics,
                              double halfWidth, bool useWeights) {
  RefinedPeak out;
  const std::size_t n = lc.time.size();
  const auto parameters = static_cast<std::size_t>(2 * harmonics + 2);
  if (harmonics < 1 || n <= parameters + 1 || !(halfWidth > 0) || !(frequency > halfWidth))
    return out;
  std::vector<int> orders;
  for (int h = 1; h <= harmonics; ++h) orders.push_back(h);
  // Values about their weighted mean: the residual sum of squares is the
  // difference of two sums, and about a magnitude's zero point it would
  // keep only a few digits more than the flat minimum needs.
  double sw = 0.0, swy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = useWeights ? lc.weight[i] : 1.0;
    sw += w;
    swy += w * lc.value[i];
  }
  if (!(sw > 0)) return out;
  std::vector<double> centred(lc.value.begin(), lc.value.end());
  for (double& v : centred) v -= swy / sw;
  const LightCurveView about{lc.time, centred, lc.weight};
  auto rss = [&](double f) {
    const double r = fourierResidual(about, f, orders, useWeights);
    return r < 0 ? std::numeric_limits<double>::infinity() : r;
  };
  constexpr int kHalf = 8;
  const double fine = halfWidth / kHalf;
  int best = kHalf;
  double bestRss = std::numeric_limits<double>::infinity();
  for (int j = 0; j <= 2 * kHalf; ++j) {
    const double r = rss(frequency + (j - kHalf) * fine);
    if (r < bestRss) bestRss = r, best = j;
  }
  if (!std::isfinite(bestRss)) return out;
  double a = frequency + (best - kHalf - 1) * fine, b = frequency + (best - kHalf + 1) * fine;
  const double g = 0.5 * (std::sqrt(5.0) - 1.0);
  double x1 = b - g * (b - a), x2 = a + g * (b - a);
  double r1 = rss(x1), r2 = rss(x2);
  const double tolerance = std::max(halfWidth * 1e-7, std::abs(frequency) * 1e-15);
  for (int it = 0; it < 200 && b - a > tolerance; ++it) {
    if (r1 <= r2) {
      b = x2, x2 = x1, r2 = r1;
      x1 = b - g * (b - a);
      r1 = rss(x1);
    } else {
      a = x1, x1 = x2, r1 = r2;
      x2 = a + g * (b - a);
      r2 = rss(x2);
    }
  }
  out.frequency = r1 <= r2 ? x1 : x2;
  out.power = std::min(r1, r2);
  if (bestRss < out.power) {
    out.frequency = frequency + (best - kHalf) * fine;
    out.power = bestRss;
  }
  // chi^2 = RSS / sigma^2 with sigma^2 = RSS_min / dof rises by 1 over the
  // one-sigma interval: sigma_f^2 = 2 RSS_min / (dof RSS'').
  const double h = 0.02 * halfWidth;
  const double curvature =
      (rss(out.frequency + h) - 2 * out.power + rss(out.frequency - h)) / (h * h);
  const double dof = static_cast<double>(n - parameters);
  if (curvature > 0 && std::isfinite(curvature) && out.power > 0)
    out.frequencyError = std::sqrt(2.0 * out.power / (dof * curvature));
  return out;
}

int criterionHarmonics(std::size_t n) {
  const auto byPoints = static_cast<int>((static_cast<double>(n) / 5.0 - 2.0) / 2.0);
  return std::clamp(byPoints, 0, 15);
}

double FourierFit::valueAt(double time) const {
  const double x = 2.0 * kPi * frequency * (time - referenceTime);
  double v = mean;
  for (std::size_t h = 0; h < cosine.size(); ++h) {
    const double k = static_cast<double>(h + 1);
    v += cosine[h] * std::cos(k * x) + sine[h] * std::sin(k * x);
  }
  return v;
}

FourierFit fitFourierSeries(const LightCurveView& lc, double frequency, int maxHarmonics,
                            bool useWeights) {
  FourierFit out;
  out.bic = std::numeric_limits<double>::infinity();
  out.frequency = frequency;
  const std::size_t n = lc.time.size();
  const int hMax = std::min(maxHarmonics, criterionHarmonics(n));
  if (hMax < 1 || !(frequency > 0)) return out;
  const std::size_t k = 1 + 2 * static_cast<std::size_t>(hMax);
  out.referenceTime = timeSpanOf(lc.time) * 0.5 + *std::min_element(lc.time.begin(), lc.time.end());
  // Values about their weighted mean, so that the sums of squares do not
  // lose the residual to the magnitude's zero point.
  double sw = 0.0, swy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = useWeights ? lc.weight[i] : 1.0;
    sw += w;
    swy += w * lc.value[i];
  }
  if (!(sw > 0)) return out;
  const double centre = swy / sw;
  std::vector<double> a(k * k, 0.0), rhs(k, 0.0), row(k);
  double yy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = useWeights ? lc.weight[i] : 1.0;
    const double y = lc.value[i] - centre;
    const double x = 2.0 * kPi * frequency * (lc.time[i] - out.referenceTime);
    const double c1 = std::cos(x), s1 = std::sin(x);
    double c = 1.0, s = 0.0;
    row[0] = 1.0;
    for (int h = 0; h < hMax; ++h) {  // cos and sin of (h + 1) x by the addition rule
      const double cn = c * c1 - s * s1;
      s = s * c1 + c * s1;
      c = cn;
      row[1 + 2 * static_cast<std::size_t>(h)] = c;
      row[2 + 2 * static_cast<std::size_t>(h)] = s;
    }
    for (std::size_t p = 0; p < k; ++p) {
      rhs[p] += w * row[p] * y;
      for (std::size_t q = 0; q <= p; ++q) a[p * k + q] += w * row[p] * row[q];
    }
    yy += w * y * y;
  }
  // Cholesky a = L L^T; a column that is (nearly) a combination of the ones
  // before it ends the nested series there.
  std::size_t usable = k;
  for (std::size_t p = 0; p < k && usable == k; ++p) {
    for (std::size_t q = 0; q <= p; ++q) {
      double v = a[p * k + q];
      for (std::size_t r = 0; r < q; ++r) v -= a[p * k + r] * a[q * k + r];
      if (p == q) {
        if (!(v > 1e-10 * a[0])) {
          usable = p;
          break;
        }
        a[p * k + p] = std::sqrt(v);
      } else {
        a[p * k + q] = v / a[q * k + q];
      }
    }
  }
  std::vector<double> z(k, 0.0);
  double explained = 0.0;
  const double dn = static_cast<double>(n);
  int best = 0;
  for (std::size_t p = 0; p < usable; ++p) {
    double v = rhs[p];
    for (std::size_t r = 0; r < p; ++r) v -= a[p * k + r] * z[r];
    z[p] = v / a[p * k + p];
    explained += z[p] * z[p];
    if (p % 2 == 0 && p > 0) {  // after the sine of harmonic p / 2
      const int h = static_cast<int>(p / 2);
      const double rss = std::max(yy - explained, 1e-300 * yy);
      const double bic = dn * std::log(rss / dn) + (2.0 * h + 2.0) * std::log(dn);
      if (bic < out.bic) {
        out.bic = bic;
        best = h;
      }
    }
  }
  out.harmonics = best;
  if (best == 0) return out;
  // Coefficients of the chosen series: L^T c = z on its leading block.
  const std::size_t m = 1 + 2 * static_cast<std::size_t>(best);
  std::vector<double> coef(m, 0.0);
  for (std::size_t p = m; p-- > 0;) {
    double v = z[p];
    for (std::size_t r = p + 1; r < m; ++r) v -= a[r * k + p] * coef[r];
    coef[p] = v / a[p * k + p];
  }
  out.mean = centre + coef[0];
  for (int h = 0; h < best; ++h) {
    out.cosine.push_back(coef[1 + 2 * static_cast<std::size_t>(h)]);
    out.sine.push_back(coef[2 + 2 * static_cast<std::size_t>(h)]);
  }
  return out;
}

namespace {

// Two-sided p-value of Welch's t test of two samples given as count, mean
// and variance; 1 when either has fewer than two members or no spread.
double welchPValue(double n1, double m1, double v1, double n2, double m2, double v2) {
  if (n1 < 2 || n2 < 2) return 1.0;
  const double a = v1 / n1, b = v2 / n2;
  if (!(a + b > 0)) return 1.0;
  const double t = (m1 - m2) / std::sqrt(a + b);
  const double dof = (a + b) * (a + b) / (a * a / (n1 - 1) + b * b / (n2 - 1));
  return fTestPValue(t * t, 1, std::max(1, static_cast<int>(dof)));
}

}  // namespace

namespace {

// The odd-even test as a matched filter: each point's residual from the
// series is a measurement of its cycle's dip depth scaled by the dip's
// profile there, g = (model - median) / depth (1 at the bottom of the dip,
// 0 out of it). Per cycle the weighted least-squares depth difference
// delta_c = sum(w g r) / sum(w g^2) with weight W_c = sum(w g^2); the
// weighted means of odd and even cycles are compared with Student's t, the
// scale estimated from the cycles' scatter about their parity's mean
// (pooled), so that cycle-to-cycle changes of a real star count as noise as
// in the unweighted tests. Points where the profile is below a quarter of
// the depth carry little weight (g^2 < 1/16) and mostly the series' ringing,
// and are left out.
// `model` holds the series at every point's time.
double matchedOddEvenPValue(const LightCurveView& lc, const std::vector<double>& model,
                            double period, double dipTime, double median, double depth) {
  std::map<long long, std::pair<double, double>> perCycle;  // sum w g r, sum w g^2
  for (std::size_t i = 0; i < lc.time.size(); ++i) {
    const double g = (model[i] - median) / depth;
    if (!(g > 0.25)) continue;
    const double w = lc.weight.size() > i && lc.weight[i] > 0 ? lc.weight[i] : 1.0;
    const auto cycle = static_cast<long long>(std::floor((lc.time[i] - dipTime) / period + 0.5));
    auto& c = perCycle[cycle];
    c.first += w * g * (lc.value[i] - model[i]);
    c.second += w * g * g;
  }
  double count[2] = {0, 0}, weight[2] = {0, 0}, sum[2] = {0, 0};
  for (const auto& [cycle, c] : perCycle) {
    if (!(c.second > 0)) continue;
    const int parity = static_cast<int>(((cycle % 2) + 2) % 2);
    count[parity] += 1;
    weight[parity] += c.second;
    sum[parity] += c.first;  // W_c delta_c
  }
  if (count[0] < 2 || count[1] < 2) return 1.0;
  const double mean[2] = {sum[0] / weight[0], sum[1] / weight[1]};
  double scatter = 0.0;
  for (const auto& [cycle, c] : perCycle) {
    if (!(c.second > 0)) continue;
    const int parity = static_cast<int>(((cycle % 2) + 2) % 2);
    const double d = c.first / c.second - mean[parity];
    scatter += c.second * d * d;
  }
  const double dof = count[0] + count[1] - 2;
  const double scale = scatter / dof;
  if (!(scale > 0)) return 1.0;
  const double difference = mean[0] - mean[1];
  const double t2 = difference * difference / (scale * (1 / weight[0] + 1 / weight[1]));
  return fTestPValue(t2, 1, static_cast<int>(dof));
}

}  // namespace

namespace {

// The series folded on its period, sampled at kNodes phases: its median, the
// extremum farther from it (the dip: an eclipse, or a pulsator's sharp
// maximum), the dip's depth from the median (signed, in the series' units)
// and the time of one dip.
struct SeriesDip {
  static constexpr int kNodes = 1000;
  std::vector<double> curve;
  long dip = 0;
  double median = 0.0, depth = 0.0, time = 0.0;
};

SeriesDip seriesDip(const FourierFit& fit) {
  SeriesDip out;
  constexpr int kNodes = SeriesDip::kNodes;
  const double period = 1.0 / fit.frequency;
  out.curve.resize(kNodes);
  for (int j = 0; j < kNodes; ++j)
    out.curve[static_cast<std::size_t>(j)] = fit.valueAt(fit.referenceTime + period * j / kNodes);
  std::vector<double> sorted = out.curve;
  std::nth_element(sorted.begin(), sorted.begin() + kNodes / 2, sorted.end());
  out.median = sorted[kNodes / 2];
  const auto hi = std::max_element(out.curve.begin(), out.curve.end()) - out.curve.begin();
  const auto lo = std::min_element(out.curve.begin(), out.curve.end()) - out.curve.begin();
  const bool dipHigh = out.curve[static_cast<std::size_t>(hi)] - out.median >=
                       out.median - out.curve[static_cast<std::size_t>(lo)];
  out.dip = dipHigh ? hi : lo;
  out.depth = out.curve[static_cast<std::size_t>(out.dip)] - out.median;
  out.time = fit.referenceTime + period * static_cast<double>(out.dip) / kNodes;
  return out;
}

}  // namespace

double alternatingDipCriterion(const LightCurveView& lc, const FourierFit& fit, bool useWeights) {
  const double none = std::numeric_limits<double>::infinity();
  const std::size_t n = lc.time.size();
  if (fit.harmonics < 1 || !(fit.frequency > 0) || !std::isfinite(fit.bic) || n < 2) return none;
  const SeriesDip d = seriesDip(fit);
  if (d.depth == 0.0) return none;
  const double period = 1.0 / fit.frequency;
  // The residual r of each point from the series and the regressor x = s g,
  // s = +1 in even cycles and -1 in odd ones (cycles counted from the dip),
  // g the dip's profile as in matchedOddEvenPValue.
  double rss = 0.0, rx = 0.0, xx = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = useWeights && lc.weight.size() > i ? lc.weight[i] : 1.0;
    const double model = fit.valueAt(lc.time[i]);
    const double r = lc.value[i] - model;
    rss += w * r * r;
    const double g = (model - d.median) / d.depth;
    if (!(g > 0.25)) continue;
    const auto cycle = static_cast<long long>(std::floor((lc.time[i] - d.time) / period + 0.5));
    const double x = cycle % 2 == 0 ? g : -g;
    rx += w * r * x;
    xx += w * x * x;
  }
  if (!(rss > 0) || !(xx > 0)) return none;
  // The residuals are orthogonal to the series' columns, so (r.x)^2 / x.x is
  // at most the drop of a joint fit: the criterion is, if anything, too
  // high.
  const double reduced = std::max(rss - rx * rx / xx, 1e-300);
  const double dn = static_cast<double>(n);
  const double parameters = 2.0 * fit.harmonics + 3.0;
  return dn * std::log(reduced / dn) + parameters * std::log(dn);
}

FoldedShape foldedShape(const LightCurveView& lc, const FourierFit& fit) {
  FoldedShape out;
  if (fit.harmonics < 1 || !(fit.frequency > 0)) return out;
  constexpr int kNodes = SeriesDip::kNodes;
  const double period = 1.0 / fit.frequency;
  const SeriesDip sd = seriesDip(fit);
  const std::vector<double>& curve = sd.curve;
  const double median = sd.median;
  const auto dip = sd.dip;
  double mean = 0.0;
  for (double c : curve) mean += c / kNodes;
  double variance = 0.0, antisymmetric = 0.0;
  for (double c : curve) variance += (c - mean) * (c - mean) / kNodes;
  for (int x = 1; x < kNodes / 2; ++x) {
    const double d = curve[static_cast<std::size_t>((dip + x) % kNodes)] -
                     curve[static_cast<std::size_t>((dip - x + kNodes) % kNodes)];
    antisymmetric += d * d;
  }
  if (variance > 0) out.asymmetry = antisymmetric / (kNodes / 2.0 - 1.0) / (2.0 * variance);
  const double depth = sd.depth;
  if (depth == 0.0) return out;
  // Cycles counted from the dip, so that each dip lies inside one cycle.
  const double dipTime = sd.time;
  // The series at every point, evaluated once for the per-cycle tests.
  std::vector<double> model(lc.time.size());
  for (std::size_t i = 0; i < lc.time.size(); ++i) model[i] = fit.valueAt(lc.time[i]);
  std::map<long long, std::pair<double, int>> perCycle;  // sum of residuals, points
  for (std::size_t i = 0; i < lc.time.size(); ++i) {
    if (!((model[i] - median) / depth > 0.5)) continue;
    const auto cycle = static_cast<long long>(std::floor((lc.time[i] - dipTime) / period + 0.5));
    auto& c = perCycle[cycle];
    c.first += lc.value[i] - model[i];
    ++c.second;
  }
  double n[2] = {0, 0}, sum[2] = {0, 0}, sum2[2] = {0, 0};
  for (const auto& [cycle, c] : perCycle) {
    const int parity = static_cast<int>(((cycle % 2) + 2) % 2);
    const double m = c.first / c.second;
    n[parity] += 1;
    sum[parity] += m;
    sum2[parity] += m * m;
  }
  auto spread = [&](int p) {
    return n[p] > 1 ? std::max(0.0, (sum2[p] - sum[p] * sum[p] / n[p]) / (n[p] - 1)) : 0.0;
  };
  if (n[0] < 2 || n[1] < 2) return out;
  out.oddEvenPValue = welchPValue(n[0], sum[0] / n[0], spread(0), n[1], sum[1] / n[1], spread(1));
  const double dof = n[0] + n[1] - 2;
  double pooled = 0.0;
  for (int p = 0; p < 2; ++p) pooled += std::max(0.0, sum2[p] - sum[p] * sum[p] / n[p]);
  pooled /= dof;
  if (pooled > 0) {
    const double difference = sum[0] / n[0] - sum[1] / n[1];
    const double t2 = difference * difference / (pooled * (1 / n[0] + 1 / n[1]));
    out.pooledOddEvenPValue = fTestPValue(t2, 1, static_cast<int>(dof));
  }
  out.matchedOddEvenPValue = matchedOddEvenPValue(lc, model, period, dipTime, median, depth);
  return out;
}

}  // namespace fazorn
