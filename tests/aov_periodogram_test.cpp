#include "search/aov_periodogram.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ostream>
#include <random>
#include <string>

#include "reference/aov_reference.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

using test::kEngineTolerance;

struct Curve {
  std::vector<double> time, value, weight;
  LightCurveView view() const { return {time, value, weight}; }
};

Curve fromSeries(const test::Series& s, double weightSpread = 0.0, std::uint64_t seed = 3) {
  Curve c{s.time, s.value, {}};
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(1.0 - weightSpread, 1.0 + weightSpread);
  for (double e : s.error) c.weight.push_back(u(rng) / (e * e));
  return c;
}

AovResult search(const Curve& c, double fmin, double fmax, double step, int harmonics,
                 int threads = 1) {
  const GridCheck g = makeFrequencyGrid(fmin, fmax, step);
  EXPECT_TRUE(g.ok()) << g.message;
  RunControl rc;
  rc.threads = threads;
  return computeAovPeriodogram(c.view(), {g.grid, 2 * harmonics + 1}, rc);
}

struct AgreementCase {
  const char* name;
  int points;
  double period, amplitude, noise, span, timeOffset;
  int harmonics;
  double fmin, fmax, step;
};

void PrintTo(const AgreementCase& k, std::ostream* os) { *os << k.name; }

class AovAgreement : public ::testing::TestWithParam<AgreementCase> {};

TEST_P(AovAgreement, FastEngineMatchesThePlainRecurrenceAtEveryFrequency) {
  const AgreementCase& k = GetParam();
  const Curve c = fromSeries(test::makeSineSeries(11, k.points, k.period, k.amplitude, k.noise,
                                                  k.span, 12.0, k.timeOffset),
                             0.5);
  const AovResult fast = search(c, k.fmin, k.fmax, k.step, k.harmonics, 2);
  const auto ref = reference::aovPeriodogram(k.fmax, k.fmin, c.time, c.value, c.weight,
                                             2 * k.harmonics + 1, k.step);
  ASSERT_EQ(fast.power.size(), ref.power.size());
  test::expectArraysNear(fast.power, ref.power, kEngineTolerance, "power");
  test::expectArraysNear(fast.frequency, ref.frequency, 0.0, "frequency");
  EXPECT_EQ(fast.bestIndex, ref.bestIndex);
  EXPECT_NEAR(fast.maxPower, ref.maxPower, kEngineTolerance);
  EXPECT_EQ(fast.bestFrequency, ref.bestFrequency);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AovAgreement,
    ::testing::Values(
        AgreementCase{"Typical", 400, 0.73, 0.3, 0.05, 300, 0, 2, 0.002, 5, 0.0003},
        AgreementCase{"JulianDates", 300, 2.9, 0.2, 0.1, 2000, 2450000.5, 2, 0.002, 5, 0.0003},
        // A short span makes the lowest frequencies badly conditioned.
        AgreementCase{"ShortSpan", 200, 0.31, 0.2, 0.02, 3, 0, 3, 0.002, 6, 0.001},
        AgreementCase{"OneHarmonic", 150, 5.5, 0.5, 0.2, 80, 0, 1, 0.01, 3, 0.0007},
        AgreementCase{"FourHarmonics", 250, 0.45, 0.3, 0.05, 150, 0, 4, 0.05, 4, 0.001},
        // Beyond the compiled moment kernels: the pointwise route throughout.
        AgreementCase{"SevenHarmonics", 120, 1.7, 0.3, 0.05, 60, 0, 7, 0.05, 2, 0.003},
        // Fewer points than terms: degenerate polynomials.
        AgreementCase{"FewPoints", 7, 1.3, 0.3, 0.05, 20, 0, 2, 0.05, 2, 0.01},
        AgreementCase{"PureNoise", 500, 1.0, 0.0, 0.1, 1000, 0, 2, 0.001, 5, 0.0005}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// A fault in the moment route's conditioning test would only send
// frequencies to the slow pointwise route, changing no power; the counter is
// the only witness.
TEST(AovPeriodogram, WellConditionedCurvesStayOnTheMomentRoute) {
  const Curve typical = fromSeries(test::makeSineSeries(4, 800, 0.73, 0.3, 0.05, 300.0), 0.5);
  EXPECT_EQ(search(typical, 0.002, 5, 0.0003, 2).pointwiseFrequencies, 0);
  const Curve julian =
      fromSeries(test::makeSineSeries(5, 500, 2.9, 0.2, 0.1, 2000.0, 12.0, 2450000.5), 0.5);
  EXPECT_EQ(search(julian, 0.002, 5, 0.0003, 3, 2).pointwiseFrequencies, 0);
  // A span of 3 days cannot tell apart the polynomials of the lowest
  // frequencies: some (only those) go pointwise.
  const Curve shortSpan = fromSeries(test::makeSineSeries(6, 200, 0.31, 0.2, 0.02, 3.0), 0.5);
  const AovResult s = search(shortSpan, 0.002, 6, 0.001, 3);
  EXPECT_GT(s.pointwiseFrequencies, 0);
  EXPECT_LT(s.pointwiseFrequencies, static_cast<std::int64_t>(s.power.size()) / 10);
  // Beyond the compiled kernels every frequency is pointwise.
  const AovResult seven = search(typical, 0.05, 2, 0.003, 7);
  EXPECT_EQ(seven.pointwiseFrequencies, static_cast<std::int64_t>(seven.power.size()));
}

TEST(AovPeriodogram, ExactSinusoidHasPowerOneAndPowersStayInTheUnitInterval) {
  // The frequency 0.5 lies on the grid 0.1 + 40 * 0.01.
  Curve c = fromSeries(test::makeSineSeries(5, 200, 2.0, 0.4, 0.0, 50.0));
  AovResult r = search(c, 0.1, 1.0, 0.01, 1);
  ASSERT_EQ(r.status, SearchStatus::Ok);
  EXPECT_NEAR(r.bestFrequency, 0.5, test::kSumTolerance);
  EXPECT_NEAR(r.maxPower, 1.0, kEngineTolerance);  // omega drifts by a few ulp from 0.5 * 2 pi

  c = fromSeries(test::makeSineSeries(6, 300, 1.0, 0.0, 0.1, 200.0), 0.8);
  r = search(c, 0.01, 10, 0.001, 3);
  for (double p : r.power) {
    EXPECT_GE(p, 0.0);
    EXPECT_LE(p, 1.0);
  }
}

TEST(AovPeriodogram, GridStopsBeforeTheUpperFrequency) {
  Curve c = fromSeries(test::makeSineSeries(1, 50, 1.7, 0.3, 0.05, 30.0));
  AovResult r = search(c, 0.5, 2.0, 0.5, 2);
  ASSERT_EQ(r.frequency.size(), 3u);
  EXPECT_DOUBLE_EQ(r.frequency[0], 0.5);
  EXPECT_DOUBLE_EQ(r.frequency[1], 1.0);
  EXPECT_DOUBLE_EQ(r.frequency[2], 1.5);

  GridCheck g = makeFrequencyGrid(1.0, 1.2, 0.5);
  EXPECT_EQ(g.status, GridStatus::Empty);
  EXPECT_EQ(makeFrequencyGrid(0.1, 5, 0.0).status, GridStatus::BadResolution);
  EXPECT_EQ(makeFrequencyGrid(0.1, 5, -1e-3).status, GridStatus::BadResolution);
  EXPECT_EQ(makeFrequencyGrid(0.1, 5, std::nan("")).status, GridStatus::BadResolution);
  EXPECT_EQ(makeFrequencyGrid(0.1, 5, 1e-12).status, GridStatus::TooLarge);
  EXPECT_FALSE(makeFrequencyGrid(0.1, 5, 1e-12).message.empty());
}

TEST(AovPeriodogram, PowersIgnoreAConstantOffsetAndATimeShift) {
  const test::Series s = test::makeSineSeries(21, 300, 0.61, 0.25, 0.08, 400.0);
  const Curve base = fromSeries(s, 0.5);
  Curve shifted = base;
  for (double& v : shifted.value) v += 7.5;
  for (double& t : shifted.time) t += 2450000.0;
  const AovResult a = search(base, 0.01, 4, 0.0005, 2);
  const AovResult b = search(shifted, 0.01, 4, 0.0005, 2);
  test::expectArraysNear(a.power, b.power, kEngineTolerance, "power");
  EXPECT_EQ(a.bestIndex, b.bestIndex);
  EXPECT_NEAR(1.0 / a.bestFrequency, 0.61, test::gridPeriodTolerance(0.61, 0.0005));
}

TEST(AovPeriodogram, ResultsDoNotDependOnTheThreadCount) {
  const Curve c = fromSeries(test::makeSineSeries(8, 700, 3.1, 0.2, 0.1, 900.0), 0.5);
  const AovResult one = search(c, 0.002, 5, 0.0003, 2, 1);
  for (int threads : {2, 3, 0}) {
    const AovResult many = search(c, 0.002, 5, 0.0003, 2, threads);
    EXPECT_EQ(many.power, one.power) << threads << " threads";
    EXPECT_EQ(many.bestIndex, one.bestIndex);
  }
}

TEST(AovPeriodogram, EqualPowersReportTheLowestFrequency) {
  // With one term the power is |sum w x|^2 / (sum w * D), the same at every
  // frequency: the first one must win.
  Curve c = fromSeries(test::makeSineSeries(2, 40, 1.3, 0.3, 0.05, 20.0), 0.9);
  const GridCheck g = makeFrequencyGrid(0.1, 2.0, 0.1);
  const AovResult r = computeAovPeriodogram(c.view(), {g.grid, 1}, RunControl{});
  ASSERT_EQ(r.status, SearchStatus::Ok);
  EXPECT_GT(r.maxPower, 0.0);
  EXPECT_EQ(r.bestIndex, 0);
  EXPECT_EQ(r.power.front(), r.power.back());
}

TEST(AovPeriodogram, NoPeakWithoutVariationAndCancelledRunsSaySo) {
  Curve flat{{0, 1, 2, 3.5}, {5, 5, 5, 5}, {1, 1, 1, 1}};
  AovResult r = search(flat, 0.1, 2, 0.01, 2);
  EXPECT_EQ(r.status, SearchStatus::NoPeak);
  EXPECT_EQ(r.bestIndex, -1);
  EXPECT_FALSE(r.message.empty());
  for (double p : r.power) EXPECT_EQ(p, 0.0);

  // Fewer points than terms: the fit is degenerate everywhere, yet no power
  // may leave [0, 1].
  Curve three{{0, 1, 2.5}, {1, 2, 1.5}, {1, 1, 1}};
  for (double p : search(three, 0.01, 5, 0.001, 2).power) {
    EXPECT_GE(p, 0.0);
    EXPECT_LE(p, 1.0 + 1e-9);
  }

  Curve infinite = fromSeries(test::makeSineSeries(2, 40, 1.3, 0.3, 0.05, 20.0));
  infinite.weight[3] = INFINITY;
  EXPECT_EQ(search(infinite, 0.1, 2, 0.01, 2).status, SearchStatus::NoPeak);

  const Curve c = fromSeries(test::makeSineSeries(2, 100, 1.3, 0.3, 0.05, 20.0));
  std::atomic<bool> cancel{true};
  RunControl rc;
  rc.cancel = &cancel;
  const GridCheck g = makeFrequencyGrid(0.1, 2.0, 0.001);
  EXPECT_EQ(computeAovPeriodogram(c.view(), {g.grid, 5}, rc).status, SearchStatus::Cancelled);
}

TEST(AovPeriodogram, SingleFrequencyStatisticMatchesTheGrid) {
  const Curve c = fromSeries(test::makeSineSeries(4, 120, 0.8, 0.3, 0.05, 40.0), 0.4);
  const AovResult r = search(c, 0.2, 3, 0.01, 2);
  const AovPrepared prepared = prepareAov(c.view(), 5);
  const double pi = 2.0 * std::asin(1.0);
  const std::size_t j = static_cast<std::size_t>(r.bestIndex);
  EXPECT_NEAR(aovPower(prepared, 2.0 * pi * r.frequency[j]), r.power[j], kEngineTolerance);
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

// The Fourier route's promise: every power within this of the exact route's.
using test::kFourierRouteTolerance;

struct FourierCase {
  const char* name;
  int points;
  double period, amplitude, noise, span, timeOffset;
  int harmonics;
  double fmin, fmax, step;
};

void PrintTo(const FourierCase& k, std::ostream* os) { *os << k.name; }

class AovFourierRoute : public ::testing::TestWithParam<FourierCase> {};

TEST_P(AovFourierRoute, PowersWithinTheToleranceAndTheExactRoutesPeak) {
  const FourierCase& k = GetParam();
  const Curve c = fromSeries(test::makeSineSeries(21, k.points, k.period, k.amplitude, k.noise,
                                                  k.span, 12.0, k.timeOffset),
                             0.5);
  const GridCheck g = makeFrequencyGrid(k.fmin, k.fmax, k.step);
  ASSERT_TRUE(g.ok());
  RunControl rc;
  rc.threads = 2;
  const AovResult exact = computeAovPeriodogram(c.view(), {g.grid, 2 * k.harmonics + 1}, rc);
  const AovResult fast =
      computeAovPeriodogram(c.view(), {g.grid, 2 * k.harmonics + 1, SearchRoute::Fast}, rc);
  EXPECT_EQ(exact.route, SearchRoute::Exact);
  EXPECT_EQ(fast.route, SearchRoute::Fast);
  ASSERT_EQ(fast.power.size(), exact.power.size());
  test::expectArraysNear(fast.power, exact.power, kFourierRouteTolerance, "power");
  EXPECT_EQ(fast.frequency, exact.frequency);
  // The peak is recomputed by the exact route: the same bits.
  EXPECT_EQ(fast.bestIndex, exact.bestIndex);
  EXPECT_EQ(fast.maxPower, exact.maxPower);
  EXPECT_EQ(fast.bestFrequency, exact.bestFrequency);
  // Threads share out transforms and blocks; the powers do not change.
  RunControl one;
  const AovResult single =
      computeAovPeriodogram(c.view(), {g.grid, 2 * k.harmonics + 1, SearchRoute::Fast}, one);
  EXPECT_EQ(single.power, fast.power);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AovFourierRoute,
    ::testing::Values(FourierCase{"Typical", 2000, 0.73, 0.3, 0.05, 300, 0, 2, 0.002, 5, 0.0003},
                      // Julian dates over eight years on a fine grid: large phases and a
                      // long accumulated frequency.
                      FourierCase{"JulianDatesMultiYear", 1500, 2.9, 0.2, 0.1, 3000, 2450000.5, 2,
                                  0.0005, 3, 0.00005},
                      // A short span: the lowest frequencies go to the pointwise route.
                      FourierCase{"ShortSpan", 300, 0.31, 0.2, 0.02, 3, 0, 3, 0.002, 6, 0.001},
                      FourierCase{"OneHarmonic", 800, 5.5, 0.5, 0.2, 80, 0, 1, 0.01, 3, 0.0007},
                      FourierCase{"SixHarmonics", 900, 0.45, 0.3, 0.05, 150, 0, 6, 0.05, 4, 0.0005},
                      FourierCase{"PureNoise", 1200, 1.0, 0.0, 0.1, 1000, 0, 2, 0.001, 5, 0.0002}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// Many light curves on shared times: the frequencies are exact products
// where the engine accumulates them, which moves a power by the drift of the
// accumulated frequency times the span (about 1e-13 relative per step, so
// up to a few 1e-9 on the eight-year Julian-date grid) on top of the
// transforms' 1e-10.
constexpr double kSharedTimesTolerance = 1e-8;

class AovSharedTimesRoute : public ::testing::TestWithParam<FourierCase> {};

TEST_P(AovSharedTimesRoute, PowersWithinTheToleranceOfTheExactRouteForEveryLightCurve) {
  const FourierCase& k = GetParam();
  const int terms = 2 * k.harmonics + 1;
  const GridCheck g = makeFrequencyGrid(k.fmin, k.fmax, k.step);
  ASSERT_TRUE(g.ok());
  const Curve first = fromSeries(test::makeSineSeries(21, k.points, k.period, k.amplitude, k.noise,
                                                      k.span, 12.0, k.timeOffset),
                                 0.5);
  const AovSharedTimes shared(first.time, g.grid, terms, first.weight);
  ASSERT_TRUE(shared.usable());
  RunControl rc;
  rc.threads = 2;
  // The first light curve, then others on the same times: values permuted
  // with their weights (the weight moments recomputed) and values alone
  // permuted (the reference weights' moments reused).
  std::mt19937_64 rng(5);
  std::vector<std::size_t> order(first.time.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (int copy = 0; copy < 3; ++copy) {
    Curve c = first;
    if (copy > 0) {
      std::shuffle(order.begin(), order.end(), rng);
      for (std::size_t i = 0; i < order.size(); ++i) {
        c.value[i] = first.value[order[i]];
        if (copy == 1) c.weight[i] = first.weight[order[i]];
      }
    }
    const AovResult exact = computeAovPeriodogram(c.view(), {g.grid, terms}, rc);
    std::vector<double> power(exact.power.size());
    const AovSharedTimes::Peak p = shared.peak(c.value, c.weight, {}, power);
    test::expectArraysNear(power, exact.power, kSharedTimesTolerance, "power");
    EXPECT_NEAR(p.power, exact.maxPower, kSharedTimesTolerance) << "copy " << copy;
    ASSERT_GE(p.index, 0);
    EXPECT_EQ(p.frequency, exact.frequency[static_cast<std::size_t>(p.index)]);
    // The peak is the same grid point unless another lies within the
    // tolerance of it.
    if (p.index != exact.bestIndex) {
      EXPECT_NEAR(exact.power[static_cast<std::size_t>(p.index)], exact.maxPower,
                  2 * kSharedTimesTolerance);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AovSharedTimesRoute,
    ::testing::Values(FourierCase{"Typical", 1000, 0.73, 0.3, 0.05, 300, 0, 2, 0.002, 5, 0.0003},
                      FourierCase{"JulianDatesMultiYear", 600, 2.9, 0.2, 0.1, 3000, 2450000.5, 2,
                                  0.0005, 3, 0.00005},
                      FourierCase{"ShortSpan", 300, 0.31, 0.2, 0.02, 3, 0, 3, 0.002, 6, 0.001},
                      FourierCase{"OneHarmonic", 400, 5.5, 0.5, 0.2, 80, 0, 1, 0.01, 3, 0.0007},
                      FourierCase{"SixHarmonics", 300, 0.45, 0.3, 0.05, 150, 0, 6, 0.05, 4, 0.0005},
                      FourierCase{"PureNoise", 700, 1.0, 0.0, 0.1, 1000, 0, 2, 0.001, 5, 0.0002}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(AovPeriodogram, SharedTimesRefuseWhatTheyCannotComputeAndReuseTheWeightMoments) {
  const Curve c = fromSeries(test::makeSineSeries(8, 200, 0.9, 0.3, 0.05, 100.0), 0.5);
  const GridCheck g = makeFrequencyGrid(0.01, 3, 0.001);
  // Seven harmonics have no moment kernel; the caller takes the engine.
  EXPECT_FALSE(AovSharedTimes(c.time, g.grid, 15).usable());
  EXPECT_FALSE(AovSharedTimes({}, g.grid, 5).usable());
  // With and without the reference weights' moments: the same bits.
  const AovSharedTimes withReference(c.time, g.grid, 5, c.weight);
  const AovSharedTimes without(c.time, g.grid, 5);
  std::vector<double> a(static_cast<std::size_t>(g.grid.count)), b(a.size());
  const auto pa = withReference.peak(c.value, c.weight, {}, a);
  const auto pb = without.peak(c.value, c.weight, {}, b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(pa.index, pb.index);
  // Constant values: no peak; a cancelled run: no peak.
  const std::vector<double> flat(c.value.size(), 3.0);
  EXPECT_LT(without.peak(flat, c.weight).index, 0);
  std::atomic<bool> stop{true};
  RunControl cancelled;
  cancelled.cancel = &stop;
  EXPECT_LT(without.peak(c.value, c.weight, cancelled).index, 0);
  // The shared route pays for its transforms only on long grids and curves.
  EXPECT_TRUE(AovSharedTimes::cheaperThanExact(1000, 16660, 2));
  EXPECT_FALSE(AovSharedTimes::cheaperThanExact(20, 16660, 2));
  EXPECT_FALSE(AovSharedTimes::cheaperThanExact(1000, 16660, 7));
}

TEST(AovPeriodogram, AutoTakesTheFourierRouteOnlyWhereItIsCheaper) {
  EXPECT_FALSE(aovFourierRouteIsCheaper(100, 1000, 2));
  EXPECT_TRUE(aovFourierRouteIsCheaper(100000, 200000, 2));
  EXPECT_TRUE(aovFourierRouteIsCheaper(10000, 16660, 2));
  EXPECT_FALSE(aovFourierRouteIsCheaper(100000, 200000, 7));  // no moment kernel
  const Curve c = fromSeries(test::makeSineSeries(4, 300, 0.73, 0.3, 0.05, 300.0));
  const GridCheck g = makeFrequencyGrid(0.01, 2, 0.001);
  // Without the transforms Auto keeps the exact route's moments but not its
  // norms (see below): not the exact route's bits, so not reported as Exact.
  EXPECT_EQ(computeAovPeriodogram(c.view(), {g.grid, 5, SearchRoute::Auto}, {}).route,
            SearchRoute::Fast);
}

// Auto where the transforms do not pay: the exact route's moments, the
// powers by the O(P^2) recurrence, the blocks near the top recomputed with
// the direct norms, the sums with their lanes over frequencies on short
// light curves and over points on long ones. Every power agrees with the exact route's to rounding,
// the peak is the exact route's to the bit, frequencies whose conditioning
// fails still go pointwise, and the thread count changes nothing.
TEST(AovPeriodogram, AutoWithoutTransformsAgreesWithTheExactRoute) {
  struct Case {
    const char* name;
    int points;
    double period, span, timeOffset, fmin, fmax, step;
  };
  const Case cases[] = {
      // A survey-like curve: few points over years of Julian dates.
      {"SparseMultiYear", 120, 0.61, 3000, 2450000.5, 0.002, 2, 0.0001},
      // Low frequencies over a short span: poorly conditioned moments.
      {"ShortSpan", 300, 0.31, 3, 0, 0.002, 6, 0.001},
      // Fewer points than terms at high harmonic counts.
      {"TenPoints", 10, 0.4, 50, 0, 0.05, 5, 0.001},
      // More points than the sums with lanes over frequencies take: the
      // lanes over points, in chunks.
      {"LongCurveShortGrid", 2500, 0.7, 100, 0, 1.2, 1.3, 0.001},
  };
  for (const Case& k : cases) {
    for (int harmonics = 1; harmonics <= 6; ++harmonics) {
      SCOPED_TRACE(std::string(k.name) + " harmonics " + std::to_string(harmonics));
      const Curve c = fromSeries(
          test::makeSineSeries(7, k.points, k.period, 0.3, 0.05, k.span, 12.0, k.timeOffset), 0.5);
      const GridCheck g = makeFrequencyGrid(k.fmin, k.fmax, k.step);
      ASSERT_TRUE(g.ok());
      ASSERT_FALSE(aovFourierRouteIsCheaper(c.time.size(), g.grid.count, harmonics));
      RunControl two;
      two.threads = 2;
      const int terms = 2 * harmonics + 1;
      const AovResult exact = computeAovPeriodogram(c.view(), {g.grid, terms}, two);
      const AovResult quick =
          computeAovPeriodogram(c.view(), {g.grid, terms, SearchRoute::Auto}, {});
      EXPECT_EQ(quick.route, SearchRoute::Fast);
      ASSERT_EQ(quick.power.size(), exact.power.size());
      test::expectArraysNear(quick.power, exact.power, 1e-11, "power");
      EXPECT_EQ(quick.frequency, exact.frequency);
      EXPECT_EQ(quick.bestIndex, exact.bestIndex);
      EXPECT_EQ(quick.maxPower, exact.maxPower);
      EXPECT_EQ(quick.pointwiseFrequencies > 0, exact.pointwiseFrequencies > 0);
      const AovResult quickTwo =
          computeAovPeriodogram(c.view(), {g.grid, terms, SearchRoute::Auto}, two);
      EXPECT_EQ(quickTwo.power, quick.power);
      // The single-frequency power (moments, or pointwise where they are
      // poorly conditioned) agrees with the grid wherever the fit is defined.
      const AovPrepared prepared = prepareAov(c.view(), terms);
      const double pi = 2.0 * std::asin(1.0);
      for (std::size_t j = 0; j < exact.power.size(); j += 37) {
        const double p = aovPower(prepared, 2.0 * pi * exact.frequency[j]);
        if (exact.power[j] > 0 && p >= 0 && p <= 1 + 1e-9) {
          EXPECT_NEAR(p, exact.power[j], kEngineTolerance) << "frequency " << exact.frequency[j];
        }
      }
    }
  }
}

}  // namespace
}  // namespace fazorn
