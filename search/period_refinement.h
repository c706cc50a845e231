// The refinement of a peak to the precision the data allow with an honest
// uncertainty, and the decision between P, 2P and P/2 (the statistic of each
// search is in period_statistic.h, the search over a grid in search_grid.h).
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "search/light_curve_view.h"
#include "search/period_statistic.h"
#include "search/search_grid.h"
#include "search/search_result.h"

namespace fazorn {

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
