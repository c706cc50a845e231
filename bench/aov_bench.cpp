// The AoV frequency loop, the program's hot path: the engine on the window's
// default grid (periods 0.2 to 500 d, resolution 0.0003 per day, 16,660
// frequencies, 2 harmonics) against the plain recurrence of the tests.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>

#include "reference/aov_reference.h"
#include "search/aov_periodogram.h"
#include "support/generators.h"

namespace {

using namespace fazorn;

struct Input {
  test::Series s;
  std::vector<double> weight;
  explicit Input(int n) : s(test::makeSineSeries(42, n, 0.7, 0.3, 0.1, 1000.0)) {
    for (double e : s.error) weight.push_back(1.0 / (e * e));
  }
  LightCurveView view() const { return {s.time, s.value, weight}; }
};

// Args: points, threads.
void BM_AovEngine(benchmark::State& state) {
  const Input in(static_cast<int>(state.range(0)));
  const GridCheck g = makeFrequencyGrid(1.0 / 500.0, 1.0 / 0.2, 0.0003);
  RunControl rc;
  rc.threads = static_cast<int>(state.range(1));
  double best = 0;
  for (auto _ : state) {
    AovResult r = computeAovPeriodogram(in.view(), {g.grid, 5}, rc);
    best = r.bestFrequency;
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["frequencies"] = g.grid.count;
  state.counters["best_period"] = 1.0 / best;
  state.counters["point_freqs_per_s"] =
      benchmark::Counter(static_cast<double>(state.range(0)) * g.grid.count,
                         benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AovEngine)
    ->Args({10000, 1})
    ->Args({10000, 2})
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Exact and Fourier routes on the fine grid of periods 0.05 to 500 d in
// steps of 0.0001 per day (199,980 frequencies), 2 harmonics.
// Args: points, route (0 exact, 1 Fourier), threads.
void BM_AovRoutes(benchmark::State& state) {
  const Input in(static_cast<int>(state.range(0)));
  const GridCheck g = makeFrequencyGrid(1.0 / 500.0, 1.0 / 0.05, 0.0001);
  RunControl rc;
  rc.threads = static_cast<int>(state.range(2));
  const SearchRoute route = state.range(1) == 1 ? SearchRoute::Fast : SearchRoute::Exact;
  double best = 0;
  for (auto _ : state) {
    AovResult r = computeAovPeriodogram(in.view(), {g.grid, 5, route}, rc);
    best = r.bestFrequency;
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["frequencies"] = g.grid.count;
  state.counters["best_period"] = 1.0 / best;
}
BENCHMARK(BM_AovRoutes)
    ->Args({10000, 1, 2})
    ->Args({100000, 1, 1})
    ->Args({100000, 1, 2})
    ->Args({100000, 0, 2})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Both routes on the window's default grid (16,660 frequencies), the case
// of the randomisation runs. Args: points, route (0 exact, 1 Fourier).
void BM_AovRoutesDefaultGrid(benchmark::State& state) {
  const Input in(static_cast<int>(state.range(0)));
  const GridCheck g = makeFrequencyGrid(1.0 / 500.0, 1.0 / 0.2, 0.0003);
  RunControl rc;
  const SearchRoute route = state.range(1) == 1 ? SearchRoute::Fast : SearchRoute::Exact;
  for (auto _ : state) {
    AovResult r = computeAovPeriodogram(in.view(), {g.grid, 5, route}, rc);
    benchmark::DoNotOptimize(r.power.data());
  }
}
BENCHMARK(BM_AovRoutesDefaultGrid)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One randomisation run on shared times against one engine search of the
// same light curve (BM_AovRoutesDefaultGrid/1000/0), single thread, default
// grid. Args: points, whether the run's weights are the reference weights
// (their moments are then reused: white-noise runs, equal errors).
void BM_AovSharedTimesRun(benchmark::State& state) {
  const Input in(static_cast<int>(state.range(0)));
  std::vector<double> weight = in.weight;
  for (std::size_t i = 0; i < weight.size(); ++i) weight[i] *= 1.0 + 0.5 * std::sin(3.0 * i);
  const GridCheck g = makeFrequencyGrid(1.0 / 500.0, 1.0 / 0.2, 0.0003);
  const AovSharedTimes shared(in.s.time, g.grid, 5, weight);
  std::vector<double> runWeight = weight;
  if (state.range(1) == 0) std::reverse(runWeight.begin(), runWeight.end());
  for (auto _ : state) {
    const AovSharedTimes::Peak p = shared.peak(in.s.value, runWeight);
    benchmark::DoNotOptimize(p.power);
  }
  state.counters["runs_per_s"] =
      benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AovSharedTimesRun)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The plain recurrence on a slice of 200 frequencies of the same grid
// (the whole grid takes about half a minute); compare point_freqs_per_s.
void BM_AovReference(benchmark::State& state) {
  const Input in(static_cast<int>(state.range(0)));
  const long slice = 200;
  for (auto _ : state) {
    auto r = reference::aovPeriodogramSlice(1.0 / 0.2, 1.0 / 500.0, in.s.time, in.s.value,
                                            in.weight, 5, 0.0003, 8000, slice);
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["point_freqs_per_s"] = benchmark::Counter(
      static_cast<double>(state.range(0)) * slice, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AovReference)->Args({10000})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
