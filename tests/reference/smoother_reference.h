// Slow, obviously correct form of the phased-curve smoother: one exp per
// point and node, every point in every sum, straight from its definition.
#pragma once

#include <array>
#include <vector>

namespace fazorn::reference {

// The 100 node values of the Gaussian-weighted (width 0.03) local quadratic
// regression of `value` against `phase` (phases in [0, 1), circular).
std::array<double, 100> smoothedNodes(const std::vector<double>& phase,
                                      const std::vector<double>& value);

}  // namespace fazorn::reference
