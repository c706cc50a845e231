// Undo and redo of the editing commands: every kind of command comes back bit
// for bit, many levels deep, within the memory budget, and undo after an
// unrecorded search keeps the search's results.
#include "core/undo_history.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>

#include "commands/model_chain.h"
#include "core/results_panel.h"
#include "edit/marking.h"
#include "edit/moving.h"
#include "edit/randomization.h"
#include "edit/transformations.h"
#include "support/edit_workspace.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Everything but the arrays, compared with ==; the arrays bit for bit.
void expectSameWorkspace(const Workspace& actual, const Workspace& expected) {
  const LightCurve& a = actual.lightCurve;
  const LightCurve& e = expected.lightCurve;
  EXPECT_TRUE(sameBits(a.time, e.time));
  EXPECT_TRUE(sameBits(a.value, e.value));
  EXPECT_TRUE(sameBits(a.error, e.error));
  EXPECT_TRUE(sameBits(a.weight, e.weight));
  EXPECT_TRUE(sameBits(a.mark, e.mark));
  EXPECT_TRUE(sameBits(a.scratchValue, e.scratchValue));
  EXPECT_TRUE(sameBits(a.scratchError, e.scratchError));
  EXPECT_TRUE(sameBits(actual.phase, expected.phase));
  EXPECT_TRUE(sameBits(actual.phasedValue, expected.phasedValue));
  EXPECT_TRUE(sameBits(actual.periodogram.frequency, expected.periodogram.frequency));
  EXPECT_TRUE(sameBits(actual.periodogram.power, expected.periodogram.power));
  EXPECT_EQ(actual.stats, expected.stats);
  EXPECT_EQ(actual.panel, expected.panel);
  EXPECT_TRUE(actual == expected);  // the small fields too
}

// A phased, fitted light curve with a periodogram and two marked points, as
// after a search and a few clicks.
Workspace preparedWorkspace() {
  const test::Series s = test::makeSineSeries(7, 300, 2.5, 0.3, 0.02, 60.0);
  Workspace ws = test::loadedWorkspace(s.time, s.value, s.error);
  ws.period = 2.5;
  refreshPhasing(ws);
  getStatistics(ws);
  ws.periodogram.frequency = {0.1, 0.2, 0.3, 0.4};
  ws.periodogram.power = {0.1, 0.9, 0.2, 0.05};
  ws.periodogram.frequencyCount = 4;
  ws.lightCurve.mark[3] = ws.lightCurve.mark[10] = 1;
  ws.previousClickTime = s.time[20];
  ws.lastClickTime = s.time[40];
  return ws;
}

struct CommandCase {
  const char* name;
  std::function<Outcome(Workspace&)> run;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

std::string caseName(const testing::TestParamInfo<CommandCase>& info) {
  std::string n;
  for (const char* c = info.param.name; *c; ++c)
    if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
  return n;
}

class EveryRecordedCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(EveryRecordedCommand, UndoAndRedoRestoreTheWorkspaceBitForBit) {
  Workspace ws = preparedWorkspace();
  const Workspace before = ws;
  UndoHistory history;
  history.begin(ws);
  GetParam().run(ws);
  ASSERT_TRUE(history.commit(ws, GetParam().name)) << "the command changed nothing";
  const Workspace after = ws;
  EXPECT_EQ(history.undoName(), GetParam().name);

  EXPECT_TRUE(history.undo(ws).ok);
  expectSameWorkspace(ws, before);
  EXPECT_EQ(history.redoName(), GetParam().name);
  EXPECT_TRUE(history.redo(ws).ok);
  expectSameWorkspace(ws, after);
  // And once more: the steps survive a round trip.
  EXPECT_TRUE(history.undo(ws).ok);
  expectSameWorkspace(ws, before);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, EveryRecordedCommand,
    testing::Values(
        CommandCase{"Click on a point",
                    [](Workspace& ws) {
                      return toggleMarkInLightCurve(ws, ws.lightCurve.time[5],
                                                    ws.lightCurve.value[5]);
                    }},
        CommandCase{"Click in the phase diagram",
                    [](Workspace& ws) {
                      return toggleMarkInPhaseDiagram(ws, ws.phase[8] + 1, ws.phasedValue[8]);
                    }},
        CommandCase{"2-sigma outliers", [](Workspace& ws) { return markSigmaOutliers(ws, 2); }},
        CommandCase{"Night", [](Workspace& ws) { return markNight(ws); }},
        CommandCase{"Mark between", [](Workspace& ws) { return markBetween(ws); }},
        CommandCase{"Mark spec", [](Workspace& ws) { return markSpec(ws); }},
        CommandCase{"Unmark points", [](Workspace& ws) { return unmarkPoints(ws); }},
        CommandCase{"Move up",
                    [](Workspace& ws) { return moveMarkedPoints(ws, MoveDirection::Up); }},
        CommandCase{"Move right faster",
                    [](Workspace& ws) { return moveMarkedPoints(ws, MoveDirection::RightFaster); }},
        CommandCase{"Remove marked points", [](Workspace& ws) { return removeMarkedPoints(ws); }},
        CommandCase{"Normalize light curve", [](Workspace& ws) { return normalizeLightCurve(ws); }},
        CommandCase{"Add to X", [](Workspace& ws) { return addToX(ws, 0.1); }},
        CommandCase{"Add to Y", [](Workspace& ws) { return addToY(ws, -3.25); }},
        CommandCase{"Add flipped dataset", [](Workspace& ws) { return addFlippedDataset(ws); }},
        CommandCase{"Spectral window", [](Workspace& ws) { return spectralWindow(ws); }},
        CommandCase{"Generate white noise",
                    [](Workspace& ws) { return generateWhiteNoise(ws, 11); }},
        CommandCase{"Randomly permute", [](Workspace& ws) { return randomlyPermute(ws, 12); }},
        CommandCase{"Remove period", [](Workspace& ws) { return removePeriod(ws); }}),
    caseName);

TEST(UndoHistory, ManyLevelsBackAndForthAndANewCommandDropsTheRedoSteps) {
  Workspace ws = preparedWorkspace();
  UndoHistory history;
  std::vector<Workspace> states{ws};
  const std::function<Outcome(Workspace&)> commands[] = {
      [](Workspace& w) { return markSigmaOutliers(w, 2); },
      [](Workspace& w) { return removeMarkedPoints(w); },
      [](Workspace& w) { return addToY(w, 1.5); },
      [](Workspace& w) { return addFlippedDataset(w); },
      [](Workspace& w) { return randomlyPermute(w, 3); },
  };
  std::vector<std::uint64_t> ids{history.stateId()};
  for (const auto& command : commands) {
    history.begin(ws);
    command(ws);
    ASSERT_TRUE(history.commit(ws, "step"));
    states.push_back(ws);
    ids.push_back(history.stateId());
  }
  EXPECT_EQ(history.undoCount(), 5u);
  for (int k = 4; k >= 0; --k) {
    ASSERT_TRUE(history.undo(ws).ok);
    expectSameWorkspace(ws, states[k]);
    EXPECT_EQ(history.stateId(), ids[k]);  // unsaved-changes tracking returns too
  }
  EXPECT_FALSE(history.canUndo());
  EXPECT_FALSE(history.undo(ws).ok);
  for (int k = 1; k <= 3; ++k) {
    ASSERT_TRUE(history.redo(ws).ok);
    expectSameWorkspace(ws, states[k]);
  }
  history.begin(ws);
  unmarkPoints(ws);
  markNight(ws);
  ASSERT_TRUE(history.commit(ws, "Night"));
  EXPECT_FALSE(history.canRedo());
  EXPECT_EQ(history.undoCount(), 4u);
  ASSERT_TRUE(history.undo(ws).ok);
  expectSameWorkspace(ws, states[3]);
}

TEST(UndoHistory, CommandsThatChangeNothingAreNotRecorded) {
  Workspace ws = preparedWorkspace();
  UndoHistory history;
  const std::uint64_t id = history.stateId();
  history.begin(ws);
  toggleMarkInLightCurve(ws, -1e9, 0.0);  // hits no point, only the click times move
  EXPECT_FALSE(history.commit(ws, "Click on a point"));
  history.begin(ws);
  moveMarkedPoints(ws, MoveDirection::Up);
  history.abandon();
  EXPECT_FALSE(history.commit(ws, "Move up"));  // no begin() any more
  EXPECT_FALSE(history.canUndo());
  EXPECT_EQ(history.stateId(), id);
}

TEST(UndoHistory, FilesWrittenSinceDoNotStopAnExactUndo) {
  Workspace ws = preparedWorkspace();
  const Workspace before = ws;
  ASSERT_NE(before.panel.type, "-");
  UndoHistory history;
  history.begin(ws);
  markSigmaOutliers(ws, 2);
  ASSERT_TRUE(history.commit(ws, "2-sigma outliers"));
  // "Save Phased Data", "Save Data As..." and a randomisation file since.
  ws.files.outputPath = "/data/star-phased.dat";
  ws.files.dataPath = "/data/copy.dat";
  ws.caption = "Fazorn * /data/copy.dat";
  ws.randomizationRunCounter = 3;
  ASSERT_TRUE(history.undo(ws).ok);
  EXPECT_EQ(ws.panel.type, before.panel.type);  // exact: no refresh cleared it
  EXPECT_TRUE(sameBits(ws.lightCurve.mark, before.lightCurve.mark));
  EXPECT_EQ(ws.files.outputPath, "/data/star-phased.dat");
  EXPECT_EQ(ws.files.dataPath, "/data/copy.dat");
  EXPECT_EQ(ws.caption, "Fazorn * /data/copy.dat");
  EXPECT_EQ(ws.randomizationRunCounter, 3);
}

TEST(UndoHistory, UndoAfterASearchKeepsTheResultsAndRefreshesThePhases) {
  Workspace ws = preparedWorkspace();
  const Workspace before = ws;
  UndoHistory history;
  history.begin(ws);
  removeMarkedPoints(ws);
  ASSERT_TRUE(history.commit(ws, "Remove marked points"));
  // A command the history does not record: manual phasing at a new period.
  phaseManually(ws, 1.25, 3.0);
  ASSERT_TRUE(history.undo(ws).ok);
  const LightCurve& lc = ws.lightCurve;
  EXPECT_TRUE(sameBits(lc.time, before.lightCurve.time));
  EXPECT_TRUE(sameBits(lc.value, before.lightCurve.value));
  EXPECT_TRUE(sameBits(lc.mark, before.lightCurve.mark));
  EXPECT_EQ(lc.pointCount, before.lightCurve.pointCount);
  EXPECT_EQ(ws.stats, before.stats);
  EXPECT_EQ(ws.period, 1.25);
  EXPECT_EQ(ws.t0, 3.0);
  ASSERT_EQ(ws.phase.size(), lc.time.size());
  for (std::size_t i = 0; i < ws.phase.size(); ++i)
    ASSERT_EQ(ws.phase[i], phaseOf(lc.time[i], 1.25, 3.0)) << i;
  // Redo removes the points again at the new period.
  ASSERT_TRUE(history.redo(ws).ok);
  EXPECT_EQ(ws.lightCurve.pointCount, before.lightCurve.pointCount - 2);
  EXPECT_EQ(ws.phase.size(), ws.lightCurve.time.size());
  EXPECT_EQ(ws.period, 1.25);
}

TEST(UndoHistory, ObservationsChangedOutsideTheHistoryAreNeverPatched) {
  Workspace ws = preparedWorkspace();
  UndoHistory history;
  history.begin(ws);
  addToY(ws, 1.0);
  ASSERT_TRUE(history.commit(ws, "Add to Y"));
  ws.lightCurve.value[0] += 1.0;  // as a command without undo would
  const Workspace changed = ws;
  const Outcome out = history.undo(ws);
  EXPECT_FALSE(out.ok);
  ASSERT_TRUE(out.message.has_value());
  EXPECT_NE(out.message->text.find("cleared"), std::string::npos);
  expectSameWorkspace(ws, changed);
  EXPECT_FALSE(history.canUndo());
  EXPECT_FALSE(history.canRedo());
}

TEST(UndoHistory, StepsStayWithinTheBudgetKeepingTheNewest) {
  const test::Series s = test::makeSineSeries(3, 20000, 1.7, 0.2, 0.01, 100.0);
  Workspace ws = test::loadedWorkspace(s.time, s.value, s.error);
  // One white-noise step changes every value: about 20000 x (4 + 2 x 8)
  // bytes. A budget of 1 MB holds two such steps, not three.
  UndoHistory history(1'000'000);
  for (int k = 0; k < 6; ++k) {
    history.begin(ws);
    generateWhiteNoise(ws, static_cast<std::uint64_t>(k));
    ASSERT_TRUE(history.commit(ws, "Generate white noise"));
    EXPECT_LE(history.bytes(), history.budgetBytes());
  }
  EXPECT_EQ(history.undoCount(), 2u);
  // Removing two points keeps only those two (per array), not the arrays:
  // far less than one array of 20000 doubles.
  UndoHistory removal;
  ws.lightCurve.mark[100] = ws.lightCurve.mark[15000] = 1;
  removal.begin(ws);
  removeMarkedPoints(ws);
  ASSERT_TRUE(removal.commit(ws, "Remove marked points"));
  EXPECT_LT(removal.bytes(), 20000 * sizeof(double) / 4);
  // A step larger than the whole budget is still kept as the one level.
  UndoHistory tiny(1000);
  tiny.begin(ws);
  removeMarkedPoints(ws);
  markSigmaOutliers(ws, 0.5);
  ASSERT_TRUE(tiny.commit(ws, "Mark"));
  tiny.begin(ws);
  removeMarkedPoints(ws);
  ASSERT_TRUE(tiny.commit(ws, "Remove marked points"));
  EXPECT_EQ(tiny.undoCount(), 1u);
  EXPECT_EQ(tiny.undoName(), "Remove marked points");
  const int kept = ws.lightCurve.pointCount;
  ASSERT_TRUE(tiny.undo(ws).ok);
  EXPECT_GT(ws.lightCurve.pointCount, kept);
}

}  // namespace
}  // namespace fazorn
