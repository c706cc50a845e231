// Pieces shared by the editing commands: what they redraw after changing the
// light curve, and the outcome of a command that had nothing to work on.
#pragma once

#include <string>

#include "core/outcome.h"
#include "core/results_panel.h"
#include "core/statistics.h"
#include "core/workspace.h"

namespace fazorn::edit_detail {

// A command that found nothing to act on (no file loaded, no phases): the
// Workspace is untouched and nothing is shown.
inline Outcome nothingDone() {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  return out;
}

// The light-curve redraw recomputes the statistics (mean, extremes, value
// range) that the next marking, moving and binning commands read.
inline Outcome lightCurveRedrawn(Workspace& ws) {
  refreshLightCurveStatistics(ws);
  Outcome out;
  out.redraw.lightCurve = true;
  return out;
}

// The light-curve redraw followed, when the light curve is phased, by the
// phasing refresh and the phase-diagram redraw.
inline Outcome lightCurveRedrawnAndRephased(Workspace& ws) {
  Outcome out = lightCurveRedrawn(ws);
  if (ws.phased == 1) {
    const Outcome refreshed = refreshPhasing(ws);
    out.redraw.phaseDiagram = refreshed.redraw.phaseDiagram;
    out.redraw.results = refreshed.redraw.results;
  }
  return out;
}

// "1 point" / "3 points".
inline std::string countOfPoints(long n) {
  return std::to_string(n) + (n == 1 ? " point" : " points");
}

}  // namespace fazorn::edit_detail
