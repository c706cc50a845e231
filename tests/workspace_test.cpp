// Phasing, number formats, the index sort and the light-curve statistics.
#include "core/workspace.h"

#include <cmath>
#include <string>

#include "core/number_format.h"
#include "core/results_panel.h"
#include "core/statistics.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

Workspace withTimes(std::vector<double> times) {
  Workspace ws;
  auto& lc = ws.lightCurve;
  lc.pointCount = static_cast<int>(times.size());
  lc.time = times;
  lc.value.assign(times.size(), 1.0);
  for (std::size_t i = 0; i < times.size(); ++i) lc.value[i] = 10.0 + static_cast<double>(i);
  lc.error.assign(times.size(), 0.1);
  lc.weight.assign(times.size(), 100.0);
  lc.mark.assign(times.size(), 0);
  return ws;
}

TEST(ComputePhases, FollowsTheTruncationRuleOnBothSidesOfT0) {
  Workspace ws = withTimes({10.0, 10.5, 9.5, 10.75, 9.75, 8.0, 12.3, -3.1});
  ws.period = 1.0;
  ws.t0 = 10.0;
  computePhases(ws);
  EXPECT_EQ(ws.phased, 1);
  EXPECT_EQ(ws.phase[0], 0.0);           // at t0
  EXPECT_EQ(ws.phase[1], 0.5);           // half a period after
  EXPECT_EQ(ws.phase[2], 0.5);           // half a period before: -0.5 + 1
  EXPECT_DOUBLE_EQ(ws.phase[3], -0.25);  // 0.75 after
  EXPECT_DOUBLE_EQ(ws.phase[4], -0.25);  // 0.25 before
  EXPECT_EQ(ws.phase[5], 0.0);           // whole periods before
  for (double p : ws.phase) {
    EXPECT_GT(p, -0.5);
    EXPECT_LE(p, 0.5);
  }
  // A period of 0 phases everything to 0.
  ws.period = 0.0;
  computePhases(ws);
  for (double p : ws.phase) EXPECT_EQ(p, 0.0);

  // A negative period typed into the field still phases into (-0.5, 0.5],
  // and as the positive period does up to the sign of the phase.
  ws.period = -1.0;
  computePhases(ws);
  for (double p : ws.phase) {
    EXPECT_GT(p, -0.5);
    EXPECT_LE(p, 0.5);
  }
  EXPECT_DOUBLE_EQ(ws.phase[3], 0.25);                  // 0.75 after t0 at period -1
  EXPECT_NEAR(ws.phase[6], -0.3, test::kSumTolerance);  // 2.3 after t0 (12.3 - 10 is not exact)
}

TEST(ComputePhases, PhasedValuesAreACopyTakenAtPhasing) {
  Workspace ws = withTimes({1, 2, 3});
  computePhases(ws);
  ws.lightCurve.value[0] += 0.5;
  EXPECT_EQ(ws.phasedValue[0], 10.0);
}

TEST(ManualPhasing, ShiftT0TwiceKeepsThePhasesAndClearsTheSearchTexts) {
  Workspace ws = withTimes({0.1, 0.37, 1.9, 2.45, 7.3});
  ws.period = 0.8;
  ws.t0 = 0.05;
  ws.panel.error = "0.1";
  ws.panel.type = "RRAB";
  ws.panel.maxMag = "12.00000";
  refreshPhasing(ws);
  auto before = ws.phase;
  shiftT0(ws);
  shiftT0(ws);
  EXPECT_DOUBLE_EQ(ws.t0, 0.05 + 0.8);
  test::expectArraysNear(ws.phase, before, test::kSumTolerance, "phase");
  EXPECT_EQ(ws.panel.error, "-");
  EXPECT_EQ(ws.panel.type, "-");
  EXPECT_EQ(ws.panel.score, "-");
  EXPECT_EQ(ws.panel.maxMag, "12.00000");
  EXPECT_EQ(ws.panel.t0, "0.850000");
  EXPECT_EQ(ws.panel.period, "0.800000");
  EXPECT_TRUE(ws.commands.doublePeriod);
  doublePeriod(ws);
  EXPECT_EQ(ws.panel.periodField, "1.600000");
  halvePeriod(ws);
  halvePeriod(ws);
  EXPECT_EQ(ws.period, 0.4);
}

TEST(NumberFormat, FixedPointWithDecimalsAndPrecision) {
  EXPECT_EQ(formatFixed(0.5, 6, 9), "0.500000");
  EXPECT_EQ(formatFixed(-1.25, 2, 5), "-1.25");
  EXPECT_EQ(formatFixed(500.0, 2, 5), "500.00");
  EXPECT_EQ(formatFixed(0.0003, 5, 7), "0.00030");
  // Rounded to the precision first, then padded with zeros.
  EXPECT_EQ(formatFixed(123.456789, 4, 5), "123.4600");
  EXPECT_EQ(formatFixed(1.0 / 1440.0, 5, 8), "0.00069");
  // Too many integer digits: scientific notation.
  EXPECT_EQ(formatFixed(2450000.123, 6, 5), "2.4500E+06");
  EXPECT_EQ(formatFixed(2450000.123, 6, 14), "2450000.123000");
  EXPECT_EQ(formatFixed(-0.0000001, 6, 10), "0.000000");
  EXPECT_EQ(formatFixed(1.5, 1, 3, ','), "1,5");
  EXPECT_EQ(formatFixed(std::nan(""), 2, 5), "NAN");
  EXPECT_EQ(formatFixed(-HUGE_VAL, 2, 5), "-INF");
  EXPECT_EQ(formatExact(0.1), "0.1");
}

TEST(NumberFormat, ProbabilityAsPercentageOrSmallInScientificNotation) {
  EXPECT_EQ(formatProbability(0.125), "12.5%");
  EXPECT_EQ(formatProbability(1.0), "100.0%");
  EXPECT_EQ(formatProbability(0.001), "0.1%");
  EXPECT_EQ(formatProbability(0.05, ','), "5,0%");
  // Where one decimal of a percentage would read "0.0%".
  EXPECT_EQ(formatProbability(0.000999), "9.99e-04");
  EXPECT_EQ(formatProbability(7.8e-93), "7.80e-93");
  EXPECT_EQ(formatProbability(2.5e-7, ','), "2,50e-07");
  EXPECT_EQ(formatProbability(0.0), "0.00e+00");
  EXPECT_EQ(formatProbability(std::nan("")), "NAN%");
}

TEST(IndexSort, AscendingWithTheHeapSortOrderOfEqualValues) {
  std::vector<double> equal(8, 1e13);
  std::vector<int> index(8);
  indexSort(equal, index);
  EXPECT_EQ(index, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 0}));

  std::vector<double> values{3.0, -1.0, 2.5, 7.0, 0.0, 2.5};
  index.resize(values.size());
  indexSort(values, index);
  for (std::size_t i = 1; i < index.size(); ++i) EXPECT_LE(values[index[i - 1]], values[index[i]]);
  std::vector<int> single(1);
  indexSort(std::vector<double>{5.0}, single);
  EXPECT_EQ(single[0], 0);
}

TEST(LightCurveStatistics, MeansRmsSpanAndCadence) {
  Workspace ws = withTimes({0, 1, 2, 4});
  computeLightCurveStatistics(ws);
  updateStatisticsTexts(ws);
  const auto& s = ws.stats;
  EXPECT_DOUBLE_EQ(s.meanValue, 11.5);
  EXPECT_DOUBLE_EQ(s.rms, std::sqrt(1.25));  // population form
  EXPECT_EQ(s.timeSpan, 4.0);
  EXPECT_EQ(s.valueRange, 3.0);
  EXPECT_DOUBLE_EQ(s.meanTime, 1.75);
  EXPECT_EQ(ws.panel.gamma, "0.00069");
  EXPECT_EQ(ws.panel.timeSpan, "4.0000");
  // Even count of differences: the upper of the two middle ones.
  ws = withTimes({0, 1, 3});
  computeLightCurveStatistics(ws);
  EXPECT_DOUBLE_EQ(ws.stats.cadenceRatio, 1.0 / 1440.0 / 2.0);
}

TEST(LightCurveStatistics, EmptyAndSinglePointCurvesShowDashes) {
  Workspace ws = withTimes({});
  refreshLightCurveStatistics(ws);
  EXPECT_EQ(ws.panel.dataPoints, "0");
  EXPECT_EQ(ws.panel.meanMag, "-");
  EXPECT_EQ(ws.stats.rms, 0.0);
  ws = withTimes({5.0});
  refreshLightCurveStatistics(ws);
  EXPECT_EQ(ws.panel.gamma, "-");
  EXPECT_EQ(ws.panel.rms, "0.00000000");
  EXPECT_EQ(ws.stats.cadenceRatio, 0.0);
}

}  // namespace
}  // namespace fazorn
