// The analysis commands: settings validation, the search, the period and its
// error, provisional phases, the result texts and the follow-up chain (fit,
// classification, phasing). The front end stores the four search settings
// (read from its fields or options) in ws.settings before calling.
#pragma once

#include <optional>

#include "core/outcome.h"
#include "core/run_control.h"
#include "core/workspace.h"
#include "search/search_result.h"
#include "search/search_settings.h"

namespace fazorn {

// "Analyse" (F1) and the button "AoV": multiharmonic AoV search and the full
// chain (fit, classify, phase, fit, classify). A cancelled run leaves the
// Workspace as it was.
Outcome analyseAov(Workspace& ws, const RunControl& rc);
// The same on a chosen route: Exact gives the command's numbers; Fast and
// Auto may take the Fourier route (powers within 1e-8, the exact peak).
Outcome analyseAovOnRoute(Workspace& ws, const RunControl& rc, SearchRoute route);

// The search step on the stored settings: fills the periodogram, period,
// periodError, maxPower and provisional phases. False when cancelled or when
// no period can be found (the Workspace is then unchanged).
bool runAovSearch(Workspace& ws, const RunControl& rc);

// MainLoop: the search and the chain on the stored settings, no validation.
Outcome mainLoop(Workspace& ws, const RunControl& rc);

// The button "AoVtr": the transit search and its chain.
Outcome analyseAovTransit(Workspace& ws, const RunControl& rc);
// The same on a chosen route: Exact gives the command's numbers; Fast and
// Auto may sum each group without ordering it (powers within 1e-12, the
// exact peak).
Outcome analyseAovTransitOnRoute(Workspace& ws, const RunControl& rc, SearchRoute route);

// The button "Lomb-Scarge": the Lomb-Scargle search, its false-alarm
// probability and its chain.
Outcome analyseLombScargle(Workspace& ws, const RunControl& rc);
// The same on a chosen route: Exact gives the command's numbers (the
// published recurrence); Fast and Auto may take the Fourier route.
// floatingMean: the generalised periodogram, the points weighted by the
// light curve's weights.
Outcome analyseLombScargleOnRoute(Workspace& ws, const RunControl& rc, SearchRoute route,
                                  bool floatingMean = false);

// Provisional phases relative to time 0 at ws.bestFrequency, in
// [-0.5, 0.5], with the values beside them (ws.phased set); the model chain
// replaces them by phases relative to t0.
void provisionalPhases(Workspace& ws);

// The model chains after a result: Full fits, classifies, phases, fits and
// classifies again (the AoV command, the auto search, refinement); Short
// fits, classifies and phases (AoVtr, Lomb-Scargle, an adopted peak).
enum class ModelChain { Full, Short };

// "Adopt this frequency" (cycles per day), the one step behind every command
// that makes a frequency the result: the best frequency, its period and,
// when given, the period's error (days; otherwise the error kept is the
// search's), the provisional phases, the result texts, the model chain and
// the commands that need a result.
void adoptFrequency(Workspace& ws, double frequency, std::optional<double> periodError,
                    ModelChain chain);

// The window's search of `engine` (AoV, AoVtr or Lomb-Scargle) on `route`:
// the one dispatch over the engines for every command that runs one.
Outcome analyseWith(SearchEngine engine, Workspace& ws, const RunControl& rc,
                    SearchRoute route = SearchRoute::Exact);

}  // namespace fazorn
