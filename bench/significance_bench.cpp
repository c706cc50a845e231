// The randomisation tests: permutation runs of Lomb-Scargle and of AoV on a
// 1,000-point light curve with the window's default settings (periods 0.2 to
// 500 d, resolution 0.0003, 2 harmonics: about 16,660 frequencies). The
// counter runs_per_s gives the time of the 100,000-run test as
// 100000 / runs_per_s; the arguments are the thread count, the route
// (0 exact, 1 the fastest) and whether the errors differ from point to point.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "commands/significance.h"
#include "core/workspace.h"
#include "support/generators.h"

namespace {

// Errors all equal (0.05), or spread over 0.025 .. 0.075 (permuted runs then
// carry new weights and the weight moments are recomputed in every run).
fazorn::Workspace lightCurve1000(bool varyingErrors = false) {
  fazorn::test::Series s = fazorn::test::makeSineSeries(7, 1000, 0.61, 0.2, 0.05, 300.0);
  if (varyingErrors)
    for (std::size_t i = 0; i < s.error.size(); ++i) s.error[i] *= 1.0 + 0.5 * std::sin(7.0 * i);
  fazorn::Workspace ws;
  auto& lc = ws.lightCurve;
  lc.pointCount = 1000;
  lc.time = s.time;
  lc.value = s.value;
  lc.error = s.error;
  for (double e : s.error) lc.weight.push_back((1.0 / e) / e);
  lc.mark.assign(1000, 0);
  lc.scratchValue.assign(1000, 0.0);
  lc.scratchError.assign(1000, 0.0);
  ws.dataLoaded = 1;
  return ws;
}

void runs(benchmark::State& state, fazorn::SearchEngine method, long iterations) {
  fazorn::Workspace ws = lightCurve1000(state.range(2) == 1);
  fazorn::SignificanceOptions options;
  options.method = method;
  options.iterations = iterations;
  // Second argument: 0 the exact routes, 1 the fastest (Auto).
  options.route = state.range(1) == 1 ? fazorn::SearchRoute::Auto : fazorn::SearchRoute::Exact;
  options.outputPath =
      (std::filesystem::temp_directory_path() / "fazorn-bench-significance.dat").string();
  fazorn::RunControl rc;
  rc.threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    fazorn::SignificanceResult result;
    fazorn::runSignificanceTest(ws, options, rc, &result);
    benchmark::DoNotOptimize(result.runsAtOrAbove);
  }
  state.counters["runs_per_s"] = benchmark::Counter(static_cast<double>(iterations),
                                                    benchmark::Counter::kIsIterationInvariantRate);
  std::filesystem::remove(options.outputPath);
}

// One observed search (on the engine's route) plus the permuted runs per
// iteration: few on the exact route, many more on the fastest, so that the
// runs and not the observed search dominate. Third argument: errors spread.
void BM_LombScarglePermutationRuns(benchmark::State& state) {
  runs(state, fazorn::SearchEngine::LombScargle, state.range(1) == 1 ? 2000 : 200);
}
BENCHMARK(BM_LombScarglePermutationRuns)
    ->Args({1, 0, 0})
    ->Args({2, 0, 0})
    ->Args({2, 1, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_AovPermutationRuns(benchmark::State& state) {
  runs(state, fazorn::SearchEngine::Aov, state.range(1) == 1 ? 400 : 20);
}
BENCHMARK(BM_AovPermutationRuns)
    ->Args({1, 0, 0})
    ->Args({2, 0, 0})
    ->Args({2, 0, 1})
    ->Args({2, 1, 0})
    ->Args({2, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
