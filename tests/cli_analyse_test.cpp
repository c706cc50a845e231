#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/analysis.h"
#include "core/derived_files.h"
#include "core/observation_file.h"
#include "edit/binning.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::runCli;
using test::TempDir;

// The number after "key": in a JSON line, read back with strtod.
double jsonNumber(const std::string& line, const std::string& key) {
  const auto at = line.find("\"" + key + "\": ");
  if (at == std::string::npos) {
    ADD_FAILURE() << key << " missing in " << line;
    return 0;
  }
  return std::strtod(line.c_str() + at + key.size() + 4, nullptr);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

TEST(CliAnalyse, JsonFiguresEqualTheWindowCommandToTheLastDigit) {
  TempDir dir;
  test::writeSeries(dir / "a.dat", test::makeSineSeries(1, 200, 1.37, 0.3, 0.05, 100.0));
  std::string out, err;
  for (const char* method : {"aov", "aovtr", "ls"}) {
    const int status = runCli(std::string("analyse --json --method ") + method +
                                  " --min-period 0.5 --max-period 10 --harmonics 2 --resolution "
                                  "0.001 " +
                                  quoted(dir / "a.dat"),
                              &out, &err);
    ASSERT_EQ(status, 0) << err;
    Workspace ws;
    ASSERT_TRUE(loadObservations(ws, (dir / "a.dat").string()).ok);
    ws.settings = {0.5, 10.0, 2, 0.001};
    const std::string m = method;
    const Outcome o = m == "aov"     ? analyseAov(ws, RunControl{})
                      : m == "aovtr" ? analyseAovTransit(ws, RunControl{})
                                     : analyseLombScargle(ws, RunControl{});
    ASSERT_TRUE(o.ok);
    const std::string line = lines(out).at(0);
    EXPECT_NE(line.find("\"method\": \"" + m + "\""), std::string::npos) << line;
    EXPECT_EQ(jsonNumber(line, "points"), 200);
    EXPECT_EQ(jsonNumber(line, "frequency_count"), ws.periodogram.frequencyCount);
    EXPECT_EQ(jsonNumber(line, "best_frequency"), ws.bestFrequency) << line;
    EXPECT_EQ(jsonNumber(line, "period"), ws.period);
    EXPECT_EQ(jsonNumber(line, "period_error"), ws.periodError);
    EXPECT_EQ(jsonNumber(line, "max_power"), ws.periodogram.maxPower);
    if (m == "ls")
      EXPECT_EQ(jsonNumber(line, "false_alarm_probability"), ws.falseAlarmProbability);
    else
      EXPECT_EQ(line.find("false_alarm_probability"), std::string::npos);
    // The model and the classification of the same chain.
    EXPECT_EQ(jsonNumber(line, "t0"), ws.t0);
    EXPECT_EQ(jsonNumber(line, "epoch_of_minimum"), ws.epochOfMinimum);
    EXPECT_EQ(jsonNumber(line, "epoch_of_maximum"), ws.epochOfMaximum);
    EXPECT_EQ(jsonNumber(line, "amplitude"), ws.amplitude);
    if (ws.magAtMaximumValid) {
      EXPECT_EQ(jsonNumber(line, "mag_at_maximum"), ws.magAtMaximum);
    } else {
      EXPECT_NE(line.find("\"mag_at_maximum\": null"), std::string::npos);
    }
    EXPECT_NE(
        line.find("\"t0_from_minimum\": " + std::string(ws.t0FromMinimum == 1 ? "true" : "false")),
        std::string::npos);
    EXPECT_NE(line.find("\"type\": \"" + ws.typeText + "\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"score\": \"" + ws.scoreText + "\""), std::string::npos) << line;
  }
}

// The Fourier routes report the exact route's peak: the same period and
// power to the last digit, and the route in the JSON; without --route the
// key is absent.
TEST(CliAnalyse, RouteOptionKeepsTheExactPeakAndIsReported) {
  TempDir dir;
  test::writeSeries(dir / "a.dat", test::makeSineSeries(2, 1500, 0.73, 0.3, 0.05, 300.0));
  std::string exact, out, err;
  for (const char* method : {"aov", "aovtr", "ls"}) {
    const std::string base =
        std::string("analyse --json --method ") + method + " " + quoted(dir / "a.dat");
    ASSERT_EQ(runCli(base, &exact, &err), 0) << err;
    EXPECT_EQ(exact.find("\"route\""), std::string::npos);
    for (const char* route : {"fast", "auto"}) {
      ASSERT_EQ(runCli(base + " --route " + route, &out, &err), 0) << err;
      EXPECT_NE(out.find(std::string("\"route\": \"") + route + "\""), std::string::npos) << out;
      EXPECT_EQ(jsonNumber(out, "best_frequency"), jsonNumber(exact, "best_frequency")) << method;
      if (std::string(method) != "ls")
        EXPECT_EQ(jsonNumber(out, "max_power"), jsonNumber(exact, "max_power"));
      else  // the recurrence's drift against the direct sums of the peak
        EXPECT_NEAR(jsonNumber(out, "max_power"), jsonNumber(exact, "max_power"),
                    test::kSinglePrecisionDrift * jsonNumber(exact, "max_power"));
    }
  }
  EXPECT_EQ(runCli("analyse --route quick " + quoted(dir / "a.dat"), &out, &err), 2);
  EXPECT_NE(err.find("--route must be exact, fast or auto"), std::string::npos) << err;
}

// --floating-mean: reported, the same peak on both routes (the Fourier route
// recomputes it by the direct sums the exact route uses everywhere), and
// refused where it does not apply.
TEST(CliAnalyse, FloatingMeanIsReportedAndRefusedOutsideThePlainLombScargle) {
  TempDir dir;
  test::writeSeries(dir / "a.dat", test::makeSineSeries(2, 1500, 0.73, 0.3, 0.05, 300.0));
  const std::string base = "analyse --json --method ls --floating-mean " + quoted(dir / "a.dat");
  std::string exact, fast, err;
  ASSERT_EQ(runCli(base, &exact, &err), 0) << err;
  ASSERT_EQ(runCli(base + " --route fast", &fast, &err), 0) << err;
  EXPECT_NE(exact.find("\"floating_mean\": true"), std::string::npos) << exact;
  EXPECT_EQ(jsonNumber(fast, "best_frequency"), jsonNumber(exact, "best_frequency"));
  EXPECT_EQ(jsonNumber(fast, "max_power"), jsonNumber(exact, "max_power"));
  EXPECT_NEAR(jsonNumber(exact, "period"), 0.73, 0.01);
  EXPECT_EQ(runCli("analyse --method aov --floating-mean " + quoted(dir / "a.dat"), &fast, &err),
            2);
  EXPECT_EQ(runCli(base + " --auto", &fast, &err), 2);
  EXPECT_NE(err.find("--floating-mean"), std::string::npos) << err;
}

TEST(CliAnalyse, GivenPeriodClassifiesCataloguedStarsWithoutASearch) {
  // A classical Cepheid and a contact binary of the bundled examples at their
  // catalogued periods.
  std::string out, err;
  ASSERT_EQ(runCli("analyse --json --period 8.4608918 " +
                       quoted(test::examplesDir() / "OGLE-LMC-CEP-1513.dat") +
                       " --period 0.389942 " + quoted(test::examplesDir() / "V1269_Cen.dat"),
                   &out, &err),
            0)
      << err;
  // The last --period given holds for every file.
  const auto both = lines(out);
  ASSERT_EQ(both.size(), 2u);
  for (const std::string& line : both) {
    EXPECT_NE(line.find("\"method\": \"none\""), std::string::npos) << line;
    EXPECT_EQ(jsonNumber(line, "period"), 0.389942);
    EXPECT_NE(line.find("\"period_error\": null"), std::string::npos) << line;
  }
  EXPECT_NE(both[1].find("\"type\": \"EW"), std::string::npos) << both[1];
  EXPECT_NE(both[1].find("\"t0_from_minimum\": true"), std::string::npos) << both[1];
  EXPECT_EQ(jsonNumber(both[1], "t0"), jsonNumber(both[1], "epoch_of_minimum"));

  ASSERT_EQ(runCli("analyse --json --period 8.4608918 " +
                       quoted(test::examplesDir() / "OGLE-LMC-CEP-1513.dat"),
                   &out, &err),
            0);
  EXPECT_NE(out.find("\"type\": \"DCEP"), std::string::npos) << out;
  EXPECT_EQ(runCli("analyse --period 0 x.dat", &out, &err), 2);
  EXPECT_EQ(runCli("analyse --period -3 x.dat", &out, &err), 2);
}

TEST(CliAnalyse, ManyFilesInArgumentOrderFailuresOnStderr) {
  TempDir dir;
  std::string args =
      "analyse --json --threads 2 --harmonics 1 --min-period 0.5 --max-period 10 --resolution "
      "0.002";
  const std::vector<double> periods{1.1, 2.3, 0.7, 3.9, 1.6};
  for (std::size_t k = 0; k < periods.size(); ++k) {
    const auto name = dir / ("s" + std::to_string(k) + ".dat");
    test::writeSeries(name, test::makeSineSeries(k + 1, 150, periods[k], 0.3, 0.03, 80.0));
    args += " " + quoted(name);
    if (k == 2) args += " " + quoted(dir / "missing.dat");
  }
  std::string out, err;
  EXPECT_EQ(runCli(args, &out, &err), 1);
  EXPECT_NE(err.find("missing.dat: I/O Error! Unable to open file."), std::string::npos) << err;
  const auto rows = lines(out);
  ASSERT_EQ(rows.size(), periods.size());
  for (std::size_t k = 0; k < periods.size(); ++k) {
    EXPECT_NE(rows[k].find("s" + std::to_string(k) + ".dat"), std::string::npos) << rows[k];
    EXPECT_NEAR(jsonNumber(rows[k], "period"), periods[k], test::kPeriodFound * periods[k]);
  }
}

TEST(CliAnalyse, SavesTheDerivedFilesAsTheMenuCommandsDo) {
  TempDir dir;
  test::writeSeries(dir / "b.dat", test::makeSineSeries(2, 120, 0.9, 0.3, 0.05, 50.0));
  std::string out, err;
  ASSERT_EQ(
      runCli("analyse --save-periodogram --save-phased --save-phased-binned --resolution 0.01 " +
                 quoted(dir / "b.dat"),
             &out, &err),
      0)
      << err;
  EXPECT_NE(out.find("Period:"), std::string::npos);
  const std::string periodogram = test::readText(dir / "b-period.dat");
  const std::string phased = test::readText(dir / "b-phased.dat");
  const std::string phasedBinned = test::readText(dir / "b-phasedBinned.dat");
  EXPECT_FALSE(phasedBinned.empty());

  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, (dir / "b.dat").string()).ok);
  ws.settings.resolution = 0.01;
  ASSERT_TRUE(analyseAov(ws, RunControl{}).ok);
  std::filesystem::rename(dir / "b-period.dat", dir / "cli-period.dat");
  std::filesystem::rename(dir / "b-phased.dat", dir / "cli-phased.dat");
  std::filesystem::rename(dir / "b-phasedBinned.dat", dir / "cli-phasedBinned.dat");
  ASSERT_TRUE(savePeriodogram(ws).ok);
  ASSERT_TRUE(savePhasedData(ws).ok);
  ASSERT_TRUE(savePhasedBinned(ws).ok);
  EXPECT_EQ(periodogram, test::readText(dir / "b-period.dat"));
  EXPECT_EQ(phased, test::readText(dir / "b-phased.dat"));
  EXPECT_EQ(phasedBinned, test::readText(dir / "b-phasedBinned.dat"));
}

TEST(CliAnalyse, UsageErrorsAndRefusedSettings) {
  TempDir dir;
  test::writeSeries(dir / "c.dat", test::makeSineSeries(3, 50, 0.9, 0.3, 0.05, 20.0));
  std::string out, err;
  EXPECT_EQ(runCli("analyse", &out, &err), 2);
  EXPECT_EQ(runCli("analyse --method fft " + quoted(dir / "c.dat"), &out, &err), 2);
  EXPECT_EQ(runCli("analyse --resolution", &out, &err), 2);
  EXPECT_EQ(runCli("analyse --harmonics two " + quoted(dir / "c.dat"), &out, &err), 2);
  EXPECT_EQ(runCli("analyse --threads -1 " + quoted(dir / "c.dat"), &out, &err), 2);
  // A resolution no file can be searched with is refused before any file,
  // as the Python module refuses it.
  EXPECT_EQ(runCli("analyse --resolution 0 " + quoted(dir / "c.dat"), &out, &err), 2);
  EXPECT_NE(err.find("Resolution"), std::string::npos) << err;
  EXPECT_TRUE(out.empty());
  // A period range no file can be searched with is a usage error, told once
  // however many files follow.
  test::writeSeries(dir / "d.dat", test::makeSineSeries(4, 50, 0.9, 0.3, 0.05, 20.0));
  const std::string warning =
      "Min period is negative or greater than Max period! Calculation aborted";
  for (const char* method : {"aov", "aovtr", "ls"}) {
    EXPECT_EQ(runCli(std::string("analyse --method ") + method + " --min-period 5 --max-period 1 " +
                         quoted(dir / "c.dat") + " " + quoted(dir / "d.dat"),
                     &out, &err),
              2)
        << method;
    const auto first = err.find(warning);
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find(warning, first + 1), std::string::npos) << err;
    EXPECT_TRUE(out.empty());
  }
  // Harmonics of 0 or below are searched with 1, and the command line says
  // so once.
  EXPECT_EQ(runCli("analyse --harmonics 0 --resolution 0.01 " + quoted(dir / "c.dat") + " " +
                       quoted(dir / "d.dat"),
                   &out, &err),
            0);
  EXPECT_NE(err.find("--harmonics 0 raised to 1"), std::string::npos) << err;
  EXPECT_EQ(err.find("raised"), err.rfind("raised")) << err;
  EXPECT_EQ(runCli("--help", &out, &err), 0);
  EXPECT_NE(out.find("--save-periodogram"), std::string::npos);
}

// The keys beyond the command's own on every line, and the options that
// fill them: grid_period equals period and alias is null without the
// options; --auto refines, decides the alias and warns of nothing.
TEST(CliAnalyse, AutoRefineAndTheReportKeys) {
  TempDir dir;
  // 300 points over 2000 days: the default step of 0.0003 per day is coarser
  // than half a peak (1 / 4000 per day).
  test::writeSeries(dir / "s.dat", test::makeSineSeries(4, 300, 2.713, 0.3, 0.05, 2000.0));
  std::string out, err;
  ASSERT_EQ(runCli("analyse --json --max-period 50 " + quoted(dir / "s.dat"), &out, &err), 0);
  std::string line = lines(out).at(0);
  EXPECT_EQ(jsonNumber(line, "grid_period"), jsonNumber(line, "period"));
  EXPECT_NE(line.find("\"alias\": null"), std::string::npos) << line;
  EXPECT_NE(line.find("\"type_admitted\": "), std::string::npos) << line;
  EXPECT_NE(line.find("\"peaks\": [{\"period\":"), std::string::npos) << line;
  EXPECT_NE(line.find("\"warnings\": [\"The grid step 0.0003 per day"), std::string::npos);
  EXPECT_NE(err.find("Warning: The grid step 0.0003"), std::string::npos) << err;

  ASSERT_EQ(runCli("analyse --json --auto " + quoted(dir / "s.dat"), &out, &err), 0);
  line = lines(out).at(0);
  // The refined period within its own uncertainty, which is of the order of
  // sqrt(6 / N) sigma P^2 / (pi T A) = 2.8e-5 d (Montgomery & O'Donoghue
  // 1999) for these 300 points over 2000 d.
  const double periodError = jsonNumber(line, "period_error");
  EXPECT_GT(periodError, 0);
  EXPECT_LT(periodError, 1e-4);
  EXPECT_NEAR(jsonNumber(line, "period"), 2.713, test::kSigmas * periodError);
  EXPECT_NE(line.find("\"warnings\": []"), std::string::npos) << line;
  EXPECT_NE(line.find("\"alias\": \"none\""), std::string::npos) << line;
  EXPECT_EQ(err, "");
  // --auto computes its grids on the fastest route and says so; its
  // refined period is the exact statistic's maximum on either route.
  EXPECT_NE(line.find("\"route\": \"auto\""), std::string::npos) << line;
  const double autoPeriod = jsonNumber(line, "period");
  ASSERT_EQ(runCli("analyse --json --auto --route exact " + quoted(dir / "s.dat"), &out, &err), 0);
  line = lines(out).at(0);
  EXPECT_EQ(line.find("\"route\""), std::string::npos) << line;
  // The refinement brackets the maximum to 1e-7 of the peak width (5e-4 per
  // day here), 4e-10 d as a period.
  constexpr double kRefinementBracket = 1e-9;
  EXPECT_NEAR(jsonNumber(line, "period"), autoPeriod, kRefinementBracket);

  // Each part alone; the text output shows the same.
  ASSERT_EQ(runCli("analyse --resolve-alias --refine " + quoted(dir / "s.dat"), &out, &err), 0);
  EXPECT_NE(out.find("(1 sigma)"), std::string::npos) << out;
  EXPECT_NE(out.find("Alias:        none"), std::string::npos) << out;
  EXPECT_NE(out.find("Grid period:"), std::string::npos) << out;
  ASSERT_EQ(runCli("analyse --json --resolution auto --oversampling 5 --method ls " +
                       quoted(dir / "s.dat"),
                   &out, &err),
            0);
  line = lines(out).at(0);
  EXPECT_EQ(jsonNumber(line, "grid_period"), jsonNumber(line, "period"));
  EXPECT_NE(line.find("\"alias\": null"), std::string::npos) << line;
  EXPECT_EQ(runCli("analyse --oversampling 0 " + quoted(dir / "s.dat"), &out, &err), 2);
  EXPECT_EQ(runCli("analyse --oversampling", &out, &err), 2);
}

TEST(CliAnalyse, RunningOutOfMemoryFailsTheFileInsteadOfAborting) {
#if defined(FAZORN_UNDER_ASAN)
  GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit";
#else
  TempDir dir;
  test::writeSeries(dir / "c.dat", test::makeSineSeries(3, 50, 0.9, 0.3, 0.05, 20.0));
  std::string out, err;
  // 16.7 million trial frequencies: 267 MB of periodogram in 200 MB.
  const int status = test::runCliWithMemoryLimit(
      200000, "analyse --resolution 3e-7 " + quoted(dir / "c.dat"), &out, &err);
  EXPECT_EQ(status, 1) << err;
  EXPECT_NE(err.find("c.dat: not enough memory for the analysis"), std::string::npos) << err;
  EXPECT_TRUE(out.empty());
#endif
}

TEST(CliAnalyse, InterruptPrintsTheFilesDoneAndStopsTheOthers) {
  TempDir dir;
  // One small file, then two that take far longer on the fine grid (50,000
  // points at 166,600 frequencies each): the signal comes as soon as the
  // small file's line is out, while the first large one is under way.
  test::writeSeries(dir / "small.dat", test::makeSineSeries(1, 30, 0.9, 0.3, 0.05, 20.0));
  test::writeSeries(dir / "large1.dat", test::makeSineSeries(2, 50000, 0.9, 0.3, 0.05, 20.0));
  test::writeSeries(dir / "large2.dat", test::makeSineSeries(3, 50000, 0.9, 0.3, 0.05, 20.0));
  std::string out, err;
  const int status = test::runCliInterruptedAfterLines(
      1,
      "analyse --json --threads 1 --resolution 0.00003 --save-periodogram " +
          quoted(dir / "small.dat") + " " + quoted(dir / "large1.dat") + " " +
          quoted(dir / "large2.dat"),
      &out, &err);
  EXPECT_EQ(status, 130) << err;
  EXPECT_NE(out.find("small.dat"), std::string::npos) << out;
  EXPECT_EQ(out.find("large"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_NE(err.find("interrupted after 1 of 3 files"), std::string::npos) << err;
  // The finished file's periodogram is there; nothing else was written.
  EXPECT_TRUE(std::filesystem::exists(dir / "small-period.dat"));
  std::size_t entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, ++entries;
  EXPECT_EQ(entries, 4u);
}

// The text of a "key": "text" pair of a JSON line.
std::string jsonText(const std::string& line, const std::string& key) {
  const auto at = line.find("\"" + key + "\": \"");
  if (at == std::string::npos) return "<" + key + " missing>";
  const auto start = at + key.size() + 5;
  return line.substr(start, line.find('"', start) - start);
}

TEST(CliAnalyse, FluxLightCurvesAreClassifiedOnTheirMagnitudes) {
  // WASP-126 in TESS (PDCSAP_FLUX in e-/s) at its planet's period: a
  // transit light curve with an admitted type; read as magnitudes (the
  // former behaviour, now only on request) no type admits it.
  const auto tess = test::testDataDir() / "formats" / "tess_spoc_fits" /
                    "hlsp_tess-data-alerts_tess_phot_00025155310-s01_tess_v1_lc.fits";
  std::string out, err;
  ASSERT_EQ(runCli("analyse --json --period 3.2888 " + quoted(tess), &out, &err), 0) << err;
  EXPECT_EQ(jsonText(out, "value_kind"), "flux");
  EXPECT_NE(out.find("\"type_admitted\": true"), std::string::npos) << out;
  EXPECT_LT(std::strtod(jsonText(out, "score").c_str(), nullptr), 1.0) << out;
  EXPECT_EQ(jsonNumber(out, "points"), 18103);
  ASSERT_EQ(runCli("analyse --json --values mag --period 3.2888 " + quoted(tess), &out, &err), 0);
  EXPECT_EQ(jsonText(out, "value_kind"), "mag");
  EXPECT_NE(out.find("\"type_admitted\": false"), std::string::npos) << out;

  // A plain file is magnitudes unless told otherwise.
  ASSERT_EQ(
      runCli("analyse --json --period 0.389942 " + quoted(test::examplesDir() / "V1269_Cen.dat"),
             &out, &err),
      0);
  EXPECT_EQ(jsonText(out, "value_kind"), "mag");
  EXPECT_EQ(jsonNumber(out, "model_points_left_out"), 0);

  // Fluxes with gaps and a negative value: modelled without them, and the
  // count said.
  TempDir dir;
  test::Series s = test::makeSineSeries(5, 400, 0.7, 0.3, 0.01, 50.0);
  for (double& v : s.value) v = 200.0 * std::pow(10.0, -0.4 * v);
  s.value[3] = 0.0;
  s.value[50] = -2.0;
  test::writeSeries(dir / "flux.dat", s);
  ASSERT_EQ(
      runCli("analyse --json --values flux --period 0.7 " + quoted(dir / "flux.dat"), &out, &err),
      0)
      << err;
  EXPECT_EQ(jsonText(out, "value_kind"), "flux");
  EXPECT_EQ(jsonNumber(out, "model_points_left_out"), 2);
  EXPECT_NE(out.find("\"type_admitted\": true"), std::string::npos) << out;
  ASSERT_EQ(runCli("analyse --values flux --period 0.7 " + quoted(dir / "flux.dat"), &out, &err),
            0);
  EXPECT_NE(out.find("2 points with flux <= 0 left out"), std::string::npos) << out;
  EXPECT_EQ(runCli("analyse --values kelvin " + quoted(dir / "flux.dat"), &out, &err), 2);
}

}  // namespace
}  // namespace fazorn
