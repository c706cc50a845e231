// The light-curve statistics shown under "About light curve:" and in the
// results panel, recomputed at every light-curve redraw, and the index sort
// shared by the statistics, the model and the classification.
#pragma once

#include <span>

#include "core/workspace.h"

namespace fazorn {

// Ascending heap sort of an index array: index[0..n-1] receives the
// positions of `values` in ascending order. The order among equal values is
// that of the heap sort (for eight equal values: 1, 2, 3, 4, 5, 6, 7, 0), on
// which the classification's listing of equal scores relies.
void indexSort(std::span<const double> values, std::span<int> index);

// Recomputes ws.stats from the light curve: extremes, means, population rms,
// time span, value range and the cadence ratio (one minute divided by the
// median sampling interval; for an even count of intervals the upper of the
// two middle ones). With no points the means and rms are 0; with fewer than
// two points the cadence ratio is 0.
void computeLightCurveStatistics(Workspace& ws);

// Writes the five statistics labels of ws.panel from ws.stats ("-" where a
// value is undefined: no points, or no sampling interval for "gamma:").
void updateStatisticsTexts(Workspace& ws);

// Both of the above: what the light-curve redraw computes.
inline void refreshLightCurveStatistics(Workspace& ws) {
  computeLightCurveStatistics(ws);
  updateStatisticsTexts(ws);
}

}  // namespace fazorn
