// The Lomb normalised periodogram of unevenly sampled data (Lomb 1976,
// Scargle 1982) by the trigonometric recurrences of the published routine
// `period`, with the false-alarm probability of its highest peak. Every
// point counts equally: weights and errors are not used.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "search/light_curve_view.h"
#include "search/search_result.h"

namespace fazorn {

// The sums of the Fourier route: Spreading, Gaussian gridding onto an
// oversampled grid (nonuniform_fft.h); Moments, the points' Chebyshev moments
// in cells (moment_transform.h), cheaper where the points outnumber the
// frequencies; Auto, whichever the estimated cost finds cheaper. Both are
// within the route's 1e-8 of the direct sums.
enum class FourierSums { Auto, Spreading, Moments };

struct LombScargleOptions {
  // ofac: the grid step is 1 / (T * oversampling), T the time span in days.
  double oversampling = 4.0;
  // hifac: the highest frequency as a multiple of the average Nyquist
  // frequency n / (2 T).
  double highFrequencyFactor = 1.0;
  // The most frequencies the caller can hold; -1 for no limit. A smaller
  // capacity than the grid is reported on stderr and only that many
  // frequencies are computed.
  std::int64_t capacity = -1;
  // Exact: the published recurrence (the window's numbers). Fast: the sums
  // of the whole grid from non-uniform Fourier transforms, each power within
  // 1e-8 of the direct sums with exact sines and cosines (which the
  // recurrence itself misses by up to about 1e-4, its single-precision
  // steps), the peak recomputed by direct sums. Auto: Fast where cheaper.
  SearchRoute route = SearchRoute::Exact;
  // The generalised periodogram (Zechmeister & Kuerster 2009): the mean is
  // fitted with the sinusoid at every frequency and the points are weighted
  // (1 / error^2). Its power is the weighted chi^2 reduction over that of the
  // constant, scaled by (n - 1) / 2 as the classical power is, so that the
  // false-alarm formula and the classical figures of equal weights and a
  // well-sampled sinusoid agree. Exact: direct sums at every frequency (n
  // sines and cosines each, slow on large grids); Fast: the Fourier route
  // (within 1e-8 of the direct sums, the peak recomputed by them); Auto: as
  // for the classical power.
  bool floatingMean = false;
  // The Fourier route's sums (Auto: by estimated cost).
  FourierSums fourierSums = FourierSums::Auto;
};

struct LombScargleResult {
  SearchStatus status = SearchStatus::NoPeak;
  std::string message;            // why there is no peak (empty when status is Ok)
  std::vector<double> frequency;  // cycles per day, ascending
  std::vector<double> power;      // Lomb normalised power (>= 0)
  std::int32_t peakIndex = -1;    // the last of the equal highest powers; -1 without a peak
  double maxPower = 0.0;
  // Probability that pure noise gives a peak this high somewhere on the grid.
  double falseAlarmProbability = 1.0;
  SearchRoute route = SearchRoute::Exact;  // the route taken (never Auto)
  // The sums the Fourier route took (Auto on the exact route).
  FourierSums fourierSums = FourierSums::Auto;
  // The parts the Fourier route summed the grid in: 1, or one per run of
  // frequencies a single exact step apart plus what lies between them (0 on
  // the exact route).
  int fourierParts = 0;
};

// nout = trunc(0.5 oversampling highFrequencyFactor n) frequencies
// k / (T oversampling), k = 1 .. nout. The sines and cosines of each point
// are advanced from frequency to frequency by the recurrence
// c' = c cosineStep - s sineStep + c, s' = s cosineStep + c sineStep + s with
// cosineStep = -2 sin^2(theta / 2) computed in single precision as the
// published routine does. Threads take contiguous ranges of frequencies and
// first advance the recurrence to the start of their range, so every power is
// bit-identical whatever the thread count.
LombScargleResult computeLombScarglePeriodogram(std::span<const double> time,
                                                std::span<const double> value,
                                                const LombScargleOptions& options,
                                                const RunControl& rc);

// The same with weights for the floating mean (one per point, finite and
// positive; empty: all 1). The classical periodogram ignores them.
LombScargleResult computeLombScarglePeriodogram(std::span<const double> time,
                                                std::span<const double> value,
                                                std::span<const double> weight,
                                                const LombScargleOptions& options,
                                                const RunControl& rc);

// The floating-mean power at one frequency (cycles per day) by direct sums
// with exact sines and cosines; weights as above.
double lombScargleFloatingMeanPowerAt(std::span<const double> time, std::span<const double> value,
                                      std::span<const double> weight, double frequency);

// The options of the "Lomb-Scarge" command for a period range and a light
// curve of n points over timeSpan days: oversampling 1 / (T minFrequency)
// and high-frequency factor maxFrequency / (n / (2 T)), so that the grid is
// the multiples of 1 / maxPeriod up to about 1 / minPeriod, and the
// capacity ceil(n oversampling highFrequencyFactor / 2).
LombScargleOptions lombScargleOptionsFor(double minPeriod, double maxPeriod, std::size_t n,
                                         double timeSpan);

// The Lomb normalised power at one frequency (cycles per day) by direct
// sums with exact sines and cosines (times taken from their mid-range), for
// values of the given average and sample variance.
double lombScarglePowerAt(std::span<const double> time, std::span<const double> value,
                          double average, double variance, double frequency);

// Whether Auto takes the Fourier route for n points on `count` frequencies.
bool lombScargleFourierRouteIsCheaper(std::size_t n, std::int64_t count);

struct AverageAndVariance {
  double average = 0.0;
  double variance = 0.0;  // sample variance (n - 1), corrected two-pass formula
};
AverageAndVariance averageAndVariance(std::span<const double> values);

// The periodogram of many light curves observed at the same times with the
// same options: the randomisation runs. The sums of exp(2 i omega t), which
// depend only on the times, are computed once by a non-uniform Fourier
// transform; each light curve then costs one transform of its values and a
// few operations per frequency. The frequencies are exact products of the
// engine's start and step (the engine accumulates them), and the sums have
// exact sines and cosines: powers agree with direct sums within about 1e-8,
// and with the engine's exact route within that route's own recurrence
// error (about 1e-5 relative). Usable when the engine would search.
class LombScargleSharedTimes {
 public:
  LombScargleSharedTimes(std::span<const double> time, const LombScargleOptions& options);
  ~LombScargleSharedTimes();
  LombScargleSharedTimes(const LombScargleSharedTimes&) = delete;
  LombScargleSharedTimes& operator=(const LombScargleSharedTimes&) = delete;

  bool usable() const;
  struct Peak {
    std::int64_t index = -1;  // the last of the equal highest powers, -1 without a peak
    double frequency = 0.0;   // the engine's frequency at that index, cycles per day
    double power = 0.0;
  };
  // Thread-safe. The values belong to the times given at construction.
  // `power`, when not empty, receives the whole periodogram.
  Peak peak(std::span<const double> value, const RunControl& rc = {},
            std::span<double> power = {}) const;
  // Whether sharing pays for every light curve of n points on `count`
  // frequencies against the engine's exact route.
  static bool cheaperThanExact(std::size_t n, std::int64_t count);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace fazorn
