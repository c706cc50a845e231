// "Generate white noise" and "Randomly permute".
#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "edit/randomization.h"
#include "support/edit_workspace.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

TEST(Randomization, PermutationKeepsTheTimesAndThePairsAndNoiseKeepsTheMean) {
  const test::Series s = test::makeSineSeries(1, 80, 3.3, 0.3, 0.05, 60.0);
  Workspace ws = test::loadedWorkspace(s.time, s.value, s.error);
  ws.dataLoaded = 1;
  const auto before = ws.lightCurve;
  randomlyPermute(ws, 99);
  const auto& after = ws.lightCurve;
  EXPECT_EQ(after.time, before.time);
  auto triples = [](const LightCurve& lc) {
    std::vector<std::tuple<double, double, double>> t;
    for (int i = 0; i < lc.pointCount; ++i) t.emplace_back(lc.value[i], lc.error[i], lc.weight[i]);
    std::sort(t.begin(), t.end());
    return t;
  };
  EXPECT_EQ(triples(after), triples(before));
  EXPECT_NE(after.value, before.value);
  EXPECT_EQ(after.scratchValue, after.value);

  Workspace noise = ws;
  generateWhiteNoise(noise, 5);
  EXPECT_EQ(noise.lightCurve.error, ws.lightCurve.error);
  // The mean of 80 draws of the curve's spread strays by rms / sqrt(80).
  EXPECT_NEAR(noise.stats.meanValue, ws.stats.meanValue,
              test::kSigmas * ws.stats.rms / std::sqrt(80.0));
}

}  // namespace
}  // namespace fazorn
