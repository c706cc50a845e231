// Frequency grids that follow the data, the width of a periodogram peak,
// warnings for grids too coarse to resolve peaks, the independent peaks of a
// periodogram, and the search over such a grid (searchGrid).
//
// A periodogram peak of a signal observed over a time span T is about 1 / T
// wide in frequency (the phase of a frequency error df drifts by df T cycles
// over the data). A grid whose step exceeds half that width can miss the top
// of a peak, or a whole narrow peak, between two grid points.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "core/workspace.h"
#include "search/frequency_grid.h"
#include "search/period_statistic.h"
#include "search/search_result.h"
#include "search/search_settings.h"

namespace fazorn {

// The fraction of the cycle that the AoVtr box covers for a bin factor (the
// "Harmonics:" setting): 1 / (10 binFactor).
double transitDutyCycle(int binFactor);

// Full width of a peak in cycles per day for a time span in days: 1 / T for
// AoV and Lomb-Scargle; d / T for AoVtr, d its box duty cycle (a box of
// width d in phase keeps its depth only while the phase drift over the data
// stays below about d).
double peakWidth(SearchEngine engine, double timeSpan, int binFactor);

// Largest time minus smallest time of the first n points; 0 without points.
double timeSpanOf(std::span<const double> time);

// Period limits chosen from the data when the user gives none.
struct AutoLimits {
  double minPeriod = 0.05;  // days
  double maxPeriod = 500;   // days
};
// Shortest period: 0.05 d, or less where the sampling resolves it: twice
// the median interval between consecutive distinct times (the Nyquist
// period of the typical sampling) when that is shorter, but never below
// 0.01 d. Longest period: half the time span (at least two cycles are
// observed) or 500 d, whichever is longer.
AutoLimits autoPeriodLimits(std::span<const double> time);

// The grid step that samples every peak `oversampling` times per width.
double autoResolution(SearchEngine engine, double timeSpan, int binFactor, double oversampling);

// A warning for a grid step coarser than half a peak width, with the step
// that would be needed for 10 points per peak; empty when the step is fine.
std::string coarseGridWarning(SearchEngine engine, double step, double timeSpan, int binFactor);

struct Peak {
  double frequency = 0.0;  // cycles per day
  double power = 0.0;
  std::int32_t index = -1;  // in the periodogram it was found in
};

// The `count` highest local maxima of power[] (a plateau counts once, at
// its first point), highest first, where maxima closer than `width` in
// frequency to a higher one count as that one. Only frequencies in
// [minFrequency, maxFrequency] are considered (0 and 0 for all). Of equal
// powers the lower frequency comes first.
std::vector<Peak> independentPeaks(std::span<const double> frequency, std::span<const double> power,
                                   double width, int count, double minFrequency = 0,
                                   double maxFrequency = 0);

// The false-alarm probability of a Lomb-Scargle power (normalised by the
// variance) for `independent` independent frequencies: effm exp(-p) when
// that is at most 0.01, else 1 - (1 - exp(-p))^effm, as the Lomb-Scargle
// command computes it for its highest peak.
double lombScargleFalseAlarm(double power, double independent);

// The number of independent frequencies of a periodogram over the time span
// (2 T times the frequency range covered; the Lomb-Scargle command's
// 2 nout / oversampling for its own grid).
double independentFrequencies(std::span<const double> frequency, double timeSpan);

// The index of the highest positive power, the first of equal ones (ties go
// to the lowest frequency); -1 when no power is above 0.
inline std::int64_t firstStrictMaximum(const std::vector<double>& p) {
  std::int64_t best = -1;
  double top = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i)
    if (p[i] > top) top = p[i], best = static_cast<std::int64_t>(i);
  return best;
}

// A search over [minFrequency, maxFrequency) at the step `step`.
struct GridSearchOptions {
  SearchEngine engine = SearchEngine::Aov;
  double minFrequency = 0.002;  // cycles per day
  double maxFrequency = 5.0;    // cycles per day
  double step = 0.0;            // fine grid step, cycles per day
  double peakWidth = 0.0;       // cycles per day, see peakWidth()
  int harmonics = 2;            // AoV harmonics, AoVtr bin factor
};

struct GridSearchResult {
  SearchStatus status = SearchStatus::NoPeak;
  std::string message;
  // What to show and save as the periodogram: the coarse pass with the fine
  // grid spliced in around the candidates (ascending frequencies).
  std::vector<double> frequency, power;
  double bestFrequency = 0.0;  // the highest point of the fine grid
  double maxPower = 0.0;
  std::int64_t fineCount = 0;  // frequencies the fine grid would have in full
};

// The maximum over the fine grid minFrequency + k step. When the fine grid
// is large the statistic is first computed on a coarse grid of a third of a
// peak width (any peak keeps at least about 90 % of its height there for
// a sinusoid; at least 68 % for the second harmonic of a multiharmonic
// fit), and the fine grid is computed around the 64 highest coarse maxima;
// the true maximum lies among them unless more than 64 maxima come within
// that fraction of it. The coarse pass takes the statistic's
// candidatePowers (for AoVtr off the exact route, the segments' folds,
// close to the powers; the periodogram keeps them outside the fine
// windows). Independent of the thread count.
GridSearchResult searchGrid(const PeriodStatistic& statistic, const GridSearchOptions& options,
                            const RunControl& rc);

}  // namespace fazorn
