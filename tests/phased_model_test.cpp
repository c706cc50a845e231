// The phased light-curve model: gap filling, the smoother against its plain
// reference, the harmonic fits, and the four results on light curves with a
// known answer.
#include "model/phased_model.h"

#include <cmath>
#include <numeric>
#include <random>

#include "model/least_squares.h"
#include "reference/smoother_reference.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// The factorised Gaussian weights and the dropped far tails of the fast
// smoother against one exp per term: rounding-level differences in sums of
// order 1, amplified a little by the 3 x 3 determinants.
constexpr double kSmootherTolerance = test::kEngineTolerance;
// Epochs come from a 100-node grid on twice the period: one node is 0.01 of
// the fold period.
constexpr double kNodeFraction = 0.01;

TEST(FillPhaseGaps, FullCoverageAddsNothingAndAGapGetsWeightedMeans) {
  // 500 points spread over many cycles cover every node within 0.01.
  const test::Series dense = test::makeSineSeries(3, 500, 0.37, 0.2, 0.0, 50.0);
  const ExtendedCurve full = fillPhaseGaps(dense.time, dense.value, 500, 0.74);
  EXPECT_EQ(full.m, 500);
  for (int i = 0; i < 500; ++i) {
    EXPECT_GE(full.phase[i], 0.0);
    EXPECT_LT(full.phase[i], 1.0);
  }

  // Phases only in [0, 0.4): one synthetic point per node 0.01 or more away.
  std::vector<double> time, value;
  for (int i = 0; i < 80; ++i) {
    time.push_back(100.0 + i * 0.005);  // fold 1 day: phases 0 .. 0.395
    value.push_back(12.0 + std::sin(i * 0.3));
  }
  const ExtendedCurve e = fillPhaseGaps(time, value, 80, 1.0);
  int expectedNodes = 0;
  for (int k = 0; k < 100; ++k) {
    const double g = k * 0.01;
    bool covered = false;
    double ws = 0, wv = 0;
    for (int j = 0; j < 80; ++j) {
      double d = std::fabs(g - e.phase[j]);
      if (d > 0.5) d = 1 - d;
      if (d < 0.01) covered = true;
      const double w = std::exp(-d * d / 0.05 / 0.05);
      ws += w;
      wv += w * value[j];
    }
    if (covered) continue;
    const int at = 80 + expectedNodes++;
    ASSERT_LT(at, e.m);
    EXPECT_DOUBLE_EQ(e.phase[at], g);
    EXPECT_NEAR(e.value[at], wv / ws, test::kSumTolerance);
    EXPECT_DOUBLE_EQ(e.time[at], time[79] + 1.0 * g);
  }
  EXPECT_EQ(e.m, 80 + expectedNodes);
  EXPECT_GT(expectedNodes, 50);
}

TEST(FillPhaseGaps, TwoObservationsHalfACycleApartGiveALogisticStep) {
  // Values 10 and 12 at phases 0 and 0.5: a node at phase g in (0, 0.5) lies
  // g from the first and 0.5 - g from the second, so with weights
  // exp(-d^2 / 0.05^2) its value is 10 + 2 / (1 + exp(400 (0.25 - g))).
  const ExtendedCurve e =
      fillPhaseGaps(std::vector<double>{100.0, 100.5}, std::vector<double>{10.0, 12.0}, 2, 1.0);
  // Only the nodes at 0 and 0.5 are covered (0.01 away is not).
  ASSERT_EQ(e.m, 2 + 98);
  auto valueAt = [&](int node) {
    for (int i = 2; i < e.m; ++i)
      if (std::lround(e.phase[i] * 100) == node) return e.value[i];
    ADD_FAILURE() << "no synthetic point at node " << node;
    return 0.0;
  };
  EXPECT_NEAR(valueAt(25), 11.0, test::kSumTolerance);  // halfway: equal weights
  EXPECT_NEAR(valueAt(75), 11.0, test::kSumTolerance);
  EXPECT_NEAR(valueAt(24), 10 + 2 / (1 + std::exp(4.0)), test::kSumTolerance);
  EXPECT_NEAR(valueAt(26), 12 - 2 / (1 + std::exp(4.0)), test::kSumTolerance);
  EXPECT_NEAR(valueAt(20), 10 + 2 / (1 + std::exp(20.0)), test::kSumTolerance);
  EXPECT_NEAR(valueAt(1), 10.0, test::kSumTolerance);
}

TEST(SmoothPhasedCurve, AgreesWithThePlainRegressionAtEveryNode) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    const test::Series s = test::makeSineSeries(seed, 700, 0.813, 0.3, 0.05, 40.0);
    const ExtendedCurve e = fillPhaseGaps(s.time, s.value, 700, 1.626);
    std::array<double, 100> fast{};
    smoothPhasedCurve(e.time, e.phase, e.value, 700, e.m, fast);
    const std::array<double, 100> slow =
        reference::smoothedNodes(std::vector<double>(e.phase.begin(), e.phase.begin() + e.m),
                                 std::vector<double>(e.value.begin(), e.value.begin() + e.m));
    test::expectArraysNear(fast, slow, kSmootherTolerance, "smoothed nodes");
  }
}

TEST(SmoothPhasedCurve, ObservationsCloserThanATenThousandthOfADayCountOnce) {
  // Two observations at opposite extremes of a smooth curve, then 200 points
  // that only shape the smoother.
  std::vector<double> time = {10.0, 10.00005}, phase = {0.25, 0.75}, value = {11.0, 13.0};
  for (int i = 0; i < 200; ++i) {
    const double p = i / 200.0;
    time.push_back(20.0 + i);
    phase.push_back(p);
    value.push_back(12.0 - std::sin(2 * M_PI * p));
  }
  const double once = smoothPhasedCurve(time, phase, value, 2, 202);
  time[1] = 10.5;
  const double both = smoothPhasedCurve(time, phase, value, 2, 202);
  EXPECT_EQ(once, 0.0);  // only the first point's model value
  // Both lie on the curve: a local quadratic of width 0.03 leaves out the
  // quartic term of a sine's extremes, (2 pi 0.03)^4 / 24 = 5e-5 of its
  // semi-amplitude (1 here); twenty times that.
  constexpr double kQuarticTerm = 1e-3;
  EXPECT_NEAR(both, 2.0, kQuarticTerm);
}

TEST(FitHarmonics, RecoversAFourierSeriesAndHoldsTheOddHarmonicsInEvenMode) {
  std::vector<double> phase, flux;
  for (int i = 0; i < 400; ++i) {
    const double p = std::fmod(i * 0.381966, 1.0);
    const double arg = 6.2831853 * p;
    phase.push_back(p);
    flux.push_back(1.0 + 0.2 * std::cos(2 * arg) - 0.1 * std::sin(4 * arg) + 0.05 * std::cos(arg));
  }
  const HarmonicFit all = fitHarmonics(phase, flux, {}, 400, 8, false);
  // Single-precision normal equations of 400 points.
  constexpr double kCoefficientTolerance = test::kFloatFitTolerance;
  EXPECT_NEAR(all.c0, 1.0, kCoefficientTolerance);
  EXPECT_NEAR(all.A[1], 0.05, kCoefficientTolerance);
  EXPECT_NEAR(all.A[2], 0.2, kCoefficientTolerance);
  EXPECT_NEAR(all.B[4], -0.1, kCoefficientTolerance);
  EXPECT_NEAR(all.B[1], 0.0, kCoefficientTolerance);

  // The same fit through the published basis routine: the basis rows built
  // by angle addition may differ from direct cos/sin in the last bit of a
  // rare float, nothing more.
  {
    std::vector<float> x(401), y(401), sig(401, 1.0f), a(18, 0.0f);
    for (int i = 0; i < 400; ++i) {
      x[i + 1] = static_cast<float>(phase[i]);
      y[i + 1] = static_cast<float>(flux[i]);
    }
    std::vector<int> lista(18);
    for (int j = 1; j <= 17; ++j) lista[j] = j;
    nr::FloatMatrix covar = nr::matrix(1, 17, 1, 17);
    float chisq = 0.0f;
    linearFit(x.data(), y.data(), sig.data(), 400, a.data(), 17, lista.data(), 17, covar, &chisq,
              harmonicBasis);
    EXPECT_NEAR(all.c0, a[1], test::kFloatUlps);
    for (int h = 1; h <= 8; ++h) {
      EXPECT_NEAR(all.A[h], a[2 * h], test::kFloatUlps) << h;
      EXPECT_NEAR(all.B[h], a[2 * h + 1], test::kFloatUlps) << h;
    }
  }

  const HarmonicFit even = fitHarmonics(phase, flux, {}, 400, 8, true);
  for (int h = 1; h <= 7; h += 2) {
    EXPECT_EQ(even.A[h], 0.0);
    EXPECT_EQ(even.B[h], 0.0);
  }
  // Holding the odd terms at 0 leaves the 0.05 cos term to leak into the
  // even ones through the sampling's sums of cosines, which for these
  // low-discrepancy phases are of order log(N) / N.
  const double oddLeakage = 0.05 * std::log(400.0) / 400.0;
  EXPECT_NEAR(even.A[2], 0.2, oddLeakage);
  EXPECT_NEAR(even.B[4], -0.1, oddLeakage);
}

TEST(FitPhasedLightCurve, DenseSinusoidGivesItsAmplitudeBrightnessAndExtrema) {
  // 0.5 mag peak to peak, brightest (smallest) magnitude 11.75.
  const double period = 0.6137;
  const test::Series s = test::makeSineSeries(11, 4000, period, 0.25, 0.0, 80.0, 12.0, 2450000.0);
  const PhasedModel m = fitPhasedLightCurve(s.time, s.value, period);
  // The smoother's width, 0.03 of the fold or 0.06 of a period, flattens the
  // extremes by about (2 pi 0.06)^4 / 24 = 8e-4 of the semi-amplitude: well
  // within 5 mmag.
  constexpr double kFlattening = 0.005;
  EXPECT_NEAR(m.amplitude, 0.5, kFlattening);
  ASSERT_TRUE(m.magAtMaximumValid);
  EXPECT_NEAR(m.magAtMaximum, 11.75, kFlattening);
  // The generator's sinusoid: mean + a sin(2 pi (t - offset) / P); maximum
  // light is the smallest magnitude, at (t - offset)/P = 3/4 (mod 1).
  const double fold = 2 * period;
  auto cycleOffset = [&](double epoch, double at) {
    double u = std::fmod((epoch - 2450000.0) / period - at, 1.0);
    if (u < -0.5) u += 1;
    if (u > 0.5) u -= 1;
    return u * period;
  };
  EXPECT_NEAR(cycleOffset(m.epochOfMaximum, 0.75), 0.0, kNodeFraction * fold);
  EXPECT_NEAR(cycleOffset(m.epochOfMinimum, 0.25), 0.0, kNodeFraction * fold);
  // Half a period apart, modulo the period.
  double apart = std::fmod(std::fabs(m.epochOfMaximum - m.epochOfMinimum), period);
  EXPECT_NEAR(apart, period / 2, kNodeFraction * fold);
}

TEST(FitPhasedLightCurve, MarksAndT0DoNotMatterAndBadInputGivesNoMagnitude) {
  Workspace ws;
  const test::Series s = test::makeSineSeries(5, 300, 1.7, 0.3, 0.02, 60.0);
  ws.lightCurve.pointCount = 300;
  ws.lightCurve.time = s.time;
  ws.lightCurve.value = s.value;
  ws.lightCurve.mark.assign(300, 0);
  ws.period = 1.7;
  fitPhasedLightCurve(ws);
  const double first[4] = {ws.epochOfMinimum, ws.epochOfMaximum, ws.magAtMaximum, ws.amplitude};
  EXPECT_TRUE(ws.magAtMaximumValid);
  ws.lightCurve.mark.assign(300, 1);
  ws.t0 = 1234.5;
  fitPhasedLightCurve(ws);
  const double again[4] = {ws.epochOfMinimum, ws.epochOfMaximum, ws.magAtMaximum, ws.amplitude};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(first[i], again[i]);

  // Values that are not numbers: no stale magnitude at maximum survives.
  testing::internal::CaptureStderr();
  ws.lightCurve.value.assign(300, NAN);
  fitPhasedLightCurve(ws);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ws.magAtMaximumValid);
  EXPECT_TRUE(std::isfinite(ws.amplitude));

  // A time that is not a number: no crash, no magnitude, a finite amplitude.
  ws.lightCurve.value = s.value;
  ws.lightCurve.time[7] = NAN;
  testing::internal::CaptureStderr();
  fitPhasedLightCurve(ws);
  ws.lightCurve.time[0] = NAN;
  fitPhasedLightCurve(ws);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ws.magAtMaximumValid);
  EXPECT_TRUE(std::isfinite(ws.amplitude));

  // No period: nothing is fitted.
  const PhasedModel none = fitPhasedLightCurve(s.time, s.value, 0.0);
  EXPECT_FALSE(none.magAtMaximumValid);
  EXPECT_EQ(none.amplitude, 0.0);
}

TEST(FitPhasedLightCurve, ConstantLightCurveHasAmplitudeZero) {
  std::vector<double> time, value(50, 13.2);
  for (int i = 0; i < 50; ++i) time.push_back(i * 0.731);
  const PhasedModel m = fitPhasedLightCurve(time, value, 2.3);
  EXPECT_NEAR(m.amplitude, 0.0, test::kSumTolerance);
  EXPECT_TRUE(std::isfinite(m.epochOfMinimum));
  EXPECT_TRUE(std::isfinite(m.epochOfMaximum));
}

}  // namespace
}  // namespace fazorn
