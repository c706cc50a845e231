// The marking commands of the "Mark..." submenu and the "Data" menu. Marks
// are 0 or 1 here; "Remove marked points" acts on the points marked 1.
#include "edit/marking.h"

#include <algorithm>
#include <cmath>

#include "edit/edit_common.h"

namespace fazorn {

using edit_detail::lightCurveRedrawn;
using edit_detail::lightCurveRedrawnAndRephased;
using edit_detail::nothingDone;

Outcome markSigmaOutliers(Workspace& ws, double factor) {
  if (ws.dataLoaded != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  // The plain mean of the last redraw, marked points included, held fixed
  // for the whole pass: one run is a single clipping, not an iteration. The
  // sigma is each point's own error, so an error of 0 marks every point off
  // the mean. Earlier marks, clicked ones too, are replaced.
  const double mean = ws.stats.meanValue;
  for (int i = 0; i < lc.pointCount; ++i)
    lc.mark[i] = std::fabs(lc.value[i] - mean) > factor * lc.error[i] ? 1 : 0;
  return lightCurveRedrawnAndRephased(ws);
}

Outcome markNight(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  // Six hours either side of the last point clicked in the light curve
  // (time 0.0 before any click).
  for (int i = 0; i < lc.pointCount; ++i)
    if (std::fabs(lc.time[i] - ws.lastClickTime) < 0.25) lc.mark[i] = 1;
  return lightCurveRedrawnAndRephased(ws);
}

Outcome markBetween(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  // The closed interval in click order: the later point clicked first gives
  // an empty interval.
  for (int i = 0; i < lc.pointCount; ++i)
    if (ws.previousClickTime <= lc.time[i] && lc.time[i] <= ws.lastClickTime) lc.mark[i] = 1;
  return lightCurveRedrawnAndRephased(ws);
}

namespace {

// The phase commands read phase[] and phasedValue[], which describe the
// light curve only while it is phased, and only up to the point count of the
// last phasing.
template <typename Rule>
Outcome markByPhase(Workspace& ws, Rule rule) {
  if (ws.dataLoaded != 1 || ws.phased != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  const std::size_t n = std::min({static_cast<std::size_t>(std::max(lc.pointCount, 0)),
                                  lc.mark.size(), ws.phase.size(), ws.phasedValue.size()});
  for (std::size_t i = 0; i < n; ++i)
    if (rule(ws.phase[i], ws.phasedValue[i])) lc.mark[i] = 1;
  Outcome out = lightCurveRedrawn(ws);
  out.redraw.phaseDiagram = true;
  return out;
}

}  // namespace

Outcome markSpec(Workspace& ws) {
  // Within 0.026 cycles of phase zero, bounds excluded.
  return markByPhase(ws, [](double phase, double) { return -0.026 < phase && phase < 0.026; });
}

Outcome markPlusMinus(Workspace& ws) {
  // Phased values outside -0.06..0.06, bounds excluded from marking.
  return markByPhase(ws, [](double, double value) { return value > 0.06 || value < -0.06; });
}

Outcome unmarkPoints(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  std::fill(lc.mark.begin(), lc.mark.end(), 0);
  Outcome out = lightCurveRedrawn(ws);
  out.redraw.phaseDiagram = ws.phased == 1;
  return out;
}

}  // namespace fazorn
