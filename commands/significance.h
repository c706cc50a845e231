// The significance test command: the highest periodogram peak of the light
// curve against the peaks of many randomised copies (significance_runs.h).
// The share of runs whose highest power reaches that of the real light curve
// is the empirical false-alarm probability.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/outcome.h"
#include "core/run_control.h"
#include "core/workspace.h"
#include "search/significance_runs.h"

namespace fazorn {

struct SignificanceOptions {
  SearchEngine method = SearchEngine::LombScargle;
  Randomization randomization = Randomization::Permute;
  long iterations = 100000;  // randomised runs
  std::uint64_t seed = 1;    // every run's random stream derives from it
  // The output file; empty for the fixed name in the working directory
  // ("test-b.dat", "rand-permute%d.dat", "rand-permuteAoV%d.dat" with the
  // Workspace's run counter, which then grows by one).
  std::string outputPath;
  // Overrides the engine's search (tests); empty for the method's engine.
  PeakSearch search;
  // The route of the method's engine, for the real light curve and every
  // run alike: Auto takes the Fourier routes where they are cheaper.
  SearchRoute route = SearchRoute::Auto;
};

struct SignificanceResult {
  long runsDone = 0;
  bool cancelled = false;
  double observedPeriod = 0.0;
  double observedPower = 0.0;
  long runsAtOrAbove = 0;  // runs whose highest power reached observedPower
  double empiricalFalseAlarmProbability = 0.0;
  double uncertainty = 0.0;  // binomial standard error of the estimate
  std::string file;
};

// Runs the test on a copy of the light curve (the Workspace's light curve is
// the same afterwards). Runs go in parallel on rc's threads; run k always
// uses the random stream derived from (seed, k), so the file does not depend
// on the thread count. Lines are written in run order under the header
// " No.   \t  PERIOD    \t POWER\n" as "%6d\t%12.6f\t%12.6f\n"; a cancelled
// test keeps exactly the lines of the runs finished so far.
Outcome runSignificanceTest(Workspace& ws, const SignificanceOptions& options, const RunControl& rc,
                            SignificanceResult* result = nullptr);

}  // namespace fazorn
