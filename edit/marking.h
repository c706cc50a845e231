// Marking points: sigma outliers, nights, time and phase ranges, and the
// click toggles of the light-curve and phase charts.
#pragma once

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

// Sigma outliers (factor 5, 3, 2.5 or 2): mark[i] = |value - meanValue| > k * error.
Outcome markSigmaOutliers(Workspace& ws, double factor);
Outcome markNight(Workspace& ws);      // "Night"
Outcome markBetween(Workspace& ws);    // "Mark between"
Outcome markSpec(Workspace& ws);       // "Mark spec"
Outcome markPlusMinus(Workspace& ws);  // "mark plus minus"
Outcome unmarkPoints(Workspace& ws);   // "Unmark points"

// A click on a point of the light-curve chart at (x, y) = (time, value):
// records the click times and toggles the first point with exactly that time
// and value.
Outcome toggleMarkInLightCurve(Workspace& ws, double x, double y);
// A click on a point of the phase chart at (x, y) = (phase or phase + 1,
// phased value): toggles the first matching point.
Outcome toggleMarkInPhaseDiagram(Workspace& ws, double x, double y);

}  // namespace fazorn
