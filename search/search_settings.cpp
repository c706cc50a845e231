#include "search/search_settings.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "core/number_format.h"

namespace fazorn {

namespace {

std::string noPeriod(std::string why) {
  // The reasons are sentences of their own.
  if (!why.empty() && why[0] >= 'A' && why[0] <= 'Z')
    why[0] = static_cast<char>(why[0] - 'A' + 'a');
  return "No period can be found: " + why;
}

// What makes a light curve unsearchable, as a message; nothing when it can
// be searched. Weights matter to the AoV searches only.
std::optional<std::string> lightCurveProblem(const LightCurve& lc, bool usesWeights) {
  const auto n = static_cast<std::size_t>(std::max(lc.pointCount, 0));
  if (n < 2 || lc.time.size() < n || lc.value.size() < n || lc.weight.size() < n)
    return noPeriod("the light curve needs at least 2 points.");
  std::size_t nonFinite = 0, infiniteWeight = 0;
  bool valuesVary = false, timesVary = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(lc.time[i]) || !std::isfinite(lc.value[i])) ++nonFinite;
    if (!std::isfinite(lc.weight[i])) ++infiniteWeight;
    if (lc.value[i] != lc.value[0]) valuesVary = true;
    if (lc.time[i] != lc.time[0]) timesVary = true;
  }
  if (nonFinite > 0)
    return noPeriod(std::to_string(nonFinite) + (nonFinite == 1 ? " point has" : " points have") +
                    " a time or value that is not a number.");
  if (!valuesVary) return noPeriod("all values are equal.");
  if (!timesVary) return noPeriod("all points have the same time.");
  if (usesWeights && infiniteWeight > 0)
    return std::to_string(infiniteWeight) + (infiniteWeight == 1 ? " point has" : " points have") +
           " an error of 0 or not a number (infinite weight), which would make every "
           "power meaningless. Give them an error or remove them before searching! Calculation "
           "aborted";
  return std::nullopt;
}

// The number of different times.
int distinctTimes(const LightCurve& lc) {
  std::vector<double> t(lc.time.begin(), lc.time.begin() + lc.pointCount);
  std::sort(t.begin(), t.end());
  return static_cast<int>(std::unique(t.begin(), t.end()) - t.begin());
}

SettingsCheck refusedWith(SettingsCheck check, std::string text) {
  check.refusal = std::move(text);
  return check;
}

}  // namespace

SettingsCheck checkSearchSettings(const SearchSettings& s, SearchEngine engine,
                                  const LightCurve* lc, GridStep step) {
  SettingsCheck check;
  check.harmonicsRaised = s.harmonics < 1;
  check.harmonics = std::max(1, s.harmonics);
  check.harmonicTerms = 2 * check.harmonics + 1;
  if (s.minPeriod >= s.maxPeriod || !(s.minPeriod > 0)) {
    check.badPeriodRange = true;
    return refusedWith(check, kPeriodRangeWarning);
  }
  const bool uniformGrid = engine != SearchEngine::LombScargle;
  if (uniformGrid && step == GridStep::FromSettings) {
    const GridCheck grid = makeFrequencyGrid(1 / s.maxPeriod, 1 / s.minPeriod, s.resolution);
    if (!grid.ok()) return refusedWith(check, grid.message);
    check.grid = grid.grid;
  }
  if (lc == nullptr) return check;

  if (auto problem = lightCurveProblem(*lc, uniformGrid)) return refusedWith(check, *problem);
  const auto n = static_cast<std::size_t>(lc->pointCount);
  switch (engine) {
    case SearchEngine::Aov:
      if (distinctTimes(*lc) <= check.harmonicTerms)
        return refusedWith(
            check, noPeriod(formatPrintf("a fit of %d harmonics has %d terms and needs more "
                                         "points than that at different times.",
                                         check.harmonics, check.harmonicTerms)));
      break;
    case SearchEngine::AovTransit: {
      // Each bin set divides the points into 10 * binFactor bins of equal
      // occupancy ("Harmonics:" is the bin-count factor here).
      const std::size_t bins = 10 * static_cast<std::size_t>(check.harmonics);
      if (n < kMinPointsPerTransitBin * bins) {
        const std::size_t largest = n / (kMinPointsPerTransitBin * 10);
        std::string advice = largest >= 1
                                 ? formatPrintf("lower \"Harmonics:\" to %zu or less", largest)
                                 : formatPrintf("the transit search needs at least %d points",
                                                kMinPointsPerTransitBin * 10);
        return refusedWith(
            check, formatPrintf("With \"Harmonics:\" %d the transit search divides the %zu "
                                "points into %zu bins, fewer than %d points per bin: %s! "
                                "Calculation aborted",
                                check.harmonics, n, bins, kMinPointsPerTransitBin, advice.c_str()));
      }
      break;
    }
    case SearchEngine::LombScargle: {
      // The time span from the data itself, never a stale one from the last
      // redraw.
      const auto [lo, hi] =
          std::minmax_element(lc->time.begin(), lc->time.begin() + lc->pointCount);
      check.lombScargle = lombScargleOptionsFor(s.minPeriod, s.maxPeriod, n, *hi - *lo);
      if (check.lombScargle.capacity < 0)
        return refusedWith(
            check, formatPrintf("The period range would need more than %lld frequencies, more than "
                                "memory holds: narrow the period range! Calculation aborted",
                                static_cast<long long>(kMaxFrequencyCount)));
      break;
    }
  }
  return check;
}

}  // namespace fazorn
