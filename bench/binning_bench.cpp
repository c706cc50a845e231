// Binning a million-point light curve into derived files: minute, day and
// phased bins, file writing included.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "core/file_names.h"
#include "core/results_panel.h"
#include "core/statistics.h"
#include "core/workspace.h"
#include "edit/binning.h"
#include "support/generators.h"

namespace {

// Two years of observations, a point every ~63 s on average, phased on the
// generated period.
fazorn::Workspace makeWorkspace(int points) {
  const auto s = fazorn::test::makeSineSeries(2024, points, 0.61, 0.3, 0.02, 730.0);
  fazorn::Workspace ws;
  auto& lc = ws.lightCurve;
  lc.pointCount = points;
  lc.time = s.time;
  lc.value = s.value;
  lc.error = s.error;
  lc.weight.resize(points);
  for (int i = 0; i < points; ++i) lc.weight[i] = (1 / s.error[i]) / s.error[i];
  lc.mark.assign(points, 0);
  const auto dir = std::filesystem::temp_directory_path() / "fazorn-binning-bench";
  std::filesystem::create_directories(dir);
  fazorn::splitDataPath((dir / "star.dat").string(), ws.files);
  fazorn::resetAfterLoad(ws);
  fazorn::refreshLightCurveStatistics(ws);
  ws.period = 0.61;
  fazorn::computePhases(ws);
  fazorn::enableAfterPhasing(ws);
  return ws;
}

template <typename Bin>
void runBinning(benchmark::State& state, Bin bin) {
  fazorn::Workspace ws = makeWorkspace(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto out = bin(ws);
    benchmark::DoNotOptimize(out.ok);
  }
  state.counters["points_per_s"] = benchmark::Counter(
      static_cast<double>(state.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_MinuteBinning(benchmark::State& state) {
  runBinning(state, [](fazorn::Workspace& ws) { return fazorn::binByMinutes(ws, 5); });
}
void BM_DayBinning(benchmark::State& state) {
  runBinning(state, [](fazorn::Workspace& ws) { return fazorn::binByDay(ws); });
}
void BM_PhasedBinning(benchmark::State& state) {
  runBinning(state, [](fazorn::Workspace& ws) { return fazorn::savePhasedBinned(ws); });
}

BENCHMARK(BM_MinuteBinning)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DayBinning)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PhasedBinning)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
