#include <vector>

#include "edit/marking.h"
#include "support/edit_workspace.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::loadedWorkspace;

std::vector<int> marks(const Workspace& ws) {
  return {ws.lightCurve.mark.begin(), ws.lightCurve.mark.end()};
}

TEST(SigmaOutliers, EachPointsOwnErrorStrictBoundAndMarksReplaced) {
  // Mean of the values is 2. Point 0 lies exactly 2 errors off (never marked:
  // the bound is strict), point 1 four errors, point 2 has error 0 and lies
  // off the mean (marked by every factor), point 3 ten errors, point 4 sits
  // exactly at the mean with error 0 (never marked).
  Workspace ws = loadedWorkspace({1, 2, 3, 4, 5}, {0, 4, 1, 3, 2}, {1, 0.5, 0, 0.1, 0});
  ASSERT_DOUBLE_EQ(ws.stats.meanValue, 2.0);
  const std::vector<std::pair<double, std::vector<int>>> cases = {
      {5, {0, 0, 1, 1, 0}}, {3, {0, 1, 1, 1, 0}}, {2.5, {0, 1, 1, 1, 0}}, {2, {0, 1, 1, 1, 0}}};
  for (const auto& [factor, expected] : cases) {
    ws.lightCurve.mark[0] = 1;  // a clicked point that is no outlier
    const Outcome out = markSigmaOutliers(ws, factor);
    EXPECT_EQ(marks(ws), expected) << factor;
    EXPECT_TRUE(out.redraw.lightCurve);
    EXPECT_FALSE(out.redraw.phaseDiagram);  // not phased
  }
  // Phased: the phasing is refreshed and the phase diagram redrawn.
  computePhases(ws);
  ws.phased = 1;
  ws.phase.assign(5, 0.3);  // stale phases are recomputed
  const Outcome out = markSigmaOutliers(ws, 3);
  EXPECT_TRUE(out.redraw.phaseDiagram);
  EXPECT_DOUBLE_EQ(ws.phase[0], 0.0);  // time 1, period 1, t0 0
  EXPECT_EQ(ws.panel.periodField, "1.000000");
}

TEST(ClickRanges, NightAndMarkBetweenFollowTheClicks) {
  Workspace ws = loadedWorkspace({-0.3, -0.2, 0.0, 0.24, 0.25, 5.0, 5.1, 5.2, 5.2, 6.0},
                                 {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  ws.lightCurve.mark[9] = 1;  // existing marks stay
  // Before any click the last click time is 0.0.
  markNight(ws);
  EXPECT_EQ(marks(ws), (std::vector<int>{0, 1, 1, 1, 0, 0, 0, 0, 0, 1}));

  Workspace between = loadedWorkspace({-0.3, -0.2, 0.0, 0.24, 0.25, 5.0, 5.1, 5.2, 5.2, 6.0},
                                      {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  // Clicking the later point first gives an empty interval.
  toggleMarkInLightCurve(between, 5.1, 99);  // a click beside every point
  toggleMarkInLightCurve(between, 0.0, 99);
  markBetween(between);
  EXPECT_EQ(marks(between), std::vector<int>(10, 0));
  // In time order: the closed interval [0.0, 5.1].
  between.previousClickTime = 0.0;
  between.lastClickTime = 5.1;
  markBetween(between);
  EXPECT_EQ(marks(between), (std::vector<int>{0, 0, 1, 1, 1, 1, 1, 0, 0, 0}));
  // The same point clicked twice marks every point with exactly its time.
  between.previousClickTime = between.lastClickTime = 5.2;
  markBetween(between);
  EXPECT_EQ(marks(between), (std::vector<int>{0, 0, 1, 1, 1, 1, 1, 1, 1, 0}));

  // Unmarking clears everything and keeps the phase diagram away unphased.
  const Outcome out = unmarkPoints(between);
  EXPECT_EQ(marks(between), std::vector<int>(10, 0));
  EXPECT_TRUE(out.redraw.lightCurve);
  EXPECT_FALSE(out.redraw.phaseDiagram);
}

TEST(PhaseMarks, OpenBoundsOnPhaseAndPhasedValue) {
  Workspace ws = loadedWorkspace({1, 2, 3, 4, 5, 6}, {0, 0, 0, 0, 0, 0});
  ws.phased = 1;
  ws.phase = {0.026, 0.0259, -0.0259, -0.026, 0.0, 0.4};
  ws.phasedValue = {0.06, 0.0, -0.06, 0.0601, -0.0601, 0.0};
  const Outcome byMarkSpec = markSpec(ws);
  EXPECT_EQ(marks(ws), (std::vector<int>{0, 1, 1, 0, 1, 0}));
  EXPECT_TRUE(byMarkSpec.redraw.lightCurve);
  EXPECT_TRUE(byMarkSpec.redraw.phaseDiagram);
  unmarkPoints(ws);
  markPlusMinus(ws);
  EXPECT_EQ(marks(ws), (std::vector<int>{0, 0, 0, 1, 1, 0}));
}

TEST(PhaseMarks, HarmlessWithoutPhasesOrData) {
  // Phases of an earlier, longer light curve and phased 0 (as after a load):
  // nothing is read and nothing marked.
  Workspace ws = loadedWorkspace({1, 2}, {0.5, 0.5});
  ws.phase = {0, 0, 0, 0, 0};
  ws.phasedValue = {1, 1, 1, 1, 1};
  EXPECT_TRUE(markSpec(ws).cancelled);
  EXPECT_TRUE(markPlusMinus(ws).cancelled);
  EXPECT_EQ(marks(ws), (std::vector<int>{0, 0}));
  // Phased, but with fewer phases than points: only those are used.
  ws.phased = 1;
  ws.phase = {0.0};
  ws.phasedValue = {1.0};
  markSpec(ws);
  EXPECT_EQ(marks(ws), (std::vector<int>{1, 0}));

  Workspace empty;
  for (auto* command : {markNight, markBetween, markSpec, markPlusMinus, unmarkPoints}) {
    const Outcome out = command(empty);
    EXPECT_TRUE(out.cancelled);
    EXPECT_FALSE(out.redraw.lightCurve);
  }
  EXPECT_TRUE(markSigmaOutliers(empty, 3).cancelled);
}

}  // namespace
}  // namespace fazorn
