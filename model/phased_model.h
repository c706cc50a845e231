// The model of the phased light curve: epochs of minimum and maximum light,
// magnitude at maximum and amplitude, from a smoother and two Fourier fits on
// twice the trial period. Values are taken as magnitudes.
#pragma once

#include <span>

#include "core/workspace.h"

namespace fazorn {

struct PhasedModel {
  double epochOfMinimum = 0.0;  // days
  double epochOfMaximum = 0.0;  // days
  double magAtMaximum = 0.0;    // magnitudes; valid only when magAtMaximumValid
  bool magAtMaximumValid = false;
  double amplitude = 0.0;  // peak-to-peak of the smoothed curve, magnitudes
};

// Fits the light curve folded on 2 * period. Needs at least one point and a
// positive period; otherwise returns a model with amplitude 0 and no
// magnitude at maximum.
PhasedModel fitPhasedLightCurve(std::span<const double> time, std::span<const double> value,
                                double period);

// Fits the Workspace's light curve at ws.period and stores the four results
// (epochOfMinimum, epochOfMaximum, magAtMaximum with its validity, amplitude).
void fitPhasedLightCurve(Workspace& ws);

}  // namespace fazorn
