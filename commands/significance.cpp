#include "commands/significance.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/file_names.h"
#include "core/number_format.h"
#include "core/results_panel.h"
#include "core/text_file.h"
#include "search/search_settings.h"

namespace fazorn {

Outcome runSignificanceTest(Workspace& ws, const SignificanceOptions& options, const RunControl& rc,
                            SignificanceResult* resultOut) {
  Outcome out;
  SignificanceResult result;
  const LightCurve& lc = ws.lightCurve;
  if (ws.dataLoaded != 1 || lc.pointCount < 2) {
    out.ok = false;
    out.cancelled = true;
    out.message = warningBox("Load a light curve of at least two points first.");
    return out;
  }
  const SearchSettings& s = ws.settings;
  // The settings and the light curve checked as the window's search
  // commands check them: a run that could not search is refused up front
  // instead of writing a file of empty runs.
  if (options.method == SearchEngine::AovTransit) {
    out.ok = false;
    out.cancelled = true;
    out.failure = Failure::Refused;
    out.message =
        warningBox("The significance test runs AoV or Lomb-Scargle, not the transit search.");
    return out;
  }
  const SettingsCheck check = checkSearchSettings(s, options.method, &lc);
  if (!check.ok()) {
    out.ok = false;
    out.cancelled = true;
    out.message = warningBox(check.refusal);
    return out;
  }
  if (options.iterations < 1) {
    out.ok = false;
    out.cancelled = true;
    out.message = warningBox("The number of iterations must be at least 1.");
    return out;
  }
  // The real light curve takes the engine's route (its peak is the one the
  // window's command shows); the runs may share the work that depends only
  // on the times and the grid.
  const PeakSearch observedSearch =
      options.search ? options.search : defaultPeakSearch(options.method, options.route);
  const auto n = static_cast<std::size_t>(lc.pointCount);
  const std::span<const double> time(lc.time.data(), n);
  const std::span<const double> value(lc.value.data(), n);
  const std::span<const double> error(lc.error.data(), n);
  const std::span<const double> weight(lc.weight.data(), n);

  const PeakFound observed = observedSearch(time, value, weight, s, RunControl{});
  const PeakSearch search =
      options.search ? options.search
                     : sharedTimesPeakSearch(options.method, options.route, time, weight, s);
  result.observedPeriod = observed.period;
  result.observedPower = observed.power;

  std::string path = options.outputPath;
  bool numbered = false;
  if (path.empty()) {
    if (options.randomization == Randomization::WhiteNoise) {
      path = fixedName::whiteNoiseTest;
    } else {
      path = formatPrintf(options.method == SearchEngine::Aov ? fixedName::permutationAovTest
                                                              : fixedName::permutationTest,
                          ws.randomizationRunCounter);
      numbered = true;
    }
  }
  // Written whole or not at all, as "Save Data" writes: an earlier file of
  // the name stays until the last run is written and flushed.
  TextFileWriter file(path, /*atomic=*/true);
  if (!file.isOpen()) {
    out.ok = false;
    out.failure = Failure::Io;
    out.message = ioErrorBox();
    return out;
  }
  if (numbered) ++ws.randomizationRunCounter;
  result.file = path;
  file.print(" No.   \t  PERIOD    \t POWER\n");

  const RandomizationInput input{time, value, error, weight};
  const RandomizationOptions runOptions{options.randomization, options.iterations, options.seed};
  const RandomizationRuns runs = runRandomizations(
      input, runOptions, search, s, rc,
      [&](long first, std::span<const PeakFound> peaks) {
        for (std::size_t k = 0; k < peaks.size(); ++k) {
          file.print("%6d\t%12.6f\t%12.6f\n", static_cast<int>(first + static_cast<long>(k) + 1),
                     peaks[k].period, peaks[k].power);
          if (peaks[k].power >= observed.power) ++result.runsAtOrAbove;
        }
        result.runsDone += static_cast<long>(peaks.size());
      },
      false);
  result.cancelled = runs.cancelled;
  const bool written = file.finish();
  if (!written) {
    out.ok = false;
    out.failure = Failure::Io;
    out.message = ioErrorBox();
  }
  if (result.runsDone > 0) {
    const double p =
        static_cast<double>(result.runsAtOrAbove) / static_cast<double>(result.runsDone);
    result.empiricalFalseAlarmProbability = p;
    result.uncertainty = std::sqrt(p * (1.0 - p) / static_cast<double>(result.runsDone));
  }
  out.status[0] = "Empirical FAP: " + formatFixed(result.empiricalFalseAlarmProbability, 6, 9) +
                  " +- " + formatFixed(result.uncertainty, 6, 9) + " (" +
                  std::to_string(result.runsAtOrAbove) + " of " + std::to_string(result.runsDone) +
                  " runs reached power " + formatFixed(result.observedPower, 6, 9) + ")";
  out.status[1] = "";
  if (result.cancelled)
    out.addNote("Cancelled after " + std::to_string(result.runsDone) + " runs.");
  if (written)
    out.addNote("Runs written to " + path + ".");
  else
    out.addNote("Unable to write " + path + ": " + file.failure() + ".");
  if (resultOut) *resultOut = result;
  return out;
}

}  // namespace fazorn
