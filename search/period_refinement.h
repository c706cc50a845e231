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

// Refines `frequency` to the least-squares frequency of a Fourier series of
// `harmonics` harmonics: the smallest residual sum of squares on a local
// scan of 17 points over +-halfWidth, then a golden-section search between
// the neighbours of the best one. The uncertainty is from the curvature of
// the residual sum of squares, scaled by the residual variance (errors known
// up to a common scale). The peak's `power` is the residual sum of squares.
// An empty peak (frequency 0) when the series cannot be fitted.
RefinedPeak refineFourierPeak(const LightCurveView& lc, double frequency, int harmonics,
                              double halfWidth, bool useWeights);

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

// A multiharmonic Fourier series fitted at one frequency, with the number of
// harmonics chosen by the Bayesian information criterion (Schwarz 1978):
// BIC(H) = n ln(RSS_H / n) + (2 H + 2) ln n, the 2 H + 2 parameters being the
// amplitudes, the mean and the frequency itself. With the error bars unknown
// up to a common scale (as they are in practice) n ln(RSS / n) is -2 times
// the maximum log-likelihood up to a constant that is the same for every
// frequency and every H, so the criterion compares candidates of different
// complexity on one scale: smaller is better. The series of all H come from
// one Cholesky factorisation (the nested models are its leading blocks).
struct FourierFit {
  double bic = 0.0;            // at the chosen harmonics; +infinity when it cannot be fitted
  int harmonics = 0;           // the H of the smallest BIC, 0 when none could be fitted
  double referenceTime = 0.0;  // phases are 2 pi f (t - referenceTime)
  double frequency = 0.0;      // cycles per day
  double mean = 0.0;
  std::vector<double> cosine, sine;  // amplitudes of harmonics 1..H
  double valueAt(double time) const;
};

// The most harmonics the criterion tries for n points: at least five points
// per parameter, and at most 15 (a series of 15 harmonics resolves an eclipse
// a thirtieth of the cycle wide).
int criterionHarmonics(std::size_t n);

FourierFit fitFourierSeries(const LightCurveView& lc, double frequency, int maxHarmonics,
                            bool useWeights);

// The shape of a light curve folded on 1 / fit.frequency, from its Fourier
// series: how far the curve is from symmetric in time about its dip (the
// extremum farther from the median: an eclipse, or a pulsator's sharp
// maximum), and the test whether the dips of odd and even cycles differ.
struct FoldedShape {
  // The mean square of c(d + x) - c(d - x) over the cycle, c the series and d
  // the dip, over twice the variance of c: 0 for a curve symmetric about its
  // dip (an eclipse), 0.22 for a triangle wave that rises in 0.4 of its
  // cycle, 0.72 for an RR Lyrae-like sawtooth.
  double asymmetry = 0.0;
  // Two-sided p-value of Welch's t test comparing the mean residual, per
  // cycle, of the points in the dip (where the series is beyond half the dip's
  // depth) between even and odd cycles. Averaging per cycle first makes the
  // cycles the samples, so cycle-to-cycle changes of a real star count as
  // noise instead of as a difference. 1 with fewer than two cycles of either
  // parity.
  double oddEvenPValue = 1.0;
  // The same test with Student's pooled variance in place of Welch's. With
  // the two eclipses the same, both parities are draws of one distribution,
  // so the pooled test holds its level exactly, and it keeps the power that
  // Welch's loses when one parity has only a few cycles in eclipse (a sparse
  // survey sees an Algol's eclipses on a handful of nights): Welch's degrees
  // of freedom then fall towards the smaller count. 1 as above.
  double pooledOddEvenPValue = 1.0;
  // The same comparison weighted as a matched filter of the dip's profile
  // (each point's residual weighted by its error bar and by how deep in the
  // dip it lies), cycles again the samples: where the eclipse is narrower
  // than the series' dip, the unweighted means dilute the difference with
  // points outside it. 1 as above.
  double matchedOddEvenPValue = 1.0;
};
FoldedShape foldedShape(const LightCurveView& lc, const FourierFit& fit);

// The criterion (as FourierFit::bic) of a model of two different dips: the
// series `fit` plus one amplitude of the dip's profile (where the series is
// beyond a quarter of the dip's depth) whose sign alternates from cycle to
// cycle, an eclipsing binary at half its orbit whose primary and secondary
// eclipses differ in depth. One parameter more than the series, where the
// series at twice the period needs twice its harmonics to draw the same
// narrow dips; every point a sample (no cycle-to-cycle allowance, so that a
// sparse survey's handful of points per eclipse counts in full). Weighted
// as `fit` was. +infinity when it cannot be computed.
double alternatingDipCriterion(const LightCurveView& lc, const FourierFit& fit, bool useWeights);

// One-sided test that the light curve folded on 1 / frequency has dips
// sharper than its maxima, as an eclipse has and a sinusoid has not: in a
// two-harmonic series about the fundamental's phase, m = R cos(x - d) +
// c cos 2(x - d) + s sin 2(x - d) with d the fundamental's dip (the maximum
// for magnitudes, `dipIsHigh`; the minimum for fluxes), c > 0 deepens the
// dip and flattens the opposite maximum (c < 0 for fluxes). The p-value of
// Student's t test of c against 0 in that direction (errors known up to a
// common scale, estimated from the residuals); 1 when it cannot be computed.
double sharpDipPValue(const LightCurveView& lc, double frequency, bool useWeights, bool dipIsHigh);

// The p-value of the F test comparing a model with q more parameters:
// P(F(q, dof) > f).
double fTestPValue(double f, int q, int dof);

}  // namespace fazorn
