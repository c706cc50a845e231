#include "search/amplitude_spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "search/nonuniform_fft.h"

namespace fazorn {

namespace {

// Relative tolerance of the non-uniform transforms (error over sum |c_j|).
constexpr double kSpectrumTolerance = 1e-11;

double meanOf(std::span<const double> v) {
  double s = 0.0;
  for (double x : v) s += x;
  return v.empty() ? 0.0 : s / static_cast<double>(v.size());
}

}  // namespace

SinusoidAt floatingMeanSinusoid(std::complex<double> sy, std::complex<double> s1,
                                std::complex<double> s2, double n) {
  SinusoidAt r = floatingMeanCoefficients(sy, s1, s2, n);
  r.amplitude = std::hypot(r.cosine, r.sine);
  return r;
}

namespace {

// The intervals between consecutive times that are sampling intervals,
// sorted. Times closer than kSimultaneousTimes of their magnitude (or of
// their span, the larger) are one instant written twice: the same points
// merged from two files, or times shifted and shifted back, differ by a
// few units in the last place of a double (2.2e-16 relative), not by an
// exposure. 1e-13 is about 450 such units, far above arithmetic's
// rounding, and 0.02 s at a full Julian date, below any exposure of a
// light curve in days. Taken as intervals they would put the Nyquist
// frequency at 1e15 cycles a day and the spectrum's grid at its cap.
constexpr double kSimultaneousTimes = 1e-13;

std::vector<double> sortedIntervals(std::span<const double> time) {
  std::vector<double> t(time.begin(), time.end());
  std::sort(t.begin(), t.end());
  std::vector<double> dt;
  if (t.size() < 2) return dt;
  const double scale = std::max({std::abs(t.front()), std::abs(t.back()), t.back() - t.front()});
  const double shortest = kSimultaneousTimes * scale;
  dt.reserve(t.size());
  for (std::size_t i = 1; i < t.size(); ++i)
    if (t[i] - t[i - 1] > shortest) dt.push_back(t[i] - t[i - 1]);
  std::sort(dt.begin(), dt.end());
  return dt;
}

double repeatedInterval(const std::vector<double>& dt) {
  const auto need =
      static_cast<std::size_t>(std::ceil(kRepeatedIntervalShare * static_cast<double>(dt.size())));
  std::size_t end = 0;
  for (std::size_t i = 0; i < dt.size() && need > 0; ++i) {
    const double limit = dt[i] * (1.0 + kRepeatedIntervalTolerance);
    end = std::max(end, i);
    while (end < dt.size() && dt[end] <= limit) ++end;
    if (end - i >= need) return dt[end - 1];
  }
  return 0.0;
}

}  // namespace

double medianSamplingInterval(std::span<const double> time) {
  const std::vector<double> dt = sortedIntervals(time);
  return dt.empty() ? 0.0 : dt[dt.size() / 2];
}

double repeatedSamplingInterval(std::span<const double> time) {
  return repeatedInterval(sortedIntervals(time));
}

double samplingNyquistFrequency(std::span<const double> time) {
  const std::vector<double> dt = sortedIntervals(time);
  if (dt.empty()) return 0.0;
  double d = dt[dt.size() / 2];
  if (const double r = repeatedInterval(dt); r > 0.0) d = std::min(d, r);
  return 0.5 / d;
}

AmplitudeSpectrumGrid amplitudeSpectrumGrid(std::span<const double> time, double maxFrequency,
                                            double oversampling, std::int64_t maxCount) {
  AmplitudeSpectrumGrid g;
  if (time.size() < 2) return g;
  const auto [lo, hi] = std::minmax_element(time.begin(), time.end());
  const double span = *hi - *lo;
  if (!(span > 0.0) || !std::isfinite(span)) return g;
  if (!(oversampling > 0.0)) oversampling = kAmplitudeSpectrumOversampling;
  if (!(maxFrequency > 0.0) || !std::isfinite(maxFrequency)) {
    maxFrequency = samplingNyquistFrequency(time);
    if (!(maxFrequency > 0.0)) return g;
  }
  g.step = 1.0 / (oversampling * span);
  const double count = std::floor(maxFrequency / g.step) + 1.0;
  g.count = static_cast<std::int64_t>(
      std::min(count, static_cast<double>(std::max<std::int64_t>(maxCount, 0))));
  g.maxFrequency = g.count > 0 ? static_cast<double>(g.count - 1) * g.step : 0.0;
  return g;
}

struct AmplitudeSpectrumCalculator::Impl {
  std::size_t n = 0, count = 0;
  std::unique_ptr<NonuniformTransform> values;
  std::vector<std::complex<double>> s12;  // sums of exp(i k x), k < 2 count
};

AmplitudeSpectrumCalculator::AmplitudeSpectrumCalculator(std::span<const double> time,
                                                         const AmplitudeSpectrumGrid& grid)
    : impl_(std::make_unique<Impl>()) {
  const std::size_t n = time.size();
  if (n < 3 || grid.count <= 0 || !(grid.step > 0.0)) return;
  impl_->n = n;
  impl_->count = static_cast<std::size_t>(grid.count);
  const double tMean = meanOf(time);
  // Angles for mode k: k * (2 pi step (t - tMean)).
  std::vector<double> angle(n);
  for (std::size_t j = 0; j < n; ++j) angle[j] = 2.0 * M_PI * grid.step * (time[j] - tMean);
  impl_->values = std::make_unique<NonuniformTransform>(angle, grid.count, kSpectrumTolerance);
  const std::vector<std::complex<double>> ones(n, std::complex<double>(1.0));
  impl_->s12.resize(2 * impl_->count);
  const NonuniformTransform doubled(angle, 2 * grid.count, kSpectrumTolerance);
  auto work = doubled.makeWork();
  doubled.apply(ones, impl_->s12, work);
}

AmplitudeSpectrumCalculator::~AmplitudeSpectrumCalculator() = default;

std::vector<double> AmplitudeSpectrumCalculator::amplitude(std::span<const double> value) const {
  const Impl& d = *impl_;
  if (!d.values || value.size() < d.n) return {};
  const double yMean = meanOf(value.first(d.n));
  std::vector<std::complex<double>> c(d.n), sy(d.count);
  for (std::size_t j = 0; j < d.n; ++j) c[j] = value[j] - yMean;
  auto work = d.values->makeWork();
  d.values->apply(c, sy, work);
  std::vector<double> out(d.count);
  const double dn = static_cast<double>(d.n);
  for (std::size_t k = 0; k < d.count; ++k)
    out[k] = floatingMeanSinusoid(sy[k], d.s12[k], d.s12[2 * k], dn).amplitude;
  return out;
}

std::vector<double> AmplitudeSpectrumCalculator::window() const {
  const Impl& d = *impl_;
  std::vector<double> out(d.values ? d.count : 0);
  for (std::size_t k = 0; k < out.size(); ++k)
    out[k] = std::abs(d.s12[k]) / static_cast<double>(d.n);
  return out;
}

AmplitudeSpectrum computeAmplitudeSpectrum(std::span<const double> time,
                                           std::span<const double> value,
                                           const AmplitudeSpectrumGrid& grid, bool withWindow) {
  AmplitudeSpectrum out;
  const std::size_t n = std::min(time.size(), value.size());
  const AmplitudeSpectrumCalculator calc(time.first(n), grid);
  out.amplitude = calc.amplitude(value.first(n));
  if (out.amplitude.empty()) return out;
  out.frequency.resize(out.amplitude.size());
  for (std::size_t k = 0; k < out.frequency.size(); ++k)
    out.frequency[k] = static_cast<double>(k) * grid.step;
  if (withWindow) out.window = calc.window();
  return out;
}

SinusoidAt amplitudeAt(std::span<const double> time, std::span<const double> value,
                       double frequency) {
  const std::size_t n = std::min(time.size(), value.size());
  if (n < 3) return {};
  const double tMean = meanOf(time.first(n));
  const double yMean = meanOf(value.first(n));
  std::complex<double> sy, s1, s2;
  for (std::size_t j = 0; j < n; ++j) {
    const double w = 2.0 * M_PI * frequency * (time[j] - tMean);
    const std::complex<double> e(std::cos(w), std::sin(w));
    sy += (value[j] - yMean) * e;
    s1 += e;
    s2 += e * e;
  }
  return floatingMeanSinusoid(sy, s1, s2, static_cast<double>(n));
}

}  // namespace fazorn
