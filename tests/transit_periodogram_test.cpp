#include "search/transit_periodogram.h"

#include <algorithm>
#include <numeric>
#include <random>

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
  EXPECT_NEAR(1.0 / tr.bestFrequency, period, 0.01);

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
