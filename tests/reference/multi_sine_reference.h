// A plain Gauss-Newton fit of a sum of sinusoids, as the reference of the
// frequency-table fit: derivatives by central differences of the model
// (so that an error in the fit's analytic Jacobian shows), dense normal
// equations solved by Gaussian elimination, step halving until the sum of
// squares drops. Slow, one thread, and for well-started problems only.
#pragma once

#include <span>
#include <vector>

namespace fazorn::reference {

// y = c + sum_k a_k cos(2 pi f_k (t - epoch)) + b_k sin(2 pi f_k (t - epoch)).
// A term with parentI >= 0 has f = n f_parentI + m f_parentJ (parentJ < 0:
// n f_parentI alone) and no frequency parameter of its own.
struct ReferenceSine {
  double f = 0.0, a = 0.0, b = 0.0;
  int parentI = -1, n = 0, parentJ = -1, m = 0;
};

struct ReferenceSineFit {
  double c = 0.0;
  std::vector<ReferenceSine> terms;
  // Covariance of the parameters [c, (a_k, b_k) per term, f per free term],
  // s^2 (J^T W J)^-1 with s^2 the weighted sum of squares over n - p.
  std::vector<std::vector<double>> covariance;
  std::vector<int> frequencyParameter;  // per term: its index, -1 when related
};

// Fits from `start` (c and terms) with weights 1 / error^2 (all 1 when
// `error` is empty).
ReferenceSineFit fitSinesByGaussNewton(std::span<const double> time, std::span<const double> value,
                                       std::span<const double> error, double epoch, double c,
                                       std::vector<ReferenceSine> start);

}  // namespace fazorn::reference
