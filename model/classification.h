// Variability-type classification by template matching of the normalised
// phased light curve against built-in template curves of eight types.
#pragma once

#include "core/workspace.h"

namespace fazorn {

// Classifies the light curve from its current phases and the last fit:
// fills typeScore, typeOrder, typeText, scoreText and t0FromMinimum, sets t0
// to the epoch of minimum (eclipsing types) or maximum light, and writes the
// "Max mag:", "Amplitude", "T0:" (label and field), "Type:" and "Score:"
// texts of the results panel.
void classifyVariability(Workspace& ws);

}  // namespace fazorn
