#include "support/generators.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace fazorn::test {

Series makeSineSeries(std::uint64_t seed, int n, double period, double amplitude, double noise,
                      double span, double mean, double timeOffset) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(0.0, span);
  std::normal_distribution<double> gauss(0.0, 1.0);
  Series s;
  std::vector<double> times(static_cast<std::size_t>(n));
  for (auto& t : times) t = uniform(rng);
  std::sort(times.begin(), times.end());
  const double twoPi = 2.0 * std::acos(-1.0);
  for (double t : times) {
    s.time.push_back(t + timeOffset);
    s.value.push_back(mean + amplitude * std::sin(twoPi * t / period) + noise * gauss(rng));
    s.error.push_back(std::max(noise, 0.01));
  }
  return s;
}

}  // namespace fazorn::test
