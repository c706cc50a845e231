// AoVtr: an analysis-of-variance periodogram for planetary transits in the
// spirit of Schwarzenberg-Czerny & Beaulieu (2006). At each trial frequency
// the points are ordered by phase and the light curve is compared with a
// box-shaped, two-level model: the points of one phase interval (the
// transit) against all the others. The power is the fraction of the
// weighted sum of squares about the weighted mean that the two-level model
// explains, the best interval of the frequency counting:
//
//   power = W S_in^2 / (W_in (W - W_in) D),
//
// with W the sum of the weights, W_in and S_in the sums of w and w (x - xbar)
// over the interval, D the weighted sum of squares. Dips in flux and in
// magnitudes alike are found (the sign of the step is not imposed).
//
// The two integer parameters of the command:
// - binFactor (the "Harmonics:" setting, at least 1): each bin set divides
//   the phase-ordered points into 10 * binFactor bins of equal occupancy, so
//   the box holds 1 / (10 binFactor) of the points: 5 % of them for the
//   default 2 harmonics. Raise it for shorter transits.
// - binSets (the constant 5 of the command): the number of bin sets, each
//   shifted by 1 / binSets of a bin, so the box is tried at
//   10 binFactor binSets positions around the cycle.
// With the defaults a transit of 1 % to 10 % duty cycle falls mostly into one
// box (a 3 % transit gives 60 % of its depth to a 5 % box); a two-harmonic
// AoV captures only about 4 d of the variance of a transit of duty cycle d.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/run_control.h"
#include "search/frequency_grid.h"
#include "search/light_curve_view.h"
#include "search/search_result.h"

namespace fazorn {

struct TransitOptions {
  // Trial frequencies i * step + minFrequency, i = 0 .. count - 1 (cycles
  // per day; computed from the index, not accumulated).
  FrequencyGrid grid;
  int binFactor = 2;  // bins per set = 10 * binFactor (values below 1 count as 1)
  int binSets = 5;    // shifted bin sets (values below 1 count as 1)
  // Exact for the window's numbers: every group summed in phase order. Fast
  // sums the same points of each group in another order (powers within
  // 1e-12, the peak recomputed exactly); Auto takes Fast for long light
  // curves.
  SearchRoute route = SearchRoute::Exact;
};

// Whether Auto takes the fast route for n points on `count` frequencies.
bool transitFastRouteIsCheaper(std::size_t n, std::int64_t count);

using TransitResult = SearchResult;

// The periodogram over the grid; of equal powers the lowest frequency wins.
// Exact route: the points are ordered by phase at every frequency
// (PhaseOrder: phase cells, then a stable merge sort of the index array
// within each cell). Fast route: the points are counted into phase cells and
// only the cells that a group boundary cuts are put in order; every group
// holds the same points as on the exact route, and the frequencies within
// 1e-10 of the highest power are recomputed exactly, so the peak is the
// exact route's. Grids below frequency 0 or beyond the fast route's phase
// arithmetic (more than 2^35 cycles from the first observation) stay exact; `route`
// of the result says which route ran.
// Threads over fixed blocks of frequencies; results do not depend on the
// thread count.
TransitResult computeTransitPeriodogram(const LightCurveView& lc, const TransitOptions& options,
                                        const RunControl& rc);

// Powers for choosing the candidates of a coarse pass, where a periodogram
// over a long light curve would cost more than the candidates need. The
// light curve is cut into K segments of equal length L; each is folded once
// per reference frequency (spaced 2 / (B L), B phase bins), and the profile
// at a trial frequency f is the sum of the segments' profiles at their
// nearest reference, each shifted by (f - reference) times its middle time.
// Phases err by at most 1.5 bins (half a bin from the reference, half from
// rounding the shift, the bin's own width), a bin being 1 / 2.5 of a group
// or less, and the groups' edges are interpolated within bins: powers near,
// not equal to, the periodogram's. K balances folding against combining
// (work about sqrt(n) per frequency instead of n). When that would not save
// work (short light curves, coarse grids), or the grid starts below 0, the
// result is computeTransitPeriodogram's. Independent of the thread count.
TransitResult computeTransitCandidates(const LightCurveView& lc, const TransitOptions& options,
                                       const RunControl& rc);
// The powers over several windows of one grid (ascending, disjoint),
// concatenated, window w at w.minFrequency + k w.step: the light curve
// prepared once, and on the fast route only the frequencies within 1e-10
// of the highest power of all windows recomputed exactly (where one
// computeTransitPeriodogram per window recomputes each window's top).
// options.grid is not used.
std::vector<double> computeTransitWindows(const LightCurveView& lc, const TransitOptions& options,
                                          const std::vector<FrequencyGrid>& windows,
                                          const RunControl& rc);

// Whether computeTransitCandidates folds segments (rather than computing the
// periodogram) for n points over timeSpan days on a grid of this step.
bool transitCandidatesFold(std::size_t n, int binFactor, int binSets, double step, double timeSpan);

// Stable ascending sort of index[0..n-1] by key[index[i]] (a natural merge
// sort: ascending runs are found and merged pairwise; equal keys keep their
// order). `sortedKey` receives the keys in that order; the two scratch
// arrays need n elements and `runs` n + 1.
void mergeSortIndex(std::span<const double> key, std::span<int> index, std::span<double> sortedKey,
                    std::span<double> scratchKey, std::span<int> scratchIndex, std::span<int> runs);

// The order of points by phase in [0, 1) that a stable sort of the index
// array gives (equal phases keep their index order), in linear expected
// time and without a general sort: the points are counted into n equal
// phase cells and dealt in index order into their cells' places; the few
// cells left holding points out of order are put in order by insertion (or
// by mergeSortIndex when a cell is crowded). Work storage for n points is
// allocated once.
class PhaseOrder {
 public:
  struct Ranked {
    double phase;
    int index;
  };
  explicit PhaseOrder(std::size_t n);
  // index (n entries) receives the points in phase order.
  void sort(std::span<const double> phase, std::span<int> index);
  // The points in phase order with their phases; valid until the next call.
  std::span<const Ranked> order(std::span<const double> phase);

 private:
  // Largest out-of-order cell put in order by insertion.
  static constexpr std::size_t kInsertionLimit = 16;
  // Phase cells per point: few cells hold more than one point.
  static constexpr std::size_t kCellsPerPoint = 4;
  std::vector<int> start_;
  std::vector<Ranked> ranked_;
  std::vector<int> scratchIndex_, runs_;
  std::vector<double> sortedKey_, scratchKey_;
  std::vector<int> index_;
};

}  // namespace fazorn
