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

namespace {

using namespace fazorn;

// The coarse pass of a search over a long light curve: 200k points over
// 500 d, the step a third of a box's peak width (d / (3 T), d = 1 / 20),
// periods 1 to 10 d; the fast route's periodogram against the segments'
// folds on the same grid. Args: route (1 fast, 2 folds).
void BM_TransitCoarsePass(benchmark::State& state) {
  const auto s = test::makeSineSeries(43, 200000, 3.3, 0.01, 0.004, 500.0);
  std::vector<double> weight;
  for (double e : s.error) weight.push_back(1.0 / (e * e));
  const double step = 0.05 / (3.0 * 500.0);
  const GridCheck g = makeFrequencyGrid(0.1, 1.0, step);
  RunControl rc;
  rc.threads = 1;
  TransitOptions options{g.grid, 2, 5};
  options.route = SearchRoute::Fast;
  const bool folds = state.range(0) == 2;
  for (auto _ : state) {
    TransitResult r = folds ? computeTransitCandidates({s.time, s.value, weight}, options, rc)
                            : computeTransitPeriodogram({s.time, s.value, weight}, options, rc);
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["frequencies"] = g.grid.count;
}
BENCHMARK(BM_TransitCoarsePass)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
