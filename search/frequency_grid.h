// A uniform grid of trial frequencies, described by its parameters and
// checked once where it is made, so that the engines never meet a step of 0,
// a count that does not fit in memory or a negative count.
#pragma once

#include <cstdint>
#include <string>

namespace fazorn {

// The most trial frequencies one search may hold: the periodogram keeps two
// doubles per frequency, so this is 320 MB. Wider grids are refused instead
// of exhausting memory.
inline constexpr std::int64_t kMaxFrequencyCount = 20'000'000;

struct FrequencyGrid {
  double minFrequency = 0.0;  // first trial frequency, cycles per day
  double step = 0.0;          // grid step, cycles per day (> 0 in a valid grid)
  std::int32_t count = 0;     // number of trial frequencies (0 for an empty grid)
};

enum class GridStatus {
  Ok,
  Empty,          // the range is narrower than one step: no frequency
  BadResolution,  // step of 0, negative or not a number
  TooLarge,       // more than kMaxFrequencyCount frequencies
  BadRange,       // an end of the range is not a finite number
};

struct GridCheck {
  FrequencyGrid grid;
  GridStatus status = GridStatus::Ok;
  // The text to show the user when status is not Ok; empty otherwise.
  std::string message;
  bool ok() const { return status == GridStatus::Ok; }
};

// The grid from minFrequency upward in steps of `resolution` with
// trunc((maxFrequency - minFrequency) / resolution) frequencies, so that
// maxFrequency itself is never searched.
GridCheck makeFrequencyGrid(double minFrequency, double maxFrequency, double resolution,
                            std::int64_t maxCount = kMaxFrequencyCount);

}  // namespace fazorn
