// The published Lomb-Scargle routine `period`, transcribed step by step on
// 0-based arrays in one thread, as the reference of the engine.
#pragma once

#include <span>
#include <vector>

namespace fazorn::reference {

struct LombScargleReferenceResult {
  std::vector<double> frequency, power;
  int peakIndex = -1;
  double falseAlarmProbability = 1.0;
};

LombScargleReferenceResult lombScarglePeriodogram(std::span<const double> time,
                                                  std::span<const double> value,
                                                  double oversampling, double highFrequencyFactor);

}  // namespace fazorn::reference
