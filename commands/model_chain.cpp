#include "commands/model_chain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "core/derived_files.h"
#include "core/number_format.h"
#include "core/results_panel.h"
#include "core/text_file.h"
#include "model/classification.h"
#include "model/phased_model.h"

namespace fazorn {

namespace {

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

void runShortModelChain(Workspace& ws) {
  fitPhasedLightCurve(ws);
  classifyVariability(ws);
  computePhases(ws);
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
  const std::string failure = writeWholeFile(path, [&](TextFileWriter& file) {
    for (int k = 0; k < kTemplateNodes; ++k) {
      double node = -1.0;
      if (count[k] > 0 && normalisable) {
        const float mean = sum[k] / static_cast<float>(count[k]);
        node = 1.0 - (mean - ws.magAtMaximum) / ws.amplitude;
      }
      file.print("%6.4f\n", node);
    }
  });
  return failure.empty() ? Outcome{} : writeFailed(failure);
}

}  // namespace fazorn
