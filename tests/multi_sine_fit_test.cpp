// The simultaneous fit of a frequency table against a plain Gauss-Newton
// with numeric derivatives, and its reasons for not converging.
#include "model/multi_sine_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "reference/multi_sine_reference.h"

namespace fazorn {
namespace {

struct Star {
  std::vector<double> time, value, error;
};

// Uneven times over 20 days, flux about 1e5 with errors between 80 and 160
// (the zero point some 300 times the largest amplitude and 1e8 times the
// frequency errors, so that tolerances taken relative to the parameters
// would show), f1, f2 and a term at f1 + f2.
constexpr double kEpoch = 10.0;
constexpr double kF1 = 3.217, kF2 = 5.0413;
Star fluxStar() {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> when(0.0, 20.0), spread(80.0, 160.0);
  std::normal_distribution<double> unit(0.0, 1.0);
  Star s;
  for (int i = 0; i < 600; ++i) s.time.push_back(when(rng));
  std::sort(s.time.begin(), s.time.end());
  for (double t : s.time) {
    const double e = spread(rng);
    const double tau = t - kEpoch;
    s.value.push_back(1e5 + 300.0 * std::sin(2 * M_PI * (kF1 * tau + 0.1)) +
                      120.0 * std::sin(2 * M_PI * (kF2 * tau + 0.45)) +
                      60.0 * std::sin(2 * M_PI * ((kF1 + kF2) * tau + 0.7)) + e * unit(rng));
    s.error.push_back(e);
  }
  return s;
}

FrequencyTerm startTerm(double f, double a, double phase) {
  FrequencyTerm t;
  t.frequency = f;
  t.amplitude = a;
  t.phase = phase;
  return t;
}

// Started off the truth by about a tenth of the resolution in frequency and
// by a tenth in amplitude.
FrequencyTable startTable() {
  FrequencyTable table;
  table.epoch = kEpoch;
  table.zeroPoint = 1e5 + 20.0;
  table.terms = {startTerm(kF1 + 0.004, 270.0, 0.12), startTerm(kF2 - 0.003, 130.0, 0.42),
                 startTerm(kF1 + kF2 + 0.001, 50.0, 0.68)};
  table.terms[2].combination = {0, 1, 1, 1};
  table.terms[2].fixedToCombination = true;
  return table;
}

TEST(MultiSineFit, AgreesWithPlainGaussNewtonAtFluxScaleWithWeightsAndACombination) {
  const Star s = fluxStar();
  FrequencyTable table = startTable();
  std::vector<reference::ReferenceSine> start;
  for (const FrequencyTerm& t : table.terms) {
    reference::ReferenceSine r;
    r.f = t.frequency;
    r.a = t.amplitude * std::sin(2 * M_PI * t.phase);
    r.b = t.amplitude * std::cos(2 * M_PI * t.phase);
    start.push_back(r);
  }
  start[2].parentI = 0, start[2].n = 1, start[2].parentJ = 1, start[2].m = 1;
  const reference::ReferenceSineFit ref =
      reference::fitSinesByGaussNewton(s.time, s.value, s.error, kEpoch, table.zeroPoint, start);

  MultiSineFitOptions options;
  options.useWeights = true;
  const MultiSineFitResult fit = fitFrequencyTable(s.time, s.value, s.error, table, options);
  ASSERT_TRUE(fit.converged) << fit.message;
  EXPECT_EQ(table.epoch, kEpoch);
  // The fit stops when a step lowers chi^2 by less than 1e-6, about 1e-3 of
  // an error from the minimum; both land within a few thousandths of an
  // error of each other. The errors come from the same covariance formula,
  // the reference's derivatives good to about 1e-8 relative.
  constexpr double kOfAnError = 5e-3, kRelativeError = 1e-5;
  EXPECT_NEAR(table.zeroPoint, ref.c, kOfAnError * std::sqrt(ref.covariance[0][0]));
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    const FrequencyTerm& t = table.terms[k];
    const reference::ReferenceSine& r = ref.terms[k];
    const double amplitude = std::hypot(r.a, r.b);
    // Amplitude's variance from that of (a, b): gradient (a, b) / A.
    const std::size_t ia = 1 + 2 * k, ib = 2 + 2 * k;
    const double amplitudeError =
        std::sqrt(r.a * r.a * ref.covariance[ia][ia] + r.b * r.b * ref.covariance[ib][ib] +
                  2 * r.a * r.b * ref.covariance[ia][ib]) /
        amplitude;
    EXPECT_NEAR(t.frequency, r.f, kOfAnError * t.frequencyError);
    EXPECT_NEAR(t.amplitude, amplitude, kOfAnError * amplitudeError);
    double phase = std::atan2(r.a, r.b) / (2 * M_PI);
    phase -= std::floor(phase);
    const double dPhase = t.phase - phase - std::round(t.phase - phase);
    EXPECT_NEAR(dPhase, 0.0, kOfAnError * t.phaseError);
    EXPECT_NEAR(t.amplitudeError, amplitudeError, kRelativeError * amplitudeError);
    if (const int fp = ref.frequencyParameter[k]; fp >= 0) {
      const double fe =
          std::sqrt(ref.covariance[static_cast<std::size_t>(fp)][static_cast<std::size_t>(fp)]);
      EXPECT_NEAR(t.frequencyError, fe, kRelativeError * fe);
    }
  }
  EXPECT_DOUBLE_EQ(table.terms[2].frequency, table.terms[0].frequency + table.terms[1].frequency);
}

TEST(MultiSineFit, SaysWhyItDidNotConvergeAndKeepsTheTable) {
  const Star s = fluxStar();
  const FrequencyTable start = startTable();
  auto refused = [&](FrequencyTable table, std::span<const double> value,
                     const MultiSineFitOptions& options, const std::string& words) {
    const FrequencyTable before = table;
    const MultiSineFitResult fit = fitFrequencyTable(s.time, value, s.error, table, options);
    EXPECT_FALSE(fit.converged);
    EXPECT_NE(fit.message.find(words), std::string::npos) << fit.message;
    EXPECT_EQ(table.terms.size(), before.terms.size());
    for (std::size_t k = 0; k < table.terms.size(); ++k) {
      EXPECT_EQ(table.terms[k].frequency, before.terms[k].frequency);
      EXPECT_EQ(table.terms[k].amplitude, before.terms[k].amplitude);
    }
    EXPECT_EQ(table.zeroPoint, before.zeroPoint);
  };
  MultiSineFitOptions once;
  once.maxIterations = 1;
  refused(start, s.value, once, "no convergence in 1 iterations");
  FrequencyTable silent = start;
  silent.terms[1].amplitude = 0.0;
  silent.terms[2].amplitude = 0.0;
  refused(silent, s.value, {}, "no influence");
  std::vector<double> withNan = s.value;
  withNan[17] = std::nan("");
  refused(start, withNan, {}, "not finite");
}

}  // namespace
}  // namespace fazorn
