// The model of the phased light curve: epochs of minimum and maximum light,
// magnitude at maximum and amplitude, from a smoother and two Fourier fits on
// twice the trial period. Values are taken as magnitudes.
#pragma once

#include <span>
#include <vector>

#include "core/workspace.h"

namespace fazorn {

struct PhasedModel {
  double epochOfMinimum = 0.0;  // days
  double epochOfMaximum = 0.0;  // days
  double magAtMaximum = 0.0;    // magnitudes; valid only when magAtMaximumValid
  bool magAtMaximumValid = false;
  double amplitude = 0.0;  // peak-to-peak of the smoothed curve, magnitudes
  // The second Fourier fit itself, for drawing (period is left 0 here).
  FittedModelCurve curve;
};

// Fits the light curve folded on 2 * period. Needs at least one point and a
// positive period; otherwise returns a model with amplitude 0 and no
// magnitude at maximum.
PhasedModel fitPhasedLightCurve(std::span<const double> time, std::span<const double> value,
                                double period);

// Fits the Workspace's light curve at ws.period and stores the four results
// (epochOfMinimum, epochOfMaximum, magAtMaximum with its validity, amplitude)
// and the fitted curve (modelCurve).
void fitPhasedLightCurve(Workspace& ws);

// The magnitude of the fitted model at a time (any cycle); not a number
// when the model is not valid or its flux there is not positive.
double modelMagnitudeAt(const FittedModelCurve& model, double time);

// The phases of the observations on the fold period, extended by synthetic
// points where the phase coverage has gaps. The first n entries are the
// observations (phase in [0, 1) from time[0]); up to 100 synthetic points
// follow, one per uncovered grid node.
struct ExtendedCurve {
  std::vector<double> time;   // days
  std::vector<double> value;  // magnitudes
  std::vector<double> phase;  // in [0, 1) of foldPeriod
  int m = 0;                  // observations plus synthetic points
};

// Phases the n observations on foldPeriod and appends, for every node
// k * 0.01 that no observation lies within 0.01 of (circularly), a synthetic
// point at the node's phase with the Gaussian-weighted (sigma-like width
// 0.05 in phase) mean of all observed values.
ExtendedCurve fillPhaseGaps(std::span<const double> time, std::span<const double> value, int n,
                            double foldPeriod);

// Peak-to-peak amplitude of the Gaussian-weighted (width 0.03 in phase)
// local quadratic smoother built on all m points, evaluated at the phases of
// the first n points (a point whose time is within 0.0001 d of the previous
// point's counts once). `smoothed`, when not empty, receives the 100 node
// values. Expects the points of fillPhaseGaps, which put a point within 0.01
// of every node: weights below 1e-31 of those are left out.
double smoothPhasedCurve(std::span<const double> time, std::span<const double> phase,
                         std::span<const double> value, int n, int m,
                         std::span<double> smoothed = {});

// A Fourier series in phase: c0 + sum over h of A[h] cos(2 pi h phase) +
// B[h] sin(2 pi h phase); A and B are 1-based (entry 0 unused).
struct HarmonicFit {
  double c0 = 0.0;
  std::vector<double> A;
  std::vector<double> B;
  // The series on the node k * 0.01 with the constant 6.28318512.
  double valueAtNode(int k) const;
};

// Least-squares Fourier fit of H harmonics to (phase, flux)[0..m-1] in
// single precision; sig empty means 1 for every point. evenOnly fits only
// the constant and the even harmonics (2, 4, ...), holding the odd ones at 0.
HarmonicFit fitHarmonics(std::span<const double> phase, std::span<const double> flux,
                         std::span<const double> sig, int m, int H, bool evenOnly);

}  // namespace fazorn
