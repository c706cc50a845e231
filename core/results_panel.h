// The results panel, the command states and manual phasing: keeping the
// adopted solution (period, t0), its texts and the phases in step.
#pragma once

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

// Command states. resetForNoData is the state at start (dataLoaded 0),
// resetAfterLoad the state after "Open Data" (dataLoaded 1); both set the
// seven result labels to "-" and phased to 0. enableAfterPhasing enables the
// commands that need phases and sets phased to 1.
void resetForNoData(Workspace& ws);
void resetAfterLoad(Workspace& ws);
void enableAfterPhasing(Workspace& ws);

// Writes the search results: "Error:" from periodError, "Period:" label and
// field from period (6 decimals, precision 10).
void writeSearchResultTexts(Workspace& ws);

// The common refresh after period or t0 changed: "Period:", "T0:", "Error:",
// "Type:", "Score:" reset to "-", then period and t0 written into their
// labels and fields, the light curve phased, the phase diagram redrawn and
// the phasing commands enabled. "Max mag:" and "Amplitude" keep their texts.
Outcome refreshPhasing(Workspace& ws);

// Manual phasing commands. The window converts the "Period:" and "T0:"
// fields (a text that is not a number ends the command there).
Outcome phaseManually(Workspace& ws, double period, double t0);  // "Phase"
Outcome doublePeriod(Workspace& ws);                             // F6
Outcome halvePeriod(Workspace& ws);                              // F5
Outcome shiftT0(Workspace& ws);                                  // F7

}  // namespace fazorn
