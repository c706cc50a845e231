#include "search/significance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "core/file_names.h"
#include "core/number_format.h"
#include "core/results_panel.h"
#include "core/statistics.h"
#include "core/text_file.h"
#include "search/search_settings.h"

namespace fazorn {

namespace {

// The stream of run k: seeded from the test's seed and k alone.
std::uint64_t runSeed(std::uint64_t seed, long run) {
  std::uint64_t x = seed;
  const std::uint64_t a = splitMix64(x);
  std::uint64_t y = a ^ (static_cast<std::uint64_t>(run) * 0xD1B54A32D192ED03ull);
  return splitMix64(y);
}

}  // namespace

Outcome runSignificanceTest(Workspace& ws, const SignificanceOptions& options,
                            const RunControl& rc, SignificanceResult* resultOut) {
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
  const SettingsCheck check = checkSearchSettings(
      s, options.method == SignificanceMethod::Aov ? SearchEngine::Aov : SearchEngine::LombScargle,
      &lc);
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
  const PeakSearch search = options.search ? options.search : defaultPeakSearch(options.method);
  const auto n = static_cast<std::size_t>(lc.pointCount);
  const std::span<const double> time(lc.time.data(), n);
  const std::span<const double> value(lc.value.data(), n);
  const std::span<const double> error(lc.error.data(), n);
  const std::span<const double> weight(lc.weight.data(), n);

  const PeakFound observed = search(time, value, weight, s);
  result.observedPeriod = observed.period;
  result.observedPower = observed.power;

  std::string path = options.outputPath;
  bool numbered = false;
  if (path.empty()) {
    if (options.randomization == Randomization::WhiteNoise) {
      path = fixedName::whiteNoiseTest;
    } else {
      path = formatPrintf(options.method == SignificanceMethod::Aov ? fixedName::permutationAovTest
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
    out.message = ioErrorBox();
    return out;
  }
  if (numbered) ++ws.randomizationRunCounter;
  result.file = path;
  file.print(" No.   \t  PERIOD    \t POWER\n");

  double mean = 0.0, rms = 0.0;
  {
    for (double v : value) mean += v;
    mean /= static_cast<double>(n);
    for (double v : value) rms += (v - mean) * (v - mean);
    rms = std::sqrt(rms / static_cast<double>(n));
  }

  const int threads = rc.effectiveThreads(options.iterations);
  // Blocks of runs: the file is written and cancellation checked between
  // blocks, so the file always holds exactly the finished runs, in order.
  const long blockSize = std::max(8L, 4L * threads);
  std::vector<PeakFound> block(static_cast<std::size_t>(blockSize));
  for (long first = 0; first < options.iterations; first += blockSize) {
    if (rc.cancelled()) {
      result.cancelled = true;
      break;
    }
    const long count = std::min(blockSize, options.iterations - first);
    std::atomic<long> nextRun{0};
    auto worker = [&]() {
      std::vector<double> v(n), e(n), w(n);
      for (long k; (k = nextRun.fetch_add(1)) < count;) {
        RandomStream rng(runSeed(options.seed, first + k));
        if (options.randomization == Randomization::Permute) {
          std::copy(value.begin(), value.end(), v.begin());
          std::copy(error.begin(), error.end(), e.begin());
          std::copy(weight.begin(), weight.end(), w.begin());
          permuteTogether(v, e, w, rng);
        } else {
          std::copy(weight.begin(), weight.end(), w.begin());
          fillWhiteNoise(v, mean, rms, rng);
        }
        block[static_cast<std::size_t>(k)] = search(time, v, w, s);
      }
    };
    if (threads <= 1) {
      worker();
    } else {
      std::vector<std::thread> pool;
      for (int t = 0; t < threads; ++t) pool.emplace_back(worker);
      for (auto& t : pool) t.join();
    }
    for (long k = 0; k < count; ++k) {
      const PeakFound& p = block[static_cast<std::size_t>(k)];
      file.print("%6d\t%12.6f\t%12.6f\n", static_cast<int>(first + k + 1), p.period, p.power);
      if (p.power >= observed.power) ++result.runsAtOrAbove;
    }
    result.runsDone += count;
    rc.report(static_cast<double>(result.runsDone) / static_cast<double>(options.iterations));
  }
  const bool written = file.finish();
  if (!written) {
    out.ok = false;
    out.message = ioErrorBox();
  }
  if (result.runsDone > 0) {
    const double p = static_cast<double>(result.runsAtOrAbove) / static_cast<double>(result.runsDone);
    result.empiricalFalseAlarmProbability = p;
    result.uncertainty = std::sqrt(p * (1.0 - p) / static_cast<double>(result.runsDone));
  }
  out.status[0] = "Empirical FAP: " + formatFixed(result.empiricalFalseAlarmProbability, 6, 9) +
                  " +- " + formatFixed(result.uncertainty, 6, 9) + " (" +
                  std::to_string(result.runsAtOrAbove) + " of " + std::to_string(result.runsDone) +
                  " runs reached power " + formatFixed(result.observedPower, 6, 9) + ")";
  out.status[1] = "";
  if (result.cancelled) out.addNote("Cancelled after " + std::to_string(result.runsDone) + " runs.");
  if (written)
    out.addNote("Runs written to " + path + ".");
  else
    out.addNote("Unable to write " + path + ": " + file.failure() + ".");
  if (resultOut) *resultOut = result;
  return out;
}

}  // namespace fazorn
