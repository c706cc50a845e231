// The AoVtr engine (phase order and box scan at every frequency) on the
// window's default grid, on the exact and the fast route.
#include <benchmark/benchmark.h>

#include "search/transit_periodogram.h"
#include "support/generators.h"

namespace {

using namespace fazorn;

// Args: points, threads, route (0 exact, 1 fast).
void BM_TransitPeriodogram(benchmark::State& state) {
  const auto s = test::makeSineSeries(42, static_cast<int>(state.range(0)), 0.7, 0.3, 0.1, 1000.0);
  std::vector<double> weight;
  for (double e : s.error) weight.push_back(1.0 / (e * e));
  const GridCheck g = makeFrequencyGrid(1.0 / 500.0, 1.0 / 0.2, 0.0003);
  RunControl rc;
  rc.threads = static_cast<int>(state.range(1));
  TransitOptions options{g.grid, 2, 5};
  options.route = state.range(2) == 1 ? SearchRoute::Fast : SearchRoute::Exact;
  for (auto _ : state) {
    TransitResult r = computeTransitPeriodogram({s.time, s.value, weight}, options, rc);
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["frequencies"] = g.grid.count;
  state.counters["point_freqs_per_s"] =
      benchmark::Counter(static_cast<double>(state.range(0)) * g.grid.count,
                         benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TransitPeriodogram)
    ->ArgsProduct({{10000, 100000}, {1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
