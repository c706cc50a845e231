// Read-only view of the arrays an engine searches: the engines take spans,
// never the Workspace, so that the randomisation tests and batch runs can
// search copies of a light curve on several threads at once.
#pragma once

#include <span>

#include "core/workspace.h"

namespace fazorn {

struct LightCurveView {
  std::span<const double> time;    // days
  std::span<const double> value;   // flux or magnitude
  std::span<const double> weight;  // 1/error^2 (not used by Lomb-Scargle)
};

inline LightCurveView viewOf(const LightCurve& lc) {
  const auto n = static_cast<std::size_t>(lc.pointCount);
  return {std::span<const double>(lc.time.data(), n), std::span<const double>(lc.value.data(), n),
          std::span<const double>(lc.weight.data(), n)};
}

}  // namespace fazorn
