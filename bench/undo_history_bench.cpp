// Cost of recording and taking back editing commands: a click (one mark),
// white noise (every value) and "Remove marked points" (every array
// shortened), on light curves of 10^4 to 10^6 points.
#include <benchmark/benchmark.h>

#include "core/undo_history.h"
#include "edit/marking.h"
#include "edit/moving.h"
#include "edit/randomization.h"
#include "support/edit_workspace.h"
#include "support/generators.h"

namespace {

using fazorn::UndoHistory;
using fazorn::Workspace;

Workspace makeWorkspace(int n) {
  const fazorn::test::Series s = fazorn::test::makeSineSeries(5, n, 1.3, 0.2, 0.01, 1000.0);
  Workspace ws = fazorn::test::loadedWorkspace(s.time, s.value, s.error);
  ws.period = 1.3;
  fazorn::computePhases(ws);
  ws.phased = 1;
  return ws;
}

// kind 0: a click, 1: white noise, 2: remove every tenth point; record 1:
// the command recorded, then undo, redo, undo; record 0: the command alone
// (and its restoration, untimed), the baseline of the ratio.
void BM_RecordUndoRedo(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int kind = static_cast<int>(state.range(1));
  const bool record = state.range(2) != 0;
  const Workspace original = makeWorkspace(n);
  Workspace ws = makeWorkspace(n);
  UndoHistory history;
  std::size_t stepBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (kind == 2)
      for (int i = 0; i < ws.lightCurve.pointCount; i += 10) ws.lightCurve.mark[i] = 1;
    state.ResumeTiming();
    if (record) history.begin(ws);
    if (kind == 0)
      fazorn::toggleMarkInLightCurve(ws, ws.lightCurve.time[n / 2], ws.lightCurve.value[n / 2]);
    else if (kind == 1)
      fazorn::generateWhiteNoise(ws, 7);
    else
      fazorn::removeMarkedPoints(ws);
    if (record) {
      history.commit(ws, "step");
      stepBytes = history.bytes();
      history.undo(ws);
      history.redo(ws);
      history.undo(ws);
    }
    state.PauseTiming();
    history.clear();
    ws = original;
    state.ResumeTiming();
  }
  state.counters["step_bytes"] = static_cast<double>(stepBytes);
  state.counters["points"] = n;
}
BENCHMARK(BM_RecordUndoRedo)
    ->ArgsProduct({{10000, 100000, 1000000}, {0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
