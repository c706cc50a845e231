// Value transformations of the whole light curve.
#pragma once

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

Outcome normalizeLightCurve(Workspace& ws);        // F3
Outcome addToX(Workspace& ws, double constant);    // rounded to single precision
Outcome addToY(Workspace& ws, double constant);    // rounded to single precision
Outcome addFlippedDataset(Workspace& ws);
Outcome spectralWindow(Workspace& ws);
Outcome fluxToMag(Workspace& ws);                  // "-mag" file
Outcome magToFlux(Workspace& ws);                  // "-flux" file

}  // namespace fazorn
