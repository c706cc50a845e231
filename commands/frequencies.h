// Prewhitening: the multi-frequency analysis of a pulsating star. Starting
// from an empty (or given) frequency table it repeatedly takes the highest
// peak of the residuals' amplitude spectrum, adds it to the table, fits all
// terms together ("Improve all") and subtracts the model from the data,
// until the next peak's signal-to-noise ratio falls below the limit or the
// table holds the most frequencies asked for. When the highest peak falls
// below the limit against loud surroundings (it reaches the limit against
// the mean residual amplitude of the whole search, not against the noise
// around it), the peak of the highest S/N elsewhere is tried before the
// cascade ends.
//
// Each term's false-alarm probability follows from its S/N and the number
// of independent frequencies searched, (f_max - f_min) T, kept in the table
// (model/frequency_table.h); a fixed S/N limit means more false alarms the
// wider the search, which maxFalseAlarm bounds instead when asked.
//
// The S/N of a peak is its amplitude over the mean amplitude of the
// residual spectrum in a window centred on it (Breger et al. 1993, who found
// S/N 4 in amplitude to separate intrinsic peaks from noise; window 2 c/d
// wide by default), the noise taken from the residuals with the peak
// prewhitened: a candidate is kept when its fitted amplitude reaches the limit
// there; the S/N of the final table uses the final residuals. The noise
// leaves out the term's own main lobe (within 1/T of it), where fitting the
// term took out the noise with it: counted, that hollow lowered the noise
// by some 10 % and let a 2-minute sector of white noise up to 80 c/d give a
// term at S/N 4 in 12 % of runs, where the highest of its 2,200 independent
// frequencies reaches S/N 4 in 0.7 %.
//
// A term within 1/T of a harmonic n f of a term in the table is held at
// n f, and a term whose multiples are in the table becomes their base and
// is named before them (an eclipsing binary found at 2f first reads f1,
// 2f1, 4f1, ... once f is found); the missing harmonics of a base are added
// in groups when an F test finds them significant (harmonic_series.h).
//
// Two rules keep the sampling's own patterns out of the table. A candidate
// whose least-squares amplitude error exceeds the white-noise value k times
// (it is not resolved from the zero point or another term) needs k times
// the limit, and when it fails only for that its peak is passed over and
// the cascade goes on. And where the spectral window has alias peaks of at
// least half its height (ground-based seasons and nights), a new term is
// moved to the alias of its frequency that fits the data better; two terms
// closer than the window's central peak are moved together, each pair of
// alias offsets judged by a fit of the two with their frequencies free.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "core/workspace.h"
#include "model/frequency_table.h"
#include "model/multi_sine_fit.h"
#include "search/amplitude_spectrum.h"

namespace fazorn {

struct PrewhiteningOptions {
  double snrLimit = 4.0;
  // When in (0, 1): a peak must also have a false-alarm probability (its
  // S/N as the highest of the search's independent frequencies,
  // falseAlarmProbability) at most this, which raises the S/N limit where
  // the search spans many independent frequencies; otherwise unused.
  double maxFalseAlarm = 0.0;
  double noiseWindow = 2.0;   // cycles per day, full width of the noise window
  int maxCount = 50;          // most terms in the table
  double maxFrequency = 0.0;  // cycles per day; <= 0: samplingNyquistFrequency of the times
  // Peaks below this are not taken; <= 0: the resolution 1/T, below which a
  // frequency is not resolved from a trend over the data.
  double minFrequency = 0.0;
  double oversampling = kAmplitudeSpectrumOversampling;
  // Harmonic / combination labelling tolerance; <= 0: the resolution 1/T.
  double combinationTolerance = 0.0;
  // Keep each step's residual amplitude spectrum (memory: count doubles a
  // step) for viewing.
  bool keepResidualSpectra = false;
  // Stop once the residual variance falls below the mean stated error
  // squared (reduced chi^2 under 1): sparse survey data otherwise let many
  // terms fit the noise. Off by default, as archive errors are often
  // overestimated.
  bool stopAtStatedErrors = false;
  // Harmonics of a frequency in the table held at n f, the base named
  // first, and combs extended by groups of harmonics judged by an F test
  // (commands/harmonic_series.h); false: every term free, as found.
  bool harmonicSeries = true;
  MultiSineFitOptions fit;
};

struct PrewhiteningStep {
  double frequency = 0.0;  // the peak taken (cycles per day; a grid value, or its alias)
  double amplitude = 0.0;
  double snr = 0.0;                       // in the spectrum it was found in
  std::vector<double> residualAmplitude;  // after the fit, when kept
};

struct PrewhiteningResult {
  bool ok = false;
  std::string message;     // why nothing could be done (ok false)
  std::string stopReason;  // why the cascade ended
  FrequencyTable table;
  AmplitudeSpectrumGrid grid;
  std::vector<double> frequency;          // the grid
  std::vector<double> originalAmplitude;  // spectrum of the data
  std::vector<double> window;             // spectral window
  std::vector<double> residualAmplitude;  // spectrum of the final residuals
  std::vector<PrewhiteningStep> steps;
  std::vector<double> residual;  // data - model per point
};

// Mean amplitude of `amplitude` (on grid frequencies k * step) within
// width / 2 of f, leaving out the grid points closer to f than `exclude`;
// 0 when the window holds no grid point.
double meanAmplitudeNear(std::span<const double> amplitude, double step, double f, double width,
                         double exclude = 0.0);

// The cascade on (time, value, error); `start` (may be empty) is fitted first
// and extended.
PrewhiteningResult prewhiten(std::span<const double> time, std::span<const double> value,
                             std::span<const double> error, const PrewhiteningOptions& options,
                             const FrequencyTable& start = {}, const RunControl& rc = {});

// "Improve all" on an edited table: fits it, then refreshes S/N and labels
// from the residual spectrum on the options' grid. On failure returns the
// message and leaves the table unchanged.
MultiSineFitResult improveFrequencyTable(std::span<const double> time,
                                         std::span<const double> value,
                                         std::span<const double> error, FrequencyTable& table,
                                         const PrewhiteningOptions& options);

// The amplitude spectrum of the Workspace's light curve (all its points, as
// prewhitening takes them) for the periodogram view by frequency: the
// default grid (step 1 / (oversampling T), up to samplingNyquistFrequency
// of the times unless maxFrequency > 0), amplitude in the units of the
// values (magnitudes or flux, valueKind), its highest point beside it. The
// Workspace is left as it was: the search's periodogram, which the
// period commands list, save and adopt peaks from, is not replaced.
struct LightCurveAmplitudeSpectrum {
  bool ok = false;
  std::string message;            // why there is no spectrum (ok false)
  std::vector<double> frequency;  // cycles per day, ascending from 0
  std::vector<double> amplitude;  // units of the values
  ValueKind valueKind = ValueKind::Magnitude;
  // The highest amplitude at frequencies from the resolution 1/T up, and
  // where it is (cycles per day); 0 when the grid ends below 1/T.
  double peakFrequency = 0.0;
  double peakAmplitude = 0.0;
};
LightCurveAmplitudeSpectrum amplitudeSpectrumOfLightCurve(
    const Workspace& ws, double maxFrequency = 0.0,
    double oversampling = kAmplitudeSpectrumOversampling);

}  // namespace fazorn
