#include "commands/auto_search.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

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

// A curve folded on an eclipsing binary's half orbit is symmetric in time
// about its dip (FoldedShape::asymmetry 0). RR Lyrae stars and Cepheids rise
// from minimum to maximum in 0.1 to 0.35 of their cycle; the asymmetry of a
// triangle wave that rises in 0.4 of its cycle (0.22) is the limit beyond
// which a curve is a pulsator's rise and fall.
constexpr double kSymmetryLimit = 0.22;

// The significance asked of an eclipse's shape (sharpDipPValue) before the
// templates may double a period: the conventional 1 %, one-sided. A
// sinusoid passes it in 1 % of cases, and the templates must then agree.
constexpr double kShapeAlpha = 0.01;

// Days: the longest orbit of a contact binary (W UMa stars, the EW class:
// "periods usually shorter than 1 day"), the only binaries whose half orbit
// folds into a sinusoid.
constexpr double kContactOrbitLimit = 1.0;

// Whether a weighted Fourier series fits the light curve as well as its
// error bars say: its chi-square (the weighted residual sum of squares, got
// back from the criterion) is not in excess at 1e-3 (the Wilson-Hilferty
// normal approximation of the chi-square tail, good to a few per cent of
// the p-value for the hundreds of degrees of freedom met here). False
// without weights, or when every error bar is the same (then they carry no
// scale of their own).
// `bic` is the criterion of a model of `parameters` parameters (the frequency
// among them).
bool fitsItsErrorBars(const LightCurve& lc, double bic, double parameters, bool useWeights) {
  const auto n = static_cast<std::size_t>(std::max(0, lc.pointCount));
  if (!useWeights || !(parameters > 2) || n < 10 || lc.weight.size() < n) return false;
  const auto [lo, hi] = std::minmax_element(lc.weight.begin(), lc.weight.begin() + n);
  if (!(*hi > *lo)) return false;
  const double dn = static_cast<double>(n);
  const double chiSquare = dn * std::exp((bic - parameters * std::log(dn)) / dn);
  const double dof = dn - (parameters - 1.0);
  if (!(dof > 0) || !std::isfinite(chiSquare)) return false;
  const double v = 2.0 / (9.0 * dof);
  const double z = (std::cbrt(chiSquare / dof) - (1.0 - v)) / std::sqrt(v);
  return 0.5 * std::erfc(z / std::sqrt(2.0)) > 1e-3;
}

bool fitsItsErrorBars(const LightCurve& lc, const FourierFit& fit, bool useWeights) {
  return fit.harmonics >= 1 && fitsItsErrorBars(lc, fit.bic, 2.0 * fit.harmonics + 2.0, useWeights);
}

// The series at a frequency of the grid, refitted at the frequency that
// fits it best within half the grid's resolution for its harmonics (1 / (2 H
// T), T the time span): the grid's step leaves a phase drift over the
// observations that a narrow eclipse's many harmonics show as misfit and as
// a change from the first half of the observations to the second. The grid
// frequency's series when the refinement fails or leaves that range.
FourierFit fitAtItsBest(const LightCurveView& view, double frequency, int hMax, bool useWeights) {
  FourierFit fit = fitFourierSeries(view, frequency, hMax, useWeights);
  const double span = timeSpanOf(view.time);
  if (fit.harmonics < 1 || !(span > 0)) return fit;
  const double halfWidth = 0.5 / (fit.harmonics * span);
  const RefinedPeak p = refineFourierPeak(view, frequency, fit.harmonics, halfWidth, useWeights);
  if (!(p.frequency > 0) || std::abs(p.frequency - frequency) > halfWidth) return fit;
  FourierFit refined = fitFourierSeries(view, p.frequency, hMax, useWeights);
  return refined.bic < fit.bic ? refined : fit;
}

// What the alias step found, for the report.
struct AliasEvidence {
  FourierFit atAdopted, atHalf, atDouble;
};

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
//   orbital period, only when the curve folded on P' is symmetric in time
//   (an eclipse; never a pulsator's rise and fall) and one of: the dips of
//   odd and even cycles differ in depth (foldedShape, each cycle one
//   sample, so that a real pulsator's cycle-to-cycle changes do not count;
//   the criterion itself is not asked here, as it prefers 2P' for every
//   star whose cycles differ a little), or the curve
//   folded on 2P' is classified as an eclipsing binary and the eclipsing
//   templates fit it better than any type fits the curve folded on P'.
AliasDecision decideAlias(const LightCurve& lc, const PeriodStatistic& statistic, double frequency,
                          double maxFrequency, bool useWeights, double* adopted,
                          AliasEvidence* evidence) {
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
      // The templates judge shape only where the light curve leaves the
      // choice open: not against strong evidence of the criterion for P
      // when the series at P fits as well as the error bars say (a noisy
      // sinusoid's power at 2 f reaches half its power at f, and the
      // templates then fit the flatter fold on P/2 "better"). A star whose
      // cycles differ fits any longer fold better, so there, as for the
      // doubling below, the criterion is not trusted.
      if (betterShape) {
        const int hFit = criterionHarmonics(n);
        const FourierFit atP = fitFourierSeries(view, frequency, hFit, useWeights);
        betterShape = !(atP.bic < fitFourierSeries(view, 2 * frequency, hFit, useWeights).bic -
                                      kCloseCriterion &&
                        fitsItsErrorBars(lc, atP, useWeights));
      }
    }
    if (equalHalves || betterShape) {
      base = 2 * frequency;
      atBase = betterShape ? atHalf : classifyAt(lc, 1 / base);
    }
  }
  const int hMax = criterionHarmonics(n);
  FourierFit fitBase = fitFourierSeries(view, base, hMax, useWeights);
  FourierFit fitTwice = fitFourierSeries(view, base / 2, hMax, useWeights);
  // Whether the fold on 1 / b (classified as atB, its series fitB) is half
  // the orbit of an eclipsing binary.
  auto halfOrbit = [&](double b, const TypeAt& atB, const FourierFit& fitB) {
    const FoldedShape shape = foldedShape(view, fitB);
    const bool symmetric = shape.asymmetry <= kSymmetryLimit || fitB.harmonics < 1;
    bool doubled = false;
    if (symmetric) {
      // The templates and the criterion are asked only when the fold on P'
      // has dips sharper than its maxima (an eclipse's shape, at kShapeAlpha):
      // a sinusoid folded on P' is exactly what a binary with equal minima
      // looks like on half its orbit, and the broad minima and sharp maxima of
      // a long-period pulsator are no eclipse, while their irregular cycles
      // always fit better with two cycles per fold.
      // The pooled odd-even test and its matched-filter form beside Welch's,
      // each at half the level, so that the three together raise a false
      // alarm in at most 2 stars of a thousand.
      doubled = shape.oddEvenPValue < kHalvesAlpha ||
                shape.pooledOddEvenPValue < 0.5 * kHalvesAlpha ||
                shape.matchedOddEvenPValue < 0.5 * kHalvesAlpha;
      if (!doubled &&
          sharpDipPValue(view, b, useWeights, lc.valueKind != ValueKind::Flux) < kShapeAlpha) {
        // Two different eclipses that the per-cycle test cannot see (a few
        // points in each dip): the series at 2P' wins by strong evidence, and
        // fits as well as the error bars say (a star whose cycles differ fits
        // any longer fold better, so the criterion is trusted only where the
        // strictly periodic model is adequate). Both series at their own best
        // frequency, since a narrow eclipse misfits at the grid's.
        // Only where the series at P' draws its dip in full (fewer harmonics
        // than the points allow), as for the alternating depth below: a
        // series cut at the cap leaves the eclipse's own misfit in the
        // residuals, and the odd harmonics of the series at 2P' (which holds
        // only half of P''s harmonics) take it up as if the cycles differed.
        const FourierFit bestTwice = fitAtItsBest(view, b / 2, hMax, useWeights);
        const FourierFit bestOnce = fitAtItsBest(view, b, hMax, useWeights);
        doubled = bestOnce.harmonics < hMax && bestTwice.bic < bestOnce.bic - kCloseCriterion &&
                  fitsItsErrorBars(lc, bestTwice, useWeights);
        if (!doubled) {
          // The same question for two narrow eclipses of different depth,
          // which the series at 2P' can draw only with twice the harmonics
          // (often more than the points allow): the series at P' with one
          // alternating depth term beats it by strong evidence and fits as
          // well as the error bars say.
          // Only where the series at P' draws its dip in full (fewer
          // harmonics than the points allow): a truncated series leaves the
          // dip's own misfit in the residuals, different from one sparse
          // cycle to the next, which the alternating term would take up.
          const double twoDips = bestOnce.harmonics < hMax
                                     ? alternatingDipCriterion(view, bestOnce, useWeights)
                                     : std::numeric_limits<double>::infinity();
          doubled = twoDips < bestOnce.bic - kCloseCriterion &&
                    fitsItsErrorBars(lc, twoDips, 2.0 * bestOnce.harmonics + 3.0, useWeights);
        }
        // A fold on P' that the criterion draws as a pure sinusoid (one
        // harmonic) is, for a binary, two eclipses each half the orbit wide:
        // stars in contact, whose orbits are shorter than a day (the contact
        // binaries' class, EW, is defined by periods usually below 1 d). Beyond
        // that the templates do not double a sinusoid: they would decide on
        // the noise, which the sharp-dip test at kShapeAlpha lets through where
        // the criterion finds no second harmonic.
        const bool contactOrbit = 2 / b < kContactOrbitLimit;
        if (!doubled && (bestOnce.harmonics >= 2 || contactOrbit)) {
          const TypeAt twice = classifyAt(lc, 2 / b);
          doubled = twice.bestEclipsing && twice.eclipsingScore < atB.bestScore;
        }
      }
    }
    return doubled;
  };
  bool doubled = halfOrbit(base, atBase, fitBase);
  if (doubled && base != frequency) {
    // P/2 and then its double: the step is back at P, whose own double was
    // never asked (the two halves of the fold on P looked alike, but the
    // fold on P/2 is half an eclipsing binary's cycle, so P may be half its
    // orbit as much as P/2 was). Asked once, as for the period found.
    // The series at P is the one already fitted as P/2's double.
    base = frequency;
    fitBase = std::move(fitTwice);
    fitTwice = fitFourierSeries(view, base / 2, hMax, useWeights);
    doubled = halfOrbit(base, atFound, fitBase);
  }
  *adopted = doubled ? base / 2 : base;
  if (evidence != nullptr) {
    // The fits at the adopted period and its double or half that the
    // decision made already are reused; only the third is new.
    evidence->atAdopted = doubled ? fitTwice : fitBase;
    evidence->atHalf = doubled ? fitBase : fitFourierSeries(view, 2 * base, hMax, useWeights);
    evidence->atDouble = doubled ? fitFourierSeries(view, base / 4, hMax, useWeights) : fitTwice;
  }
  if (*adopted == frequency) return AliasDecision::None;
  return *adopted < frequency ? AliasDecision::Doubled : AliasDecision::Halved;
}

// Whether f (a series of hF harmonics) and f0 (hF0 harmonics) are one
// signal seen at two folds: f is k f0, or f0 is k f, for k from kFrom up to
// 6 (the harmonics an eclipse or a sawtooth shows as peaks of their own), or
// up to the harmonics of the longer fold's series, whichever is more. A
// series at f0 / k with k or more harmonics holds the series at f0 as its
// k-th harmonic and adds what a longer fold absorbs (a trend, a Mira's
// cycle-to-cycle changes), so it always fits better without being another
// period: whether the fold is P or 2P is the shape's question, not the
// criterion's. `tolerance` in cycles per day.
bool oneSignalTwoFolds(double f, int hF, double f0, int hF0, int kFrom, double tolerance) {
  const int kAbove = std::max(6, hF0);  // f a harmonic of f0: f0's series holds it
  const int kBelow = std::max(6, hF);   // f0 a harmonic of f: f's series holds it
  for (int k = kFrom; k <= std::max(kAbove, kBelow); ++k)
    if ((k <= kAbove && std::abs(f - k * f0) < tolerance) ||
        (k <= kBelow && std::abs(k * f - f0) < tolerance))
      return true;
  return false;
}

// A candidate frequency weighed by the criterion.
struct Judged {
  double frequency = 0.0;
  double frequencyError = 0.0;
  FourierFit fit;
  const char* why = "peak";
  std::size_t ofPeak = 0;  // the grid peak it is or is an alias of, highest 0
};

// The candidates of the alias step: the independent peaks of the grid (each
// refined), and each peak's daily aliases |f +- 1| and |f +- 2| c/d and yearly
// aliases |f +- 1/365.25| c/d (for the highest peak also |f +- 1 +- 1/365.25|
// c/d) where they lie in the range searched (refined on
// the statistic where the alias puts them), each judged by the criterion.
// Candidates closer than half a peak width to one judged before are the same
// peak. `top` is the refined highest peak.
std::vector<Judged> judgeCandidates(const LightCurveView& view, const PeriodStatistic& statistic,
                                    const SearchReport& r, const RefinedPeak& top,
                                    double minFrequency, double maxFrequency, bool useWeights) {
  std::vector<Judged> out;
  const int hMax = criterionHarmonics(view.time.size());
  std::size_t current = 0;  // the peak whose aliases are being judged
  auto judge = [&](const RefinedPeak& p, const char* why) {
    if (!(p.frequency >= minFrequency * (1 - 1e-12) && p.frequency <= maxFrequency * (1 + 1e-12)))
      return;
    for (const Judged& j : out)
      if (std::abs(j.frequency - p.frequency) < 0.5 * r.peakWidth) return;
    Judged j;
    j.frequency = p.frequency;
    j.frequencyError = p.frequencyError;
    j.fit = fitFourierSeries(view, p.frequency, hMax, useWeights);
    j.why = why;
    j.ofPeak = current;
    out.push_back(std::move(j));
  };
  constexpr double kYear = 365.25;  // days: the yearly alias of seasonal sampling
  for (std::size_t i = 0; i < r.peaks.size(); ++i) {
    current = i;
    const RefinedPeak peak =
        i == 0 ? top : refinePeak(statistic, r.peaks[i].frequency, r.step, r.peakWidth);
    judge(peak, "peak");
    auto alias = [&](double offset, const char* why) {
      // A negative alias frequency is the positive one mirrored (the light
      // curve is real): a 0.98 c/d peak is the daily alias of 0.02 c/d.
      const double f = std::abs(peak.frequency + offset);
      if (!(f >= minFrequency && f <= maxFrequency)) return;
      judge(refinePeak(statistic, f, r.step, r.peakWidth), why);
    };
    for (double d : {-1.0, 1.0, -2.0, 2.0}) alias(d, "daily alias");
    // A yearly alias is a separate peak only when the data span more than a
    // year (otherwise it lies inside the peak itself).
    if (1.0 / kYear > r.peakWidth)
      for (double d : {-1.0 / kYear, 1.0 / kYear}) alias(d, "yearly alias");
    // Seasons and nights together put sidelobes at f +- 1 +- 1/365.25 c/d:
    // for the highest peak only, where the truth of a seasonal survey is
    // most often one of them.
    if (i == 0 && 1.0 / kYear > r.peakWidth)
      for (double d : {-1.0, 1.0})
        for (double y : {-1.0 / kYear, 1.0 / kYear}) alias(d + y, "daily alias");
  }
  return out;
}

// -2 ln of the posterior of a candidate: the criterion plus 2 ln f, from a
// prior uniform in log period (the scale-invariant prior of a period about
// which nothing is known).
double posteriorOf(const FourierFit& fit, double frequency) {
  return fit.bic + 2.0 * std::log(frequency);
}

// The daily (|f +- 1|, |f +- 2| c/d) and yearly (|f +- 1/365.25| c/d)
// aliases of a frequency that the P/2P step moved: the same signal seen
// through the sampling, which were not among the candidates of the grid's
// peak (the aliases of 2 f are not twice the aliases of f). The one of
// smallest posterior when it beats f's by strong evidence, else none.
std::optional<Judged> strongerAlias(const LightCurveView& view, const PeriodStatistic& statistic,
                                    const SearchReport& r, double frequency, double minFrequency,
                                    double maxFrequency, bool useWeights) {
  const int hMax = criterionHarmonics(view.time.size());
  const FourierFit own = fitFourierSeries(view, frequency, hMax, useWeights);
  if (!std::isfinite(own.bic)) return std::nullopt;
  std::optional<Judged> best;
  double bestPosterior = posteriorOf(own, frequency) - kCloseCriterion;
  auto consider = [&](double offset, const char* why) {
    const double f0 = std::abs(frequency + offset);
    if (!(f0 >= minFrequency && f0 <= maxFrequency)) return;
    const RefinedPeak p = refinePeak(statistic, f0, r.step, r.peakWidth);
    if (!(p.frequency > 0) || std::abs(p.frequency - frequency) < r.peakWidth) return;
    FourierFit fit = fitFourierSeries(view, p.frequency, hMax, useWeights);
    if (!std::isfinite(fit.bic) || !(posteriorOf(fit, p.frequency) < bestPosterior)) return;
    bestPosterior = posteriorOf(fit, p.frequency);
    Judged j;
    j.frequency = p.frequency;
    j.frequencyError = p.frequencyError;
    j.fit = std::move(fit);
    j.why = why;
    best = std::move(j);
  };
  for (double d : {-1.0, 1.0, -2.0, 2.0}) consider(d, "daily alias");
  constexpr double kYear = 365.25;
  if (1.0 / kYear > r.peakWidth)
    for (double d : {-1.0 / kYear, 1.0 / kYear}) consider(d, "yearly alias");
  return best;
}

Candidate candidateOf(const FourierFit& fit, const char* why) {
  Candidate c;
  c.period = fit.frequency > 0 ? 1.0 / fit.frequency : 0.0;
  c.criterion = fit.bic;
  c.harmonics = fit.harmonics;
  c.why = why;
  return c;
}

int typeIndex(const char* code) {
  for (int s = 0; s < kTypeCount; ++s)
    if (std::string_view(kTypeHeaders[static_cast<std::size_t>(s)].typeCode) == code) return s;
  return -1;
}

// Periods above which a star is a long-period variable (the lower edge of
// the Mira range): classical Cepheids of such periods are a handful among
// thousands of pulsating red giants, and delta Scuti stars pulsate in hours.
constexpr double kLongPeriod = 80.0;

// With the alias step: when no type's ranges admit the star, or a
// long-period variable comes out as a Cepheid or a delta Scuti star, the
// type is the one whose templates fit the folded curve best, ranges aside
// (never DCEP or DSCT above kLongPeriod); "type_admitted" stays as it was.
void typeBeyondRanges(Workspace& ws, SearchReport& r) {
  const int dcep = typeIndex("DCEP"), dsct = typeIndex("DSCT");
  const bool longPeriod = ws.period > kLongPeriod;
  const int first = ws.typeOrder[0];
  if (typeAdmitted(ws) && !(longPeriod && (first == dcep || first == dsct))) return;
  std::array<double, kTypeCount> scores = templateScores(ws);
  if (longPeriod)
    scores[static_cast<std::size_t>(dcep)] = scores[static_cast<std::size_t>(dsct)] = kNoTypeScore;
  const auto best =
      static_cast<int>(std::min_element(scores.begin(), scores.end()) - scores.begin());
  if (!(scores[static_cast<std::size_t>(best)] < kNoTypeScore)) return;
  const TypeHeader& t = kTypeHeaders[static_cast<std::size_t>(best)];
  r.templateType = t.typeCode;
  ws.typeText = t.typeCode;
  ws.scoreText = formatPrintf("%4.3f", scores[static_cast<std::size_t>(best)]);
  ws.t0FromMinimum = t.epochAtMinimum;
  ws.t0 = ws.t0FromMinimum == 1 ? ws.epochOfMinimum : ws.epochOfMaximum;
  const char sep = ws.decimalSeparator;
  ws.panel.type = ws.typeText;
  ws.panel.score = ws.scoreText;
  ws.panel.t0 = formatFixed(ws.t0, 6, 14, sep);
  ws.panel.t0Field = ws.panel.t0;
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
  std::vector<Judged> judged;
  const LightCurveView view = viewOf(lc);
  if (options.resolveAlias && engine != SearchEngine::AovTransit) {
    // The frequency whose Fourier series the criterion prefers among the
    // peaks and their aliases. Box-shaped transit curves need more
    // harmonics than the points allow: AoVtr keeps its highest peak.
    RefinedPeak top;
    top.frequency = frequency;
    top.frequencyError = frequencyError;
    judged = judgeCandidates(view, *statistic, r, top, minFrequency,
                             std::max(maxFrequency, frequency), usesWeights(engine));
    // The grid's highest peak stands unless another candidate beats it by
    // positive evidence (kPositiveEvidence). A harmonic or subharmonic of the
    // peak (k f or f / k, oneSignalTwoFolds) is not weighed here: P against 2P is the
    // question of the alias step below, which weighs it with the shape (the
    // irregular cycles of a real star always fit better with more cycles
    // per fold, and the harmonics of an eclipse are strong peaks of their
    // own).
    const Judged* chosen = judged.empty() ? nullptr : &judged.front();
    if (chosen != nullptr && std::isfinite(chosen->fit.bic)) {
      const double f0 = chosen->frequency;
      const int h0 = chosen->fit.harmonics;
      auto related = [&](const Judged& j) {
        return oneSignalTwoFolds(j.frequency, j.fit.harmonics, f0, h0, 2, 0.5 * r.peakWidth);
      };
      // The peak's own daily and yearly aliases are the same signal seen
      // through the sampling: the data can barely tell them apart, so the
      // prior decides as much as the fit. With a prior uniform in log period
      // (the scale-invariant prior of a period about which nothing is known)
      // -2 ln posterior is the criterion plus 2 ln f: a 0.98 c/d peak that is
      // the alias of 0.02 c/d needs 2 ln 49 = 7.8 better a fit to stand.
      // As for any other candidate, positive evidence replaces the peak.
      auto posterior = [](const Judged& j) { return posteriorOf(j.fit, j.frequency); };
      const Judged* highest = chosen;
      for (const Judged& j : judged)
        if (j.ofPeak == 0 && std::strcmp(j.why, "peak") != 0 && !related(j) &&
            std::isfinite(j.fit.bic) && posterior(j) < posterior(*chosen) &&
            posterior(j) < posterior(*highest) - kPositiveEvidence)
          chosen = &j;
      // Any other candidate (another grid peak, or an alias of one) is
      // weighed by the same posterior: the prior in log period is not a
      // property of aliases alone, and a grid peak that is in fact the
      // daily alias of another (one cycle a day apart within the peak's
      // width) would otherwise escape it.
      const Judged* best = chosen;
      for (const Judged& j : judged)
        if (!related(j) && std::isfinite(j.fit.bic) && posterior(j) < posterior(*best)) best = &j;
      if (posterior(*best) < posterior(*chosen) - kPositiveEvidence) chosen = best;
      frequency = chosen->frequency;
      frequencyError = chosen->frequencyError;
    }
  }
  if (options.resolveAlias) {
    double adopted = frequency;
    AliasEvidence evidence;
    AliasDecision d = decideAlias(lc, *statistic, frequency, std::max(maxFrequency, frequency),
                                  usesWeights(engine), &adopted, &evidence);
    const char* whyAdopted = "peak";
    for (const Judged& j : judged)
      if (j.frequency == frequency) whyAdopted = j.why;
    if (d == AliasDecision::Doubled) whyAdopted = "double";
    if (d == AliasDecision::Halved) whyAdopted = "half";
    if (d != AliasDecision::None) {
      // A candidate in the moved period's place, with the fits at its half
      // and double for the report.
      auto adopt = [&](const Judged& j) {
        const int hMax = criterionHarmonics(view.time.size());
        adopted = j.frequency;
        whyAdopted = j.why;
        evidence.atAdopted = j.fit;
        evidence.atHalf = fitFourierSeries(view, 2 * adopted, hMax, usesWeights(engine));
        evidence.atDouble = fitFourierSeries(view, adopted / 2, hMax, usesWeights(engine));
      };
      const std::optional<Judged> alias =
          strongerAlias(view, *statistic, r, adopted, minFrequency,
                        std::max(maxFrequency, frequency), usesWeights(engine));
      if (alias) adopt(*alias);
      // The moved period faces the comparison the peak faced: a candidate
      // that is no harmonic or subharmonic of it (oneSignalTwoFolds, as above) and
      // beats it by strong evidence in the posterior takes its place, and
      // the move is undone (the data preferred neither P/2 nor 2P of the
      // peak to that candidate).
      auto related = [&](const Judged& j) {
        return oneSignalTwoFolds(j.frequency, j.fit.harmonics, adopted,
                                 evidence.atAdopted.harmonics, 1, 0.5 * r.peakWidth);
      };
      const Judged* better = nullptr;
      double bound = posteriorOf(evidence.atAdopted, adopted) - kCloseCriterion;
      if (std::isfinite(bound))
        for (const Judged& j : judged)
          if (!related(j) && std::isfinite(j.fit.bic) && posteriorOf(j.fit, j.frequency) < bound) {
            better = &j;
            bound = posteriorOf(j.fit, j.frequency);
          }
      if (better != nullptr) {
        adopt(*better);
        frequencyError = better->frequencyError;
        d = AliasDecision::None;
        // The candidate that took the place faces the P/2P step the peak
        // faced (once): it may be half the orbit of a binary as much as the
        // peak was, and its double is then among the candidates already.
        double again = adopted;
        AliasEvidence atAgain;
        const AliasDecision d2 =
            decideAlias(lc, *statistic, adopted, std::max(maxFrequency, frequency),
                        usesWeights(engine), &again, &atAgain);
        if (d2 != AliasDecision::None) {
          // The uncertainty scaled from the candidate's below, as from the
          // peak's for a move of the peak.
          frequencyError = better->frequencyError * frequency / adopted;
          adopted = again;
          evidence = atAgain;
          whyAdopted = d2 == AliasDecision::Doubled ? "double" : "half";
          d = d2;
        }
      }
    }
    r.candidates.push_back(candidateOf(evidence.atAdopted, whyAdopted));
    std::vector<Candidate> others;
    others.push_back(candidateOf(evidence.atHalf, "half"));
    others.push_back(candidateOf(evidence.atDouble, "double"));
    for (const Judged& j : judged) others.push_back(candidateOf(j.fit, j.why));
    std::stable_sort(others.begin(), others.end(), [](const Candidate& a, const Candidate& b) {
      return a.criterion < b.criterion;
    });
    for (const Candidate& c : others) {
      bool same = false;
      for (const Candidate& k : r.candidates)
        same = same || std::abs(1 / c.period - 1 / k.period) < 0.5 * r.peakWidth;
      if (!same && c.period > 0) r.candidates.push_back(c);
    }
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
    // The adopted frequency refined last on the series whose harmonics the
    // criterion chose for it (a sawtooth or a narrow eclipse needs more than
    // the statistic's own), with the least-squares uncertainty of that
    // series. Box-shaped transits keep the box statistic's refinement.
    if (options.refine && engine != SearchEngine::AovTransit && !r.candidates.empty() &&
        r.timeSpan > 0) {
      const int h = r.candidates.front().harmonics;
      const RefinedPeak p =
          refineFourierPeak(view, frequency, h, 0.5 / (h * r.timeSpan), usesWeights(engine));
      if (p.frequency > 0 && p.frequencyError > 0 &&
          std::abs(p.frequency - frequency) < 0.5 * r.peakWidth) {
        frequency = p.frequency;
        frequencyError = p.frequencyError;
        r.candidates.front().period = 1 / frequency;
      }
    }
  }
  std::optional<double> periodError;  // the grid search's own when the grid's peak stands
  if (options.refine)
    periodError = frequencyError / (frequency * frequency);
  else if (options.autoResolution || frequency != 1 / r.gridPeriod)
    periodError = halfStepError(frequency, r.step);
  adoptFrequency(ws, frequency, periodError, ModelChain::Full);
  if (options.resolveAlias) typeBeyondRanges(ws, r);

  out = finishedSearch();
  const char sep = ws.decimalSeparator;
  if (engine == SearchEngine::LombScargle)
    out.status[0] = "FAP: " + formatProbability(ws.falseAlarmProbability, sep) + " with power of " +
                    formatFixed(ws.periodogram.maxPower, 6, 9, sep);
  else
    out.status[0] = "Max power: " + formatFixed(ws.periodogram.maxPower, 6, 9, sep);
  return out;
}

std::string runnerUpNote(const SearchReport& report, char sep) {
  if (report.candidates.size() < 2) return {};
  const Candidate& adopted = report.candidates[0];
  const Candidate* runnerUp = nullptr;
  for (std::size_t i = 1; i < report.candidates.size(); ++i)
    if (runnerUp == nullptr || report.candidates[i].criterion < runnerUp->criterion)
      runnerUp = &report.candidates[i];
  const double difference = runnerUp->criterion - adopted.criterion;
  if (!std::isfinite(difference) || difference >= kCloseCriterion) return {};
  return "Runner-up: " + formatFixed(runnerUp->period, 6, 10, sep) + " d (" + runnerUp->why +
         "), criterion " + (difference >= 0 ? "+" : "") + formatFixed(difference, 1, 4, sep);
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
