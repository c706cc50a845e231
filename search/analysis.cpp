// The three search commands. Each computes into local results first and
// writes the Workspace only when a period was found, so a refused, failed or
// cancelled run leaves the Workspace as it was (apart from the settings,
// which the front end stored and the commands may raise).
#include "search/analysis.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "core/number_format.h"
#include "core/results_panel.h"
#include "model/classification.h"
#include "model/phased_model.h"
#include "search/aov_periodogram.h"
#include "search/frequency_grid.h"
#include "search/lomb_scargle.h"
#include "search/transit_periodogram.h"

namespace fazorn {

namespace {

constexpr const char* kRangeWarning =
    "Min period is negative or greater than Max period! Calculation aborted";
// The number of shifted bin sets of the transit search (the command passes
// the constant 5).
constexpr int kTransitBinSets = 5;

bool rangeInvalid(const SearchSettings& s) {
  return s.minPeriod >= s.maxPeriod || !(s.minPeriod > 0);
}

Outcome refused(const std::string& text) {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.message = warningBox(text);
  return out;
}

Outcome cancelledRun() {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.status[1] = "";
  out.addNote("Search cancelled; nothing changed.");
  return out;
}

std::string noPeriod(std::string why) {
  // The engines' reasons are sentences of their own.
  if (!why.empty() && why[0] >= 'A' && why[0] <= 'Z')
    why[0] = static_cast<char>(why[0] - 'A' + 'a');
  return "No period can be found: " + why;
}

}  // namespace

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

int distinctTimes(const LightCurve& lc) {
  std::vector<double> t(lc.time.begin(), lc.time.begin() + lc.pointCount);
  std::sort(t.begin(), t.end());
  return static_cast<int>(std::unique(t.begin(), t.end()) - t.begin());
}

namespace {

// Provisional phases relative to time 0 at the best frequency, in
// [-0.5, 0.5]; the chain replaces them by phases relative to t0.
void provisionalPhases(Workspace& ws) {
  const LightCurve& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(lc.pointCount);
  ws.phased = 1;
  ws.phasedValue.resize(n);
  ws.phase.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double u = lc.time[i] * ws.bestFrequency;
    double p = u - std::floor(u) - 0.5;
    if (p < -0.5) p += 1;
    if (p > 0.5) p -= 1;
    ws.phase[i] = p;
    ws.phasedValue[i] = lc.value[i];
  }
}

void storePeriodogram(Workspace& ws, std::vector<double>&& frequency, std::vector<double>&& power,
                      double maxPower) {
  ws.periodogram.frequencyCount = static_cast<std::int32_t>(frequency.size());
  ws.periodogram.frequency = std::move(frequency);
  ws.periodogram.power = std::move(power);
  ws.periodogram.maxPower = maxPower;
}

enum class Step { Done, Refused, Cancelled };

struct StepResult {
  Step step = Step::Done;
  std::string message;  // for Refused
};

// The AoV search step on the stored settings.
StepResult aovSearchStep(Workspace& ws, const RunControl& rc) {
  const SearchSettings& s = ws.settings;
  const double maxFrequency = 1 / s.minPeriod;
  const double minFrequency = 1 / s.maxPeriod;
  const std::int32_t harmonicTerms = 2 * s.harmonics + 1;
  const GridCheck grid = makeFrequencyGrid(minFrequency, maxFrequency, s.resolution);
  if (!grid.ok()) return {Step::Refused, grid.message};
  if (auto problem = lightCurveProblem(ws.lightCurve, true)) return {Step::Refused, *problem};
  if (distinctTimes(ws.lightCurve) <= harmonicTerms)
    return {Step::Refused,
            noPeriod(formatPrintf("a fit of %d harmonics has %d terms and needs more points than "
                                  "that at different times.",
                                  s.harmonics, harmonicTerms))};

  AovResult r = computeAovPeriodogram(viewOf(ws.lightCurve), {grid.grid, harmonicTerms}, rc);
  if (r.status == SearchStatus::Cancelled) return {Step::Cancelled, {}};
  if (r.status != SearchStatus::Ok) return {Step::Refused, noPeriod(r.message)};

  ws.maxFrequency = maxFrequency;
  ws.minFrequency = minFrequency;
  ws.harmonicTerms = harmonicTerms;
  ws.bestFrequency = r.bestFrequency;
  storePeriodogram(ws, std::move(r.frequency), std::move(r.power), r.maxPower);
  ws.period = 1 / ws.bestFrequency;
  ws.frequencyRange = ws.maxFrequency - ws.minFrequency;
  // Half the width in period of one mean grid step either side of the peak,
  // divided by the peak's power.
  const double h = ws.frequencyRange / ws.periodogram.frequencyCount;
  ws.periodError =
      (1 / (ws.bestFrequency - h) - 1 / (ws.bestFrequency + h)) * 0.5 / ws.periodogram.maxPower;
  provisionalPhases(ws);
  writeSearchResultTexts(ws);
  return {};
}

// Fit, classification (which sets t0), phasing, fit and classification again.
void fullChain(Workspace& ws) {
  fitPhasedLightCurve(ws);
  classifyVariability(ws);
  computePhases(ws);
  fitPhasedLightCurve(ws);
  classifyVariability(ws);
  enableAfterPhasing(ws);
}

// The shorter chain of the transit and Lomb-Scargle commands.
void shortChain(Workspace& ws) {
  fitPhasedLightCurve(ws);
  classifyVariability(ws);
  computePhases(ws);
  enableAfterPhasing(ws);
}

Outcome finished() {
  Outcome out;
  out.status[1] = "";
  out.redraw.phaseDiagram = true;
  out.redraw.periodogram = true;
  out.redraw.results = true;
  return out;
}

}  // namespace

bool runAovSearch(Workspace& ws, const RunControl& rc) {
  return aovSearchStep(ws, rc).step == Step::Done;
}

Outcome analyseAov(Workspace& ws, const RunControl& rc) {
  if (ws.settings.harmonics < 1) ws.settings.harmonics = 1;
  if (rangeInvalid(ws.settings)) return refused(kRangeWarning);
  const StepResult step = aovSearchStep(ws, rc);
  if (step.step == Step::Cancelled) return cancelledRun();
  if (step.step == Step::Refused) return refused(step.message);
  Outcome out = finished();
  out.status[0] = "Max power: " + formatFixed(ws.periodogram.maxPower, 6, 9, ws.decimalSeparator);
  fullChain(ws);
  return out;
}

Outcome mainLoop(Workspace& ws, const RunControl& rc) {
  const StepResult step = aovSearchStep(ws, rc);
  if (step.step == Step::Cancelled) return cancelledRun();
  if (step.step == Step::Refused) return refused(step.message);
  fullChain(ws);
  return finished();
}

Outcome analyseAovTransit(Workspace& ws, const RunControl& rc) {
  if (ws.settings.harmonics < 1) ws.settings.harmonics = 1;
  const SearchSettings& s = ws.settings;
  if (rangeInvalid(s)) return refused(kRangeWarning);
  const double lowest = 1 / s.maxPeriod;
  const double highest = 1 / s.minPeriod;
  const GridCheck grid = makeFrequencyGrid(lowest, highest, s.resolution);
  if (!grid.ok()) return refused(grid.message);
  if (auto problem = lightCurveProblem(ws.lightCurve, true)) return refused(*problem);

  TransitOptions options;
  options.grid = grid.grid;
  options.binFactor = s.harmonics;
  options.binSets = kTransitBinSets;
  TransitResult r = computeTransitPeriodogram(viewOf(ws.lightCurve), options, rc);
  if (r.status == SearchStatus::Cancelled) return cancelledRun();
  // Without a best frequency there is no period to derive.
  if (r.status != SearchStatus::Ok) return refused(noPeriod(r.message));

  // This command stores the two ends the other way round: minFrequency
  // holds 1 / minPeriod and maxFrequency 1 / maxPeriod.
  ws.minFrequency = highest;
  ws.maxFrequency = lowest;
  ws.bestFrequency = r.bestFrequency;
  storePeriodogram(ws, std::move(r.frequency), std::move(r.power), r.maxPower);
  ws.period = 1 / ws.bestFrequency;
  ws.frequencyRange = ws.maxFrequency - ws.minFrequency;
  ws.periodError = 1 / (ws.bestFrequency - s.resolution) - 1 / ws.bestFrequency;
  provisionalPhases(ws);
  writeSearchResultTexts(ws);
  shortChain(ws);
  return finished();
}

Outcome analyseLombScargle(Workspace& ws, const RunControl& rc) {
  const SearchSettings& s = ws.settings;
  if (rangeInvalid(s)) return refused(kRangeWarning);
  if (auto problem = lightCurveProblem(ws.lightCurve, false)) return refused(*problem);
  const LightCurve& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(lc.pointCount);
  // The time span from the data itself, never a stale one from the last
  // redraw.
  const auto [lo, hi] = std::minmax_element(lc.time.begin(), lc.time.begin() + lc.pointCount);
  const double timeSpan = *hi - *lo;
  const double maxFrequency = 1 / s.minPeriod;
  const double minFrequency = 1 / s.maxPeriod;
  const LombScargleOptions options = lombScargleOptionsFor(s.minPeriod, s.maxPeriod, n, timeSpan);
  if (options.capacity < 0)
    return refused(formatPrintf(
        "The period range would need more than %lld frequencies, more than memory holds: "
        "narrow the period range! Calculation aborted",
        static_cast<long long>(kMaxFrequencyCount)));

  LombScargleResult r = computeLombScarglePeriodogram(std::span(lc.time.data(), n),
                                                      std::span(lc.value.data(), n), options, rc);
  if (r.status == SearchStatus::Cancelled) return cancelledRun();
  if (r.status != SearchStatus::Ok) return refused(noPeriod(r.message));

  ws.maxFrequency = maxFrequency;
  ws.minFrequency = minFrequency;
  const std::size_t peak = static_cast<std::size_t>(r.peakIndex);
  ws.bestFrequency = r.frequency[peak];
  ws.period = ws.bestFrequency != 0 ? 1 / ws.bestFrequency : 0;
  ws.falseAlarmProbability = r.falseAlarmProbability;
  storePeriodogram(ws, std::move(r.frequency), std::move(r.power), r.maxPower);
  ws.frequencyRange = ws.maxFrequency - ws.minFrequency;
  // Unlike the AoV error, not divided by the peak's power.
  const double h = ws.frequencyRange / ws.periodogram.frequencyCount;
  ws.periodError = (1 / (1 / ws.period - h) - 1 / (h + 1 / ws.period)) * 0.5;
  provisionalPhases(ws);
  writeSearchResultTexts(ws);

  Outcome out = finished();
  const char sep = ws.decimalSeparator;
  out.status[0] = "FAP: " + formatFixed(ws.falseAlarmProbability * 100, 1, 3, sep) +
                  "% with power of " + formatFixed(ws.periodogram.maxPower, 6, 9, sep);
  shortChain(ws);
  return out;
}

}  // namespace fazorn
