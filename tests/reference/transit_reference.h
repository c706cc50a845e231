// The plain AoVtr periodogram: at every trial frequency the points are
// ordered by phase with std::stable_sort, cut into groups of equal
// occupancy, and every box of `binSets` consecutive groups (wrapping around
// phase 0) is summed directly. No cells, no prefix sums, no threads: the
// engine must agree with it.
#pragma once

#include <span>
#include <vector>

namespace fazorn::reference {

struct TransitReferenceResult {
  std::vector<double> frequency, power;
  int bestIndex = -1;  // first strict maximum above 0; -1 without one
};

// Frequencies i * step + minFrequency, i = 0 .. count - 1 (cycles per day).
TransitReferenceResult transitPeriodogram(std::span<const double> time,
                                          std::span<const double> value,
                                          std::span<const double> weight, double minFrequency,
                                          double step, int count, int binFactor, int binSets);

// The same statistic with the window's arithmetic to the last bit: each
// group summed in phase order (std::stable_sort), the groups' sums doubled
// round the cycle into running totals, and a box taken as the difference
// of two running totals. Powers only.
std::vector<double> transitPowersFromRunningTotals(std::span<const double> time,
                                                   std::span<const double> value,
                                                   std::span<const double> weight,
                                                   std::span<const double> frequency, int binFactor,
                                                   int binSets);

}  // namespace fazorn::reference
