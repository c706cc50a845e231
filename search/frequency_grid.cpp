#include "search/frequency_grid.h"

#include <cmath>

#include "core/number_format.h"

namespace fazorn {

GridCheck makeFrequencyGrid(double minFrequency, double maxFrequency, double resolution,
                            std::int64_t maxCount) {
  GridCheck out;
  out.grid.minFrequency = minFrequency;
  out.grid.step = resolution;
  if (!(resolution > 0) || !std::isfinite(resolution)) {
    out.status = GridStatus::BadResolution;
    out.message = "Resolution must be a positive number (cycles per day)! Calculation aborted";
    return out;
  }
  if (!std::isfinite(minFrequency) || !std::isfinite(maxFrequency)) {
    out.status = GridStatus::BadRange;
    out.message = "The period range does not give finite frequencies! Calculation aborted";
    return out;
  }
  const double count = std::trunc((maxFrequency - minFrequency) / resolution);
  if (!(count >= 1)) {
    out.status = GridStatus::Empty;
    out.message =
        "The frequency range is narrower than one Resolution step: no frequency to search! "
        "Calculation aborted";
    return out;
  }
  if (count > static_cast<double>(maxCount)) {
    out.status = GridStatus::TooLarge;
    out.message = formatPrintf(
        "The frequency grid is too large to hold in memory (%.0f frequencies, at most %lld): "
        "raise Resolution or narrow the period range! Calculation aborted",
        count, static_cast<long long>(maxCount));
    return out;
  }
  out.grid.count = static_cast<std::int32_t>(count);
  return out;
}

}  // namespace fazorn
