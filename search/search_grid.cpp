#include "search/search_grid.h"

#include <algorithm>
#include <cmath>
#include <map>

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

namespace {

// Fine grids at most this long are computed in full.
constexpr std::int64_t kDirectFineCount = 60000;
// Coarse points per peak width of the first pass.
constexpr double kCoarseOversampling = 3.0;
// Coarse maxima whose neighbourhood gets the fine grid.
constexpr std::size_t kCandidates = 64;

}  // namespace

GridSearchResult searchGrid(const PeriodStatistic& statistic, const GridSearchOptions& options,
                            const RunControl& rc) {
  GridSearchResult r;
  const double fmin = options.minFrequency, step = options.step;
  const double fineCount = std::floor((options.maxFrequency - fmin) / step);
  if (!(step > 0) || !(fineCount >= 1)) {
    r.message = "The frequency grid is empty.";
    return r;
  }
  if (fineCount > static_cast<double>(kMaxFrequencyCount) * 50) {
    r.message = "The frequency grid is too large.";
    return r;
  }
  r.fineCount = static_cast<std::int64_t>(fineCount);
  const double coarseStep = options.peakWidth / kCoarseOversampling;
  const std::int64_t coarseCount =
      coarseStep > 0
          ? static_cast<std::int64_t>(std::floor((options.maxFrequency - fmin) / coarseStep))
          : 0;
  auto fineFrequency = [&](std::int64_t k) { return fmin + static_cast<double>(k) * step; };

  // Approximate candidates cost so much less than the powers (AoVtr's folds
  // on long light curves) that the coarse pass pays on any grid it can
  // thin out.
  const bool approximate = coarseStep > 0 && statistic.approximateCandidates(coarseStep);
  if ((r.fineCount <= kDirectFineCount && !approximate) || coarseStep < 2.0 * step ||
      coarseCount < 16) {
    r.power = statistic.powers(fmin, step, static_cast<int>(r.fineCount), rc);
    if (rc.cancelled()) {
      r.status = SearchStatus::Cancelled;
      return r;
    }
    r.frequency.resize(r.power.size());
    for (std::size_t k = 0; k < r.power.size(); ++k)
      r.frequency[k] = fineFrequency(static_cast<std::int64_t>(k));
  } else {
    if (coarseCount > kMaxFrequencyCount) {
      r.message = "The frequency grid is too large.";
      return r;
    }
    // The coarse lattice consists of multiples of its step (so that the
    // Lomb-Scargle recurrence can compute it).
    const double coarseFirst = std::ceil(fmin / coarseStep) * coarseStep;
    const int cn = static_cast<int>(std::floor((options.maxFrequency - coarseFirst) / coarseStep));
    RunControl coarseRc = rc;
    coarseRc.progress = [&rc](double f) { rc.report(0.9 * f); };
    const std::vector<double> coarse =
        statistic.candidatePowers(coarseFirst, coarseStep, cn, coarseRc);
    if (rc.cancelled()) {
      r.status = SearchStatus::Cancelled;
      return r;
    }
    std::vector<double> coarseFrequency(coarse.size());
    for (std::size_t i = 0; i < coarse.size(); ++i)
      coarseFrequency[i] = coarseFirst + static_cast<double>(i) * coarseStep;
    const std::vector<Peak> candidates =
        independentPeaks(coarseFrequency, coarse, 0.0, static_cast<int>(kCandidates));
    // Fine windows of +- one coarse step around each candidate, as ranges of
    // fine indices, merged where they overlap. Approximate coarse powers
    // may put a flat-topped peak's coarse maximum a step beside the exact
    // one: their windows reach two coarse steps.
    const double reach = (approximate ? 2.0 : 1.0) * coarseStep;
    std::map<std::int64_t, std::int64_t> windows;
    for (const Peak& c : candidates) {
      const auto a = std::max<std::int64_t>(
          0, static_cast<std::int64_t>(std::ceil((c.frequency - reach - fmin) / step)));
      const auto e = std::min<std::int64_t>(
          r.fineCount,
          static_cast<std::int64_t>(std::floor((c.frequency + reach - fmin) / step)) + 1);
      if (e > a) windows[a] = std::max(windows[a], e);
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> merged;
    for (const auto& [a, e] : windows) {
      if (!merged.empty() && a <= merged.back().second)
        merged.back().second = std::max(merged.back().second, e);
      else
        merged.emplace_back(a, e);
    }
    std::size_t ci = 0;
    RunControl fineRc = rc;
    fineRc.progress = nullptr;
    std::vector<FrequencyGrid> fineWindows;
    for (const auto& [a, e] : merged)
      fineWindows.push_back({fineFrequency(a), step, static_cast<std::int32_t>(e - a)});
    const std::vector<double> fine = statistic.windowPowers(fineWindows, fineRc);
    std::size_t at = 0;  // the window's first power in fine
    for (const auto& [a, e] : merged) {
      const double fa = fineFrequency(a), fe = fineFrequency(e - 1);
      for (; ci < coarse.size() && coarseFrequency[ci] < fa; ++ci) {
        r.frequency.push_back(coarseFrequency[ci]);
        r.power.push_back(coarse[ci]);
      }
      for (; ci < coarse.size() && coarseFrequency[ci] <= fe; ++ci) {
      }
      for (std::int64_t k = a; k < e; ++k) {
        r.frequency.push_back(fineFrequency(k));
        r.power.push_back(fine[at + static_cast<std::size_t>(k - a)]);
      }
      at += static_cast<std::size_t>(e - a);
    }
    for (; ci < coarse.size(); ++ci) {
      r.frequency.push_back(coarseFrequency[ci]);
      r.power.push_back(coarse[ci]);
    }
    if (rc.cancelled()) {
      r.status = SearchStatus::Cancelled;
      return r;
    }
    rc.report(1.0);
    // The maximum of the fine grid only: coarse points are off the grid.
    double top = 0.0;
    std::int64_t best = -1;
    for (std::size_t i = 0; i < r.frequency.size(); ++i) {
      const double k = (r.frequency[i] - fmin) / step;
      const bool onFine = std::abs(k - std::round(k)) < 1e-6;
      if (onFine && r.power[i] > top) top = r.power[i], best = static_cast<std::int64_t>(i);
    }
    if (best < 0) {
      r.message = "No trial frequency has a power above 0.";
      return r;
    }
    r.bestFrequency = r.frequency[static_cast<std::size_t>(best)];
    r.maxPower = top;
    r.status = SearchStatus::Ok;
    return r;
  }
  const std::int64_t best = firstStrictMaximum(r.power);
  if (best < 0) {
    r.message = "No trial frequency has a power above 0.";
    return r;
  }
  r.bestFrequency = r.frequency[static_cast<std::size_t>(best)];
  r.maxPower = r.power[static_cast<std::size_t>(best)];
  r.status = SearchStatus::Ok;
  return r;
}

}  // namespace fazorn
