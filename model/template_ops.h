// "Get statistics", "Add as a template" and "Remove period".
#pragma once

#include <string>

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

// "Get statistics" (F2): fit and classify at the current period without a
// search, set t0, phase and redraw the phase diagram.
Outcome getStatistics(Workspace& ws);

// "Add as a template": the normalised phased curve, 100 lines "%6.4f\n"
// (-1 for empty nodes), to `path` ("template.dat" in the working directory
// by default). Tells the user when the file cannot be created.
Outcome addAsTemplate(Workspace& ws, const std::string& path = "template.dat");

// "Remove period": subtracts the sinusoid of the current period, amplitude
// and t0; the status bar shows the new brightness and amplitude.
Outcome removePeriod(Workspace& ws);

}  // namespace fazorn
