// The Lomb-Scargle command's engine on the window's default period range
// (0.2 to 500 d: the multiples of 1/500 per day up to 5 per day).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "search/lomb_scargle.h"
#include "support/generators.h"

namespace {

using namespace fazorn;

// Args: points, threads.
void BM_LombScargle(benchmark::State& state) {
  const auto s = test::makeSineSeries(42, static_cast<int>(state.range(0)), 0.7, 0.3, 0.1, 1000.0);
  const auto [lo, hi] = std::minmax_element(s.time.begin(), s.time.end());
  const LombScargleOptions options = lombScargleOptionsFor(0.2, 500.0, s.time.size(), *hi - *lo);
  RunControl rc;
  rc.threads = static_cast<int>(state.range(1));
  std::size_t count = 0;
  for (auto _ : state) {
    LombScargleResult r = computeLombScarglePeriodogram(s.time, s.value, options, rc);
    count = r.power.size();
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["frequencies"] = static_cast<double>(count);
  state.counters["point_freqs_per_s"] =
      benchmark::Counter(static_cast<double>(state.range(0)) * static_cast<double>(count),
                         benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LombScargle)
    ->Args({10000, 1})
    ->Args({10000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The Fourier route on the multiples of 1 / (4 T) up to `frequencies` of
// them (nout = 0.5 oversampling hifac n).
LombScargleOptions fastOptions(int n, std::int64_t frequencies) {
  LombScargleOptions options;
  options.oversampling = 4.0;
  options.highFrequencyFactor =
      (static_cast<double>(frequencies) + 0.5) / (0.5 * options.oversampling * n);
  options.route = SearchRoute::Fast;
  return options;
}

// The Fourier route (powers within 1e-8 of direct sums) on grids of the
// multiples of 1 / (4 T), equal weights: args points, frequencies, threads.
// bench/speed_vs_astropy.py compares BM_LombScargleSpeedSetup below with
// another library.
void BM_LombScargleFourier(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  const auto s = test::makeSineSeries(42, n, 0.7, 0.3, 0.1, 1000.0);
  LombScargleOptions options = fastOptions(n, state.range(1));
  RunControl rc;
  rc.threads = static_cast<int>(state.range(2));
  std::size_t count = 0;
  for (auto _ : state) {
    LombScargleResult r = computeLombScarglePeriodogram(s.time, s.value, options, rc);
    count = r.power.size();
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["frequencies"] = static_cast<double>(count);
}
BENCHMARK(BM_LombScargleFourier)
    ->Args({1000, 10000, 1})
    ->Args({1000, 1000000, 1})
    ->Args({10000, 16666, 1})
    ->Args({10000, 199981, 1})
    ->Args({100000, 10000, 1})
    ->Args({100000, 16666, 1})
    ->Args({100000, 199981, 1})
    ->Args({100000, 199981, 2})
    ->Args({100000, 1000000, 1})
    ->Args({300000, 10000, 1})
    ->Args({1000000, 10000, 1})
    ->Args({1000000, 1000000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The Fourier route's two kinds of sums on the same grids, one thread: args
// points, frequencies, sums (1 spreading, 2 moments, 0 the automatic
// choice), floating mean (0 or 1, with equal weights). What the cost model
// of the automatic choice was fitted to.
void BM_LombScargleFourierSums(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  const auto s = test::makeSineSeries(42, n, 0.7, 0.3, 0.1, 1000.0);
  LombScargleOptions options = fastOptions(n, state.range(1));
  options.fourierSums = static_cast<FourierSums>(state.range(2));
  options.floatingMean = state.range(3) != 0;
  RunControl rc;
  rc.threads = 1;
  FourierSums used = FourierSums::Auto;
  for (auto _ : state) {
    LombScargleResult r = computeLombScarglePeriodogram(s.time, s.value, options, rc);
    used = r.fourierSums;
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["moments"] = used == FourierSums::Moments ? 1 : 0;
}
BENCHMARK(BM_LombScargleFourierSums)
    ->ArgsProduct({{1000, 10000, 30000, 100000, 300000, 1000000},
                   {3000, 10000, 16666, 30000, 100000},
                   {0, 1, 2},
                   {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The setup of bench/speed_vs_astropy.py: the Fourier route on one thread
// on the multiples of 1 / (4 T), k = 1 .. frequencies, either the floating
// mean with weights 1 / error^2 (errors drawn from 0.05 to 0.15 mag, so
// that no equal-weight shortcut could apply) or the classical power. Args:
// points, frequencies, floating mean (0 or 1).
//
// The same warm memory state as the other side of that script: one 31 MB
// block made and freed first, so that the C library's allocator serves the
// result's arrays (two of 8 bytes a frequency) from its heap instead of
// mapping them afresh, and faulting them in, on every call (its mmap and
// trim thresholds follow the largest freed mapped block, up to 32 MiB).
void BM_LombScargleSpeedSetup(benchmark::State& state) {
  {
    std::vector<char> warm(std::size_t{31} << 20);
    benchmark::DoNotOptimize(warm.data());
  }
  const auto n = static_cast<int>(state.range(0));
  const auto s = test::makeSineSeries(42, n, 0.7, 0.3, 0.1, 1000.0);
  LombScargleOptions options = fastOptions(n, state.range(1));
  options.floatingMean = state.range(2) != 0;
  std::vector<double> weight;
  if (options.floatingMean) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> error(0.05, 0.15);
    for (int j = 0; j < n; ++j) {
      const double e = error(random);
      weight.push_back(1.0 / (e * e));
    }
  }
  RunControl rc;
  rc.threads = 1;
  for (auto _ : state) {
    LombScargleResult r = computeLombScarglePeriodogram(s.time, s.value, weight, options, rc);
    benchmark::DoNotOptimize(r.power.data());
  }
}
BENCHMARK(BM_LombScargleSpeedSetup)
    ->ArgsProduct({{1000, 10000, 100000, 1000000}, {10000, 100000, 1000000}, {1}})
    ->Args({10000, 16666, 0})
    ->Args({100000, 16666, 0})
    ->Args({10000, 199981, 0})
    ->ArgsProduct({{1000, 100000, 1000000}, {10000, 1000000}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
