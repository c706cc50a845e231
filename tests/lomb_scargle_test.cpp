#include "search/lomb_scargle.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "reference/lomb_scargle_reference.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// The engine and the transcription perform the same operations in the same
// order; only the thread split differs, which must not change a bit.
constexpr double kSameOperations = 0.0;
using test::kSinglePrecisionDrift;

LombScargleResult run(const test::Series& s, double ofac, double hifac, int threads = 1,
                      std::int64_t capacity = -1) {
  RunControl rc;
  rc.threads = threads;
  return computeLombScarglePeriodogram(s.time, s.value, {ofac, hifac, capacity}, rc);
}

TEST(LombScargle, MatchesThePublishedRoutineOnAnyNumberOfThreads) {
  const test::Series s = test::makeSineSeries(3, 500, 1.37, 0.2, 0.1, 300.0, 12.0, 2450000.0);
  const auto ref = reference::lombScarglePeriodogram(s.time, s.value, 3.0, 2.0);
  for (int threads : {1, 2, 3}) {
    const LombScargleResult r = run(s, 3.0, 2.0, threads);
    ASSERT_EQ(r.status, SearchStatus::Ok);
    test::expectArraysNear(r.power, ref.power, kSameOperations, "power");
    test::expectArraysNear(r.frequency, ref.frequency, kSameOperations, "frequency");
    EXPECT_EQ(r.peakIndex, ref.peakIndex);
    EXPECT_EQ(r.falseAlarmProbability, ref.falseAlarmProbability);
  }
  const LombScargleResult r = run(s, 3.0, 2.0);
  EXPECT_NEAR(1.0 / r.frequency[static_cast<std::size_t>(r.peakIndex)], 1.37,
              test::gridPeriodTolerance(1.37, r.frequency[1] - r.frequency[0]));
  EXPECT_LT(r.falseAlarmProbability, 1e-10);
}

TEST(LombScargle, PowerIsTheClassicalLombNormalisationOnIndependentData) {
  // White noise: independent values, no special structure.
  test::Series s = test::makeSineSeries(17, 300, 1.0, 0.0, 1.0, 50.0);
  const LombScargleResult r = run(s, 4.0, 1.0);
  const AverageAndVariance av = averageAndVariance(s.value);
  const double twoPi = 2.0 * std::acos(-1.0);
  for (std::size_t i = 0; i < r.power.size(); i += 7) {
    const double omega = twoPi * r.frequency[i];
    double s2 = 0, c2 = 0;
    for (double t : s.time) s2 += std::sin(2 * omega * t), c2 += std::cos(2 * omega * t);
    const double tau = std::atan2(s2, c2) / (2 * omega);
    double yc = 0, ys = 0, cc = 0, ss = 0;
    for (std::size_t j = 0; j < s.time.size(); ++j) {
      const double c = std::cos(omega * (s.time[j] - tau)),
                   sn = std::sin(omega * (s.time[j] - tau));
      const double y = s.value[j] - av.average;
      yc += y * c, ys += y * sn, cc += c * c, ss += sn * sn;
    }
    const double classical = (yc * yc / cc + ys * ys / ss) / (2 * av.variance);
    EXPECT_NEAR(r.power[i], classical, kSinglePrecisionDrift * std::max(1.0, classical)) << i;
  }
}

// Below 1 % the false-alarm probability is the union bound M e^-z; above it
// the exact 1 - (1 - e^-z)^M for M independent frequencies. A peak in
// between takes the second formula, which lies below the bound by about
// half its square.
TEST(LombScargle, ModerateFalseAlarmProbabilityUsesTheIndependentTrialsFormula) {
  bool found = false;
  for (std::uint64_t seed = 1; seed < 400 && !found; ++seed) {
    const test::Series s = test::makeSineSeries(seed, 120, 1.3, 0.0, 1.0, 40.0);
    const LombScargleResult r = run(s, 4.0, 1.0, 2);
    if (!(r.falseAlarmProbability > 0.02 && r.falseAlarmProbability < 0.1)) continue;
    found = true;
    const auto ref = reference::lombScarglePeriodogram(s.time, s.value, 4.0, 1.0);
    EXPECT_EQ(r.falseAlarmProbability, ref.falseAlarmProbability);
    const double independent = 2.0 * static_cast<double>(r.power.size()) / 4.0;
    const double x = std::exp(-r.maxPower);
    const double unionBound = independent * x;
    EXPECT_NEAR(r.falseAlarmProbability, -std::expm1(independent * std::log1p(-x)),
                test::kSumTolerance);
    EXPECT_LT(r.falseAlarmProbability, unionBound - 0.3 * unionBound * unionBound);
  }
  EXPECT_TRUE(found) << "no white-noise curve with a false-alarm probability of 2 % to 10 %";
}

TEST(LombScargle, ShortOutputIsReportedAndNeverOverrun) {
  const test::Series s = test::makeSineSeries(4, 100, 2.0, 0.3, 0.05, 40.0);
  testing::internal::CaptureStderr();
  const LombScargleResult r = run(s, 4.0, 1.0, 2, 50);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "Numerical Recipes run-time error...\noutput arrays too short in period\n"
            "...now exiting to system...\n");
  EXPECT_EQ(r.power.size(), 50u);
  EXPECT_EQ(r.frequency.size(), 50u);
  const LombScargleResult full = run(s, 4.0, 1.0);
  EXPECT_EQ(full.power.size(), 200u);  // trunc(0.5 * 4 * 1 * 100)
  for (std::size_t i = 0; i < 50; ++i) EXPECT_EQ(r.power[i], full.power[i]);
}

TEST(LombScargle, DegenerateInputsGiveNoPeak) {
  EXPECT_EQ(run({{1.0}, {2.0}, {0.1}}, 4, 1).status, SearchStatus::NoPeak);
  EXPECT_EQ(run({{1, 2, 3, 4}, {5, 5, 5, 5}, {}}, 4, 1).status, SearchStatus::NoPeak);
  EXPECT_EQ(run({{2, 2, 2, 2}, {5, 6, 5, 7}, {}}, 4, 1).status, SearchStatus::NoPeak);

  const std::vector<double> y{1, 2, 3, 4, 10};
  const AverageAndVariance av = averageAndVariance(y);
  EXPECT_DOUBLE_EQ(av.average, 4.0);
  EXPECT_DOUBLE_EQ(av.variance, 12.5);  // (9 + 4 + 1 + 0 + 36) / 4
}

}  // namespace
}  // namespace fazorn

namespace fazorn {
namespace {

using test::kFourierRouteTolerance;
using test::kSinglePrecisionDrift;

// The classical power by direct sums, written out here on its own.
double classicalPower(const test::Series& s, double frequency) {
  const std::size_t n = s.time.size();
  double mean = 0.0;
  for (double v : s.value) mean += v;
  mean /= static_cast<double>(n);
  double var = 0.0;
  for (double v : s.value) var += (v - mean) * (v - mean);
  var /= static_cast<double>(n - 1);
  const double omega = 2.0 * std::acos(-1.0) * frequency;
  const double t0 = s.time.front();
  double s2 = 0, c2 = 0;
  for (double t : s.time)
    s2 += std::sin(2 * omega * (t - t0)), c2 += std::cos(2 * omega * (t - t0));
  const double tau = std::atan2(s2, c2) / (2 * omega);
  double yc = 0, ys = 0, cc = 0, ss = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const double a = omega * (s.time[j] - t0 - tau);
    const double y = s.value[j] - mean;
    yc += y * std::cos(a), ys += y * std::sin(a);
    cc += std::cos(a) * std::cos(a), ss += std::sin(a) * std::sin(a);
  }
  return (yc * yc / cc + ys * ys / ss) / (2 * var);
}

TEST(LombScargle, FourierRouteMatchesDirectSumsAtEveryFrequency) {
  struct Case {
    const char* name;
    std::uint64_t seed;
    int points;
    double period, amplitude, span, offset, ofac, hifac;
  };
  for (const Case& c :
       {Case{"Typical", 1, 700, 1.37, 0.2, 300.0, 0.0, 4.0, 1.0},
        Case{"JulianDatesMultiYear", 2, 500, 3.3, 0.1, 2500.0, 2455000.0, 4.0, 3.0},
        Case{"PureNoise", 3, 600, 1.0, 0.0, 100.0, 0.0, 8.0, 2.0},
        // Fewer frequencies than points: the wider spreading grid.
        Case{"MorePointsThanFrequencies", 4, 2000, 2.1, 0.2, 200.0, 0.0, 4.0, 0.1}}) {
    const test::Series s =
        test::makeSineSeries(c.seed, c.points, c.period, c.amplitude, 0.1, c.span, 12.0, c.offset);
    LombScargleOptions options{c.ofac, c.hifac, -1, SearchRoute::Fast};
    RunControl rc;
    rc.threads = 2;
    const LombScargleResult fast = computeLombScarglePeriodogram(s.time, s.value, options, rc);
    options.route = SearchRoute::Exact;
    const LombScargleResult recurrence =
        computeLombScarglePeriodogram(s.time, s.value, options, rc);
    ASSERT_EQ(fast.status, SearchStatus::Ok) << c.name;
    EXPECT_EQ(fast.route, SearchRoute::Fast);
    EXPECT_EQ(fast.frequency, recurrence.frequency) << c.name;
    std::vector<double> direct(fast.frequency.size());
    for (std::size_t k = 0; k < direct.size(); ++k)
      direct[k] = classicalPower(s, fast.frequency[k]);
    test::expectArraysNear(fast.power, direct, kFourierRouteTolerance, c.name);
    // The single-precision recurrence stays within its own drift of both.
    test::expectArraysNear(fast.power, recurrence.power, kSinglePrecisionDrift * 10, c.name);
    const auto peak = std::max_element(direct.begin(), direct.end()) - direct.begin();
    EXPECT_EQ(fast.peakIndex, peak) << c.name;
  }
  EXPECT_FALSE(lombScargleFourierRouteIsCheaper(100, 200));
  EXPECT_TRUE(lombScargleFourierRouteIsCheaper(10000, 16666));
}

// The generalised periodogram written out on its own: the weighted least
// squares of c + a cos + b sin by its 3 x 3 normal equations (Cramer's rule),
// against the constant alone, scaled by (n - 1) / 2.
double floatingMeanPower(const test::Series& s, const std::vector<double>& w, double frequency) {
  const std::size_t n = s.time.size();
  const double omega = 2.0 * std::acos(-1.0) * frequency;
  const double t0 = s.time[n / 2];
  // The values about their plain mean, against cancellation in the sums.
  double mean = 0;
  for (double y : s.value) mean += y / static_cast<double>(n);
  double m[3][3] = {}, v[3] = {}, yy = 0, sw = 0, swy = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const double y = s.value[j] - mean;
    const double f[3] = {1.0, std::cos(omega * (s.time[j] - t0)),
                         std::sin(omega * (s.time[j] - t0))};
    for (int a = 0; a < 3; ++a) {
      v[a] += w[j] * f[a] * y;
      for (int b = 0; b < 3; ++b) m[a][b] += w[j] * f[a] * f[b];
    }
    yy += w[j] * y * y, sw += w[j], swy += w[j] * y;
  }
  auto det = [](const double(&q)[3][3]) {
    return q[0][0] * (q[1][1] * q[2][2] - q[1][2] * q[2][1]) -
           q[0][1] * (q[1][0] * q[2][2] - q[1][2] * q[2][0]) +
           q[0][2] * (q[1][0] * q[2][1] - q[1][1] * q[2][0]);
  };
  const double d = det(m);
  double fit = 0;  // sum of coefficient times right-hand side: the explained part
  for (int a = 0; a < 3; ++a) {
    double q[3][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) q[r][c] = c == a ? v[r] : m[r][c];
    fit += det(q) / d * v[a];
  }
  const double constant = swy * swy / sw;
  return 0.5 * static_cast<double>(n - 1) * (fit - constant) / (yy - constant);
}

// The direct sums' power (floating mean with weights w, or classical) at
// every frequency of a grid.
std::vector<double> directPowers(const test::Series& s, const std::vector<double>& w,
                                 const std::vector<double>& frequency, bool floating) {
  std::vector<double> power(frequency.size());
  for (std::size_t k = 0; k < power.size(); ++k)
    power[k] = floating ? floatingMeanPower(s, w, frequency[k]) : classicalPower(s, frequency[k]);
  return power;
}

TEST(LombScargle, FloatingMeanMatchesWeightedLeastSquaresOnBothRoutes) {
  // Clumped sampling (a third of each cycle of 7 d left out) with a large
  // mean: where the fitted mean matters.
  test::Series s = test::makeSineSeries(9, 600, 2.7, 0.3, 0.1, 400.0, 15.0, 2455000.0);
  test::Series kept;
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> errors(0.02, 0.2);
  std::vector<double> w;
  for (std::size_t j = 0; j < s.time.size(); ++j) {
    if (std::fmod(s.time[j], 7.0) < 2.3) continue;
    kept.time.push_back(s.time[j]);
    kept.value.push_back(s.value[j]);
    const double e = errors(rng);
    w.push_back(1.0 / (e * e));
  }
  for (bool weighted : {false, true}) {
    const std::vector<double> weights = weighted ? w : std::vector<double>(w.size(), 1.0);
    LombScargleOptions options{4.0, 1.5, -1, SearchRoute::Fast, true};
    RunControl rc;
    rc.threads = 2;
    const LombScargleResult fast =
        computeLombScarglePeriodogram(kept.time, kept.value, weights, options, rc);
    options.route = SearchRoute::Exact;
    const LombScargleResult exact =
        computeLombScarglePeriodogram(kept.time, kept.value, weights, options, rc);
    ASSERT_EQ(fast.status, SearchStatus::Ok);
    ASSERT_EQ(exact.status, SearchStatus::Ok);
    EXPECT_EQ(fast.route, SearchRoute::Fast);
    EXPECT_EQ(exact.route, SearchRoute::Exact);
    std::vector<double> direct(fast.frequency.size());
    for (std::size_t k = 0; k < direct.size(); ++k)
      direct[k] = floatingMeanPower(kept, weights, fast.frequency[k]);
    // Relative where the power exceeds 1: the reference's own rounding
    // grows with the power.
    for (std::size_t k = 0; k < direct.size(); ++k) {
      const double scale = std::max(1.0, direct[k]);
      EXPECT_NEAR(fast.power[k], direct[k], kFourierRouteTolerance * scale) << weighted << k;
      EXPECT_NEAR(exact.power[k], direct[k], kFourierRouteTolerance * scale) << weighted << k;
    }
    EXPECT_NEAR(1.0 / fast.frequency[static_cast<std::size_t>(fast.peakIndex)], 2.7, 0.01);
    EXPECT_EQ(fast.peakIndex, exact.peakIndex);
  }
  // The classical route is untouched by the option's weights, and bad weights
  // are refused rather than used.
  const LombScargleOptions classical{4.0, 1.5};
  EXPECT_EQ(computeLombScarglePeriodogram(kept.time, kept.value, w, classical, {}).power,
            computeLombScarglePeriodogram(kept.time, kept.value, classical, {}).power);
  std::vector<double> bad = w;
  bad[3] = 0.0;
  const LombScargleOptions floating{4.0, 1.5, -1, SearchRoute::Fast, true};
  const LombScargleResult refused =
      computeLombScarglePeriodogram(kept.time, kept.value, bad, floating, {});
  EXPECT_EQ(refused.status, SearchStatus::NoPeak);
  EXPECT_FALSE(refused.message.empty());
}

// Both kinds of sums of the Fourier route, the Gaussian spreading and the
// moments in cells, on light curves of many more points than frequencies
// (where the automatic choice takes the moments) and the reverse, for the
// classical and the floating-mean power. Within the route's tolerance of
// the direct sums, relative where the power exceeds 1 (the references' own
// rounding grows with the power); the same bits on 1 and 2 threads.
TEST(LombScargle, FourierSumsOfBothKindsMatchDirectSums) {
  struct Case {
    const char* name;
    std::uint64_t seed;
    int points;
    double period, amplitude, noise, span, offset, ofac, hifac;
    FourierSums automatic;  // what Auto is expected to take
  };
  for (const Case& c : {
           // A strong signal (peak power about 2000) over 8 years of Julian dates.
           Case{"ManyPointsStrongSignal", 11, 20000, 0.61, 0.3, 0.1, 3000.0, 2455000.0, 4.0, 0.02,
                FourierSums::Moments},
           Case{"ManyPointsNoise", 12, 16000, 1.0, 0.0, 0.1, 200.0, 0.0, 6.0, 0.03,
                FourierSums::Moments},
           // Oversampling below 1 (as for a wide period range): the points'
           // angles wrap around the circle more than once at both harmonics.
           Case{"ManyPointsWrappedAngles", 14, 12000, 0.37, 0.2, 0.1, 500.0, 2450000.0, 0.7, 0.1,
                FourierSums::Moments},
           Case{"FewPointsManyFrequencies", 13, 300, 2.3, 0.2, 0.1, 300.0, 2450000.0, 8.0, 10.0,
                FourierSums::Spreading},
       }) {
    const test::Series s = test::makeSineSeries(c.seed, c.points, c.period, c.amplitude, c.noise,
                                                c.span, 12.0, c.offset);
    std::vector<double> w(s.time.size());
    std::mt19937_64 rng(c.seed);
    std::uniform_real_distribution<double> errors(0.05, 0.2);
    for (double& x : w) x = 1.0 / std::pow(errors(rng), 2);
    for (bool floating : {false, true}) {
      LombScargleOptions options{c.ofac, c.hifac, -1, SearchRoute::Fast, floating};
      std::vector<double> direct;
      std::vector<double> automatic;
      for (FourierSums sums : {FourierSums::Spreading, FourierSums::Moments, FourierSums::Auto}) {
        options.fourierSums = sums;
        RunControl rc;
        rc.threads = 1;
        const LombScargleResult one =
            computeLombScarglePeriodogram(s.time, s.value, w, options, rc);
        rc.threads = 2;
        const LombScargleResult two =
            computeLombScarglePeriodogram(s.time, s.value, w, options, rc);
        ASSERT_EQ(one.status, SearchStatus::Ok) << c.name;
        EXPECT_EQ(one.power, two.power) << c.name;
        if (sums == FourierSums::Auto) {
          EXPECT_EQ(one.fourierSums, c.automatic) << c.name << floating;
          continue;
        }
        EXPECT_EQ(one.fourierSums, sums) << c.name;
        if (direct.empty()) direct = directPowers(s, w, one.frequency, floating);
        double worst = 0.0;
        for (std::size_t k = 0; k < direct.size(); ++k)
          worst = std::max(worst, std::abs(one.power[k] - direct[k]) / std::max(1.0, direct[k]));
        EXPECT_LE(worst, kFourierRouteTolerance) << c.name << " floating " << floating;
        const auto peak = std::max_element(direct.begin(), direct.end()) - direct.begin();
        EXPECT_EQ(one.peakIndex, peak) << c.name;
      }
    }
  }
}

// Few points on many frequencies: the grid is summed in parts, each long
// run of frequencies one exact step apart on its own step (no drift, no
// companions) and the lowest frequencies with their companions. Every
// frequency within the route's tolerance of the direct sums, across the
// parts' boundaries too, on both kinds of sums; the same bits on 1 and 2
// threads. A grid of fewer frequencies than the points stays whole.
TEST(LombScargle, GridInExactPartsMatchesDirectSums) {
  const test::Series s = test::makeSineSeries(21, 120, 0.83, 0.2, 0.1, 400.0, 12.0, 2455000.0);
  std::vector<double> w(s.time.size());
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> errors(0.05, 0.2);
  for (double& x : w) x = 1.0 / std::pow(errors(rng), 2);
  for (bool floating : {false, true}) {
    // 0.5 * 4 * 250 * 120 = 60,000 frequencies up to 37 c/d.
    LombScargleOptions options{4.0, 250.0, -1, SearchRoute::Fast, floating};
    std::vector<double> direct;
    for (FourierSums sums : {FourierSums::Auto, FourierSums::Spreading, FourierSums::Moments}) {
      options.fourierSums = sums;
      RunControl rc;
      rc.threads = 1;
      const LombScargleResult one = computeLombScarglePeriodogram(s.time, s.value, w, options, rc);
      rc.threads = 2;
      const LombScargleResult two = computeLombScarglePeriodogram(s.time, s.value, w, options, rc);
      ASSERT_EQ(one.status, SearchStatus::Ok);
      EXPECT_EQ(one.power, two.power) << floating;
      // Where the estimated costs take the parts (the classical spreading
      // keeps the grid whole here).
      if (floating || sums == FourierSums::Moments) {
        EXPECT_GT(one.fourierParts, 1) << floating << static_cast<int>(sums);
      }
      if (direct.empty()) direct = directPowers(s, w, one.frequency, floating);
      double worst = 0.0;
      std::size_t at = 0;
      for (std::size_t k = 0; k < direct.size(); ++k) {
        const double e = std::abs(one.power[k] - direct[k]) / std::max(1.0, direct[k]);
        if (e > worst) worst = e, at = k;
      }
      EXPECT_LE(worst, kFourierRouteTolerance)
          << "floating " << floating << " sums " << static_cast<int>(sums) << " at " << at;
      const auto peak = std::max_element(direct.begin(), direct.end()) - direct.begin();
      EXPECT_EQ(one.peakIndex, peak);
    }
  }
  const test::Series many = test::makeSineSeries(22, 5000, 0.83, 0.2, 0.1, 400.0);
  const LombScargleResult whole = computeLombScarglePeriodogram(
      many.time, many.value, {4.0, 0.5, -1, SearchRoute::Fast}, RunControl{});
  EXPECT_EQ(whole.fourierParts, 1);
}

// Light curves on shared times (the randomisation runs): the frequencies
// are exact products where the engine accumulates them, which moves a power
// by the drift of the accumulated frequency times the span.
constexpr double kSharedTimesTolerance = 1e-7;

TEST(LombScargle, SharedTimesMatchDirectSumsForEveryLightCurveOnTheTimes) {
  const test::Series s = test::makeSineSeries(5, 800, 2.1, 0.2, 0.1, 2500.0, 12.0, 2455000.0);
  const LombScargleOptions options{4.0, 2.0};
  const LombScargleSharedTimes shared(s.time, options);
  ASSERT_TRUE(shared.usable());
  std::mt19937_64 rng(3);
  test::Series copy = s;
  for (int run = 0; run < 2; ++run) {
    if (run == 1) std::shuffle(copy.value.begin(), copy.value.end(), rng);
    const LombScargleResult engine =
        run == 0 ? computeLombScarglePeriodogram(copy.time, copy.value, options, RunControl{})
                 : LombScargleResult{};
    // ofac hifac n / 2 frequencies, the k-th at (k + 1) / (ofac T).
    const double span = copy.time.back() - copy.time.front();
    std::vector<double> power(static_cast<std::size_t>(0.5 * 4.0 * 2.0 * 800));
    const LombScargleSharedTimes::Peak p = shared.peak(copy.value, {}, power);
    ASSERT_GE(p.index, 0);
    double highest = 0.0;
    std::size_t at = 0;
    for (std::size_t k = 0; k < power.size(); k += 7) {  // every 7th: direct sums are slow
      const double f = static_cast<double>(k + 1) / (4.0 * span);
      const double direct = classicalPower(copy, f);
      EXPECT_NEAR(power[k], direct, kSharedTimesTolerance * std::max(1.0, direct)) << "k " << k;
    }
    for (std::size_t k = 0; k < power.size(); ++k)
      if (power[k] >= highest) highest = power[k], at = k;
    EXPECT_EQ(static_cast<std::size_t>(p.index), at);
    EXPECT_EQ(p.power, highest);
    if (run == 0) {
      // The engine's own peak and frequency at that index.
      EXPECT_EQ(p.index, engine.peakIndex);
      EXPECT_EQ(p.frequency, engine.frequency[static_cast<std::size_t>(p.index)]);
    }
  }
  // Refused where the engine refuses: one point, or all times equal.
  EXPECT_FALSE(LombScargleSharedTimes(std::vector<double>{1.0}, options).usable());
  EXPECT_FALSE(LombScargleSharedTimes(std::vector<double>(10, 5.0), options).usable());
  EXPECT_LT(shared.peak(std::vector<double>(s.time.size(), 1.0)).index, 0);
}

}  // namespace
}  // namespace fazorn
