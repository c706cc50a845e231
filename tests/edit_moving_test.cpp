#include <vector>

#include "edit/binning.h"
#include "edit/marking.h"
#include "edit/moving.h"
#include "support/edit_workspace.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::loadedWorkspace;

// Adding a step of about 0.01 to values of about 10 is exact to a few ulps.
constexpr double kStepTolerance = test::kSumTolerance;

TEST(MoveMarkedPoints, StepsScaleWithTheValueRangeAndHaveFloors) {
  struct Case {
    MoveDirection direction;
    double range;   // value range of the light curve
    double dTime;   // expected shift of the marked time
    double dValue;  // expected shift of the marked value
  };
  const std::vector<Case> cases = {
      {MoveDirection::Up, 0.5, 0, -0.005},
      {MoveDirection::Down, 0.5, 0, +0.005},
      {MoveDirection::Left, 0.5, -0.0025, 0},
      {MoveDirection::Right, 0.5, +0.0025, 0},
      {MoveDirection::LeftFaster, 0.5, -0.025, 0},
      {MoveDirection::RightFaster, 0.5, +0.025, 0},
      // A flat light curve: the floors of the steps.
      {MoveDirection::Up, 0, 0, -0.0001},
      {MoveDirection::Down, 0, 0, +0.0001},
      {MoveDirection::Left, 0, -0.00001, 0},
      {MoveDirection::RightFaster, 0, +0.00001, 0},
  };
  for (const Case& c : cases) {
    Workspace ws = loadedWorkspace({100, 101, 102}, {10, 10 + c.range, 10});
    ws.lightCurve.mark[2] = 1;
    const Outcome out = moveMarkedPoints(ws, c.direction);
    const auto& lc = ws.lightCurve;
    EXPECT_NEAR(lc.time[2], 102 + c.dTime, kStepTolerance) << static_cast<int>(c.direction);
    EXPECT_NEAR(lc.value[2], 10 + c.dValue, kStepTolerance) << static_cast<int>(c.direction);
    // Unmarked points stay; marks stay for the next press.
    EXPECT_EQ(lc.time[0], 100);
    EXPECT_EQ(lc.value[1], 10 + c.range);
    EXPECT_EQ(lc.mark[2], 1);
    EXPECT_TRUE(out.redraw.lightCurve);
  }
}

TEST(MoveMarkedPoints, RepeatedMovesUseTheRecomputedRange) {
  Workspace ws = loadedWorkspace({1, 2}, {10, 10.5});
  ws.lightCurve.mark[1] = 1;
  moveMarkedPoints(ws, MoveDirection::Down);  // range 0.5 -> step 0.005
  moveMarkedPoints(ws, MoveDirection::Down);  // range 0.505 -> step 0.00505
  EXPECT_NEAR(ws.lightCurve.value[1], 10.5 + 0.005 + 0.00505, kStepTolerance);
  EXPECT_NEAR(ws.stats.valueRange, 0.51005, kStepTolerance);
}

TEST(RemoveMarkedPoints, KeepsOrderWeightsAndRephases) {
  Workspace ws = loadedWorkspace({1, 2, 3, 4, 5}, {11, 12, 13, 14, 15}, {0.1, 0.2, 0.3, 0.4, 0.5});
  const std::vector<double> weight = ws.lightCurve.weight;
  ws.period = 2.0;
  computePhases(ws);
  ws.phased = 1;
  ws.lightCurve.mark = {1, 0, 1, 0, 0};
  const Outcome out = removeMarkedPoints(ws);
  const auto& lc = ws.lightCurve;
  ASSERT_EQ(lc.pointCount, 3);
  EXPECT_EQ(lc.time, (std::vector<double>{2, 4, 5}));
  EXPECT_EQ(lc.value, (std::vector<double>{12, 14, 15}));
  EXPECT_EQ(lc.error, (std::vector<double>{0.2, 0.4, 0.5}));
  EXPECT_EQ(lc.weight, (std::vector<double>{weight[1], weight[3], weight[4]}));
  EXPECT_EQ(lc.mark, (std::vector<std::int32_t>{0, 0, 0}));
  EXPECT_EQ(lc.scratchValue.size(), 3u);
  // The phases follow the new point count, the periodogram leaves the chart.
  ASSERT_EQ(ws.phase.size(), 3u);
  EXPECT_DOUBLE_EQ(ws.phase[0], 0.0);  // time 2, period 2
  EXPECT_EQ(ws.phasedValue, (std::vector<double>{12, 14, 15}));
  EXPECT_TRUE(out.redraw.clearPeriodogram);
  EXPECT_TRUE(out.redraw.phaseDiagram);
  EXPECT_EQ(ws.panel.dataPoints, "3");
}

TEST(RemoveMarkedPoints, RemovingEveryPointLeavesAValidEmptyLightCurve) {
  Workspace ws = loadedWorkspace({1, 2}, {11, 12});
  ws.phased = 1;
  ws.lightCurve.mark = {1, 1};
  removeMarkedPoints(ws);
  const auto& lc = ws.lightCurve;
  EXPECT_EQ(lc.pointCount, 0);
  EXPECT_TRUE(lc.time.empty() && lc.value.empty() && lc.error.empty() && lc.weight.empty() &&
              lc.mark.empty());
  EXPECT_TRUE(ws.phase.empty());
  // Statistics without a division by zero.
  EXPECT_EQ(ws.stats.meanValue, 0.0);
  EXPECT_EQ(ws.stats.valueRange, 0.0);
  EXPECT_EQ(ws.panel.dataPoints, "0");
  EXPECT_EQ(ws.panel.meanMag, "-");
  EXPECT_EQ(ws.panel.rms, "-");
  EXPECT_EQ(ws.panel.gamma, "-");
  // Every further edit of the empty light curve is harmless.
  EXPECT_TRUE(moveMarkedPoints(ws, MoveDirection::Up).ok);
  EXPECT_TRUE(markSigmaOutliers(ws, 3).ok);
  EXPECT_TRUE(removeMarkedPoints(ws).ok);
  EXPECT_EQ(lc.pointCount, 0);
}

TEST(RemoveMarkedPoints, NothingWithoutALoadedFile) {
  Workspace ws;
  EXPECT_TRUE(removeMarkedPoints(ws).cancelled);
  EXPECT_TRUE(moveMarkedPoints(ws, MoveDirection::LeftFaster).cancelled);
  EXPECT_EQ(ws.lightCurve.pointCount, 0);
}

}  // namespace
}  // namespace fazorn
