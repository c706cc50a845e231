// The phased light-curve model runs twice per analysis on the window's
// thread: 100,000 points must fit in well under 50 ms. The classification
// that follows each fit is timed beside it.
#include <benchmark/benchmark.h>

#include "core/workspace.h"
#include "model/classification.h"
#include "model/phased_model.h"
#include "support/generators.h"

namespace {

void BM_FitPhasedLightCurve(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const fazorn::test::Series s = fazorn::test::makeSineSeries(7, n, 0.6137, 0.25, 0.02, 300.0);
  for (auto _ : state) {
    const fazorn::PhasedModel m = fazorn::fitPhasedLightCurve(s.time, s.value, 0.6137);
    benchmark::DoNotOptimize(m);
  }
  state.counters["points_per_s"] =
      benchmark::Counter(static_cast<double>(n) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FitPhasedLightCurve)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

void BM_ClassifyVariability(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const fazorn::test::Series s = fazorn::test::makeSineSeries(7, n, 0.6137, 0.25, 0.02, 300.0);
  fazorn::Workspace ws;
  ws.lightCurve.pointCount = n;
  ws.lightCurve.time = s.time;
  ws.lightCurve.value = s.value;
  ws.period = 0.6137;
  fazorn::fitPhasedLightCurve(ws);
  fazorn::computePhases(ws);
  for (auto _ : state) {
    fazorn::classifyVariability(ws);
    benchmark::DoNotOptimize(ws.typeScore);
  }
}
BENCHMARK(BM_ClassifyVariability)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// One long night on a long period: most of the phase grid is a gap that the
// model fills with synthetic points.
void BM_FitPhasedLightCurveOneNight(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const fazorn::test::Series s = fazorn::test::makeSineSeries(8, n, 2.7, 0.05, 0.005, 0.4);
  for (auto _ : state) {
    const fazorn::PhasedModel m = fazorn::fitPhasedLightCurve(s.time, s.value, 2.7);
    benchmark::DoNotOptimize(m);
  }
}
BENCHMARK(BM_FitPhasedLightCurveOneNight)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
