// The plain multiharmonic AoV periodogram: a direct, unoptimised
// transcription of the published orthogonal-polynomial recurrence with a
// complex vector kit of (real, imaginary) pairs, sines and cosines of every
// point at every frequency. The fast engine must agree with it.
#pragma once

#include <span>
#include <vector>

namespace fazorn::reference {

struct AovReferenceResult {
  std::vector<double> frequency, power;
  double maxPower = 0.0;
  double bestFrequency = 0.0;  // 0 when no power is above 0
  int bestIndex = -1;
};

AovReferenceResult aovPeriodogram(double maxFrequency, double minFrequency,
                                  std::span<const double> time, std::span<const double> value,
                                  std::span<const double> weight, int harmonicTerms,
                                  double resolution);

// The same grid restricted to the indices [first, first + count), for
// benchmarks that time a slice of a long grid.
AovReferenceResult aovPeriodogramSlice(double maxFrequency, double minFrequency,
                                       std::span<const double> time, std::span<const double> value,
                                       std::span<const double> weight, int harmonicTerms,
                                       double resolution, long first, long count);

}  // namespace fazorn::reference
