// Redraw of the charts offscreen: refilling the series from the Workspace and
// painting them into a pixmap, for light curves and periodograms of growing
// size.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cmath>
#include <memory>
#include <random>

#include "ui/chart_view.h"

namespace {

using fazorn::Workspace;
using namespace fazorn::ui;

// A light curve of n points over 100 days with a 0.6 d sinusoid, noise and
// every tenth point marked; phased on the true period.
Workspace makeWorkspace(int n) {
  Workspace ws;
  std::mt19937 rng(12345);
  std::normal_distribution<double> noise(0.0, 0.02);
  auto& lc = ws.lightCurve;
  lc.pointCount = n;
  for (int i = 0; i < n; ++i) {
    const double t = 100.0 * i / n;
    lc.time.push_back(t);
    lc.value.push_back(12.0 + 0.3 * std::sin(2 * M_PI * t / 0.6) + noise(rng));
    lc.error.push_back(0.02);
    lc.weight.push_back(2500.0);
    lc.mark.push_back(i % 10 == 0 ? 1 : 0);
  }
  ws.period = 0.6;
  fazorn::computePhases(ws);
  return ws;
}

void BM_LightCurveAndPhaseRedraw(benchmark::State& state) {
  const Workspace ws = makeWorkspace(static_cast<int>(state.range(0)));
  std::unique_ptr<ChartView> c1(createLightCurveChart());
  std::unique_ptr<ChartView> c2(createPhaseChart());
  c1->resize(900, 271);
  c2->resize(448, 293);
  c1->show();
  c2->show();
  for (auto _ : state) {
    fillLightCurve(*c1, ws);
    fillPhaseDiagram(*c2, ws);
    if (state.range(1) != 0) {
      // Painting into the charts' buffers, as the window's replot does.
      c1->replot(QCustomPlot::rpImmediateRefresh);
      c2->replot(QCustomPlot::rpImmediateRefresh);
    }
  }
  state.counters["points"] = static_cast<double>(state.range(0));
}
// Second argument: 0 refills the series only, 1 also paints.
BENCHMARK(BM_LightCurveAndPhaseRedraw)
    ->Args({10000, 1})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond);

void BM_PeriodogramRedraw(benchmark::State& state) {
  Workspace ws;
  const int n = static_cast<int>(state.range(0));
  auto& pg = ws.periodogram;
  pg.frequencyCount = n;
  for (int i = 0; i < n; ++i) {
    const double f = 0.002 + i * 0.0003;
    pg.frequency.push_back(f);
    pg.power.push_back(std::fabs(std::sin(f * 37.0)) * std::exp(-f * 0.01));
  }
  std::unique_ptr<ChartView> c3(createPeriodogramChart());
  c3->resize(445, 293);
  c3->show();
  for (auto _ : state) {
    fillPeriodogram(*c3, ws);
    c3->replot(QCustomPlot::rpImmediateRefresh);
  }
  state.counters["frequencies"] = static_cast<double>(n);
}
BENCHMARK(BM_PeriodogramRedraw)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
