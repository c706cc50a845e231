// Seeded light-curve generators shared by the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <vector>

namespace fazorn::test {

struct Series {
  std::vector<double> time, value, error;
};

// n points at uneven, sorted times over `span` days (seeded), a sinusoid of
// the given period and semi-amplitude about `mean`, Gaussian noise of rms
// `noise`, and errors equal to max(noise, 0.01).
Series makeSineSeries(std::uint64_t seed, int n, double period, double amplitude, double noise,
                      double span = 100.0, double mean = 12.0, double timeOffset = 0.0);

}  // namespace fazorn::test
