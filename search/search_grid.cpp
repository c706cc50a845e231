#include "search/search_grid.h"

#include <algorithm>
#include <cmath>

#include "core/number_format.h"

namespace fazorn {

namespace {
// Points per peak width of the step that a warning recommends.
constexpr double kRecommendedOversampling = 10.0;
// Periods the automatic limits never go below or above without data for it.
constexpr double kShortestAutoPeriod = 0.05;  // days
constexpr double kFloorAutoPeriod = 0.01;     // days
constexpr double kLongestAutoPeriod = 500.0;  // days
}  // namespace

double transitDutyCycle(int binFactor) { return 1.0 / (10.0 * std::max(1, binFactor)); }

double peakWidth(SearchEngine engine, double timeSpan, int binFactor) {
  if (!(timeSpan > 0)) return 0.0;
  const double width = 1.0 / timeSpan;
  return engine == SearchEngine::AovTransit ? width * transitDutyCycle(binFactor) : width;
}

double timeSpanOf(std::span<const double> time) {
  if (time.empty()) return 0.0;
  const auto [lo, hi] = std::minmax_element(time.begin(), time.end());
  return *hi - *lo;
}

AutoLimits autoPeriodLimits(std::span<const double> time) {
  AutoLimits l;
  std::vector<double> t(time.begin(), time.end());
  std::sort(t.begin(), t.end());
  t.erase(std::unique(t.begin(), t.end()), t.end());
  if (t.size() >= 2) {
    std::vector<double> gaps(t.size() - 1);
    for (std::size_t i = 1; i < t.size(); ++i) gaps[i - 1] = t[i] - t[i - 1];
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    const double nyquistPeriod = 2.0 * gaps[gaps.size() / 2];
    l.minPeriod = std::clamp(nyquistPeriod, kFloorAutoPeriod, kShortestAutoPeriod);
    l.maxPeriod = std::max(kLongestAutoPeriod, 0.5 * (t.back() - t.front()));
  }
  return l;
}

double autoResolution(SearchEngine engine, double timeSpan, int binFactor, double oversampling) {
  return peakWidth(engine, timeSpan, binFactor) / oversampling;
}

std::string coarseGridWarning(SearchEngine engine, double step, double timeSpan, int binFactor) {
  const double width = peakWidth(engine, timeSpan, binFactor);
  if (!(width > 0) || !(step > 0.5 * width)) return {};
  const char* which = engine == SearchEngine::AovTransit ? "a transit peak's width" : "1/(2T)";
  return formatPrintf(
      "The grid step %.3g per day is coarser than half a peak width (%s = %.3g per day for a "
      "time span T of %.1f d): peaks may fall between grid points. A step of %.3g per day "
      "(resolution auto) samples every peak %g times.",
      step, which, 0.5 * width, timeSpan, width / kRecommendedOversampling,
      kRecommendedOversampling);
}

std::vector<Peak> independentPeaks(std::span<const double> frequency, std::span<const double> power,
                                   double width, int count, double minFrequency,
                                   double maxFrequency) {
  const std::size_t n = std::min(frequency.size(), power.size());
  const bool limited = maxFrequency > minFrequency;
  std::vector<Peak> maxima;
  for (std::size_t i = 0; i < n;) {
    // A plateau [i, j) of equal powers.
    std::size_t j = i + 1;
    while (j < n && power[j] == power[i]) ++j;
    const bool left = i == 0 || power[i - 1] < power[i];
    const bool right = j == n || power[j] < power[i];
    const bool inside = !limited || (frequency[i] >= minFrequency && frequency[i] <= maxFrequency);
    if (left && right && inside && std::isfinite(power[i]) && power[i] > 0)
      maxima.push_back({frequency[i], power[i], static_cast<std::int32_t>(i)});
    i = j;
  }
  // Highest first, ties by the lower frequency (the index). Only the top of
  // the list is sorted unless merging within `width` uses it up.
  auto higher = [](const Peak& a, const Peak& b) {
    return a.power > b.power || (a.power == b.power && a.index < b.index);
  };
  std::vector<Peak> out;
  std::size_t sorted = 0;
  for (std::size_t i = 0; i < maxima.size() && static_cast<int>(out.size()) < count; ++i) {
    if (i == sorted) {
      const std::size_t more = std::min(maxima.size(), std::max<std::size_t>(2 * sorted, 64));
      std::partial_sort(maxima.begin() + static_cast<long>(sorted),
                        maxima.begin() + static_cast<long>(more), maxima.end(), higher);
      sorted = more;
    }
    const Peak& p = maxima[i];
    bool separate = true;
    for (const Peak& q : out)
      if (std::abs(q.frequency - p.frequency) < width) separate = false;
    if (separate) out.push_back(p);
  }
  return out;
}

double lombScargleFalseAlarm(double power, double independent) {
  const double expy = std::exp(-power);
  double prob = independent * expy;
  if (prob > 0.01) prob = 1.0 - std::pow(1.0 - expy, independent);
  return prob;
}

double independentFrequencies(std::span<const double> frequency, double timeSpan) {
  const std::size_t n = frequency.size();
  if (n < 2) return 2.0;
  const double range =
      (frequency[n - 1] - frequency[0]) * static_cast<double>(n) / static_cast<double>(n - 1);
  return std::max(2.0, 2.0 * timeSpan * range);
}

}  // namespace fazorn
