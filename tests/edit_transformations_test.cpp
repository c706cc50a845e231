#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/file_names.h"
#include "core/observation_file.h"
#include "edit/moving.h"
#include "edit/transformations.h"
#include "support/edit_workspace.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::loadedWorkspace;
using test::readText;
using test::TempDir;

// 10^x in double precision.
constexpr double kPowTolerance = test::kLibraryUlps;

std::vector<std::string> lines(const std::filesystem::path& path) {
  std::istringstream in(readText(path));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(Normalize, MagnitudesBecomeFluxRelativeToMaximumLight) {
  Workspace ws = loadedWorkspace({1, 2, 3}, {12.0, 14.5, 11.0}, {0.01, 0.02, 0.03});
  const std::vector<double> weights = ws.lightCurve.weight;
  ws.magAtMaximum = 12.0;
  ws.magAtMaximumValid = true;
  const Outcome out = normalizeLightCurve(ws);
  EXPECT_TRUE(out.ok);
  EXPECT_FALSE(out.message);
  EXPECT_NEAR(ws.lightCurve.value[0], 1.0, kPowTolerance);
  EXPECT_NEAR(ws.lightCurve.value[1], 0.1, kPowTolerance);
  EXPECT_NEAR(ws.lightCurve.value[2], std::pow(10.0, 0.4), kPowTolerance);
  EXPECT_EQ(ws.lightCurve.error, (std::vector<double>{0.01, 0.02, 0.03}));
  EXPECT_EQ(ws.lightCurve.weight, weights);
  EXPECT_EQ(ws.normalized, 1);
  // Re-phased: the phase diagram shows the normalised values.
  EXPECT_EQ(ws.phased, 1);
  EXPECT_EQ(ws.phasedValue, ws.lightCurve.value);
  EXPECT_TRUE(out.redraw.lightCurve && out.redraw.phaseDiagram);
  EXPECT_NEAR(ws.stats.meanValue, (1.0 + 0.1 + std::pow(10.0, 0.4)) / 3, kPowTolerance);
}

TEST(Normalize, RefusedWithoutAMagnitudeAtMaximum) {
  Workspace ws = loadedWorkspace({1, 2}, {12.0, 13.0});
  ws.magAtMaximum = 0.0;
  ws.magAtMaximumValid = false;
  const Outcome out = normalizeLightCurve(ws);
  EXPECT_FALSE(out.ok);
  ASSERT_TRUE(out.message);
  EXPECT_EQ(out.message->caption, "WARNING!");
  EXPECT_EQ(out.message->icon, MessageIcon::Exclamation);
  EXPECT_EQ(ws.lightCurve.value, (std::vector<double>{12.0, 13.0}));
  EXPECT_EQ(ws.normalized, 0);
  EXPECT_EQ(ws.phased, 0);
}

TEST(AddConstant, SinglePrecisionConstantAndNoRephasing) {
  Workspace ws = loadedWorkspace({10, 12}, {1.25, 2.5});
  computePhases(ws);
  const std::vector<double> phasedBefore = ws.phasedValue;
  const Outcome y = addToY(ws, 0.5);
  EXPECT_EQ(ws.lightCurve.value, (std::vector<double>{1.75, 3.0}));  // 0.5 is exact
  EXPECT_TRUE(y.redraw.lightCurve);
  EXPECT_FALSE(y.redraw.phaseDiagram);
  EXPECT_EQ(ws.phasedValue, phasedBefore);
  EXPECT_EQ(ws.stats.meanValue, 2.375);

  addToX(ws, 0.1);
  const double added = static_cast<double>(0.1f);  // 0.100000001490116...
  EXPECT_EQ(ws.lightCurve.time[0], 10 + added);
  EXPECT_EQ(ws.lightCurve.time[1], 12 + added);
  EXPECT_NE(ws.lightCurve.time[0], 10.1);
}

TEST(AddFlippedDataset, MirroredMarkedCopyThatRemovalTakesAway) {
  Workspace ws = loadedWorkspace({10, 12}, {5, 6}, {0.1, 0.2});
  ws.lightCurve.mark[0] = 1;
  const Outcome out = addFlippedDataset(ws);
  const auto& lc = ws.lightCurve;
  ASSERT_EQ(lc.pointCount, 4);
  EXPECT_EQ(lc.time, (std::vector<double>{10, 12, 12, 10}));
  EXPECT_EQ(lc.value, (std::vector<double>{5, 6, 5, 6}));
  EXPECT_EQ(lc.error, (std::vector<double>{0.1, 0.2, 0.1, 0.2}));
  EXPECT_EQ(lc.weight[3], lc.weight[1]);
  EXPECT_EQ(lc.mark, (std::vector<std::int32_t>{1, 0, 1, 1}));
  EXPECT_TRUE(out.redraw.clearPeriodogram);
  EXPECT_EQ(ws.panel.dataPoints, "4");

  ws.lightCurve.mark[0] = 0;
  removeMarkedPoints(ws);
  EXPECT_EQ(lc.time, (std::vector<double>{10, 12}));
  EXPECT_EQ(lc.value, (std::vector<double>{5, 6}));
}

TEST(UnguardedTransformations, HarmlessWithoutPoints) {
  Workspace none;
  for (auto* command : {addFlippedDataset, spectralWindow, fluxToMag, magToFlux})
    EXPECT_TRUE(command(none).cancelled);
  EXPECT_TRUE(addToX(none, 1).cancelled);
  EXPECT_EQ(none.lightCurve.pointCount, 0);

  Workspace empty = loadedWorkspace({}, {});
  EXPECT_TRUE(addFlippedDataset(empty).ok);
  EXPECT_TRUE(spectralWindow(empty).ok);
  EXPECT_TRUE(addToY(empty, 2).ok);
  EXPECT_EQ(empty.lightCurve.pointCount, 0);

  Workspace three = loadedWorkspace({1, 2, 3}, {7, 8, 9});
  spectralWindow(three);
  EXPECT_EQ(three.lightCurve.value, (std::vector<double>{1e-7, 0, 0}));
  EXPECT_EQ(three.lightCurve.time, (std::vector<double>{1, 2, 3}));
}

class Conversion : public ::testing::Test {
 protected:
  std::filesystem::path derived(const char* suffix) const {
    FileNameParts parts;
    splitDataPath((dir / "star.dat").string(), parts);
    return derivedFilePath(parts, suffix);
  }
  TempDir dir;
};

TEST_F(Conversion, FluxToMagLeavesOutPointsWithoutALogarithm) {
  Workspace ws = loadedWorkspace({1, 2, 3, 4, 5}, {1.0, 0.0, -1.0, 0.5, 0.1},
                                 {0.1, 0.1, 3.0, -0.6, 0.01}, dir / "star.dat");
  const Outcome out = fluxToMag(ws);
  EXPECT_TRUE(out.ok);
  ASSERT_TRUE(out.message);
  EXPECT_EQ(out.message->text.rfind("Light curve plotted to file.\n3 points left out", 0), 0u)
      << out.message->text;
  EXPECT_EQ(out.message->icon, MessageIcon::Information);
  ASSERT_EQ(out.notes.size(), 1u);
  // 2.5 log10(1.1) = 0.1034817; nothing undefined in the file.
  EXPECT_EQ(lines(derived(suffix::mag)),
            (std::vector<std::string>{"     1.0000000\t    0.000000\t    0.103482",
                                      "     5.0000000\t    2.500000\t    0.103482"}));
  EXPECT_EQ(ws.files.outputPath, derived(suffix::mag).string());
  EXPECT_EQ(ws.lightCurve.value[0], 1.0);  // the Workspace is unchanged
}

TEST_F(Conversion, MagToFluxLeavesOutNonFiniteFlux) {
  Workspace ws = loadedWorkspace({1, 2}, {0.0, -1000.0}, {0.1, 0.1}, dir / "star.dat");
  const Outcome out = magToFlux(ws);
  ASSERT_TRUE(out.message);
  EXPECT_EQ(out.message->text.rfind("Light curve plotted to file.\n1 point left out", 0), 0u);
  // 1 - 10^(-0.04) = 0.087989.
  EXPECT_EQ(lines(derived(suffix::flux)),
            (std::vector<std::string>{"     1.0000000\t    1.000000\t    0.087989"}));

  Workspace plain = loadedWorkspace({1}, {0.0}, {0.1}, dir / "star.dat");
  const Outcome clean = magToFlux(plain);
  EXPECT_EQ(clean.message->text, "Light curve plotted to file.");
  EXPECT_TRUE(clean.notes.empty());
}

TEST_F(Conversion, UnwritableFileIsAnIoError) {
  Workspace ws = loadedWorkspace({1}, {1.0}, {0.1}, dir / "missing" / "star.dat");
  for (const Outcome& out : {fluxToMag(ws), magToFlux(ws)}) {
    EXPECT_FALSE(out.ok);
    ASSERT_TRUE(out.message);
    EXPECT_EQ(out.message->text, "I/O Error! Unable to open file.");
    EXPECT_EQ(out.message->caption, "Message");
  }
}

TEST_F(Conversion, FluxToMagToFluxRoundTripOfALoadedFile) {
  // Fluxes of a star near 1 with noise, written as a data file would be.
  const auto s = test::makeSineSeries(3, 300, 0.7, 0.3, 0.01, 20.0, 1.0);
  test::writeSeries(dir / "star.dat", s);
  Workspace flux;
  ASSERT_TRUE(loadObservations(flux, (dir / "star.dat").string()).ok);
  ASSERT_TRUE(fluxToMag(flux).ok);
  Workspace mag;
  ASSERT_TRUE(loadObservations(mag, derived(suffix::mag).string()).ok);
  ASSERT_TRUE(magToFlux(mag).ok);
  Workspace back;
  ASSERT_TRUE(loadObservations(back, (dir / "star-mag-flux.dat").string()).ok);
  ASSERT_EQ(back.lightCurve.pointCount, 300);
  for (int i = 0; i < 300; ++i) {
    const double f = flux.lightCurve.value[i];
    // Magnitudes are printed to 6 decimals (half a unit is a relative flux
    // change of 0.4 ln 10 * 0.5e-6), fluxes to 6 decimals again.
    const double tolerance = 0.4 * std::log(10.0) * test::kSixDecimals * f + test::kSixDecimals;
    EXPECT_NEAR(back.lightCurve.value[i], f, tolerance) << i;
    // Times are printed with 7 decimals.
    EXPECT_NEAR(back.lightCurve.time[i], flux.lightCurve.time[i], test::kSevenDecimals) << i;
  }
}

TEST(RemovePeriod, SubtractsTheSinusoidEachTimeAndReportsBrightnessAndAmplitude) {
  const test::Series s = test::makeSineSeries(4, 50, 0.9, 0.2, 0.0, 10.0);
  Workspace ws = loadedWorkspace(s.time, s.value, s.error);
  ws.period = 0.9;
  ws.t0 = 3.3;
  ws.amplitude = 0.4;
  const std::vector<double> before = ws.lightCurve.value;
  auto removed = [&](double t) {
    const double wave = std::sin((3.3 - t) * 6.2832 / 0.9 + 1.5708);
    return 0.2 - wave * 0.2;
  };
  removePeriod(ws);
  const Outcome out = removePeriod(ws);
  EXPECT_TRUE(out.redraw.lightCurve);
  for (int i = 0; i < 50; ++i) {
    const double t = ws.lightCurve.time[i];
    const double expected = (before[i] - removed(t)) - removed(t);
    EXPECT_NEAR(ws.lightCurve.value[i], expected, test::kSumTolerance);
  }
  // The statistics it leaves are those of its values computed afresh.
  const Workspace fresh = loadedWorkspace(ws.lightCurve.time, ws.lightCurve.value, s.error);
  EXPECT_NEAR(ws.stats.meanValue, fresh.stats.meanValue, test::kSumTolerance);
  EXPECT_NEAR(ws.stats.valueRange, fresh.stats.valueRange, test::kSumTolerance);
  ASSERT_TRUE(out.status[0] && out.status[1] && out.status[2]);
  EXPECT_EQ(out.status[0]->rfind("Brightness: ", 0), 0u);
  EXPECT_EQ(out.status[1]->rfind("Amplitude: ", 0), 0u);
  EXPECT_EQ(*out.status[2], "");

  // Amplitude 0 changes nothing but still reports.
  const std::vector<double> kept = ws.lightCurve.value;
  ws.amplitude = 0.0;
  const Outcome flat = removePeriod(ws);
  EXPECT_EQ(ws.lightCurve.value, kept);
  EXPECT_TRUE(flat.status[0].has_value());

  // A period of 0 would turn every value into nan: refused, data kept.
  ws.amplitude = 0.4;
  ws.period = 0.0;
  EXPECT_FALSE(removePeriod(ws).ok);
  EXPECT_EQ(ws.lightCurve.value, kept);
}

TEST(RemovePeriod, QuarterCyclesRemoveNothingHalfAndAllOfTheAmplitude) {
  // t0 3.3, period 0.9, amplitude 0.4: at t0 and a whole cycle later nothing
  // is subtracted, a quarter cycle either side half the amplitude (0.2),
  // half a cycle on all of it (0.4). The values then average
  // (12 + 11.8 + 11.6 + 11.8 + 12) / 5 = 11.84 with a range of 0.4.
  Workspace ws = loadedWorkspace({3.3, 3.525, 3.75, 3.975, 4.2}, std::vector<double>(5, 12.0));
  ws.period = 0.9;
  ws.t0 = 3.3;
  ws.amplitude = 0.4;
  const Outcome out = removePeriod(ws);
  ASSERT_TRUE(out.ok);
  // The command's truncated 2 pi (6.2832) and pi / 2 (1.5708) shift the
  // argument of its sine by up to 1e-5 within a cycle: 0.2 x 1e-5.
  constexpr double kTruncatedConstants = 2e-6;
  const std::vector<double> expected = {12.0, 11.8, 11.6, 11.8, 12.0};
  test::expectArraysNear(ws.lightCurve.value, expected, kTruncatedConstants, "value");
  EXPECT_NEAR(ws.stats.meanValue, 11.84, kTruncatedConstants);
  EXPECT_NEAR(ws.stats.valueRange, 0.4, kTruncatedConstants);
  EXPECT_EQ(*out.status[0], "Brightness: 11.84");
  EXPECT_EQ(*out.status[1], "Amplitude: 0.40");
  ws.decimalSeparator = ',';
  EXPECT_EQ(*removePeriod(ws).status[0], "Brightness: 11,68");  // 0.16 removed again
}

}  // namespace
}  // namespace fazorn
