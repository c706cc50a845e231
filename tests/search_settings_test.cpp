// The one check of the search settings: what each engine accepts and the
// text it refuses with, alone and with a light curve.
#include "search/search_settings.h"

#include <cmath>
#include <string>
#include <vector>

#include "support/edit_workspace.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// n points over 20 days with varying values and distinct times.
LightCurve curveOf(int n) {
  std::vector<double> t, v;
  for (int i = 0; i < n; ++i) {
    t.push_back(20.0 * i / n);
    v.push_back(std::sin(0.7 * i));
  }
  return test::loadedWorkspace(t, v).lightCurve;
}

struct SettingsCase {
  const char* name;
  SearchSettings settings;
  SearchEngine engine;
  int points;           // 0: checked without a light curve
  const char* refused;  // a text of the refusal; "" when accepted
};

class SearchSettingsCheck : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SearchSettingsCheck, AcceptsOrRefusesWithTheReason) {
  const SettingsCase& c = GetParam();
  const LightCurve lc = curveOf(c.points);
  const SettingsCheck check = checkSearchSettings(c.settings, c.engine, c.points ? &lc : nullptr);
  if (*c.refused == '\0') {
    EXPECT_TRUE(check.ok()) << check.refusal;
  } else {
    EXPECT_FALSE(check.ok());
    EXPECT_NE(check.refusal.find(c.refused), std::string::npos) << check.refusal;
  }
}

constexpr const char* kRange = "Min period is negative or greater than Max period";

INSTANTIATE_TEST_SUITE_P(
    Table, SearchSettingsCheck,
    ::testing::Values(
        SettingsCase{"EqualEnds", {2, 2, 2, 0.01}, SearchEngine::Aov, 0, kRange},
        SettingsCase{"ZeroMinimum", {0, 5, 2, 0.01}, SearchEngine::AovTransit, 0, kRange},
        SettingsCase{"NegativeMaximum", {1, -5, 2, 0.01}, SearchEngine::LombScargle, 0, kRange},
        SettingsCase{"NanMinimum", {NAN, 5, 2, 0.01}, SearchEngine::LombScargle, 50, kRange},
        SettingsCase{"ZeroResolution", {0.5, 5, 2, 0}, SearchEngine::Aov, 0, "Resolution"},
        // Lomb-Scargle's grid follows the time span, not the resolution.
        SettingsCase{
            "ZeroResolutionUnusedByLombScargle", {0.5, 5, 2, 0}, SearchEngine::LombScargle, 50, ""},
        SettingsCase{"GridNarrowerThanAStep",
                     {1.0, 1.001, 2, 0.01},
                     SearchEngine::AovTransit,
                     0,
                     "narrower than one Resolution step"},
        SettingsCase{"GridTooLarge", {0.5, 5, 2, 1e-9}, SearchEngine::Aov, 0, "too large"},
        SettingsCase{"LombScargleGridTooLarge",
                     {1e-6, 100, 2, 0.01},
                     SearchEngine::LombScargle,
                     50,
                     "more than memory holds"},
        // Without a light curve only what the settings decide alone.
        SettingsCase{
            "LombScargleWithoutData", {1e-6, 100, 2, 0.01}, SearchEngine::LombScargle, 0, ""},
        SettingsCase{"TooFewPoints", {0.5, 5, 2, 0.01}, SearchEngine::Aov, 1, "at least 2 points"},
        SettingsCase{
            "MoreTermsThanTimes", {0.5, 5, 3, 0.01}, SearchEngine::Aov, 7, "needs more points"},
        SettingsCase{"OneMoreTimeThanTerms", {0.5, 5, 3, 0.01}, SearchEngine::Aov, 8, ""},
        // AoVtr: 10 bins per "Harmonics:", at least 3 points in each.
        SettingsCase{"TransitTwentyNinePoints",
                     {0.5, 5, 1, 0.01},
                     SearchEngine::AovTransit,
                     29,
                     "at least 30 points"},
        SettingsCase{"TransitThirtyPoints", {0.5, 5, 1, 0.01}, SearchEngine::AovTransit, 30, ""},
        SettingsCase{"TransitFactorTooLarge",
                     {0.5, 5, 4, 0.01},
                     SearchEngine::AovTransit,
                     100,
                     "lower \"Harmonics:\" to 3 or less"},
        SettingsCase{"TransitFactorThree", {0.5, 5, 3, 0.01}, SearchEngine::AovTransit, 90, ""}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(SearchSettingsCheck, HarmonicsAreRaisedWithoutChangingTheSettings) {
  for (int h : {0, -3}) {
    const SearchSettings s{0.5, 5, h, 0.01};
    const SettingsCheck check = checkSearchSettings(s, SearchEngine::Aov);
    EXPECT_TRUE(check.ok());
    EXPECT_TRUE(check.harmonicsRaised);
    EXPECT_EQ(check.harmonics, 1);
    EXPECT_EQ(check.harmonicTerms, 3);
  }
  const SettingsCheck two = checkSearchSettings({0.5, 5, 2, 0.01}, SearchEngine::Aov);
  EXPECT_FALSE(two.harmonicsRaised);
  EXPECT_EQ(two.harmonicTerms, 5);
  // The grid of the AoV searches: from 1 / maxPeriod in steps of the
  // resolution, trunc((2 - 0.2) / 0.01) = 180 frequencies.
  EXPECT_EQ(two.grid.minFrequency, 0.2);
  EXPECT_EQ(two.grid.step, 0.01);
  EXPECT_EQ(two.grid.count, 180);
  // Only the period range is flagged as such (the command line's usage error).
  EXPECT_TRUE(checkSearchSettings({3, 2, 2, 0.01}, SearchEngine::Aov).badPeriodRange);
  EXPECT_FALSE(checkSearchSettings({0.5, 5, 2, 0}, SearchEngine::Aov).badPeriodRange);
}

}  // namespace
}  // namespace fazorn
