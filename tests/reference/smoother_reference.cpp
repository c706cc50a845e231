#include "reference/smoother_reference.h"

#include <cmath>

namespace fazorn::reference {

std::array<double, 100> smoothedNodes(const std::vector<double>& phase,
                                      const std::vector<double>& value) {
  std::array<double, 100> s{};
  for (int k = 0; k < 100; ++k) {
    const double g = k * 0.01;
    // Normal equations of y = a x^2 + b x + c, solved for c by elimination.
    double n[3][4] = {};
    for (std::size_t j = 0; j < phase.size(); ++j) {
      double x = phase[j] - g;
      if (x > 0.5) x -= 1;
      if (x < -0.5) x += 1;
      const double w = std::exp(-x * x / 0.03 / 0.03);
      const double f[3] = {x * x, x, 1.0};
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) n[r][c] += w * f[r] * f[c];
        n[r][3] += w * f[r] * value[j];
      }
    }
    for (int col = 0; col < 3; ++col)
      for (int r = 0; r < 3; ++r) {
        if (r == col) continue;
        const double factor = n[r][col] / n[col][col];
        for (int c = 0; c < 4; ++c) n[r][c] -= factor * n[col][c];
      }
    s[k] = n[2][3] / n[2][2];
  }
  return s;
}

}  // namespace fazorn::reference
