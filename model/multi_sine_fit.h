// The simultaneous nonlinear least-squares fit of every enabled term of a
// frequency table ("Improve all"): the zero point, and the frequency,
// amplitude and phase of each term, by Levenberg-Marquardt (Ceres Solver's
// trust-region form, with the normal equations scaled by their diagonal as
// Marquardt did, and our analytic Jacobian). Each term is carried
// as a cos + b sin, which is linear and well conditioned at any amplitude,
// and turned into amplitude and phase (with their covariance) at the end.
// A frequency fixed to a combination n f_i + m f_j is no parameter of its
// own: it follows its parents, and its slope counts towards theirs.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "model/frequency_table.h"

namespace fazorn {

struct MultiSineFitOptions {
  int maxIterations = 200;  // trust-region steps tried, accepted or not
  // Weights 1/error^2 in the sums; off by default, as the Fourier spectrum
  // the frequencies come from counts every point equally.
  bool useWeights = false;
};

struct MultiSineFitResult {
  bool converged = false;
  std::string message;  // why not, when not converged; empty otherwise
  int iterations = 0;
  double residualRms = 0.0;
  std::vector<double> residual;  // value - model, per point (when converged)
};

// Fits the enabled terms of `table`, starting from its values, to the
// values at `time` (errors used only with useWeights). On convergence the
// table receives the fitted values, both kinds of errors, epoch (kept when
// already inside the data, else the mean time), zero point, points, time
// span and residual rms; otherwise it is left unchanged and the message says
// why (too few points for the parameters, a singular system such as two
// frequencies closer than the data resolve, a relation to a disabled or
// itself related term, no convergence within the iterations).
MultiSineFitResult fitFrequencyTable(std::span<const double> time, std::span<const double> value,
                                     std::span<const double> error, FrequencyTable& table,
                                     const MultiSineFitOptions& options = {});

// The model of the enabled terms at the given times.
std::vector<double> evaluateFrequencyTable(const FrequencyTable& table,
                                           std::span<const double> time);

}  // namespace fazorn
