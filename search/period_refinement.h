// The statistic of each search at any frequency, the search over a grid
// that follows the data (coarse pass, then the fine grid around the best
// candidates), the refinement of a peak to the precision the data allow with
// an honest uncertainty, and the decision between P, 2P and P/2.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "search/light_curve_view.h"
#include "search/search_grid.h"
#include "search/search_result.h"

namespace fazorn {

// The power of one search at any frequency, on a light curve prepared once.
// For AoV the multiharmonic power theta / D, for Lomb-Scargle the Lomb power
// normalised by the sample variance, for AoVtr the box power. The fraction
// of the sum of squares that the model explains is what the uncertainty
// needs; `explainedFraction` converts.
class PeriodStatistic {
 public:
  virtual ~PeriodStatistic() = default;
  virtual double power(double frequency) const = 0;
  // Powers at first + k step, k = 0 .. count - 1 (engines that have a fast
  // grid route use it).
  virtual std::vector<double> powers(double first, double step, int count,
                                     const RunControl& rc) const;
  // Fraction of the (weighted) sum of squares the model explains at a power.
  virtual double explainedFraction(double power) const { return power; }
  // Free parameters of the model besides the frequency (for the residual
  // degrees of freedom).
  virtual int linearParameters() const = 0;
  // Points.
  virtual std::size_t pointCount() const = 0;
};

// The statistic of an engine; harmonics is the AoV harmonic count and the
// AoVtr bin factor ("Harmonics:"). `route` is how the engines compute
// grids of powers (single frequencies are always exact).
std::unique_ptr<PeriodStatistic> makePeriodStatistic(SearchEngine engine, const LightCurveView& lc,
                                                     int harmonics,
                                                     SearchRoute route = SearchRoute::Exact);

// A search over [minFrequency, maxFrequency) at the step `step`.
struct GridSearchOptions {
  SearchEngine engine = SearchEngine::Aov;
  double minFrequency = 0.002;  // cycles per day
  double maxFrequency = 5.0;    // cycles per day
  double step = 0.0;            // fine grid step, cycles per day
  double peakWidth = 0.0;       // cycles per day, see peakWidth()
  int harmonics = 2;            // AoV harmonics, AoVtr bin factor
};

struct GridSearchResult {
  SearchStatus status = SearchStatus::NoPeak;
  std::string message;
  // What to show and save as the periodogram: the coarse pass with the fine
  // grid spliced in around the candidates (ascending frequencies).
  std::vector<double> frequency, power;
  double bestFrequency = 0.0;  // the highest point of the fine grid
  double maxPower = 0.0;
  std::int64_t fineCount = 0;  // frequencies the fine grid would have in full
};

// The maximum over the fine grid minFrequency + k step. When the fine grid
// is large the statistic is first computed on a coarse grid of a third of a
// peak width (any peak keeps at least about 90 % of its height there for
// a sinusoid; at least 68 % for the second harmonic of a multiharmonic
// fit), and the fine grid is computed around the 64 highest coarse maxima;
// the true maximum lies among them unless more than 64 maxima come within
// that fraction of it. Independent of the thread count.
GridSearchResult searchGrid(const PeriodStatistic& statistic, const GridSearchOptions& options,
                            const RunControl& rc);

// A refined peak.
struct RefinedPeak {
  double frequency = 0.0;  // cycles per day
  double power = 0.0;
  // One-sigma uncertainty of the frequency. AoV and Lomb-Scargle: from the
  // curvature of the residual sum of squares at the maximum scaled by the
  // residual variance (for a sinusoid the estimate of Montgomery &
  // O'Donoghue 1999). AoVtr: the peak's half width at half maximum / 1.18
  // (box powers are flat-topped and jagged; a conservative figure). 0 when
  // the peak has no usable curvature.
  double frequencyError = 0.0;
};

// Refines the peak near `frequency`: a fine local grid of step/8 over
// +-1.5 grid steps, then a golden-section maximisation of the same
// statistic between the neighbours of the best local point.
RefinedPeak refinePeak(const PeriodStatistic& statistic, double frequency, double step,
                       double peakWidth);

// The one-sigma frequency uncertainty at a maximum of the statistic.
double frequencyUncertainty(const PeriodStatistic& statistic, double frequency, double peakWidth);

// What the shape of the light curve says about the period.
enum class AliasDecision { None, Doubled, Halved };
const char* aliasName(AliasDecision decision);

// Least-squares test whether the light curve folded on 1 / frequency has two
// different halves: the p-value of the F test of the odd harmonics in a
// Fourier series of 2 * harmonics harmonics of the frequency (the even ones
// alone describe a curve whose halves are equal; small: the halves differ).
// 1 when it cannot be computed.
double unequalHalvesPValue(const LightCurveView& lc, double frequency, int harmonics,
                           bool useWeights);

// The p-value of the F test comparing a model with q more parameters:
// P(F(q, dof) > f).
double fTestPValue(double f, int q, int dof);

}  // namespace fazorn
