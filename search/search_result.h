// What a search over a grid of trial frequencies gives back: its status,
// the periodogram and the highest peak, shared by the engines and the
// commands that store a result in the Workspace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fazorn {

// How a periodogram is computed. Exact: the engine's own sums at every
// frequency (the window's commands). Fast: the moment sums of the whole grid
// from non-uniform Fourier transforms, powers within 1e-8 of the exact ones,
// and the peak re-evaluated by the exact route. Auto: fast where it is the
// cheaper of the two (long light curves on long grids), otherwise exact, or
// for AoV the exact route's moments with a quicker recurrence (powers within
// about 1e-12, the peak recomputed exactly; reported as Fast).
enum class SearchRoute { Exact, Fast, Auto };

// What became of a search.
enum class SearchStatus {
  Ok,         // a best frequency was found
  NoPeak,     // no power above 0: no points, all values equal, empty grid
  Cancelled,  // stopped through the RunControl; the arrays are incomplete
};

// A periodogram over a uniform grid and its highest peak (AoV, AoVtr).
struct SearchResult {
  SearchStatus status = SearchStatus::NoPeak;
  std::string message;            // why there is no peak (empty when status is Ok)
  std::vector<double> frequency;  // trial frequencies, cycles per day, ascending
  std::vector<double> power;      // power at each, 0..1
  double maxPower = 0.0;          // highest power (0 without a peak)
  double bestFrequency = 0.0;     // frequency of the first strict maximum (0 without a peak)
  std::int32_t bestIndex = -1;    // its index, -1 without a peak
  // AoV: how many frequencies took the slow pointwise route (all of them
  // for harmonic counts without a moment kernel); a diagnostic of speed only.
  std::int64_t pointwiseFrequencies = 0;
  // The route that computed the powers (Exact or Fast, never Auto).
  SearchRoute route = SearchRoute::Exact;
};

// Ends an AoV-type search once power[] is filled: Cancelled when the blocks
// did not all finish; otherwise the first strict maximum above 0 (of equal
// powers the lowest frequency wins) sets bestIndex, maxPower and status Ok.
// Returns true when there is a peak; the caller then sets bestFrequency.
inline bool takeFirstStrictMaximum(SearchResult& r, bool finished) {
  if (!finished) {
    r.status = SearchStatus::Cancelled;
    r.message = "Cancelled.";
    return false;
  }
  double best = 0.0;
  for (std::size_t j = 0; j < r.power.size(); ++j) {
    if (r.power[j] > best) {
      best = r.power[j];
      r.bestIndex = static_cast<std::int32_t>(j);
    }
  }
  if (r.bestIndex < 0) {
    r.message = "No trial frequency has a power above 0.";
    return false;
  }
  r.status = SearchStatus::Ok;
  r.maxPower = best;
  return true;
}

}  // namespace fazorn
