// Placeholder until the model lands: no fit, no results.
#include "model/phased_model.h"

namespace fazorn {

PhasedModel fitPhasedLightCurve(std::span<const double>, std::span<const double>, double) {
  return {};
}

void fitPhasedLightCurve(Workspace& ws) {
  const PhasedModel m = fitPhasedLightCurve(ws.lightCurve.time, ws.lightCurve.value, ws.period);
  ws.epochOfMinimum = m.epochOfMinimum;
  ws.epochOfMaximum = m.epochOfMaximum;
  ws.magAtMaximum = m.magAtMaximum;
  ws.magAtMaximumValid = m.magAtMaximumValid;
  ws.amplitude = m.amplitude;
}

}  // namespace fazorn
