#include "commands/auto_search.h"

#include <algorithm>
#include <cmath>

#include "commands/analysis.h"
#include "commands/model_chain.h"
#include "commands/search_outcomes.h"
#include "core/number_format.h"
#include "core/results_panel.h"
#include "model/classification.h"
#include "model/phased_model.h"
#include "search/search_settings.h"

namespace fazorn {

namespace {

// Independent peaks in a report.
constexpr int kReportedPeaks = 5;
// Significance level of the test that the two halves of a folded light curve
// differ (a false alarm in one star of a thousand).
constexpr double kHalvesAlpha = 1e-3;

// Half the width in period of one grid step either side of the frequency.
double halfStepError(double frequency, double step) {
  return (1 / (frequency - step) - 1 / (frequency + step)) * 0.5;
}

double lightCurveSpan(const Workspace& ws) {
  const auto n = static_cast<std::size_t>(std::max(0, ws.lightCurve.pointCount));
  return timeSpanOf(std::span(ws.lightCurve.time.data(), n));
}

// The step of a stored periodogram: the smallest spacing of neighbours.
double storedStep(const Periodogram& p) {
  double step = 0.0;
  for (std::size_t i = 1; i < p.frequency.size(); ++i) {
    const double d = p.frequency[i] - p.frequency[i - 1];
    if (d > 0 && (step == 0.0 || d < step)) step = d;
  }
  return step;
}

// The best type of a classification at `period` and the best score among the
// eclipsing types (those whose t0 is the epoch of minimum light).
struct TypeAt {
  int best = -1;
  double bestScore = kNoTypeScore;
  bool bestEclipsing = false;
  double eclipsingScore = kNoTypeScore;
};

TypeAt classifyAt(const LightCurve& lc, double period) {
  Workspace w;
  w.lightCurve = lc;
  w.period = period;
  w.t0 = 0.0;
  computePhases(w);
  runModelChain(w);
  TypeAt out;
  out.best = w.typeOrder[0];
  out.bestScore = w.typeScore[static_cast<std::size_t>(out.best)];
  out.bestEclipsing = kTypeHeaders[static_cast<std::size_t>(out.best)].epochAtMinimum == 1;
  for (int s = 0; s < kTypeCount; ++s)
    if (kTypeHeaders[static_cast<std::size_t>(s)].epochAtMinimum == 1)
      out.eclipsingScore = std::min(out.eclipsingScore, w.typeScore[static_cast<std::size_t>(s)]);
  if (out.bestScore >= kNoTypeScore) out.bestEclipsing = false;
  return out;
}

// Harmonics of the halves test: about ten points per fitted parameter at
// twice the period (4 H + 1 parameters), between 1 and 4.
int halvesHarmonics(std::size_t n) {
  const double h = (static_cast<double>(n) / 10.0 - 1.0) / 4.0;
  return std::clamp(static_cast<int>(h), 1, 4);
}

// Decides between the frequency f (period P), f / 2 and 2 f from the light
// curve, with the type templates as the judge of shape (a template is one
// cycle of a pulsating star or one orbit of an eclipsing binary with its two
// minima).
// - P/2 when the curve folded on P consists of two equal halves: the odd
//   harmonics of f are not significant (a sinusoid found at twice its
//   period), or the templates fit the curve folded on P/2 better than the
//   curve folded on P while the statistic at 2 f keeps at least half the
//   power of f (irregular cycles of a long-period star that a fit at 2P
//   follows).
// - Then 2P' (P' the period kept) for an eclipsing binary found at half its
//   orbital period: the curve folded on 2P' is classified as an eclipsing
//   binary and the eclipsing templates fit it better than any type fits the
//   curve folded on P'. Mere statistical differences between the halves at
//   2P' are not enough: on real data slow changes of period or amplitude and
//   systematic errors make them significant for pulsating stars too.
AliasDecision decideAlias(const LightCurve& lc, const PeriodStatistic& statistic, double frequency,
                          double maxFrequency, bool useWeights, double* adopted) {
  const auto n = static_cast<std::size_t>(lc.pointCount);
  const LightCurveView view{std::span(lc.time.data(), n), std::span(lc.value.data(), n),
                            std::span(lc.weight.data(), n)};
  const int h = halvesHarmonics(n);
  double base = frequency;
  const TypeAt atFound = classifyAt(lc, 1 / frequency);
  TypeAt atBase = atFound;
  if (2 * frequency <= maxFrequency) {
    const bool equalHalves = unequalHalvesPValue(view, frequency, h, useWeights) > kHalvesAlpha;
    bool betterShape = false;
    TypeAt atHalf;
    if (!equalHalves && statistic.power(2 * frequency) >= 0.5 * statistic.power(frequency)) {
      atHalf = classifyAt(lc, 0.5 / frequency);
      betterShape = atHalf.bestScore < atFound.bestScore;
    }
    if (equalHalves || betterShape) {
      base = 2 * frequency;
      atBase = betterShape ? atHalf : classifyAt(lc, 1 / base);
    }
  }
  const TypeAt twice = classifyAt(lc, 2 / base);
  const bool doubled = twice.bestEclipsing && twice.eclipsingScore < atBase.bestScore;
  *adopted = doubled ? base / 2 : base;
  if (*adopted == frequency) return AliasDecision::None;
  return *adopted < frequency ? AliasDecision::Doubled : AliasDecision::Halved;
}

void addPeaksAndWarnings(const Workspace& ws, SearchEngine engine, double step, SearchReport& r) {
  const Periodogram& p = ws.periodogram;
  r.peaks = independentPeaks(p.frequency, p.power, r.peakWidth, kReportedPeaks);
  const std::string w =
      coarseGridWarning(engine, step, r.timeSpan, std::max(1, ws.settings.harmonics));
  if (!w.empty()) r.warnings.push_back(w);
}

bool usesWeights(SearchEngine engine) { return engine != SearchEngine::LombScargle; }

}  // namespace

AutoSearchOptions autoSearchOptions(SearchEngine engine) {
  AutoSearchOptions o;
  o.engine = engine;
  o.autoResolution = o.autoMinPeriod = o.autoMaxPeriod = true;
  o.refine = o.resolveAlias = true;
  o.route = SearchRoute::Auto;
  return o;
}

SearchReport reportForStoredSearch(const Workspace& ws, SearchEngine engine) {
  SearchReport r;
  r.gridPeriod = ws.period;
  r.timeSpan = lightCurveSpan(ws);
  const int h = std::max(1, ws.settings.harmonics);
  r.peakWidth = peakWidth(engine, r.timeSpan, h);
  r.step =
      engine == SearchEngine::LombScargle ? storedStep(ws.periodogram) : ws.settings.resolution;
  r.minPeriod = ws.settings.minPeriod;
  r.maxPeriod = ws.settings.maxPeriod;
  addPeaksAndWarnings(ws, engine, r.step, r);
  return r;
}

bool typeAdmitted(const Workspace& ws) {
  for (const TypeHeader& t : kTypeHeaders) {
    if (ws.period > t.periodLow && ws.period < t.periodHigh && ws.amplitude > t.amplitudeLow &&
        ws.amplitude < t.amplitudeHigh)
      return true;
  }
  return false;
}

Outcome analyseAutoSearch(Workspace& ws, const AutoSearchOptions& options, const RunControl& rc,
                          SearchReport* report) {
  SearchReport local;
  SearchReport& r = report != nullptr ? *report : local;
  r = SearchReport{};
  const SearchEngine engine = options.engine;

  if (!options.autoResolution && !options.refine && !options.resolveAlias) {
    Outcome out = analyseWith(engine, ws, rc, options.route);
    if (out.ok) r = reportForStoredSearch(ws, engine);
    return out;
  }

  normaliseSearchSettings(ws.settings);
  const int harmonics = ws.settings.harmonics;
  const LightCurve& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(std::max(0, lc.pointCount));
  if (options.autoResolution) {
    if (!(options.oversampling > 0) || !std::isfinite(options.oversampling))
      return refusedSearch("The oversampling must be a positive number! Calculation aborted");
    const AutoLimits limits =
        autoPeriodLimits(std::span(lc.time.data(), std::min(n, lc.time.size())));
    if (options.autoMinPeriod) ws.settings.minPeriod = limits.minPeriod;
    if (options.autoMaxPeriod) ws.settings.maxPeriod = limits.maxPeriod;
    // The settings and the light curve checked as the commands check them;
    // the grid from the data is checked where it is made.
    const SettingsCheck check =
        checkSearchSettings(ws.settings, engine, &lc, GridStep::MadeElsewhere);
    if (!check.ok()) return refusedSearch(check.refusal);
  }
  r.timeSpan = lightCurveSpan(ws);
  r.peakWidth = peakWidth(engine, r.timeSpan, harmonics);
  std::unique_ptr<PeriodStatistic> statistic =
      makePeriodStatistic(engine, viewOf(lc), harmonics, options.route);

  Outcome out;
  double minFrequency = 0, maxFrequency = 0;
  if (options.autoResolution) {
    const SearchSettings& s = ws.settings;
    minFrequency = 1 / s.maxPeriod;
    maxFrequency = 1 / s.minPeriod;
    r.step = autoResolution(engine, r.timeSpan, harmonics, options.oversampling);
    GridSearchOptions g;
    g.engine = engine;
    g.minFrequency = minFrequency;
    g.maxFrequency = maxFrequency;
    g.step = r.step;
    g.peakWidth = r.peakWidth;
    g.harmonics = harmonics;
    GridSearchResult grid = searchGrid(*statistic, g, rc);
    if (grid.status == SearchStatus::Cancelled) return cancelledSearch();
    if (grid.status != SearchStatus::Ok)
      return refusedSearch("No period can be found: " + grid.message);
    ws.minFrequency = minFrequency;
    ws.maxFrequency = maxFrequency;
    ws.harmonicTerms = 2 * harmonics + 1;
    ws.frequencyRange = maxFrequency - minFrequency;
    ws.bestFrequency = grid.bestFrequency;
    ws.periodogram.frequencyCount = static_cast<std::int32_t>(grid.frequency.size());
    ws.periodogram.frequency = std::move(grid.frequency);
    ws.periodogram.power = std::move(grid.power);
    ws.periodogram.maxPower = grid.maxPower;
    ws.period = 1 / ws.bestFrequency;
    ws.periodError = halfStepError(ws.bestFrequency, r.step);
    if (engine == SearchEngine::LombScargle)
      ws.falseAlarmProbability = lombScargleFalseAlarm(
          grid.maxPower, std::max(2.0, 2.0 * r.timeSpan * (maxFrequency - minFrequency)));
  } else {
    // The grid on the route asked for: the refinement and the alias step
    // recompute their peaks on the exact statistic either way.
    out = analyseWith(engine, ws, rc, options.route);
    if (!out.ok) return out;
    minFrequency = 1 / ws.settings.maxPeriod;
    maxFrequency = 1 / ws.settings.minPeriod;
    r.step =
        engine == SearchEngine::LombScargle ? storedStep(ws.periodogram) : ws.settings.resolution;
  }
  r.minPeriod = ws.settings.minPeriod;
  r.maxPeriod = ws.settings.maxPeriod;
  r.gridPeriod = ws.period;
  addPeaksAndWarnings(ws, engine, r.step, r);

  double frequency = ws.bestFrequency;
  double frequencyError = 0.0;
  if (options.refine) {
    const RefinedPeak peak = refinePeak(*statistic, frequency, r.step, r.peakWidth);
    frequency = peak.frequency;
    frequencyError = peak.frequencyError;
    r.refined = true;
  }
  if (options.resolveAlias) {
    double adopted = frequency;
    const AliasDecision d =
        decideAlias(lc, *statistic, frequency, std::max(maxFrequency, frequency),
                    usesWeights(engine), &adopted);
    if (d != AliasDecision::None && options.refine) {
      // The refined frequency of the adopted peak, searched where the
      // decision put it.
      const RefinedPeak peak = refinePeak(*statistic, adopted, r.step, r.peakWidth);
      if (std::abs(peak.frequency - adopted) < r.peakWidth) {
        adopted = peak.frequency;
        frequencyError =
            peak.frequencyError > 0 ? peak.frequencyError : frequencyError * adopted / frequency;
      } else {
        frequencyError *= adopted / frequency;
      }
    }
    frequency = adopted;
    r.alias = d;
  }
  std::optional<double> periodError;  // the grid search's own when the grid's peak stands
  if (options.refine)
    periodError = frequencyError / (frequency * frequency);
  else if (options.autoResolution || frequency != 1 / r.gridPeriod)
    periodError = halfStepError(frequency, r.step);
  adoptFrequency(ws, frequency, periodError, ModelChain::Full);

  out = finishedSearch();
  const char sep = ws.decimalSeparator;
  if (engine == SearchEngine::LombScargle)
    out.status[0] = "FAP: " + formatProbability(ws.falseAlarmProbability, sep) + " with power of " +
                    formatFixed(ws.periodogram.maxPower, 6, 9, sep);
  else
    out.status[0] = "Max power: " + formatFixed(ws.periodogram.maxPower, 6, 9, sep);
  return out;
}

Outcome refineCurrentPeriod(Workspace& ws, SearchEngine engine, const RunControl& rc) {
  (void)rc;
  const LightCurve& lc = ws.lightCurve;
  if (!(ws.period > 0) || !std::isfinite(ws.period))
    return refusedSearch("The period must be a positive number.");
  // The light curve checked as a search around the period would check it.
  SearchSettings around = ws.settings;
  around.minPeriod = 0.5 * ws.period;
  around.maxPeriod = 2 * ws.period;
  const SettingsCheck check = checkSearchSettings(around, engine, &lc, GridStep::MadeElsewhere);
  if (!check.ok()) return refusedSearch(check.refusal);
  const int harmonics = std::max(1, ws.settings.harmonics);
  const double span = lightCurveSpan(ws);
  const double width = peakWidth(engine, span, harmonics);
  const auto statistic = makePeriodStatistic(engine, viewOf(lc), harmonics);
  // The local grid covers +- 0.75 peak widths: a period set by hand or
  // picked from a coarse grid lies within a width of the top of its peak.
  const RefinedPeak peak = refinePeak(*statistic, 1 / ws.period, width / 2.0, width);
  if (!(peak.frequency > 0)) return refusedSearch("The period cannot be refined.");
  adoptFrequency(ws, peak.frequency, peak.frequencyError / (peak.frequency * peak.frequency),
                 ModelChain::Full);
  Outcome out;
  out.redraw.phaseDiagram = true;
  out.redraw.results = true;
  out.status[0] = "Refined period " + formatFixed(ws.period, 8, 12, ws.decimalSeparator) + " +- " +
                  formatFixed(ws.periodError, 8, 12, ws.decimalSeparator) + " d";
  return out;
}

std::int32_t peakUnder(const Periodogram& p, double frequency, double tolerance) {
  const std::size_t n = std::min(p.frequency.size(), p.power.size());
  if (n == 0) return -1;
  const auto first = p.frequency.begin();
  const auto end = first + static_cast<long>(n);
  std::size_t i = static_cast<std::size_t>(std::lower_bound(first, end, frequency) - first);
  if (i == n || (i > 0 && frequency - p.frequency[i - 1] < p.frequency[i] - frequency)) --i;
  // The highest point within the tolerance (what the cursor covers).
  const auto a =
      static_cast<std::size_t>(std::lower_bound(first, end, frequency - tolerance) - first);
  const auto e =
      static_cast<std::size_t>(std::upper_bound(first, end, frequency + tolerance) - first);
  for (std::size_t k = a; k < e; ++k)
    if (p.power[k] > p.power[i]) i = k;
  for (;;) {
    if (i + 1 < n && p.power[i + 1] > p.power[i])
      ++i;
    else if (i > 0 && p.power[i - 1] > p.power[i])
      --i;
    else
      break;
  }
  return static_cast<std::int32_t>(i);
}

Outcome adoptPeriodogramPeak(Workspace& ws, std::int32_t index) {
  const Periodogram& p = ws.periodogram;
  if (index < 0 || static_cast<std::size_t>(index) >= p.frequency.size() ||
      !(p.frequency[static_cast<std::size_t>(index)] > 0))
    return refusedSearch("There is no periodogram peak there.");
  if (ws.lightCurve.pointCount < 1) return refusedSearch("No light curve is loaded.");
  const auto i = static_cast<std::size_t>(index);
  const double f = p.frequency[i];
  double step = 0.0;
  if (i + 1 < p.frequency.size()) step = p.frequency[i + 1] - f;
  if (i > 0 && (step == 0.0 || f - p.frequency[i - 1] < step)) step = f - p.frequency[i - 1];
  adoptFrequency(ws, f, step > 0 && step < f ? halfStepError(f, step) : 0.0, ModelChain::Short);
  Outcome out;
  out.redraw.phaseDiagram = true;
  out.redraw.results = true;
  out.status[0] = "Adopted peak: period " + formatFixed(ws.period, 6, 10, ws.decimalSeparator) +
                  " with power of " + formatFixed(p.power[i], 6, 9, ws.decimalSeparator);
  return out;
}

}  // namespace fazorn
