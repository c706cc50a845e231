// Moving marked points in value or time, and removing them.
#include "edit/moving.h"

#include <cstddef>
#include <vector>

#include "edit/edit_common.h"

namespace fazorn {

using edit_detail::lightCurveRedrawnAndRephased;
using edit_detail::nothingDone;

namespace {

struct MoveRule {
  bool inTime;     // time[] (days) rather than value[]
  double factor;   // of the value range of the last redraw
  double minStep;  // floor of the step for a flat light curve
  double sign;     // +1 adds the step, -1 subtracts it
};

// "Up" subtracts from the value (magnitudes: brighter is up), "down" adds.
// The time moves scale with the value range too, not with the time span, and
// "faster" is ten times the plain step.
MoveRule ruleFor(MoveDirection direction) {
  switch (direction) {
    case MoveDirection::Up:
      return {false, 0.01, 0.0001, -1.0};
    case MoveDirection::Down:
      return {false, 0.01, 0.0001, +1.0};
    case MoveDirection::Left:
      return {true, 0.005, 0.00001, -1.0};
    case MoveDirection::Right:
      return {true, 0.005, 0.00001, +1.0};
    case MoveDirection::LeftFaster:
      return {true, 0.05, 0.00001, -1.0};
    case MoveDirection::RightFaster:
      return {true, 0.05, 0.00001, +1.0};
  }
  return {false, 0.0, 0.0, 0.0};
}

}  // namespace

Outcome moveMarkedPoints(Workspace& ws, MoveDirection direction) {
  const MoveRule rule = ruleFor(direction);
  double step = rule.factor * ws.stats.valueRange;
  if (step < rule.minStep) step = rule.minStep;
  if (ws.dataLoaded != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  std::vector<double>& target = rule.inTime ? lc.time : lc.value;
  // Marks stay, so repeating the command keeps moving the same points; the
  // redraw recomputes the value range, so the step changes as they move.
  for (int i = 0; i < lc.pointCount; ++i)
    if (lc.mark[i] == 1) target[i] += rule.sign * step;
  return lightCurveRedrawnAndRephased(ws);
}

Outcome removeMarkedPoints(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  std::size_t kept = 0;
  for (int i = 0; i < lc.pointCount; ++i) {
    if (lc.mark[i] == 1) continue;  // only marks of exactly 1 are dropped
    lc.time[kept] = lc.time[i];
    lc.value[kept] = lc.value[i];
    lc.error[kept] = lc.error[i];
    lc.weight[kept] = lc.weight[i];
    ++kept;
  }
  lc.pointCount = static_cast<std::int32_t>(kept);
  lc.time.resize(kept);
  lc.value.resize(kept);
  lc.error.resize(kept);
  lc.weight.resize(kept);
  lc.mark.assign(kept, 0);
  // The permutation's work copies follow the point count; their contents are
  // rewritten before every use.
  lc.scratchValue.assign(kept, 0.0);
  lc.scratchError.assign(kept, 0.0);
  // The phases are rebuilt for the new point count by the phasing refresh;
  // the periodogram no longer belongs to the data and leaves the chart (its
  // arrays stay).
  Outcome out = lightCurveRedrawnAndRephased(ws);
  out.redraw.clearPeriodogram = true;
  return out;
}

}  // namespace fazorn
