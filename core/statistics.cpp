#include "core/statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/number_format.h"

namespace fazorn {

void indexSort(std::span<const double> values, std::span<int> index) {
  const int n = static_cast<int>(index.size());
  for (int i = 0; i < n; ++i) index[i] = i;
  if (n <= 1) return;
  int l = n / 2;
  int ir = n - 1;
  for (;;) {
    int t;
    if (l > 0) {
      --l;
      t = index[l];
    } else {
      t = index[ir];
      index[ir] = index[0];
      if (--ir == 0) {
        index[0] = t;
        return;
      }
    }
    const double q = values[t];
    int i = l;
    int j = 2 * l + 1;
    while (j <= ir) {
      if (j < ir && values[index[j]] < values[index[j + 1]]) ++j;
      if (q < values[index[j]]) {
        index[i] = index[j];
        i = j;
        j = 2 * j + 1;
      } else {
        j = ir + 1;
      }
    }
    index[i] = t;
  }
}

void computeLightCurveStatistics(Workspace& ws) {
  const LightCurve& lc = ws.lightCurve;
  LightCurveStatistics s;
  const int n = lc.pointCount;
  // The extremes start from the data, not from a large constant: times and
  // values may lie anywhere (times in seconds or milliseconds, fluxes in
  // counts). Points that are not numbers never compare, as before.
  constexpr double kInf = std::numeric_limits<double>::infinity();
  s.minTime = s.minValue = kInf;
  s.maxTime = s.maxValue = -kInf;
  std::vector<double> differences(n > 1 ? static_cast<std::size_t>(n - 1) : 0);
  for (int i = 0; i < n; ++i) {
    const double t = lc.time[i];
    const double v = lc.value[i];
    if (s.minValue > v) s.minValue = v;
    if (s.maxValue < v) s.maxValue = v;
    if (s.minTime > t) s.minTime = t;
    if (s.maxTime < t) s.maxTime = t;
    s.meanTime += t;
    s.meanValue += v;
    if (i > 0) differences[i - 1] = t - lc.time[i - 1];
  }
  if (n > 0) {
    s.meanValue /= n;
    s.meanTime /= n;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
      const double d = lc.value[i] - s.meanValue;
      sum += d * d;
    }
    s.rms = std::sqrt(sum / n);
  }
  // Without a comparable time or value (no points, or none that is a
  // number) there are no extremes: zero spans rather than infinities.
  if (!(s.minTime <= s.maxTime)) s.minTime = s.maxTime = 0.0;
  if (!(s.minValue <= s.maxValue)) s.minValue = s.maxValue = 0.0;
  if (n > 0) {
    s.timeSpan = s.maxTime - s.minTime;
    s.valueRange = s.maxValue - s.minValue;
  }
  if (n > 1) {
    // The ((n - 1) / 2)-th smallest interval. Selection finds the same value
    // as a full sort in linear time (a full index sort took most of a large
    // file's load); an interval that is not a number has no place in an
    // order, so then the sort of before decides, to the same element.
    const std::size_t k = static_cast<std::size_t>((n - 1) / 2);
    double median = 0.0;
    if (std::none_of(differences.begin(), differences.end(),
                     [](double d) { return std::isnan(d); })) {
      std::nth_element(differences.begin(), differences.begin() + static_cast<std::ptrdiff_t>(k),
                       differences.end());
      median = differences[k];
    } else {
      std::vector<int> order(differences.size());
      indexSort(differences, order);
      median = differences[static_cast<std::size_t>(order[k])];
    }
    s.cadenceRatio = (1.0 / 1440.0) / median;
  }
  ws.stats = s;
}

void updateStatisticsTexts(Workspace& ws) {
  const auto& s = ws.stats;
  const int n = ws.lightCurve.pointCount;
  const char sep = ws.decimalSeparator;
  ws.panel.dataPoints = std::to_string(n);
  if (n == 0) {
    ws.panel.timeSpan = ws.panel.meanMag = ws.panel.rms = ws.panel.gamma = "-";
    return;
  }
  ws.panel.timeSpan = formatFixed(s.timeSpan, 4, 8, sep);
  ws.panel.meanMag = formatFixed(s.meanValue, 8, 10, sep);
  ws.panel.rms = formatFixed(s.rms, 8, 10, sep);
  ws.panel.gamma = n > 1 ? formatFixed(s.cadenceRatio, 5, 8, sep) : "-";
}

}  // namespace fazorn
