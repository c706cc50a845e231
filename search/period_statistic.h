// The statistic of each search at any frequency (AoV, AoVtr, Lomb-Scargle
// power), on a light curve prepared once: what the grid search, the
// refinement and the alias decision evaluate.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "core/run_control.h"
#include "search/frequency_grid.h"
#include "search/light_curve_view.h"
#include "search/search_engine.h"
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
  // Powers for choosing where a coarse pass puts its fine grid: by default
  // the same as powers(); an engine may give close approximations that cost
  // less on long light curves.
  virtual std::vector<double> candidatePowers(double first, double step, int count,
                                              const RunControl& rc) const {
    return powers(first, step, count, rc);
  }
  // The powers over several windows of one grid, concatenated (each
  // window's count of them, in order): by default one powers() call per
  // window; an engine may prepare the light curve once for all.
  virtual std::vector<double> windowPowers(const std::vector<FrequencyGrid>& windows,
                                           const RunControl& rc) const {
    std::vector<double> out;
    for (const FrequencyGrid& w : windows) {
      std::vector<double> p = powers(w.minFrequency, w.step, w.count, rc);
      p.resize(static_cast<std::size_t>(std::max(0, w.count)), 0.0);
      out.insert(out.end(), p.begin(), p.end());
    }
    return out;
  }
  // Whether candidatePowers only approximates powers() on a grid of this step.
  virtual bool approximateCandidates(double /*step*/) const { return false; }
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

}  // namespace fazorn
