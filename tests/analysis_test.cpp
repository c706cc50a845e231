#include "commands/analysis.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <ostream>
#include <sstream>

#include "commands/significance.h"
#include "core/derived_files.h"
#include "core/observation_file.h"
#include "core/statistics.h"
#include "edit/binning.h"
#include "edit/transformations.h"
#include "model/classification.h"
#include "search/aov_periodogram.h"
#include "search/lomb_scargle.h"
#include "support/edit_workspace.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

constexpr const char* kRangeWarning =
    "Min period is negative or greater than Max period! Calculation aborted";

// A text that ends in a number printed with 6 decimals (after `prefix`,
// with the window's decimal separator) that reads back as `value`.
void expectSixDecimals(const std::string& text, const std::string& prefix, double value,
                       char separator = '.') {
  ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
  std::string number = text.substr(prefix.size());
  const std::size_t point = number.find(separator);
  ASSERT_NE(point, std::string::npos) << text;
  EXPECT_EQ(number.size() - point - 1, 6u) << text;
  number[point] = '.';
  EXPECT_NEAR(std::stod(number), value, test::kSixDecimals) << text;
}

class Analysis : public ::testing::Test {
 protected:
  void load(const test::Series& s) {
    test::writeSeries(dir / "star.dat", s);
    ASSERT_TRUE(loadObservations(ws, (dir / "star.dat").string()).ok);
  }
  void loadText(const std::string& text) {
    test::writeText(dir / "star.dat", text);
    ASSERT_TRUE(loadObservations(ws, (dir / "star.dat").string()).ok);
  }
  // The fields a refused or cancelled command must not touch.
  void expectUnchanged(const Workspace& before) {
    EXPECT_EQ(ws.period, before.period);
    EXPECT_EQ(ws.periodError, before.periodError);
    EXPECT_EQ(ws.bestFrequency, before.bestFrequency);
    EXPECT_EQ(ws.periodogram.frequency, before.periodogram.frequency);
    EXPECT_EQ(ws.periodogram.maxPower, before.periodogram.maxPower);
    EXPECT_EQ(ws.phased, before.phased);
    EXPECT_EQ(ws.phase, before.phase);
    EXPECT_EQ(ws.panel.period, before.panel.period);
  }
  test::TempDir dir;
  Workspace ws;
};

TEST_F(Analysis, AovCommandDerivesPeriodErrorPhasesAndTexts) {
  load(test::makeSineSeries(1, 300, 1.37, 0.3, 0.05, 200.0));
  ws.settings = {0.5, 10.0, 2, 0.0007};
  const Outcome out = analyseAov(ws, RunControl{});
  ASSERT_TRUE(out.ok) << (out.message ? out.message->text : "");
  EXPECT_NEAR(ws.period, 1.37, test::gridPeriodTolerance(1.37, 0.0007));
  EXPECT_EQ(ws.period, 1 / ws.bestFrequency);
  EXPECT_EQ(ws.maxFrequency, 1 / 0.5);
  EXPECT_EQ(ws.minFrequency, 1 / 10.0);
  EXPECT_EQ(ws.harmonicTerms, 5);
  // (2 - 0.1) / 0.0007 = 2714.29 frequencies, the last partial step dropped.
  EXPECT_EQ(ws.periodogram.frequencyCount, 2714);
  // Half the spread of the periods one grid step h either side of the peak,
  // over the peak's power: to first order P^2 h / power; the exact
  // difference of reciprocals is larger by 1 / (1 - (hP)^2), 1 + 5e-7 here.
  const double h = 1.9 / 2714;
  const double firstOrder = ws.period * ws.period * h / ws.periodogram.maxPower;
  EXPECT_NEAR(ws.periodError, firstOrder, firstOrder * 2 * (h * ws.period) * (h * ws.period));
  EXPECT_GT(ws.periodError, firstOrder);

  // The same periodogram as the engine alone.
  const GridCheck g = makeFrequencyGrid(0.1, 2.0, 0.0007);
  const AovResult direct = computeAovPeriodogram(viewOf(ws.lightCurve), {g.grid, 5}, RunControl{});
  EXPECT_EQ(ws.periodogram.power, direct.power);
  EXPECT_EQ(ws.periodogram.maxPower, direct.maxPower);

  ASSERT_TRUE(out.status[0].has_value());
  expectSixDecimals(*out.status[0], "Max power: ", ws.periodogram.maxPower);
  EXPECT_EQ(out.status[1], std::optional<std::string>(""));
  expectSixDecimals(ws.panel.error, "", ws.periodError);
  EXPECT_TRUE(out.redraw.phaseDiagram && out.redraw.periodogram && out.redraw.results);

  // The chain ends with phases relative to the classification's t0: each
  // phase in (-0.5, 0.5] is the time since t0 in periods, up to whole cycles.
  EXPECT_EQ(ws.phased, 1);
  ASSERT_EQ(ws.phase.size(), 300u);
  for (std::size_t i = 0; i < 300; i += 37) {
    const double cycles = (ws.lightCurve.time[i] - ws.t0) / ws.period;
    EXPECT_NEAR(std::remainder(ws.phase[i] - cycles, 1.0), 0.0, test::kSumTolerance) << i;
    EXPECT_GT(ws.phase[i], -0.5);
    EXPECT_LE(ws.phase[i], 0.5);
  }
  EXPECT_TRUE(ws.commands.savePhasedData && ws.commands.halvePeriod && ws.commands.shiftT0);

  // The window's separator reaches every text.
  ws.decimalSeparator = ',';
  const Outcome comma = analyseAov(ws, RunControl{});
  EXPECT_NE(comma.status[0]->find(','), std::string::npos);
  expectSixDecimals(ws.panel.period, "", ws.period, ',');
}

TEST_F(Analysis, RunAovSearchLeavesProvisionalPhasesAndMainLoopWritesNoPowerText) {
  load(test::makeSineSeries(2, 200, 0.77, 0.3, 0.05, 100.0, 12.0, 2450000.0));
  ws.settings = {0.3, 5.0, 3, 0.001};
  ASSERT_TRUE(runAovSearch(ws, RunControl{}));
  EXPECT_EQ(ws.harmonicTerms, 7);
  // Provisional phases count from time 0 and are shifted by half a cycle
  // into [-0.5, 0.5).
  for (std::size_t i = 0; i < ws.phase.size(); i += 11) {
    const double cycles = ws.lightCurve.time[i] * ws.bestFrequency;
    EXPECT_NEAR(std::remainder(ws.phase[i] + 0.5 - cycles, 1.0), 0.0, test::kSumTolerance) << i;
    EXPECT_GE(ws.phase[i], -0.5);
    EXPECT_LT(ws.phase[i], 0.5);
    EXPECT_EQ(ws.phasedValue[i], ws.lightCurve.value[i]);
  }
  expectSixDecimals(ws.panel.period, "", ws.period);
  EXPECT_EQ(ws.panel.periodField, ws.panel.period);
  const Outcome out = mainLoop(ws, RunControl{});
  EXPECT_TRUE(out.ok);
  EXPECT_FALSE(out.status[0].has_value());
  EXPECT_NEAR(ws.period, 0.77, test::gridPeriodTolerance(0.77, 0.001));
}

TEST_F(Analysis, HarmonicsAreRaisedToOneAndBadRangesAreRefused) {
  load(test::makeSineSeries(3, 100, 1.1, 0.3, 0.05, 50.0));
  for (int h : {0, -4}) {
    ws.settings = {0.5, 5.0, h, 0.001};
    EXPECT_TRUE(analyseAov(ws, RunControl{}).ok);
    EXPECT_EQ(ws.settings.harmonics, 1);
    EXPECT_EQ(ws.harmonicTerms, 3);
  }
  ws.settings.harmonics = -2;
  EXPECT_TRUE(analyseAovTransit(ws, RunControl{}).ok);
  EXPECT_EQ(ws.settings.harmonics, 1);
  ws.settings.harmonics = 0;
  EXPECT_TRUE(analyseLombScargle(ws, RunControl{}).ok);
  EXPECT_EQ(ws.settings.harmonics, 0);  // this command stores it unchanged

  const Workspace before = ws;
  for (const auto& [minP, maxP] : {std::pair{2.0, 2.0}, {0.0, 5.0}, {-1.0, 5.0}, {1.0, -5.0}}) {
    ws.settings = {minP, maxP, 2, 0.001};
    for (auto command : {analyseAov, analyseAovTransit, analyseLombScargle}) {
      const Outcome out = command(ws, RunControl{});
      EXPECT_FALSE(out.ok);
      EXPECT_TRUE(out.cancelled);
      ASSERT_TRUE(out.message.has_value());
      EXPECT_EQ(out.message->text, kRangeWarning);
      EXPECT_EQ(out.message->caption, "WARNING!");
      EXPECT_EQ(out.message->icon, MessageIcon::Exclamation);
      expectUnchanged(before);
    }
  }
}

TEST_F(Analysis, GridOfHalfStepsSearchesThreeFrequencies) {
  load(test::makeSineSeries(4, 60, 1.3, 0.3, 0.05, 30.0));
  ws.settings = {0.5, 2.0, 2, 0.5};
  ASSERT_TRUE(analyseAov(ws, RunControl{}).ok);
  EXPECT_EQ(ws.periodogram.frequencyCount, 3);
  EXPECT_EQ(ws.periodogram.frequency, (std::vector<double>{0.5, 1.0, 1.5}));
}

TEST_F(Analysis, UnsearchableInputIsRefusedWithAClearMessage) {
  load(test::makeSineSeries(5, 80, 1.3, 0.3, 0.05, 30.0));
  Workspace before = ws;
  auto refusedWith = [&](auto command, const std::string& part) {
    const Outcome out = command(ws, RunControl{});
    EXPECT_FALSE(out.ok);
    EXPECT_TRUE(out.cancelled);  // refused: the Workspace left as it was
    ASSERT_TRUE(out.message.has_value());
    EXPECT_NE(out.message->text.find(part), std::string::npos) << out.message->text;
    EXPECT_EQ(out.message->caption, "WARNING!");
    expectUnchanged(before);
  };
  for (double r : {0.0, -0.001, std::nan("")}) {
    ws.settings = {0.5, 5.0, 2, r};
    refusedWith(analyseAov, "Resolution");
    refusedWith(analyseAovTransit, "Resolution");
    refusedWith(mainLoop, "Resolution");
  }
  ws.settings = {0.5, 5.0, 2, 1e-12};
  refusedWith(analyseAov, "too large");
  ws.settings = {0.5, 5.0, 2, 0.001};

  loadText("1 10 0.1\n");
  before = ws;
  for (auto c : {analyseAov, analyseAovTransit, analyseLombScargle})
    refusedWith(c, "at least 2 points");
  loadText("1 10 0.1\n2 10 0.1\n3.5 10 0.2\n");
  before = ws;
  for (auto c : {analyseAov, analyseAovTransit, analyseLombScargle})
    refusedWith(c, "all values are equal");
  loadText("1 10 0.1\n2 11 0.1\n3.5 12 0.2\n");
  before = ws;
  refusedWith(analyseAov, "needs more points");
  loadText("1 10 0.1\n2 11 0\n3.5 12 0.2\n4 10 0.1\n");
  before = ws;
  refusedWith(analyseAov, "error of 0");
  refusedWith(analyseAovTransit, "error of 0");
  // Lomb-Scargle does not use the errors.
  EXPECT_TRUE(analyseLombScargle(ws, RunControl{}).ok);
}

TEST_F(Analysis, CancelledRunsLeaveTheWorkspaceUnchanged) {
  load(test::makeSineSeries(6, 300, 1.3, 0.3, 0.05, 100.0));
  ws.settings = {0.5, 5.0, 2, 0.001};
  ASSERT_TRUE(analyseAov(ws, RunControl{}).ok);
  const Workspace before = ws;
  std::atomic<bool> cancel{true};
  RunControl rc;
  rc.cancel = &cancel;
  ws.settings.resolution = 0.0001;
  for (auto c : {analyseAov, analyseAovTransit, analyseLombScargle}) {
    const Outcome out = c(ws, rc);
    EXPECT_FALSE(out.ok);
    EXPECT_TRUE(out.cancelled);
    EXPECT_FALSE(out.message.has_value());
    expectUnchanged(before);
  }
  EXPECT_FALSE(runAovSearch(ws, rc));
  expectUnchanged(before);
}

TEST_F(Analysis, LombScargleGridFalseAlarmTextAndError) {
  load(test::makeSineSeries(7, 400, 2.5, 0.3, 0.0, 60.0));
  ws.settings = {1.0, 10.0, 0, 0.123};
  const Outcome out = analyseLombScargle(ws, RunControl{});
  ASSERT_TRUE(out.ok);
  // The multiples of 1 / maxPeriod, up to at most 1 / minPeriod.
  const auto& f = ws.periodogram.frequency;
  ASSERT_GE(f.size(), 9u);
  for (std::size_t k = 0; k < f.size(); ++k) EXPECT_NEAR(f[k], 0.1 * (k + 1), test::kSumTolerance);
  EXPECT_LE(f.back(), 1.0 + test::kSumTolerance);
  // 1 / 2.5 is the fourth grid point and the curve is noiseless: the peak
  // lies on it.
  EXPECT_NEAR(ws.period, 2.5, test::kSumTolerance);
  EXPECT_LT(ws.falseAlarmProbability, 1e-6);
  // So small a probability is written in scientific notation, not as "0.0%".
  const std::string& text = *out.status[0];
  const std::size_t power = text.find(" with power of ");
  ASSERT_EQ(text.rfind("FAP: ", 0), 0u) << text;
  ASSERT_NE(power, std::string::npos) << text;
  const std::string probability = text.substr(5, power - 5);
  EXPECT_NE(probability.find("e-"), std::string::npos) << text;
  EXPECT_NEAR(std::stod(probability), ws.falseAlarmProbability, 0.01 * ws.falseAlarmProbability)
      << text;
  expectSixDecimals(text.substr(power), " with power of ", ws.periodogram.maxPower);
  // Half the spread of the periods one step h = range / count either side,
  // to first order P^2 h (the exact form is larger by 1 / (1 - (hP)^2)).
  const double h = ws.frequencyRange / ws.periodogram.frequencyCount;
  const double firstOrder = ws.period * ws.period * h;
  EXPECT_NEAR(ws.periodError, firstOrder, firstOrder * 2 * (h * ws.period) * (h * ws.period));
  EXPECT_GT(ws.periodError, firstOrder);
  expectSixDecimals(ws.panel.error, "", ws.periodError);
  EXPECT_EQ(ws.phased, 1);
}

TEST_F(Analysis, TransitCommandStoresItsOwnErrorAndReversedEnds) {
  load(test::makeSineSeries(8, 300, 1.9, 0.3, 0.05, 100.0));
  ws.settings = {0.5, 5.0, 2, 0.001};
  const Outcome out = analyseAovTransit(ws, RunControl{});
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(ws.minFrequency, 1 / 0.5);
  EXPECT_EQ(ws.maxFrequency, 1 / 5.0);
  EXPECT_EQ(ws.periodogram.frequencyCount, 1800);  // (2 - 0.2) / 0.001
  // The period one step (0.001 per day) below the peak's frequency, less the
  // period: to first order P^2 0.001, larger by 1 / (1 - 0.001 P).
  const double firstOrder = ws.period * ws.period * 0.001;
  EXPECT_NEAR(ws.periodError, firstOrder, firstOrder * 2 * 0.001 * ws.period);
  EXPECT_GT(ws.periodError, firstOrder);
  // A sinusoid is also a (poor) box: found at its period or a harmonic.
  // One grid step (0.001 per day) changes 1.9 / period by 1.9 * 0.001.
  const double cycles = 1.9 / ws.period;
  constexpr double kOneStepInCycles = 1.9 * 0.001;
  EXPECT_NEAR(cycles, std::round(cycles), kOneStepInCycles);
  EXPECT_FALSE(out.status[0].has_value());
}

// Real stars at their catalogued periods (eclipsing binaries at the period
// or its half: two similar eclipses per cycle).
struct RealStar {
  const char* file;
  bool eclipsing;
};
// Shown in the test list instead of the bytes of the case.
void PrintTo(const RealStar& s, std::ostream* os) { *os << s.file; }

class RealStars : public Analysis, public ::testing::WithParamInterface<RealStar> {};

TEST_P(RealStars, AovFindsTheCataloguedPeriod) {
  const RealStar star = GetParam();
  double catalogued = 0;
  {
    std::ifstream catalog(test::realDataDir() / "catalog.csv");
    std::string line;
    while (std::getline(catalog, line))
      if (line.rfind(std::string(star.file) + ",", 0) == 0) {
        std::stringstream fields(line);
        std::string file, type, period;
        std::getline(fields, file, ',');
        std::getline(fields, type, ',');
        std::getline(fields, period, ',');
        catalogued = std::stod(period);
      }
  }
  ASSERT_GT(catalogued, 0) << star.file;
  ASSERT_TRUE(loadObservations(ws, (test::realDataDir() / star.file).string()).ok);
  refreshLightCurveStatistics(ws);
  // A step of a twentieth of the peak width 1 / span.
  ws.settings = {0.1, 10.0, 2, 0.05 / ws.stats.timeSpan};
  RunControl rc;
  rc.threads = 2;
  ASSERT_TRUE(analyseAov(ws, rc).ok);
  const double ratio = ws.period / catalogued;
  if (star.eclipsing && std::abs(ratio - 0.5) < test::kPeriodFound)
    EXPECT_NEAR(ratio, 0.5, 0.5 * test::kPeriodOnFineGrid) << star.file;
  else
    EXPECT_NEAR(ratio, 1.0, test::kPeriodOnFineGrid) << star.file;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, RealStars,
                         ::testing::Values(RealStar{"RRAB/S82-RRL-1729301.dat", false},
                                           RealStar{"DCEP/OGLE-LMC-CEP-3089.dat", false},
                                           RealStar{"EB/OGLE051951.22-694002.7.dat", true},
                                           RealStar{"EW/CSS-3033085025738_V1269_Cen.dat", true}));

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

TEST_F(Analysis, StaleTimeSpanDoesNotChangeTheLombScargleGrid) {
  load(test::makeSineSeries(9, 200, 1.7, 0.3, 0.05, 80.0));
  ws.settings = {0.5, 10.0, 2, 0.001};
  ASSERT_TRUE(analyseLombScargle(ws, RunControl{}).ok);
  const std::vector<double> fresh = ws.periodogram.power;
  ws.stats.timeSpan = 3.0;  // as if the times had changed without a redraw
  ASSERT_TRUE(analyseLombScargle(ws, RunControl{}).ok);
  EXPECT_EQ(ws.periodogram.power, fresh);
}

TEST_F(Analysis, SignificanceSearchesRunTheRealEngines) {
  load(test::makeSineSeries(10, 150, 1.7, 0.3, 0.05, 80.0));
  ws.settings = {0.5, 10.0, 2, 0.001};
  const LightCurve& lc = ws.lightCurve;
  const PeakFound aov =
      defaultPeakSearch(SearchEngine::Aov)(lc.time, lc.value, lc.weight, ws.settings, RunControl{});
  ASSERT_TRUE(analyseAov(ws, RunControl{}).ok);
  EXPECT_EQ(aov.period, ws.period);
  EXPECT_EQ(aov.power, ws.periodogram.maxPower);
  const PeakFound ls = defaultPeakSearch(SearchEngine::LombScargle)(lc.time, lc.value, lc.weight,
                                                                    ws.settings, RunControl{});
  ASSERT_TRUE(analyseLombScargle(ws, RunControl{}).ok);
  EXPECT_EQ(ls.period, ws.period);
  EXPECT_EQ(ls.power, ws.periodogram.maxPower);
}

// Times in seconds or milliseconds and values in counts lie beyond 1e10:
// nothing may assume they are smaller.
TEST_F(Analysis, TimesAndValuesBeyondTenBillionKeepTheirExtremesAndTheWholeChain) {
  constexpr double kOffset = 2e10;  // days
  const test::Series s = test::makeSineSeries(11, 300, 1.7, 0.3, 0.02, 50.0, 12.0, kOffset);
  load(s);
  const LightCurve& lc = ws.lightCurve;
  computeLightCurveStatistics(ws);
  const auto [tLo, tHi] = std::minmax_element(lc.time.begin(), lc.time.end());
  EXPECT_EQ(ws.stats.minTime, *tLo);
  EXPECT_EQ(ws.stats.maxTime, *tHi);
  EXPECT_EQ(ws.stats.timeSpan, *tHi - *tLo);
  EXPECT_LT(ws.stats.timeSpan, 50.0);

  // One harmonic: with two, twice the period fits a sinusoid as well.
  ws.settings = {0.5, 10.0, 1, 0.001};
  for (auto command : {analyseAovTransit, analyseLombScargle, analyseAov}) {
    ASSERT_TRUE(command(ws, RunControl{}).ok);
    // Epochs and t0 lie among the observations (within two fold periods),
    // never at 0.
    for (double epoch : {ws.epochOfMinimum, ws.epochOfMaximum, ws.t0}) {
      EXPECT_GT(epoch, *tLo - 4 * ws.period);
      EXPECT_LT(epoch, *tHi + 4 * ws.period);
    }
  }
  // AoV (run last) finds the sinusoid, and some type admits it.
  EXPECT_NEAR(ws.period, 1.7, test::gridPeriodTolerance(1.7, 0.001));
  EXPECT_LT(ws.typeScore[static_cast<std::size_t>(ws.typeOrder[0])], kNoTypeScore);

  // Minute bins start at the first observation, not at 1e10.
  ASSERT_TRUE(binByMinutes(ws, 10).ok);
  std::ifstream bins((dir / "star-10minBin.dat").string());
  double firstBinTime = 0;
  ASSERT_TRUE(bins >> firstBinTime);
  EXPECT_GE(firstBinTime, *tLo);
  EXPECT_LT(firstBinTime, *tLo + 10.0 / 1440);

  // Values beyond 1e10: their extremes, and after "Remove period" their
  // range.
  std::vector<double> big(lc.value.begin(), lc.value.end());
  for (double& v : big) v = kOffset * (1 + (v - 12.0));
  Workspace counts = test::loadedWorkspace(s.time, big, s.error);
  const auto [vLo, vHi] = std::minmax_element(big.begin(), big.end());
  EXPECT_EQ(counts.stats.minValue, *vLo);
  EXPECT_EQ(counts.stats.maxValue, *vHi);
  EXPECT_EQ(counts.stats.valueRange, *vHi - *vLo);
  counts.period = 1.7;
  counts.amplitude = 0.0;  // subtracts nothing: the range is that of the data
  ASSERT_TRUE(removePeriod(counts).ok);
  EXPECT_EQ(counts.stats.valueRange, *vHi - *vLo);
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// Each way a command fails carries its kind, which the Python module maps
// to exceptions instead of comparing message texts.
TEST(FailureKinds, EachFailureSaysWhatKindItIs) {
  test::TempDir dir;
  Workspace ws;
  EXPECT_EQ(loadObservations(ws, (dir / "missing.dat").string()).failure, Failure::Io);
  test::writeText(dir / "empty.dat", "");
  EXPECT_EQ(loadObservations(ws, (dir / "empty.dat").string()).failure, Failure::Input);
  test::writeText(dir / "words.csv", "time,mag,err\nx,y,z\n");
  EXPECT_EQ(loadObservations(ws, (dir / "words.csv").string()).failure, Failure::Input);

  test::writeSeries(dir / "star.dat", test::makeSineSeries(3, 60, 1.3, 0.2, 0.01, 20.0));
  const Outcome loaded = loadObservations(ws, (dir / "star.dat").string());
  ASSERT_TRUE(loaded.ok);
  EXPECT_EQ(loaded.failure, Failure::None);
  ws.settings = SearchSettings{5.0, 1.0, 2, 0.001};  // the range backwards
  EXPECT_EQ(analyseAov(ws, RunControl{}).failure, Failure::Refused);
  ws.settings = SearchSettings{0.5, 10.0, 2, 0.001};
  std::atomic<bool> cancel{true};
  RunControl cancelled;
  cancelled.cancel = &cancel;
  EXPECT_EQ(analyseLombScargle(ws, cancelled).failure, Failure::Cancelled);
  const Outcome ok = analyseLombScargle(ws, RunControl{});
  ASSERT_TRUE(ok.ok);
  EXPECT_EQ(ok.failure, Failure::None);

  // A derived file where a folder of that name stands.
  std::filesystem::create_directory(dir / "star-period.dat");
  EXPECT_EQ(savePeriodogram(ws).failure, Failure::Io);
  EXPECT_EQ(runGuardingMemory("this", []() -> Outcome { throw std::bad_alloc(); }).failure,
            Failure::OutOfMemory);
}

}  // namespace
}  // namespace fazorn
