#include "model/template_ops.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "core/number_format.h"
#include "core/results_panel.h"
#include "model/classification.h"
#include "model/phased_model.h"

namespace fazorn {

namespace {

// The constants of the prewhitening sinusoid as users' earlier residuals
// were computed with (not full-precision 2 pi and pi / 2).
constexpr double kRemoveTwoPi = 6.2832;
constexpr double kRemoveHalfPi = 1.5708;

Outcome refused(const char* note) {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.addNote(note);
  return out;
}

}  // namespace

void runModelChain(Workspace& ws, const TypeTemplateTable& table) {
  fitPhasedLightCurve(ws);
  classifyVariability(ws, table);
  computePhases(ws);
  fitPhasedLightCurve(ws);
  classifyVariability(ws, table);
}

Outcome analyseAtPeriod(Workspace& ws, double period) {
  if (ws.lightCurve.pointCount < 1) return refused("No light curve is loaded.");
  if (!(period > 0.0) || !std::isfinite(period))
    return refused("The period must be a positive number.");
  ws.period = period;
  ws.t0 = 0.0;
  computePhases(ws);
  runModelChain(ws);
  const char sep = ws.decimalSeparator;
  ws.panel.period = formatFixed(ws.period, 6, 10, sep);
  ws.panel.periodField = ws.panel.period;
  enableAfterPhasing(ws);
  Outcome out;
  out.redraw.phaseDiagram = true;
  out.redraw.results = true;
  return out;
}

Outcome getStatistics(Workspace& ws) {
  if (ws.lightCurve.pointCount < 1) return refused("No light curve is loaded.");
  if (!(ws.period > 0.0) || !std::isfinite(ws.period))
    return refused("The period must be a positive number.");
  fitPhasedLightCurve(ws);
  classifyVariability(ws);
  ws.t0 = ws.t0FromMinimum == 1 ? ws.epochOfMinimum : ws.epochOfMaximum;
  computePhases(ws);
  enableAfterPhasing(ws);
  Outcome out;
  out.redraw.phaseDiagram = true;
  out.redraw.results = true;
  return out;
}

Outcome addAsTemplate(Workspace& ws, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wt");
  if (file == nullptr) {
    Outcome out;
    out.ok = false;
    out.message = ioErrorBox();
    out.addNote("Cannot create " + path + ".");
    return out;
  }
  // Without a positive amplitude or a magnitude at maximum the curve cannot
  // be normalised: every node is written as empty rather than as inf or nan.
  const bool normalisable =
      ws.amplitude > 0.0 && std::isfinite(ws.amplitude) && ws.magAtMaximumValid;
  const std::size_t n = std::min(ws.phase.size(), ws.phasedValue.size());
  // Sums and means in single precision, as the template files have always
  // been written.
  std::array<float, kTemplateNodes> sum{};
  std::array<int, kTemplateNodes> count{};
  forEachNodeWindow(std::span(ws.phase).first(n), [&](std::size_t i, int k) {
    sum[k] += static_cast<float>(ws.phasedValue[i]);
    ++count[k];
  });
  bool written = true;
  for (int k = 0; k < kTemplateNodes; ++k) {
    double node = -1.0;
    if (count[k] > 0 && normalisable) {
      const float mean = sum[k] / static_cast<float>(count[k]);
      node = 1.0 - (mean - ws.magAtMaximum) / ws.amplitude;
    }
    if (std::fprintf(file, "%6.4f\n", node) < 0) written = false;
  }
  if (std::fclose(file) != 0) written = false;
  if (!written) {
    Outcome out;
    out.ok = false;
    out.message = ioErrorBox();
    out.addNote("Could not write all of " + path + ".");
    return out;
  }
  return {};
}

Outcome removePeriod(Workspace& ws) {
  LightCurve& lc = ws.lightCurve;
  const int n = std::min<int>(lc.pointCount, static_cast<int>(lc.value.size()));
  if (n < 1) return refused("No light curve is loaded.");
  // A period of 0 or a non-finite amplitude would turn every value into nan.
  if (!(ws.period > 0.0) || !std::isfinite(ws.period) || !std::isfinite(ws.amplitude) ||
      !std::isfinite(ws.t0))
    return refused("Remove period needs a positive period and a fitted amplitude.");
  double smallest = 1e10;
  double largest = -1e10;
  double sum = 0.0;
  const double half = 0.5 * ws.amplitude;
  for (int i = 0; i < n; ++i) {
    const double s = std::sin((ws.t0 - lc.time[i]) * kRemoveTwoPi / ws.period + kRemoveHalfPi);
    lc.value[i] = lc.value[i] - (half - s * half);
    if (lc.value[i] < smallest) smallest = lc.value[i];
    if (lc.value[i] > largest) largest = lc.value[i];
    sum += lc.value[i];
  }
  ws.stats.meanValue = sum / lc.pointCount;
  ws.stats.valueRange = largest - smallest;
  Outcome out;
  out.status[0] = "Brightness: " + formatFixed(ws.stats.meanValue, 2, 5, ws.decimalSeparator);
  out.status[1] = "Amplitude: " + formatFixed(ws.stats.valueRange, 2, 5, ws.decimalSeparator);
  out.status[2] = "";
  out.redraw.lightCurve = true;
  return out;
}

}  // namespace fazorn
