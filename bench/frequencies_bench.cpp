// Prewhitening 30 frequencies of a 20,000-point space light curve (2-minute
// cadence, 27.8 days, frequencies up to 80 c/d), with the harmonic series
// (argument 1) and with every term free (argument 0); and the default
// maximum frequency's sampling rule on a million times.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "commands/frequencies.h"

namespace {

void BM_Prewhiten30Of20000(benchmark::State& state) {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> uf(3.0, 75.0), up(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.0005);
  std::vector<double> t(20000), y(20000, 0.0), e(20000, 0.0005);
  for (std::size_t j = 0; j < t.size(); ++j) t[j] = static_cast<double>(j) * 2.0 / 1440.0;
  for (int k = 0; k < 30; ++k) {
    const double f = uf(rng), a = 0.01 * std::exp(-k / 10.0) + 0.0005, p = up(rng);
    for (std::size_t j = 0; j < t.size(); ++j) y[j] += a * std::sin(2 * M_PI * (f * t[j] + p));
  }
  for (double& v : y) v += noise(rng);
  fazorn::PrewhiteningOptions o;
  o.maxCount = 30;
  o.maxFrequency = 80.0;
  o.harmonicSeries = state.range(0) != 0;
  for (auto _ : state) {
    auto r = fazorn::prewhiten(t, y, e, o);
    benchmark::DoNotOptimize(r.table.terms.size());
  }
}
BENCHMARK(BM_Prewhiten30Of20000)->Arg(1)->Arg(0)->Unit(benchmark::kSecond)->Iterations(1);

// A million times of a 20-second cadence with gaps, shuffled (the rule sorts
// them and their intervals).
void BM_SamplingNyquistFrequency(benchmark::State& state) {
  std::vector<double> t;
  for (double x = 0.0; t.size() < 1'000'000; x += 20.0 / 86400.0)
    if (std::fmod(x, 13.7) < 12.0) t.push_back(x);
  std::shuffle(t.begin(), t.end(), std::mt19937_64(2));
  for (auto _ : state) benchmark::DoNotOptimize(fazorn::samplingNyquistFrequency(t));
  state.counters["points_per_s"] = benchmark::Counter(
      static_cast<double>(t.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_SamplingNyquistFrequency)->Unit(benchmark::kMillisecond);

}  // namespace
