// The click toggles of the light-curve and phase charts.
#include <algorithm>

#include "core/statistics.h"
#include "edit/marking.h"

namespace fazorn {

namespace {
void toggle(std::int32_t& mark) { mark = (mark == 0) ? 1 : 0; }
}  // namespace

Outcome toggleMarkInLightCurve(Workspace& ws, double x, double y) {
  ws.previousClickTime = ws.lastClickTime;
  ws.lastClickTime = x;
  LightCurve& lc = ws.lightCurve;
  for (int i = 0; i < lc.pointCount; ++i)
    if (lc.time[i] == x && lc.value[i] == y) {
      toggle(lc.mark[i]);
      break;
    }
  refreshLightCurveStatistics(ws);
  Outcome out;
  out.redraw.lightCurve = true;
  out.redraw.phaseDiagram = true;
  return out;
}

Outcome toggleMarkInPhaseDiagram(Workspace& ws, double x, double y) {
  LightCurve& lc = ws.lightCurve;
  const std::size_t n =
      std::min({static_cast<std::size_t>(lc.pointCount), ws.phase.size(), ws.phasedValue.size()});
  for (std::size_t i = 0; i < n; ++i)
    if ((x == ws.phase[i] || x == ws.phase[i] + 1) && y == ws.phasedValue[i]) {
      toggle(lc.mark[i]);
      break;
    }
  refreshLightCurveStatistics(ws);
  Outcome out;
  out.redraw.lightCurve = true;
  out.redraw.phaseDiagram = true;
  return out;
}

}  // namespace fazorn
