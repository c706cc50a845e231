// "Get statistics" and "Add as a template".
#include "commands/model_chain.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "commands/auto_search.h"
#include "core/observation_file.h"
#include "core/table_import.h"
#include "model/classification.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

Workspace loaded(const test::Series& s, double period) {
  Workspace ws;
  LightCurve& lc = ws.lightCurve;
  lc.pointCount = static_cast<int>(s.time.size());
  lc.time = s.time;
  lc.value = s.value;
  lc.error = s.error;
  lc.weight.assign(s.time.size(), 1.0);
  lc.mark.assign(s.time.size(), 0);
  ws.dataLoaded = 1;
  ws.period = period;
  return ws;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) out.push_back(line);
  return out;
}

TEST(GetStatistics, FitsClassifiesAndPhasesOnTheWinnersEpoch) {
  // An RR Lyrae-like sinusoid: 0.55 d, 0.8 mag peak to peak.
  Workspace ws = loaded(test::makeSineSeries(21, 600, 0.55, 0.4, 0.01, 60.0), 0.55);
  const Outcome out = getStatistics(ws);
  EXPECT_TRUE(out.ok);
  EXPECT_TRUE(out.redraw.phaseDiagram);
  EXPECT_EQ(ws.phased, 1);
  EXPECT_TRUE(ws.commands.getStatistics);
  // The smoothed extremes keep some of the noise (0.01 mag) of the points
  // near them: three times the noise.
  constexpr double kNoisyExtremes = 3 * 0.01;
  EXPECT_NEAR(ws.amplitude, 0.8, kNoisyExtremes);
  EXPECT_EQ(ws.t0, ws.t0FromMinimum == 1 ? ws.epochOfMinimum : ws.epochOfMaximum);
  EXPECT_EQ(ws.panel.type, ws.typeText);
  EXPECT_FALSE(ws.typeText.empty());
  EXPECT_NE(ws.panel.maxMag, "-");
  // Phases are those of the new t0.
  ASSERT_EQ(ws.phase.size(), 600u);
  EXPECT_EQ(ws.phase[17], phaseOf(ws.lightCurve.time[17], ws.period, ws.t0));

  Workspace empty;
  EXPECT_FALSE(getStatistics(empty).ok);
}

TEST(AnalyseAtPeriod, ClassifiesACataloguedStarWithoutASearch) {
  // A Stripe 82 RRab star at its catalogued period.
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, (test::realDataDir() / "RRAB/S82-RRL-1729301.dat").string()).ok);
  const Outcome out = analyseAtPeriod(ws, 0.513424783059);
  EXPECT_TRUE(out.ok);
  EXPECT_EQ(ws.typeText.substr(0, 4), "RRAB");
  EXPECT_EQ(ws.panel.period, "0.513425");
  EXPECT_EQ(ws.t0, ws.epochOfMaximum);
  EXPECT_TRUE(ws.magAtMaximumValid);
  EXPECT_GT(ws.amplitude, 0.2);
  EXPECT_FALSE(analyseAtPeriod(ws, 0.0).ok);
  EXPECT_FALSE(analyseAtPeriod(ws, NAN).ok);
}

TEST(AddAsTemplate, WritesOneHundredNormalisedLinesWithEmptyNodesAsMinusOne) {
  test::TempDir dir;
  Workspace ws;
  // Points only at phases -0.2 .. 0.2: the windows of nodes below 26 and
  // above 74 are empty.
  for (int i = 0; i <= 40; ++i) {
    ws.phase.push_back(-0.2 + i * 0.01);
    ws.phasedValue.push_back(12.0 + 0.01 * i);
  }
  ws.magAtMaximum = 12.0;
  ws.magAtMaximumValid = true;
  ws.amplitude = 0.4;
  const Outcome out = addAsTemplate(ws, (dir / "template.dat").string());
  EXPECT_TRUE(out.ok);
  EXPECT_FALSE(out.message.has_value());
  const std::string text = test::readText(dir / "template.dat");
  const std::vector<std::string> l = lines(text);
  ASSERT_EQ(l.size(), 100u);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(l[0], "-1.0000");
  EXPECT_EQ(l[99], "-1.0000");
  // Node 50 (phase 0): the points -0.04 .. 0.04, values 12.16 .. 12.24,
  // mean 12.20 (single precision moves it by about 1e-6, far below the 4
  // decimals printed), 1 - 0.2 / 0.4 = 0.5.
  EXPECT_EQ(l[50], "0.5000");

  // A constant curve (amplitude 0): no "nan" or "inf" in the file.
  ws.amplitude = 0.0;
  EXPECT_TRUE(addAsTemplate(ws, (dir / "flat.dat").string()).ok);
  const std::string flat = test::readText(dir / "flat.dat");
  EXPECT_EQ(flat.find("nan"), std::string::npos);
  EXPECT_EQ(flat.find("inf"), std::string::npos);
  EXPECT_EQ(lines(flat).size(), 100u);
}

TEST(AddAsTemplate, TellsTheUserWhenTheFileCannotBeCreated) {
  test::TempDir dir;
  Workspace ws;
  const Outcome out = addAsTemplate(ws, (dir / "missing-folder" / "template.dat").string());
  EXPECT_FALSE(out.ok);
  ASSERT_TRUE(out.message.has_value());
  EXPECT_EQ(out.message->text, "I/O Error! Unable to open file.");
  EXPECT_EQ(out.message->caption, "Message");
}

// A flux light curve is modelled on -2.5 log10(flux / median flux): the same
// model and type as that magnitude curve, with the fluxes themselves and
// their phases left as they were, and non-positive fluxes left out.
TEST(FluxModelChain, ModelsMagnitudesOfTheFluxesAndKeepsTheFluxes) {
  const test::Series s = test::makeSineSeries(21, 600, 0.55, 0.4, 0.01, 60.0);
  test::Series flux = s;
  for (double& v : flux.value) v = 5000.0 * std::pow(10.0, -0.4 * v);
  // Two gaps written as flux 0 and one negative flux: no magnitude.
  flux.value[10] = 0.0;
  flux.value[200] = -3.0;
  flux.value[401] = 0.0;
  std::vector<double> positive;
  for (double v : flux.value)
    if (v > 0) positive.push_back(v);
  std::sort(positive.begin(), positive.end());
  const double median = positive[positive.size() / 2];
  test::Series mags;
  for (std::size_t i = 0; i < flux.value.size(); ++i) {
    if (!(flux.value[i] > 0)) continue;
    mags.time.push_back(flux.time[i]);
    mags.value.push_back(-2.5 * std::log10(flux.value[i] / median));
    mags.error.push_back(flux.error[i]);
  }
  Workspace m = loaded(mags, 0.55);
  Workspace f = loaded(flux, 0.55);
  f.lightCurve.valueKind = ValueKind::Flux;
  const LightCurve before = f.lightCurve;
  computePhases(m);
  computePhases(f);
  runModelChain(m);
  runModelChain(f);

  EXPECT_EQ(f.lightCurve, before);
  EXPECT_EQ(f.phasedValue, before.value);
  ASSERT_EQ(f.phase.size(), before.time.size());
  EXPECT_EQ(f.modelPointsLeftOut, 3);
  EXPECT_EQ(f.modelReferenceFlux, median);
  EXPECT_EQ(f.typeText, m.typeText);
  EXPECT_EQ(f.scoreText, m.scoreText);
  EXPECT_EQ(f.amplitude, m.amplitude);
  EXPECT_EQ(f.t0, m.t0);
  EXPECT_EQ(f.epochOfMinimum, m.epochOfMinimum);
  EXPECT_TRUE(typeAdmitted(f));
  EXPECT_NE(modelChainNote(f).find("3 points have a flux of 0 or less"), std::string::npos);
  EXPECT_EQ(modelChainNote(m), "");

  // Nothing but non-positive fluxes: no model, no crash, the fluxes kept.
  Workspace dark = loaded(flux, 0.55);
  dark.lightCurve.valueKind = ValueKind::Flux;
  for (double& v : dark.lightCurve.value) v = -std::fabs(v);
  const LightCurve darkBefore = dark.lightCurve;
  const Outcome out = analyseAtPeriod(dark, 0.55);
  EXPECT_TRUE(out.ok);
  EXPECT_EQ(dark.lightCurve, darkBefore);
  EXPECT_EQ(dark.modelPointsLeftOut, 600);
  EXPECT_FALSE(typeAdmitted(dark));
  ASSERT_FALSE(out.notes.empty());
  EXPECT_NE(out.notes.back().find("600 points"), std::string::npos);
}

// "Add as a template" of a flux light curve: the template of its magnitudes
// (what the chain modelled), never of raw fluxes against magnitude extremes;
// without a chain there is no magnitude scale and it is refused.
TEST(FluxModelChain, AddAsTemplateWritesTheTemplateOfTheMagnitudes) {
  const test::Series s = test::makeSineSeries(22, 500, 0.55, 0.4, 0.01, 60.0);
  test::Series flux = s;
  for (double& v : flux.value) v = 5000.0 * std::pow(10.0, -0.4 * v);
  flux.value[7] = -2.0;  // no magnitude: left out of the template as of the model
  std::vector<double> positive;
  for (double v : flux.value)
    if (v > 0) positive.push_back(v);
  std::nth_element(positive.begin(), positive.begin() + positive.size() / 2, positive.end());
  const double median = positive[positive.size() / 2];
  test::Series mags;
  for (std::size_t i = 0; i < flux.value.size(); ++i) {
    if (!(flux.value[i] > 0)) continue;
    mags.time.push_back(flux.time[i]);
    mags.value.push_back(-2.5 * std::log10(flux.value[i] / median));
    mags.error.push_back(flux.error[i]);
  }
  test::TempDir dir;
  Workspace f = loaded(flux, 0.55);
  f.lightCurve.valueKind = ValueKind::Flux;
  const std::string beforeChain = (dir / "before.dat").string();
  const Outcome refusedOut = addAsTemplate(f, beforeChain);
  EXPECT_FALSE(refusedOut.ok);
  ASSERT_TRUE(refusedOut.message.has_value());
  EXPECT_NE(refusedOut.message->text.find("fluxes"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(beforeChain));

  Workspace m = loaded(mags, 0.55);
  ASSERT_TRUE(analyseAtPeriod(f, 0.55).ok);
  ASSERT_TRUE(analyseAtPeriod(m, 0.55).ok);
  ASSERT_TRUE(addAsTemplate(f, (dir / "flux.dat").string()).ok);
  ASSERT_TRUE(addAsTemplate(m, (dir / "mag.dat").string()).ok);
  const std::string fromFlux = test::readText(dir / "flux.dat");
  EXPECT_EQ(fromFlux, test::readText(dir / "mag.dat"));
  // A real curve: nodes between 0 (faintest) and 1 (brightest), not the
  // empty or out-of-range nodes of raw fluxes.
  const std::vector<std::string> l = lines(fromFlux);
  ASSERT_EQ(l.size(), 100u);
  for (const std::string& node : l) {
    EXPECT_GT(std::stod(node), -0.2) << node;
    EXPECT_LT(std::stod(node), 1.2) << node;
  }
}

TEST(FluxModelChain, ValueKindFromUnitAndName) {
  struct Case {
    const char* name;
    const char* unit;
    ValueKind kind;
  };
  const Case cases[] = {
      {"PDCSAP_FLUX", "e-/s", ValueKind::Flux},
      {"SAP_FLUX", "", ValueKind::Flux},
      {"FCOR", "", ValueKind::Flux},
      {"DETFLUX", "electrons per second", ValueKind::Flux},
      {"forcediffimflux", "DN", ValueKind::Flux},
      {"uJy", "", ValueKind::Flux},
      {"flux(mJy)", "", ValueKind::Flux},
      {"value", "nmgy", ValueKind::Flux},
      {"PSF_FLUX_COR", "", ValueKind::Flux},
      {"mag", "", ValueKind::Magnitude},
      {"w1mpro", "mag", ValueKind::Magnitude},
      {"IRM1", "", ValueKind::Magnitude},
      {"TFA2", "", ValueKind::Magnitude},
      {"value", "", ValueKind::Magnitude},
      {"m", "", ValueKind::Magnitude},
  };
  for (const Case& c : cases) EXPECT_EQ(valueKindOf(c.name, c.unit), c.kind) << c.name;

  // Neither unit nor name: the median of the finite values decides, the one
  // rule the load and the import dialog share.
  const double nan = std::nan("");
  const ValueKindGuess fluxes = guessValueKind("col3", "", {41.0, nan, 1e4, 3.0, 45.0});
  EXPECT_TRUE(fluxes.fromValues);
  EXPECT_EQ(fluxes.kind, ValueKind::Flux);
  EXPECT_EQ(fluxes.median, 45.0);  // of 3, 41, 45, 10000: the upper middle one
  EXPECT_EQ(guessValueKind("col3", "", {12.1, 99.99, 12.3}).kind, ValueKind::Magnitude);
  const ValueKindGuess named = guessValueKind("mag", "", {1e5, 2e5});
  EXPECT_FALSE(named.fromValues);
  EXPECT_EQ(named.kind, ValueKind::Magnitude);
  EXPECT_EQ(guessValueKind("col3", "", {nan}).kind, ValueKind::Magnitude);
}

}  // namespace
}  // namespace fazorn
