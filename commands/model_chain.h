// "Get statistics" and "Add as a template".
#pragma once

#include <string>

#include "core/outcome.h"
#include "core/workspace.h"
#include "model/classification.h"

namespace fazorn {

// The model chain of an analysis run on the phases the search left: fit,
// classify (which sets t0), phase on the new t0, fit and classify again.
// `table` replaces the built-in templates (for quality checks).
void runModelChain(Workspace& ws, const TypeTemplateTable& table = typeTemplates);

// The shorter chain of the transit and Lomb-Scargle searches: fit, classify
// (which sets t0) and phase on the new t0, without the second fit.
void runShortModelChain(Workspace& ws);

// Both chains model a flux light curve (lightCurve.valueKind Flux) on the
// magnitudes -2.5 log10(flux / median positive flux) of its points with a
// positive flux, and leave the observations and their phases as fluxes; the
// epochs, the amplitude and the magnitude at maximum are then on that
// relative scale. They set modelPointsLeftOut and modelReferenceFlux.
// The note on the points left out ("" when none was).
std::string modelChainNote(const Workspace& ws);

// Fit and classify at a given period without a search (for catalogued
// stars): the period, provisional phases from time 0, the model chain, and
// the "Period:" label and field. Refused without points or with a period
// that is not a positive number.
Outcome analyseAtPeriod(Workspace& ws, double period);

// "Get statistics" (F2): fit and classify at the current period without a
// search, set t0, phase and redraw the phase diagram.
Outcome getStatistics(Workspace& ws);

// "Add as a template": the normalised phased curve, 100 lines "%6.4f\n"
// (-1 for empty nodes), to `path` ("template.dat" in the working directory
// by default). Tells the user when the file cannot be created. A flux light
// curve is written from the magnitudes of its positive fluxes against the
// last model chain's reference flux, as the chain modelled it; refused when
// no chain has set that reference.
Outcome addAsTemplate(Workspace& ws, const std::string& path = "template.dat");

}  // namespace fazorn
