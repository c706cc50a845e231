// Binning into derived files beside the data file.
#pragma once

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

Outcome binByPoints(Workspace& ws, int pointsPerBin);  // 2, 3, 4 -> "-binned"
Outcome binByDay(Workspace& ws);                       // "-NightBin"
Outcome binByMinutes(Workspace& ws, int minutes);      // 1, 2, 3, 5, 10 -> "-NNminBin"
Outcome savePhasedBinned(Workspace& ws);               // "-phasedBinned"

}  // namespace fazorn
