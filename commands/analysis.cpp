// The three search commands. Each computes into local results first and
// writes the Workspace only when a period was found, so a refused, failed or
// cancelled run leaves the Workspace as it was (apart from the settings,
// which the front end stored and the commands may raise).
#include "commands/analysis.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "commands/model_chain.h"
#include "commands/search_outcomes.h"
#include "core/number_format.h"
#include "core/results_panel.h"
#include "search/aov_periodogram.h"
#include "search/frequency_grid.h"
#include "search/lomb_scargle.h"
#include "search/search_settings.h"
#include "search/transit_periodogram.h"

namespace fazorn {

namespace {

// The number of shifted bin sets of the transit search (the command passes
// the constant 5).
constexpr int kTransitBinSets = 5;

std::string noPeriod(std::string why) {
  // The engines' reasons are sentences of their own.
  if (!why.empty() && why[0] >= 'A' && why[0] <= 'Z')
    why[0] = static_cast<char>(why[0] - 'A' + 'a');
  return "No period can be found: " + why;
}

// A search's result as the commands keep it in the Workspace: the two ends
// of the range as the command names them, the periodogram, the best
// frequency and its period, the range, the period's error (the command's
// own formula, from the stored values), the provisional phases and the
// result texts.
template <class PeriodError>
void storeSearchResult(Workspace& ws, double minFrequency, double maxFrequency,
                       double bestFrequency, std::vector<double>&& frequency,
                       std::vector<double>&& power, double maxPower, PeriodError periodError) {
  ws.maxFrequency = maxFrequency;
  ws.minFrequency = minFrequency;
  ws.bestFrequency = bestFrequency;
  ws.periodogram.frequencyCount = static_cast<std::int32_t>(frequency.size());
  ws.periodogram.frequency = std::move(frequency);
  ws.periodogram.power = std::move(power);
  ws.periodogram.maxPower = maxPower;
  ws.period = ws.bestFrequency != 0 ? 1 / ws.bestFrequency : 0;
  ws.frequencyRange = ws.maxFrequency - ws.minFrequency;
  ws.periodError = periodError(ws);
  provisionalPhases(ws);
  writeSearchResultTexts(ws);
}

enum class Step { Done, Refused, Cancelled };

struct StepResult {
  Step step = Step::Done;
  std::string message;  // for Refused
};

// The AoV search step on the stored settings.
StepResult aovSearchStep(Workspace& ws, const RunControl& rc,
                         SearchRoute route = SearchRoute::Exact) {
  const SettingsCheck check = checkSearchSettings(ws.settings, SearchEngine::Aov, &ws.lightCurve);
  if (!check.ok()) return {Step::Refused, check.refusal};
  AovResult r =
      computeAovPeriodogram(viewOf(ws.lightCurve), {check.grid, check.harmonicTerms, route}, rc);
  if (r.status == SearchStatus::Cancelled) return {Step::Cancelled, {}};
  if (r.status != SearchStatus::Ok) return {Step::Refused, noPeriod(r.message)};

  ws.harmonicTerms = check.harmonicTerms;
  const SearchSettings& s = ws.settings;
  storeSearchResult(ws, 1 / s.maxPeriod, 1 / s.minPeriod, r.bestFrequency, std::move(r.frequency),
                    std::move(r.power), r.maxPower, [](const Workspace& w) {
                      // Half the width in period of one mean grid step either
                      // side of the peak, divided by the peak's power.
                      const double h = w.frequencyRange / w.periodogram.frequencyCount;
                      return (1 / (w.bestFrequency - h) - 1 / (w.bestFrequency + h)) * 0.5 /
                             w.periodogram.maxPower;
                    });
  return {};
}

// The model chain, then the commands that need a result.
void runChain(Workspace& ws, ModelChain chain) {
  if (chain == ModelChain::Full)
    runModelChain(ws);
  else
    runShortModelChain(ws);
  enableAfterPhasing(ws);
}

// A finished search's outcome with the model chain's note on fluxes left out.
Outcome withModelNote(Outcome out, const Workspace& ws) {
  if (const std::string note = modelChainNote(ws); !note.empty()) out.addNote(note);
  return out;
}

}  // namespace

bool runAovSearch(Workspace& ws, const RunControl& rc) {
  return aovSearchStep(ws, rc).step == Step::Done;
}

Outcome analyseAov(Workspace& ws, const RunControl& rc) {
  return analyseAovOnRoute(ws, rc, SearchRoute::Exact);
}

Outcome analyseAovOnRoute(Workspace& ws, const RunControl& rc, SearchRoute route) {
  normaliseSearchSettings(ws.settings);
  const StepResult step = aovSearchStep(ws, rc, route);
  if (step.step == Step::Cancelled) return cancelledSearch();
  if (step.step == Step::Refused) return refusedSearch(step.message);
  Outcome out = finishedSearch();
  out.status[0] = "Max power: " + formatFixed(ws.periodogram.maxPower, 6, 9, ws.decimalSeparator);
  runChain(ws, ModelChain::Full);
  return withModelNote(std::move(out), ws);
}

Outcome mainLoop(Workspace& ws, const RunControl& rc) {
  const StepResult step = aovSearchStep(ws, rc);
  if (step.step == Step::Cancelled) return cancelledSearch();
  if (step.step == Step::Refused) return refusedSearch(step.message);
  runChain(ws, ModelChain::Full);
  return withModelNote(finishedSearch(), ws);
}

Outcome analyseAovTransit(Workspace& ws, const RunControl& rc) {
  return analyseAovTransitOnRoute(ws, rc, SearchRoute::Exact);
}

Outcome analyseAovTransitOnRoute(Workspace& ws, const RunControl& rc, SearchRoute route) {
  normaliseSearchSettings(ws.settings);
  const SearchSettings& s = ws.settings;
  const SettingsCheck check = checkSearchSettings(s, SearchEngine::AovTransit, &ws.lightCurve);
  if (!check.ok()) return refusedSearch(check.refusal);

  TransitOptions options;
  options.grid = check.grid;
  options.binFactor = check.harmonics;
  options.binSets = kTransitBinSets;
  options.route = route;
  TransitResult r = computeTransitPeriodogram(viewOf(ws.lightCurve), options, rc);
  if (r.status == SearchStatus::Cancelled) return cancelledSearch();
  // Without a best frequency there is no period to derive.
  if (r.status != SearchStatus::Ok) return refusedSearch(noPeriod(r.message));

  // This command stores the two ends the other way round: minFrequency
  // holds 1 / minPeriod and maxFrequency 1 / maxPeriod.
  const double resolution = s.resolution;
  storeSearchResult(ws, 1 / s.minPeriod, 1 / s.maxPeriod, r.bestFrequency, std::move(r.frequency),
                    std::move(r.power), r.maxPower, [resolution](const Workspace& w) {
                      return 1 / (w.bestFrequency - resolution) - 1 / w.bestFrequency;
                    });
  runChain(ws, ModelChain::Short);
  return withModelNote(finishedSearch(), ws);
}

Outcome analyseLombScargle(Workspace& ws, const RunControl& rc) {
  return analyseLombScargleOnRoute(ws, rc, SearchRoute::Exact);
}

Outcome analyseLombScargleOnRoute(Workspace& ws, const RunControl& rc, SearchRoute route,
                                  bool floatingMean) {
  const SearchSettings& s = ws.settings;
  const SettingsCheck check = checkSearchSettings(s, SearchEngine::LombScargle, &ws.lightCurve);
  if (!check.ok()) return refusedSearch(check.refusal);
  const LightCurve& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(lc.pointCount);
  LombScargleOptions options = check.lombScargle;
  options.route = route;
  options.floatingMean = floatingMean;
  const std::span<const double> weight =
      floatingMean ? std::span<const double>(lc.weight.data(), n) : std::span<const double>();
  LombScargleResult r = computeLombScarglePeriodogram(
      std::span(lc.time.data(), n), std::span(lc.value.data(), n), weight, options, rc);
  if (r.status == SearchStatus::Cancelled) return cancelledSearch();
  if (r.status != SearchStatus::Ok) return refusedSearch(noPeriod(r.message));

  ws.falseAlarmProbability = r.falseAlarmProbability;
  const double best = r.frequency[static_cast<std::size_t>(r.peakIndex)];
  storeSearchResult(ws, 1 / s.maxPeriod, 1 / s.minPeriod, best, std::move(r.frequency),
                    std::move(r.power), r.maxPower, [](const Workspace& w) {
                      // Unlike the AoV error, not divided by the peak's power.
                      const double h = w.frequencyRange / w.periodogram.frequencyCount;
                      return (1 / (1 / w.period - h) - 1 / (h + 1 / w.period)) * 0.5;
                    });

  Outcome out = finishedSearch();
  const char sep = ws.decimalSeparator;
  out.status[0] = "FAP: " + formatProbability(ws.falseAlarmProbability, sep) + " with power of " +
                  formatFixed(ws.periodogram.maxPower, 6, 9, sep);
  runChain(ws, ModelChain::Short);
  return withModelNote(std::move(out), ws);
}

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

void adoptFrequency(Workspace& ws, double frequency, std::optional<double> periodError,
                    ModelChain chain) {
  ws.bestFrequency = frequency;
  ws.period = 1 / frequency;
  if (periodError) ws.periodError = *periodError;
  provisionalPhases(ws);
  writeSearchResultTexts(ws);
  runChain(ws, chain);
}

Outcome analyseWith(SearchEngine engine, Workspace& ws, const RunControl& rc, SearchRoute route) {
  switch (engine) {
    case SearchEngine::Aov:
      return analyseAovOnRoute(ws, rc, route);
    case SearchEngine::AovTransit:
      return analyseAovTransitOnRoute(ws, rc, route);
    case SearchEngine::LombScargle:
      break;
  }
  return analyseLombScargleOnRoute(ws, rc, route);
}

}  // namespace fazorn
