#include "commands/significance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <sstream>

#include "core/observation_file.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// A plain periodogram for the tests: the fraction of the variance explained
// by the best sinusoid on the settings' grid.
PeakFound plainSearch(std::span<const double> t, std::span<const double> v, std::span<const double>,
                      const SearchSettings& s, const RunControl&) {
  const std::size_t n = v.size();
  double mean = 0;
  for (double x : v) mean += x;
  mean /= static_cast<double>(n);
  double var = 0;
  for (double x : v) var += (x - mean) * (x - mean);
  PeakFound best;
  const double fmin = 1 / s.maxPeriod, fmax = 1 / s.minPeriod;
  for (double f = fmin; f < fmax; f += s.resolution) {
    double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double a = 2 * M_PI * f * t[i], c = std::cos(a), sn = std::sin(a), y = v[i] - mean;
      cc += c * c, ss += sn * sn, cs += c * sn, yc += y * c, ys += y * sn;
    }
    const double det = cc * ss - cs * cs;
    const double p = (ss * yc * yc - 2 * cs * yc * ys + cc * ys * ys) / det / var;
    if (p > best.power) best = {1 / f, p};
  }
  return best;
}

class Significance : public ::testing::Test {
 protected:
  void load(double amplitude, std::uint64_t seed, int n = 80) {
    auto series = test::makeSineSeries(seed, n, 3.3, amplitude, 0.05, 60.0);
    test::writeSeries(dir / "star.dat", series);
    ASSERT_TRUE(loadObservations(ws, (dir / "star.dat").string()).ok);
    ws.settings = SearchSettings{1.0, 10.0, 2, 0.005};
  }
  SignificanceOptions options(long runs, std::uint64_t seed = 7) {
    SignificanceOptions o;
    o.iterations = runs;
    o.seed = seed;
    o.search = plainSearch;
    o.outputPath = (dir / "runs.dat").string();
    return o;
  }
  test::TempDir dir;
  Workspace ws;
};

TEST_F(Significance, FileIsTheSameForASeedWhateverTheThreadCount) {
  load(0.05, 2);
  const Workspace original = ws;
  SignificanceResult r1, r2;
  RunControl one, two;
  two.threads = 2;
  ASSERT_TRUE(runSignificanceTest(ws, options(50), one, &r1).ok);
  const std::string first = test::readText(dir / "runs.dat");
  runSignificanceTest(ws, options(50), two, &r2);
  EXPECT_EQ(test::readText(dir / "runs.dat"), first);
  EXPECT_EQ(r1.runsAtOrAbove, r2.runsAtOrAbove);
  runSignificanceTest(ws, options(50, 8), two, &r2);
  EXPECT_NE(test::readText(dir / "runs.dat"), first);
  // The AoV runs on the route that shares the times' work, too.
  SignificanceOptions shared = options(50);
  shared.search = nullptr;
  shared.method = SearchEngine::Aov;
  shared.route = SearchRoute::Fast;
  runSignificanceTest(ws, shared, one, &r1);
  const std::string sharedFirst = test::readText(dir / "runs.dat");
  runSignificanceTest(ws, shared, two, &r2);
  EXPECT_EQ(test::readText(dir / "runs.dat"), sharedFirst);
  // The user's light curve is the same before and after.
  EXPECT_EQ(ws.lightCurve.value, original.lightCurve.value);
  EXPECT_EQ(ws.lightCurve.error, original.lightCurve.error);

  std::istringstream lines(first);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, " No.   \t  PERIOD    \t POWER");
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    int run = 0;
    double period = 0, power = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d %lf %lf", &run, &period, &power), 3) << line;
    EXPECT_EQ(run, count);
    EXPECT_GE(period, 1.0);
    EXPECT_LE(period, 10.0);
  }
  EXPECT_EQ(count, 50);
}

TEST_F(Significance, CancellingKeepsExactlyTheFinishedRuns) {
  load(0.05, 3);
  std::atomic<bool> cancel{false};
  RunControl rc;
  rc.cancel = &cancel;
  rc.progress = [&](double done) {
    if (done > 0.2) cancel = true;
  };
  SignificanceResult r;
  runSignificanceTest(ws, options(400), rc, &r);
  EXPECT_TRUE(r.cancelled);
  EXPECT_GT(r.runsDone, 0);
  EXPECT_LT(r.runsDone, 400);
  const std::string text = test::readText(dir / "runs.dat");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), r.runsDone + 1);
}

TEST_F(Significance, ARunFileThatCannotBeWrittenIsNeverReportedAsWritten) {
  load(0.3, 3);
  test::writeText(dir / "runs.dat", "earlier\n");
  Outcome out;
  {
    // 400 runs of about 30 bytes each do not fit in 1 kB.
    test::FileSizeLimit full(1024);
    out = runSignificanceTest(ws, options(400), RunControl{});
  }
  EXPECT_FALSE(out.ok);
  ASSERT_TRUE(out.message.has_value());
  EXPECT_EQ(out.message->text, "I/O Error! Unable to open file.");
  for (const std::string& note : out.notes) EXPECT_EQ(note.find("Runs written"), std::string::npos);
  ASSERT_FALSE(out.notes.empty());
  EXPECT_EQ(out.notes.back().rfind("Unable to write " + (dir / "runs.dat").string() + ": ", 0), 0u)
      << out.notes.back();
  EXPECT_EQ(test::readText(dir / "runs.dat"), "earlier\n");
}

TEST_F(Significance, StrongSignalIsSignificantAndNoiseIsNot) {
  load(0.5, 4);
  SignificanceResult r;
  runSignificanceTest(ws, options(100), RunControl{}, &r);
  EXPECT_EQ(r.runsAtOrAbove, 0);
  EXPECT_EQ(r.empiricalFalseAlarmProbability, 0.0);
  // A grid step of 0.005 per day is 0.054 d at 3.3 d: the highest grid point
  // lies within half of it, and the noise moves the peak by far less.
  constexpr double kHalfStepAndNoise = 0.05;
  EXPECT_NEAR(r.observedPeriod, 3.3, kHalfStepAndNoise);

  // For pure noise the observed peak is one more draw of the same
  // distribution: over many light curves the probabilities average 1/2.
  double sum = 0;
  const int curves = 16;
  for (int c = 0; c < curves; ++c) {
    load(0.0, 100 + c, 40);
    runSignificanceTest(ws, options(60, c), RunControl{}, &r);
    sum += r.empiricalFalseAlarmProbability;
    EXPECT_GT(r.uncertainty, 0.0);
  }
  // Uniform probabilities: their mean spreads by sqrt(1 / 12 / 16) = 0.072,
  // and this allows about three of those.
  constexpr double kAboutThreeSigma = 0.2;
  EXPECT_NEAR(sum / curves, 0.5, kAboutThreeSigma);
}

// The Fourier routes change powers by less than 1e-8, far below the spread
// of the randomised peaks: over 2,000 runs the probability stays within its
// binomial uncertainty of the exact route's, and run by run the peaks agree
// to the file's printed digits (the same random streams drive both).
TEST_F(Significance, FourierRoutesGiveTheExactRoutesProbability) {
  auto series = test::makeSineSeries(9, 300, 3.3, 0.012, 0.05, 200.0);
  test::writeSeries(dir / "star.dat", series);
  ASSERT_TRUE(loadObservations(ws, (dir / "star.dat").string()).ok);
  ws.settings = SearchSettings{0.5, 50.0, 2, 0.001};  // 1,980 frequencies
#ifdef FAZORN_UNDER_ASAN
  const long runs = 500;  // the same code paths at a quarter of the sanitizer's time
#else
  const long runs = 2000;
#endif
  for (SearchEngine method : {SearchEngine::Aov, SearchEngine::LombScargle}) {
    SignificanceOptions o = options(runs, 5);
    o.search = nullptr;
    o.method = method;
    SignificanceResult exact, fast;
    RunControl rc;
    rc.threads = 2;
    o.route = SearchRoute::Exact;
    ASSERT_TRUE(runSignificanceTest(ws, o, rc, &exact).ok);
    const std::string exactRuns = test::readText(dir / "runs.dat");
    o.route = SearchRoute::Fast;
    ASSERT_TRUE(runSignificanceTest(ws, o, rc, &fast).ok);
    const std::string fastRuns = test::readText(dir / "runs.dat");
    EXPECT_EQ(fast.runsDone, runs);
    // A probability well inside (0, 1), so that the comparison says something.
    EXPECT_GT(exact.empiricalFalseAlarmProbability, 0.02);
    EXPECT_LT(exact.empiricalFalseAlarmProbability, 0.98);
    EXPECT_NEAR(fast.empiricalFalseAlarmProbability, exact.empiricalFalseAlarmProbability,
                exact.uncertainty);
    // The same grid point.
    EXPECT_NEAR(fast.observedPeriod, exact.observedPeriod,
                test::kSumTolerance * exact.observedPeriod);
    std::istringstream a(exactRuns), b(fastRuns);
    std::string header;
    std::getline(a, header);
    std::getline(b, header);
    int run = 0, samePeriod = 0;
    double ra, pa, wa, rb, pb, wb;
    while (a >> ra >> pa >> wa && b >> rb >> pb >> wb) {
      ++run;
      // AoV: printed with six decimals, one unit of the last digit apart at
      // most. Lomb-Scargle: the exact route's own trigonometric recurrence
      // drifts from direct sums by up to about 1e-5 relative on this grid.
      constexpr double kOneLastDigit = 1.5e-6, kRecurrenceDrift = 1e-5;
      const double slack = method == SearchEngine::Aov ? kOneLastDigit : kRecurrenceDrift * wa;
      EXPECT_NEAR(wa, wb, slack) << "run " << run;
      samePeriod += pa == pb;
    }
    EXPECT_EQ(run, runs);
    // A different period needs two peaks within 1e-8 of each other.
    EXPECT_GE(samePeriod, runs - 2);
  }
}

TEST_F(Significance, RefusesWithoutDataOrWithABadRangeAndNumbersItsFiles) {
  SignificanceResult r;
  Outcome out = runSignificanceTest(ws, options(10), RunControl{}, &r);
  EXPECT_FALSE(out.ok);
  load(0.3, 5);
  ws.settings.minPeriod = 20;
  out = runSignificanceTest(ws, options(10), RunControl{}, &r);
  EXPECT_EQ(out.message->text,
            "Min period is negative or greater than Max period! Calculation aborted");
  ws.settings.minPeriod = 1;
  // The engines share one enumeration; the transit search has no runs.
  auto transit = options(10);
  transit.method = SearchEngine::AovTransit;
  out = runSignificanceTest(ws, transit, RunControl{}, &r);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.failure, Failure::Refused);
  EXPECT_EQ(r.runsDone, 0);
  // Default names in the working directory: the permutation files are
  // numbered by the run counter.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  auto o = options(3);
  o.outputPath.clear();
  runSignificanceTest(ws, o, RunControl{}, &r);
  o.method = SearchEngine::Aov;
  runSignificanceTest(ws, o, RunControl{}, &r);
  o.randomization = Randomization::WhiteNoise;
  runSignificanceTest(ws, o, RunControl{}, &r);
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(std::filesystem::exists(dir / "rand-permute0.dat"));
  EXPECT_TRUE(std::filesystem::exists(dir / "rand-permuteAoV1.dat"));
  EXPECT_TRUE(std::filesystem::exists(dir / "test-b.dat"));
  EXPECT_EQ(ws.randomizationRunCounter, 2);
}

}  // namespace
}  // namespace fazorn
