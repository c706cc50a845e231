// Read-only view of the arrays an engine searches: the engines take spans,
// never the Workspace, so that the randomisation tests and batch runs can
// search copies of a light curve on several threads at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/workspace.h"

namespace fazorn {

struct LightCurveView {
  std::span<const double> time;    // days
  std::span<const double> value;   // flux or magnitude
  std::span<const double> weight;  // 1/error^2 (not used by Lomb-Scargle)
};

inline LightCurveView viewOf(const LightCurve& lc) {
  const auto n = static_cast<std::size_t>(lc.pointCount);
  return {std::span<const double>(lc.time.data(), n), std::span<const double>(lc.value.data(), n),
          std::span<const double>(lc.weight.data(), n)};
}

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
