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

namespace fazorn {

namespace {

std::uint64_t splitMix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// The stream of run k: seeded from the test's seed and k alone.
std::uint64_t runSeed(std::uint64_t seed, long run) {
  std::uint64_t x = seed;
  const std::uint64_t a = splitMix64(x);
  std::uint64_t y = a ^ (static_cast<std::uint64_t>(run) * 0xD1B54A32D192ED03ull);
  return splitMix64(y);
}

// What the editing commands redraw after changing the values.
Outcome afterValuesChanged(Workspace& ws) {
  refreshLightCurveStatistics(ws);
  Outcome out;
  out.redraw.lightCurve = true;
  if (ws.phased == 1) {
    Outcome refreshed = refreshPhasing(ws);
    out.redraw.phaseDiagram = refreshed.redraw.phaseDiagram;
    out.redraw.results = refreshed.redraw.results;
  }
  return out;
}

}  // namespace

RandomStream::RandomStream(std::uint64_t seed) {
  std::uint64_t x = seed;
  for (auto& s : s_) s = splitMix64(x);
}

std::uint64_t RandomStream::next() {
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

double RandomStream::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double RandomStream::gaussian() {
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  double u = 0.0;
  while (u <= 0.0) u = uniform();
  const double v = uniform();
  const double r = std::sqrt(-2.0 * std::log(u));
  const double angle = 2.0 * 3.14159265358979323846 * v;
  spare_ = r * std::sin(angle);
  haveSpare_ = true;
  return r * std::cos(angle);
}

std::uint64_t RandomStream::below(std::uint64_t n) {
  // Rejection keeps every index equally likely.
  const std::uint64_t limit = (~std::uint64_t{0} / n) * n;
  std::uint64_t x;
  do x = next();
  while (x >= limit);
  return x % n;
}

void permuteTogether(std::span<double> value, std::span<double> error, std::span<double> weight,
                     RandomStream& rng) {
  for (std::size_t i = value.size(); i > 1; --i) {
    const std::size_t j = static_cast<std::size_t>(rng.below(i));
    std::swap(value[i - 1], value[j]);
    std::swap(error[i - 1], error[j]);
    std::swap(weight[i - 1], weight[j]);
  }
}

void fillWhiteNoise(std::span<double> value, double mean, double rms, RandomStream& rng) {
  for (double& v : value) v = mean + rms * rng.gaussian();
}

Outcome generateWhiteNoise(Workspace& ws, std::uint64_t seed) {
  if (ws.dataLoaded != 1 || ws.lightCurve.pointCount < 1) return {};
  computeLightCurveStatistics(ws);
  RandomStream rng(seed);
  fillWhiteNoise(ws.lightCurve.value, ws.stats.meanValue, ws.stats.rms, rng);
  return afterValuesChanged(ws);
}

Outcome randomlyPermute(Workspace& ws, std::uint64_t seed) {
  if (ws.dataLoaded != 1 || ws.lightCurve.pointCount < 1) return {};
  LightCurve& lc = ws.lightCurve;
  const auto n = static_cast<std::size_t>(lc.pointCount);
  lc.scratchValue.assign(lc.value.begin(), lc.value.end());
  lc.scratchError.assign(lc.error.begin(), lc.error.end());
  std::vector<double> weight(lc.weight.begin(), lc.weight.end());
  RandomStream rng(seed);
  permuteTogether(std::span(lc.scratchValue.data(), n), std::span(lc.scratchError.data(), n),
                  weight, rng);
  std::copy(lc.scratchValue.begin(), lc.scratchValue.end(), lc.value.begin());
  std::copy(lc.scratchError.begin(), lc.scratchError.end(), lc.error.begin());
  lc.weight = std::move(weight);
  return afterValuesChanged(ws);
}

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
  if (s.minPeriod >= s.maxPeriod || !(s.minPeriod > 0)) {
    out.ok = false;
    out.cancelled = true;
    out.message = warningBox("Min period is negative or greater than Max period! Calculation aborted");
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
  TextFileWriter file(path);
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
  if (!file.finish()) {
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
  out.addNote("Runs written to " + path + ".");
  if (resultOut) *resultOut = result;
  return out;
}

}  // namespace fazorn
