#include "edit/randomization.h"

#include <algorithm>
#include <span>
#include <vector>

#include "core/random_stream.h"
#include "core/statistics.h"
#include "edit/edit_common.h"

namespace fazorn {

using edit_detail::lightCurveRedrawnAndRephased;

Outcome generateWhiteNoise(Workspace& ws, std::uint64_t seed) {
  if (ws.dataLoaded != 1 || ws.lightCurve.pointCount < 1) return {};
  computeLightCurveStatistics(ws);
  RandomStream rng(seed);
  fillWhiteNoise(ws.lightCurve.value, ws.stats.meanValue, ws.stats.rms, rng);
  return lightCurveRedrawnAndRephased(ws);
}

Outcome randomlyPermute(Workspace& ws, std::uint64_t seed) {
  if (ws.dataLoaded != 1 || ws.lightCurve.pointCount < 1) return {};
  LightCurve& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(lc.pointCount);
  lc.scratchValue.assign(lc.value.begin(), lc.value.end());
  lc.scratchError.assign(lc.error.begin(), lc.error.end());
  std::vector<double> weight(lc.weight.begin(), lc.weight.end());
  RandomStream rng(seed);
  permuteTogether(std::span(lc.scratchValue.data(), n), std::span(lc.scratchError.data(), n),
                  weight, rng);
  std::copy(lc.scratchValue.begin(), lc.scratchValue.end(), lc.value.begin());
  std::copy(lc.scratchError.begin(), lc.scratchError.end(), lc.error.begin());
  lc.weight = std::move(weight);
  return lightCurveRedrawnAndRephased(ws);
}

}  // namespace fazorn
