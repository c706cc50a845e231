// The grid that follows the data on a survey-like light curve (300 points
// over 3000 days, periods 0.05 to 1500 d, 10 points per peak width: 600,000
// fine frequencies): the two-pass search against the whole fine grid, and
// the refinement of one peak.
#include <benchmark/benchmark.h>

#include "search/period_refinement.h"
#include "support/generators.h"

namespace {

using namespace fazorn;

struct Input {
  test::Series s;
  std::vector<double> weight;
  Input() : s(test::makeSineSeries(42, 300, 0.61, 0.3, 0.1, 3000.0)) {
    for (double e : s.error) weight.push_back(1.0 / (e * e));
  }
  LightCurveView view() const { return {s.time, s.value, weight}; }
};

GridSearchOptions options(SearchEngine engine, const Input& in) {
  GridSearchOptions o;
  o.engine = engine;
  o.minFrequency = 1.0 / 1500.0;
  o.maxFrequency = 20.0;
  o.peakWidth = 1.0 / timeSpanOf(in.s.time);
  o.step = o.peakWidth / 10.0;
  return o;
}

// Args: engine (0 AoV, 2 Lomb-Scargle).
void BM_TwoPassSearch(benchmark::State& state) {
  const Input in;
  const auto engine = static_cast<SearchEngine>(state.range(0));
  const auto stat = makePeriodStatistic(engine, in.view(), 2);
  const GridSearchOptions o = options(engine, in);
  RunControl rc;
  GridSearchResult r;
  for (auto _ : state) {
    r = searchGrid(*stat, o, rc);
    benchmark::DoNotOptimize(r.power.data());
  }
  state.counters["fine_frequencies"] = static_cast<double>(r.fineCount);
  state.counters["computed"] = static_cast<double>(r.frequency.size());
  state.counters["best_period"] = 1.0 / r.bestFrequency;
}
BENCHMARK(BM_TwoPassSearch)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_WholeFineGrid(benchmark::State& state) {
  const Input in;
  const auto engine = static_cast<SearchEngine>(state.range(0));
  const auto stat = makePeriodStatistic(engine, in.view(), 2);
  const GridSearchOptions o = options(engine, in);
  const int count = static_cast<int>((o.maxFrequency - o.minFrequency) / o.step);
  RunControl rc;
  for (auto _ : state) {
    std::vector<double> p = stat->powers(o.minFrequency, o.step, count, rc);
    benchmark::DoNotOptimize(p.data());
  }
  state.counters["fine_frequencies"] = count;
}
BENCHMARK(BM_WholeFineGrid)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_RefinePeak(benchmark::State& state) {
  const Input in;
  const auto engine = static_cast<SearchEngine>(state.range(0));
  const auto stat = makePeriodStatistic(engine, in.view(), 2);
  const GridSearchOptions o = options(engine, in);
  RefinedPeak r;
  for (auto _ : state) {
    r = refinePeak(*stat, 1 / 0.61, o.step, o.peakWidth);
    benchmark::DoNotOptimize(r.frequency);
  }
  state.counters["sigma_period"] = r.frequencyError * 0.61 * 0.61;
}
BENCHMARK(BM_RefinePeak)->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace
