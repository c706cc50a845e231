// The multiharmonic analysis-of-variance periodogram (Schwarzenberg-Czerny
// 1996): at every trial frequency the weighted least-squares Fourier series
// of `harmonics` harmonics (constant included) is fitted through polynomials
// in z = exp(i omega t) orthogonal on the unit circle, and the power is the
// fraction theta / D of the weighted sum of squares D about the unweighted
// mean that the series explains (between 0 and 1; no F-ratio).
#pragma once

#include <cstdint>
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
  // (1 to 6 harmonics only; other counts are always exact).
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

// The statistic at one angular frequency (radians per day), straight from
// the orthogonal-polynomial recurrence with sines and cosines of every
// point. The engine uses the same computation where a faster route would
// lose precision.
double aovPower(const AovPrepared& prepared, double angularFrequency);

}  // namespace fazorn
