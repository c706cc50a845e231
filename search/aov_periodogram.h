// The multiharmonic analysis-of-variance periodogram (Schwarzenberg-Czerny
// 1996): at every trial frequency the weighted least-squares Fourier series
// of `harmonics` harmonics (constant included) is fitted through polynomials
// in z = exp(i omega t) orthogonal on the unit circle, and the power is the
// fraction theta / D of the weighted sum of squares D about the unweighted
// mean that the series explains (between 0 and 1; no F-ratio).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "search/frequency_grid.h"
#include "search/light_curve_view.h"
#include "search/search_result.h"

namespace fazorn {

struct AovOptions {
  FrequencyGrid grid;     // trial frequencies, from makeFrequencyGrid (cycles per day)
  int harmonicTerms = 5;  // P orthogonal polynomials, 2 * harmonics + 1 (at least 1)
  // Exact for the window's numbers; Fast and Auto may take the Fourier route
  // (1 to 6 harmonics only; other counts are always exact); Auto off the
  // Fourier route turns the exact route's moments into powers by the
  // quicker recurrence and recomputes the top exactly.
  SearchRoute route = SearchRoute::Exact;
};

// Whether Auto takes the Fourier route for n points on `count` frequencies
// with `harmonics` harmonics.
bool aovFourierRouteIsCheaper(std::size_t n, std::int64_t count, int harmonics);

using AovResult = SearchResult;

// The whole periodogram over the grid. The angular frequency starts at
// 2 pi minFrequency and grows by 2 pi step by repeated addition, with
// pi = 2 asin(1); of equal powers the lowest frequency wins and a power of 0
// or less is never taken. Runs on rc's threads over fixed blocks of
// frequencies; the result does not depend on the thread count. When the
// weighted sum of squares D is 0 or not finite (all values equal, infinite
// weights) every power is 0 and there is no peak. A frequency where the fit
// is degenerate (fewer distinct phases than terms) has power 0.
AovResult computeAovPeriodogram(const LightCurveView& lc, const AovOptions& options,
                                const RunControl& rc);

// The light curve prepared for the statistic: times shifted to start at 0
// (small sine arguments for Julian dates), values centred on their
// unweighted mean, the weights, and the denominator D.
struct AovPrepared {
  std::vector<double> shiftedTime;   // days from the first observation
  std::vector<double> centredValue;  // value minus the unweighted mean
  std::vector<double> weight;
  double denominator = 0.0;  // D = sum of weight * centredValue^2
  int harmonicTerms = 5;
};
AovPrepared prepareAov(const LightCurveView& lc, int harmonicTerms);

// The statistic at one angular frequency (radians per day): for 1 to 6
// harmonics from the weighted moments of the phasors and the direct norms,
// as the exact route computes its grid (not bit for bit: the moments are
// summed point by point and the phasors are exact at every frequency);
// where that is poorly conditioned, and for other term counts, straight
// from the orthogonal-polynomial recurrence with sines and cosines of every
// point, as the engine does there.
double aovPower(const AovPrepared& prepared, double angularFrequency);

// The periodogram of many light curves observed at the same times, on one
// grid: the randomisation runs of the significance test. Whatever depends
// only on the times and the grid is prepared once (the Fourier transforms'
// grid positions, kernels and FFT plans, and the phasors of the first
// frequency); with `referenceWeight` given, the weight moments of light
// curves carrying exactly those weights (white-noise runs, permutations of
// equal weights) are computed once as well. Each light curve then costs
// 3 harmonics transforms (harmonics when the weight moments are shared) and
// O(harmonics^2) per frequency for the Szegoe recurrence on the moments.
//
// Its frequencies are minFrequency + j step as exact products, where the
// engine accumulates them by addition; the powers therefore differ from the
// engine's exact route by the drift of the accumulated frequency (a few
// 1e-9 over multi-year spans) plus the transforms' 1e-10. Frequencies where
// the moment recurrence is poorly conditioned are computed pointwise, as the
// engine does. Usable for 1 to 6 harmonics.
class AovSharedTimes {
 public:
  AovSharedTimes(std::span<const double> time, const FrequencyGrid& grid, int harmonicTerms,
                 std::span<const double> referenceWeight = {});
  ~AovSharedTimes();
  AovSharedTimes(const AovSharedTimes&) = delete;
  AovSharedTimes& operator=(const AovSharedTimes&) = delete;

  bool usable() const;
  std::size_t points() const;

  struct Peak {
    std::int64_t index = -1;  // grid index of the first strict maximum, -1 without a peak
    double frequency = 0.0;   // the engine's frequency at that index, cycles per day
    double power = 0.0;
  };
  // Thread-safe. The values and weights belong to the times given at
  // construction, in the same order. `power`, when not empty, receives the
  // whole periodogram (grid.count values). Returns no peak when cancelled.
  Peak peak(std::span<const double> value, std::span<const double> weight,
            const RunControl& rc = {}, std::span<double> power = {}) const;

  // Whether the shared route is cheaper than the engine's exact route for
  // every light curve of n points on `count` frequencies.
  static bool cheaperThanExact(std::size_t n, std::int64_t count, int harmonics);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace fazorn
