#include "core/workspace.h"

#include <cmath>

namespace fazorn {

double phaseOf(double time, double period, double t0) {
  const double x = (time - t0) / period;
  // Fractional part with the sign of x; a zero period gives an infinite or
  // undefined ratio, which phases to 0.
  double f = std::isfinite(x) ? x - std::trunc(x) : 0.0;
  double p = (time >= t0) ? f : f + 1.0;
  if (p > 0.5) p -= 1.0;
  // The rule above keeps (-0.5, 0.5] only for a positive period; a negative
  // one (typed into the "Period:" field) would give phases in (-1, 1.5).
  // Fold those back into the same interval, leaving positive periods alone.
  if (!(p > -0.5 && p <= 0.5)) {
    p -= std::floor(p);
    if (p > 0.5) p -= 1.0;
  }
  return p;
}

void computePhases(Workspace& ws) {
  const LightCurve& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(lc.pointCount);
  ws.phasedValue.resize(n);
  ws.phase.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    ws.phase[i] = phaseOf(lc.time[i], ws.period, ws.t0);
    ws.phasedValue[i] = lc.value[i];
  }
  ws.phased = 1;
}

}  // namespace fazorn
