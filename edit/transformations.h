// Value transformations of the whole light curve.
#pragma once

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

Outcome normalizeLightCurve(Workspace& ws);      // F3
Outcome addToX(Workspace& ws, double constant);  // rounded to single precision
Outcome addToY(Workspace& ws, double constant);  // rounded to single precision
Outcome addFlippedDataset(Workspace& ws);
Outcome spectralWindow(Workspace& ws);
Outcome fluxToMag(Workspace& ws);  // "-mag" file
Outcome magToFlux(Workspace& ws);  // "-flux" file

// "Remove period": subtracts the sinusoid of the current period, amplitude
// and t0; the status bar shows the new brightness and amplitude.
Outcome removePeriod(Workspace& ws);

}  // namespace fazorn
