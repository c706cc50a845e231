#include "search/transit_periodogram.h"

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>

#include "core/observation_file.h"
#include "search/aov_periodogram.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// A box transit in flux: depth 1 %, duty cycle 3 %, Gaussian noise 0.3 %.
struct Transit {
  std::vector<double> time, value, weight;
  LightCurveView view() const { return {time, value, weight}; }
};
Transit makeTransit(std::uint64_t seed, int n, double period, double span) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, span);
  std::normal_distribution<double> g(0.0, 0.003);
  Transit t;
  for (int i = 0; i < n; ++i) t.time.push_back(u(rng));
  std::sort(t.time.begin(), t.time.end());
  for (double x : t.time) {
    const double phase = x / period - std::floor(x / period);
    t.value.push_back((phase < 0.03 ? 0.99 : 1.0) + g(rng));
    t.weight.push_back(1.0 / (0.003 * 0.003));
  }
  return t;
}

// How far a peak stands above the periodogram's noise: (peak - median) / MAD.
double peakContrast(const std::vector<double>& power, std::size_t peak) {
  std::vector<double> p = power;
  std::nth_element(p.begin(), p.begin() + static_cast<long>(p.size() / 2), p.end());
  const double median = p[p.size() / 2];
  for (double& x : p) x = std::abs(x - median);
  std::nth_element(p.begin(), p.begin() + static_cast<long>(p.size() / 2), p.end());
  return (power[peak] - median) / p[p.size() / 2];
}

TEST(TransitPeriodogram, FindsABoxTransitThatTwoHarmonicAovSeesLess) {
  const double period = 2.7;
  const Transit t = makeTransit(9, 3000, period, 120.0);
  // The command's grid: i * resolution + 1 / maxPeriod.
  const GridCheck g = makeFrequencyGrid(1.0 / 20.0, 1.0 / 0.5, 0.0005);
  ASSERT_TRUE(g.ok());
  RunControl rc;
  rc.threads = 2;
  const TransitResult tr = computeTransitPeriodogram(t.view(), {g.grid, 2, 5}, rc);
  ASSERT_EQ(tr.status, SearchStatus::Ok);
  EXPECT_NEAR(1.0 / tr.bestFrequency, period, test::gridPeriodTolerance(period, 0.0005));

  const AovResult aov = computeAovPeriodogram(t.view(), {g.grid, 5}, rc);
  ASSERT_EQ(aov.status, SearchStatus::Ok);
  // The peak nearest the true frequency in each periodogram.
  auto nearest = [&](const std::vector<double>& f, const std::vector<double>& p) {
    std::size_t best = 0;
    for (std::size_t i = 0; i < f.size(); ++i)
      if (std::abs(f[i] - 1.0 / period) < 0.002 && p[i] > p[best]) best = i;
    return best;
  };
  const double transitContrast = peakContrast(tr.power, nearest(tr.frequency, tr.power));
  const double aovContrast = peakContrast(aov.power, nearest(aov.frequency, aov.power));
  EXPECT_GT(transitContrast, 2.0 * aovContrast)
      << "AoVtr " << transitContrast << ", AoV " << aovContrast;
  // The box explains more of the variance than two harmonics can.
  EXPECT_GT(tr.power[nearest(tr.frequency, tr.power)],
            aov.power[nearest(aov.frequency, aov.power)]);
}

TEST(TransitPeriodogram, ResultsDoNotDependOnTheThreadCountAndPowersAreFractions) {
  const Transit t = makeTransit(4, 800, 1.9, 60.0);
  const GridCheck g = makeFrequencyGrid(0.05, 2.0, 0.002);
  RunControl one, many;
  many.threads = 3;
  const TransitResult a = computeTransitPeriodogram(t.view(), {g.grid, 2, 5}, one);
  const TransitResult b = computeTransitPeriodogram(t.view(), {g.grid, 2, 5}, many);
  EXPECT_EQ(a.power, b.power);
  EXPECT_EQ(a.bestIndex, b.bestIndex);
  for (double p : a.power) {
    EXPECT_GE(p, 0.0);
    EXPECT_LE(p, 1.0);
  }
  // The grid is computed from the index: i * step + minFrequency.
  EXPECT_EQ(a.frequency[100], 100 * 0.002 + 0.05);
}

TEST(TransitPeriodogram, NoPeakForFlatOrTooFewPoints) {
  Transit flat{{0, 1, 2, 3}, {1, 1, 1, 1}, {1, 1, 1, 1}};
  const GridCheck g = makeFrequencyGrid(0.05, 2.0, 0.01);
  EXPECT_EQ(computeTransitPeriodogram(flat.view(), {g.grid}, {}).status, SearchStatus::NoPeak);
  Transit one{{0}, {1}, {1}};
  EXPECT_EQ(computeTransitPeriodogram(one.view(), {g.grid}, {}).status, SearchStatus::NoPeak);
}

TEST(TransitPeriodogram, MergeSortOfTheIndexIsStable) {
  std::mt19937_64 rng(2);
  std::uniform_int_distribution<int> d(0, 40);
  for (int n : {0, 1, 2, 7, 100, 1001}) {
    std::vector<double> key(static_cast<std::size_t>(n));
    for (double& k : key) k = d(rng) / 40.0;  // many ties
    // Partly ordered input, as phases of time-ordered points arrive.
    if (n > 10) std::sort(key.begin(), key.begin() + n / 2);
    std::vector<int> index(key.size()), expected(key.size());
    std::iota(index.begin(), index.end(), 0);
    std::iota(expected.begin(), expected.end(), 0);
    std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) {
      return key[static_cast<std::size_t>(a)] < key[static_cast<std::size_t>(b)];
    });
    std::vector<double> sorted(key.size()), scratch(key.size());
    std::vector<int> scratchIndex(key.size()), runs(key.size() + 1);
    mergeSortIndex(key, index, sorted, scratch, scratchIndex, runs);
    EXPECT_EQ(index, expected) << n;
    EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
  }
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

TEST(TransitPeriodogram, PhaseOrderIsTheStableSortOfTheIndex) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::uniform_int_distribution<int> coarse(0, 9);
  for (int n : {1, 2, 3, 50, 1000}) {
    PhaseOrder order(static_cast<std::size_t>(n));
    for (int trial = 0; trial < 3; ++trial) {
      std::vector<double> phase(static_cast<std::size_t>(n));
      for (double& p : phase) p = trial == 0 ? u(rng) : coarse(rng) / 10.0;  // ties
      if (trial == 2) {
        phase.front() = std::nextafter(1.0, 0.0);  // the very end of the cycle
        phase.back() = 0.0;
      }
      std::vector<int> expected(phase.size()), index(phase.size());
      std::iota(expected.begin(), expected.end(), 0);
      std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) {
        return phase[static_cast<std::size_t>(a)] < phase[static_cast<std::size_t>(b)];
      });
      order.sort(phase, index);
      EXPECT_EQ(index, expected) << n << " points, trial " << trial;
    }
  }
}

}  // namespace
}  // namespace fazorn

#include "reference/transit_reference.h"

namespace fazorn {
namespace {

// Sums of a few thousand weighted terms taken in the same order; the engine
// forms each box from prefix sums, the reference adds its groups directly.
constexpr double kBoxSumRounding = test::kSumTolerance;

struct TransitCase {
  const char* name;
  std::uint64_t seed;
  int points;
  double period, span, timeOffset;
  int binFactor, binSets;
  bool integerTimes;  // times on whole days: whole groups of points share a phase
  double minFrequency, step;
  int count;
};

std::ostream& operator<<(std::ostream& os, const TransitCase& c) { return os << c.name; }

class TransitAgreement : public ::testing::TestWithParam<TransitCase> {};

TEST_P(TransitAgreement, EngineMatchesThePlainSortAndBoxScanAtEveryFrequency) {
  const TransitCase& c = GetParam();
  Transit t = makeTransit(c.seed, c.points, c.period, c.span);
  for (double& x : t.time) x = (c.integerTimes ? std::floor(x) : x) + c.timeOffset;
  // Uneven weights, so that a wrong pairing of weights and values shows.
  std::mt19937_64 rng(c.seed + 1);
  std::uniform_real_distribution<double> u(0.5, 2.0);
  for (double& w : t.weight) w *= u(rng);
  const FrequencyGrid grid{c.minFrequency, c.step, c.count};
  const auto ref = reference::transitPeriodogram(t.time, t.value, t.weight, c.minFrequency, c.step,
                                                 c.count, c.binFactor, c.binSets);
  const auto bits = reference::transitPowersFromRunningTotals(
      t.time, t.value, t.weight, ref.frequency, c.binFactor, c.binSets);
  for (int threads : {1, 2}) {
    RunControl rc;
    rc.threads = threads;
    TransitOptions options{grid, c.binFactor, c.binSets};
    const TransitResult r = computeTransitPeriodogram(t.view(), options, rc);
    ASSERT_EQ(r.power.size(), ref.power.size());
    EXPECT_EQ(r.route, SearchRoute::Exact);
    test::expectArraysNear(r.frequency, ref.frequency, 0.0, "frequency");
    test::expectArraysNear(r.power, ref.power, kBoxSumRounding, "power");
    // The exact route keeps the window's arithmetic to the last bit.
    test::expectArraysNear(r.power, bits, 0.0, "power bits");
    ASSERT_GE(r.bestIndex, 0);
    EXPECT_NEAR(ref.power[static_cast<std::size_t>(r.bestIndex)],
                ref.power[static_cast<std::size_t>(ref.bestIndex)], kBoxSumRounding);

    // The fast route: the same points in every group, added in another
    // order; the peak is recomputed exactly, so it is the exact route's.
    options.route = SearchRoute::Fast;
    const TransitResult fast = computeTransitPeriodogram(t.view(), options, rc);
    EXPECT_EQ(fast.route, SearchRoute::Fast);
    test::expectArraysNear(fast.power, r.power, kBoxSumRounding, "fast power");
    EXPECT_EQ(fast.bestIndex, r.bestIndex);
    EXPECT_EQ(fast.maxPower, r.maxPower);
    EXPECT_EQ(fast.bestFrequency, r.bestFrequency);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransitAgreement,
    ::testing::Values(
        TransitCase{"Typical", 1, 600, 2.3, 90.0, 0.0, 2, 5, false, 0.05, 0.0007, 2800},
        TransitCase{"JulianDates", 2, 400, 3.1, 60.0, 2458000.0, 2, 5, false, 0.1, 0.0011, 1500},
        // Fewer points than groups: most groups are empty.
        TransitCase{"FewerPointsThanGroups", 3, 37, 1.7, 30.0, 0.0, 2, 5, false, 0.1, 0.003, 900},
        TransitCase{"OneSetWideBins", 4, 300, 0.9, 40.0, 0.0, 1, 1, false, 0.2, 0.002, 1200},
        TransitCase{"ManyNarrowBins", 5, 900, 4.2, 150.0, 0.0, 5, 3, false, 0.05, 0.0005, 1500},
        // Whole-day times at whole and half cycles per day: all points in one
        // or two phases, the crowded case of the phase order.
        TransitCase{"CoincidingPhases", 6, 500, 2.0, 200.0, 0.0, 2, 5, true, 0.5, 0.25, 9},
        // Whole-day times on a fine grid: many ties of phase at every
        // frequency, most of them inside the cells a group boundary cuts.
        TransitCase{"WholeDaysFineGrid", 7, 3000, 1.3, 80.0, 2451545.0, 2, 5, true, 0.01, 0.0013,
                    700},
        // Long enough for cells of several points at every frequency.
        TransitCase{"LongCurve", 8, 12000, 5.7, 900.0, 2455000.5, 3, 4, false, 0.002, 0.0029, 350}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// Points at phases exactly i / n of a period, a transit over 50 of them:
// moved from mid-cycle to across phase 0 by a whole number of groups, the
// groups' sums only turn round the cycle, so the best box must explain the
// same share of the variance.
TEST(TransitPeriodogram, TransitAcrossPhaseZeroGivesTheSamePowerAsMidCycle) {
  const int n = 1000;  // 100 groups of 10 points with the default settings
  const double period = 2.0;
  std::mt19937_64 rng(8);
  std::uniform_int_distribution<int> cycle(1, 40);
  auto curve = [&](int firstInTransit) {
    Transit t;
    for (int i = 0; i < n; ++i) {
      // Point 0 comes first in time, so the phases start at exactly 0.
      const int k = i == 0 ? 0 : cycle(rng);
      t.time.push_back(period * (k + i / static_cast<double>(n)));
      const bool inTransit = (i - firstInTransit + n) % n < 50;
      t.value.push_back(inTransit ? 0.99 : 1.0);
      t.weight.push_back(1.0);
    }
    return t;
  };
  const FrequencyGrid grid{1.0 / period, 1e-7, 2};
  const TransitResult mid = computeTransitPeriodogram(curve(500).view(), {grid, 2, 5}, {});
  const TransitResult wrapped = computeTransitPeriodogram(curve(980).view(), {grid, 2, 5}, {});
  ASSERT_EQ(mid.status, SearchStatus::Ok);
  ASSERT_EQ(wrapped.status, SearchStatus::Ok);
  // Noise-free: the box holds the whole transit and explains everything.
  EXPECT_NEAR(mid.power[0], 1.0, kBoxSumRounding);
  EXPECT_NEAR(wrapped.power[0], mid.power[0], kBoxSumRounding);
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

TEST(TransitPeriodogram, AutoTakesTheFastRouteForLongCurvesOnly) {
  const FrequencyGrid grid{0.05, 0.003, 300};
  const Transit shortCurve = makeTransit(11, 200, 1.7, 50.0);
  const Transit longCurve = makeTransit(12, 5000, 1.7, 50.0);
  TransitOptions options{grid, 2, 5};
  options.route = SearchRoute::Auto;
  EXPECT_EQ(computeTransitPeriodogram(shortCurve.view(), options, {}).route, SearchRoute::Exact);
  const TransitResult fast = computeTransitPeriodogram(longCurve.view(), options, {});
  EXPECT_EQ(fast.route, SearchRoute::Fast);
  options.route = SearchRoute::Exact;
  const TransitResult exact = computeTransitPeriodogram(longCurve.view(), options, {});
  test::expectArraysNear(fast.power, exact.power, kBoxSumRounding, "power");
  EXPECT_EQ(fast.bestIndex, exact.bestIndex);

  // Frequencies below 0 are outside the fast route's phase arithmetic: the
  // engine keeps the exact route and says so.
  options.grid = {-0.2, 0.003, 300};
  const TransitResult below = computeTransitPeriodogram(longCurve.view(), options, {});
  options.route = SearchRoute::Fast;
  const TransitResult asked = computeTransitPeriodogram(longCurve.view(), options, {});
  EXPECT_EQ(asked.route, SearchRoute::Exact);
  EXPECT_EQ(asked.power, below.power);
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// Every tenth catalogued star as read from its file (Julian dates, real
// cadences and errors): the fast route gives the exact route's powers within
// rounding and the same peak, on 1 and 2 threads.
TEST(TransitPeriodogram, FastRouteAgreesWithTheExactRouteOnRealStars) {
  std::ifstream catalog(test::realDataDir() / "catalog.csv");
  ASSERT_TRUE(catalog.good());
  std::string line;
  std::getline(catalog, line);  // header
  int stars = 0;
  for (int row = 0; std::getline(catalog, line); ++row) {
    if (row % 10 != 0) continue;
    const std::string file = line.substr(0, line.find(','));
    const ObservationRead read = readObservations((test::realDataDir() / file).string());
    ASSERT_TRUE(read.opened) << file;
    if (read.zeroErrorCount > 0 || read.nonFiniteCount > 0 || read.time.size() < 30) continue;
    std::vector<double> weight;
    for (double e : read.error) weight.push_back(1.0 / (e * e));
    const LightCurveView view{read.time, read.value, weight};
    // Periods 0.2 to 500 days, ten times coarser than the window's step.
    const GridCheck g = makeFrequencyGrid(1.0 / 500.0, 1.0 / 0.2, 0.003);
    TransitOptions options{g.grid, 2, 5};
    RunControl rc;
    rc.threads = 2;
    const TransitResult exact = computeTransitPeriodogram(view, options, rc);
    options.route = SearchRoute::Fast;
    for (int threads : {1, 2}) {
      rc.threads = threads;
      const TransitResult fast = computeTransitPeriodogram(view, options, rc);
      EXPECT_EQ(fast.route, SearchRoute::Fast) << file;
      test::expectArraysNear(fast.power, exact.power, kBoxSumRounding, file.c_str());
      EXPECT_EQ(fast.bestIndex, exact.bestIndex) << file;
      EXPECT_EQ(fast.maxPower, exact.maxPower) << file;
    }
    ++stars;
  }
  EXPECT_GE(stars, 20);
}

}  // namespace
}  // namespace fazorn

#include "search/period_statistic.h"
#include "search/search_grid.h"

namespace fazorn {
namespace {

// A long light curve on a coarse pass's step (a third of the box's peak
// width d / T): the segments' folds come close to the periodogram, put
// their highest peak where it has its own, and do not depend on the thread
// count; a short one, or a grid below 0, gets the periodogram itself.
TEST(TransitCandidates, CloseToThePeriodogramOnLongCurvesThePeriodogramOtherwise) {
  const double period = 3.3, span = 300.0;
#ifdef FAZORN_UNDER_ASAN
  const int points = 10000;  // half the exact route's work, still folded: the code paths
#else
  const int points = 20000;
#endif
  Transit t = makeTransit(21, points, period, span);
  std::mt19937_64 rng(22);
  std::uniform_real_distribution<double> u(0.5, 2.0);
  for (double& w : t.weight) w *= u(rng);
  const double step = transitDutyCycle(2) / (3.0 * span);
  TransitOptions options{{0.2, step, 7200}, 2, 5};
  options.route = SearchRoute::Fast;
  RunControl one, two;
  two.threads = 2;
  const TransitResult exact = computeTransitPeriodogram(t.view(), options, two);
  const TransitResult folded = computeTransitCandidates(t.view(), options, one);
  ASSERT_EQ(folded.status, SearchStatus::Ok);
  EXPECT_EQ(computeTransitCandidates(t.view(), options, two).power, folded.power);
  ASSERT_EQ(folded.power.size(), exact.power.size());
  double worst = 0.0;
  for (std::size_t j = 0; j < exact.power.size(); ++j)
    worst = std::max(worst, std::abs(folded.power[j] - exact.power[j]));
  // Folded, not the periodogram's arithmetic; phases off by about a bin
  // (1 / 256 of the cycle) move the powers by a small part of the peak.
  EXPECT_GT(worst, 0.0);
  EXPECT_LT(worst, 0.1 * exact.maxPower);
  EXPECT_LE(std::abs(folded.bestIndex - exact.bestIndex), 1);
  EXPECT_NEAR(1.0 / folded.bestFrequency, period, 2.0 * step * period * period);

  const Transit shortCurve = makeTransit(23, 500, period, span);
  EXPECT_EQ(computeTransitCandidates(shortCurve.view(), options, one).power,
            computeTransitPeriodogram(shortCurve.view(), options, one).power);
  options.grid = {-0.1, step, 300};
  EXPECT_EQ(computeTransitCandidates(t.view(), options, one).power,
            computeTransitPeriodogram(t.view(), options, one).power);
}

// The search over the fine grid d / (10 T) with its coarse pass: off the
// exact route the coarse pass folds segments, and the fine grid around its
// candidates finds the exact route's frequency.
TEST(TransitCandidates, CoarseToFineSearchFindsTheExactRoutesPeak) {
  const double period = 3.3, span = 300.0;
#ifdef FAZORN_UNDER_ASAN
  const int points = 4000;  // half the exact route's work: the code paths
#else
  const int points = 8000;
#endif
  const Transit t = makeTransit(24, points, period, span);
  GridSearchOptions g;
  g.engine = SearchEngine::AovTransit;
  g.minFrequency = 0.1;
  g.maxFrequency = 2.0;
  g.peakWidth = peakWidth(SearchEngine::AovTransit, timeSpanOf(t.time), 2);
  g.step = g.peakWidth / 10.0;
  RunControl rc;
  rc.threads = 2;
  const auto exactStat = makePeriodStatistic(SearchEngine::AovTransit, t.view(), 2);
  const auto fastStat =
      makePeriodStatistic(SearchEngine::AovTransit, t.view(), 2, SearchRoute::Fast);
  const GridSearchResult exact = searchGrid(*exactStat, g, rc);
  const GridSearchResult fast = searchGrid(*fastStat, g, rc);
  ASSERT_EQ(exact.status, SearchStatus::Ok);
  ASSERT_EQ(fast.status, SearchStatus::Ok);
  EXPECT_GT(exact.fineCount, 60000);  // large enough for the coarse pass
  EXPECT_EQ(fast.bestFrequency, exact.bestFrequency);
  EXPECT_EQ(fast.maxPower, exact.maxPower);
  // Within the peak's width of the true period (the noise moves the top).
  EXPECT_NEAR(1.0 / fast.bestFrequency, period, g.peakWidth * period * period);
}

}  // namespace
}  // namespace fazorn
