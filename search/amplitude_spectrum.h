// The Fourier amplitude spectrum of unevenly sampled data: at each trial
// frequency f (cycles per day) the amplitude A of the least-squares sinusoid
//
//   y(t) = c + a cos(2 pi f t) + b sin(2 pi f t),   A = sqrt(a^2 + b^2),
//
// with the mean c fitted at every frequency ("floating mean"), in the units
// of the values. For evenly sampled data away from 0 and the Nyquist
// frequency this is the classical 2/N |DFT| of the mean-subtracted values;
// with gaps it is what prewhitening subtracts. Every point counts equally.
//
// The grid is f_k = k * step, k = 0 .. count - 1. The sums over the points
// for the whole grid come from two non-uniform Fourier transforms (the
// values and the times alone, the latter at twice the modes for the
// cos^2 / sin^2 terms), so a spectrum of N points on K frequencies costs
// O(N + K log K) instead of O(N K).
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace fazorn {

// The default grid oversampling of the resolution 1/T: step 1 / (10 T).
// A peak then lies at most 1 / (20 T) from a grid point, where the
// amplitude of a sinusoid is down by sinc(pi / 20), 0.4 %.
inline constexpr double kAmplitudeSpectrumOversampling = 10.0;

struct AmplitudeSpectrumGrid {
  double step = 0.0;          // cycles per day
  std::int64_t count = 0;     // frequencies 0, step, .. (count - 1) step
  double maxFrequency = 0.0;  // (count - 1) step
};

// The grid for times spanning `timeSpan` days: step 1 / (oversampling T) and
// frequencies up to maxFrequency; maxFrequency <= 0 takes
// samplingNyquistFrequency(time). The count is capped at `maxCount` (the
// grid is then shortened). Empty (count 0) without two distinct times.
AmplitudeSpectrumGrid amplitudeSpectrumGrid(std::span<const double> time, double maxFrequency,
                                            double oversampling = kAmplitudeSpectrumOversampling,
                                            std::int64_t maxCount = 20'000'000);

// The median interval between consecutive (sorted) times; 0 with fewer than
// two distinct times. Times that differ only by rounding (1e-13 of their
// magnitude or span) count as one instant here and below.
double medianSamplingInterval(std::span<const double> time);

// The shortest interval between consecutive (sorted) times that the
// sampling repeats: the longest member of the first group, from the
// shortest intervals up, of intervals equal within
// kRepeatedIntervalTolerance that holds at least kRepeatedIntervalShare of
// all intervals; 0 when no group does.
inline constexpr double kRepeatedIntervalTolerance = 0.01;
inline constexpr double kRepeatedIntervalShare = 0.25;
double repeatedSamplingInterval(std::span<const double> time);

// The highest frequency (cycles per day) the sampling pins down without a
// mirror: 1 / (2 d) for the shorter of the median interval and the
// repeated interval d. For uneven sampling no interval bounds the
// frequencies that can be found (the Nyquist frequency of times t_i = t_0 +
// n_i p is 1 / (2 p), p their greatest common divisor, far above any
// interval's; Eyer & Bartholdi 1999, A&AS 135, 1), and the median
// interval's "pseudo-Nyquist" frequency is no limit either (VanderPlas
// 2018, ApJS 236, 16, section 4.1); but pairs of points a repeated interval
// d apart cannot tell f from 1/d - f, so that above 1 / (2 d) the sampling's
// own pattern mirrors every peak. A regular cadence with gaps gives its
// Nyquist frequency either way; a scanning satellite (two fields of view
// 20.6 min apart on Hipparcos, 106.5 min on Gaia, visits weeks apart) gives
// the Nyquist frequency of its field-of-view interval where the median,
// the interval between scans, gives a few cycles a day. The tolerance and
// share tell a pattern from chance: intervals of a random (Poisson)
// sampling put at most 0.01 / e, 0.4 %, of themselves within 1 % of any
// value, and a quarter admits a pattern of up to about four intervals (the
// two of a scanning satellite, a night's few exposures). O(N log N): a sort
// of the times and of their intervals. 0 without two distinct times.
double samplingNyquistFrequency(std::span<const double> time);

struct AmplitudeSpectrum {
  std::vector<double> frequency;  // cycles per day
  std::vector<double> amplitude;  // units of the values
  // The spectral window on the same grid: |sum exp(2 pi i f t)| / N, 1 at
  // f = 0; the pattern every peak of the data is convolved with (aliases).
  std::vector<double> window;
};

// The amplitude spectrum on `grid`. Time is taken relative to its mean so
// that large epochs (BJD 2.46e6) lose no precision. Sums are within about
// 1e-10 of the direct sums. At frequencies where the sinusoid is degenerate
// with the mean (f = 0, and the odd frequencies of a perfectly regular
// sampling) the amplitude is 0.
AmplitudeSpectrum computeAmplitudeSpectrum(std::span<const double> time,
                                           std::span<const double> value,
                                           const AmplitudeSpectrumGrid& grid,
                                           bool withWindow = false);

// The spectra of many value vectors at the same times on one grid (the
// steps of prewhitening): what depends only on the times (the sums of
// exp(i w t) and exp(2 i w t), the transform's plan) is computed once.
class AmplitudeSpectrumCalculator {
 public:
  AmplitudeSpectrumCalculator(std::span<const double> time, const AmplitudeSpectrumGrid& grid);
  ~AmplitudeSpectrumCalculator();
  AmplitudeSpectrumCalculator(const AmplitudeSpectrumCalculator&) = delete;
  AmplitudeSpectrumCalculator& operator=(const AmplitudeSpectrumCalculator&) = delete;
  // Amplitudes for values at the construction's times (empty with fewer
  // than 3 points or an empty grid).
  std::vector<double> amplitude(std::span<const double> value) const;
  std::vector<double> window() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The floating-mean amplitude at one frequency by direct sums, with the
// fitted cosine and sine coefficients (a, b) about the mean time.
struct SinusoidAt {
  double amplitude = 0.0;
  double cosine = 0.0;  // a
  double sine = 0.0;    // b
};
SinusoidAt amplitudeAt(std::span<const double> time, std::span<const double> value,
                       double frequency);

// The floating-mean sinusoid at one angular frequency omega from the sums over
// the points: sy = sum w (y - ybar) e^{i omega t} (ybar the weighted mean),
// s1 = sum w e^{i omega t}, s2 = sum w e^{2 i omega t}, weightSum = sum w
// (all weights 1: the number of points). The amplitude is 0 where the
// sinusoid is (nearly) a constant over the sampling. The reduction of the
// weighted chi^2 by the fit is cosine Re sy + sine Im sy.
SinusoidAt floatingMeanSinusoid(std::complex<double> sy, std::complex<double> s1,
                                std::complex<double> s2, double weightSum);

// floatingMeanSinusoid's cosine and sine, its amplitude left 0: what a
// periodogram needs at every frequency of its grid, inline, and without
// the hypot, which cost as much as the rest of the fit there.
inline SinusoidAt floatingMeanCoefficients(std::complex<double> sy, std::complex<double> s1,
                                           std::complex<double> s2, double weightSum) {
  const double n = weightSum;
  const double cc = 0.5 * (n + s2.real()) - s1.real() * s1.real() / n;
  const double ss = 0.5 * (n - s2.real()) - s1.imag() * s1.imag() / n;
  const double cs = 0.5 * s2.imag() - s1.real() * s1.imag() / n;
  const double det = cc * ss - cs * cs;
  SinusoidAt r;
  // A determinant at rounding level of n^2: the sinusoid is (nearly) a
  // constant over the sampling and carries no information.
  if (!(det > 1e-9 * n * n)) return r;
  const double yc = sy.real(), ys = sy.imag();
  r.cosine = (yc * ss - ys * cs) / det;
  r.sine = (ys * cc - yc * cs) / det;
  return r;
}

}  // namespace fazorn
